// Backends: what shows the windows to a user and feeds the user's input back. A backend draws and feeds
// input; it never runs dialog logic. It learns of changes through Backend's notifications, reads the
// windows' state as copies (WindowState), and acts only through the input calls below, which queue the
// input for the window's owner thread as a real user's would be.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/image.h"
#include "gui/templates.h"
#include "gui/types.h"
#include "gui/window.h"

namespace gui {

enum class WindowKind {
  kDialog,         // one of the program's templates
  kMessageBox,     // the system's message box
  kFolderBrowser,  // the system's folder browser
};

struct ControlState {
  HWND hwnd = nullptr;
  int id = 0;
  ControlClass cls = ControlClass::kStatic;
  uint32_t style = 0;
  std::string text;
  CRect rect;  // in the dialog's client coordinates, pixels
  bool visible = true;
  bool enabled = true;
  int check = 0;                                     // check boxes
  int rangeLower = 0, rangeUpper = 100, pos = 0;     // progress bars
  bool painted = false;  // a paint handler of the program replaces the standard look (CMyProgress)
};

struct WindowState {
  HWND hwnd = nullptr;
  WindowKind kind = WindowKind::kDialog;
  UINT templateId = 0;  // dialogs
  uint32_t style = 0;
  std::string title;
  CRect windowRect;  // screen coordinates, frame included
  CRect clientRect;  // screen coordinates of the client area
  bool visible = false;
  bool enabled = true;
  bool topmost = false;
  HICON bigIcon, smallIcon;
  std::vector<MenuItem> systemMenu;  // the items the program appended
  std::vector<ControlState> controls;
  // Message boxes: the text, type (MB_*) ; folder browser: the title shown above the tree, flags.
  std::string text;
  UINT type = 0;
  // Grows with every change of the window or its controls.
  uint64_t generation = 0;
};

// Top-level windows of this process, topmost first (hidden ones included).
std::vector<HWND> TopLevelWindows();
// A copy of the window's state; false when it is gone.
bool GetWindowState(HWND topLevel, WindowState* state);
// A copy of one control's state, cheaper than the whole window's; false when it is gone or is not a
// control.
bool GetControlState(HWND control, ControlState* state);
// The top-level window a control belongs to (the window itself for a top-level window).
HWND TopLevelOf(HWND window);

enum class Change {
  kCreated,      // a top-level window exists (not shown yet)
  kShown,
  kHidden,
  kMoved,        // position, size or z-order
  kText,         // the window's or a control's text
  kControl,      // check state, progress range or position, visibility or enabled state of a control
  kIcon,         // icons or system menu
  kInvalidated,  // part of the window must be repainted
  kUpdate,       // UpdateWindow: repaint what is invalid now
  kDestroyed,
};

// Implemented by each backend. Notifications arrive on the thread that made the change, after the change;
// they must return quickly and may call GetWindowState and the input calls, nothing that waits for a
// dialog's thread.
class Backend {
 public:
  virtual ~Backend() = default;
  // `control` is the control that changed, or nullptr for the window itself.
  virtual void WindowChanged(HWND topLevel, Change change, HWND control) = 0;
  // Called once the backend is installed and once before it is removed (at process end).
  virtual void Start() {}
  virtual void Stop() {}
};

// The backends in use: the one VODA_UI chooses ("headless", the default without a display, or "gtk"),
// plus the scripted user of VODA_UI_SCRIPT. Chosen on first use of the window system.
void EnsureBackend();
// Replaces the backends chosen from the environment (tests). nullptr removes them.
void InstallBackend(std::unique_ptr<Backend> backend);
// Adds an observer beside the main backend (the scripted user, tests). The caller keeps it alive until
// RemoveObserver.
void AddObserver(Backend* observer);
void RemoveObserver(Backend* observer);

// The GTK backend, defined in src/gui/gtk; nullptr and *error set when GTK cannot start (no display) or
// the build has no GTK backend.
std::unique_ptr<Backend> CreateGtkBackend(std::string* error);
// The headless backend: echoes to standard error, lets a terminal user answer, reports a dialog left
// waiting for nobody and ends the process.
std::unique_ptr<Backend> CreateHeadlessBackend();

// --- Input, as a user gives it (queued for the owner thread; false when the target is gone, hidden or
// disabled) --------------------------------------------------------------------------------------------
namespace input {
// A button press: check boxes toggle, then the dialog gets WM_COMMAND (id, BN_CLICKED).
bool Click(HWND control);
// Replaces the text of an edit field as typing would; the dialog gets EN_CHANGE.
bool TypeText(HWND edit, const std::string& text);
// Drags the window so that its top-left corner ends at (x, y): WM_MOVING with the proposed rectangle,
// the move itself (WM_MOVE), and a last WM_MOVING at the final place as the hand stops before letting go.
bool DragTo(HWND topLevel, int x, int y);
bool PressEscape(HWND topLevel);  // WM_COMMAND IDCANCEL (where the box allows it)
bool PressEnter(HWND topLevel);   // the default button
bool CloseBox(HWND topLevel);     // WM_SYSCOMMAND SC_CLOSE, then WM_CLOSE
bool ChooseSystemMenuItem(HWND topLevel, UINT id);
}  // namespace input

// Runs fn on the window's owner thread (as a sent message) and waits at most timeoutMs; false when the
// window is gone or the time ran out (fn then runs later or never). Painting uses this: the renderer
// calls the window's paint and control-colour handlers from fn.
bool RunOnOwnerThread(HWND window, const std::function<void()>& fn, int timeoutMs);

// Marks a control as painted by the program's own WM_PAINT handler (set by subclassing controls whose
// OnPaint replaces the standard look).
void SetOwnerPainted(HWND control, bool painted);

// Snapshot hook: renders a top-level window's current state into a PNG file. Defined by the renderer
// (src/gui/render); a build without it answers false with *error saying so.
bool RenderSnapshot(HWND topLevel, const std::string& pngPath, std::string* error);

}  // namespace gui
