// The update server as a real process on 127.0.0.1, asked by the Downloader's own client and protocol
// code, and checked on the wire with raw requests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/sealing.h"
#include "crypto/signed_file.h"
#include "net/http_client.h"
#include "net/server_request.h"
#include "server/publisher.h"
#include "server/release.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "server_process.h"
#include "support/temp_prefix.h"
#include "test_tools.h"
#include "update/download.h"
#include "update/manifest.h"

namespace {

using servertest::RawGet;
using servertest::RawResponse;
using servertest::ServerProcess;
using namespace testing_tools;

const char kQueryPath[] = "/assist/server?reqtype=1&data=";

struct Component {
  std::string path;  // as the manifest gives it, "\" between levels
  std::string name;
  std::string source;  // below the source folder
  std::string content;
};

// Text without zero bytes: the client keeps each piece of a body up to its first zero byte.
const std::vector<Component>& Components() {
  static const std::vector<Component> components = {
      {"", "voda.exe", "voda.exe", "the main program"},
      {"Plugins\\sub", "a.dll", "Plugins/sub/a.dll", "a plug-in"},
      {"Script", "b.js", "bank/Script/b.js", "var bank = 1;"},
      {"Data", "readme.txt", "Data/readme.txt", std::string(20000, 'a')},
  };
  return components;
}

std::string Sealed(const std::string& plaintext) {
  std::string sealed;
  EXPECT_TRUE(SealToString(plaintext, sealed));
  return sealed;
}

class UpdateServer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
    for (const Component& c : Components()) {
      const std::filesystem::path file = dir_.File("src/" + c.source);
      std::filesystem::create_directories(file.parent_path());
      WriteFile(file.string(), c.content);
    }
    PublishRequest request;
    request.source = dir_.File("src");
    request.destination = Release();
    request.version = "1.2.3.4";
    request.url = "{base}/files";
    request.update = "2";
    request.banks = {0x861};
    request.signingKeyPem = BuildManifestSigningKey();
    std::string error;
    ASSERT_TRUE(PublishRelease(request, error)) << error;
  }

  std::string Release() const { return dir_.File("release"); }

  std::unique_ptr<ServerProcess> Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--release", Release()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto server = std::make_unique<ServerProcess>(args);
    EXPECT_GT(server->HttpPort(), 0) << server->Output();
    return server;
  }

  static ServerEndpoint Endpoint(const std::string& base) {
    ServerEndpoint endpoint;
    endpoint.baseUrl = base;
    endpoint.queryPath = kQueryPath;
    return endpoint;
  }

  // The version query exactly as the Downloader asks it.
  static bool Ask(const std::string& base, std::string& response) {
    return SendServerRequest(Endpoint(base), kQueryPath, VersionQueryText(0x861), response);
  }

  static int Get(const std::string& url, std::string& body) {
    CHttpClient client;
    return client.HttpGet(url.c_str(), body);
  }

  TempDir dir_;
};

TEST_F(UpdateServer, VersionQueryOverHttpAndHttpsOpensToTheReleasesAnswer) {
  auto server = Start({"--https-port", "0"});
  ASSERT_GT(server->HttpsPort(), 0) << server->Output();
  EXPECT_TRUE(std::filesystem::exists(Release() + "/tls/server.crt"));
  for (const std::string& base : {server->HttpBase(), server->HttpsBase()}) {
    SCOPED_TRACE(base);
    std::string response;
    ASSERT_TRUE(Ask(base, response));
    ServerReply reply;
    ASSERT_TRUE(ReadServerReply(response, reply)) << response;
    EXPECT_EQ("1.2.3.4", reply.version);
    EXPECT_EQ(base + "/files", reply.downloadUrl);
    EXPECT_EQ("2", reply.update);
  }
  // Each request is logged on its own line: the Downloader's 340-character payload for bank 861.
  EXPECT_TRUE(server->WaitForOutput("https GET /assist/server?reqtype=1&data=", std::chrono::seconds(5)))
      << server->Output();
  const std::regex line("http GET /assist/server\\?reqtype=1&data=[0-9A-F]{340} -> 200 [0-9]+ bytes bank 861\n");
  EXPECT_TRUE(std::regex_search(server->Output(), line)) << server->Output();
}

TEST_F(UpdateServer, QueriesItCannotAnswerGetAnErrorStatusAndAPlainBody) {
  auto server = Start();
  struct Case {
    const char* name;
    std::string target;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"unknown bank", kQueryPath + Sealed("862"), 404, "unknown bank id 862"},
      {"not a sealed text", std::string(kQueryPath) + "ABCDEF0123", 400, "does not open"},
      {"no data", "/assist/server?reqtype=1", 400, "carries no data"},
      {"not a bank id", kQueryPath + Sealed("bank 861"), 400, "names no bank id"},
      {"no such path", "/assist/other", 404, "<html>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RawResponse raw = RawGet(server->HttpPort(), c.target);
    EXPECT_EQ(c.status, raw.status);
    EXPECT_NE(std::string::npos, raw.body.find(c.message)) << raw.body;
    // The Downloader takes any status; what it cannot open fails the exchange.
    std::string body;
    ASSERT_EQ(kHttpGetOk, Get(server->HttpBase() + c.target, body));
    EXPECT_EQ(raw.body, body);
    ServerReply reply;
    EXPECT_FALSE(ReadServerReply(body, reply));
  }
}

TEST_F(UpdateServer, ManifestsAndFilesComeUnderBothUrlFormsUncompressed) {
  auto server = Start();
  const std::string base = server->HttpBase() + "/files";
  for (const char* manifest : {"Digest.xml", "Digest_861.xml"}) {
    SCOPED_TRACE(manifest);
    std::string body;
    ASSERT_EQ(kHttpGetOk, Get(base + "/" + manifest, body));
    EXPECT_EQ(ReadFile(Release() + "/files/" + manifest), body);
    EXPECT_TRUE(VerifySignedData(reinterpret_cast<const unsigned char*>(body.data()), body.size()));
  }
  for (const Component& c : Components()) {
    SCOPED_TRACE(c.source);
    const std::string firstInstall = base + "/" + c.path + "/" + c.name;
    const std::string update = base + "/" + (c.path.empty() ? c.name : c.path + "\\" + c.name);
    for (const std::string& url : {firstInstall, update}) {
      std::string body;
      ASSERT_EQ(kHttpGetOk, Get(url, body)) << url;
      EXPECT_EQ(c.content, body) << url;
    }
    // On the wire: raw and percent-encoded backslashes, an exact length, and no compression although
    // the request offers it.
    std::string encoded = "/files/" + c.path + "%5C" + c.name;
    if (c.path.empty()) encoded = "/files//" + c.name;
    for (std::size_t at = encoded.find('\\'); at != std::string::npos; at = encoded.find('\\')) {
      encoded.replace(at, 1, "%5C");
    }
    const RawResponse raw = RawGet(server->HttpPort(), encoded, "Accept-Encoding: gzip, deflate\r\n");
    EXPECT_EQ(200, raw.status) << encoded;
    EXPECT_EQ(c.content, raw.body);
    EXPECT_EQ(std::to_string(c.content.size()), raw.Header("content-length"));
    EXPECT_EQ(0u, raw.headers.count("content-encoding"));
  }
  // The error page is not compressed either.
  const RawResponse missing = RawGet(server->HttpPort(), "/files/none.dll", "Accept-Encoding: gzip, deflate\r\n");
  EXPECT_EQ(404, missing.status);
  EXPECT_EQ(0u, missing.headers.count("content-encoding"));
  EXPECT_EQ(0u, missing.body.find("<html>"));
}

// What a first installation and an update do with the release: the signed manifests downloaded, and
// every entry fetched with its digest under the URL form of each.
TEST_F(UpdateServer, EveryManifestEntryDownloadsWithItsDigestUnderBothUrlForms) {
  auto server = Start();
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  machine.Install();
  platform::FileSystem& files = platform::Current().Files();
  const std::string base = server->HttpBase() + "/files";
  std::size_t fetched = 0;
  for (const char* folder : {"C:\\first", "C:\\update"}) {
    ASSERT_TRUE(files.CreateFolder(folder).ok());
    for (const char* sub : {"\\Data", "\\Plugins", "\\Plugins\\sub", "\\Script"}) {
      ASSERT_TRUE(files.CreateFolder(std::string(folder) + sub).ok());
    }
  }
  for (const std::string& manifest : {std::string("Digest.xml"), BankManifestName(0x861)}) {
    SCOPED_TRACE(manifest);
    const std::string target = "C:\\first\\" + manifest;
    ASSERT_TRUE(DownloadFile(base + "/" + manifest, target, nullptr));
    EXPECT_TRUE(VerifySignedFile(machine.HostPath(target).c_str()));
    for (const ManifestEntry& entry : ReadManifestEntries(target)) {
      SCOPED_TRACE(entry.fileName);
      const std::string firstInstall = base + "/" + entry.path + "/" + entry.fileName;
      EXPECT_TRUE(DownloadFileWithDigest(firstInstall, InstalledFilePath("C:\\first", entry), entry.digest, nullptr));
      EXPECT_TRUE(DownloadFileWithDigest(base + "/" + RelativeEntry(entry), InstalledFilePath("C:\\update", entry),
                                         entry.digest, nullptr));
      ++fetched;
    }
  }
  EXPECT_EQ(Components().size(), fetched);
}

TEST_F(UpdateServer, PathsOutsideTheReleaseFilesAreRefused) {
  std::filesystem::create_symlink(Release() + "/answer.json", Release() + "/files/leak.json");
  auto server = Start();
  struct Case {
    std::string target;
    int status;
  };
  const Case cases[] = {
      {"/files/../answer.json", 403},
      {"/files/%2e%2e/answer.json", 403},
      {"/files/..%2Fanswer.json", 403},
      {"/files/Plugins\\..\\..\\answer.json", 403},
      {"/files/Plugins%5C..%5C..%5Canswer.json", 403},
      {"/files/C:%5Cetc%5Cpasswd", 403},
      {"/files/voda.exe%00.txt", 403},
      {"/answer.json", 404},
      {"/files/leak.json", 404},
      {"/files/Plugins", 404},
      {"/files", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const RawResponse raw = RawGet(server->HttpPort(), c.target);
    EXPECT_EQ(c.status, raw.status);
    EXPECT_EQ(std::string::npos, raw.body.find("1.2.3.4")) << raw.body;
  }
}

// Each fault rule as the Downloader's client sees it, and on the wire.
TEST_F(UpdateServer, FaultsOnFilesAsTheClientSeesThem) {
  WriteFile(dir_.File("faults"), std::string("# faults of the file downloads\n"
                                             "/files/voda.exe delay 5000\n"
                                             "/files/Script/b.js stall 5000\n"
                                             "/files/Data/* cut 100\n"
                                             "/files/Plugins/sub/a.dll length 100\n"));
  auto server = Start({"--faults", dir_.File("faults"), "--fault", "/files/Digest.xml status 500",
                       "--fault", "/files/Digest_861.xml length 10", "--fault", "/files/none first=2 status 503"});
  const std::string base = server->HttpBase() + "/files";
  struct Case {
    const char* path;
    int result;
  };
  const Case cases[] = {
      {"/voda.exe", kHttpGetTimedOut},         // nothing at all within the time-out
      {"/Script\\b.js", kHttpGetTimedOut},     // half the body, then nothing
      {"/Data/readme.txt", kHttpGetFailed},    // the connection ends before the body does
      {"/Plugins\\sub\\a.dll", kHttpGetFailed},  // says 100 bytes, sends 9
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string body = "untouched";
    EXPECT_EQ(c.result, Get(base + c.path, body));
    EXPECT_EQ("untouched", body);
  }

  const RawResponse cut = RawGet(server->HttpPort(), "/files/Data/readme.txt");
  EXPECT_EQ("20000", cut.Header("content-length"));
  EXPECT_EQ(std::string(100, 'a'), cut.body);
  EXPECT_TRUE(cut.closed);

  const RawResponse longer = RawGet(server->HttpPort(), "/files/Plugins/sub/a.dll");
  EXPECT_EQ("100", longer.Header("content-length"));
  EXPECT_EQ("a plug-in", longer.body);
  EXPECT_TRUE(longer.closed);

  const RawResponse shorter = RawGet(server->HttpPort(), "/files/Digest_861.xml");
  EXPECT_EQ("10", shorter.Header("content-length"));
  EXPECT_EQ(ReadFile(Release() + "/files/Digest_861.xml"), shorter.body);

  // Any status, with the body it would have had; the client does not look at it.
  const RawResponse failing = RawGet(server->HttpPort(), "/files/Digest.xml");
  EXPECT_EQ(500, failing.status);
  EXPECT_EQ(ReadFile(Release() + "/files/Digest.xml"), failing.body);
  std::string body;
  EXPECT_EQ(kHttpGetOk, Get(base + "/Digest.xml", body));
  EXPECT_EQ(failing.body, body);

  // first=2: two faulty answers, then the ordinary one.
  EXPECT_EQ(503, RawGet(server->HttpPort(), "/files/none").status);
  EXPECT_EQ(503, RawGet(server->HttpPort(), "/files/none").status);
  EXPECT_EQ(404, RawGet(server->HttpPort(), "/files/none").status);

  EXPECT_TRUE(server->WaitForOutput("http GET /files/Data/readme.txt -> 200 20000 bytes, 100 sent [/files/Data/* cut 100]",
                                    std::chrono::seconds(5)))
      << server->Output();
}

TEST_F(UpdateServer, FaultsOnTheVersionQueryAsTheProtocolSeesThem) {
  const std::string numberV = "{\"v\":1234,\"url\":\"http://127.0.0.1/files\",\"update\":\"2\"}";
  struct Case {
    std::string rule;
    bool sent;
    bool opens;
  };
  const Case cases[] = {
      {"/assist/server delay 5000", false, false},
      {"/assist/server body 3082ABCDEF this is no sealed reply", true, false},
      {"/assist/server append 0", true, true},
      {"/assist/server sealed " + numberV, true, false},
      {"/assist/server status 404", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    auto server = Start({"--fault", c.rule});
    std::string response;
    ASSERT_EQ(c.sent, Ask(server->HttpBase(), response));
    if (!c.sent) continue;
    ServerReply reply;
    EXPECT_EQ(c.opens, ReadServerReply(response, reply));
    if (c.opens) {
      EXPECT_EQ("1.2.3.4", reply.version);
      EXPECT_EQ(server->HttpBase() + "/files", reply.downloadUrl);
    }
  }

  // The odd-length reply loses its last character and opens; the number in "v" is what fails.
  auto odd = Start({"--fault", "/assist/server append 0"});
  std::string response;
  ASSERT_TRUE(Ask(odd->HttpBase(), response));
  EXPECT_EQ(1u, response.size() % 2);
  auto number = Start({"--fault", "/assist/server sealed " + numberV});
  ASSERT_TRUE(Ask(number->HttpBase(), response));
  std::string opened;
  ASSERT_TRUE(UnsealToString(response.data(), static_cast<std::uint32_t>(response.size()), opened));
  EXPECT_EQ(numberV, opened);
}

TEST_F(UpdateServer, EndsCleanlyOnSigtermAndSigintAlsoDuringARequest) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    auto server = Start({"--fault", "/files/voda.exe delay 60000"});
    const int port = server->HttpPort();
    RawResponse stalled;
    std::thread request([&stalled, port] { stalled = RawGet(port, "/files/voda.exe"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(0, server->Stop(signal));
    request.join();
    EXPECT_NE(std::string::npos,
              server->Output().find(signal == SIGTERM ? "stopped on SIGTERM" : "stopped on SIGINT"))
        << server->Output();
    EXPECT_EQ(0, RawGet(port, "/files/voda.exe").status);  // nobody listens any more
  }
}

TEST_F(UpdateServer, RefusesToStartOnBadConfiguration) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  };
  const Case cases[] = {
      {{}, 2, "--release is required"},
      {{"--release", dir_.File("none")}, 1, "no such release folder"},
      {{"--release", Release(), "--fault", "/files/a.dll explode 3"}, 1, "unknown action explode"},
      {{"--release", Release(), "--fault", "/files/a.dll status 42"}, 1, "200 to 599"},
      {{"--release", Release(), "--faults", dir_.File("none")}, 1, "cannot read"},
      {{"--release", Release(), "--port", "70000"}, 2, "port number"},
      {{"--release", Release(), "--cert", dir_.File("c.pem")}, 2, "go together"},
      {{"--release", Release(), "--loud", "yes"}, 2, "unknown option --loud"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ServerProcess server(c.args);
    EXPECT_EQ(c.exitCode, server.Wait(std::chrono::seconds(10)));
    EXPECT_NE(std::string::npos, server.Output().find(c.message)) << server.Output();
  }
}

TEST_F(UpdateServer, GivenCertificateServesHttpsAndMadeOneIsSaved) {
  auto made = Start({"--https-port", "0", "--cert-dir", dir_.File("tls")});
  ASSERT_GT(made->HttpsPort(), 0) << made->Output();
  // The saved certificate is a self-signed one for 127.0.0.1 that openssl accepts as its own issuer.
  const CommandResult check = RunCommand("openssl verify -CAfile " + dir_.File("tls/server.crt") + " " +
                                         dir_.File("tls/server.crt") + " 2>&1");
  EXPECT_EQ(0, check.exitCode) << check.output;
  EXPECT_EQ(0, RunCommand("curl -s --cacert " + dir_.File("tls/server.crt") + " -o /dev/null " +
                          made->HttpsBase() + "/files/voda.exe")
                   .exitCode);
  made.reset();

  auto given = Start({"--https-port", "0", "--cert", dir_.File("tls/server.crt"), "--key",
                      dir_.File("tls/server.key")});
  ASSERT_GT(given->HttpsPort(), 0) << given->Output();
  std::string body;
  ASSERT_EQ(kHttpGetOk, Get(given->HttpsBase() + "/files/voda.exe", body));
  EXPECT_EQ("the main program", body);
}

}  // namespace
