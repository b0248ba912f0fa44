#include "gui/image.h"

#include <cairo.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gui/dc.h"

namespace gui {

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  int64_t product = static_cast<int64_t>(a) * b;
  int64_t half = std::llabs(static_cast<long long>(c)) / 2;
  bool negative = (product < 0) != (c < 0);
  int64_t magnitude = (std::llabs(static_cast<long long>(product)) + half) / std::llabs(static_cast<long long>(c));
  return static_cast<int>(negative ? -magnitude : magnitude);
}

namespace {

struct ReadState {
  const uint8_t* data;
  size_t size;
  size_t offset;
};

cairo_status_t ReadChunk(void* closure, unsigned char* out, unsigned int length) {
  auto* state = static_cast<ReadState*>(closure);
  if (state->size - state->offset < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(out, state->data + state->offset, length);
  state->offset += length;
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

bool DecodePng(const uint8_t* data, size_t size, Bitmap* out) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (data == nullptr || out == nullptr || size < 8 || std::memcmp(data, kSignature, 8) != 0) return false;
  ReadState state{data, size, 0};
  cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(ReadChunk, &state);
  bool ok = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
  if (ok) {
    // Whatever format cairo chose, draw it onto an ARGB32 surface of our layout.
    int w = cairo_image_surface_get_width(surface);
    int h = cairo_image_surface_get_height(surface);
    cairo_surface_t* argb = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(argb);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(argb);
    ok = cairo_surface_status(argb) == CAIRO_STATUS_SUCCESS && w > 0 && h > 0;
    if (ok) {
      Bitmap bitmap;
      bitmap.width = w;
      bitmap.height = h;
      bitmap.pixels.resize(static_cast<size_t>(w) * h);
      const unsigned char* rows = cairo_image_surface_get_data(argb);
      int stride = cairo_image_surface_get_stride(argb);
      for (int y = 0; y < h; ++y) {
        std::memcpy(&bitmap.pixels[static_cast<size_t>(y) * w], rows + static_cast<size_t>(y) * stride,
                    static_cast<size_t>(w) * 4);
      }
      *out = std::move(bitmap);
    }
    cairo_surface_destroy(argb);
  }
  cairo_surface_destroy(surface);
  return ok;
}

bool CBitmap::Attach(HBITMAP bitmap) {
  if (bitmap_ || !bitmap) return false;
  bitmap_ = std::move(bitmap);
  return true;
}

HBITMAP CBitmap::Detach() {
  HBITMAP b = std::move(bitmap_);
  bitmap_.reset();
  return b;
}

bool CBitmap::DeleteObject() {
  if (!bitmap_) return false;
  bitmap_.reset();
  return true;
}

int CBitmap::GetBitmap(BITMAP* info) const {
  if (!bitmap_ || info == nullptr) return 0;
  info->bmWidth = bitmap_->width;
  info->bmHeight = bitmap_->height;
  return static_cast<int>(sizeof(BITMAP));
}

long CImage::Load(const uint8_t* data, size_t size) {
  bitmap_.reset();
  auto bitmap = std::make_shared<Bitmap>();
  if (!DecodePng(data, size, bitmap.get())) return E_FAIL;
  bitmap_ = std::move(bitmap);
  return S_OK;
}

HBITMAP CImage::Detach() {
  HBITMAP b = std::move(bitmap_);
  bitmap_.reset();
  return b;
}

// --- Brushes and device contexts -------------------------------------------------------------------------

bool CBrush::CreateSolidBrush(COLORREF color) {
  kind_ = Kind::kSolid;
  color_ = color;
  pattern_.reset();
  return true;
}

bool CBrush::CreatePatternBrush(const CBitmap* bitmap) {
  if (bitmap == nullptr || !bitmap->GetSafeHandle()) return false;
  kind_ = Kind::kPattern;
  pattern_ = bitmap->GetSafeHandle();
  return true;
}

bool CBrush::DeleteObject() {
  kind_ = Kind::kHollow;
  pattern_.reset();
  return true;
}

const CBrush* HollowBrush() {
  static const CBrush* brush = new CBrush;  // a default brush is hollow
  return brush;
}

HBRUSH GetStockObject(int object) { return object == HOLLOW_BRUSH ? HollowBrush() : nullptr; }

void CDC::FillRect(const CRect& rect, const CBrush* brush) {
  if (brush == nullptr) return;
  switch (brush->kind()) {
    case CBrush::Kind::kSolid:
      FillSolidRect(rect, brush->color());
      break;
    case CBrush::Kind::kPattern:
      if (brush->pattern()) FillPatternRect(rect, *brush->pattern());
      break;
    case CBrush::Kind::kHollow:
      break;
  }
}

}  // namespace gui
