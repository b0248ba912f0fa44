// The progress dialog's combined reports, called from a thread other than the dialog's (as the
// installation worker calls them): after each call the controls show exactly what the separate calls
// would have left, also when the same report comes twice or something else changed a control between
// two reports. And a silent run that stops closes its hidden dialog.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/globals.h"
#include "ui/progress_dlg.h"
#include "ui_support.h"
#include "update/bind_callback.h"

namespace {

using gui::HWND;
using namespace ui_test;

// Steps that keep the installation worker in its first step until released, so that the test thread
// is the only one reporting to the dialog.
class HeldSteps final : public SystemIntegrationSteps {
 public:
  bool NotifyPopupProgram(UpdateEngine& engine) override {
    if (silent) dynamic_cast<CProgressDlg*>(engine.m_pDialog)->HideForSilentRun();
    return true;
  }
  bool RemoveLegacyAssistants(RunProgressView&) override {
    std::unique_lock<std::mutex> lock(mu_);
    released_.wait_for(lock, std::chrono::seconds(60), [&] { return released; });
    return true;
  }
  int DetectVcRuntime(UpdateEngine&, int&, int&) override { return 0; }
  bool InstallVcRuntime(UpdateEngine&, int, int) override { return true; }
  bool StopRunningAssistant(UpdateEngine&) override { return true; }
  void CreateShortcuts(RunProgressView&) override {}
  void StartPopupProgram(const std::string&) override {}

  bool silent = false;  // hides the dialog as a silent update does

  void Release() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      released = true;
    }
    released_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable released_;
  bool released = false;
};

class HeldProgressDlg final : public CProgressDlg {
 public:
  HeldProgressDlg(int mode, SystemIntegrationSteps* steps) : CProgressDlg(mode) { m_pSystemSteps = steps; }

 protected:
  void EndProcess() override {}
  void OnClosedWhileWorking() override { WaitFor([&] { return !WorkerRunning(); }, 60000); }
};

class ProgressReports : public FrameTest {
 protected:
  void SetUp() override {
    FrameTest::SetUp();
    // No server: once released, the worker stops at the manifests.
    g_install = InstallState();
    g_install.installDir = "C:\\Soft\\voda";
    g_progressDlg = nullptr;
  }
  // Opens the dialog of a first installation (its worker held in its first step).
  void Open() {
    dialog_ = std::make_unique<HeldProgressDlg>(ModeInstall, &steps_);
    thread_ = std::thread([this] { result_ = dialog_->DoModal(); returned_ = true; });
    ASSERT_TRUE(WaitFor([&] { return (window_ = FindShown(gui::WindowKind::kDialog, CProgressDlg::kIdd)) != nullptr; }));
  }
  void TearDown() override {
    steps_.Release();
    if (thread_.joinable()) {
      WaitFor([&] { return !dialog_ || !dialog_->WorkerRunning(); }, 60000);
      dialog_->EndDialog(gui::IDCANCEL);
      thread_.join();
    }
    dialog_.reset();
    g_install = InstallState();
    FrameTest::TearDown();
  }

  struct Shown {
    int lower, upper, pos;
    std::string text;
  };
  Shown FileControls() const {
    const gui::WindowState s = StateOf(window_);
    const gui::ControlState* bar = Control(s, CProgressDlg::kFileBarId);
    const gui::ControlState* label = Control(s, CProgressDlg::kFilePercentId);
    if (bar == nullptr || label == nullptr) return {-1, -1, -1, "<no control>"};
    return {bar->rangeLower, bar->rangeUpper, bar->pos, label->text};
  }
  std::string TextOf(int id) const {
    const gui::WindowState s = StateOf(window_);
    const gui::ControlState* c = Control(s, id);
    return c != nullptr ? c->text : "<no control>";
  }
  int PosOf(int id) const {
    const gui::WindowState s = StateOf(window_);
    const gui::ControlState* c = Control(s, id);
    return c != nullptr ? c->pos : -1;
  }

  HeldSteps steps_;
  std::unique_ptr<HeldProgressDlg> dialog_;
  std::thread thread_;
  HWND window_ = nullptr;
  std::atomic<bool> returned_{false};
  gui::INT_PTR result_ = -2;
};

TEST_F(ProgressReports, EachBlockLeavesRangePositionAndTextAsTheSeparateCallsWould) {
  ASSERT_NO_FATAL_FAILURE(Open());
  CBindCallback callback(dialog_.get());
  struct Step {
    std::uint32_t pos, max;
    int lower, upper, shownPos;
    const char* text;
  };
  // Two reports of one file with the same text, a file of another length, blocks of a file larger than
  // the bar's int range, and a file of no announced length.
  const Step steps[] = {
      {4096, 10000, 0, 10000, 4096, "40.96%"},
      {8192, 10000, 0, 10000, 8192, "81.92%"},
      {10000, 10000, 0, 10000, 10000, "100.00%"},
      {10000, 10000, 0, 10000, 10000, "100.00%"},
      {4096, 1073741824, 0, 1073741824, 4096, "0.00%"},
      {8192, 1073741824, 0, 1073741824, 8192, "0.00%"},
      {4096, 3000000000u, 0, 0x7FFFFFFF, 4096, "0.00%"},
      {4096, 0, 0, 0, 4096, "0.00%"},
  };
  for (const Step& step : steps) {
    callback.OnProgress(step.pos, step.max, 0, nullptr);
    const Shown shown = FileControls();
    EXPECT_EQ(shown.lower, step.lower) << step.pos << " of " << step.max;
    EXPECT_EQ(shown.upper, step.upper) << step.pos << " of " << step.max;
    EXPECT_EQ(shown.pos, step.shownPos) << step.pos << " of " << step.max;
    EXPECT_EQ(shown.text, step.text) << step.pos << " of " << step.max;
  }
}

TEST_F(ProgressReports, ControlsChangedBetweenTwoReportsAreSetAgain) {
  ASSERT_NO_FATAL_FAILURE(Open());
  CBindCallback callback(dialog_.get());
  callback.OnProgress(4096, 10000, 0, nullptr);
  // The next file starts: its status and "0%", and a bar of another range; then a report whose text
  // and range equal the ones reported before that.
  dialog_->ShowFileStart("正在下载 b.dat   2/2", "0%");
  dialog_->SetFileProgress(1, 1);
  EXPECT_EQ(TextOf(CProgressDlg::kStatusId), "正在下载 b.dat   2/2");
  EXPECT_EQ(TextOf(CProgressDlg::kFilePercentId), "0%");
  callback.OnProgress(4096, 10000, 0, nullptr);
  const Shown shown = FileControls();
  EXPECT_EQ(shown.upper, 10000);
  EXPECT_EQ(shown.pos, 4096);
  EXPECT_EQ(shown.text, "40.96%");

  dialog_->SetTotalRange(4);
  dialog_->SetTotalProgress("25.00%", 1);
  EXPECT_EQ(TextOf(CProgressDlg::kTotalPercentId), "25.00%");
  EXPECT_EQ(PosOf(CProgressDlg::kTotalBarId), 1);
}

TEST_F(ProgressReports, ReportsAfterTheDialogClosedDoNothing) {
  ASSERT_NO_FATAL_FAILURE(Open());
  steps_.Release();
  ASSERT_TRUE(WaitFor([&] { return !dialog_->WorkerRunning(); }, 60000));
  dialog_->EndDialog(gui::IDCANCEL);
  thread_.join();
  ASSERT_FALSE(gui::IsWindow(window_));
  CBindCallback callback(dialog_.get());
  callback.OnProgress(4096, 10000, 0, nullptr);
  dialog_->ShowFileStart("x", "0%");
  dialog_->SetTotalProgress("1%", 1);
}

// A silent update hides its dialog; when a step stops the run (here the manifests: there is no server)
// nobody could close it, so it closes itself and the run ends. A run in sight stays open for the user.
TEST_F(ProgressReports, StoppedSilentRunClosesItsHiddenDialog) {
  for (const bool silent : {true, false}) {
    SCOPED_TRACE(silent ? "silent" : "in sight");
    steps_.silent = silent;
    returned_ = false;
    dialog_ = std::make_unique<HeldProgressDlg>(ModeUpdate, &steps_);
    thread_ = std::thread([this] { result_ = dialog_->DoModal(); returned_ = true; });
    steps_.Release();
    // A silent run may have closed its dialog already by the time this looks.
    ASSERT_TRUE(WaitFor([&] {
      return returned_.load() || (WindowOf(dialog_.get()) != nullptr && !dialog_->WorkerRunning());
    }, 60000));
    if (silent) {
      EXPECT_TRUE(WaitFor([&] { return returned_.load(); }));
      if (!returned_) dialog_->EndDialog(gui::IDCANCEL);  // no hang when it stays open
      thread_.join();
      EXPECT_EQ(result_, gui::IDCANCEL);
      continue;
    } else {
      EXPECT_FALSE(WaitFor([&] { return returned_.load(); }, 300));
      EXPECT_TRUE(gui::IsWindowVisible(dialog_->GetSafeHwnd()));
      dialog_->EndDialog(gui::IDCANCEL);
    }
    thread_.join();
  }
}

}  // namespace
