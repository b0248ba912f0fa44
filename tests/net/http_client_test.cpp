#include "net/http_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_server.h"

namespace {

using nettest::ChunkedHttpResponse;
using nettest::HttpResponse;
using nettest::RawConnection;
using nettest::RawHttpServer;
using std::chrono::milliseconds;
using std::chrono::seconds;
using namespace std::string_literals;

// Whatever the machine's environment says, the tests talk to 127.0.0.1 directly unless a test sets a
// proxy itself.
class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
  }
};

TEST_F(HttpClientTest, SendsExactlyTheFixedHeadersAndUserAgent) {
  RawHttpServer server([](RawConnection& c) { c.Send(HttpResponse(200, "sealed-reply")); });
  CHttpClient client;
  std::string response;
  ASSERT_EQ(client.HttpGet(server.Url("/assist/server?reqtype=1&data=0A1B").c_str(), response), 0);
  EXPECT_EQ(response, "sealed-reply");

  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0],
            "GET /assist/server?reqtype=1&data=0A1B HTTP/1.1\r\n"
            "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"
            "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727)\r\n"
            "Accept: *,*/*\r\n"
            "Accept-Language: zh-cn\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Accept-Encoding: gzip, deflate\r\n"
            "\r\n");
}

TEST_F(HttpClientTest, ReturnsTheBodyWhateverTheStatus) {
  struct Case {
    int status;
    std::string body;
  } cases[] = {
      {200, ""},
      {200, "0123ABCD"},
      {404, "<html><body><h1>404 Not Found</h1></body></html>"},
      {500, "internal error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    RawHttpServer server([&c](RawConnection& conn) { conn.Send(HttpResponse(c.status, c.body)); });
    CHttpClient client;
    std::string response = "previous";
    EXPECT_EQ(client.HttpGet(server.Url("/").c_str(), response), 0);
    EXPECT_EQ(response, c.body);
  }
}

// The body is taken as text in 1024-byte pieces at fixed offsets of the body; a zero byte drops the
// rest of its piece. The outcome must not depend on how the network cuts the body.
TEST_F(HttpClientTest, ZeroBytesDropTheRestOfTheirPiece) {
  const std::string a1000(1000, 'A');
  struct Case {
    const char* name;
    std::string body;
    std::string expected;
  } cases[] = {
      {"zero in a short body", "text\0tail"s, "text"},
      {"zero first", "\0abc"s, ""},
      {"zero in the first piece", a1000 + '\0' + std::string(100, 'B') + std::string(50, 'C'),
       a1000 + std::string(77, 'B') + std::string(50, 'C')},
      {"zero last of a piece", std::string(1023, 'x') + '\0' + std::string(5, 'y'),
       std::string(1023, 'x') + std::string(5, 'y')},
      {"zero first of the second piece", std::string(1024, 'x') + '\0' + std::string(10, 'y'),
       std::string(1024, 'x')},
      {"zeros in two pieces", "ab\0cd"s + std::string(1019, 'e') + "fg\0hi"s + std::string(2000, 'j'),
       "ab"s + "fg" + std::string(2000 - 1019, 'j')},
  };
  struct Delivery {
    const char* name;
    bool chunked;
    std::size_t writeSize;
  } deliveries[] = {{"one write", false, 1u << 20}, {"7-byte writes", false, 7},
                    {"700-byte writes", false, 700}, {"chunked by 333", true, 1u << 20}};
  for (const Case& c : cases) {
    for (const Delivery& d : deliveries) {
      SCOPED_TRACE(std::string(c.name) + ", " + d.name);
      const std::string wire = d.chunked ? ChunkedHttpResponse(200, c.body, 333) : HttpResponse(200, c.body);
      RawHttpServer server([&](RawConnection& conn) { conn.SendInPieces(wire, d.writeSize); });
      CHttpClient client;
      std::string response;
      ASSERT_EQ(client.HttpGet(server.Url("/").c_str(), response), 0);
      EXPECT_EQ(response, c.expected);
    }
  }
}

// gzip and deflate are offered but nothing decodes: what the server declares as compressed comes back
// as it was sent (a decoder would reject these bodies).
TEST_F(HttpClientTest, DoesNotDecompress) {
  for (const char* encoding : {"gzip", "deflate"}) {
    SCOPED_TRACE(encoding);
    const std::string body = "\x1f\x8b\x08 not really compressed";
    RawHttpServer server([&](RawConnection& conn) {
      conn.Send(HttpResponse(200, body, "Content-Encoding: "s + encoding + "\r\n"));
    });
    CHttpClient client;
    std::string response;
    ASSERT_EQ(client.HttpGet(server.Url("/").c_str(), response), 0);
    EXPECT_EQ(response, body);
  }
}

// A server that stops sending for three seconds is a time-out, wherever it stops.
class HttpClientStallTest : public HttpClientTest, public ::testing::WithParamInterface<int> {};

TEST_P(HttpClientStallTest, MapsToResultTwo) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
  const int where = GetParam();
  RawHttpServer server([&](RawConnection& conn) {
    if (where >= 1) conn.Send(head.substr(0, 17));          // half a status line and header
    if (where >= 2) conn.Send(head.substr(17));             // the whole head
    if (where >= 3) conn.Send(std::string(40, 'x'));        // part of the body
    conn.StallUntilPeerLeaves(seconds(20));
  });
  CHttpClient client;
  std::string response = "unchanged";
  EXPECT_EQ(client.HttpGet(server.Url("/").c_str(), response), 2);
  EXPECT_EQ(response, "unchanged");
}

std::string StallName(const ::testing::TestParamInfo<int>& param) {
  static const char* const names[] = {"BeforeAnswer", "InHead", "AfterHead", "InBody"};
  return names[param.param];
}

INSTANTIATE_TEST_SUITE_P(Stalls, HttpClientStallTest, ::testing::Values(0, 1, 2, 3), StallName);

// A TLS handshake that never comes is a time-out too: it belongs to the connect phase.
TEST_F(HttpClientTest, SilentTlsPeerTimesOut) {
  RawHttpServer server([](RawConnection& conn) { conn.StallUntilPeerLeaves(seconds(20)); });
  CHttpClient client;
  std::string response = "unchanged";
  EXPECT_EQ(client.HttpGet(("https://127.0.0.1:" + std::to_string(server.Port()) + "/").c_str(), response), 2);
  EXPECT_EQ(response, "unchanged");
}

// A listener whose accept queue is full drops new connection requests, so a connect never completes.
TEST_F(HttpClientTest, ConnectThatNeverCompletesTimesOut) {
  if (std::ifstream("/proc/sys/net/ipv4/tcp_abort_on_overflow").get() == '1') {
    GTEST_SKIP() << "this kernel refuses connections to a full accept queue instead of dropping them";
  }
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers.push_back(filler);
  }
  std::this_thread::sleep_for(milliseconds(200));

  CHttpClient client;
  std::string response = "unchanged";
  EXPECT_EQ(client.HttpGet(("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/").c_str(), response), 2);
  EXPECT_EQ(response, "unchanged");
  for (int filler : fillers) close(filler);
  close(listener);
}

// The time-out is on silence, not on the whole transfer: a body that keeps coming is read to its end.
TEST_F(HttpClientTest, SlowButSteadyBodyIsNoTimeOut) {
  const int pieces = 9;
  RawHttpServer server([&](RawConnection& conn) {
    conn.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(pieces) + "\r\n\r\n");
    for (int i = 0; i < pieces; ++i) {
      conn.Pause(milliseconds(500));
      conn.Send("z");
    }
  });
  CHttpClient client;
  std::string response;
  EXPECT_EQ(client.HttpGet(server.Url("/").c_str(), response), 0);
  EXPECT_EQ(response, std::string(pieces, 'z'));
}

TEST_F(HttpClientTest, BrokenExchangesFailAndLeaveTheResponse) {
  struct Case {
    const char* name;
    RawHttpServer::Handler handler;
  } cases[] = {
      {"closed without an answer", [](RawConnection&) {}},
      {"body cut short", [](RawConnection& c) { c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort"); }},
      {"not HTTP", [](RawConnection& c) { c.Send("SSH-2.0-OpenSSH_9.2\r\n"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpServer server(c.handler);
    CHttpClient client;
    std::string response = "unchanged";
    EXPECT_EQ(client.HttpGet(server.Url("/").c_str(), response), 1);
    EXPECT_EQ(response, "unchanged");
  }
}

TEST_F(HttpClientTest, ClosedPortFails) {
  int port = 0;
  {
    RawHttpServer gone([](RawConnection&) {});
    port = gone.Port();
  }
  CHttpClient client;
  std::string response = "unchanged";
  EXPECT_EQ(client.HttpGet(("http://127.0.0.1:" + std::to_string(port) + "/").c_str(), response), 1);
  EXPECT_EQ(response, "unchanged");
}

TEST_F(HttpClientTest, OnlyHttpAndHttpsUrlsAreFetched) {
  RawHttpServer server([](RawConnection& c) { c.Send(HttpResponse(200, "reached")); });
  const std::string hostPort = "127.0.0.1:" + std::to_string(server.Port());
  const std::string urls[] = {
      "ftp://" + hostPort + "/file",
      "file:///etc/hostname",
      "gopher://" + hostPort + "/",
      hostPort + "/no-scheme",
      "/assist/server?reqtype=1",
      "",
      "http://",
      "http:///path-only",
      "not a url at all",
  };
  CHttpClient client;
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    std::string response = "unchanged";
    EXPECT_EQ(client.HttpGet(url.c_str(), response), 1);
    EXPECT_EQ(response, "unchanged");
  }
  std::string response = "unchanged";
  EXPECT_EQ(client.HttpGet(nullptr, response), 1);
  EXPECT_EQ(response, "unchanged");
  EXPECT_EQ(server.Connections(), 0);

  // The same client still fetches, and the scheme is not case-sensitive.
  EXPECT_EQ(client.HttpGet(("HTTP://" + hostPort + "/").c_str(), response), 0);
  EXPECT_EQ(response, "reached");
}

TEST_F(HttpClientTest, OneClientServesRepeatedRequests) {
  std::atomic<int> served{0};
  RawHttpServer server([&](RawConnection& c) { c.Send(HttpResponse(200, "answer " + std::to_string(++served))); });
  CHttpClient client;
  std::string response;
  ASSERT_EQ(client.HttpGet(server.Url("/q").c_str(), response), 0);
  EXPECT_EQ(response, "answer 1");
  ASSERT_EQ(client.HttpGet(server.Url("/q").c_str(), response), 0);
  EXPECT_EQ(response, "answer 2");
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(HttpClientTest, FollowsRedirects) {
  RawHttpServer server([](RawConnection& c) {
    if (c.Request().rfind("GET /moved ", 0) == 0) {
      c.Send(HttpResponse(302, "moved", "Location: /here\r\n"));
    } else {
      c.Send(HttpResponse(200, "arrived"));
    }
  });
  CHttpClient client;
  std::string response;
  ASSERT_EQ(client.HttpGet(server.Url("/moved").c_str(), response), 0);
  EXPECT_EQ(response, "arrived");
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].rfind("GET /here HTTP/1.1\r\n", 0), 0u);
}

TEST_F(HttpClientTest, HonoursTheProxyFromTheEnvironment) {
  RawHttpServer proxy([](RawConnection& c) { c.Send(HttpResponse(200, "via proxy")); });
  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.Port())).c_str(), 1);
  CHttpClient client;
  std::string response;
  ASSERT_EQ(client.HttpGet("http://update.example.invalid/assist/server?reqtype=1&data=AB", response), 0);
  EXPECT_EQ(response, "via proxy");
  ASSERT_EQ(proxy.Requests().size(), 1u);
  const std::string request = proxy.Requests()[0];
  EXPECT_EQ(request.rfind("GET http://update.example.invalid/assist/server?reqtype=1&data=AB HTTP/1.1\r\n", 0), 0u)
      << request;
  EXPECT_NE(request.find("\r\nAccept: *,*/*\r\nAccept-Language: zh-cn\r\n"), std::string::npos) << request;
}

TEST_F(HttpClientTest, RefusesBodiesBeyondTheLimit) {
  const std::size_t size = CHttpClient::kMaxBodyBytes + 1;
  struct Case {
    const char* name;
    bool announced;  // Content-Length given, or a chunked body that just keeps coming
  } cases[] = {{"announced", true}, {"streamed", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpServer server([&](RawConnection& conn) {
      if (c.announced) {
        conn.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n");
      } else {
        conn.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
      }
      const std::string block(64 * 1024, 'q');
      char sizeLine[32];
      std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", block.size());
      for (std::size_t sent = 0; sent < size; sent += block.size()) {
        if (!conn.Send(c.announced ? block : sizeLine + block + "\r\n")) return;
      }
      if (!c.announced) conn.Send("0\r\n\r\n");
    });
    CHttpClient client;
    std::string response = "unchanged";
    EXPECT_EQ(client.HttpGet(server.Url("/").c_str(), response), 1);
    EXPECT_EQ(response, "unchanged");
  }
}

// Any certificate is accepted: self-signed, expired, or issued for another name.
TEST_F(HttpClientTest, AcceptsAnyServerCertificate) {
  struct Case {
    const char* name;
    nettest::TlsCertificate certificate;
    const char* host;
  } cases[] = {
      {"self-signed", nettest::TlsCertificate::SelfSigned, "127.0.0.1"},
      {"expired", nettest::TlsCertificate::Expired, "127.0.0.1"},
      {"wrong name", nettest::TlsCertificate::WrongName, "localhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nettest::TlsHttpServer server(c.certificate, "sealed over tls");
    ASSERT_TRUE(server.Ok());
    CHttpClient client;
    std::string response;
    ASSERT_EQ(client.HttpGet(server.Url(c.host, "/assist/server?reqtype=1&data=FF").c_str(), response), 0);
    EXPECT_EQ(response, "sealed over tls");

    ASSERT_EQ(server.Requests().size(), 1u);
    const nettest::TlsRequestSeen seen = server.Requests()[0];
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.target, "/assist/server?reqtype=1&data=FF");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Accept", "*,*/*"},
        {"Accept-Encoding", "gzip, deflate"},
        {"Accept-Language", "zh-cn"},
        {"Content-Type", "application/x-www-form-urlencoded"},
        {"Host", std::string(c.host) + server.Url("", "").substr(std::string("https://").size())},
        {"REMOTE_ADDR", "127.0.0.1"},
        {"User-Agent", CHttpClient::kUserAgent},
    };
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& header : seen.headers) {
      if (header.first != "REMOTE_PORT" && header.first != "LOCAL_ADDR" && header.first != "LOCAL_PORT") {
        got.push_back(header);
      }
    }
    EXPECT_EQ(got, expected);
  }
}

}  // namespace
