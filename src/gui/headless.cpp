#include "gui/headless.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "gui/message_box.h"
#include "gui/script.h"
#include "gui/window_system.h"

namespace gui {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultIdleSeconds = 30;

void Say(const std::string& line) {
  static std::mutex* mu = new std::mutex;
  std::lock_guard<std::mutex> lock(*mu);
  std::fputs(("[ui] " + line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

std::string Seconds(int ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
  return text;
}

std::string Name(const WindowState& s) {
  switch (s.kind) {
    case WindowKind::kDialog:
      return "dialog " + std::to_string(s.templateId);
    case WindowKind::kMessageBox:
      return "message box";
    case WindowKind::kFolderBrowser:
      return "folder browser";
  }
  return "window";
}

// What a person needs to know of a window that appears.
std::string Shown(const WindowState& s) {
  std::string line = Name(s) + " \"" + s.title + "\"";
  if (s.kind == WindowKind::kMessageBox) line += ": \"" + s.text + "\"";
  if (s.kind == WindowKind::kFolderBrowser) line += ": \"" + s.text + "\"";
  for (const ControlState& c : s.controls) {
    if (!c.visible) continue;
    if (c.cls == ControlClass::kButton) {
      bool check = (c.style & BS_TYPEMASK) == BS_AUTOCHECKBOX;
      line += " [" + std::to_string(c.id) + (check ? (c.check == BST_CHECKED ? " x " : " _ ") : " ") + c.text + "]";
    } else if (c.cls == ControlClass::kEdit) {
      line += " [" + std::to_string(c.id) + " edit \"" + c.text + "\"]";
    } else if (c.cls == ControlClass::kStatic && s.kind == WindowKind::kDialog && !c.text.empty()) {
      line += " \"" + c.text + "\"";
    }
  }
  return line;
}

class HeadlessBackend final : public Backend {
 public:
  explicit HeadlessBackend(const HeadlessOptions& options) : options_(options) {}
  ~HeadlessBackend() override { Stop(); }

  void Start() override {
    if (options_.idleMs > 0 && !watchdog_.joinable()) {
      stop_ = false;
      watchdog_ = std::thread([this] { Watch(); });
    }
    if (options_.interactive) {
      Say("answer here: a button's number clicks it; yes, no, ok, cancel answer a message box; "
          "other commands as in a ui script (type 1017 \"D:\\Soft\", tick 1016 off, choose \"D:\\\")");
      std::thread([] { ReadTerminal(); }).detach();
    }
  }

  void Stop() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    wake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
  }

  // Says what a person would notice: a window shown, hidden or closed, a text, a check box. Runs on
  // every change (a download moves its bar thousands of times), so it copies only what it reports:
  // the whole window when one is shown, one control otherwise.
  void WindowChanged(HWND topLevel, Change change, HWND control) override {
    if (!options_.echo) return;
    switch (change) {
      case Change::kCreated: {
        WindowState s;
        if (!GetWindowState(topLevel, &s)) return;
        std::lock_guard<std::mutex> lock(mu_);
        names_[topLevel] = Name(s);
        return;
      }
      case Change::kShown: {
        WindowState s;
        if (!GetWindowState(topLevel, &s)) return;
        std::lock_guard<std::mutex> lock(mu_);
        names_[topLevel] = Name(s);
        Say(Shown(s));
        return;
      }
      case Change::kHidden: {
        std::lock_guard<std::mutex> lock(mu_);
        Say(NameOf(topLevel) + " hidden");
        return;
      }
      case Change::kDestroyed: {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = names_.find(topLevel);
        if (it == names_.end()) return;
        Say(it->second + " closed");
        names_.erase(it);
        return;
      }
      case Change::kText: {
        if (control == nullptr) {
          WindowState s;
          if (!GetWindowState(topLevel, &s)) return;
          std::lock_guard<std::mutex> lock(mu_);
          names_[topLevel] = Name(s);
          Say(Name(s) + " title \"" + s.title + "\"");
          return;
        }
        ControlState c;
        if (!GetControlState(control, &c)) return;
        std::lock_guard<std::mutex> lock(mu_);
        Say(NameOf(topLevel) + ": " + std::to_string(c.id) + " \"" + c.text + "\"");
        return;
      }
      case Change::kControl: {
        ControlState c;
        if (control == nullptr || !GetControlState(control, &c)) return;
        if (c.cls != ControlClass::kButton || (c.style & BS_TYPEMASK) != BS_AUTOCHECKBOX) return;
        std::lock_guard<std::mutex> lock(mu_);
        auto it = checks_.find(control);
        if (it != checks_.end() && it->second == c.check) return;
        checks_[control] = c.check;
        Say(NameOf(topLevel) + ": " + std::to_string(c.id) + (c.check == BST_CHECKED ? " checked" : " unchecked"));
        return;
      }
      default:
        return;
    }
  }

 private:
  // The name a window was last seen under (it may be gone already). Called with mu_ held.
  std::string NameOf(HWND topLevel) const {
    auto it = names_.find(topLevel);
    return it != names_.end() ? it->second : "window";
  }

  // Ends the process when a shown window waits for nobody.
  void Watch() {
    WindowSystem& ws = WindowSystem::Get();
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      wake_.wait_for(lock, std::chrono::milliseconds(100));
      if (stop_) break;
      if (ScriptRunning()) continue;
      std::string waiting;
      Clock::time_point last;
      {
        std::lock_guard<std::mutex> wsLock(ws.mu);
        last = ws.lastChange;
      }
      for (HWND h : TopLevelWindows()) {
        WindowState s;
        if (GetWindowState(h, &s) && s.visible) {
          waiting = Name(s);
          break;
        }
      }
      if (waiting.empty() || Clock::now() - last < std::chrono::milliseconds(options_.idleMs)) continue;
      std::string report = waiting + " is waiting for a person and nobody is there to answer (nothing changed for " +
                           Seconds(options_.idleMs) + "); ending";
      if (options_.onIdle) {
        lock.unlock();
        options_.onIdle(report);
        lock.lock();
        std::lock_guard<std::mutex> wsLock(ws.mu);
        ws.lastChange = Clock::now();
        continue;
      }
      Say(report);
      std::fflush(stdout);
      std::_Exit(0);
    }
  }

  static void ReadTerminal() {
    ScriptedUser user("terminal");
    std::string line;
    int number = 0;
    while (std::getline(std::cin, line)) {
      ++number;
      ScriptCommand command;
      command.line = number;
      std::string error;
      if (!SplitScriptLine(line, &command.words, &error)) {
        Say(error);
        continue;
      }
      if (command.words.empty()) continue;
      std::string& verb = command.words[0];
      if (command.words.size() == 1) {
        int id = 0;
        char* end = nullptr;
        long v = std::strtol(verb.c_str(), &end, 10);
        if (end != nullptr && *end == '\0' && !verb.empty()) {
          id = static_cast<int>(v);
          command.words = {"click", std::to_string(id)};
        } else if (verb == "y" || verb == "yes" || verb == "n" || verb == "no" || verb == "ok" ||
                   verb == "cancel") {
          std::string answer = verb == "y" ? "yes" : verb == "n" ? "no" : verb;
          command.words = {"answer", answer};
        }
      }
      // The person acts on what is in front: the topmost shown window.
      if (command.words[0] != "wait") {
        for (HWND h : TopLevelWindows()) {
          if (IsWindowVisible(h)) {
            user.SetCurrent(h);
            break;
          }
        }
      }
      if (!user.Execute(command, &error)) Say(error);
    }
  }

  HeadlessOptions options_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread watchdog_;
  std::map<HWND, std::string> names_;
  std::map<HWND, int> checks_;
};

}  // namespace

HeadlessOptions HeadlessOptionsFromEnvironment() {
  HeadlessOptions options;
  const char* script = std::getenv("VODA_UI_SCRIPT");
  bool scripted = script != nullptr && *script != '\0';
  options.interactive = !scripted && isatty(STDIN_FILENO) == 1;
  if (!options.interactive) {
    double seconds = kDefaultIdleSeconds;
    const char* idle = std::getenv("VODA_UI_IDLE_SECONDS");
    if (idle != nullptr && *idle != '\0') {
      char* end = nullptr;
      double v = std::strtod(idle, &end);
      if (end != nullptr && *end == '\0' && v >= 0) seconds = v;
    }
    options.idleMs = static_cast<int>(seconds * 1000);
  }
  return options;
}

std::unique_ptr<Backend> CreateHeadlessBackend(const HeadlessOptions& options) {
  return std::make_unique<HeadlessBackend>(options);
}

std::unique_ptr<Backend> CreateHeadlessBackend() {
  return CreateHeadlessBackend(HeadlessOptionsFromEnvironment());
}

}  // namespace gui
