// Each of the five dialogs with its frame and picture, rendered into PNG files (under the build folder, for
// a reviewer to open) and checked where the look is exact: the picture stretched over the client area,
// labels drawn onto it, the default colours elsewhere.
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "gui/controls.h"
#include "gui/message_box.h"
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

gui::Bitmap Picture(int id) {
  gui::CImage image;
  LoadPngResource(&image, id);
  return image.IsNull() ? gui::Bitmap() : *image.GetHandle();
}

// The picture's pixel that a stretched copy puts at client (x, y).
Rgb Stretched(const gui::Bitmap& picture, const gui::CRect& client, int x, int y) {
  return RgbOf(picture.At(x * picture.width / client.Width(), y * picture.height / client.Height()));
}

bool Covered(const gui::WindowState& s, int x, int y) {
  for (const gui::ControlState& c : s.controls)
    if (c.visible && x >= c.rect.left && x < c.rect.right && y >= c.rect.top && y < c.rect.bottom) return true;
  return false;
}

std::string SnapshotDir() {
  const std::string dir = std::string(VODA_SNAPSHOT_DIR);
  std::filesystem::create_directories(dir);
  return dir;
}

using Snapshots = FrameTest;

TEST_F(Snapshots, EveryDialogShowsItsPictureUnderItsControls) {
  const struct {
    const char* name;
    FrameDialog::Setup setup;
  } cases[] = {{"query", kQueryDialog},       {"install", kInstallDialog}, {"options", kOptionDialog},
               {"progress", kProgressDialog}, {"update", kUpdateDialog}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ModalDialog run(c.setup);
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    const gui::WindowState s = StateOf(h);
    const std::string path = SnapshotDir() + "/dialog_" + std::to_string(c.setup.templateId) + "_" + c.name + ".png";
    std::string error;
    ASSERT_TRUE(gui::RenderSnapshot(h, path, &error)) << error;
    EXPECT_GT(std::filesystem::file_size(path), 1000u);

    gui::Bitmap client;
    ASSERT_TRUE(gui::render::RenderClient(h, &client, &error)) << error;
    ASSERT_EQ(client.width, s.clientRect.Width());
    const gui::Bitmap picture = Picture(c.setup.pictureId);
    ASSERT_GT(picture.width, 0);
    int checked = 0;
    for (int y = 0; y < client.height; y += 7)
      for (int x = 0; x < client.width; x += 7) {
        if (Covered(s, x, y)) continue;
        ASSERT_EQ(RgbOf(client.At(x, y)), Stretched(picture, s.clientRect, x, y)) << "x " << x << " y " << y;
        ++checked;
      }
    EXPECT_GT(checked, 1000);

    // The whole window: the client area lies inside the frame.
    gui::Bitmap window;
    ASSERT_TRUE(gui::render::RenderWindow(h, &window, &error)) << error;
    EXPECT_EQ(window.width, s.windowRect.Width());
    const int dx = s.clientRect.left - s.windowRect.left, dy = s.clientRect.top - s.windowRect.top;
    EXPECT_EQ(window.At(dx + 3, dy + 3), client.At(3, 3));
  }
}

// A point inside a label's rectangle but right of its text.
Rgb RightOfText(const gui::Bitmap& client, const gui::ControlState& label) {
  return RgbOf(client.At(label.rect.right - 2, label.rect.top + label.rect.Height() / 2));
}

TEST_F(Snapshots, LabelsOnThePictureAreTransparentOthersKeepTheDialogFace) {
  std::string error;
  {
    ModalDialog run(kQueryDialog);
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    const gui::WindowState s = StateOf(h);
    gui::Bitmap client;
    ASSERT_TRUE(gui::render::RenderClient(h, &client, &error)) << error;
    const gui::ControlState* status = Control(s, 1029);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(RightOfText(client, *status), Stretched(Picture(174), s.clientRect, status->rect.right - 2,
                                                      status->rect.top + status->rect.Height() / 2));
    // Glyphs are drawn: some pixel at the start of the label differs from the picture.
    bool ink = false;
    for (int px = status->rect.left; px < status->rect.left + 40 && !ink; ++px)
      for (int py = status->rect.top; py < status->rect.bottom && !ink; ++py)
        ink = RgbOf(client.At(px, py)) != Stretched(Picture(174), s.clientRect, px, py);
    EXPECT_TRUE(ink);
  }
  {
    ModalDialog run(kProgressDialog);
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    const gui::WindowState s = StateOf(h);
    gui::Bitmap client;
    ASSERT_TRUE(gui::render::RenderClient(h, &client, &error)) << error;
    int unnumbered = 0;
    for (const gui::ControlState& c : s.controls) {
      if (c.cls != gui::ControlClass::kStatic) continue;
      SCOPED_TRACE(c.id);
      unnumbered += c.id == -1;
      const int x = c.rect.right - 1, y = c.rect.top + c.rect.Height() / 2;
      EXPECT_EQ(RgbOf(client.At(x, y)), Stretched(Picture(177), s.clientRect, x, y));
    }
    EXPECT_EQ(unnumbered, 2);
  }
  {
    ModalDialog run(kOptionDialog);
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    gui::Bitmap client;
    ASSERT_TRUE(gui::render::RenderClient(h, &client, &error)) << error;
    const gui::WindowState captionState = StateOf(h);
    const gui::ControlState* caption = Control(captionState, 1013);
    ASSERT_NE(caption, nullptr);
    EXPECT_EQ(RightOfText(client, *caption), (Rgb{240, 240, 240}));
  }
}

TEST_F(Snapshots, TheExitQuestionShowsItsTextAndButtons) {
  ModalDialog run(kInstallDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(gui::input::PressEscape(h));
  HWND box = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (box = FindShown(gui::WindowKind::kMessageBox)) != nullptr; }));
  std::string error;
  ASSERT_TRUE(gui::RenderSnapshot(box, SnapshotDir() + "/message_box_exit_question.png", &error)) << error;
  gui::Bitmap client;
  ASSERT_TRUE(gui::render::RenderClient(box, &client, &error)) << error;
  const gui::WindowState s = StateOf(box);
  for (int id : {gui::IDYES, gui::IDNO, gui::kMessageBoxTextId}) {
    const gui::ControlState* c = Control(s, id);
    ASSERT_NE(c, nullptr) << id;
    bool ink = false;  // its text is drawn in the window text colour
    for (int y = c->rect.top; y < c->rect.bottom && !ink; ++y)
      for (int x = c->rect.left; x < c->rect.right && !ink; ++x) ink = RgbOf(client.At(x, y)).r < 80;
    EXPECT_TRUE(ink) << id;
  }
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(box, gui::IDNO)));
}

TEST_F(Snapshots, TheFolderBrowserShowsItsTitleAndField) {
  std::thread browse([] { (void)gui::BrowseForFolder(nullptr, "请选择安装目录", gui::BIF_RETURNONLYFSDIRS); });
  HWND box = nullptr;
  const bool shown = WaitFor([&] { return (box = FindShown(gui::WindowKind::kFolderBrowser)) != nullptr; });
  std::string error;
  if (shown) {
    EXPECT_TRUE(gui::RenderSnapshot(box, SnapshotDir() + "/folder_browser.png", &error)) << error;
    gui::input::PressEscape(box);
  }
  browse.join();
  ASSERT_TRUE(shown);
}

TEST_F(Snapshots, AShorterStatusTextLeavesNoRemainsOfTheOldOne) {
  ModalDialog run(kProgressDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  const HWND status = gui::GetDlgItem(h, 1020);
  std::string error;

  gui::SetWindowText(status, "");
  RefreshControl(&run.dialog(), 1020);
  gui::Bitmap empty;
  ASSERT_TRUE(gui::render::RenderClient(h, &empty, &error)) << error;

  gui::SetWindowText(status, "正在下载很长很长的一个组件文件名称");
  RefreshControl(&run.dialog(), 1020);
  gui::SetWindowText(status, "完成");
  RefreshControl(&run.dialog(), 1020);
  gui::Bitmap shorter;
  ASSERT_TRUE(gui::render::RenderClient(h, &shorter, &error)) << error;
  ASSERT_TRUE(gui::RenderSnapshot(h, SnapshotDir() + "/dialog_135_status_replaced.png", &error)) << error;

  const gui::WindowState cState = StateOf(h);

  const gui::ControlState* c = Control(cState, 1020);
  ASSERT_NE(c, nullptr);
  // Right of "完成" the label shows exactly what it shows with no text at all.
  for (int y = c->rect.top; y < c->rect.bottom; ++y)
    for (int x = c->rect.left + 40; x < c->rect.right; ++x)
      ASSERT_EQ(shorter.At(x, y), empty.At(x, y)) << "x " << x << " y " << y;
}

}  // namespace
