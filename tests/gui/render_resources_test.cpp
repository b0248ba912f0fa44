// The embedded resources, read back by an independent decoder (gdk-pixbuf), and the renderer's canvas.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gui/render/canvas.h"
#include "resources/resources.h"

namespace {

using gui::Bitmap;
using gui::render::Canvas;
using gui::render::PixelRect;
using gui::render::Rgb;

struct Decoded {
  int width = 0, height = 0;
  std::vector<Rgb> rgb;
  Rgb at(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};

// Decodes bytes with gdk-pixbuf; `format` is the loader's type name ("png", "bmp", "ico").
bool DecodeIndependently(const unsigned char* data, size_t size, const char* format, Decoded* out) {
  GError* error = nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(format, &error);
  if (!loader) {
    g_clear_error(&error);
    return false;
  }
  bool ok = gdk_pixbuf_loader_write(loader, data, size, &error) && gdk_pixbuf_loader_close(loader, &error);
  GdkPixbuf* p = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
  if (p) {
    out->width = gdk_pixbuf_get_width(p);
    out->height = gdk_pixbuf_get_height(p);
    const int n = gdk_pixbuf_get_n_channels(p), stride = gdk_pixbuf_get_rowstride(p);
    const guchar* base = gdk_pixbuf_get_pixels(p);
    for (int y = 0; y < out->height; ++y)
      for (int x = 0; x < out->width; ++x) {
        const guchar* q = base + y * stride + n * x;
        out->rgb.push_back(Rgb{q[0], q[1], q[2]});
      }
  }
  g_clear_error(&error);
  g_object_unref(loader);
  return p != nullptr;
}

// A .bmp file around a packed bitmap, so that a BMP reader can open it.
std::vector<unsigned char> AsBmpFile(const unsigned char* dib, size_t size) {
  const uint32_t colours = dib[32] | dib[33] << 8;
  const uint32_t bitsAt = 14 + 40 + 4 * colours, total = static_cast<uint32_t>(14 + size);
  std::vector<unsigned char> f = {'B', 'M'};
  for (uint32_t v : {total, 0u, bitsAt})
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<unsigned char>(v >> (8 * i)));
  f.insert(f.end(), dib, dib + size);
  return f;
}

TEST(Resources, PicturesHaveTheSizesOfTheirDialogs) {
  const struct {
    int id, width, height;
  } cases[] = {{174, 588, 358}, {175, 588, 358}, {176, 600, 365}, {177, 588, 358}, {178, 588, 358}, {180, 420, 220}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const resources::ResourceView r = resources::FindResource(c.id, resources::kTypePng);
    ASSERT_TRUE(r);
    Decoded d;
    ASSERT_TRUE(DecodeIndependently(r.data, r.size, "png", &d));
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
  }
}

TEST(Resources, WelcomePicturesShowTheRedRuleAndTheGreyButtonBand) {
  for (int id : {174, 175, 177, 178}) {
    SCOPED_TRACE(id);
    const resources::ResourceView r = resources::FindResource(id, resources::kTypePng);
    Decoded d;
    ASSERT_TRUE(DecodeIndependently(r.data, r.size, "png", &d));
    const Rgb rule = d.at(5, 100);
    EXPECT_GT(rule.r, 150);
    EXPECT_LT(rule.g, 60);
    EXPECT_EQ(d.at(5, 200), (Rgb{255, 255, 255}));  // white page under the rule
    const Rgb band = d.at(300, d.height - 10);
    EXPECT_EQ(band.r, band.g);
    EXPECT_GT(band.r, 200);
    EXPECT_LT(band.r, 250);
  }
}

TEST(Resources, ProgressPatternHasExactlyTheGivenRows) {
  const resources::ResourceView r = resources::FindResource(148, resources::kTypeBitmap);
  ASSERT_TRUE(r);
  ASSERT_GE(r.size, 40u);
  EXPECT_EQ(r.data[14], 8);  // bits per pixel: a palette bitmap
  const std::vector<unsigned char> file = AsBmpFile(r.data, r.size);
  Decoded d;
  ASSERT_TRUE(DecodeIndependently(file.data(), file.size(), "bmp", &d));
  ASSERT_EQ(d.width, 25);
  ASSERT_EQ(d.height, 20);
  const Rgb rows[20] = {{208, 212, 214}, {132, 182, 138}, {83, 201, 105}, {83, 201, 105}, {74, 198, 97},
                        {61, 194, 85},   {46, 189, 72},   {30, 184, 58},  {30, 184, 58},  {16, 180, 46},
                        {6, 177, 37},    {6, 177, 37},    {6, 177, 37},   {6, 177, 37},   {6, 177, 37},
                        {6, 177, 37},    {6, 177, 37},    {6, 177, 37},   {6, 177, 37},   {208, 212, 214}};
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 25; ++x) {
      const bool corner = x == 0 && (y == 0 || y == 19);
      const Rgb expected = corner ? Rgb{211, 213, 215} : rows[y];
      ASSERT_EQ(d.at(x, y), expected) << "x " << x << " y " << y;
    }
  // Our own decoder agrees with the independent one.
  Bitmap ours;
  ASSERT_TRUE(gui::render::DecodePackedDib(r.data, r.size, &ours));
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 25; ++x) {
      const Rgb o{static_cast<uint8_t>(ours.At(x, y) >> 16), static_cast<uint8_t>(ours.At(x, y) >> 8),
                  static_cast<uint8_t>(ours.At(x, y))};
      ASSERT_EQ(o, d.at(x, y)) << "x " << x << " y " << y;
    }
}

TEST(Resources, IconOpensAsAnIconFileWithSeveralSizes) {
  const resources::ResourceView r = resources::FindResource(181, resources::kTypeIcon);
  ASSERT_TRUE(r);
  EXPECT_EQ(r.data[2] | r.data[3] << 8, 1);  // an icon, not a cursor
  EXPECT_GE(r.data[4] | r.data[5] << 8, 2);
  Decoded d;
  ASSERT_TRUE(DecodeIndependently(r.data, r.size, "ico", &d));
  EXPECT_GE(d.width, 16);
}

TEST(Resources, LookupByIdAndTypeName) {
  EXPECT_TRUE(resources::FindResource(174, "png"));  // type names compare as on Windows
  EXPECT_FALSE(resources::FindResource(174, resources::kTypeBitmap));
  EXPECT_FALSE(resources::FindResource(179, resources::kTypePng));
  EXPECT_FALSE(resources::FindResource(148, resources::kTypePng));
  EXPECT_EQ(resources::LoadString(101), "关于 Downloader(&A)...");
  EXPECT_EQ(resources::LoadString(102), "");
}

TEST(PackedDib, RejectsWhatItCannotRead) {
  const resources::ResourceView r = resources::FindResource(148, resources::kTypeBitmap);
  std::vector<unsigned char> good(r.data, r.data + r.size);
  auto with = [&](size_t at, unsigned char v) {
    std::vector<unsigned char> b = good;
    b[at] = v;
    return b;
  };
  std::vector<unsigned char> cut(good.begin(), good.end() - 1);
  const struct {
    const char* what;
    std::vector<unsigned char> bytes;
  } cases[] = {
      {"cut short", cut},
      {"header only", std::vector<unsigned char>(good.begin(), good.begin() + 40)},
      {"4 bits per pixel", with(14, 4)},
      {"compressed", with(16, 1)},
      {"zero width", with(4, 0)},
      {"palette index beyond the palette", with(40 + 4 * 11 + 5, 11)},
  };
  for (const auto& c : cases) {
    Bitmap out;
    out.width = 7;
    EXPECT_FALSE(gui::render::DecodePackedDib(c.bytes.data(), c.bytes.size(), &out)) << c.what;
    EXPECT_EQ(out.width, 7) << c.what << ": left untouched";
  }
  EXPECT_FALSE(gui::render::DecodePackedDib(nullptr, 0, nullptr));
}

Bitmap Solid(int w, int h, uint32_t argb) {
  Bitmap b;
  b.width = w;
  b.height = h;
  b.pixels.assign(static_cast<size_t>(w) * h, argb);
  return b;
}

TEST(Canvas, PatternRepeatsFromTheOriginOfTheCurrentCoordinates) {
  Bitmap pattern = Solid(3, 2, 0xff000000);
  pattern.pixels[0] = 0xffff0000;  // (0,0) red marks each repeat
  Canvas canvas(20, 10);
  canvas.Save({5, 3, 20, 10}, 5, 3);  // a child at (5,3)
  canvas.FillPattern({0, 0, 9, 6}, pattern, 0, 0);
  canvas.Restore();
  EXPECT_EQ(canvas.PixelAt(5, 3), (Rgb{255, 0, 0}));
  EXPECT_EQ(canvas.PixelAt(8, 5), (Rgb{255, 0, 0}));
  EXPECT_EQ(canvas.PixelAt(6, 3), (Rgb{0, 0, 0}));
  EXPECT_EQ(canvas.PixelAt(14, 3), (Rgb{255, 255, 255}));  // right edge of the fill is outside
  EXPECT_EQ(canvas.PixelAt(4, 3), (Rgb{255, 255, 255}));   // left of the child
}

TEST(Canvas, ClipKeepsDrawingInsideAndStretchCopiesWholePixels) {
  Bitmap two = Solid(2, 1, 0xff0000ff);
  two.pixels[1] = 0xff00ff00;  // blue | green
  Canvas canvas(10, 4);
  canvas.Save({2, 0, 6, 4}, 0, 0);
  canvas.StretchCopy(two, {0, 0, 2, 1}, {0, 0, 10, 4});  // stretched to 10 wide, clipped to 2..6
  canvas.Restore();
  EXPECT_EQ(canvas.PixelAt(1, 0), (Rgb{255, 255, 255}));
  EXPECT_EQ(canvas.PixelAt(2, 0), (Rgb{0, 0, 255}));
  EXPECT_EQ(canvas.PixelAt(4, 3), (Rgb{0, 0, 255}));
  EXPECT_EQ(canvas.PixelAt(5, 3), (Rgb{0, 255, 0}));
  EXPECT_EQ(canvas.PixelAt(6, 0), (Rgb{255, 255, 255}));
}

// A one-line label in a box lower than the font's line (the status line of the progress dialog) still
// shows the glyphs' lowest parts: an underscore in a file name must not vanish.
TEST(Canvas, OneLineTextInALowBoxKeepsItsLowestInk) {
  Canvas canvas(40, 20);
  int w = 0, h = 0;
  canvas.MeasureText("a_b", w, h);
  ASSERT_GT(h, 6);
  const int boxHeight = h - 4;
  canvas.FillSolid({0, 0, 40, 20}, {255, 255, 255});
  canvas.Text({0, 0, 40, boxHeight}, "_", gui::render::TextStyle{});
  int dark = 0;
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 40; ++x) {
      const Rgb p = canvas.PixelAt(x, y);
      if (y >= boxHeight) {
        EXPECT_EQ(p, (Rgb{255, 255, 255})) << "drawn outside the box at " << x << "," << y;
      } else if (p.r < 128) {
        ++dark;
      }
    }
  }
  EXPECT_GT(dark, 2);
}

}  // namespace
