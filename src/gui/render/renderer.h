// Draws a top-level window as it looks now: the framework's default erase, the window's own paint
// handler (a dialog's stretched picture), then each visible control with the colours the dialog's
// control-colour handler chose (a hollow brush leaves the picture showing around the text), and the
// program's own control painting (CMyProgress) in place of a control's standard look.
//
// The paint and control-colour handlers run on the window's owner thread; any thread may call these.
#pragma once

#include <string>

#include "gui/backend.h"
#include "gui/image.h"
#include "gui/render/canvas.h"

namespace gui::render {

// How long a caller waits for the window's owner thread to paint.
constexpr int kPaintTimeoutMs = 5000;

// Draws the client area of `state`'s window onto `canvas` at (x, y). False (with *error set) when the
// window is gone or its thread did not paint in time; the canvas then shows the default erase only.
bool PaintClient(const WindowState& state, Canvas& canvas, int x, int y, std::string* error);

// The non-client frame of a popup window with caption: border, caption bar with the small icon and the
// title, the close box and, with the minimise-box style, the minimise box. (0, 0) is the window's
// top-left corner.
void PaintFrame(const WindowState& state, Canvas& canvas);

// The client area alone, as a backend shows it inside a real window.
bool RenderClient(HWND topLevel, Bitmap* out, std::string* error);
// The whole window, frame included.
bool RenderWindow(HWND topLevel, Bitmap* out, std::string* error);

// A device context over a canvas, for paint handlers.
class CanvasDC final : public CDC {
 public:
  explicit CanvasDC(Canvas& canvas) : canvas_(canvas) {}
  void FillSolidRect(const CRect& rect, COLORREF color) override;
  void FillPatternRect(const CRect& rect, const Bitmap& pattern) override;
  void StretchBlt(const CRect& dest, const Bitmap& bitmap, const CRect& src) override;

 private:
  Canvas& canvas_;
};

Rgb ToRgb(COLORREF c);

}  // namespace gui::render
