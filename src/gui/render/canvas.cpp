#include "gui/render/canvas.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace gui::render {

namespace {

constexpr const char* kFontFamily = "WenQuanYi Zen Hei";
// An 8-point dialog font is 13 pixels from line to line at 96 dots per inch; its glyphs are 12.
constexpr int kFontPixels = 12;

std::uint32_t Pack(Rgb c) { return 0xff000000u | (std::uint32_t{c.r} << 16) | (std::uint32_t{c.g} << 8) | c.b; }
Rgb Unpack(std::uint32_t v) {
  return Rgb{static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// A copy (SRCCOPY) takes a picture's colour as it is stored and ignores its alpha.
std::uint32_t Opaque(std::uint32_t v) { return 0xff000000u | (v & 0x00ffffffu); }

PixelRect Intersect(const PixelRect& a, const PixelRect& b) {
  return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
}

std::uint32_t Read32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
std::uint16_t Read16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void SetSource(cairo_t* cr, Rgb c) { cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0); }

}  // namespace

const char* DialogFontFamily() { return kFontFamily; }
int DialogFontPixels() { return kFontPixels; }

bool DecodePackedDib(const unsigned char* data, std::size_t size, Bitmap* out) {
  if (!out) return false;
  if (!data || size < 40 || Read32(data) < 40) return false;
  const std::uint32_t headerSize = Read32(data);
  const auto width = static_cast<std::int32_t>(Read32(data + 4));
  const auto rawHeight = static_cast<std::int32_t>(Read32(data + 8));
  const std::uint16_t bits = Read16(data + 14);
  const std::uint32_t compression = Read32(data + 16);
  std::uint32_t colours = Read32(data + 32);
  if (width <= 0 || width > 65536 || rawHeight == 0 || rawHeight < -65536 || rawHeight > 65536) return false;
  if (compression != 0 || (bits != 8 && bits != 24 && bits != 32)) return false;
  const bool topDown = rawHeight < 0;
  const int height = topDown ? -rawHeight : rawHeight;
  if (bits == 8 && colours == 0) colours = 256;
  if (bits != 8) colours = 0;
  if (colours > 256) return false;
  const std::size_t paletteAt = headerSize;
  const std::size_t pixelsAt = paletteAt + 4u * colours;
  const std::size_t stride = ((static_cast<std::size_t>(width) * bits + 31) / 32) * 4;
  if (pixelsAt > size || (size - pixelsAt) / stride < static_cast<std::size_t>(height)) return false;
  // A 32-bit bitmap whose fourth bytes are all zero has no alpha: it is opaque.
  bool hasAlpha = false;
  if (bits == 32)
    for (int y = 0; y < height && !hasAlpha; ++y)
      for (int x = 0; x < width && !hasAlpha; ++x) hasAlpha = data[pixelsAt + stride * y + 4 * x + 3] != 0;
  Bitmap p;
  p.width = width;
  p.height = height;
  p.pixels.resize(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const unsigned char* row = data + pixelsAt + stride * static_cast<std::size_t>(topDown ? y : height - 1 - y);
    for (int x = 0; x < width; ++x) {
      Rgb c;
      if (bits == 8) {
        unsigned index = row[x];
        if (index >= colours) return false;
        const unsigned char* q = data + paletteAt + 4u * index;
        c = Rgb{q[2], q[1], q[0]};
      } else if (bits == 24) {
        const unsigned char* q = row + 3 * x;
        c = Rgb{q[2], q[1], q[0]};
      } else {
        const unsigned char* q = row + 4 * x;
        const unsigned a = hasAlpha ? q[3] : 255;
        auto pre = [a](unsigned v) { return static_cast<std::uint8_t>((v * a + 127) / 255); };
        p.pixels[static_cast<std::size_t>(y) * width + x] =
            std::uint32_t{a} << 24 | std::uint32_t{pre(q[2])} << 16 | std::uint32_t{pre(q[1])} << 8 | pre(q[0]);
        continue;
      }
      p.pixels[static_cast<std::size_t>(y) * width + x] = Pack(c);
    }
  }
  *out = std::move(p);
  return true;
}

struct Canvas::Impl {
  struct State {
    PixelRect clip;  // in device pixels
    int originX = 0, originY = 0;
  };
  cairo_surface_t* surface = nullptr;
  cairo_t* cr = nullptr;
  std::vector<State> states;

  const State& top() const { return states.back(); }
  // A rectangle in current coordinates, in device pixels and clipped.
  PixelRect ToDevice(const PixelRect& r) const {
    PixelRect d{r.left + top().originX, r.top + top().originY, r.right + top().originX, r.bottom + top().originY};
    return Intersect(d, top().clip);
  }
  std::uint32_t* Row(int y) {
    return reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(surface) +
                                            static_cast<std::ptrdiff_t>(y) * cairo_image_surface_get_stride(surface));
  }
  const std::uint32_t* Row(int y) const { return const_cast<Impl*>(this)->Row(y); }
  // Prepares cairo to draw in current coordinates inside the current clip.
  void BeginCairo() {
    cairo_save(cr);
    const PixelRect& c = top().clip;
    cairo_rectangle(cr, c.left, c.top, c.width(), c.height());
    cairo_clip(cr);
    cairo_translate(cr, top().originX, top().originY);
  }
  void EndCairo() {
    cairo_restore(cr);
    cairo_surface_flush(surface);
  }
};

Canvas::Canvas(int width, int height) : impl_(std::make_unique<Impl>()) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  impl_->surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  impl_->cr = cairo_create(impl_->surface);
  impl_->states.push_back({PixelRect{0, 0, width, height}, 0, 0});
  FillSolid(PixelRect{0, 0, width, height}, Rgb{255, 255, 255});
}

Canvas::~Canvas() {
  cairo_destroy(impl_->cr);
  cairo_surface_destroy(impl_->surface);
}

int Canvas::width() const { return cairo_image_surface_get_width(impl_->surface); }
int Canvas::height() const { return cairo_image_surface_get_height(impl_->surface); }

void Canvas::Save(const PixelRect& clip, int originX, int originY) {
  Impl::State next;
  next.clip = impl_->ToDevice(clip);
  next.originX = impl_->top().originX + originX;
  next.originY = impl_->top().originY + originY;
  impl_->states.push_back(next);
}

void Canvas::Restore() {
  if (impl_->states.size() > 1) impl_->states.pop_back();
}

void Canvas::FillSolid(const PixelRect& rect, Rgb colour) {
  const PixelRect d = impl_->ToDevice(rect);
  if (d.empty()) return;
  cairo_surface_flush(impl_->surface);
  const std::uint32_t v = Pack(colour);
  for (int y = d.top; y < d.bottom; ++y) std::fill(impl_->Row(y) + d.left, impl_->Row(y) + d.right, v);
  cairo_surface_mark_dirty(impl_->surface);
}

void Canvas::FillPattern(const PixelRect& rect, const Bitmap& pattern, int originX, int originY) {
  if (pattern.width <= 0 || pattern.height <= 0 || pattern.pixels.size() < static_cast<std::size_t>(pattern.width) * pattern.height) return;
  const PixelRect d = impl_->ToDevice(rect);
  if (d.empty()) return;
  cairo_surface_flush(impl_->surface);
  const int ox = originX + impl_->top().originX, oy = originY + impl_->top().originY;
  auto wrap = [](int v, int n) { return ((v % n) + n) % n; };
  for (int y = d.top; y < d.bottom; ++y) {
    std::uint32_t* row = impl_->Row(y);
    const int py = wrap(y - oy, pattern.height);
    for (int x = d.left; x < d.right; ++x) row[x] = Opaque(pattern.At(wrap(x - ox, pattern.width), py));
  }
  cairo_surface_mark_dirty(impl_->surface);
}

void Canvas::StretchCopy(const Bitmap& picture, const PixelRect& source, const PixelRect& dest) {
  if (picture.width <= 0 || picture.height <= 0 ||
      picture.pixels.size() < static_cast<std::size_t>(picture.width) * picture.height || source.empty() ||
      dest.empty())
    return;
  const PixelRect d = impl_->ToDevice(dest);
  if (d.empty()) return;
  cairo_surface_flush(impl_->surface);
  const int dx0 = dest.left + impl_->top().originX, dy0 = dest.top + impl_->top().originY;
  for (int y = d.top; y < d.bottom; ++y) {
    const long long sy = source.top + static_cast<long long>(y - dy0) * source.height() / dest.height();
    if (sy < 0 || sy >= picture.height) continue;
    std::uint32_t* row = impl_->Row(y);
    for (int x = d.left; x < d.right; ++x) {
      const long long sx = source.left + static_cast<long long>(x - dx0) * source.width() / dest.width();
      if (sx < 0 || sx >= picture.width) continue;
      row[x] = Opaque(picture.At(static_cast<int>(sx), static_cast<int>(sy)));
    }
  }
  cairo_surface_mark_dirty(impl_->surface);
}

void Canvas::DrawImage(const Bitmap& picture, const PixelRect& dest) {
  if (picture.width <= 0 || picture.height <= 0 ||
      picture.pixels.size() < static_cast<std::size_t>(picture.width) * picture.height || dest.empty())
    return;
  const PixelRect d = impl_->ToDevice(dest);
  if (d.empty()) return;
  cairo_surface_flush(impl_->surface);
  const int dx0 = dest.left + impl_->top().originX, dy0 = dest.top + impl_->top().originY;
  for (int y = d.top; y < d.bottom; ++y) {
    const int sy = static_cast<int>(static_cast<long long>(y - dy0) * picture.height / dest.height());
    std::uint32_t* row = impl_->Row(y);
    for (int x = d.left; x < d.right; ++x) {
      const int sx = static_cast<int>(static_cast<long long>(x - dx0) * picture.width / dest.width());
      const std::uint32_t src = picture.At(sx, sy);
      const unsigned a = src >> 24;
      const std::uint32_t dst = row[x];
      auto channel = [&](int shift) {
        unsigned s = (src >> shift) & 0xff, b = (dst >> shift) & 0xff;
        return std::min(255u, s + (b * (255 - a) + 127) / 255) << shift;
      };
      row[x] = 0xff000000u | channel(16) | channel(8) | channel(0);
    }
  }
  cairo_surface_mark_dirty(impl_->surface);
}

void Canvas::Frame(const PixelRect& r, Rgb colour) {
  if (r.empty()) return;
  FillSolid({r.left, r.top, r.right, r.top + 1}, colour);
  FillSolid({r.left, r.bottom - 1, r.right, r.bottom}, colour);
  FillSolid({r.left, r.top, r.left + 1, r.bottom}, colour);
  FillSolid({r.right - 1, r.top, r.right, r.bottom}, colour);
}

void Canvas::Line(int x0, int y0, int x1, int y1, Rgb colour) {
  impl_->BeginCairo();
  cairo_set_antialias(impl_->cr, CAIRO_ANTIALIAS_NONE);
  SetSource(impl_->cr, colour);
  cairo_set_line_width(impl_->cr, 1);
  cairo_move_to(impl_->cr, x0 + 0.5, y0 + 0.5);
  cairo_line_to(impl_->cr, x1 + 0.5, y1 + 0.5);
  cairo_stroke(impl_->cr);
  impl_->EndCairo();
}

namespace {

PangoLayout* MakeLayout(cairo_t* cr, const std::string& utf8) {
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, kFontFamily);
  pango_font_description_set_absolute_size(font, kFontPixels * PANGO_SCALE);
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  pango_layout_set_text(layout, utf8.c_str(), -1);
  return layout;
}

// How far a single line must move up so that its glyphs end inside a box of `boxHeight`: the font's
// line is taller than some labels, and its descent would cut the lowest ink (an underscore) away. The
// line never moves up further than the blank above its highest glyph.
int RaiseToFit(PangoLayout* layout, int boxHeight) {
  PangoRectangle ink, logical;
  pango_layout_get_pixel_extents(layout, &ink, &logical);
  const int overflow = ink.y + ink.height - boxHeight;
  return std::max(0, std::min(overflow, ink.y));
}

}  // namespace

void Canvas::Text(const PixelRect& rect, const std::string& utf8, const TextStyle& style) {
  if (utf8.empty() || rect.empty()) return;
  PixelRect clip = rect;
  Save(clip, 0, 0);
  impl_->BeginCairo();
  cairo_t* cr = impl_->cr;
  PangoLayout* layout = MakeLayout(cr, utf8);
  if (style.wrap) {
    pango_layout_set_width(layout, rect.width() * PANGO_SCALE);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  }
  pango_layout_set_alignment(layout, style.align == TextAlign::kCentre  ? PANGO_ALIGN_CENTER
                                     : style.align == TextAlign::kRight ? PANGO_ALIGN_RIGHT
                                                                        : PANGO_ALIGN_LEFT);
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout, &w, &h);
  double x = rect.left, y = rect.top;
  if (!style.wrap) {
    if (style.align == TextAlign::kCentre) x = rect.left + (rect.width() - w) / 2;
    if (style.align == TextAlign::kRight) x = rect.right - w;
  }
  if (style.verticalCentre) {
    y = rect.top + (rect.height() - h) / 2;
  } else if (h > rect.height() && pango_layout_get_line_count(layout) == 1) {
    y -= RaiseToFit(layout, rect.height());
  }
  if (!style.transparent) {
    int bw = style.wrap ? rect.width() : w;
    double bx = style.wrap ? rect.left : x;
    SetSource(cr, style.background);
    cairo_rectangle(cr, bx, y, bw, h);
    cairo_fill(cr);
  }
  SetSource(cr, style.colour);
  cairo_move_to(cr, x, y);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
  impl_->EndCairo();
  Restore();
}

void Canvas::MeasureText(const std::string& utf8, int& width, int& height) const {
  PangoLayout* layout = MakeLayout(impl_->cr, utf8);
  pango_layout_get_pixel_size(layout, &width, &height);
  g_object_unref(layout);
}

Rgb Canvas::PixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= width() || y >= height()) return {};
  cairo_surface_flush(impl_->surface);
  return Unpack(impl_->Row(y)[x]);
}

Bitmap Canvas::Snapshot() const {
  cairo_surface_flush(impl_->surface);
  Bitmap p;
  p.width = width();
  p.height = height();
  p.pixels.reserve(static_cast<std::size_t>(p.width) * p.height);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) p.pixels.push_back(Opaque(impl_->Row(y)[x]));
  return p;
}

std::vector<unsigned char> Canvas::EncodePng() const {
  std::vector<unsigned char> out;
  cairo_surface_flush(impl_->surface);
  cairo_surface_write_to_png_stream(
      impl_->surface,
      [](void* closure, const unsigned char* data, unsigned int length) {
        auto* v = static_cast<std::vector<unsigned char>*>(closure);
        v->insert(v->end(), data, data + length);
        return CAIRO_STATUS_SUCCESS;
      },
      &out);
  return out;
}

bool Canvas::WritePng(const std::string& path) const {
  const std::vector<unsigned char> png = EncodePng();
  if (png.empty()) return false;
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    if (!f.flush()) {
      f.close();
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace gui::render
