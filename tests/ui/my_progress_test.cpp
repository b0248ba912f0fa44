// CMyProgress painted by the renderer on a real progress dialog: pixel-exact fill widths, the pattern of
// bitmap 148 and the background colour.
#include <limits>

#include <gtest/gtest.h>

#include "gui/render/canvas.h"
#include "gui/render/renderer.h"
#include "resources/resources.h"
#include "ui_support.h"

namespace {

using namespace ui_test;
using gui::HWND;
using gui::render::Rgb;

Rgb RgbOf(uint32_t argb) {
  return Rgb{static_cast<uint8_t>(argb >> 16), static_cast<uint8_t>(argb >> 8), static_cast<uint8_t>(argb)};
}

TEST(MyProgressFillWidth, TruncatesTowardZeroAndIgnoresEmptyRanges) {
  const struct {
    int width, lower, upper, pos, fill;
  } cases[] = {
      {210, 0, 100, 50, 105},
      {100, 0, 3, 1, 33},    // 33.33
      {100, 0, 3, 2, 66},    // 66.67 is truncated, not rounded
      {100, 0, 0, 0, 0},     // empty range: no fill
      {100, 5, 5, 7, 0},
      {100, 0, 100, 150, 150},  // beyond the upper bound: wider than the control (drawing clips it)
      {100, 0, 100, -5, -5},
      {316, 0, 8, 8, 316},
      {100, 0, 1, std::numeric_limits<int>::max(), std::numeric_limits<int>::max()},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CMyProgress::FillWidth(c.width, c.lower, c.upper, c.pos), c.fill)
        << c.width << " " << c.lower << ".." << c.upper << " at " << c.pos;
}

using MyProgress = FrameTest;

// Paints bar 1021 with the given client width, range and position and checks every pixel of it.
void ExpectBar(HWND dialog, int clientWidth, int lower, int upper, int pos, int expectedFill) {
  SCOPED_TRACE(testing::Message() << clientWidth << " px, " << lower << ".." << upper << " at " << pos);
  const HWND bar = gui::GetDlgItem(dialog, 1021);
  ASSERT_NE(bar, nullptr);
  const gui::WindowState beforeState = StateOf(dialog);
  const gui::ControlState* before = Control(beforeState, 1021);
  ASSERT_NE(before, nullptr);
  // The template's bar is bordered; whatever lies outside its client area stays outside.
  gui::CRect own;
  ASSERT_TRUE(gui::GetClientRect(bar, &own));
  const int border = (before->rect.Width() - own.Width()) / 2;
  ASSERT_TRUE(gui::SetWindowPos(bar, nullptr, 0, 0, clientWidth + 2 * border, before->rect.Height(),
                                gui::SWP_NOMOVE | gui::SWP_NOZORDER));
  gui::SendMessage(bar, gui::PBM_SETRANGE32, static_cast<gui::WPARAM>(lower), upper);
  gui::SendMessage(bar, gui::PBM_SETPOS, static_cast<gui::WPARAM>(pos));

  const gui::WindowState s = StateOf(dialog);
  const gui::ControlState* c = Control(s, 1021);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->painted);
  gui::Bitmap client;
  std::string error;
  ASSERT_TRUE(gui::render::RenderClient(dialog, &client, &error)) << error;

  const resources::ResourceView r = resources::FindResource(148, resources::kTypeBitmap);
  gui::Bitmap pattern;
  ASSERT_TRUE(gui::render::DecodePackedDib(r.data, r.size, &pattern));
  const int left = c->rect.left + border, top = c->rect.top + border, height = c->rect.Height() - 2 * border;
  int filled = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < clientWidth; ++x) {
      const Rgb got = RgbOf(client.At(left + x, top + y));
      const Rgb want = x < expectedFill ? RgbOf(pattern.At(x % 25, y % 20)) : Rgb{128, 119, 122};
      ASSERT_EQ(got, want) << "x " << x << " y " << y;
      if (y == 0 && x < expectedFill) ++filled;
    }
  EXPECT_EQ(filled, expectedFill);
  // Nothing of the fill beyond the bar.
  const Rgb beyond = RgbOf(client.At(left + clientWidth + border, top));
  EXPECT_NE(beyond, RgbOf(pattern.At(0, 0)));
  EXPECT_NE(beyond, (Rgb{128, 119, 122}));
}

TEST_F(MyProgress, PaintsTheFillAndTheBackgroundPixelExact) {
  ModalDialog run(kProgressDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  ExpectBar(h, 210, 0, 100, 50, 105);
  ExpectBar(h, 100, 0, 3, 1, 33);
  ExpectBar(h, 100, 0, 0, 0, 0);
  ExpectBar(h, 100, 0, 100, 250, 100);  // clipped to the control
  ExpectBar(h, 60, 0, 10, 10, 60);      // the pattern repeats every 25 pixels across
}

}  // namespace
