// voda-artwork: draws the Downloader's pictures, icon and progress pattern from text and shapes, and
// writes them both as files (for people to look at) and as one C++ source that embeds their bytes.
//
//   voda-artwork <output folder>
//
// Everything is drawn with cairo and pango in the CJK font the dialogs use, so the artwork can be made
// again on any machine with the same packages.
#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr const char* kFont = "WenQuanYi Zen Hei";
// The bank's name as its logo shows it.
constexpr const char* kBankName = "云溪银行";
constexpr const char* kBankNameLatin = "YUNXI BANK";

struct Rgb {
  double r, g, b;
};
constexpr Rgb kRed{0.80, 0.07, 0.11};
constexpr Rgb kWhite{1, 1, 1};
constexpr Rgb kBand{0.93, 0.93, 0.93};
constexpr Rgb kBandLine{0.78, 0.78, 0.78};
constexpr Rgb kText{0.20, 0.20, 0.20};

void SetColour(cairo_t* cr, Rgb c, double alpha = 1.0) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

class Canvas {
 public:
  Canvas(int width, int height)
      : surface_(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height)), cr_(cairo_create(surface_)) {}
  ~Canvas() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  cairo_t* cr() const { return cr_; }
  int width() const { return cairo_image_surface_get_width(surface_); }
  int height() const { return cairo_image_surface_get_height(surface_); }

  Bytes Png() const {
    Bytes out;
    cairo_surface_flush(surface_);
    cairo_surface_write_to_png_stream(
        surface_,
        [](void* closure, const unsigned char* data, unsigned int length) {
          auto* v = static_cast<Bytes*>(closure);
          v->insert(v->end(), data, data + length);
          return CAIRO_STATUS_SUCCESS;
        },
        &out);
    return out;
  }

 private:
  cairo_surface_t* surface_;
  cairo_t* cr_;
};

enum class Align { Left, Right, Centre };

// Draws one line of text with its top edge at y; x is the left edge, the right edge or the centre.
void Text(cairo_t* cr, const std::string& text, double x, double y, double sizePx, Rgb colour, Align align,
          bool bold = false) {
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, kFont);
  pango_font_description_set_absolute_size(font, sizePx * PANGO_SCALE);
  if (bold) pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
  pango_layout_set_font_description(layout, font);
  pango_layout_set_text(layout, text.c_str(), -1);
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout, &w, &h);
  double left = align == Align::Left ? x : align == Align::Right ? x - w : x - w / 2.0;
  SetColour(cr, colour);
  cairo_move_to(cr, left, y);
  pango_cairo_show_layout(cr, layout);
  pango_font_description_free(font);
  g_object_unref(layout);
}

void Rect(cairo_t* cr, double x, double y, double w, double h, Rgb c, double alpha = 1.0) {
  SetColour(cr, c, alpha);
  cairo_rectangle(cr, x, y, w, h);
  cairo_fill(cr);
}

// The bank's mark: a red disc with a white square hole, like an old coin.
void LogoMark(cairo_t* cr, double cx, double cy, double radius) {
  SetColour(cr, kRed);
  cairo_arc(cr, cx, cy, radius, 0, 2 * M_PI);
  cairo_fill(cr);
  double s = radius * 0.62;
  Rect(cr, cx - s / 2, cy - s / 2, s, s, kWhite);
  SetColour(cr, kRed);
  cairo_set_line_width(cr, radius * 0.12);
  cairo_arc(cr, cx, cy, radius * 0.82, 0, 2 * M_PI);
  cairo_stroke(cr);
  Rect(cr, cx - s * 0.22, cy - s * 0.22, s * 0.44, s * 0.44, kRed);
}

// Logo with name at top left, and the red rule across the full width.
void Masthead(cairo_t* cr, int width) {
  LogoMark(cr, 46, 44, 24);
  Text(cr, kBankName, 80, 20, 28, kRed, Align::Left, true);
  Text(cr, kBankNameLatin, 82, 56, 11, kRed, Align::Left);
  Rect(cr, 0, 99, width, 3, kRed);
}

void BottomBand(cairo_t* cr, int width, int height, int bandHeight, Rgb fill, Rgb line) {
  Rect(cr, 0, height - bandHeight, width, bandHeight, fill);
  Rect(cr, 0, height - bandHeight, width, 1, line);
}

Bytes WelcomePicture(const std::string& heading) {
  Canvas c(588, 358);
  cairo_t* cr = c.cr();
  Rect(cr, 0, 0, c.width(), c.height(), kWhite);
  Masthead(cr, c.width());
  Text(cr, heading, c.width() - 28, 122, 26, kText, Align::Right, true);
  BottomBand(cr, c.width(), c.height(), 30, kBand, kBandLine);
  return c.Png();
}

Bytes OptionsPicture() {
  Canvas c(600, 365);
  cairo_t* cr = c.cr();
  Rgb page{0.975, 0.975, 0.978};
  Rgb ghost{0.935, 0.935, 0.94};
  Rect(cr, 0, 0, c.width(), c.height(), page);
  // A faint ghost of the form: a title line, three option rows, a folder field with its button.
  Rect(cr, 80, 40, 300, 10, ghost);
  for (int i = 0; i < 3; ++i) {
    Rect(cr, 118, 72 + i * 28, 14, 14, ghost);
    Rect(cr, 140, 75 + i * 28, 130 - i * 20, 9, ghost);
  }
  Rect(cr, 80, 194, 80, 10, ghost);
  SetColour(cr, ghost);
  cairo_set_line_width(cr, 1.5);
  cairo_rectangle(cr, 118.5, 222.5, 300, 22);
  cairo_stroke(cr);
  Rect(cr, 424, 222, 66, 23, ghost);
  BottomBand(cr, c.width(), c.height(), 30, Rgb{0.99, 0.99, 0.99}, Rgb{0.92, 0.92, 0.93});
  return c.Png();
}

void Shield(cairo_t* cr, double cx, double top, double w, double h) {
  cairo_new_path(cr);
  cairo_move_to(cr, cx, top);
  cairo_curve_to(cr, cx + w * 0.25, top + h * 0.08, cx + w * 0.4, top + h * 0.1, cx + w / 2, top + h * 0.1);
  cairo_curve_to(cr, cx + w / 2, top + h * 0.6, cx + w * 0.3, top + h * 0.85, cx, top + h);
  cairo_curve_to(cr, cx - w * 0.3, top + h * 0.85, cx - w / 2, top + h * 0.6, cx - w / 2, top + h * 0.1);
  cairo_curve_to(cr, cx - w * 0.4, top + h * 0.1, cx - w * 0.25, top + h * 0.08, cx, top);
  cairo_close_path(cr);
}

// A USB key: a rounded body with a connector, drawn in white around (cx, cy).
void UsbKey(cairo_t* cr, double cx, double cy, double size) {
  double bw = size * 0.38, bh = size * 0.62;
  double x = cx - bw / 2, y = cy - bh / 2 + size * 0.1, r = bw * 0.25;
  SetColour(cr, kWhite);
  cairo_new_path(cr);
  cairo_arc(cr, x + r, y + r, r, M_PI, 1.5 * M_PI);
  cairo_arc(cr, x + bw - r, y + r, r, 1.5 * M_PI, 2 * M_PI);
  cairo_arc(cr, x + bw - r, y + bh - r, r, 0, 0.5 * M_PI);
  cairo_arc(cr, x + r, y + bh - r, r, 0.5 * M_PI, M_PI);
  cairo_close_path(cr);
  cairo_fill(cr);
  double cw = bw * 0.64, ch = size * 0.22;
  Rect(cr, cx - cw / 2, y - ch, cw, ch, kWhite);
  Rect(cr, cx - cw * 0.3, y - ch * 0.7, cw * 0.18, ch * 0.3, kRed);
  Rect(cr, cx + cw * 0.12, y - ch * 0.7, cw * 0.18, ch * 0.3, kRed);
  SetColour(cr, kRed);
  cairo_arc(cr, cx, y + bh * 0.62, bw * 0.16, 0, 2 * M_PI);
  cairo_fill(cr);
}

void Gear(cairo_t* cr, double cx, double cy, double radius, int teeth) {
  SetColour(cr, kWhite);
  cairo_new_path(cr);
  for (int i = 0; i < teeth * 2; ++i) {
    double a0 = M_PI * i / teeth, a1 = M_PI * (i + 1) / teeth;
    double rr = (i % 2 == 0) ? radius : radius * 0.78;
    cairo_arc(cr, cx, cy, rr, a0, a1);
  }
  cairo_close_path(cr);
  cairo_fill(cr);
  SetColour(cr, kRed);
  cairo_arc(cr, cx, cy, radius * 0.36, 0, 2 * M_PI);
  cairo_fill(cr);
}

// A badge with eight points: two squares turned by 45 degrees to each other.
void EightPointBadge(cairo_t* cr, double cx, double cy, double radius) {
  SetColour(cr, kRed);
  for (int k = 0; k < 2; ++k) {
    cairo_new_path(cr);
    for (int i = 0; i < 4; ++i) {
      double a = M_PI / 4 * k + M_PI / 2 * i;
      double x = cx + radius * std::cos(a), y = cy + radius * std::sin(a);
      if (i == 0) cairo_move_to(cr, x, y); else cairo_line_to(cr, x, y);
    }
    cairo_close_path(cr);
    cairo_fill(cr);
  }
  SetColour(cr, kWhite, 0.5);
  cairo_set_line_width(cr, 2);
  cairo_arc(cr, cx, cy, radius * 0.74, 0, 2 * M_PI);
  cairo_stroke(cr);
}

enum class Emblem { Shield, Badge };

Bytes ProgressPicture(Emblem emblem) {
  Canvas c(588, 358);
  cairo_t* cr = c.cr();
  Rect(cr, 0, 0, c.width(), c.height(), kWhite);
  Masthead(cr, c.width());
  Text(cr, "检测UKEY使用的系统环境，提供", 40, 118, 17, kText, Align::Left);
  Text(cr, "安全的网上转账环境", 40, 142, 17, kText, Align::Left);
  if (emblem == Emblem::Shield) {
    SetColour(cr, kRed);
    Shield(cr, 480, 62, 104, 126);
    cairo_fill(cr);
    UsbKey(cr, 480, 122, 74);
  } else {
    EightPointBadge(cr, 480, 122, 62);
    Gear(cr, 462, 110, 24, 8);
    Gear(cr, 500, 140, 17, 7);
  }
  BottomBand(cr, c.width(), c.height(), 30, kBand, kBandLine);
  return c.Png();
}

Bytes UpdatePicture() {
  Canvas c(420, 220);
  cairo_t* cr = c.cr();
  Rect(cr, 0, 0, c.width(), c.height(), kWhite);
  LogoMark(cr, 40, 44, 14);
  Text(cr, "voda已有最新版本，是否需要更新？", 62, 33, 18, kText, Align::Left);
  return c.Png();
}

void Put16(Bytes& b, unsigned v);
void Put32(Bytes& b, std::uint32_t v);

// The program icon: a red shield with a white check.
// The icon drawn at one size, as the 32-bit image of an icon file: a BITMAPINFOHEADER of double height,
// the colour rows (blue, green, red, alpha; bottom-up) and the one-bit transparency mask.
Bytes IconImage(int size) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(s);
  double k = size / 32.0;
  SetColour(cr, kRed);
  Shield(cr, 16 * k, 1 * k, 28 * k, 30 * k);
  cairo_fill(cr);
  SetColour(cr, kWhite);
  cairo_set_line_width(cr, 3.5 * k);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_move_to(cr, 9.5 * k, 15 * k);
  cairo_line_to(cr, 14 * k, 20.5 * k);
  cairo_line_to(cr, 22.5 * k, 10 * k);
  cairo_stroke(cr);
  cairo_destroy(cr);
  cairo_surface_flush(s);
  const unsigned char* base = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  const int maskStride = ((size + 31) / 32) * 4;
  Bytes out;
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(size));
  Put32(out, static_cast<std::uint32_t>(2 * size));
  Put16(out, 1);
  Put16(out, 32);
  Put32(out, 0);
  Put32(out, static_cast<std::uint32_t>(size * size * 4 + maskStride * size));
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  Bytes mask;
  for (int y = size - 1; y >= 0; --y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(base + y * stride);
    Bytes maskRow(static_cast<size_t>(maskStride), 0);
    for (int x = 0; x < size; ++x) {
      const std::uint32_t v = row[x];
      const unsigned a = v >> 24;
      auto straight = [a](unsigned c) { return static_cast<unsigned char>(a ? std::min(255u, (c * 255 + a / 2) / a) : 0); };
      out.push_back(straight(v & 0xff));
      out.push_back(straight((v >> 8) & 0xff));
      out.push_back(straight((v >> 16) & 0xff));
      out.push_back(static_cast<unsigned char>(a));
      if (a == 0) maskRow[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    }
    mask.insert(mask.end(), maskRow.begin(), maskRow.end());
  }
  out.insert(out.end(), mask.begin(), mask.end());
  cairo_surface_destroy(s);
  return out;
}

void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v & 0xff));
  b.push_back(static_cast<unsigned char>((v >> 8) & 0xff));
}
void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xffff);
  Put16(b, v >> 16);
}

// An icon file: ICONDIR, its entries, and one 32-bit image per size.
Bytes IconFile(const std::vector<int>& sizes) {
  std::vector<Bytes> images;
  for (int s : sizes) images.push_back(IconImage(s));
  Bytes out;
  Put16(out, 0);
  Put16(out, 1);  // type: icon
  Put16(out, static_cast<unsigned>(sizes.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    out.push_back(static_cast<unsigned char>(sizes[i] >= 256 ? 0 : sizes[i]));
    out.push_back(static_cast<unsigned char>(sizes[i] >= 256 ? 0 : sizes[i]));
    out.push_back(0);  // no palette
    out.push_back(0);
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, static_cast<std::uint32_t>(images[i].size()));
    Put32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const Bytes& img : images) out.insert(out.end(), img.begin(), img.end());
  return out;
}

// The progress bar's fill pattern as a packed device-independent bitmap (BITMAPINFOHEADER, palette,
// bottom-up rows padded to four bytes): 25 x 20 pixels, 8 bits per pixel. Each row has one colour; only
// the leftmost pixel of the first and last rows differs.
Bytes ProgressPatternDib() {
  struct Band {
    int first, last;
    unsigned char r, g, b;
  };
  const Band bands[] = {{0, 0, 208, 212, 214},  {1, 1, 132, 182, 138}, {2, 3, 83, 201, 105},
                        {4, 4, 74, 198, 97},    {5, 5, 61, 194, 85},   {6, 6, 46, 189, 72},
                        {7, 8, 30, 184, 58},    {9, 9, 16, 180, 46},   {10, 18, 6, 177, 37},
                        {19, 19, 208, 212, 214}};
  constexpr int kWidth = 25, kHeight = 20, kStride = 28;
  // Palette: one entry per band, then the corner colour.
  const unsigned kCorner = sizeof(bands) / sizeof(bands[0]);
  const unsigned kColours = kCorner + 1;
  Bytes out;
  Put32(out, 40);
  Put32(out, kWidth);
  Put32(out, kHeight);  // positive: bottom-up
  Put16(out, 1);
  Put16(out, 8);
  Put32(out, 0);  // BI_RGB
  Put32(out, kStride * kHeight);
  Put32(out, 2835);
  Put32(out, 2835);
  Put32(out, kColours);
  Put32(out, 0);
  for (const Band& b : bands) {  // RGBQUAD: blue, green, red, reserved
    out.push_back(b.b);
    out.push_back(b.g);
    out.push_back(b.r);
    out.push_back(0);
  }
  out.push_back(215);
  out.push_back(213);
  out.push_back(211);
  out.push_back(0);
  for (int row = kHeight - 1; row >= 0; --row) {
    unsigned index = 0;
    for (unsigned i = 0; i < kCorner; ++i)
      if (row >= bands[i].first && row <= bands[i].last) index = i;
    for (int x = 0; x < kStride; ++x) {
      unsigned char v = x < kWidth ? static_cast<unsigned char>(index) : 0;
      if (x == 0 && (row == 0 || row == kHeight - 1)) v = static_cast<unsigned char>(kCorner);
      out.push_back(v);
    }
  }
  return out;
}

// A .bmp file around a packed bitmap, for people to open.
Bytes BitmapFile(const Bytes& dib) {
  std::uint32_t headerAndPalette = 40 + 4 * (dib[32] | dib[33] << 8);
  Bytes out;
  out.push_back('B');
  out.push_back('M');
  Put32(out, static_cast<std::uint32_t>(14 + dib.size()));
  Put32(out, 0);
  Put32(out, 14 + headerAndPalette);
  out.insert(out.end(), dib.begin(), dib.end());
  return out;
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f.flush());
}

struct Item {
  int id;
  const char* type;
  const char* file;
  Bytes bytes;
};

std::string Source(const std::vector<Item>& items) {
  std::string s =
      "// Made by voda-artwork; do not edit.\n"
      "#include \"resources/resources.h\"\n\n"
      "namespace resources {\nnamespace {\n";
  char buf[16];
  for (const Item& it : items) {
    s += "const unsigned char k" + std::string(it.type) + std::to_string(it.id) + "[] = {";
    for (size_t i = 0; i < it.bytes.size(); ++i) {
      if (i % 24 == 0) s += "\n ";
      std::snprintf(buf, sizeof buf, " %u,", it.bytes[i]);
      s += buf;
    }
    s += "\n};\n";
  }
  s += "}  // namespace\n\n"
       "extern const EmbeddedResource kEmbeddedResources[];\n"
       "extern const std::size_t kEmbeddedResourceCount;\n\n"
       "const EmbeddedResource kEmbeddedResources[] = {\n";
  for (const Item& it : items)
    s += "    {" + std::to_string(it.id) + ", \"" + it.type + "\", k" + it.type + std::to_string(it.id) +
         ", sizeof k" + it.type + std::to_string(it.id) + "},\n";
  s += "};\nconst std::size_t kEmbeddedResourceCount = " + std::to_string(items.size()) +
       ";\n\n}  // namespace resources\n";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: voda-artwork <output folder>\n";
    return 2;
  }
  const std::string dir = argv[1];
  Bytes dib = ProgressPatternDib();
  std::vector<Item> items;
  items.push_back({174, "PNG", "174.png", WelcomePicture("更新网上银行检测工具组件")});
  items.push_back({175, "PNG", "175.png", WelcomePicture("欢迎使用网上银行检测工具")});
  items.push_back({176, "PNG", "176.png", OptionsPicture()});
  items.push_back({177, "PNG", "177.png", ProgressPicture(Emblem::Shield)});
  items.push_back({178, "PNG", "178.png", ProgressPicture(Emblem::Badge)});
  items.push_back({180, "PNG", "180.png", UpdatePicture()});
  items.push_back({181, "ICON", "181.ico", IconFile({16, 32, 48})});
  items.push_back({148, "BITMAP", nullptr, dib});
  for (const Item& it : items) {
    if (it.file && !WriteFile(dir + "/" + it.file, it.bytes)) {
      std::cerr << "voda-artwork: cannot write " << dir << "/" << it.file << "\n";
      return 1;
    }
  }
  if (!WriteFile(dir + "/148.bmp", BitmapFile(dib))) {
    std::cerr << "voda-artwork: cannot write " << dir << "/148.bmp\n";
    return 1;
  }
  std::string src = Source(items);
  // Write the source last and through a temporary name, so a failed run never leaves a half file.
  const std::string tmp = dir + "/resource_data.cpp.tmp";
  if (!WriteFile(tmp, Bytes(src.begin(), src.end())) ||
      std::rename(tmp.c_str(), (dir + "/resource_data.cpp").c_str()) != 0) {
    std::cerr << "voda-artwork: cannot write " << dir << "/resource_data.cpp\n";
    return 1;
  }
  return 0;
}
