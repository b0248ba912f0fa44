// Windows, messages, timers and the system menu.
//
// Threads behave as on Windows: a window belongs to the thread that created it (for a dialog, the thread
// that runs its DoModal). Its messages are handled only on that thread, by the modal loops running there
// (nested loops included). SendMessage from another thread waits until the owner thread has handled the
// message; while it waits, the sending thread still handles messages sent to its own windows. A message
// sent to a window that is gone, or whose thread has ended, returns 0 at once.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/dc.h"
#include "gui/image.h"
#include "gui/types.h"

namespace gui {

class CWnd;

// --- Handle-level calls (any thread) ---------------------------------------------------------------------
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
// As SendMessage, but gives up after timeoutMs: false (and *result untouched) when the owner thread did
// not handle the message in time or the window is gone.
bool SendMessageTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, int timeoutMs,
                        LRESULT* result);
// Queues the message for the window's thread; HWND_BROADCAST reaches every top-level dialog of every
// process of the machine. False when the window is gone.
bool PostMessage(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
bool IsWindow(HWND window);
bool IsWindowVisible(HWND window);
int GetDlgCtrlID(HWND control);
HWND GetDlgItem(HWND dialog, int id);
HWND GetParent(HWND window);
bool SetWindowText(HWND window, const std::string& text);
std::string GetWindowText(HWND window);
bool ShowWindow(HWND window, int command);
// Returns true when the window was disabled before (as EnableWindow does).
bool EnableWindow(HWND window, bool enable);
bool GetWindowRect(HWND window, CRect* rect);  // screen coordinates
bool GetClientRect(HWND window, CRect* rect);  // (0, 0, width, height)
bool ScreenToClient(HWND window, CRect* rect);
bool ClientToScreen(HWND window, CRect* rect);
bool InvalidateRect(HWND window, const CRect* rect, bool erase);
bool UpdateWindow(HWND window);
// Special insert-after values for SetWindowPos.
inline HWND const HWND_TOP = nullptr;
inline HWND const HWND_TOPMOST = reinterpret_cast<HWND>(-1);
bool SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);

// Timers: WM_TIMER (wParam the timer id) arrives on the window's owner thread every `elapseMs` while its
// loop runs. Setting an existing id restarts it with the new period. Returns the id, 0 on failure.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs);
bool KillTimer(HWND window, UINT_PTR id);

// The screen (SM_CXSCREEN, SM_CYSCREEN); 1024 x 768 until the machine's size is set at start-up.
int GetSystemMetrics(int index);
void SetScreenSize(int width, int height);

// Registered and broadcast messages: delivers a message to every top-level dialog of this process (the
// prefix-wide broadcast arrives through here). Returns how many windows it was posted to.
int DeliverBroadcast(UINT message, WPARAM wParam, LPARAM lParam);

// --- The system menu -------------------------------------------------------------------------------------
struct MenuItem {
  UINT flags = MF_STRING;  // MF_STRING or MF_SEPARATOR
  UINT id = 0;
  std::string text;
};

// A window's system menu. Items appended here are shown by the backends; choosing one sends
// WM_SYSCOMMAND with its id to the window.
class CMenu {
 public:
  bool AppendMenu(UINT flags, UINT_PTR id = 0, const char* text = nullptr);
  std::vector<MenuItem> Items() const;

 private:
  friend class CWnd;
  HWND window_ = nullptr;
};

// --- Window objects ---------------------------------------------------------------------------------------
// The object side of a window: dialogs and controls derive from it. One object is attached to one window at
// a time; messages for that window reach WindowProc on the owner thread.
class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // The window; after the window is destroyed the handle stays, dead: every call on it fails.
  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }

  // The object attached to a window: the one bound by data exchange or the dialog itself, otherwise a
  // plain CWnd owned by the framework for the window's lifetime. nullptr for a window that is gone.
  static CWnd* FromHandle(HWND window);

  // Message handling: the entry point for every message of this window. Overrides call the base class for
  // what they do not handle themselves.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // The framework's own handling of a message.
  LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

  // Handlers (called by WindowProc).
  // WM_COMMAND: id is the control id, code the notification. Return true when handled.
  virtual bool OnCommand(UINT id, UINT code);
  virtual void OnTimer(UINT_PTR id);
  virtual void OnMove(int x, int y);                  // client origin in screen coordinates
  virtual void OnMoving(UINT edge, CRect* proposed);  // window rectangle the drag proposes
  virtual void OnSysCommand(UINT id, LPARAM lParam);
  virtual void OnClose();
  // WM_PAINT: draw this window's client area into dc. Return false to leave the standard look of the
  // window's class to the renderer (the default); true when the handler painted everything.
  virtual bool OnPaint(CDC& dc);
  // Control colours, asked of a dialog for each of its controls before the control is drawn. nullptr: the
  // default colours.
  virtual HBRUSH OnCtlColor(CDC& dc, CWnd* control, UINT ctlColor);

  // Window calls on this object's window (see the handle-level calls).
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  bool PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  // The control's object; never nullptr: a missing control, or a control of a dialog that has closed,
  // gives an inert window on which every call fails (a late report from a worker does no harm).
  CWnd* GetDlgItem(int id) const;
  int GetDlgCtrlID() const;
  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  void GetWindowText(std::string& text) const { text = GetWindowText(); }
  bool ShowWindow(int command);
  bool EnableWindow(bool enable = true);
  bool IsWindowVisible() const;
  void GetWindowRect(CRect* rect) const;
  void GetClientRect(CRect* rect) const;
  void ScreenToClient(CRect* rect) const;
  void ClientToScreen(CRect* rect) const;
  void InvalidateRect(const CRect* rect, bool erase = true);
  void Invalidate(bool erase = true) { InvalidateRect(nullptr, erase); }
  void UpdateWindow();
  // wndTop / wndTopMost as insertAfter, or nullptr with SWP_NOZORDER.
  static const CWnd wndTop;
  static const CWnd wndTopMost;
  bool SetWindowPos(const CWnd* insertAfter, int x, int y, int cx, int cy, UINT flags);
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs, void* unusedCallback = nullptr);
  bool KillTimer(UINT_PTR id);
  // WM_SETICON: the big or small icon of the window; returns the previous one.
  HICON SetIcon(HICON icon, bool big);
  HICON GetIcon(bool big) const;
  // The window's system menu (the same object for the window's lifetime).
  CMenu* GetSystemMenu(bool revert);
  // A message box owned by this window.
  int MessageBox(const std::string& text, const std::string& caption, UINT type = MB_OK);

 protected:
  friend class WindowSystem;
  CMenu systemMenu_;
};

}  // namespace gui
