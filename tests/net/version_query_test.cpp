// The callers' order on the program's globals: ask, open, store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/globals.h"
#include "crypto/sealing.h"
#include "net/server_request.h"
#include "test_server.h"

namespace {

using nettest::HttpResponse;
using nettest::RawConnection;
using nettest::RawHttpServer;

class VersionQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    g_bankProfile = BankProfile{};
    g_bankProfile.bankId = 0x861;
    g_server = ServerEndpoint{};
    g_server.queryPath = "/assist/server?reqtype=1&data=";
    g_install = InstallState{};
  }
  void TearDown() override {
    g_server = ServerEndpoint{};
    g_install = InstallState{};
  }
};

TEST_F(VersionQueryTest, AskOpenAndStore) {
  std::string answer;
  ASSERT_TRUE(SealToString(R"({"v":"1.0.19.0","url":"https://dl.example/voda","update":"2abc"})", answer));
  RawHttpServer server([&](RawConnection& conn) { conn.Send(HttpResponse(200, answer)); });
  g_server.baseUrl = server.Url("");

  std::string response;
  ASSERT_TRUE(AskServerForVersion(response));
  ASSERT_EQ(server.Requests().size(), 1u);
  const std::string request = server.Requests()[0];
  const std::string prefix = "GET /assist/server?reqtype=1&data=";
  ASSERT_EQ(request.rfind(prefix, 0), 0u);
  const std::string payload = request.substr(prefix.size(), 340);
  std::string opened;
  ASSERT_TRUE(UnsealToString(payload.c_str(), 340, opened));
  EXPECT_EQ(opened, "861");

  ServerReply reply;
  ASSERT_TRUE(ReadServerReply(response, reply));
  StoreServerReply(reply, false);  // the version-query worker
  EXPECT_EQ(g_install.latestVersion, "1.0.19.0");
  EXPECT_EQ(g_install.downloadBaseUrl, "https://dl.example/voda");
  EXPECT_EQ(g_install.updateMode, 0);
  StoreServerReply(reply, true);   // the dispatcher
  EXPECT_EQ(g_install.updateMode, 2);
}

TEST_F(VersionQueryTest, EmptyBodyIsAFailedExchange) {
  RawHttpServer server([](RawConnection& conn) { conn.Send(HttpResponse(200, "")); });
  g_server.baseUrl = server.Url("");
  std::string response = "unchanged";
  EXPECT_FALSE(AskServerForVersion(response));
  EXPECT_EQ(response, "unchanged");
  EXPECT_EQ(server.Requests().size(), 1u);
}

}  // namespace
