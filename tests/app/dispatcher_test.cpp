// The dispatcher: version texts, the decision as a table, and the acting side on a real prefix record
// with a real peer on 127.0.0.1, the message boxes, browser, exit and dialogs recorded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/bank_profile.h"
#include "app/dispatcher.h"
#include "app/downloader_app.h"
#include "app/globals.h"
#include "app/version.h"
#include "crypto/sealing.h"
#include "net/test_server.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "support/temp_prefix.h"

namespace {

using nettest::HttpResponse;
using nettest::RawConnection;
using nettest::RawHttpServer;

// --- ParseVersion ----------------------------------------------------------------------------------

TEST(ParseVersionTest, BothFormsAndShortTexts) {
  struct Case {
    const char* text;
    VersionQuad expected;
  };
  const Case cases[] = {
      {"1.0.18.0916", {1, 0, 18, 916}},
      {"1.0.18.916", {1, 0, 18, 916}},
      {"10.20.30.40", {10, 20, 30, 40}},
      {"1.2.3.4.5", {1, 2, 3, 4}},         // text after a fourth dot is ignored
      {" 1.+2. 3.4x", {1, 2, 3, 4}},       // each piece by the decimal rule
      {"2.x.3.4", {2, 0, 3, 4}},
      {"1.0.18", {1, 0, 18, 0}},           // too few dots: the missing parts are 0
      {"1.25", {1, 25, 0, 0}},
      {"1.0.", {1, 0, 0, 0}},
      {"10180916", {1, 0, 18, 916}},       // no dot: by position 1, 1, 2, rest
      {"1018", {1, 0, 18, 0}},
      {"12345678901", {1, 2, 34, 5678901}},
      {"ab12", {0, 0, 12, 0}},
      {"1.0", {0, 0, 0, 0}},               // fewer than four characters
      {"999", {0, 0, 0, 0}},
      {"", {0, 0, 0, 0}},
      {"1.0.-1.0", {1, 0, 0xFFFFFFFFu, 0}},  // a negative piece wraps, as an unsigned conversion does
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const VersionQuad v = ParseVersion(c.text);
    EXPECT_EQ(v.major, c.expected.major);
    EXPECT_EQ(v.minor, c.expected.minor);
    EXPECT_EQ(v.build, c.expected.build);
    EXPECT_EQ(v.revision, c.expected.revision);
  }
}

TEST(ParseVersionTest, FirstUnequalComponentDecidesAsUnsigned) {
  struct Case {
    VersionQuad a, b;
    int sign;
  };
  const Case cases[] = {
      {{1, 0, 18, 916}, {1, 0, 18, 916}, 0},
      {{1, 0, 18, 999}, {1, 0, 19, 0}, -1},
      {{2, 0, 0, 0}, {1, 9, 9, 9}, 1},
      {{1, 0, 0, 0x80000000u}, {1, 0, 0, 1}, 1},  // unsigned, not signed
      {{0, 0, 0, 0}, {0, 0, 0, 1}, -1},
  };
  for (const Case& c : cases) {
    const int result = CompareVersions(c.a, c.b);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
    EXPECT_EQ(-CompareVersions(c.b, c.a) > 0, c.sign > 0);
  }
}

// --- The decision ------------------------------------------------------------------------------------

TEST(DispatchCommandTest, OnlyTheExactSwitchesCount) {
  EXPECT_EQ(DispatchCommandOf("-update"), DispatchCommand::kUpdate);
  EXPECT_EQ(DispatchCommandOf("-losefile"), DispatchCommand::kRepair);
  for (const char* other : {"", "-t", "-update ", " -update", "-UPDATE", "-losefile x", "update"}) {
    EXPECT_EQ(DispatchCommandOf(other), DispatchCommand::kInteractive) << other;
  }
}

TEST(DecideDispatchTest, TableRowsFromTopToBottom) {
  using A = DispatchAction;
  constexpr ServerAnswer kNone = ServerAnswer::kNone;
  constexpr ServerAnswer kBad = ServerAnswer::kUnreadable;
  constexpr ServerAnswer kRead = ServerAnswer::kRead;
  struct Case {
    const char* commandLine;
    const char* installed;  // nullptr: no product record
    ServerAnswer answer;
    const char* v;
    const char* update;
    A action;
    bool takesInstallDir;
  };
  const Case cases[] = {
      // No record: first installation, whatever the command line.
      {"", nullptr, kNone, "", "", A::kFirstInstallation, false},
      {"-update", nullptr, kRead, "9.9.9.9", "2", A::kFirstInstallation, false},
      {"-losefile", nullptr, kNone, "", "", A::kFirstInstallation, false},
      // No answer ends the process; an unreadable one ends the run, also for a repair.
      {"", "1.0.0.0", kNone, "", "", A::kEndProcess, false},
      {"-losefile", "1.0.0.0", kNone, "", "", A::kEndProcess, false},
      {"-losefile", "1.0.0.0", kBad, "", "", A::kNothing, false},
      {"", "1.0.0.0", kBad, "", "", A::kNothing, false},
      // "-update" with update mode 0 ends right after the answer, whatever the versions.
      {"-update", "1.0.0.0", kRead, "2.0.0.0", "0", A::kNothing, false},
      {"-update", "1.0.0.0", kRead, "2.0.0.0", "", A::kNothing, false},
      {"-update", "1.0.0.0", kRead, "2.0.0.0", "abc", A::kNothing, false},
      {"-update", "3.0.0.0", kRead, "2.0.0.0", "0", A::kNothing, false},
      // The repair runs whatever the versions and the update mode are.
      {"-losefile", "1.0.0.0", kRead, "2.0.0.0", "1", A::kRepair, true},
      {"-losefile", "1.0.0.0", kRead, "1.0.0.0", "0", A::kRepair, true},
      {"-losefile", "3.0.0.0", kRead, "2.0.0.0", "2", A::kRepair, true},
      // Not older.
      {"-update", "1.0.18.0916", kRead, "1.0.18.916", "1", A::kNothing, true},
      {"-update", "1.0.19.0", kRead, "1.0.18.916", "2", A::kNothing, true},
      {"", "1.0.18.0916", kRead, "1.0.18.916", "0", A::kUpToDateNotice, true},
      {"", "1.0.19.0", kRead, "1.0.18.916", "2", A::kUpToDateNotice, true},
      {"", "1.0.18.916", kRead, "", "1", A::kUpToDateNotice, true},  // no "v" reads as 0.0.0.0
      {"-update ", "1.0.0.0", kRead, "1.0.0.0", "0", A::kUpToDateNotice, true},  // interactive
      // Older.
      {"", "1.0.18.916", kRead, "1.0.19.0", "1", A::kUpdateDialog, true},
      {"-update", "1.0.18.916", kRead, "1.0.19.0", "1", A::kUpdateDialog, true},
      {"", "1.0.18.916", kRead, "1.0.19.0", "2abc", A::kUpdateAtOnce, true},
      {"-update", "1.0.18.916", kRead, "1.0.19.0", " 2", A::kUpdateAtOnce, true},
      {"", "1.0.18.916", kRead, "1.0.19.0", "0", A::kNothing, true},
      {"", "1.0.18.916", kRead, "1.0.19.0", "", A::kNothing, true},
      {"", "1.0.18.916", kRead, "1.0.19.0", "3", A::kNothing, true},
      {"-update", "1.0.18.916", kRead, "1.0.19.0", "-1", A::kNothing, true},
      {"-LOSEFILE", "1.0.18.916", kRead, "1.0.19.0", "0", A::kNothing, true},  // interactive
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("[") + c.commandLine + "] installed=" + (c.installed ? c.installed : "none") +
                 " v=" + c.v + " update=" + c.update);
    DispatchFacts facts;
    facts.command = DispatchCommandOf(c.commandLine);
    if (c.installed != nullptr) facts.product = ProductRecord{c.installed, "C:\\Program Files\\voda"};
    facts.answer = c.answer;
    facts.reply.version = c.v;
    facts.reply.update = c.update;
    const DispatchDecision decision = DecideDispatch(facts);
    EXPECT_EQ(static_cast<int>(decision.action), static_cast<int>(c.action));
    EXPECT_EQ(decision.takesInstallDir, c.takesInstallDir);
  }
}

TEST(DispatcherTextTest, UpToDateNoticeInsertsTheNameAsText) {
  EXPECT_EQ(UpToDateNotice("云溪银行voda"), "您当前已安装了最新的云溪银行voda版本。");
  EXPECT_EQ(UpToDateNotice("%s%n%d"), "您当前已安装了最新的%s%n%d版本。");
  EXPECT_EQ(UpToDateNotice(""), "您当前已安装了最新的版本。");
}

// --- Acting --------------------------------------------------------------------------------------------

// Records what the dispatcher does through its seams, in order.
class Recorder final : public DispatcherActions, public UpdateDialogs, public FirstInstallDialogs {
 public:
  std::vector<std::string> events;
  std::optional<platform::ProcessId> browser;  // the running browser FindBrowser reports
  int answer = gui::IDYES;                     // the user's answer to a question

  int ShowMessage(const std::string& text, const std::string& caption, gui::UINT type) override {
    events.push_back("box " + std::to_string(type) + " [" + caption + "] " + text);
    return type == gui::MB_YESNO ? answer : gui::IDOK;
  }
  bool FindBrowser(platform::ProcessId& processId) override {
    events.push_back("find browser");
    if (!browser) return false;
    processId = *browser;
    return true;
  }
  void EndBrowser(platform::ProcessId processId) override {
    events.push_back("end browser " + std::to_string(processId));
  }
  void EndProcess() override { events.push_back("exit"); }
  void RunProgressDialog(RunMode mode) override {
    events.push_back("progress dialog " + std::to_string(static_cast<int>(mode)));
  }
  void RunUpdateDialog(CDownloaderApp&) override { events.push_back("update dialog"); }
  void RunVersionQueryDialog(CDownloaderApp&) override { events.push_back("version-query dialog"); }
};

std::string Sealed(const std::string& json) {
  std::string sealed;
  EXPECT_TRUE(SealToString(json, sealed));
  return sealed;
}

// Where a connection is refused at once: a port that was just free.
int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    g_bankProfile = BankProfile{};
    g_server = ServerEndpoint{};
    FillBankProfile(0x861, g_bankProfile, g_server);
    g_server.queryPath = "/assist/server?reqtype=1&data=";
    g_install = InstallState{};
  }
  void TearDown() override {
    g_bankProfile = BankProfile{};
    g_server = ServerEndpoint{};
    g_install = InstallState{};
  }

  // The product record as the installation writes it: REG_SZ without a terminating zero.
  void WriteRecord(const std::optional<std::string>& version, const std::optional<std::string>& path) {
    std::unique_ptr<platform::RegistryKey> key;
    ASSERT_TRUE(platform::Current().Reg().CreateKey(ProductRegistryKey(), platform::kKeyAllAccess, &key).ok());
    if (version) SetText(*key, "Version", *version);
    if (path) SetText(*key, "Path", *path);
  }
  static void SetText(platform::RegistryKey& key, const char* name, const std::string& text) {
    ASSERT_TRUE(key.SetValue(name, platform::kRegSz, text.data(), static_cast<std::uint32_t>(text.size())).ok());
  }

  // A peer answering every request with `response`.
  std::unique_ptr<RawHttpServer> Serve(std::string response) {
    auto server = std::make_unique<RawHttpServer>(
        [response](RawConnection& connection) { connection.Send(response); });
    g_server.baseUrl = server->Url("");
    return server;
  }

  voda_test::TempPrefix machine_;
  CDownloaderApp app_{""};
  Recorder recorder_;
};

TEST_F(DispatcherTest, ReadsTheProductRecordUpTo259Bytes) {
  EXPECT_FALSE(ReadProductRecord());  // no key
  WriteRecord(std::string("1.0.18.916"), std::nullopt);
  EXPECT_FALSE(ReadProductRecord());  // no Path

  WriteRecord(std::nullopt, std::string("C:\\Program Files\\云溪银行voda"));
  std::optional<ProductRecord> record = ReadProductRecord();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->version, "1.0.18.916");
  EXPECT_EQ(record->path, "C:\\Program Files\\云溪银行voda");

  // A value written with its terminating zero ends there; one of 259 bytes is read whole; 260 bytes
  // fill the buffer and are cut to 259; a longer value does not fit and the product is not installed.
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_TRUE(platform::Current().Reg().OpenKey(ProductRegistryKey(), platform::kKeyAllAccess, &key).ok());
  ASSERT_TRUE(key->SetValue("Version", platform::kRegSz, "1.0.19.0\0junk", 13).ok());
  SetText(*key, "Path", std::string(259, 'p'));
  record = ReadProductRecord();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->version, "1.0.19.0");
  EXPECT_EQ(record->path, std::string(259, 'p'));
  SetText(*key, "Path", std::string(260, 'q'));
  record = ReadProductRecord();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->path, std::string(259, 'q'));
  SetText(*key, "Path", std::string(261, 'r'));
  EXPECT_FALSE(ReadProductRecord());

  // Only the 32-bit view holds the record, as the installation writes it.
  std::unique_ptr<platform::RegistryKey> other;
  EXPECT_FALSE(platform::Current()
                   .Reg()
                   .OpenKey(ProductRegistryKey(), platform::kKeyRead | platform::kKeyWow64_64Key, &other)
                   .ok());
}

// Every row that acts, against a real peer and a real prefix record.
TEST_F(DispatcherTest, ActsAsTheDecisionSays) {
  const std::string productName = g_bankProfile.productName;
  const std::string question = "box 4 [" + productName + "] " + kBrowserQuestion;
  const std::string notice = "box 0 [" + productName + "] " + UpToDateNotice(productName);
  struct Case {
    const char* name;
    const char* commandLine;
    const char* installed;
    std::string json;
    std::optional<platform::ProcessId> browser;
    int answer;
    std::vector<std::string> events;
    bool takesInstallDir;
  };
  const Case cases[] = {
      {"older, update 2: browser ended unasked, then the update run", "", "1.0.18.916",
       R"({"v":"1.0.19.0","url":"https://dl.example/voda","update":"2"})", 42, gui::IDYES,
       {"end browser 0", "progress dialog 1"}, true},
      {"older, update 1: the update dialog", "-update", "1.0.18.916",
       R"({"v":"1.0.19.0","url":"https://dl.example/voda","update":"1"})", std::nullopt, gui::IDYES,
       {"update dialog"}, true},
      {"older, update 0: nothing shown", "", "1.0.18.916",
       R"({"v":"1.0.19.0","url":"https://dl.example/voda","update":"0"})", std::nullopt, gui::IDYES, {}, true},
      {"equal versions: the notice", "", "1.0.18.0916",
       R"({"v":"1.0.18.916","url":"https://dl.example/voda","update":"1"})", std::nullopt, gui::IDYES,
       {notice}, true},
      {"-update, update 0: ends before the install folder is set", "-update", "1.0.18.916",
       R"({"v":"1.0.19.0","url":"https://dl.example/voda","update":"0"})", std::nullopt, gui::IDYES, {}, false},
      {"-losefile, no browser: the repair", "-losefile", "1.0.18.916",
       R"({"v":"1.0.19.0","url":"https://dl.example/voda","update":"1"})", std::nullopt, gui::IDYES,
       {"find browser", "progress dialog 2"}, true},
      {"-losefile, browser, Yes: ended, then the repair", "-losefile", "1.0.18.916",
       R"({"v":"1.0.18.916","url":"https://dl.example/voda"})", 42, gui::IDYES,
       {"find browser", question, "end browser 42", "progress dialog 2"}, true},
      {"-losefile, browser, No: nothing ended, no dialog", "-losefile", "1.0.18.916",
       R"({"v":"1.0.18.916","url":"https://dl.example/voda","update":"2"})", 42, gui::IDNO,
       {"find browser", question}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_install = InstallState{};
    recorder_ = Recorder{};
    recorder_.browser = c.browser;
    recorder_.answer = c.answer;
    WriteRecord(std::string(c.installed), std::string("C:\\Program Files\\voda"));
    auto server = Serve(HttpResponse(200, Sealed(c.json)));

    EXPECT_EQ(DispatchCommandLine(c.commandLine, app_, recorder_, recorder_), 1);
    EXPECT_EQ(recorder_.events, c.events);
    EXPECT_EQ(server->Requests().size(), 1u);
    EXPECT_EQ(g_install.downloadBaseUrl, "https://dl.example/voda");
    EXPECT_FALSE(g_install.latestVersion.empty());
    EXPECT_EQ(g_install.installDir, c.takesInstallDir ? "C:\\Program Files\\voda" : "");
  }
}

TEST_F(DispatcherTest, StoresTheWholeAnswerAndDropsTheLastCharacterOfAnOddBody) {
  WriteRecord(std::string("1.0.18.916"), std::string("D:\\voda"));
  auto server = Serve(HttpResponse(200, Sealed(R"({"v":"1.0.19.0","url":"https://dl.example/v","update":"2abc"})") + "Z"));
  EXPECT_EQ(DispatchCommandLine("", app_, recorder_, recorder_), 1);
  EXPECT_EQ(recorder_.events, (std::vector<std::string>{"end browser 0", "progress dialog 1"}));
  EXPECT_EQ(g_install.latestVersion, "1.0.19.0");
  EXPECT_EQ(g_install.downloadBaseUrl, "https://dl.example/v");
  EXPECT_EQ(g_install.updateMode, 2);
  EXPECT_EQ(g_install.installDir, "D:\\voda");
}

TEST_F(DispatcherTest, NotInstalledAsksNobody) {
  auto server = Serve(HttpResponse(200, Sealed(R"({"v":"1.0.19.0","url":"u","update":"2"})")));
  // No key at all, then a key with Version but without Path.
  for (int record = 0; record < 2; ++record) {
    if (record == 1) WriteRecord(std::string("1.0.0.1"), std::nullopt);
    for (const char* commandLine : {"", "-update", "-losefile"}) {
      SCOPED_TRACE(commandLine);
      EXPECT_EQ(DispatchCommandLine(commandLine, app_, recorder_, recorder_), 0);
    }
  }
  EXPECT_TRUE(recorder_.events.empty());
  EXPECT_TRUE(server->Requests().empty());
  EXPECT_TRUE(g_install.latestVersion.empty());

  // At start-up a 0 opens the version-query dialog; any other result ends the run.
  CDownloaderApp update("-update");
  RunDispatchStep(update, recorder_, recorder_, recorder_);
  EXPECT_EQ(recorder_.events, (std::vector<std::string>{"version-query dialog"}));
}

TEST_F(DispatcherTest, AnAnswerThatDoesNotOpenEndsTheRunSilently) {
  WriteRecord(std::string("1.0.18.916"), std::string("C:\\voda"));
  struct Case {
    const char* name;
    std::string response;
  };
  const Case cases[] = {
      {"404 page", HttpResponse(404, "<html><body><h1>404 Not Found</h1></body></html>")},
      {"not JSON", HttpResponse(200, Sealed("v=1.0.19.0"))},
      {"v a number", HttpResponse(200, Sealed(R"({"v":1,"url":"u","update":"2"})"))},
      {"not an object", HttpResponse(200, Sealed(R"(["1.0.19.0"])"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* commandLine : {"", "-losefile"}) {
      auto server = Serve(c.response);
      EXPECT_EQ(DispatchCommandLine(commandLine, app_, recorder_, recorder_), 1);
      EXPECT_EQ(server->Requests().size(), 1u);  // a body came: no further attempt
    }
  }
  EXPECT_TRUE(recorder_.events.empty());
  EXPECT_TRUE(g_install.latestVersion.empty());
  EXPECT_TRUE(g_install.installDir.empty());

  // Start-up opens no dialog after such a run.
  auto server = Serve(cases[0].response);
  RunDispatchStep(app_, recorder_, recorder_, recorder_);
  EXPECT_TRUE(recorder_.events.empty());
}

TEST_F(DispatcherTest, FourFailedAttemptsBackToBackThenTheExit) {
  WriteRecord(std::string("1.0.18.916"), std::string("C:\\voda"));
  auto server = Serve(HttpResponse(200, ""));  // an empty body is a failed attempt
  EXPECT_EQ(DispatchCommandLine("-losefile", app_, recorder_, recorder_), 1);
  EXPECT_EQ(server->Requests().size(), 4u);
  EXPECT_EQ(recorder_.events, (std::vector<std::string>{"exit"}));
  EXPECT_TRUE(g_install.latestVersion.empty());

  // A third attempt that gets an answer ends the retries.
  int connections = 0;
  const std::string answer = HttpResponse(200, Sealed(R"({"v":"1.0.18.916","url":"u","update":"0"})"));
  RawHttpServer flaky([&](RawConnection& connection) {
    connection.Send(++connections < 3 ? HttpResponse(200, "") : answer);
  });
  g_server.baseUrl = flaky.Url("");
  recorder_ = Recorder{};
  EXPECT_EQ(DispatchCommandLine("-update", app_, recorder_, recorder_), 1);
  EXPECT_EQ(flaky.Requests().size(), 3u);
  EXPECT_TRUE(recorder_.events.empty());
  EXPECT_EQ(g_install.latestVersion, "1.0.18.916");
}

// The program's dialogs are bound by its entry; unbound, each says that none is bound.
TEST_F(DispatcherTest, ProgramDialogsAreTheBoundOnesOrSayNoneIsBound) {
  BindProgramDialogs(&recorder_, &recorder_);
  RunDispatchStep(app_);  // not installed
  WriteRecord(std::string("1.0.18.916"), std::string("C:\\voda"));
  auto server = Serve(HttpResponse(200, Sealed(R"({"v":"1.0.19.0","url":"u","update":"1"})")));
  RunDispatchStep(app_);
  BindProgramDialogs(nullptr, nullptr);
  EXPECT_EQ(recorder_.events, (std::vector<std::string>{"version-query dialog", "update dialog"}));

  ::testing::internal::CaptureStderr();
  RunDispatchStep(app_);
  ProgramUpdateDialogs().RunProgressDialog(ModeRepair);
  ProgramFirstInstallDialogs().RunVersionQueryDialog(app_);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "downloader: no update dialog is bound in this program\n"
            "downloader: no progress dialog (run mode 2) is bound in this program\n"
            "downloader: no version-query dialog is bound in this program\n");
}

// The program's own bindings against a closed port: the process ends with code 0 and shows nothing.
TEST_F(DispatcherTest, UnreachableServerEndsTheProcessWithCodeZero) {
  WriteRecord(std::string("1.0.18.916"), std::string("C:\\voda"));
  const int port = ClosedPort();
  ASSERT_GT(port, 0);
  g_server.baseUrl = "http://127.0.0.1:" + std::to_string(port);
  EXPECT_EXIT(DispatchCommandLine("", app_), ::testing::ExitedWithCode(0), ::testing::Eq(std::string()));
}

}  // namespace
