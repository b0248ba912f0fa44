#include "gui/render/controls.h"

#include <algorithm>

namespace gui::render {

std::string StripAccessKey(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') out += '&', ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

namespace {

// Raised (or, pressed, sunken) edge of a push button.
void ButtonEdge(Canvas& c, const PixelRect& r, bool pressed) {
  if (pressed) {
    c.Frame(r, kDarkShadow3d);
    c.Frame({r.left + 1, r.top + 1, r.right - 1, r.bottom - 1}, kShadow3d);
    return;
  }
  c.FillSolid({r.left, r.top, r.right - 1, r.top + 1}, kHighlight3d);
  c.FillSolid({r.left, r.top, r.left + 1, r.bottom - 1}, kHighlight3d);
  c.FillSolid({r.left, r.bottom - 1, r.right, r.bottom}, kDarkShadow3d);
  c.FillSolid({r.right - 1, r.top, r.right, r.bottom}, kDarkShadow3d);
  c.FillSolid({r.left + 1, r.bottom - 2, r.right - 1, r.bottom - 1}, kShadow3d);
  c.FillSolid({r.right - 2, r.top + 1, r.right - 1, r.bottom - 1}, kShadow3d);
}

void SunkenEdge(Canvas& c, const PixelRect& r) {
  c.FillSolid({r.left, r.top, r.right, r.top + 1}, kShadow3d);
  c.FillSolid({r.left, r.top, r.left + 1, r.bottom}, kShadow3d);
  c.FillSolid({r.left + 1, r.top + 1, r.right - 1, r.top + 2}, kDarkShadow3d);
  c.FillSolid({r.left + 1, r.top + 1, r.left + 2, r.bottom - 1}, kDarkShadow3d);
  c.FillSolid({r.left, r.bottom - 1, r.right, r.bottom}, kHighlight3d);
  c.FillSolid({r.right - 1, r.top, r.right, r.bottom}, kHighlight3d);
  c.FillSolid({r.left + 1, r.bottom - 2, r.right - 1, r.bottom - 1}, kLight3d);
  c.FillSolid({r.right - 2, r.top + 1, r.right - 1, r.bottom - 1}, kLight3d);
}

}  // namespace

void DrawPushButton(Canvas& c, const PixelRect& rect, const std::string& text, bool isDefault, bool pressed,
                    bool enabled) {
  if (rect.empty()) return;
  PixelRect r = rect;
  c.FillSolid(r, kButtonFace);
  if (isDefault) {
    c.Frame(r, kWindowFrame);
    r = {r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
  }
  ButtonEdge(c, r, pressed);
  TextStyle style;
  style.transparent = true;
  style.colour = enabled ? kWindowText : kGrayText;
  style.align = TextAlign::kCentre;
  style.verticalCentre = true;
  style.wrap = false;
  const int shift = pressed ? 1 : 0;
  c.Text({r.left + 2 + shift, r.top + 2 + shift, r.right - 2 + shift, r.bottom - 2 + shift}, StripAccessKey(text),
         style);
}

void DrawCheckBox(Canvas& c, const PixelRect& rect, const std::string& text, bool checked, bool enabled,
                  const TextStyle& textStyle) {
  if (rect.empty()) return;
  if (!textStyle.transparent) c.FillSolid(rect, textStyle.background);
  const int box = 13;
  const int top = rect.top + std::max(0, (rect.height() - box) / 2);
  const PixelRect b{rect.left, top, rect.left + box, top + box};
  c.FillSolid(b, enabled ? kWindow : kButtonFace);
  c.Frame(b, kDarkShadow3d);
  if (checked) {
    const Rgb mark = enabled ? kWindowText : kGrayText;
    // The tick: a short stroke down to the right, then a long one up.
    for (int i = 0; i < 7; ++i) {
      const int x = b.left + 3 + i;
      const int y = i < 3 ? b.top + 5 + i : b.top + 7 - (i - 2);
      c.FillSolid({x, y, x + 1, y + 3}, mark);
    }
  }
  TextStyle style = textStyle;
  style.transparent = true;
  style.colour = enabled ? textStyle.colour : kGrayText;
  style.verticalCentre = true;
  style.wrap = false;
  c.Text({b.right + 4, rect.top, rect.right, rect.bottom}, StripAccessKey(text), style);
}

void DrawEdit(Canvas& c, const PixelRect& rect, const std::string& text, bool bordered, bool enabled) {
  if (rect.empty()) return;
  c.FillSolid(rect, enabled ? kWindow : kButtonFace);
  PixelRect inner = rect;
  if (bordered) {
    SunkenEdge(c, rect);
    inner = {rect.left + 2, rect.top + 2, rect.right - 2, rect.bottom - 2};
  }
  TextStyle style;
  style.transparent = true;
  style.colour = enabled ? kWindowText : kGrayText;
  style.verticalCentre = true;
  style.wrap = false;
  c.Text({inner.left + 1, inner.top, inner.right - 1, inner.bottom}, text, style);
}

void DrawLabel(Canvas& c, const PixelRect& rect, const std::string& text, const TextStyle& style) {
  if (rect.empty()) return;
  if (!style.transparent) c.FillSolid(rect, style.background);
  TextStyle s = style;
  s.transparent = true;  // the background, if any, is already filled over the whole label
  c.Text(rect, StripAccessKey(text), s);
}

void DrawStandardProgress(Canvas& c, const PixelRect& client, int lower, int upper, int position) {
  c.FillSolid(client, kButtonFace);
  if (upper <= lower) return;
  const long long span = static_cast<long long>(upper) - lower;
  const long long done = std::clamp<long long>(static_cast<long long>(position) - lower, 0, span);
  const int width = static_cast<int>(client.width() * done / span);
  c.FillSolid({client.left, client.top, client.left + width, client.bottom}, kProgressFill);
}

PixelRect DrawBorder(Canvas& c, const PixelRect& rect) {
  c.Frame(rect, kWindowFrame);
  return {rect.left + 1, rect.top + 1, rect.right - 1, rect.bottom - 1};
}

}  // namespace gui::render
