#include "update/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/test_server.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/platform_wrapper.h"
#include "crypto/codec.h"
#include "support/temp_prefix.h"
#include "update/bind_callback.h"

namespace {

using nettest::ChunkedHttpResponse;
using nettest::HttpResponse;
using nettest::RawConnection;
using nettest::RawHttpServer;
using std::chrono::milliseconds;
using namespace std::string_literals;

constexpr const char* kFolder = "C:\\Inst\\Plugins";
constexpr const char* kTarget = "C:\\Inst\\Plugins\\a.dll";

platform::FileSystem& Files() { return platform::Current().Files(); }

std::string Body(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + 3) & 0xff);
  return body;
}

// What the progress dialog would have shown, call by call.
class RecordingSink : public FileProgressSink {
 public:
  struct Call {
    std::uint32_t pos;
    std::uint32_t rangeMax;
    std::string text;
  };
  void SetFileProgress(std::uint32_t pos, std::uint32_t rangeMax) override {
    calls.push_back(Call{pos, rangeMax, std::string()});
  }
  void SetFilePercentText(const std::string& text) override {
    ASSERT_FALSE(calls.empty());
    calls.back().text = text;
  }
  std::vector<Call> calls;
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    ASSERT_TRUE(Files().CreateFolder("C:\\Inst").ok());
    ASSERT_TRUE(Files().CreateFolder(kFolder).ok());
  }

  std::string Read(const std::string& path) {
    std::string data;
    EXPECT_TRUE(Files().ReadFile(path, &data).ok()) << path;
    return data;
  }

  // The names in the target's host folder: nothing but finished files may ever be left there.
  std::vector<std::string> HostNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(machine_.HostPath(kFolder))) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  // Short bounds so that stalls end quickly.
  DownloadLimits QuickLimits() {
    DownloadLimits limits;
    limits.connectTimeoutMs = 2000;
    limits.stallTimeoutMs = 300;
    return limits;
  }

  voda_test::TempPrefix machine_;
};

TEST_F(DownloadTest, WritesTheBodyOfA200AndAsksPastCaches) {
  const std::string body = Body(70000);
  RawHttpServer server([&](RawConnection& c) { c.SendInPieces(HttpResponse(200, body), 1500); });
  EXPECT_EQ(FetchUrlToFile(server.Url("/Plugins/a.dll"), kTarget, nullptr), kFetchCompleted);
  EXPECT_EQ(Read(kTarget), body);
  ASSERT_EQ(server.Requests().size(), 1u);
  const std::string request = server.Requests()[0];
  EXPECT_EQ(request.rfind("GET /Plugins/a.dll HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("Cache-Control: no-cache\r\n"), std::string::npos) << request;
  EXPECT_NE(request.find("Pragma: no-cache\r\n"), std::string::npos) << request;

  // A later download replaces the file whole.
  RawHttpServer other([](RawConnection& c) { c.Send(HttpResponse(200, "new")); });
  EXPECT_TRUE(DownloadFile(other.Url("/a.dll"), kTarget, nullptr));
  EXPECT_EQ(Read(kTarget), "new");
  EXPECT_EQ(HostNames(), std::vector<std::string>{"a.dll"});
}

TEST_F(DownloadTest, StatusOtherThan200WritesNothing) {
  RawHttpServer server([](RawConnection& c) { c.Send(HttpResponse(404, "<html>not here</html>")); });

  // No target yet: every attempt completes but leaves nothing, so all five are made.
  EXPECT_EQ(FetchUrlToFile(server.Url("/a.dll"), kTarget, nullptr), kFetchCompleted);
  EXPECT_FALSE(Files().Exists(kTarget));
  EXPECT_FALSE(DownloadFile(server.Url("/a.dll"), kTarget, nullptr));
  EXPECT_EQ(server.Connections(), 1 + 5);
  EXPECT_FALSE(Files().Exists(kTarget));

  // A target from earlier: the first attempt succeeds and the old file stays as it was.
  ASSERT_TRUE(Files().WriteFile(kTarget, "old").ok());
  RecordingSink sink;
  CBindCallback callback(&sink);
  EXPECT_TRUE(DownloadFile(server.Url("/a.dll"), kTarget, &callback));
  EXPECT_EQ(server.Connections(), 1 + 5 + 1);
  EXPECT_EQ(Read(kTarget), "old");
  EXPECT_TRUE(sink.calls.empty());
}

// Bodies whose length is not the announced one, or that stop, never touch the target.
TEST_F(DownloadTest, WrongLengthsAndCutBodiesLeaveTheTargetAlone) {
  const std::string body = Body(10000);
  struct Case {
    const char* name;
    std::function<void(RawConnection&)> answer;
    int expected;
  } cases[] = {
      {"cut before the announced length",
       [&](RawConnection& c) { c.Send(HttpResponse(200, body).substr(0, 200 + 5000)); }, kFetchFailed},
      {"announced length missing, body sent",
       [&](RawConnection& c) { c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body); }, kFetchFailed},
      {"chunked body longer than its announced length",
       [&](RawConnection& c) { c.Send(ChunkedHttpResponse(200, body, 3000, "Content-Length: 5000\r\n")); },
       kFetchFailed},
      {"chunked body without announced length",
       [&](RawConnection& c) { c.Send(ChunkedHttpResponse(200, body, 3000)); }, kFetchFailed},
      {"stalls after part of the body",
       [&](RawConnection& c) {
         c.Send(HttpResponse(200, body).substr(0, 4000));
         c.StallUntilPeerLeaves(milliseconds(10000));
       },
       kFetchTimedOut},
      {"stalls before the status line",
       [&](RawConnection& c) { c.StallUntilPeerLeaves(milliseconds(10000)); }, kFetchTimedOut},
      {"closes without an answer", [](RawConnection&) {}, kFetchFailed},
      {"not HTTP", [](RawConnection& c) { c.Send("hello there\r\n\r\n"); }, kFetchFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Files().WriteFile(kTarget, "old").ok());
    RawHttpServer server(c.answer);
    EXPECT_EQ(FetchUrlToFile(server.Url("/a.dll"), kTarget, nullptr, QuickLimits()), c.expected);
    EXPECT_EQ(Read(kTarget), "old");
    EXPECT_EQ(HostNames(), std::vector<std::string>{"a.dll"});
  }
}

TEST_F(DownloadTest, EmptyBodyWithoutLengthIsAnEmptyFile) {
  RawHttpServer server([](RawConnection& c) { c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"); });
  EXPECT_TRUE(DownloadFile(server.Url("/empty.dat"), kTarget, nullptr));
  EXPECT_EQ(Read(kTarget), "");
  EXPECT_EQ(server.Connections(), 1);
}

TEST_F(DownloadTest, FailedAttemptsAreRepeatedUpToFive) {
  // Two cut bodies, then the whole one: the third attempt succeeds.
  const std::string body = Body(9000);
  std::atomic<int> served{0};
  RawHttpServer flaky([&](RawConnection& c) {
    const std::string response = HttpResponse(200, body);
    c.Send(++served <= 2 ? response.substr(0, response.size() - 100) : response);
  });
  EXPECT_TRUE(DownloadFile(flaky.Url("/a.dll"), kTarget, nullptr, QuickLimits()));
  EXPECT_EQ(flaky.Connections(), 3);
  EXPECT_EQ(Read(kTarget), body);

  // Time-outs count as failed attempts too; a stalling server sees five and the call ends.
  RawHttpServer stalling([](RawConnection& c) { c.StallUntilPeerLeaves(milliseconds(10000)); });
  EXPECT_FALSE(DownloadFile(stalling.Url("/b.dll"), "C:\\Inst\\Plugins\\b.dll", nullptr, QuickLimits()));
  EXPECT_EQ(stalling.Connections(), 5);
  EXPECT_FALSE(Files().Exists("C:\\Inst\\Plugins\\b.dll"));
}

TEST_F(DownloadTest, UnusableUrlsAndTargetsFailEveryAttempt) {
  RawHttpServer server([](RawConnection& c) { c.Send(HttpResponse(200, "data")); });
  const std::string port = std::to_string(server.Port());
  for (const std::string& url : {"ftp://127.0.0.1:" + port + "/a.dll", "file:///etc/hostname"s,
                                 "127.0.0.1:" + port + "/a.dll", ""s, "http:///a.dll"s}) {
    EXPECT_EQ(FetchUrlToFile(url, kTarget, nullptr), kFetchFailed) << url;
    EXPECT_FALSE(DownloadFile(url, kTarget, nullptr)) << url;
  }
  EXPECT_EQ(server.Connections(), 0);

  // The target's folder does not exist, or the target is a folder: every attempt fetches and fails.
  EXPECT_FALSE(DownloadFile(server.Url("/a.dll"), "C:\\Inst\\Missing\\a.dll", nullptr));
  EXPECT_EQ(server.Connections(), 5);
  EXPECT_EQ(FetchUrlToFile(server.Url("/a.dll"), kFolder, nullptr), kFetchFailed);
  EXPECT_TRUE(Files().IsFolder(kFolder));
}

TEST_F(DownloadTest, NothingListensOrBodyTooLarge) {
  int port = 0;
  {
    RawHttpServer gone([](RawConnection&) {});
    port = gone.Port();
  }
  EXPECT_EQ(FetchUrlToFile("http://127.0.0.1:" + std::to_string(port) + "/a.dll", kTarget, nullptr, QuickLimits()),
            kFetchFailed);

  DownloadLimits small = QuickLimits();
  small.maxBodyBytes = 1000;
  RawHttpServer announced([](RawConnection& c) { c.Send(HttpResponse(200, Body(1001))); });
  EXPECT_EQ(FetchUrlToFile(announced.Url("/a.dll"), kTarget, nullptr, small), kFetchFailed);
  RawHttpServer chunked([](RawConnection& c) { c.Send(ChunkedHttpResponse(200, Body(5000), 700)); });
  EXPECT_EQ(FetchUrlToFile(chunked.Url("/a.dll"), kTarget, nullptr, small), kFetchFailed);
  RawHttpServer fits([](RawConnection& c) { c.Send(HttpResponse(200, Body(1000))); });
  EXPECT_EQ(FetchUrlToFile(fits.Url("/a.dll"), kTarget, nullptr, small), kFetchCompleted);
  EXPECT_EQ(Read(kTarget), Body(1000));
}

// A disk with room for `room` bytes of new content: the staged file's appends fail beyond it.
class FillingDisk : public platform::FileSystemWrapper {
 public:
  FillingDisk(platform::FileSystem& target, std::size_t room) : FileSystemWrapper(target), room_(room) {}
  platform::Status CreateStagedFile(const std::string& path, std::unique_ptr<platform::StagedFile>* file) override {
    std::unique_ptr<platform::StagedFile> real;
    if (platform::Status s = target().CreateStagedFile(path, &real); !s.ok()) return s;
    *file = std::make_unique<Limited>(std::move(real), room_);
    return platform::Error::kOk;
  }

 private:
  class Limited : public platform::StagedFile {
   public:
    Limited(std::unique_ptr<platform::StagedFile> real, std::size_t room) : real_(std::move(real)), room_(room) {}
    platform::Status Append(const void* data, std::size_t size) override {
      if (size > room_) return platform::Error::kIo;
      room_ -= size;
      return real_->Append(data, size);
    }
    platform::Status Commit() override { return real_->Commit(); }

   private:
    std::unique_ptr<platform::StagedFile> real_;
    std::size_t room_;
  };
  std::size_t room_;
};

// The body goes to disk as it arrives: a disk that fills up mid-body, or a target that may not be
// replaced when the body is complete, fails the attempt and leaves the old target and nothing else.
TEST_F(DownloadTest, WriteFailuresLeaveTheOldTarget) {
  const std::string body = Body(300000);
  RawHttpServer server([&](RawConnection& c) { c.SendInPieces(HttpResponse(200, body), 20000); });
  ASSERT_TRUE(Files().WriteFile(kTarget, "old").ok());
  {
    FillingDisk disk(machine_.platform().Files(), 100000);
    platform::PlatformWrapper wrapped(machine_.platform());
    wrapped.SetFiles(&disk);
    platform::Install(&wrapped);
    const int result = FetchUrlToFile(server.Url("/a.dll"), kTarget, nullptr);
    platform::Install(&machine_.platform());
    EXPECT_EQ(result, kFetchFailed);
  }
  EXPECT_EQ(Read(kTarget), "old");
  EXPECT_EQ(HostNames(), std::vector<std::string>{"a.dll"});

  // The target became a folder while the body arrived: the complete body is dropped.
  const std::string folderTarget = std::string(kFolder) + "\\late";
  RawHttpServer late([&](RawConnection& c) {
    c.Send(HttpResponse(200, body).substr(0, 1000));
    EXPECT_TRUE(platform::Current().Files().CreateFolder(folderTarget).ok());
    c.Send(HttpResponse(200, body).substr(1000));
  });
  EXPECT_EQ(FetchUrlToFile(late.Url("/a.dll"), folderTarget, nullptr), kFetchFailed);
  EXPECT_TRUE(Files().IsFolder(folderTarget));
  std::vector<std::string> names = HostNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.dll", "late"}));
}

TEST_F(DownloadTest, FollowsRedirects) {
  RawHttpServer target([](RawConnection& c) { c.Send(HttpResponse(200, "moved body")); });
  RawHttpServer redirect([&](RawConnection& c) {
    c.Send(HttpResponse(302, "", "Location: " + target.Url("/real/a.dll") + "\r\n"));
  });
  EXPECT_TRUE(DownloadFile(redirect.Url("/a.dll"), kTarget, nullptr));
  EXPECT_EQ(Read(kTarget), "moved body");
}

TEST_F(DownloadTest, BackslashesInThePathAreSentAsSlashes) {
  RawHttpServer server([](RawConnection& c) { c.Send(HttpResponse(200, "x")); });
  EXPECT_TRUE(DownloadFile(server.Url("/Plugins\\sub\\a.dll?v=a\\b"), kTarget, nullptr));
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].rfind("GET /Plugins/sub/a.dll?v=a\\b HTTP/1.1\r\n", 0), 0u) << server.Requests()[0];
}

std::string DigestOf(const std::string& data) {
  return ContentDigest(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

// A component is accepted only with its manifest digest, also when an old target stays in place.
TEST_F(DownloadTest, DigestCheckedDownloads) {
  const std::string good = Body(9000);
  const std::string digest = DigestOf(good);
  RawHttpServer genuine([&](RawConnection& c) { c.Send(HttpResponse(200, good)); });
  EXPECT_TRUE(DownloadFileWithDigest(genuine.Url("/a.dll"), kTarget, digest, nullptr));
  EXPECT_EQ(Read(kTarget), good);
  EXPECT_EQ(genuine.Connections(), 1);
  EXPECT_FALSE(DownloadFileWithDigest(genuine.Url("/a.dll"), kTarget, "", nullptr));

  ASSERT_TRUE(Files().WriteFile(kTarget, "old").ok());
  RawHttpServer tampered([&](RawConnection& c) { c.Send(HttpResponse(200, good + "!")); });
  EXPECT_FALSE(DownloadFileWithDigest(tampered.Url("/a.dll"), kTarget, digest, nullptr));
  EXPECT_EQ(tampered.Connections(), 5);
  EXPECT_EQ(Read(kTarget), "old");

  // A tampered answer first, then the genuine one: the second attempt succeeds.
  std::atomic<int> served{0};
  RawHttpServer mixed([&](RawConnection& c) { c.Send(HttpResponse(200, ++served == 1 ? good + "!" : good)); });
  EXPECT_TRUE(DownloadFileWithDigest(mixed.Url("/a.dll"), kTarget, digest, nullptr));
  EXPECT_EQ(mixed.Connections(), 2);
  EXPECT_EQ(Read(kTarget), good);

  // Another status: the old target counts only when it is the described file.
  RawHttpServer missing([](RawConnection& c) { c.Send(HttpResponse(404, "")); });
  EXPECT_TRUE(DownloadFileWithDigest(missing.Url("/a.dll"), kTarget, digest, nullptr));
  EXPECT_EQ(missing.Connections(), 1);
  ASSERT_TRUE(Files().WriteFile(kTarget, "stale").ok());
  EXPECT_FALSE(DownloadFileWithDigest(missing.Url("/a.dll"), kTarget, digest, nullptr));
  EXPECT_EQ(missing.Connections(), 1 + 5);
  EXPECT_EQ(Read(kTarget), "stale");
}

TEST_F(DownloadTest, HttpsCertificateProblemsDoNotStopTheDownload) {
  for (auto kind : {nettest::TlsCertificate::SelfSigned, nettest::TlsCertificate::Expired,
                    nettest::TlsCertificate::WrongName}) {
    nettest::TlsHttpServer server(kind, "secure body");
    ASSERT_TRUE(server.Ok());
    ASSERT_TRUE(Files().DeleteFile(kTarget).ok() || !Files().Exists(kTarget));
    EXPECT_TRUE(DownloadFile(server.Url("127.0.0.1", "/Plugins/a.dll"), kTarget, nullptr));
    EXPECT_EQ(Read(kTarget), "secure body");
  }
}

// Progress after every block of 4096 bytes, whatever pieces the network delivers.
TEST_F(DownloadTest, ProgressAfterEveryBlock) {
  struct Case {
    std::size_t size;
    std::size_t piece;
    std::vector<std::pair<std::uint32_t, const char*>> expected;
  } cases[] = {
      {10000, 1000, {{4096, "40.96%"}, {8192, "81.92%"}, {10000, "100.00%"}}},
      {10000, 65536, {{4096, "40.96%"}, {8192, "81.92%"}, {10000, "100.00%"}}},
      {8192, 3, {{4096, "50.00%"}, {8192, "100.00%"}}},
      {100, 7, {{100, "100.00%"}}},
      {0, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string body = Body(c.size);
    RawHttpServer server([&](RawConnection& conn) { conn.SendInPieces(HttpResponse(200, body), c.piece); });
    RecordingSink sink;
    CBindCallback callback(&sink);
    EXPECT_TRUE(DownloadFile(server.Url("/a.dll"), kTarget, &callback));
    ASSERT_EQ(sink.calls.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(sink.calls[i].pos, c.expected[i].first);
      EXPECT_EQ(sink.calls[i].rangeMax, c.size);
      EXPECT_EQ(sink.calls[i].text, c.expected[i].second);
    }
  }
}

TEST(BindCallback, AnswersAndPercentages) {
  RecordingSink sink;
  CBindCallback callback(&sink);
  EXPECT_EQ(callback.QueryInterface(nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(callback.AddRef(), 0u);
  EXPECT_EQ(callback.Release(), 0u);
  EXPECT_EQ(callback.OnStartBinding(0, nullptr), E_NOTIMPL);
  EXPECT_EQ(callback.GetBindInfo(nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(callback.OnProgress(3, 8, 0, nullptr), S_OK);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].text, "37.50%");

  // Full 32-bit values are computed in double precision; no total shows no share.
  EXPECT_EQ(FormatFilePercent(4294967295u, 4294967295u), "100.00%");
  EXPECT_EQ(FormatFilePercent(1, 3), "33.33%");
  EXPECT_EQ(FormatFilePercent(2, 3), "66.67%");
  EXPECT_EQ(FormatFilePercent(500, 0), "0.00%");

  CBindCallback nowhere(nullptr);
  EXPECT_EQ(nowhere.OnProgress(1, 2, 0, nullptr), S_OK);
}

}  // namespace
