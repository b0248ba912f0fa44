#include "net/server_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <string>

#include "crypto/sealing.h"
#include "test_server.h"

namespace {

using nettest::HttpResponse;
using nettest::RawConnection;
using nettest::RawHttpServer;

const char* const kQueryPath = "/assist/server?reqtype=1&data=";

class ServerRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
  }

  static ServerEndpoint EndpointOf(const RawHttpServer& server, std::size_t alternates = 0) {
    ServerEndpoint endpoint;
    endpoint.baseUrl = server.Url("");
    for (std::size_t i = 0; i < alternates; ++i) {
      endpoint.alternateBaseUrls.push_back("https://10.0.0." + std::to_string(i + 1));
    }
    endpoint.queryPath = kQueryPath;
    return endpoint;
  }

  static std::string Sealed(const std::string& plaintext) {
    std::string sealed;
    EXPECT_TRUE(SealToString(plaintext, sealed));
    return sealed;
  }
};

// "GET <target> HTTP/1.1\r\n..." -> "<target>"
std::string RequestTarget(const std::string& request) {
  const std::size_t start = request.find(' ') + 1;
  return request.substr(start, request.find(' ', start) - start);
}

TEST_F(ServerRequestTest, QueryTextIsTheBankIdInLowerCaseHex) {
  EXPECT_EQ(VersionQueryText(0x861), "861");
  EXPECT_EQ(VersionQueryText(0xAB), "ab");
  EXPECT_EQ(VersionQueryText(0xFFFF), "ffff");
}

TEST_F(ServerRequestTest, UrlCarriesTheSealedBankIdAfterBasePrefixAndPath) {
  struct Case {
    std::string prefix;
    std::string path;
  } cases[] = {{"", kQueryPath}, {"/bank", "/q?data="}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix + c.path);
    RawHttpServer server([](RawConnection& conn) { conn.Send(HttpResponse(200, "the reply")); });
    ServerEndpoint endpoint = EndpointOf(server);
    endpoint.pathPrefix = c.prefix;
    std::string response;
    ASSERT_TRUE(SendServerRequest(endpoint, c.path, VersionQueryText(0x861), response));
    EXPECT_EQ(response, "the reply");

    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string target = RequestTarget(server.Requests()[0]);
    ASSERT_EQ(target.compare(0, c.prefix.size() + c.path.size(), c.prefix + c.path), 0) << target;
    const std::string payload = target.substr(c.prefix.size() + c.path.size());
    ASSERT_EQ(payload.size(), 340u);
    for (char ch : payload) ASSERT_TRUE(std::isdigit(ch) || (ch >= 'A' && ch <= 'F')) << payload;
    std::string opened;
    ASSERT_TRUE(UnsealToString(payload.c_str(), static_cast<std::uint32_t>(payload.size()), opened));
    EXPECT_EQ(opened, "861");
  }
}

// One attempt per alternative base URL, at least one, all with the same URL built on the base URL.
TEST_F(ServerRequestTest, AttemptsOncePerAlternativeBaseUrl) {
  struct Case {
    std::size_t alternates;
    std::size_t attempts;
  } cases[] = {{0, 1}, {2, 2}, {4, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alternates);
    RawHttpServer server([](RawConnection&) {});  // hangs up without an answer
    std::string response = "unchanged";
    EXPECT_FALSE(SendServerRequest(EndpointOf(server, c.alternates), kQueryPath, "861", response));
    EXPECT_EQ(response, "unchanged");
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), c.attempts);
    for (const std::string& request : requests) EXPECT_EQ(request, requests[0]);
    EXPECT_EQ(RequestTarget(requests[0]).rfind(kQueryPath, 0), 0u);
  }
}

TEST_F(ServerRequestTest, StopsAtTheFirstAttemptThatGetsAnAnswer) {
  std::atomic<int> connections{0};
  RawHttpServer server([&](RawConnection& conn) {
    if (++connections == 2) conn.Send(HttpResponse(404, "<html>not here</html>"));
  });
  std::string response;
  EXPECT_TRUE(SendServerRequest(EndpointOf(server, 4), kQueryPath, "861", response));
  EXPECT_EQ(response, "<html>not here</html>");
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(ServerRequestTest, FailedSealSendsNothing) {
  RawHttpServer server([](RawConnection& conn) { conn.Send(HttpResponse(200, "reply")); });
  std::string response = "unchanged";
  EXPECT_FALSE(SendServerRequest(EndpointOf(server, 2), kQueryPath, "", response));
  EXPECT_EQ(response, "unchanged");
  EXPECT_EQ(server.Connections(), 0);
}

TEST_F(ServerRequestTest, UnreachableServerFailsAfterItsAttempts) {
  ServerEndpoint endpoint;
  {
    RawHttpServer gone([](RawConnection&) {});
    endpoint = EndpointOf(gone, 2);
  }
  std::string response = "unchanged";
  EXPECT_FALSE(SendServerRequest(endpoint, kQueryPath, "861", response));
  EXPECT_EQ(response, "unchanged");
}

TEST_F(ServerRequestTest, ReadsTheReplyMembersAsTexts) {
  struct Case {
    const char* name;
    std::string plaintext;
    std::string version, url, update;
  } cases[] = {
      {"all strings", R"({"v":"1.0.19.0","url":"https://dl.example/voda","update":"2"})", "1.0.19.0",
       "https://dl.example/voda", "2"},
      {"update missing, others ignored", R"({"v":"1.0.18.916","url":"u","extra":[1,2]})", "1.0.18.916", "u",
       ""},
      {"null and booleans", R"({"v":null,"url":true,"update":false})", "", "true", "false"},
      {"update text with trailing letters", R"({"v":"1","url":"","update":"2abc"})", "1", "", "2abc"},
      {"empty object", "{}", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerReply reply;
    ASSERT_TRUE(ReadServerReply(Sealed(c.plaintext), reply));
    EXPECT_EQ(reply.version, c.version);
    EXPECT_EQ(reply.downloadUrl, c.url);
    EXPECT_EQ(reply.update, c.update);
  }
}

TEST_F(ServerRequestTest, UnusableRepliesFailAndStoreNothing) {
  const std::string good = Sealed(R"({"v":"1.0.19.0","url":"u","update":"1"})");
  struct Case {
    const char* name;
    std::string response;
  } cases[] = {
      {"empty body", ""},
      {"error page", "<html><body><h1>404 Not Found</h1></body></html>"},
      {"sealed text changed", std::string(good).replace(400, 1, good[400] == '0' ? "1" : "0")},
      {"sealed text cut short", good.substr(0, good.size() - 2)},
      {"not JSON", Sealed("v=1.0.19.0")},
      {"JSON array", Sealed(R"(["1.0.19.0"])")},
      {"JSON text", Sealed(R"("1.0.19.0")")},
      {"JSON null", Sealed("null")},
      {"v is a number", Sealed(R"({"v":1.019,"url":"u","update":"1"})")},
      {"url is an array", Sealed(R"({"v":"1","url":["u"],"update":"1"})")},
      {"update is an object", Sealed(R"({"v":"1","url":"u","update":{"mode":1}})")},
      {"update is a number", Sealed(R"({"v":"1","url":"u","update":2})")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerReply reply{"kept", "kept", "kept"};
    EXPECT_FALSE(ReadServerReply(c.response, reply));
    EXPECT_EQ(reply.version, "kept");
    EXPECT_EQ(reply.downloadUrl, "kept");
    EXPECT_EQ(reply.update, "kept");
  }
}

TEST_F(ServerRequestTest, OddLengthReplyLosesItsLastCharacter) {
  ServerReply reply;
  ASSERT_TRUE(ReadServerReply(Sealed(R"({"v":"1.0.19.0"})") + "Z", reply));
  EXPECT_EQ(reply.version, "1.0.19.0");
}

// The whole exchange as both callers run it, against a server that answers like the real one.
TEST_F(ServerRequestTest, ExchangeWithASealedAnswer) {
  const std::string answer = Sealed(R"({"v":"1.0.19.0","url":"https://dl.example/voda","update":"1"})");
  RawHttpServer server([&](RawConnection& conn) { conn.Send(HttpResponse(200, answer)); });
  std::string response;
  ASSERT_TRUE(SendServerRequest(EndpointOf(server), kQueryPath, VersionQueryText(0x861), response));
  ServerReply reply;
  ASSERT_TRUE(ReadServerReply(response, reply));
  EXPECT_EQ(reply.version, "1.0.19.0");
  EXPECT_EQ(reply.downloadUrl, "https://dl.example/voda");
  EXPECT_EQ(UpdateModeValue(reply.update), 1);
}

TEST_F(ServerRequestTest, UpdateModeTakesTheLeadingDecimalDigits) {
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"2", 2},
      {"2abc", 2},
      {"", 0},
      {"abc", 0},
      {"  \t-3", -3},
      {"+1", 1},
      {"1 2", 1},
      {"- 1", 0},
      {"0002", 2},
      {"99999999999", std::numeric_limits<std::int32_t>::max()},
      {"-99999999999", std::numeric_limits<std::int32_t>::min()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(UpdateModeValue(c.text), c.value);
  }
}

}  // namespace
