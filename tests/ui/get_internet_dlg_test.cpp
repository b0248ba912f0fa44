// The version-query dialog against the real update-server on 127.0.0.1, driven by the scripted user:
// success stores the answer and hands over with the dialog hidden, the retry budget, the stalled state
// of a reply that does not open, and Cancel with its question.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "app/run_program.h"
#include "gui/machine.h"
#include "gui/script.h"
#include "gui/window.h"
#include "server/server_process.h"
#include "support/temp_prefix.h"
#include "ui/get_internet_dlg.h"
#include "ui_support.h"

namespace {

using servertest::ServerProcess;

const char kQueryPath[] = "/assist/server?reqtype=1&data=";
const char kVersion[] = "1.2.3.4";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The dialog as the program runs it, with the handover recorded instead of the install dialog.
class RecordingQueryDlg : public CGetInternetDlg {
 public:
  std::atomic<bool> handedOver{false};
  bool visibleAtHandover = true;
  bool onDialogThread = true;
  std::string versionAtHandover, urlAtHandover;
  std::thread::id dialogThread;

 protected:
  bool OnInitDialog() override {
    dialogThread = std::this_thread::get_id();
    return CGetInternetDlg::OnInitDialog();
  }
  void RunInstallDialog() override {
    visibleAtHandover = gui::IsWindowVisible(GetSafeHwnd());
    onDialogThread = std::this_thread::get_id() == dialogThread;
    versionAtHandover = g_install.latestVersion;
    urlAtHandover = g_install.downloadBaseUrl;
    handedOver = true;
  }
};

// Runs the dialog modally on a thread of its own; ends it at the end of the test if it is still open.
class QueryDialogRun {
 public:
  QueryDialogRun() {
    thread_ = std::thread([this] {
      result_ = dialog_.DoModal();
      done_ = true;
    });
  }
  ~QueryDialogRun() {
    if (!done_) dialog_.EndDialog(gui::IDCANCEL);
    thread_.join();
  }
  bool WaitEnded(int timeoutMs) { return ui_test::WaitFor([&] { return done_.load(); }, timeoutMs); }
  RecordingQueryDlg& dialog() { return dialog_; }
  gui::INT_PTR result() const { return result_; }

 private:
  RecordingQueryDlg dialog_;
  std::atomic<bool> done_{false};
  gui::INT_PTR result_ = -2;
  std::thread thread_;
};

class VersionQueryDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      unsetenv(name);
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    g_server = ServerEndpoint();
    g_install = InstallState();
    FillBankProfile(0x861, g_bankProfile, g_server);
    g_dialogRect = ScreenRect();
    gui::InstallBackend(std::make_unique<ui_test::QuietBackend>());
  }
  void TearDown() override {
    gui::InstallBackend(nullptr);
    g_install = InstallState();
  }

  // A release of one file, served with the fault rules given; the dialog asks it.
  void Serve(const std::vector<std::string>& faults = {}) {
    const std::string source = machine_.tempDir() + "/src";
    const std::string release = machine_.tempDir() + "/release";
    std::filesystem::create_directories(source);
    voda_test::WriteHostFile(source + "/voda.exe", "the main program");
    apptest::ProgramOptions options;
    options.prefixRoot = machine_.root();
    const apptest::ProgramRun publish = apptest::RunProgram(
        std::string(VODA_BIN_DIR) + "/voda-release",
        {"publish", source, release, "--version", kVersion, "--url", "{base}/files", "--update", "2"}, options);
    ASSERT_TRUE(publish.finished && publish.exitCode == 0) << publish.standardError;
    std::vector<std::string> args = {"--release", release};
    for (const std::string& fault : faults) {
      args.push_back("--fault");
      args.push_back(fault);
    }
    server_ = std::make_unique<ServerProcess>(args);
    ASSERT_GT(server_->HttpPort(), 0) << server_->Output();
    g_server.baseUrl = server_->HttpBase();
    g_server.pathPrefix.clear();
    g_server.queryPath = kQueryPath;
  }

  // The version queries the server has answered, once `expected` have come or five seconds have passed.
  std::size_t Queries(std::size_t expected) {
    ui_test::WaitFor([&] { return Count(server_->Output(), "GET /assist/server?") >= expected; }, 5000);
    return Count(server_->Output(), "GET /assist/server?");
  }

  // One line of the user's script; the user's current window carries over from line to line.
  void Do(const std::string& line) {
    std::vector<gui::ScriptCommand> commands;
    std::string error;
    ASSERT_TRUE(gui::ParseScript(line, &commands, &error)) << error;
    for (const gui::ScriptCommand& command : commands) ASSERT_TRUE(user_.Execute(command, &error)) << error;
  }

  voda_test::TempPrefix machine_;
  std::unique_ptr<ServerProcess> server_;
  gui::ScriptedUser user_{"user"};
};

TEST_F(VersionQueryDialog, ShowsTheFrameAndTheQueryingStateFirst) {
  Serve({"/assist/server delay 1500"});
  QueryDialogRun run;
  Do("wait dialog 130");
  const gui::WindowState s = ui_test::StateOf(user_.Current());
  EXPECT_EQ(s.title, g_bankProfile.downloaderTitle);
  EXPECT_TRUE(s.bigIcon);
  ASSERT_EQ(s.systemMenu.size(), 2u);
  EXPECT_EQ(s.systemMenu[1].id, kAboutMenuCommand);
  EXPECT_FALSE(run.dialog().m_bmpBackground.GetSafeHandle() == nullptr);
  EXPECT_EQ(run.dialog().m_nRetriesLeft, 2);
  Do("expect text 1029 \"正在获取版本信息...\"\nexpect hidden 1030\nexpect visible 2\nexpect text 2 \"取消\"");
  // Enter has no button to press here and does not end the installation.
  Do("enter\nsleep 100\nexpect visible 1029");
  // Its place is recorded for the install dialog.
  EXPECT_EQ(g_dialogRect.left, s.windowRect.left);
  EXPECT_EQ(g_dialogRect.top, s.windowRect.top);
  EXPECT_EQ(g_dialogRect.right, s.windowRect.right);
  // Moved by the user, it records the new place.
  Do("move 120 90");
  EXPECT_EQ(g_dialogRect.left, 120);
  EXPECT_EQ(g_dialogRect.top, 90);
  EXPECT_EQ(g_dialogRect.right - g_dialogRect.left, s.windowRect.Width());
}

TEST_F(VersionQueryDialog, SuccessStoresTheAnswerAndHandsOverWithTheDialogHidden) {
  Serve();
  QueryDialogRun run;
  Do("wait dialog 130");
  // The answer is stored first; the dialog stays in sight for a pause before it goes.
  // (Read on the dialog's thread, which stores it.)
  const gui::HWND h = user_.Current();
  ASSERT_TRUE(ui_test::WaitFor([h] {
    auto stored = std::make_shared<std::atomic<bool>>(false);
    gui::RunOnOwnerThread(h, [stored] { *stored = !g_install.latestVersion.empty(); }, 1000);
    return stored->load();
  }, 10000));
  EXPECT_TRUE(gui::IsWindowVisible(h));
  EXPECT_FALSE(run.dialog().handedOver);
  Do("wait gone 10");
  ASSERT_TRUE(run.WaitEnded(10000));
  EXPECT_EQ(run.result(), 0);
  RecordingQueryDlg& dialog = run.dialog();
  ASSERT_TRUE(dialog.handedOver);
  EXPECT_FALSE(dialog.visibleAtHandover);
  EXPECT_FALSE(dialog.onDialogThread) << "the install dialog runs on the worker's thread";
  EXPECT_EQ(dialog.versionAtHandover, kVersion);
  EXPECT_EQ(dialog.urlAtHandover, server_->HttpBase() + "/files");
  // The dialog asks once, and "update" is the dispatcher's alone.
  EXPECT_EQ(Queries(1), 1u);
  EXPECT_EQ(g_install.updateMode, 0);
}

// Three failed exchanges: Retry after the first and the second, then only Cancel. A server that fails
// twice and then answers is reached by the third exchange.
TEST_F(VersionQueryDialog, ThreeFailuresOfferRetryTwiceAndThenOnlyCancel) {
  struct Case {
    const char* fault;
    bool thirdSucceeds;
  };
  for (const Case c : {Case{"/assist/server cut 0", false}, Case{"/assist/server first=2 length 0", true}}) {
    SCOPED_TRACE(c.fault);
    Serve({c.fault});
    g_install = InstallState();
    {
      QueryDialogRun run;
      Do("wait dialog 130\nwait text 1029 \"服务器没响应\"\nexpect visible 1030");
      EXPECT_EQ(run.dialog().m_nRetriesLeft, 2);
      for (std::size_t exchange = 2; exchange <= 3; ++exchange) {
        Do("click 1030");
        ASSERT_EQ(Queries(exchange), exchange);
        if (exchange == 3 && c.thirdSucceeds) break;
        Do("wait text 1029 \"服务器没响应\"");
        if (exchange == 2) Do("expect visible 1030");
      }
      // Read once the dialog's thread has shown what followed the last click (or has ended).
      if (c.thirdSucceeds) {
        ASSERT_TRUE(run.WaitEnded(10000));
        EXPECT_EQ(run.dialog().m_nRetriesLeft, 0);
        EXPECT_TRUE(run.dialog().handedOver);
        EXPECT_EQ(g_install.latestVersion, kVersion);
      } else {
        Do("expect hidden 1030\nexpect visible 2\nsleep 300");
        EXPECT_EQ(run.dialog().m_nRetriesLeft, 0);
        EXPECT_EQ(Queries(4), 3u);
        EXPECT_FALSE(run.WaitEnded(0));
        EXPECT_EQ(g_install.latestVersion, "");
      }
    }
    server_.reset();
    std::filesystem::remove_all(machine_.tempDir() + "/release");
  }
}

// A reply that does not open, is not JSON or carries a number where a text belongs: the querying look
// stays, no retry is offered and nothing is stored.
TEST_F(VersionQueryDialog, AReplyThatDoesNotOpenLeavesItStalled) {
  for (const char* fault : {"/assist/server body NOT-A-SEALED-REPLY", "/assist/server sealed {\"v\":\"1.2",
                            "/assist/server sealed {\"v\":1234,\"url\":\"x\",\"update\":\"2\"}"}) {
    SCOPED_TRACE(fault);
    Serve({fault});
    {
      QueryDialogRun run;
      Do("wait dialog 130");
      ASSERT_EQ(Queries(1), 1u);
      Do("sleep 700\nexpect text 1029 \"正在获取版本信息...\"\nexpect hidden 1030\nexpect visible 2");
      EXPECT_FALSE(run.WaitEnded(0));
      EXPECT_FALSE(run.dialog().handedOver);
      EXPECT_EQ(g_install.latestVersion, "");
      EXPECT_EQ(g_install.downloadBaseUrl, "");
    }
    server_.reset();
    std::filesystem::remove_all(machine_.tempDir() + "/release");
  }
}

// Cancel, Escape and the close box ask; No leaves the dialog as it was and the running exchange still
// reports to it.
TEST_F(VersionQueryDialog, CancelAnsweredNoLeavesTheExchangeRunning) {
  Serve({"/assist/server delay 1500", "/assist/server cut 0"});
  QueryDialogRun run;
  Do("wait dialog 130");
  for (const char* how : {"click 2", "escape", "close"}) {
    SCOPED_TRACE(how);
    Do(how);
    Do("wait box \"是否退出voda安装？\"");
    const gui::WindowState box = ui_test::StateOf(user_.Current());
    EXPECT_EQ(box.title, g_bankProfile.downloaderTitle);
    EXPECT_TRUE(box.topmost);
    Do("answer no\nwait dialog 130");
  }
  Do("wait text 1029 \"服务器没响应\"\nexpect visible 1030");
  EXPECT_FALSE(run.WaitEnded(0));
}

// A peer on 127.0.0.1 that takes connections (the system completes them) and never answers.
class SilentPeer {
 public:
  SilentPeer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 8) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~SilentPeer() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Yes ends the process at once with exit code 0, without waiting for the exchange (here one that waits
// for a peer that never answers).
TEST_F(VersionQueryDialog, CancelAnsweredYesEndsTheProcessDuringAnExchange) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child runs the test again from its start and cannot clean up after itself: its machine goes
  // into this test's folder, which is removed with it.
  const char* before = std::getenv("TMPDIR");
  const std::string saved = before != nullptr ? before : "";
  setenv("TMPDIR", machine_.tempDir().c_str(), 1);
  EXPECT_EXIT(
      {
        SilentPeer peer;
        g_server.baseUrl = "http://127.0.0.1:" + std::to_string(peer.port());
        g_server.queryPath = kQueryPath;
        QueryDialogRun run;
        Do("wait dialog 130\nsleep 300\nclick 2\nwait box \"是否退出voda安装？\"\nanswer yes");
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(0), "");
  if (before != nullptr) setenv("TMPDIR", saved.c_str(), 1);
  else unsetenv("TMPDIR");
}

// "-t" from a second Downloader on the same machine ends this process at once, also while an exchange
// waits for a peer that does not answer.
TEST_F(VersionQueryDialog, QuitFromASecondInstanceEndsItDuringAnExchange) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* before = std::getenv("TMPDIR");
  const std::string saved = before != nullptr ? before : "";
  setenv("TMPDIR", machine_.tempDir().c_str(), 1);
  EXPECT_EXIT(
      {
        // The bank of the build, whose quit message the second instance sends.
        FillBankProfile(BuildBankId(), g_bankProfile, g_server);
        gui::ConnectToMachine(machine_.platform());
        SilentPeer peer;
        g_server.baseUrl = "http://127.0.0.1:" + std::to_string(peer.port());
        g_server.queryPath = kQueryPath;
        QueryDialogRun run;
        Do("wait dialog 130\nsleep 200\nexpect text 1029 \"正在获取版本信息...\"");
        apptest::ProgramOptions options;
        options.prefixRoot = machine_.root();
        options.timeoutMs = 10000;
        const apptest::ProgramRun quit = apptest::RunProgram(apptest::DownloaderPath(), {"-t"}, options);
        std::fprintf(stderr, "second instance: finished %d, exit code %d\n", quit.finished, quit.exitCode);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(0), "");
  if (before != nullptr) setenv("TMPDIR", saved.c_str(), 1);
  else unsetenv("TMPDIR");
}

// The downloader as a user starts it on a machine without the product, headless with a script, against
// a port where nobody listens: three exchanges fail, Retry is offered twice, then Cancel and Yes end it.
TEST_F(VersionQueryDialog, TheProgramOffersRetryTwiceThenCancelEndsIt) {
  int port = 0;
  {
    SilentPeer closing;  // a free port, closed again at once
    port = closing.port();
  }
  const std::string work = machine_.HostPath("C:\\work");
  std::filesystem::create_directories(work);
  voda_test::WriteHostFile(work + "/serverip.dat",
                           "http://127.0.0.1:" + std::to_string(port) + "\n\n" + kQueryPath + "\n");
  const std::string script = machine_.tempDir() + "/user.script";
  voda_test::WriteHostFile(script,
                           "wait dialog 130\n"
                           "wait visible 1030\nclick 1030\nsleep 500\n"
                           "wait visible 1030\nclick 1030\nsleep 500\n"
                           "expect hidden 1030\nexpect text 1029 \"服务器没响应\"\n"
                           "click 2\nwait box \"是否退出voda安装？\"\nanswer yes\n");
  apptest::ProgramOptions options;
  options.prefixRoot = machine_.root();
  options.workingDirectory = work;
  options.environment = {"VODA_UI=headless", "VODA_UI_SCRIPT=" + script, "VODA_UI_IDLE_SECONDS=20"};
  const apptest::ProgramRun run = apptest::RunProgram(apptest::DownloaderPath(), {}, options);
  ASSERT_TRUE(run.finished) << run.standardError;
  EXPECT_EQ(run.exitCode, 0) << run.standardError;
  EXPECT_EQ(Count(run.standardError, "1029 \"服务器没响应\""), 3u) << run.standardError;
  EXPECT_EQ(Count(run.standardError, "dialog 132"), 0u) << run.standardError;
  EXPECT_EQ(Count(run.standardError, "ui-script:"), 0u) << run.standardError;
}

}  // namespace
