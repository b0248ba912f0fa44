// The GTK backend: every shown top-level window of the program becomes a real GTK window (on X11 or
// Wayland, Xvfb included) whose client area the renderer draws. GTK runs on a thread of its own; clicks,
// keys, moves and closes go back to the window's owner thread as the input calls queue them.
//
// gui::CreateGtkBackend (gui/backend.h) makes the backend; the calls below serve tests and tools.
#pragma once

#include <string>

#include "gui/image.h"
#include "gui/types.h"

namespace gui::gtk {

// Captures what the display shows of the window's client area, as a screenshot would. False (with
// *error set) when no GTK backend runs, the window is not shown there, or the display does not answer.
bool CaptureClient(HWND topLevel, Bitmap* out, std::string* error);

// Waits at most timeoutMs until the GTK window of `topLevel` is shown and has drawn the window's
// current state (every change notified so far); false when the time ran out.
bool WaitUntilDrawn(HWND topLevel, int timeoutMs);

// What a user does on the display, delivered to the window as GTK would deliver it (tests).
enum class UserEvent {
  kClick,   // left button released at (x, y) of the client area
  kEscape,  // the Escape key
  kEnter,   // the Enter key
  kKey,     // the key of the character x (a Unicode code point; 8 is Backspace) into the focused field
  kClose,   // the close box of the window manager
  kMove,    // the window dragged so that its client area's top-left corner is at (x, y) on the screen
};
bool Simulate(HWND topLevel, UserEvent event, int x = 0, int y = 0);

}  // namespace gui::gtk
