// Pictures: decoded bitmaps, the bitmap object a dialog keeps (CBitmap), the image class that decodes a
// PNG picture from memory (CImage), and icons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "gui/types.h"

namespace gui {

// A decoded picture: width x height pixels, row after row, each 0xAARRGGBB with the colour
// premultiplied by alpha (cairo's ARGB32 layout; an opaque pixel is 0xFFRRGGBB).
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// A bitmap handle: shared and immutable once made.
using HBITMAP = std::shared_ptr<const Bitmap>;

// What GetObject tells of a bitmap.
struct BITMAP {
  int bmWidth = 0;
  int bmHeight = 0;
};

// Decodes a PNG file held in memory; false (out untouched) when it is not a PNG picture.
bool DecodePng(const uint8_t* data, size_t size, Bitmap* out);

// The bitmap object of a dialog (m_bmpBackground): holds at most one bitmap.
class CBitmap {
 public:
  CBitmap() = default;
  CBitmap(const CBitmap&) = delete;
  CBitmap& operator=(const CBitmap&) = delete;

  // Takes the bitmap; fails when this object already holds one (as CGdiObject::Attach).
  bool Attach(HBITMAP bitmap);
  HBITMAP Detach();
  // Releases the bitmap; false when there was none.
  bool DeleteObject();
  HBITMAP GetSafeHandle() const { return bitmap_; }
  // Fills *info with the bitmap's size; returns 0 when there is no bitmap.
  int GetBitmap(BITMAP* info) const;

 private:
  HBITMAP bitmap_;
};

// The image class: a picture decoded from a stream of bytes.
class CImage {
 public:
  static constexpr long S_OK = 0;
  static constexpr long E_FAIL = static_cast<long>(0x80004005u);

  CImage() = default;
  CImage(const CImage&) = delete;
  CImage& operator=(const CImage&) = delete;

  // Decodes a PNG picture from the bytes of a stream; S_OK, or E_FAIL leaving the image empty.
  long Load(const uint8_t* data, size_t size);
  bool IsNull() const { return bitmap_ == nullptr; }
  void Destroy() { bitmap_.reset(); }
  // Hands the decoded bitmap over; the image is empty afterwards.
  HBITMAP Detach();
  int GetWidth() const { return bitmap_ ? bitmap_->width : 0; }
  int GetHeight() const { return bitmap_ ? bitmap_->height : 0; }
  HBITMAP GetHandle() const { return bitmap_; }

 private:
  HBITMAP bitmap_;
};

// An icon: the images of one icon group resource, largest first.
struct Icon {
  int resourceId = 0;
  std::vector<Bitmap> images;
};
using HICON = std::shared_ptr<const Icon>;

}  // namespace gui
