// Helpers for the window system's tests: a quiet headless backend, a scripted user on a thread of its
// own, and a way out for a test whose user failed (every open dialog and box is cancelled).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "gui/backend.h"
#include "gui/headless.h"
#include "gui/message_box.h"
#include "gui/script.h"
#include "gui/window.h"

namespace gui::testing {

// The shown window of a window object that runs on another thread, found through the window system:
// the object's m_hWnd is written by its own thread, so another one does not read it while it may change.
inline HWND ShownWindowOf(const CWnd* object) {
  for (HWND h : TopLevelWindows())
    if (CWnd::FromHandle(h) == object && IsWindowVisible(h)) return h;
  return nullptr;
}

inline void UseQuietHeadlessBackend() {
  HeadlessOptions options;
  options.echo = false;
  options.idleMs = 0;
  InstallBackend(CreateHeadlessBackend(options));
}

// Cancels whatever is still open, so that a failed expectation never leaves a modal loop waiting.
inline void CancelEverything() {
  for (HWND h : TopLevelWindows()) {
    WindowState s;
    if (!GetWindowState(h, &s)) continue;
    int id = s.kind == WindowKind::kMessageBox && (s.type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDCANCEL;
    PostMessage(h, WM_COMMAND, MAKEWPARAM(static_cast<unsigned>(id), BN_CLICKED), 0);
  }
}

// Runs a script as the user on a thread of its own; Finish() joins it and reports its failure.
class ScriptThread {
 public:
  explicit ScriptThread(const std::string& text) {
    std::string error;
    if (!ParseScript(text, &commands_, &error)) {
      ADD_FAILURE() << error;
      return;
    }
    thread_ = std::thread([this] {
      ScriptedUser user("test-script");
      ok_ = user.Run(commands_, &error_);
      if (!ok_) {
        // Unwind whatever the test left open, repeatedly, until nothing is left.
        for (int i = 0; i < 200 && !TopLevelWindows().empty(); ++i) {
          CancelEverything();
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
    });
  }
  ~ScriptThread() { Finish(); }

  bool Finish() {
    if (thread_.joinable()) {
      thread_.join();
      EXPECT_TRUE(ok_) << error_;
    }
    return ok_;
  }
  const std::string& error() const { return error_; }

 private:
  std::vector<ScriptCommand> commands_;
  std::thread thread_;
  bool ok_ = false;
  std::string error_;
};

}  // namespace gui::testing
