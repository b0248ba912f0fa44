// The scripted user: a small script (docs/ui-script.md) that waits for dialogs and message boxes and acts
// on them as a person would, through the same input any backend feeds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gui/backend.h"

namespace gui {

// A failed script ends the process with this code, after saying why on standard error.
constexpr int kScriptFailedExitCode = 3;

struct ScriptCommand {
  int line = 0;
  std::vector<std::string> words;  // the verb first; quoted texts arrive without their quotes
};

// Splits one line into words; false with *error for an unterminated quote. An empty or comment line gives
// no words.
bool SplitScriptLine(const std::string& line, std::vector<std::string>* words, std::string* error);
// Parses a whole script; false with *error ("line N: ...") for the first line that is not a command.
bool ParseScript(const std::string& text, std::vector<ScriptCommand>* commands, std::string* error);

class ScriptedUser final : public Backend {
 public:
  // `name` prefixes messages (the script file's name).
  explicit ScriptedUser(std::string name);
  ~ScriptedUser() override;

  // Runs the commands in order on the calling thread; false with *error ("name:line: what went wrong") at
  // the first failure.
  bool Run(const std::vector<ScriptCommand>& commands, std::string* error);
  // One command; `current` is the window the command acts on, changed by the wait commands.
  bool Execute(const ScriptCommand& command, std::string* error);

  void SetCurrent(HWND window) { current_ = window; }
  HWND Current() const { return current_; }
  int DefaultTimeoutMs() const { return timeoutMs_; }

  void WindowChanged(HWND topLevel, Change change, HWND control) override;

 private:
  // The changes that can make a waiting command's condition true. Changes of top-level windows always
  // can; of controls, all of them, none, or only those of one control. A download changes its bars and
  // labels thousands of times, and a condition about another window or control need not be checked
  // after each of them.
  struct Watched {
    enum Kind { kAllControls, kNoControls, kOneControl } kind = kAllControls;
    HWND control = nullptr;  // kOneControl
    static Watched All() { return {}; }
    static Watched TopLevelOnly() { return {kNoControls, nullptr}; }
    // One control; all controls when it is not known (nullptr).
    static Watched Control(HWND control) { return {control ? kOneControl : kAllControls, control}; }
  };

  // Waits until found() returns true (checked at every change `watched` names, at every input signal
  // and every 50 ms) or timeoutMs passes.
  bool WaitFor(int timeoutMs, const std::function<bool()>& found, Watched watched = Watched::All());
  bool Act(const std::function<bool(std::function<void()>)>& post, const std::string& what,
           std::string* error);
  bool WaitForControl(int id, int timeoutMs, HWND* control, std::string* error);

  // Shared with input signals, which may fire after a timed-out command.
  struct Waker {
    std::mutex mu;
    std::condition_variable changed;
    uint64_t changes = 0;
    Watched watched;
    void Wake();  // an input signal
    void WindowChanged(Change change, HWND control);  // of a window (control nullptr) or a control
  };

  std::string name_;
  HWND current_ = nullptr;
  int timeoutMs_ = 10000;
  std::shared_ptr<Waker> waker_;
};

// Starts the scripted user of a script file on a thread of its own. A script that cannot be read or
// parsed, or a command that fails, ends the process with kScriptFailedExitCode.
void StartScriptFile(const std::string& path);
// Whether a script is still running (the headless backend does not end a waiting process meanwhile).
bool ScriptRunning();

namespace input {
// The input calls with a signal run once the input's immediate effect is done (or it was dropped).
bool ClickWithSignal(HWND control, std::function<void()> started);
bool TypeTextWithSignal(HWND edit, const std::string& text, std::function<void()> started);
bool DragToWithSignal(HWND topLevel, int x, int y, std::function<void()> started);
bool KeyWithSignal(HWND topLevel, int key, std::function<void()> started);  // IDOK: Enter; IDCANCEL: Escape
bool SysCommandWithSignal(HWND topLevel, UINT id, std::function<void()> started);
}  // namespace input

}  // namespace gui
