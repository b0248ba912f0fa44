// The progress dialog in this process: the real update engine against update-server on 127.0.0.1 and
// system-integration steps that record what the worker asks of them. Shows the order of the sequence in
// each run mode, the done flag as cancel sees it, the texts and bars, the pictures and the placement.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/globals.h"
#include "app/run_program.h"
#include "gui/controls.h"
#include "gui/message_box.h"
#include "server/server_process.h"
#include "ui/progress_dlg.h"
#include "ui_support.h"

namespace {

namespace fs = std::filesystem;
using gui::HWND;
using namespace ui_test;

// The system-integration steps, recorded. RemoveLegacyAssistants can be held until the test lets it go.
class RecordingSteps final : public SystemIntegrationSteps {
 public:
  bool NotifyPopupProgram(UpdateEngine&) override { return Record("notify"); }
  bool RemoveLegacyAssistants(RunProgressView&) override {
    Record("legacy");
    std::unique_lock<std::mutex> lock(mu_);
    released_.wait_for(lock, std::chrono::seconds(30), [&] { return !hold_; });
    return true;
  }
  int DetectVcRuntime(UpdateEngine&, int& x86, int& x64) override {
    Record("detect");
    x86 = needX86;
    x64 = needX64;
    return 0;
  }
  bool InstallVcRuntime(UpdateEngine& engine, int x86, int x64) override {
    Record("runtime");
    for (int i = 0; i < x86 + x64; ++i) engine.AdvanceOverall();
    return true;
  }
  bool StopRunningAssistant(UpdateEngine&) override { return Record("stop") && stopSucceeds; }
  void CreateShortcuts(RunProgressView&) override { Record("shortcuts"); }
  void StartPopupProgram(const std::string& installDir) override { Record("start " + installDir); }

  void Hold() {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      hold_ = false;
    }
    released_.notify_all();
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

  int needX86 = 0, needX64 = 0;
  bool stopSucceeds = true;

 private:
  bool Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(call);
    return true;
  }
  std::mutex mu_;
  std::condition_variable released_;
  bool hold_ = false;
  std::vector<std::string> calls_;
};

// The dialog with the process's end replaced: a finished run and a close during the run are recorded,
// and a close during the run waits for the worker, so that the dialog outlives it.
class TestProgressDlg final : public CProgressDlg {
 public:
  TestProgressDlg(int mode, SystemIntegrationSteps* steps) : CProgressDlg(mode) {
    m_pSystemSteps = steps;
    m_finishPauseMs = 10;
  }
  std::atomic<bool> processEnded{false};
  std::atomic<bool> closedWhileWorking{false};
  std::atomic<bool> engineAliveAtEnd{false};

 protected:
  void EndProcess() override {
    engineAliveAtEnd = m_pEngine != nullptr;
    processEnded = true;
  }
  void OnClosedWhileWorking() override {
    closedWhileWorking = true;
    WaitFor([&] { return !WorkerRunning(); }, 60000);
  }
};

// Runs the dialog modally on a thread of its own.
class ModalProgress {
 public:
  ModalProgress(int mode, SystemIntegrationSteps* steps) : dialog_(std::make_unique<TestProgressDlg>(mode, steps)) {
    thread_ = std::thread([this] {
      result_ = dialog_->DoModal();
      returned_ = true;
    });
  }
  ~ModalProgress() {
    if (!returned_) dialog_->EndDialog(gui::IDCANCEL);
    thread_.join();
  }
  // The dialog's window once it is shown (looked up in the window system: the handle member belongs to
  // the dialog's thread).
  HWND WaitShown() {
    HWND shown = nullptr;
    WaitFor([&] { return (shown = FindShown(gui::WindowKind::kDialog, CProgressDlg::kIdd)) != nullptr; });
    return shown;
  }
  bool WaitReturned(int timeoutMs = 10000) { return WaitFor([&] { return returned_.load(); }, timeoutMs); }
  TestProgressDlg& dialog() { return *dialog_; }
  gui::INT_PTR result() const { return result_; }

 private:
  std::unique_ptr<TestProgressDlg> dialog_;
  std::thread thread_;
  std::atomic<bool> returned_{false};
  gui::INT_PTR result_ = -2;
};

std::string Text(HWND dialog, int id) {
  const gui::WindowState s = StateOf(dialog);
  const gui::ControlState* c = Control(s, id);
  return c ? c->text : "<no control>";
}

// The message box shown now, or nullptr.
HWND MessageBoxShown() { return FindShown(gui::WindowKind::kMessageBox); }

void Answer(HWND box, int button) { ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(box, button))); }

class ProgressDialog : public FrameTest {
 protected:
  void SetUp() override {
    FrameTest::SetUp();
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
    const std::string source = machine_.tempDir() + "/src";
    const std::string release = machine_.tempDir() + "/release";
    fs::create_directories(source + "/Plugins");
    fs::create_directories(source + "/bank/Data");
    voda_test::WriteHostFile(source + "/ZivIV_861.exe", "main program");
    voda_test::WriteHostFile(source + "/Plugins/a.dll", "plug-in");
    voda_test::WriteHostFile(source + "/bank/Data/b.dat", "bank data");
    apptest::ProgramOptions options;
    options.prefixRoot = machine_.root();
    const apptest::ProgramRun publish = apptest::RunProgram(
        std::string(VODA_BIN_DIR) + "/voda-release",
        {"publish", source, release, "--version", "1.0.0.7", "--url", "{base}/files", "--update", "2"}, options);
    ASSERT_TRUE(publish.finished && publish.exitCode == 0) << publish.standardError;
    server_ = std::make_unique<servertest::ServerProcess>(std::vector<std::string>{"--release", release});
    ASSERT_GT(server_->HttpPort(), 0) << server_->Output();

    g_install = InstallState();
    g_install.downloadBaseUrl = server_->HttpBase() + "/files";
    g_install.latestVersion = "1.0.0.7";
    g_install.installDir = "C:\\Soft\\voda";
    g_install.updateMode = 2;
    g_progressDlg = nullptr;
  }
  void TearDown() override {
    FrameTest::TearDown();
    g_install = InstallState();
  }

  std::unique_ptr<servertest::ServerProcess> server_;
  RecordingSteps steps_;
};

TEST_F(ProgressDialog, EachRunModeRunsTheSequenceInOrderAndEndsTheProcess) {
  const std::string start = "start C:\\Soft\\voda";
  // One after another on the same machine: the update and the repair find nothing to download.
  const struct {
    int mode;
    std::vector<std::string> calls;
    const char* totalText;
  } cases[] = {
      {ModeInstall, {"notify", "legacy", "detect", "runtime", "stop", "shortcuts", start}, "100.00%"},
      {ModeUpdate, {"notify", "detect", "runtime", "stop", "shortcuts", start}, "100%"},
      {ModeRepair, {"notify", "detect", "runtime", "stop", start}, "100%"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    RecordingSteps steps;
    ModalProgress run(c.mode, &steps);
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(g_progressDlg, &run.dialog());
    ASSERT_TRUE(WaitFor([&] { return run.dialog().processEnded.load(); }, 60000));
    EXPECT_EQ(steps.Calls(), c.calls);
    EXPECT_FALSE(run.dialog().engineAliveAtEnd) << "the engine is deleted after the registry step";
    EXPECT_EQ(run.dialog().m_bDone.load(), 1);
    EXPECT_EQ(Text(h, 2), "下载完成");
    EXPECT_EQ(Text(h, 1020), "完成安装,准备启动助手");
    EXPECT_EQ(Text(h, 1024), c.totalText);
    EXPECT_TRUE(gui::IsWindowVisible(h)) << "a successful run never closes the dialog";
    // Every file is in place (the update and repair runs through the staging folder).
    for (const char* file : {"C:\\Soft\\voda\\ZivIV_861.exe", "C:\\Soft\\voda\\Plugins\\a.dll",
                             "C:\\Soft\\voda\\Data\\b.dat"}) {
      EXPECT_TRUE(voda_test::FileExists(machine_.HostPath(file))) << file;
    }
  }
  EXPECT_EQ(g_progressDlg, nullptr) << "a destroyed dialog is no longer published";
}

TEST_F(ProgressDialog, OverallBarCountsBothManifestsAndTheMissingRuntime) {
  steps_.needX86 = 1;
  ModalProgress run(ModeInstall, &steps_);
  const HWND h = run.WaitShown();
  ASSERT_TRUE(WaitFor([&] { return run.dialog().processEnded.load(); }, 60000));
  const gui::WindowState state = StateOf(h);
  const gui::ControlState* total = Control(state, 1022);
  ASSERT_NE(total, nullptr);
  EXPECT_EQ(total->rangeLower, 0);
  EXPECT_EQ(total->rangeUpper, 4);  // two common files, one bank file, the x86 runtime
  EXPECT_EQ(total->pos, 4);
  EXPECT_EQ(Text(h, 1024), "100.00%");
}

TEST_F(ProgressDialog, CancelWhileTheRunWorksAsksAndYesClosesAtOnce) {
  steps_.Hold();
  ModalProgress run(ModeInstall, &steps_);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);

  // Button 2, then Enter, answered No: nothing changes.
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, 2)));
  ASSERT_TRUE(WaitFor([] { return MessageBoxShown() != nullptr; }));
  HWND box = MessageBoxShown();
  const gui::WindowState question = StateOf(box);
  EXPECT_EQ(question.text, "下载还未完成，确定取消？");
  EXPECT_EQ(question.title, g_bankProfile.downloaderTitle);
  EXPECT_EQ(question.type & gui::MB_TYPEMASK, gui::MB_YESNO);
  EXPECT_EQ(gui::GetParent(box), h) << "the dialog owns the question";
  Answer(box, gui::IDNO);
  ASSERT_TRUE(WaitFor([] { return MessageBoxShown() == nullptr; }));
  ASSERT_TRUE(gui::input::PressEnter(h));
  ASSERT_TRUE(WaitFor([] { return MessageBoxShown() != nullptr; }));
  Answer(MessageBoxShown(), gui::IDNO);
  ASSERT_TRUE(WaitFor([] { return MessageBoxShown() == nullptr; }));
  EXPECT_TRUE(gui::IsWindowVisible(h));
  EXPECT_FALSE(run.WaitReturned(200));

  // Escape, answered Yes: the dialog closes while the worker is still held.
  ASSERT_TRUE(gui::input::PressEscape(h));
  ASSERT_TRUE(WaitFor([] { return MessageBoxShown() != nullptr; }));
  Answer(MessageBoxShown(), gui::IDYES);
  ASSERT_TRUE(WaitFor([&] { return !gui::IsWindow(h); }));
  EXPECT_TRUE(run.dialog().WorkerRunning());
  // The worker goes on with a closed dialog: its reports reach nothing and do no harm.
  steps_.Release();
  ASSERT_TRUE(run.WaitReturned(60000));
  EXPECT_TRUE(run.dialog().closedWhileWorking);
  EXPECT_EQ(run.result(), gui::IDCANCEL);
  EXPECT_TRUE(run.dialog().processEnded) << "the run itself finished";
}

TEST_F(ProgressDialog, StoppedRunClosesWithoutQuestionAndThePicturesGoOnAlternating) {
  // The manifests cannot be fetched: the run stops with the done flag set.
  server_.reset();
  ModalProgress run(ModeUpdate, &steps_);
  const HWND h = run.WaitShown();
  ASSERT_TRUE(WaitFor([&] { return !run.dialog().WorkerRunning(); }, 60000));
  EXPECT_EQ(run.dialog().m_bDone.load(), 1);
  EXPECT_EQ(Text(h, 1020), "正在下载 配置文件");
  EXPECT_EQ(steps_.Calls(), (std::vector<std::string>{"notify"}));
  EXPECT_FALSE(run.dialog().processEnded);

  // The first picture shows for four seconds, then the second, also after the worker stopped.
  // (read on the dialog's thread, which owns it)
  const auto altImage = [&] {
    int value = -1;
    gui::RunOnOwnerThread(h, [&] { value = run.dialog().m_bAltImage; }, 1000);
    return value;
  };
  EXPECT_EQ(altImage(), 0);
  ASSERT_TRUE(WaitFor([&] { return altImage() == 1; }, 8000));

  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, 2)));
  ASSERT_TRUE(run.WaitReturned());
  EXPECT_EQ(run.result(), gui::IDCANCEL);
  EXPECT_FALSE(run.dialog().closedWhileWorking);
}

TEST_F(ProgressDialog, FailedStopOfTheAssistantStillAsksBeforeClosing) {
  steps_.stopSucceeds = false;
  ModalProgress run(ModeRepair, &steps_);
  const HWND h = run.WaitShown();
  ASSERT_TRUE(WaitFor([&] { return !run.dialog().WorkerRunning(); }, 60000));
  EXPECT_EQ(run.dialog().m_bDone.load(), 0);
  EXPECT_NE(run.dialog().m_pEngine, nullptr) << "a stopped run keeps its engine";
  EXPECT_EQ(Text(h, 2), "取消");

  ASSERT_TRUE(gui::input::CloseBox(h));
  ASSERT_TRUE(WaitFor([] { return MessageBoxShown() != nullptr; }));
  Answer(MessageBoxShown(), gui::IDYES);
  ASSERT_TRUE(run.WaitReturned());
  EXPECT_FALSE(run.dialog().closedWhileWorking);
  EXPECT_FALSE(run.dialog().processEnded);
}

TEST_F(ProgressDialog, InstallOpensWhereTheOptionsDialogWasUpdateAndRepairCentreByClientSize) {
  g_dialogRect = ScreenRect{37, 52, 0, 0};
  for (const int mode : {ModeInstall, ModeUpdate, ModeRepair}) {
    SCOPED_TRACE(mode);
    RecordingSteps steps;
    steps.Hold();  // holds an installation at its first step; update and repair runs go on to the end
    ModalProgress run(mode, &steps);
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    const gui::WindowState s = StateOf(h);
    if (mode == ModeInstall) {
      EXPECT_EQ(s.windowRect.left, 37);
      EXPECT_EQ(s.windowRect.top, 52);
    } else {
      const int width = s.clientRect.Width(), height = s.clientRect.Height();
      EXPECT_EQ(s.windowRect.left, gui::GetSystemMetrics(gui::SM_CXSCREEN) / 2 - width / 2);
      EXPECT_EQ(s.windowRect.top, gui::GetSystemMetrics(gui::SM_CYSCREEN) / 2 - height / 2);
    }
    EXPECT_EQ(gui::TopLevelWindows().front(), h) << "shown at the top of the z-order";
    steps.Release();
    ASSERT_TRUE(WaitFor([&] { return !run.dialog().WorkerRunning(); }, 60000));
  }
}

}  // namespace
