// Device contexts and brushes: what a paint or control-colour handler draws with. The renderer supplies
// the drawing surface; handlers see only these operations.
#pragma once

#include "gui/image.h"
#include "gui/types.h"

namespace gui {

// A brush: hollow (draws nothing), solid colour, or a pattern bitmap repeating from the origin of the
// device context it fills.
class CBrush {
 public:
  enum class Kind { kHollow, kSolid, kPattern };

  CBrush() = default;
  CBrush(const CBrush&) = delete;
  CBrush& operator=(const CBrush&) = delete;

  bool CreateSolidBrush(COLORREF color);
  bool CreatePatternBrush(const CBitmap* bitmap);
  bool DeleteObject();

  Kind kind() const { return kind_; }
  COLORREF color() const { return color_; }
  const HBITMAP& pattern() const { return pattern_; }

 private:
  friend const CBrush* HollowBrush();
  Kind kind_ = Kind::kHollow;
  COLORREF color_ = 0;
  HBITMAP pattern_;
};

// The brush a control-colour handler returns; nullptr stands for "the default colours".
using HBRUSH = const CBrush*;

// GetStockObject for the brushes the dialogs use.
constexpr int HOLLOW_BRUSH = 5;
constexpr int NULL_BRUSH = HOLLOW_BRUSH;
HBRUSH GetStockObject(int object);

// A device context over one window's client area (pixels, origin at its top-left corner). Drawing is
// clipped to that area.
class CDC {
 public:
  virtual ~CDC() = default;

  int SetBkMode(int mode) {
    int old = bkMode_;
    bkMode_ = mode;
    return old;
  }
  int GetBkMode() const { return bkMode_; }
  COLORREF SetTextColor(COLORREF color) {
    COLORREF old = textColor_;
    textColor_ = color;
    return old;
  }
  COLORREF GetTextColor() const { return textColor_; }

  // Fills with a brush: solid, pattern (aligned to this context's origin, repeating), hollow: nothing.
  void FillRect(const CRect& rect, const CBrush* brush);
  virtual void FillSolidRect(const CRect& rect, COLORREF color) = 0;
  virtual void FillPatternRect(const CRect& rect, const Bitmap& pattern) = 0;
  // StretchBlt with SRCCOPY and the default stretch mode: src (in bitmap pixels) onto dest.
  virtual void StretchBlt(const CRect& dest, const Bitmap& bitmap, const CRect& src) = 0;

 private:
  int bkMode_ = OPAQUE;
  COLORREF textColor_ = kColorWindowText;
};

}  // namespace gui
