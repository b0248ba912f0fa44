#include "gui/backend.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gui/script.h"
#include "gui/window_system.h"

namespace gui {
namespace {

WindowSystem& WS() { return WindowSystem::Get(); }

bool HasDisplay() {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

std::unique_ptr<Backend> ChooseBackend() {
  const char* choice = std::getenv("VODA_UI");
  std::string name = choice != nullptr ? choice : "";
  if (name.empty()) name = HasDisplay() ? "gtk" : "headless";
  if (name == "gtk") {
    std::string error;
    std::unique_ptr<Backend> gtk = CreateGtkBackend(&error);
    if (gtk) return gtk;
    std::fprintf(stderr, "[ui] the gtk backend cannot start (%s); continuing without a display\n",
                 error.c_str());
  } else if (name != "headless") {
    std::fprintf(stderr, "[ui] unknown VODA_UI \"%s\" (headless or gtk); continuing without a display\n",
                 name.c_str());
  }
  return CreateHeadlessBackend();
}

// Whether the window and every window it lies in is shown and enabled, and its dialog still runs.
bool Usable(HWND h) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  for (WindowRecord* r = ws.Find(h); r != nullptr; r = ws.Find(r->parent)) {
    if (!r->visible || !r->enabled) return false;
    if (!r->child) return !r->ended;
  }
  return false;
}

// Queues a user's action for the owner thread of `target`. `started` (may be empty) runs once the action's
// immediate effect is done, or when the action is dropped.
bool PostInput(HWND target, std::function<void(const std::function<void()>&)> action,
               std::function<void()> started) {
  auto signal = std::make_shared<std::function<void()>>(std::move(started));
  auto fire = [signal] {
    if (*signal) {
      (*signal)();
      *signal = nullptr;
    }
  };
  if (!Usable(target)) return false;
  bool posted = WS().Post(target, WM_NULL, 0, 0, [target, action, fire] {
    if (!Usable(target)) {
      fire();
      return;
    }
    action(fire);
    fire();
  });
  if (!posted) fire();
  return posted;
}

int DefaultButton(HWND top) {
  WindowState state;
  if (!GetWindowState(top, &state)) return IDOK;
  for (const ControlState& c : state.controls) {
    if (c.cls == ControlClass::kButton && (c.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON && c.visible) return c.id;
  }
  return IDOK;
}

ControlState StateOfControl(HWND h, const WindowRecord& c) {
  ControlState cs;
  cs.hwnd = h;
  cs.id = c.id;
  cs.cls = c.cls;
  cs.style = c.style;
  cs.text = c.text;
  cs.rect = c.rect;
  cs.visible = c.visible;
  cs.enabled = c.enabled;
  cs.check = c.check;
  cs.rangeLower = c.rangeLower;
  cs.rangeUpper = c.rangeUpper;
  cs.pos = c.pos;
  cs.painted = c.ownerPainted;
  return cs;
}

}  // namespace

void EnsureBackend() {
  WindowSystem& ws = WS();
  std::lock_guard<std::recursive_mutex> lock(ws.backendMu);
  if (ws.backendChosen) return;
  ws.backendChosen = true;
  ws.backend = ChooseBackend();
  ws.backend->Start();
  const char* script = std::getenv("VODA_UI_SCRIPT");
  if (script != nullptr && *script != '\0') StartScriptFile(script);
}

void InstallBackend(std::unique_ptr<Backend> backend) {
  WindowSystem& ws = WS();
  std::lock_guard<std::recursive_mutex> lock(ws.backendMu);
  if (ws.backend) ws.backend->Stop();
  ws.backend = std::move(backend);
  ws.backendChosen = true;
  if (ws.backend) ws.backend->Start();
}

void AddObserver(Backend* observer) {
  WindowSystem& ws = WS();
  std::lock_guard<std::recursive_mutex> lock(ws.backendMu);
  ws.observers.push_back(observer);
}

void RemoveObserver(Backend* observer) {
  WindowSystem& ws = WS();
  std::lock_guard<std::recursive_mutex> lock(ws.backendMu);
  auto& o = ws.observers;
  o.erase(std::remove(o.begin(), o.end(), observer), o.end());
}

std::vector<HWND> TopLevelWindows() {
  std::lock_guard<std::mutex> lock(WS().mu);
  return WS().zorder;
}

bool GetWindowState(HWND topLevel, WindowState* state) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(topLevel);
  if (r == nullptr || r->child || state == nullptr) return false;
  WindowState s;
  s.hwnd = r->hwnd;
  s.kind = r->kind;
  s.templateId = r->templateId;
  s.style = r->style;
  s.title = r->text;
  s.windowRect = r->rect;
  s.clientRect = CRect(r->rect.left + kFrameWidth, r->rect.top + kFrameWidth + kCaptionHeight,
                       r->rect.right - kFrameWidth, r->rect.bottom - kFrameWidth);
  s.visible = r->visible;
  s.enabled = r->enabled;
  s.topmost = r->topmost;
  s.bigIcon = r->bigIcon;
  s.smallIcon = r->smallIcon;
  s.systemMenu = r->systemMenu;
  s.text = r->boxText;
  s.type = r->boxType;
  s.generation = r->generation;
  s.controls.reserve(r->children.size());
  for (HWND h : r->children) {
    WindowRecord* c = ws.Find(h);
    if (c != nullptr) s.controls.push_back(StateOfControl(h, *c));
  }
  *state = std::move(s);
  return true;
}

bool GetControlState(HWND control, ControlState* state) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* c = ws.Find(control);
  if (c == nullptr || !c->child || state == nullptr) return false;
  *state = StateOfControl(control, *c);
  return true;
}

bool RunOnOwnerThread(HWND window, const std::function<void()>& fn, int timeoutMs) {
  return WS().Send(window, WM_NULL, 0, 0, fn, timeoutMs < 0 ? 0 : timeoutMs, nullptr);
}

void SetOwnerPainted(HWND control, bool painted) {
  std::lock_guard<std::mutex> lock(WS().mu);
  WindowRecord* r = WS().Find(control);
  if (r != nullptr) r->ownerPainted = painted;
}

namespace input {

bool ClickWithSignal(HWND control, std::function<void()> started) {
  return PostInput(
      control,
      [control](const std::function<void()>& fire) {
        HWND parent = GetParent(control);
        WindowState state;
        uint32_t style = 0;
        int id = GetDlgCtrlID(control);
        if (GetWindowState(parent, &state)) {
          for (const auto& c : state.controls) {
            if (c.hwnd == control) style = c.style;
          }
        }
        if ((style & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
          LRESULT check = SendMessage(control, BM_GETCHECK);
          SendMessage(control, BM_SETCHECK, check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
        }
        fire();
        SendMessage(parent, WM_COMMAND, MAKEWPARAM(static_cast<unsigned>(id), BN_CLICKED),
                    HandleToParam(control));
      },
      std::move(started));
}

bool Click(HWND control) { return ClickWithSignal(control, {}); }

bool TypeTextWithSignal(HWND edit, const std::string& text, std::function<void()> started) {
  return PostInput(
      edit,
      [edit, text](const std::function<void()>& fire) {
        SendMessage(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        fire();
        SendMessage(GetParent(edit), WM_COMMAND,
                    MAKEWPARAM(static_cast<unsigned>(GetDlgCtrlID(edit)), EN_CHANGE), HandleToParam(edit));
      },
      std::move(started));
}

bool TypeText(HWND edit, const std::string& text) { return TypeTextWithSignal(edit, text, {}); }

bool DragToWithSignal(HWND topLevel, int x, int y, std::function<void()> started) {
  return PostInput(
      topLevel,
      [topLevel, x, y](const std::function<void()>&) {
        CRect rect;
        if (!GetWindowRect(topLevel, &rect)) return;
        CRect proposed(x, y, x + rect.Width(), y + rect.Height());
        SendMessage(topLevel, WM_MOVING, WMSZ_MOVE, reinterpret_cast<LPARAM>(&proposed));
        SetWindowPos(topLevel, nullptr, proposed.left, proposed.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        // The hand stops at the final place before letting go.
        GetWindowRect(topLevel, &proposed);
        SendMessage(topLevel, WM_MOVING, WMSZ_MOVE, reinterpret_cast<LPARAM>(&proposed));
      },
      std::move(started));
}

bool DragTo(HWND topLevel, int x, int y) { return DragToWithSignal(topLevel, x, y, {}); }

bool KeyWithSignal(HWND topLevel, int key, std::function<void()> started) {
  return PostInput(
      topLevel,
      [topLevel, key](const std::function<void()>& fire) {
        fire();
        int id = key == IDOK ? DefaultButton(topLevel) : IDCANCEL;
        SendMessage(topLevel, WM_COMMAND, MAKEWPARAM(static_cast<unsigned>(id), BN_CLICKED),
                    HandleToParam(GetDlgItem(topLevel, id)));
      },
      std::move(started));
}

bool PressEscape(HWND topLevel) { return KeyWithSignal(topLevel, IDCANCEL, {}); }
bool PressEnter(HWND topLevel) { return KeyWithSignal(topLevel, IDOK, {}); }

bool SysCommandWithSignal(HWND topLevel, UINT id, std::function<void()> started) {
  return PostInput(
      topLevel,
      [topLevel, id](const std::function<void()>& fire) {
        fire();
        SendMessage(topLevel, WM_SYSCOMMAND, id, 0);
      },
      std::move(started));
}

bool CloseBox(HWND topLevel) { return SysCommandWithSignal(topLevel, SC_CLOSE, {}); }
bool ChooseSystemMenuItem(HWND topLevel, UINT id) { return SysCommandWithSignal(topLevel, id, {}); }

}  // namespace input
}  // namespace gui
