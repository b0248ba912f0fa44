// The skinned frame on real dialogs of the framework: pictures, initialisation, placement, move tracking,
// the broadcast exit and the exit confirmation.
#include <thread>

#include <gtest/gtest.h>

#include "gui/controls.h"
#include "gui/message_box.h"
#include "ui_support.h"

namespace {

using namespace ui_test;
using gui::CRect;
using gui::HWND;

TEST(LoadPngResource, AnswersOneForEveryPictureItFindsAndZeroOtherwise) {
  const struct {
    int id;
    int result, width, height;
  } cases[] = {{174, 1, 588, 358}, {176, 1, 600, 365}, {180, 1, 420, 220}, {179, 0, 0, 0}, {148, 0, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    gui::CImage image;
    EXPECT_EQ(LoadPngResource(&image, c.id), c.result);
    EXPECT_EQ(image.GetWidth(), c.width);
    EXPECT_EQ(image.GetHeight(), c.height);
  }
  EXPECT_EQ(LoadPngResource(nullptr, 174), 0);
}

TEST(LoadPngResource, ReplacesThePictureTheImageHeld) {
  gui::CImage image;
  ASSERT_EQ(LoadPngResource(&image, 174), 1);
  ASSERT_EQ(LoadPngResource(&image, 176), 1);
  EXPECT_EQ(image.GetWidth(), 600);
  // A missing picture still empties the image first.
  EXPECT_EQ(LoadPngResource(&image, 179), 0);
  EXPECT_TRUE(image.IsNull());
}

using SkinnedFrame = FrameTest;

TEST_F(SkinnedFrame, InitialisationSetsMenuIconTitlePictureAndSavedPlace) {
  g_dialogRect = ScreenRect{130, 90, 0, 0};
  ModalDialog run(kInstallDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  const gui::WindowState s = StateOf(h);

  EXPECT_EQ(s.title, g_bankProfile.downloaderTitle);
  ASSERT_EQ(s.systemMenu.size(), 2u);
  EXPECT_EQ(s.systemMenu[0].flags, gui::MF_SEPARATOR);
  EXPECT_EQ(s.systemMenu[1].id, 16u);
  EXPECT_EQ(s.systemMenu[1].text, "关于 Downloader(&A)...");
  ASSERT_TRUE(s.bigIcon);
  EXPECT_EQ(s.bigIcon, s.smallIcon);
  EXPECT_EQ(run.dialog().m_hIcon, s.bigIcon);
  EXPECT_GE(s.bigIcon->images.size(), 2u);

  gui::BITMAP info;
  ASSERT_NE(run.dialog().m_bmpBackground.GetBitmap(&info), 0);
  EXPECT_EQ(info.bmWidth, 588);
  EXPECT_EQ(info.bmHeight, 358);

  // Moved, not resized: the template's size with the frame around it.
  EXPECT_EQ(s.windowRect.left, 130);
  EXPECT_EQ(s.windowRect.top, 90);
  EXPECT_EQ(s.clientRect.Width(), gui::DialogUnitsToPixelsX(395));
  EXPECT_EQ(s.clientRect.Height(), gui::DialogUnitsToPixelsY(220));
  EXPECT_TRUE(gui::TopLevelWindows().front() == h) << "top of the z-order";
}

TEST_F(SkinnedFrame, DialogsWithoutSavedPlacementOpenCentred) {
  g_dialogRect = ScreenRect{130, 90, 0, 0};
  ModalDialog run(kQueryDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  const gui::WindowState s = StateOf(h);
  const int screenW = gui::GetSystemMetrics(gui::SM_CXSCREEN), screenH = gui::GetSystemMetrics(gui::SM_CYSCREEN);
  EXPECT_NEAR(s.windowRect.left + s.windowRect.Width() / 2, screenW / 2, 1);
  EXPECT_NEAR(s.windowRect.top + s.windowRect.Height() / 2, screenH / 2, 1);
}

TEST_F(SkinnedFrame, DraggingStoresTheWindowRectangle) {
  // Every dialog saves while it is dragged; the query and update dialogs also after each move, so
  // their first placement is recorded too.
  const struct {
    const char* name;
    FrameDialog::Setup setup;
    bool savesFirstPlacement;
  } cases[] = {{"query", kQueryDialog, true}, {"install", kInstallDialog, false}, {"update", kUpdateDialog, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_dialogRect = ScreenRect{};
    ModalDialog run(c.setup);
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    const CRect first = StateOf(h).windowRect;
    if (c.savesFirstPlacement) {
      EXPECT_EQ(g_dialogRect.left, first.left);
      EXPECT_EQ(g_dialogRect.bottom, first.bottom);
    } else {
      EXPECT_EQ(g_dialogRect.left, 0);
    }
    ASSERT_TRUE(gui::input::DragTo(h, 222, 111));
    ScreenRect saved{};
    ASSERT_TRUE(WaitFor([&] {
      saved = DialogRectOf(h);
      return saved.left == 222 && saved.top == 111;
    })) << saved.left << "," << saved.top;
    EXPECT_EQ(saved.right - saved.left, first.Width());
    EXPECT_EQ(saved.bottom - saved.top, first.Height());
  }
}

TEST_F(SkinnedFrame, TheNextDialogOpensWhereThePreviousOneWasDragged) {
  {
    g_dialogRect = ScreenRect{40, 40, 0, 0};
    ModalDialog install(kInstallDialog);
    const HWND h = install.WaitShown();
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(gui::input::DragTo(h, 300, 250));
    ASSERT_TRUE(WaitFor([&] { return DialogRectOf(h).left == 300; }));
  }
  ModalDialog options(kOptionDialog);
  const HWND h = options.WaitShown();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(StateOf(h).windowRect.left, 300);
  EXPECT_EQ(StateOf(h).windowRect.top, 250);
}

TEST_F(SkinnedFrame, BroadcastWithOtherParameterChangesNothing) {
  ModalDialog run(kProgressDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  ASSERT_NE(DetectMessageId(), 0u);
  for (gui::WPARAM w : {0u, 2u, 0x101u}) gui::DeliverBroadcast(DetectMessageId(), w, 0);
  // A message sent afterwards is handled after the broadcasts: the dialog is still there.
  gui::SendMessage(h, gui::WM_NULL);
  EXPECT_TRUE(gui::IsWindowVisible(h));
}

TEST_F(SkinnedFrame, BroadcastWithOneEndsTheProcessAtOnceWithCodeZero) {
  for (const FrameDialog::Setup* setup : {&kQueryDialog, &kUpdateDialog}) {
    EXPECT_EXIT(
        {
          ModalDialog run(*setup);
          if (run.WaitShown()) gui::DeliverBroadcast(DetectMessageId(), 1, 0);
          std::this_thread::sleep_for(std::chrono::seconds(10));
          std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

// The message box of ConfirmExit once it is shown.
HWND WaitForExitQuestion() {
  HWND box = nullptr;
  WaitFor([&] { return (box = FindShown(gui::WindowKind::kMessageBox)) != nullptr; });
  return box;
}

TEST_F(SkinnedFrame, CancelAnsweredNoLeavesTheDialogAsItWas) {
  g_dialogRect = ScreenRect{60, 70, 0, 0};
  ModalDialog run(kInstallDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  const gui::WindowState before = StateOf(h);

  ASSERT_TRUE(gui::input::PressEscape(h));
  const HWND box = WaitForExitQuestion();
  ASSERT_NE(box, nullptr);
  const gui::WindowState question = StateOf(box);
  EXPECT_EQ(question.text, "是否退出voda安装？");
  EXPECT_EQ(question.title, g_bankProfile.downloaderTitle);
  EXPECT_EQ(question.type & gui::MB_TYPEMASK, gui::MB_YESNO);
  EXPECT_TRUE(question.topmost);
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(box, gui::IDNO)));
  ASSERT_TRUE(WaitFor([&] { return !gui::IsWindow(box) || !gui::IsWindowVisible(box); }));

  const gui::WindowState after = StateOf(h);
  EXPECT_TRUE(after.visible);
  EXPECT_EQ(after.windowRect, before.windowRect);
  EXPECT_EQ(after.title, before.title);
}

TEST_F(SkinnedFrame, CancelAnsweredYesEndsTheProcessWithCodeZero) {
  EXPECT_EXIT(
      {
        ModalDialog run(kOptionDialog);
        const HWND h = run.WaitShown();
        if (h && gui::input::PressEscape(h)) {
          if (const HWND box = WaitForExitQuestion()) gui::input::Click(gui::GetDlgItem(box, gui::IDYES));
        }
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
