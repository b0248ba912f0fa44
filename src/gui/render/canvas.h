// The renderer's drawing surface: a picture in memory onto which dialogs, their controls and their
// pictures are drawn with the meaning of the classic GDI operations (solid and pattern fills, stretched
// copies, text with a transparent or opaque background), and which can be written as a PNG file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gui/image.h"

namespace gui::render {

using gui::Bitmap;

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(Rgb x, Rgb y) { return x.r == y.r && x.g == y.g && x.b == y.b; }
  friend bool operator!=(Rgb x, Rgb y) { return !(x == y); }
};

// Left and top inside, right and bottom outside, as a Windows RECT.
struct PixelRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
  bool empty() const { return right <= left || bottom <= top; }
};

// Decodes a packed device-independent bitmap (BITMAPINFOHEADER, palette, rows) of 8, 24 or 32 bits per
// pixel (the fourth byte of a 32-bit pixel is its alpha unless all are zero), bottom-up or top-down. False (and `out` untouched) for anything else or cut-short data.
bool DecodePackedDib(const unsigned char* data, std::size_t size, Bitmap* out);

// Horizontal placement of text inside its rectangle.
enum class TextAlign { kLeft, kCentre, kRight };

struct TextStyle {
  Rgb colour{0, 0, 0};
  bool transparent = false;  // background mode: transparent leaves what lies beneath the glyphs
  Rgb background{240, 240, 240};
  TextAlign align = TextAlign::kLeft;
  bool verticalCentre = false;
  bool wrap = true;  // break lines at the rectangle's width, as a static label does
};

class Canvas {
 public:
  Canvas(int width, int height);
  ~Canvas();
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  int width() const;
  int height() const;

  // Moves the origin and limits drawing to `rect` (given in the current coordinates) until the
  // matching Restore(). Child controls are drawn in their own client coordinates this way.
  void Save(const PixelRect& clip, int originX, int originY);
  void Restore();

  void FillSolid(const PixelRect& rect, Rgb colour);
  // Fills with a pattern that repeats every pattern.width pixels across and pattern.height down,
  // aligned to (originX, originY) of the current coordinates.
  void FillPattern(const PixelRect& rect, const Bitmap& pattern, int originX, int originY);
  // Copies the source rectangle of a picture onto the destination rectangle, stretching it; each
  // destination pixel takes the colour of one source pixel (no blending).
  void StretchCopy(const Bitmap& picture, const PixelRect& source, const PixelRect& dest);
  // Draws a picture with its alpha over what lies beneath, scaled to `dest` (nearest pixel).
  void DrawImage(const Bitmap& picture, const PixelRect& dest);
  // A one-pixel frame just inside `rect`.
  void Frame(const PixelRect& rect, Rgb colour);
  void Line(int x0, int y0, int x1, int y1, Rgb colour);
  void Text(const PixelRect& rect, const std::string& utf8, const TextStyle& style);
  // The size the text takes on one line.
  void MeasureText(const std::string& utf8, int& width, int& height) const;

  Rgb PixelAt(int x, int y) const;
  Bitmap Snapshot() const;
  std::vector<unsigned char> EncodePng() const;
  // Writes the picture as a PNG file through a temporary name; false when it cannot be written.
  bool WritePng(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The font of the dialogs: the program's CJK font at the size of an 8-point dialog font.
const char* DialogFontFamily();
int DialogFontPixels();

}  // namespace gui::render
