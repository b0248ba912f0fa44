// Helpers for tests of the dialogs: a quiet backend, a dialog run modally on a thread of its own, waits
// with a bound, and dialogs of the skinned frame on each of the program's templates.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "gui/backend.h"
#include "gui/dialog.h"
#include "support/temp_prefix.h"
#include "ui/my_progress.h"
#include "ui/skinned_frame.h"

namespace ui_test {

// A backend that shows nothing and never ends the process.
class QuietBackend final : public gui::Backend {
 public:
  void WindowChanged(gui::HWND, gui::Change, gui::HWND) override {}
};

// Polls `done` every few milliseconds for at most timeoutMs.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The shown top-level window of the given template, or of the given kind; nullptr when there is none.
inline gui::HWND FindShown(gui::WindowKind kind, gui::UINT templateId = 0) {
  for (gui::HWND h : gui::TopLevelWindows()) {
    gui::WindowState s;
    if (gui::GetWindowState(h, &s) && s.visible && s.kind == kind &&
        (kind != gui::WindowKind::kDialog || s.templateId == templateId))
      return h;
  }
  return nullptr;
}

// The shown window of a window object that runs on another thread, found through the window system:
// the object's m_hWnd is written by its own thread, so another one does not read it while it may change.
inline gui::HWND ShownWindowOf(const gui::CWnd* object) {
  for (gui::HWND h : gui::TopLevelWindows())
    if (gui::CWnd::FromHandle(h) == object && gui::IsWindowVisible(h)) return h;
  return nullptr;
}
// The same, shown or hidden.
inline gui::HWND WindowOf(const gui::CWnd* object) {
  for (gui::HWND h : gui::TopLevelWindows())
    if (gui::CWnd::FromHandle(h) == object) return h;
  return nullptr;
}

inline gui::WindowState StateOf(gui::HWND h) {
  gui::WindowState s;
  gui::GetWindowState(h, &s);
  return s;
}

inline const gui::ControlState* Control(const gui::WindowState& s, int id) {
  for (const gui::ControlState& c : s.controls)
    if (c.id == id) return &c;
  return nullptr;
}
// The control points into the state: a temporary state (Control(StateOf(h), id)) would leave it dangling.
const gui::ControlState* Control(const gui::WindowState&& s, int id) = delete;

// A dialog of the skinned frame as the program's five dialogs set it up.
class FrameDialog : public CSkinnedDialog {
 public:
  struct Setup {
    gui::UINT templateId;
    int pictureId;
    bool atSavedPosition;
    std::set<int> transparentLabels;
    bool saveOnMove;
  };
  explicit FrameDialog(const Setup& setup) : CSkinnedDialog(setup.templateId), setup_(setup) {}

  // The confirmation of the first three dialogs.
  void OnCancel() override { ConfirmExit(); }

  CMyProgress m_ctlFileProgress, m_ctlTotalProgress;

  // Answered on the dialog's own thread, which writes g_dialogRect while the dialog is moved: copies it
  // to the ScreenRect at lParam (DialogRectOf below).
  static constexpr gui::UINT kReadDialogRect = gui::WM_APP + 0x3f;
  gui::LRESULT WindowProc(gui::UINT message, gui::WPARAM wParam, gui::LPARAM lParam) override {
    if (message != kReadDialogRect) return CSkinnedDialog::WindowProc(message, wParam, lParam);
    *reinterpret_cast<ScreenRect*>(lParam) = g_dialogRect;
    return 1;
  }

 protected:
  bool OnInitDialog() override {
    SetTransparentLabels(setup_.transparentLabels);
    SetSaveOnMove(setup_.saveOnMove);
    return InitSkinnedFrame(setup_.pictureId, setup_.atSavedPosition);
  }
  void DoDataExchange(gui::CDataExchange* dx) override {
    CSkinnedDialog::DoDataExchange(dx);
    if (setup_.templateId == 135) {
      DDX_Control(dx, 1021, m_ctlFileProgress);
      DDX_Control(dx, 1022, m_ctlTotalProgress);
    }
  }

 private:
  Setup setup_;
};

// g_dialogRect as a FrameDialog's own thread sees it; another thread reading the global directly would
// race with the dialog's moves.
inline ScreenRect DialogRectOf(gui::HWND dialog) {
  ScreenRect rect{};
  gui::SendMessage(dialog, FrameDialog::kReadDialogRect, 0, reinterpret_cast<gui::LPARAM>(&rect));
  return rect;
}

// The frames of the five dialogs.
inline const FrameDialog::Setup kQueryDialog{130, 174, false, {1029}, true};
inline const FrameDialog::Setup kInstallDialog{132, 175, true, {}, false};
inline const FrameDialog::Setup kOptionDialog{134, 176, true, {}, false};
inline const FrameDialog::Setup kProgressDialog{135, 177, true, {1020, 1023, 1024, -1}, false};
inline const FrameDialog::Setup kUpdateDialog{139, 180, false, {}, true};

// Runs a dialog modally on a thread of its own until End() or the end of the test.
class ModalDialog {
 public:
  explicit ModalDialog(const FrameDialog::Setup& setup) : dialog_(std::make_unique<FrameDialog>(setup)) {
    thread_ = std::thread([this] { result_ = dialog_->DoModal(); });
  }
  ~ModalDialog() { End(gui::IDCANCEL); }
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;

  // The dialog's window once it is shown; nullptr after the time-out.
  gui::HWND WaitShown(int timeoutMs = 10000) {
    gui::HWND shown = nullptr;
    WaitFor([&] { return (shown = ShownWindowOf(dialog_.get())) != nullptr; }, timeoutMs);
    return shown;
  }
  FrameDialog& dialog() { return *dialog_; }
  void End(int result) {
    if (!thread_.joinable()) return;
    dialog_->EndDialog(result);
    thread_.join();
  }
  gui::INT_PTR result() const { return result_; }

 private:
  std::unique_ptr<FrameDialog> dialog_;
  std::thread thread_;
  gui::INT_PTR result_ = -2;
};

// A fresh machine and the bank profile of this build for every test.
class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    g_server = ServerEndpoint();
    FillBankProfile(0x861, g_bankProfile, g_server);
    g_dialogRect = ScreenRect();
  }

  voda_test::TempPrefix machine_;
};

// The same with a backend that shows nothing.
class FrameTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    gui::InstallBackend(std::make_unique<QuietBackend>());
  }
  void TearDown() override { gui::InstallBackend(nullptr); }
};

}  // namespace ui_test
