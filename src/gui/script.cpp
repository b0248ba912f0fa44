#include "gui/script.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "gui/message_box.h"

namespace gui {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_scriptsRunning{0};

// A number out of the int range is refused rather than cut to some other number (4294967426 is not 130).
bool ParseInt(const std::string& text, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == nullptr || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

// "nan" fails both bounds, so the range is checked as the positive condition.
bool ParseSeconds(const std::string& text, int* ms) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !(v >= 0 && v <= 86400)) return false;
  *ms = static_cast<int>(v * 1000);
  return true;
}

std::string Describe(const WindowState& s) {
  switch (s.kind) {
    case WindowKind::kDialog:
      return "dialog " + std::to_string(s.templateId);
    case WindowKind::kMessageBox:
      return "message box \"" + s.text + "\"";
    case WindowKind::kFolderBrowser:
      return "folder browser";
  }
  return "window";
}

std::string Seconds(int ms) {
  std::ostringstream out;
  out << ms / 1000.0 << " s";
  return out.str();
}

const ControlState* FindControl(const WindowState& s, int id) {
  for (const auto& c : s.controls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

// The topmost visible window that matches.
HWND FindVisible(const std::function<bool(const WindowState&)>& match) {
  for (HWND h : TopLevelWindows()) {
    WindowState s;
    if (GetWindowState(h, &s) && s.visible && match(s)) return h;
  }
  return nullptr;
}

// Arguments each command takes: the smallest and largest count after the verb (and its kind for wait
// and expect), and which of them must be numbers.
struct Shape {
  size_t min;
  size_t max;
  std::vector<size_t> integers;  // positions (in words) of integer arguments
  std::vector<size_t> seconds;   // positions of durations in seconds
};

const std::map<std::string, Shape>& Shapes() {
  static const auto* shapes = new std::map<std::string, Shape>{
      {"timeout", {2, 2, {}, {1}}},
      {"sleep", {2, 2, {1}, {}}},
      {"wait dialog", {3, 4, {2}, {3}}},
      {"wait box", {2, 4, {}, {3}}},
      {"wait browser", {2, 3, {}, {2}}},
      {"wait text", {4, 5, {2}, {4}}},
      {"wait visible", {3, 4, {2}, {3}}},
      {"wait hidden", {3, 4, {2}, {3}}},
      {"wait gone", {2, 3, {}, {2}}},
      {"wait progress", {5, 6, {2, 3, 4}, {5}}},
      {"click", {2, 2, {1}, {}}},
      {"tick", {3, 3, {1}, {}}},
      {"type", {3, 3, {1}, {}}},
      {"choose", {2, 2, {}, {}}},
      {"answer", {2, 2, {}, {}}},
      {"move", {3, 3, {1, 2}, {}}},
      {"escape", {1, 1, {}, {}}},
      {"enter", {1, 1, {}, {}}},
      {"close", {1, 1, {}, {}}},
      {"menu", {2, 2, {1}, {}}},
      {"snapshot", {2, 2, {}, {}}},
      {"echo", {2, 2, {}, {}}},
      {"expect text", {4, 4, {2}, {}}},
      {"expect title", {3, 3, {}, {}}},
      {"expect visible", {3, 3, {2}, {}}},
      {"expect hidden", {3, 3, {2}, {}}},
      {"expect checked", {3, 3, {2}, {}}},
      {"expect unchecked", {3, 3, {2}, {}}},
      {"expect range", {5, 5, {2, 3, 4}, {}}},
      {"expect pos", {4, 4, {2, 3}, {}}},
      {"expect position", {4, 4, {2, 3}, {}}},
  };
  return *shapes;
}

std::string ShapeKey(const std::vector<std::string>& words) {
  if ((words[0] == "wait" || words[0] == "expect") && words.size() > 1) return words[0] + " " + words[1];
  return words[0];
}

bool CheckCommand(const std::vector<std::string>& words, std::string* error) {
  std::string key = ShapeKey(words);
  auto it = Shapes().find(key);
  if (it == Shapes().end()) {
    *error = "unknown command \"" + key + "\"";
    return false;
  }
  const Shape& shape = it->second;
  if (words.size() < shape.min || words.size() > shape.max) {
    *error = "wrong number of arguments for \"" + key + "\"";
    return false;
  }
  for (size_t i : shape.integers) {
    int v = 0;
    if (i < words.size() && !ParseInt(words[i], &v)) {
      *error = "\"" + words[i] + "\" is not a number";
      return false;
    }
  }
  for (size_t i : shape.seconds) {
    int v = 0;
    if (i < words.size() && !ParseSeconds(words[i], &v)) {
      *error = "\"" + words[i] + "\" is not a time in seconds";
      return false;
    }
  }
  if (key == "tick" && words[2] != "on" && words[2] != "off") {
    *error = "tick takes on or off";
    return false;
  }
  if (key == "wait progress") {
    int low = -1, high = -1;
    ParseInt(words[3], &low);
    ParseInt(words[4], &high);
    if (low < 0 || high > 100 || low > high) {
      *error = "wait progress takes two percentages from 0 to 100, the first not above the second";
      return false;
    }
  }
  if (key == "answer") {
    static const char* const kAnswers[] = {"yes", "no", "ok", "cancel"};
    bool known = false;
    for (const char* a : kAnswers) known = known || words[1] == a;
    if (!known) {
      *error = "answer takes yes, no, ok or cancel";
      return false;
    }
  }
  return true;
}

// How full a progress bar is, in percent of its range; false for a bar without a range.
bool FilledPercent(const ControlState& c, double* percent) {
  if (c.rangeUpper <= c.rangeLower) return false;
  *percent = (static_cast<double>(c.pos) - c.rangeLower) * 100.0 /
             (static_cast<double>(c.rangeUpper) - c.rangeLower);
  return true;
}

}  // namespace

bool SplitScriptLine(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    if (c == '#') break;
    if (c == '"') {
      size_t end = line.find('"', i + 1);
      if (end == std::string::npos) {
        *error = "a quoted text has no closing quote";
        return false;
      }
      words->push_back(line.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    size_t end = line.find_first_of(" \t\r\n", i);
    if (end == std::string::npos) end = line.size();
    words->push_back(line.substr(i, end - i));
    i = end;
  }
  return true;
}

bool ParseScript(const std::string& text, std::vector<ScriptCommand>* commands, std::string* error) {
  commands->clear();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    ScriptCommand command;
    command.line = number;
    std::string why;
    if (!SplitScriptLine(line, &command.words, &why) ||
        (!command.words.empty() && !CheckCommand(command.words, &why))) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
    if (!command.words.empty()) commands->push_back(std::move(command));
  }
  return true;
}

void ScriptedUser::Waker::Wake() {
  std::lock_guard<std::mutex> lock(mu);
  ++changes;
  changed.notify_all();
}

ScriptedUser::ScriptedUser(std::string name) : name_(std::move(name)), waker_(std::make_shared<Waker>()) {
  AddObserver(this);
}

ScriptedUser::~ScriptedUser() { RemoveObserver(this); }

void ScriptedUser::Waker::WindowChanged(Change change, HWND control) {
  // Painting changes nothing a command waits for.
  if (change == Change::kInvalidated || change == Change::kUpdate) return;
  std::lock_guard<std::mutex> lock(mu);
  if (control != nullptr && (watched.kind == Watched::kNoControls ||
                             (watched.kind == Watched::kOneControl && control != watched.control))) {
    return;
  }
  ++changes;
  changed.notify_all();
}

void ScriptedUser::WindowChanged(HWND, Change change, HWND control) { waker_->WindowChanged(change, control); }

bool ScriptedUser::WaitFor(int timeoutMs, const std::function<bool()>& found, Watched watched) {
  struct Watching {
    Waker& waker;
    Watching(Waker& w, Watched what) : waker(w) { Set(what); }
    ~Watching() { Set(Watched::All()); }
    void Set(Watched what) {
      std::lock_guard<std::mutex> lock(waker.mu);
      waker.watched = what;
    }
  } watching(*waker_, watched);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(waker_->mu);
      seen = waker_->changes;
    }
    if (found()) return true;
    Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    std::unique_lock<std::mutex> lock(waker_->mu);
    waker_->changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)),
                               [&] { return waker_->changes != seen; });
  }
}

bool ScriptedUser::Run(const std::vector<ScriptCommand>& commands, std::string* error) {
  for (const ScriptCommand& command : commands) {
    if (!Execute(command, error)) return false;
  }
  return true;
}

bool ScriptedUser::Act(const std::function<bool(std::function<void()>)>& post, const std::string& what,
                       std::string* error) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<Waker> waker = waker_;
  auto signal = [done, waker] {
    done->store(true);
    waker->Wake();
  };
  // A window may be disabled for a moment (while its message box closes): wait until it takes input.
  if (!WaitFor(timeoutMs_, [&] { return post(signal); })) {
    *error = "timed out after " + Seconds(timeoutMs_) + ": " + what +
             " is not possible: the window is hidden, disabled or gone";
    return false;
  }
  if (!WaitFor(timeoutMs_, [&] { return done->load(); })) {
    *error = "timed out after " + Seconds(timeoutMs_) + " waiting for the dialog's thread to take " + what;
    return false;
  }
  return true;
}

bool ScriptedUser::WaitForControl(int id, int timeoutMs, HWND* control, std::string* error) {
  std::string why;
  bool ok = WaitFor(timeoutMs, [&] {
    WindowState s;
    if (!GetWindowState(current_, &s)) {
      why = "the window is gone";
      return false;
    }
    const ControlState* c = FindControl(s, id);
    if (c == nullptr) {
      why = Describe(s) + " has no control " + std::to_string(id);
      return false;
    }
    if (!s.visible || !s.enabled) {
      why = Describe(s) + " is hidden or disabled";
      return false;
    }
    if (!c->visible || !c->enabled) {
      why = "control " + std::to_string(id) + " of " + Describe(s) + " is hidden or disabled";
      return false;
    }
    *control = c->hwnd;
    return true;
  });
  if (!ok) *error = "timed out after " + Seconds(timeoutMs) + ": " + why;
  return ok;
}

bool ScriptedUser::Execute(const ScriptCommand& command, std::string* error) {
  std::string why;
  auto fail = [&](const std::string& message) {
    *error = name_ + ":" + std::to_string(command.line) + ": " + message;
    return false;
  };
  const std::vector<std::string>& w = command.words;
  if (w.empty()) return true;
  if (!CheckCommand(w, &why)) return fail(why);
  const std::string key = ShapeKey(w);
  auto integer = [&](size_t i) {
    int v = 0;
    ParseInt(w[i], &v);
    return v;
  };
  auto secondsOr = [&](size_t i) {
    int ms = timeoutMs_;
    if (i < w.size()) ParseSeconds(w[i], &ms);
    return ms;
  };
  WindowState cur;
  bool haveCurrent = current_ != nullptr && GetWindowState(current_, &cur);
  auto needCurrent = [&]() -> bool {
    if (haveCurrent) return true;
    fail("no window to act on: wait for a dialog or message box first");
    return false;
  };

  if (key == "timeout") {
    ParseSeconds(w[1], &timeoutMs_);
    return true;
  }
  if (key == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(integer(1)));
    return true;
  }
  if (key == "echo") {
    std::fprintf(stderr, "[ui-script] %s\n", w[1].c_str());
    return true;
  }

  if (key == "wait dialog" || key == "wait box" || key == "wait browser") {
    int ms = secondsOr(key == "wait browser" ? 2 : 3);
    std::string target;
    std::function<bool(const WindowState&)> match;
    if (key == "wait dialog") {
      UINT id = static_cast<UINT>(integer(2));
      target = "dialog " + w[2];
      match = [id](const WindowState& s) { return s.kind == WindowKind::kDialog && s.templateId == id; };
    } else if (key == "wait box") {
      std::string text = w.size() > 2 ? w[2] : "*";
      target = text == "*" ? "a message box" : "the message box \"" + text + "\"";
      match = [text](const WindowState& s) {
        return s.kind == WindowKind::kMessageBox && (text == "*" || s.text == text);
      };
    } else {
      target = "the folder browser";
      match = [](const WindowState& s) { return s.kind == WindowKind::kFolderBrowser; };
    }
    HWND found = nullptr;
    if (!WaitFor(ms, [&] { return (found = FindVisible(match)) != nullptr; }, Watched::TopLevelOnly())) {
      return fail("timed out after " + Seconds(ms) + " waiting for " + target);
    }
    current_ = found;
    return true;
  }

  if (key == "wait text" || key == "wait visible" || key == "wait hidden" || key == "wait gone") {
    if (!needCurrent()) return false;
    int ms = secondsOr(key == "wait text" ? 4 : key == "wait gone" ? 2 : 3);
    int id = key == "wait gone" ? 0 : integer(2);
    const ControlState* watched = key == "wait gone" ? nullptr : FindControl(cur, id);
    std::string last;
    bool ok = WaitFor(ms, [&] {
      WindowState s;
      if (!GetWindowState(current_, &s)) return key == "wait gone";
      if (key == "wait gone") return !s.visible;
      const ControlState* c = FindControl(s, id);
      if (c == nullptr) return false;
      last = c->text;
      if (key == "wait text") return c->text == w[3];
      return key == "wait visible" ? c->visible : !c->visible;
    }, key == "wait gone" ? Watched::TopLevelOnly() : Watched::Control(watched ? watched->hwnd : nullptr));
    if (ok) return true;
    if (key == "wait gone") return fail("timed out after " + Seconds(ms) + " waiting for " + Describe(cur) + " to close");
    if (key == "wait text") {
      return fail("timed out after " + Seconds(ms) + " waiting for control " + w[2] + " of " + Describe(cur) +
                  " to read \"" + w[3] + "\" (it reads \"" + last + "\")");
    }
    return fail("timed out after " + Seconds(ms) + " waiting for control " + w[2] + " of " + Describe(cur) +
                " to be " + (key == "wait visible" ? "shown" : "hidden"));
  }

  if (key == "wait progress") {
    if (!needCurrent()) return false;
    const int id = integer(2), low = integer(3), high = integer(4);
    const int ms = secondsOr(5);
    const ControlState* bar = FindControl(cur, id);
    if (bar == nullptr) return fail(Describe(cur) + " has no control " + w[2]);
    if (bar->cls != ControlClass::kProgress) {
      return fail("control " + w[2] + " of " + Describe(cur) + " is not a progress bar");
    }
    std::string last = "without a range";
    bool ok = WaitFor(ms, [&] {
      WindowState s;
      if (!GetWindowState(current_, &s)) return false;
      const ControlState* c = FindControl(s, id);
      double percent = 0;
      if (c == nullptr || !FilledPercent(*c, &percent)) return false;
      std::ostringstream shown;
      shown << c->pos << " of " << c->rangeLower << " to " << c->rangeUpper;
      last = shown.str();
      return percent >= low && percent <= high;
    }, Watched::Control(bar->hwnd));
    if (ok) return true;
    return fail("timed out after " + Seconds(ms) + " waiting for control " + w[2] + " of " + Describe(cur) +
                " to be " + w[3] + "% to " + w[4] + "% full (it is at " + last + ")");
  }

  if (key == "click" || key == "tick" || key == "type") {
    if (!needCurrent()) return false;
    HWND control = nullptr;
    if (!WaitForControl(integer(1), timeoutMs_, &control, &why)) return fail(why);
    std::string what = key + " on control " + w[1] + " of " + Describe(cur);
    if (key == "tick") {
      bool want = w[2] == "on";
      WindowState now;
      const ControlState* box = GetWindowState(current_, &now) ? FindControl(now, integer(1)) : nullptr;
      if (box != nullptr && (box->check == BST_CHECKED) == want) return true;
    }
    bool ok = key == "type"
                  ? Act([&](std::function<void()> s) { return input::TypeTextWithSignal(control, w[2], s); }, what,
                        &why)
                  : Act([&](std::function<void()> s) { return input::ClickWithSignal(control, s); }, what, &why);
    return ok ? true : fail(why);
  }

  if (key == "choose" || key == "answer") {
    // Acts on the current box, or waits for one to show.
    bool isBox = haveCurrent && cur.visible && cur.kind != WindowKind::kDialog;
    if (!isBox || (key == "choose" && cur.kind != WindowKind::kFolderBrowser)) {
      HWND found = nullptr;
      bool wantBrowser = key == "choose";
      if (!WaitFor(timeoutMs_, [&] {
            found = FindVisible([&](const WindowState& s) {
              return wantBrowser ? s.kind == WindowKind::kFolderBrowser : s.kind != WindowKind::kDialog;
            });
            return found != nullptr;
          })) {
        return fail("timed out after " + Seconds(timeoutMs_) + " waiting for " +
                    (wantBrowser ? "the folder browser" : "a message box"));
      }
      current_ = found;
      GetWindowState(current_, &cur);
    }
    HWND control = nullptr;
    if (key == "choose") {
      if (!WaitForControl(kFolderBrowserEditId, timeoutMs_, &control, &why)) return fail(why);
      if (!Act([&](std::function<void()> s) { return input::TypeTextWithSignal(control, w[1], s); },
               "typing into the folder browser", &why)) {
        return fail(why);
      }
    }
    int id = IDOK;
    if (key == "answer") {
      id = w[1] == "yes" ? IDYES : w[1] == "no" ? IDNO : w[1] == "cancel" ? IDCANCEL : IDOK;
    }
    if (FindControl(cur, id) == nullptr) {
      return fail(Describe(cur) + " has no " + w[1] + " button");
    }
    if (!WaitForControl(id, timeoutMs_, &control, &why)) return fail(why);
    return Act([&](std::function<void()> s) { return input::ClickWithSignal(control, s); },
               "the answer " + w[1] + " to " + Describe(cur), &why)
               ? true
               : fail(why);
  }

  if (key == "move" || key == "escape" || key == "enter" || key == "close" || key == "menu") {
    if (!needCurrent()) return false;
    HWND h = current_;
    std::function<bool(std::function<void()>)> post;
    if (key == "move") {
      int x = integer(1), y = integer(2);
      post = [h, x, y](std::function<void()> s) { return input::DragToWithSignal(h, x, y, s); };
    } else if (key == "escape" || key == "enter") {
      int k = key == "escape" ? IDCANCEL : IDOK;
      post = [h, k](std::function<void()> s) { return input::KeyWithSignal(h, k, s); };
    } else {
      UINT id = key == "close" ? SC_CLOSE : static_cast<UINT>(integer(1));
      if (key == "menu") {
        bool present = false;
        for (const auto& item : cur.systemMenu) present = present || (item.flags == MF_STRING && item.id == id);
        if (!present) return fail("the system menu of " + Describe(cur) + " has no item " + w[1]);
      }
      post = [h, id](std::function<void()> s) { return input::SysCommandWithSignal(h, id, s); };
    }
    return Act(post, key + " on " + Describe(cur), &why) ? true : fail(why);
  }

  if (key == "snapshot") {
    if (!needCurrent()) return false;
    if (!RenderSnapshot(current_, w[1], &why)) return fail("snapshot of " + Describe(cur) + " failed: " + why);
    return true;
  }

  // expect: the state as it is now.
  if (!needCurrent()) return false;
  if (key == "expect title") {
    if (cur.title != w[2]) return fail(Describe(cur) + " has the title \"" + cur.title + "\", not \"" + w[2] + "\"");
    return true;
  }
  if (key == "expect position") {
    if (cur.windowRect.left != integer(2) || cur.windowRect.top != integer(3)) {
      return fail(Describe(cur) + " is at " + std::to_string(cur.windowRect.left) + "," +
                  std::to_string(cur.windowRect.top) + ", not " + w[2] + "," + w[3]);
    }
    return true;
  }
  const ControlState* c = FindControl(cur, integer(2));
  if (c == nullptr) return fail(Describe(cur) + " has no control " + w[2]);
  std::string subject = "control " + w[2] + " of " + Describe(cur);
  if (key == "expect text" && c->text != w[3]) {
    return fail(subject + " reads \"" + c->text + "\", not \"" + w[3] + "\"");
  }
  if ((key == "expect visible" && !c->visible) || (key == "expect hidden" && c->visible)) {
    return fail(subject + " is " + (c->visible ? "shown" : "hidden"));
  }
  if ((key == "expect checked" && c->check != BST_CHECKED) || (key == "expect unchecked" && c->check == BST_CHECKED)) {
    return fail(subject + " is " + (c->check == BST_CHECKED ? "checked" : "not checked"));
  }
  if (key == "expect range" && (c->rangeLower != integer(3) || c->rangeUpper != integer(4))) {
    return fail(subject + " has the range " + std::to_string(c->rangeLower) + " to " +
                std::to_string(c->rangeUpper));
  }
  if (key == "expect pos" && c->pos != integer(3)) {
    return fail(subject + " is at " + std::to_string(c->pos));
  }
  return true;
}

bool ScriptRunning() { return g_scriptsRunning.load() > 0; }

void StartScriptFile(const std::string& path) {
  auto die = [](const std::string& message) {
    std::fprintf(stderr, "ui-script: %s\n", message.c_str());
    std::fflush(stderr);
    std::_Exit(kScriptFailedExitCode);
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) die(path + ": cannot read the script");
  std::stringstream text;
  text << in.rdbuf();
  std::vector<ScriptCommand> commands;
  std::string error;
  if (!ParseScript(text.str(), &commands, &error)) die(path + ":" + error.substr(5));
  g_scriptsRunning++;
  std::thread([path, commands, die] {
    ScriptedUser user(path);
    std::string failure;
    if (!user.Run(commands, &failure)) die(failure);
    std::fprintf(stderr, "[ui] script %s finished\n", path.c_str());
    g_scriptsRunning--;
  }).detach();
}

}  // namespace gui
