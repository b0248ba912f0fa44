#include "gui/window.h"

#include <algorithm>
#include <cstring>

#include "gui/machine.h"
#include "gui/message_box.h"
#include "gui/window_system.h"

namespace gui {
namespace {

using Clock = std::chrono::steady_clock;

WindowSystem& WS() { return WindowSystem::Get(); }

CPoint ClientOrigin(WindowRecord* r, WindowSystem& ws) {
  if (!r->child) return {r->rect.left + kFrameWidth, r->rect.top + kFrameWidth + kCaptionHeight};
  WindowRecord* p = ws.Find(r->parent);
  CPoint origin = p != nullptr ? ClientOrigin(p, ws) : CPoint{};
  return {origin.x + r->rect.left, origin.y + r->rect.top};
}

// Applies a change to a record under the lock, then tells the backends.
template <typename Fn>
bool Change_(HWND h, Change change, Fn fn) {
  WindowSystem& ws = WS();
  HWND top = nullptr;
  HWND control = nullptr;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(h);
    if (r == nullptr) return false;
    if (!fn(r)) return true;
    ws.Touch(r);
    WindowRecord* t = ws.TopOf(r);
    top = t != nullptr ? t->hwnd : h;
    control = r->child ? h : nullptr;
  }
  ws.Notify(top, change, control);
  return true;
}

bool IsOwnerThread(HWND h) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(h);
  return r != nullptr && r->owner->thread == std::this_thread::get_id();
}

}  // namespace

// --- Handle-level calls ----------------------------------------------------------------------------------

LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (!WS().Send(window, message, wParam, lParam, {}, -1, &result)) return 0;
  return result;
}

bool SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, int timeoutMs,
                        LRESULT* result) {
  return WS().Send(window, message, wParam, lParam, {}, timeoutMs < 0 ? 0 : timeoutMs, result);
}

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == HWND_BROADCAST) return PostMachineBroadcast(message, wParam, lParam);
  return WS().Post(window, message, wParam, lParam, {});
}

bool IsWindow(HWND window) {
  std::lock_guard<std::mutex> lock(WS().mu);
  return WS().Find(window) != nullptr;
}

bool IsWindowVisible(HWND window) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  // Visible means: it and every window it lies in are shown.
  for (WindowRecord* r = ws.Find(window); r != nullptr; r = r->child ? ws.Find(r->parent) : nullptr) {
    if (!r->visible) return false;
    if (!r->child) return true;
  }
  return false;
}

int GetDlgCtrlID(HWND control) {
  std::lock_guard<std::mutex> lock(WS().mu);
  WindowRecord* r = WS().Find(control);
  return r != nullptr && r->child ? r->id : 0;
}

HWND GetDlgItem(HWND dialog, int id) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* d = ws.Find(dialog);
  if (d == nullptr) return nullptr;
  for (HWND h : d->children) {
    WindowRecord* c = ws.Find(h);
    if (c != nullptr && c->id == id) return h;
  }
  return nullptr;
}

HWND GetParent(HWND window) {
  std::lock_guard<std::mutex> lock(WS().mu);
  WindowRecord* r = WS().Find(window);
  return r != nullptr ? r->parent : nullptr;
}

bool SetWindowText(HWND window, const std::string& text) {
  LRESULT result = 0;
  return WS().Send(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), {}, -1, &result) &&
         result != 0;
}

std::string GetWindowText(HWND window) {
  std::lock_guard<std::mutex> lock(WS().mu);
  WindowRecord* r = WS().Find(window);
  return r != nullptr ? r->text : std::string();
}

bool ShowWindow(HWND window, int command) {
  WindowSystem& ws = WS();
  bool show = command != SW_HIDE;
  bool wasVisible = false;
  HWND top = nullptr;
  bool child = false;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(window);
    if (r == nullptr) return false;
    wasVisible = r->visible;
    if (wasVisible == show) return wasVisible;
    r->visible = show;
    child = r->child;
    if (!child && show) ws.Raise(r);  // showing a window brings it to the top of its band
    ws.Touch(r);
    WindowRecord* t = ws.TopOf(r);
    top = t != nullptr ? t->hwnd : window;
  }
  if (child) {
    ws.Notify(top, Change::kControl, window);
  } else {
    ws.Notify(window, show ? Change::kShown : Change::kHidden, nullptr);
  }
  return wasVisible;
}

bool EnableWindow(HWND window, bool enable) {
  bool wasDisabled = false;
  Change_(window, Change::kControl, [&](WindowRecord* r) {
    wasDisabled = !r->enabled;
    if (r->enabled == enable) return false;
    r->enabled = enable;
    return true;
  });
  return wasDisabled;
}

bool GetWindowRect(HWND window, CRect* rect) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(window);
  if (r == nullptr || rect == nullptr) return false;
  if (!r->child) {
    *rect = r->rect;
  } else {
    CPoint o = ClientOrigin(r, ws);
    *rect = CRect(o.x, o.y, o.x + r->rect.Width(), o.y + r->rect.Height());
  }
  return true;
}

bool GetClientRect(HWND window, CRect* rect) {
  std::lock_guard<std::mutex> lock(WS().mu);
  WindowRecord* r = WS().Find(window);
  if (r == nullptr || rect == nullptr) return false;
  if (r->child) {
    *rect = CRect(0, 0, r->rect.Width(), r->rect.Height());
  } else {
    *rect = CRect(0, 0, r->rect.Width() - 2 * kFrameWidth,
                  r->rect.Height() - 2 * kFrameWidth - kCaptionHeight);
  }
  return true;
}

bool ScreenToClient(HWND window, CRect* rect) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(window);
  if (r == nullptr || rect == nullptr) return false;
  CPoint o = ClientOrigin(r, ws);
  rect->OffsetRect(-o.x, -o.y);
  return true;
}

bool ClientToScreen(HWND window, CRect* rect) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(window);
  if (r == nullptr || rect == nullptr) return false;
  CPoint o = ClientOrigin(r, ws);
  rect->OffsetRect(o.x, o.y);
  return true;
}

bool InvalidateRect(HWND window, const CRect* /*rect*/, bool /*erase*/) {
  HWND top = TopLevelOf(window);
  if (top == nullptr) return false;
  WS().Notify(top, Change::kInvalidated, top == window ? nullptr : window);
  return true;
}

bool UpdateWindow(HWND window) {
  HWND top = TopLevelOf(window);
  if (top == nullptr) return false;
  WS().Notify(top, Change::kUpdate, top == window ? nullptr : window);
  return true;
}

bool SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
  WindowSystem& ws = WS();
  if (!IsOwnerThread(window)) {
    // The owner thread moves its windows and handles the WM_MOVE that follows.
    bool ok = false;
    if (!ws.Send(window, WM_NULL, 0, 0,
                 [&] { ok = SetWindowPos(window, insertAfter, x, y, cx, cy, flags); }, -1, nullptr)) {
      return false;
    }
    return ok;
  }
  bool moved = false;
  bool shown = false;
  bool hidden = false;
  bool child = false;
  CPoint origin;
  HWND top = nullptr;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(window);
    if (r == nullptr) return false;
    child = r->child;
    CRect old = r->rect;
    CRect next = old;
    if ((flags & SWP_NOMOVE) == 0) {
      next = CRect(x, y, x + old.Width(), y + old.Height());
    }
    if ((flags & SWP_NOSIZE) == 0) {
      next.right = next.left + cx;
      next.bottom = next.top + cy;
    }
    moved = next.left != old.left || next.top != old.top;
    r->rect = next;
    if (!child && (flags & SWP_NOZORDER) == 0) {
      if (insertAfter == HWND_TOPMOST) r->topmost = true;
      ws.Raise(r);
    }
    if ((flags & SWP_SHOWWINDOW) != 0 && !r->visible) {
      r->visible = true;
      shown = true;
    }
    if ((flags & SWP_HIDEWINDOW) != 0 && r->visible) {
      r->visible = false;
      hidden = true;
    }
    ws.Touch(r);
    origin = ClientOrigin(r, ws);
    WindowRecord* t = ws.TopOf(r);
    top = t != nullptr ? t->hwnd : window;
  }
  if (child) {
    ws.Notify(top, Change::kControl, window);
    return true;
  }
  ws.Notify(window, Change::kMoved, nullptr);
  if (shown) ws.Notify(window, Change::kShown, nullptr);
  if (hidden) ws.Notify(window, Change::kHidden, nullptr);
  if (moved) ws.Dispatch(window, WM_MOVE, 0, MAKELPARAM(origin.x, origin.y));
  return true;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(window);
  if (r == nullptr) return 0;
  auto& timers = r->owner->timers;
  auto due = Clock::now() + std::chrono::milliseconds(elapseMs);
  auto it = std::find_if(timers.begin(), timers.end(),
                         [&](const Timer& t) { return t.hwnd == window && t.id == id; });
  if (it != timers.end()) {
    it->periodMs = elapseMs;
    it->due = due;
  } else {
    timers.push_back(Timer{window, id, elapseMs, due});
  }
  r->owner->wake.notify_all();
  return id;
}

bool KillTimer(HWND window, UINT_PTR id) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(window);
  if (r == nullptr) return false;
  auto& timers = r->owner->timers;
  auto it = std::remove_if(timers.begin(), timers.end(),
                           [&](const Timer& t) { return t.hwnd == window && t.id == id; });
  bool found = it != timers.end();
  timers.erase(it, timers.end());
  return found;
}

int GetSystemMetrics(int index) {
  std::lock_guard<std::mutex> lock(WS().mu);
  switch (index) {
    case SM_CXSCREEN:
      return WS().screenWidth;
    case SM_CYSCREEN:
      return WS().screenHeight;
    default:
      return 0;
  }
}

void SetScreenSize(int width, int height) {
  if (width <= 0 || height <= 0) return;
  std::lock_guard<std::mutex> lock(WS().mu);
  WS().screenWidth = width;
  WS().screenHeight = height;
}

int DeliverBroadcast(UINT message, WPARAM wParam, LPARAM lParam) {
  WindowSystem& ws = WS();
  std::vector<HWND> targets;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    for (HWND h : ws.zorder) {
      WindowRecord* r = ws.Find(h);
      if (r != nullptr && r->kind == WindowKind::kDialog) targets.push_back(h);
    }
  }
  int count = 0;
  for (HWND h : targets) {
    if (ws.Post(h, message, wParam, lParam, {})) ++count;
  }
  return count;
}

// --- The system menu -------------------------------------------------------------------------------------

bool CMenu::AppendMenu(UINT flags, UINT_PTR id, const char* text) {
  MenuItem item;
  item.flags = (flags & MF_SEPARATOR) != 0 ? MF_SEPARATOR : MF_STRING;
  item.id = static_cast<UINT>(id);
  if (text != nullptr && item.flags == MF_STRING) item.text = text;
  return Change_(window_, Change::kIcon, [&](WindowRecord* r) {
    r->systemMenu.push_back(item);
    return true;
  });
}

std::vector<MenuItem> CMenu::Items() const {
  std::lock_guard<std::mutex> lock(WS().mu);
  WindowRecord* r = WS().Find(window_);
  return r != nullptr ? r->systemMenu : std::vector<MenuItem>();
}

// --- CWnd ------------------------------------------------------------------------------------------------

const CWnd CWnd::wndTop;
const CWnd CWnd::wndTopMost;

CWnd::~CWnd() {
  if (m_hWnd == nullptr) return;
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(m_hWnd);
  if (r != nullptr && r->object == this) r->object = nullptr;
}

CWnd* CWnd::FromHandle(HWND window) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.Find(window);
  return r != nullptr ? ObjectOf(r) : nullptr;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (OnCommand(LOWORD(wParam), HIWORD(wParam))) return 0;
      return Default(message, wParam, lParam);
    case WM_TIMER:
      OnTimer(wParam);
      return 0;
    case WM_MOVE:
      OnMove(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 0;
    case WM_MOVING:
      OnMoving(static_cast<UINT>(wParam), reinterpret_cast<CRect*>(lParam));
      return 1;
    case WM_SYSCOMMAND:
      OnSysCommand(static_cast<UINT>(wParam), lParam);
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_PAINT:
      if (wParam == 0) return 0;
      return OnPaint(*reinterpret_cast<CDC*>(wParam)) ? 1 : 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORDLG: {
      if (wParam == 0) return 0;
      UINT kind = message == WM_CTLCOLORSTATIC ? CTLCOLOR_STATIC
                  : message == WM_CTLCOLORBTN  ? CTLCOLOR_BTN
                  : message == WM_CTLCOLOREDIT ? CTLCOLOR_EDIT
                                               : CTLCOLOR_DLG;
      HBRUSH brush = OnCtlColor(*reinterpret_cast<CDC*>(wParam), FromHandle(ParamToHandle(lParam)), kind);
      return reinterpret_cast<LRESULT>(brush);
    }
    default:
      return Default(message, wParam, lParam);
  }
}

LRESULT CWnd::Default(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND h = m_hWnd;
  switch (message) {
    case WM_SETTEXT: {
      std::string text = lParam != 0 ? reinterpret_cast<const char*>(lParam) : "";
      bool ok = Change_(h, Change::kText, [&](WindowRecord* r) {
        if (r->text == text) return false;
        r->text = text;
        return true;
      });
      return ok ? 1 : 0;
    }
    case WM_GETTEXT: {
      std::string text = gui::GetWindowText(h);
      if (wParam == 0 || lParam == 0) return 0;
      size_t n = std::min<size_t>(text.size(), wParam - 1);
      std::memcpy(reinterpret_cast<char*>(lParam), text.data(), n);
      reinterpret_cast<char*>(lParam)[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(gui::GetWindowText(h).size());
    case BM_GETCHECK: {
      std::lock_guard<std::mutex> lock(WS().mu);
      WindowRecord* r = WS().Find(h);
      return r != nullptr ? r->check : 0;
    }
    case BM_SETCHECK: {
      int check = static_cast<int>(wParam) == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED;
      Change_(h, Change::kControl, [&](WindowRecord* r) {
        if (r->check == check) return false;
        r->check = check;
        return true;
      });
      return 0;
    }
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
      LRESULT previous = 0;
      int lower = message == PBM_SETRANGE ? LOWORD(static_cast<uintptr_t>(lParam)) : static_cast<int>(wParam);
      int upper = message == PBM_SETRANGE ? HIWORD(static_cast<uintptr_t>(lParam)) : static_cast<int>(lParam);
      Change_(h, Change::kControl, [&](WindowRecord* r) {
        previous = MAKELPARAM(static_cast<unsigned>(r->rangeLower), static_cast<unsigned>(r->rangeUpper));
        if (r->rangeLower == lower && r->rangeUpper == upper) return false;
        r->rangeLower = lower;
        r->rangeUpper = upper;
        return true;
      });
      return previous;
    }
    case PBM_SETPOS:
    case PBM_DELTAPOS: {
      int previous = 0;
      Change_(h, Change::kControl, [&](WindowRecord* r) {
        previous = r->pos;
        int next = message == PBM_SETPOS ? static_cast<int>(wParam) : r->pos + static_cast<int>(wParam);
        if (next == r->pos) return false;
        r->pos = next;
        return true;
      });
      return previous;
    }
    case PBM_GETRANGE: {
      std::lock_guard<std::mutex> lock(WS().mu);
      WindowRecord* r = WS().Find(h);
      if (r == nullptr) return 0;
      if (lParam != 0) {
        auto* range = reinterpret_cast<PBRANGE*>(lParam);
        range->iLow = r->rangeLower;
        range->iHigh = r->rangeUpper;
      }
      return wParam != 0 ? r->rangeLower : r->rangeUpper;
    }
    case PBM_GETPOS: {
      std::lock_guard<std::mutex> lock(WS().mu);
      WindowRecord* r = WS().Find(h);
      return r != nullptr ? r->pos : 0;
    }
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) gui::SendMessage(h, WM_CLOSE);
      return 0;
    case WM_CLOSE: {
      // A dialog's close box is its Cancel command.
      bool topLevel = false;
      {
        std::lock_guard<std::mutex> lock(WS().mu);
        WindowRecord* r = WS().Find(h);
        topLevel = r != nullptr && !r->child;
      }
      if (topLevel) {
        gui::SendMessage(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         HandleToParam(gui::GetDlgItem(h, IDCANCEL)));
      }
      return 0;
    }
    default:
      return 0;
  }
}

bool CWnd::OnCommand(UINT /*id*/, UINT /*code*/) { return false; }
void CWnd::OnTimer(UINT_PTR /*id*/) {}
void CWnd::OnMove(int /*x*/, int /*y*/) {}
void CWnd::OnMoving(UINT /*edge*/, CRect* /*proposed*/) {}
void CWnd::OnSysCommand(UINT id, LPARAM lParam) { Default(WM_SYSCOMMAND, id, lParam); }
void CWnd::OnClose() { Default(WM_CLOSE, 0, 0); }
bool CWnd::OnPaint(CDC& /*dc*/) { return false; }
HBRUSH CWnd::OnCtlColor(CDC& /*dc*/, CWnd* /*control*/, UINT /*ctlColor*/) { return nullptr; }

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return gui::SendMessage(m_hWnd, message, wParam, lParam);
}
bool CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return gui::PostMessage(m_hWnd, message, wParam, lParam);
}
CWnd* CWnd::GetDlgItem(int id) const {
  // Never null: a missing control, or one of a closed dialog, is an inert window whose calls all fail.
  static CWnd* const inert = new CWnd;
  HWND h = gui::GetDlgItem(m_hWnd, id);
  CWnd* object = h != nullptr ? FromHandle(h) : nullptr;
  return object != nullptr ? object : inert;
}
int CWnd::GetDlgCtrlID() const { return gui::GetDlgCtrlID(m_hWnd); }
void CWnd::SetWindowText(const std::string& text) { gui::SetWindowText(m_hWnd, text); }
std::string CWnd::GetWindowText() const { return gui::GetWindowText(m_hWnd); }
bool CWnd::ShowWindow(int command) { return gui::ShowWindow(m_hWnd, command); }
bool CWnd::EnableWindow(bool enable) { return gui::EnableWindow(m_hWnd, enable); }
bool CWnd::IsWindowVisible() const { return gui::IsWindowVisible(m_hWnd); }
void CWnd::GetWindowRect(CRect* rect) const { gui::GetWindowRect(m_hWnd, rect); }
void CWnd::GetClientRect(CRect* rect) const { gui::GetClientRect(m_hWnd, rect); }
void CWnd::ScreenToClient(CRect* rect) const { gui::ScreenToClient(m_hWnd, rect); }
void CWnd::ClientToScreen(CRect* rect) const { gui::ClientToScreen(m_hWnd, rect); }
void CWnd::InvalidateRect(const CRect* rect, bool erase) { gui::InvalidateRect(m_hWnd, rect, erase); }
void CWnd::UpdateWindow() { gui::UpdateWindow(m_hWnd); }

bool CWnd::SetWindowPos(const CWnd* insertAfter, int x, int y, int cx, int cy, UINT flags) {
  HWND after = insertAfter == &wndTopMost ? HWND_TOPMOST
               : insertAfter == nullptr || insertAfter == &wndTop ? HWND_TOP
                                                                   : insertAfter->m_hWnd;
  return gui::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags);
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapseMs, void* /*unusedCallback*/) {
  return gui::SetTimer(m_hWnd, id, elapseMs);
}
bool CWnd::KillTimer(UINT_PTR id) { return gui::KillTimer(m_hWnd, id); }

HICON CWnd::SetIcon(HICON icon, bool big) {
  HICON previous;
  Change_(m_hWnd, Change::kIcon, [&](WindowRecord* r) {
    HICON& slot = big ? r->bigIcon : r->smallIcon;
    previous = slot;
    slot = icon;
    return true;
  });
  return previous;
}

HICON CWnd::GetIcon(bool big) const {
  std::lock_guard<std::mutex> lock(WS().mu);
  WindowRecord* r = WS().Find(m_hWnd);
  if (r == nullptr) return nullptr;
  return big ? r->bigIcon : r->smallIcon;
}

CMenu* CWnd::GetSystemMenu(bool /*revert*/) {
  if (m_hWnd == nullptr) return nullptr;
  systemMenu_.window_ = m_hWnd;
  return &systemMenu_;
}

int CWnd::MessageBox(const std::string& text, const std::string& caption, UINT type) {
  return gui::MessageBox(m_hWnd, text, caption, type);
}

HWND TopLevelOf(HWND window) {
  WindowSystem& ws = WS();
  std::lock_guard<std::mutex> lock(ws.mu);
  WindowRecord* r = ws.TopOf(ws.Find(window));
  return r != nullptr ? r->hwnd : nullptr;
}

}  // namespace gui
