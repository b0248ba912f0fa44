#include "gui/render/renderer.h"

#include <memory>

#include "gui/render/controls.h"
#include "gui/window.h"

namespace gui::render {

namespace {

PixelRect ToPixelRect(const CRect& r) { return {r.left, r.top, r.right, r.bottom}; }

bool IsCheckBox(const ControlState& c) {
  const uint32_t type = c.style & BS_TYPEMASK;
  return c.cls == ControlClass::kButton && (type == BS_AUTOCHECKBOX || type == 0x2u /* BS_CHECKBOX */);
}

// Which control-colour message a control's drawing sends its dialog (none for a progress bar).
UINT CtlColorMessage(const ControlState& c) {
  switch (c.cls) {
    case ControlClass::kStatic: return WM_CTLCOLORSTATIC;
    case ControlClass::kEdit: return WM_CTLCOLOREDIT;
    case ControlClass::kButton: return IsCheckBox(c) ? WM_CTLCOLORSTATIC : WM_CTLCOLORBTN;
    case ControlClass::kProgress: return 0;
  }
  return 0;
}

WPARAM DcParam(CDC& dc) { return reinterpret_cast<WPARAM>(&dc); }

TextAlign LabelAlign(uint32_t style) {
  switch (style & 0x3u) {
    case SS_CENTER: return TextAlign::kCentre;
    case 0x2u /* SS_RIGHT */: return TextAlign::kRight;
    default: return TextAlign::kLeft;
  }
}

// Draws one control in its own coordinates; the canvas is already clipped and moved to its rectangle.
void PaintControl(Canvas& canvas, CWnd* dialog, const ControlState& c) {
  const PixelRect whole{0, 0, c.rect.Width(), c.rect.Height()};
  PixelRect client = whole;
  const bool bordered = (c.style & WS_BORDER) != 0;
  // The border lies outside the client area the control's own painting sees (GetClientRect).
  CRect own;
  if (bordered && c.cls != ControlClass::kEdit && gui::GetClientRect(c.hwnd, &own) &&
      own.Width() <= c.rect.Width() - 2 && own.Height() <= c.rect.Height() - 2)
    client = DrawBorder(canvas, whole);
  canvas.Save(client, client.left, client.top);
  const PixelRect inner{0, 0, client.width(), client.height()};
  CanvasDC dc(canvas);
  CWnd* control = CWnd::FromHandle(c.hwnd);

  HBRUSH brush = nullptr;
  const UINT ctlColor = CtlColorMessage(c);
  if (dialog && ctlColor != 0)
    brush = reinterpret_cast<HBRUSH>(dialog->WindowProc(ctlColor, DcParam(dc), HandleToParam(c.hwnd)));

  if (c.painted && control && control->WindowProc(WM_PAINT, DcParam(dc), 0) != 0) {
    canvas.Restore();
    return;
  }

  const CRect innerRect(0, 0, inner.width(), inner.height());
  TextStyle text;
  text.colour = brush ? ToRgb(dc.GetTextColor()) : kWindowText;
  text.transparent = brush && dc.GetBkMode() == TRANSPARENT;
  text.background = brush && brush->kind() == CBrush::Kind::kSolid ? ToRgb(brush->color()) : kButtonFace;
  text.align = LabelAlign(c.style);
  if (!c.enabled) text.colour = kGrayText;

  // The control's background: the brush the dialog chose (hollow: nothing), else the default colours.
  auto background = [&](COLORREF byDefault) {
    if (brush)
      dc.FillRect(innerRect, brush);
    else
      dc.FillSolidRect(innerRect, byDefault);
  };

  switch (c.cls) {
    case ControlClass::kStatic:
      background(kColorBtnFace);
      text.transparent = true;  // the background is already filled over the whole label
      DrawLabel(canvas, inner, c.text, text);
      break;
    case ControlClass::kButton:
      if (IsCheckBox(c)) {
        background(kColorBtnFace);
        text.transparent = true;
        DrawCheckBox(canvas, inner, c.text, c.check == BST_CHECKED, c.enabled, text);
      } else {
        DrawPushButton(canvas, inner, c.text, (c.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON, false, c.enabled);
      }
      break;
    case ControlClass::kEdit:
      background(kColorWindow);
      DrawEdit(canvas, inner, c.text, bordered, c.enabled);
      break;
    case ControlClass::kProgress:
      DrawStandardProgress(canvas, inner, c.rangeLower, c.rangeUpper, c.pos);
      break;
  }
  canvas.Restore();
}

// What the owner thread paints into; shared so that a paint which comes too late finds it still there.
struct PaintJob {
  PaintJob(const WindowState& s) : state(s), canvas(s.clientRect.Width(), s.clientRect.Height()) {}
  WindowState state;
  Canvas canvas;
  bool done = false;
};

void PaintOnOwnerThread(PaintJob& job) {
  CWnd* window = CWnd::FromHandle(job.state.hwnd);
  if (!window) return;
  {
    CanvasDC dc(job.canvas);
    window->WindowProc(WM_PAINT, DcParam(dc), 0);
  }
  // Controls from the bottom of the z-order up: the first control of a template lies on top.
  for (auto it = job.state.controls.rbegin(); it != job.state.controls.rend(); ++it) {
    if (!it->visible || it->rect.IsRectEmpty()) continue;
    const PixelRect r = ToPixelRect(it->rect);
    job.canvas.Save(r, r.left, r.top);
    PaintControl(job.canvas, window, *it);
    job.canvas.Restore();
  }
  job.done = true;
}

const Bitmap* SmallIconImage(const HICON& icon) {
  if (!icon || icon->images.empty()) return nullptr;
  const Bitmap* best = &icon->images.front();
  for (const Bitmap& b : icon->images)
    if (b.width >= 16 && b.width < best->width) best = &b;
  return best;
}

}  // namespace

Rgb ToRgb(COLORREF c) {
  return Rgb{static_cast<std::uint8_t>(GetRValue(c)), static_cast<std::uint8_t>(GetGValue(c)),
             static_cast<std::uint8_t>(GetBValue(c))};
}

void CanvasDC::FillSolidRect(const CRect& rect, COLORREF color) { canvas_.FillSolid(ToPixelRect(rect), ToRgb(color)); }

void CanvasDC::FillPatternRect(const CRect& rect, const Bitmap& pattern) {
  canvas_.FillPattern(ToPixelRect(rect), pattern, 0, 0);
}

void CanvasDC::StretchBlt(const CRect& dest, const Bitmap& bitmap, const CRect& src) {
  canvas_.StretchCopy(bitmap, ToPixelRect(src), ToPixelRect(dest));
}

bool PaintClient(const WindowState& state, Canvas& canvas, int x, int y, std::string* error) {
  const int w = state.clientRect.Width(), h = state.clientRect.Height();
  canvas.Save({x, y, x + w, y + h}, x, y);
  canvas.FillSolid({0, 0, w, h}, kButtonFace);  // the framework's default erase
  canvas.Restore();
  if (w <= 0 || h <= 0) return true;

  auto job = std::make_shared<PaintJob>(state);
  job->canvas.FillSolid({0, 0, w, h}, kButtonFace);
  const bool ran = RunOnOwnerThread(state.hwnd, [job] { PaintOnOwnerThread(*job); }, kPaintTimeoutMs);
  if (!ran || !job->done) {
    if (error) *error = ran ? "the window is gone" : "the window's thread did not paint in time";
    return false;
  }
  const Bitmap picture = job->canvas.Snapshot();
  canvas.StretchCopy(picture, {0, 0, w, h}, {x, y, x + w, y + h});
  return true;
}

void PaintFrame(const WindowState& state, Canvas& canvas) {
  const int w = state.windowRect.Width(), h = state.windowRect.Height();
  if (w <= 0 || h <= 0) return;
  const PixelRect all{0, 0, w, h};
  canvas.FillSolid(all, kButtonFace);
  // Raised outer edge.
  canvas.FillSolid({0, 0, w, 1}, kLight3d);
  canvas.FillSolid({0, 0, 1, h}, kLight3d);
  canvas.FillSolid({1, 1, w - 1, 2}, kHighlight3d);
  canvas.FillSolid({1, 1, 2, h - 1}, kHighlight3d);
  canvas.FillSolid({0, h - 1, w, h}, kDarkShadow3d);
  canvas.FillSolid({w - 1, 0, w, h}, kDarkShadow3d);
  canvas.FillSolid({1, h - 2, w - 1, h - 1}, kShadow3d);
  canvas.FillSolid({w - 2, 1, w - 1, h - 1}, kShadow3d);
  if ((state.style & WS_CAPTION) != WS_CAPTION) return;

  // Caption bar: a gradient from dark to light blue, as the classic look of an active window.
  const int left = kFrameWidth, top = kFrameWidth, right = w - kFrameWidth;
  const int bottom = std::min(h, top + kCaptionHeight - 1);
  const Rgb from{10, 36, 106}, to{166, 202, 240};
  for (int x = left; x < right; ++x) {
    const int span = std::max(1, right - left - 1);
    auto mix = [&](std::uint8_t a, std::uint8_t b) {
      return static_cast<std::uint8_t>(a + (static_cast<int>(b) - a) * (x - left) / span);
    };
    canvas.FillSolid({x, top, x + 1, bottom}, Rgb{mix(from.r, to.r), mix(from.g, to.g), mix(from.b, to.b)});
  }
  int textLeft = left + 3;
  if (const Bitmap* icon = SmallIconImage(state.smallIcon ? state.smallIcon : state.bigIcon)) {
    const int iy = top + (bottom - top - 16) / 2;
    canvas.DrawImage(*icon, {left + 2, iy, left + 18, iy + 16});
    textLeft = left + 21;
  }
  // Caption buttons at the right: close, and minimise when the style has it.
  const int bh = bottom - top - 4, bw = bh + 2;
  int bx = right - 2 - bw;
  const int by = top + 2;
  auto captionButton = [&](int x) {
    const PixelRect r{x, by, x + bw, by + bh};
    canvas.FillSolid(r, kButtonFace);
    canvas.FillSolid({r.left, r.top, r.right - 1, r.top + 1}, kHighlight3d);
    canvas.FillSolid({r.left, r.top, r.left + 1, r.bottom - 1}, kHighlight3d);
    canvas.FillSolid({r.left, r.bottom - 1, r.right, r.bottom}, kDarkShadow3d);
    canvas.FillSolid({r.right - 1, r.top, r.right, r.bottom}, kDarkShadow3d);
    return r;
  };
  if (state.style & WS_SYSMENU) {
    const PixelRect r = captionButton(bx);
    const int cx = r.left + bw / 2, cy = r.top + bh / 2, k = bh / 4;
    for (int d = 0; d < 2; ++d) {
      canvas.Line(cx - k + d - 1, cy - k, cx + k + d - 1, cy + k, kWindowText);
      canvas.Line(cx - k + d - 1, cy + k, cx + k + d - 1, cy - k, kWindowText);
    }
    bx -= bw + 2;
  }
  if (state.style & WS_MINIMIZEBOX) {
    const PixelRect r = captionButton(bx);
    canvas.FillSolid({r.left + 4, r.bottom - 5, r.left + bw / 2 + 2, r.bottom - 3}, kWindowText);
    bx -= bw + 2;
  }
  TextStyle title;
  title.transparent = true;
  title.colour = kWindow;
  title.verticalCentre = true;
  title.wrap = false;
  canvas.Text({textLeft, top, bx - 2, bottom}, state.title, title);
}

bool RenderClient(HWND topLevel, Bitmap* out, std::string* error) {
  WindowState state;
  if (!GetWindowState(topLevel, &state)) {
    if (error) *error = "no such window";
    return false;
  }
  Canvas canvas(state.clientRect.Width(), state.clientRect.Height());
  const bool ok = PaintClient(state, canvas, 0, 0, error);
  if (out) *out = canvas.Snapshot();
  return ok;
}

namespace {

bool RenderWholeWindow(HWND topLevel, std::unique_ptr<Canvas>* out, std::string* error) {
  WindowState state;
  if (!GetWindowState(topLevel, &state)) {
    if (error) *error = "no such window";
    return false;
  }
  auto canvas = std::make_unique<Canvas>(state.windowRect.Width(), state.windowRect.Height());
  PaintFrame(state, *canvas);
  const bool ok = PaintClient(state, *canvas, state.clientRect.left - state.windowRect.left,
                              state.clientRect.top - state.windowRect.top, error);
  *out = std::move(canvas);
  return ok;
}

}  // namespace

bool RenderWindow(HWND topLevel, Bitmap* out, std::string* error) {
  std::unique_ptr<Canvas> canvas;
  const bool ok = RenderWholeWindow(topLevel, &canvas, error);
  if (out && canvas) *out = canvas->Snapshot();
  return ok;
}

}  // namespace gui::render

namespace gui {

bool RenderSnapshot(HWND topLevel, const std::string& pngPath, std::string* error) {
  std::unique_ptr<render::Canvas> canvas;
  if (!render::RenderWholeWindow(topLevel, &canvas, error)) return false;
  if (!canvas->WritePng(pngPath)) {
    if (error) *error = "cannot write " + pngPath;
    return false;
  }
  return true;
}

}  // namespace gui
