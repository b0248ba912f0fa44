// The five dialogs shown by the GTK backend on a real display (a private Xvfb when the test has no
// display of its own), captured from the screen and compared with the renderer's picture; and the user's
// clicks, keys, moves and closes arriving back at the dialogs.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "gui/gtk/gtk_backend.h"
#include "gui/render/canvas.h"
#include "gui/render/renderer.h"
#include "ui_support.h"

namespace {

using namespace ui_test;
using gui::HWND;

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string rest = path ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string dir = rest.substr(0, colon);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string::npos) break;
    rest = rest.substr(colon + 1);
  }
  return false;
}

// A display for this test: the one it was given, or a private Xvfb that picks a free display number
// itself (so tests running side by side never meet) and ends with the test.
class Display {
 public:
  Display() {
    const char* given = std::getenv("DISPLAY");
    if (given && *given) {
      ok_ = true;
      return;
    }
    if (!OnPath("Xvfb")) return;
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      // Xvfb ends with the test, however the test ends, and keeps none of its output channels open.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int devnull = ::open("/dev/null", O_RDWR);
      if (devnull >= 0) {
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
      }
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char ch;
    // Xvfb writes the display number once it accepts clients; a read with no writer left ends at once.
    while (::read(fds[0], &ch, 1) == 1 && ch != '\n') number += ch;
    ::close(fds[0]);
    if (pid_ > 0 && !number.empty()) {
      ::setenv("DISPLAY", (":" + number).c_str(), 1);
      ok_ = true;
    }
  }
  ~Display() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      ::unsetenv("DISPLAY");
    }
  }
  bool ok() const { return ok_; }
  static bool Possible() {
    const char* given = std::getenv("DISPLAY");
    return (given && *given) || OnPath("xvfb-run") || OnPath("Xvfb");
  }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

// GTK starts once in a process: one display and one GTK backend serve every test of this program.
class GtkEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!Display::Possible()) return;
    display_ = std::make_unique<Display>();
    if (!display_->ok()) {
      error_ = "Xvfb did not start";
      return;
    }
    std::unique_ptr<gui::Backend> backend = gui::CreateGtkBackend(&error_);
    if (!backend) return;
    gui::InstallBackend(std::move(backend));
    ready_ = true;
  }
  void TearDown() override {
    if (ready_) gui::InstallBackend(nullptr);  // GTK lets go of the display before the display goes
    display_.reset();
  }
  static bool possible() { return Display::Possible(); }
  static bool ready() { return ready_; }
  static const std::string& error() { return error_; }

 private:
  std::unique_ptr<Display> display_;
  static inline bool ready_ = false;
  static inline std::string error_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);

class GtkDisplay : public MachineTest {
 protected:
  void SetUp() override {
    if (!GtkEnvironment::possible()) GTEST_SKIP() << "no display and no Xvfb";
    ASSERT_TRUE(GtkEnvironment::ready()) << GtkEnvironment::error();
    MachineTest::SetUp();
  }
};

bool WritePng(const gui::Bitmap& b, const std::string& path) {
  gui::render::Canvas canvas(b.width, b.height);
  canvas.StretchCopy(b, {0, 0, b.width, b.height}, {0, 0, b.width, b.height});
  return canvas.WritePng(path);
}

TEST_F(GtkDisplay, ShowsEveryDialogAsTheRendererDrawsIt) {
  const std::string dir = std::string(VODA_SNAPSHOT_DIR);
  std::filesystem::create_directories(dir);
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
    ASSERT_TRUE(gui::gtk::WaitUntilDrawn(h, 15000));
    gui::Bitmap shot, expected;
    std::string error;
    ASSERT_TRUE(gui::gtk::CaptureClient(h, &shot, &error)) << error;
    EXPECT_TRUE(WritePng(shot, dir + "/gtk_" + std::to_string(c.setup.templateId) + "_" + c.name + ".png"));
    ASSERT_TRUE(gui::render::RenderClient(h, &expected, &error)) << error;
    ASSERT_EQ(shot.width, expected.width);
    ASSERT_EQ(shot.height, expected.height);
    int differing = 0;
    for (size_t i = 0; i < shot.pixels.size(); ++i) differing += (shot.pixels[i] & 0xffffff) != (expected.pixels[i] & 0xffffff);
    EXPECT_EQ(differing, 0);
  }
}

TEST_F(GtkDisplay, ChangesOfTheDialogReachTheScreen) {
  ModalDialog run(kProgressDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(gui::gtk::WaitUntilDrawn(h, 15000));
  // A burst of progress, as a download reports it; the screen ends on the last state.
  for (int pos = 0; pos <= 60; ++pos) gui::SendMessage(gui::GetDlgItem(h, 1022), gui::PBM_SETPOS, pos);
  gui::SetWindowText(gui::GetDlgItem(h, 1024), "60%");
  ASSERT_TRUE(gui::gtk::WaitUntilDrawn(h, 15000));
  gui::Bitmap shot, expected;
  std::string error;
  ASSERT_TRUE(gui::gtk::CaptureClient(h, &shot, &error)) << error;
  ASSERT_TRUE(gui::render::RenderClient(h, &expected, &error)) << error;
  const gui::WindowState barState = StateOf(h);
  const gui::ControlState* bar = Control(barState, 1022);
  ASSERT_NE(bar, nullptr);
  const int y = bar->rect.top + bar->rect.Height() / 2;
  for (int x = bar->rect.left; x < bar->rect.right; ++x)
    ASSERT_EQ(shot.At(x, y) & 0xffffff, expected.At(x, y) & 0xffffff) << "x " << x;
  // 60 percent of the bar is filled now, the rest shows the bar's background.
  EXPECT_NE(shot.At(bar->rect.left + bar->rect.Width() / 2, y) & 0xffffff, 0x80777au);
  EXPECT_EQ(shot.At(bar->rect.left + bar->rect.Width() * 8 / 10, y) & 0xffffff, 0x80777au);
}

TEST_F(GtkDisplay, ClicksKeysMovesAndClosesReachTheDialog) {
  g_dialogRect = ScreenRect{100, 100, 0, 0};
  ModalDialog run(kInstallDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(gui::gtk::WaitUntilDrawn(h, 15000));

  // Dragging the window on the screen moves the dialog and is recorded.
  const gui::WindowState before = StateOf(h);
  const int dx = before.clientRect.left - before.windowRect.left, dy = before.clientRect.top - before.windowRect.top;
  ASSERT_TRUE(gui::gtk::Simulate(h, gui::gtk::UserEvent::kMove, 260 + dx, 180 + dy));
  ScreenRect saved{};
  EXPECT_TRUE(WaitFor([&] {
    saved = DialogRectOf(h);
    return saved.left == 260 && saved.top == 180;
  })) << saved.left << "," << saved.top;
  EXPECT_EQ(StateOf(h).windowRect.left, 260);

  // Escape, the close box and a click on "取消" each ask before quitting; "否" (a click on the box's own
  // GTK window) leaves the dialog open.
  const gui::ControlState* cancel = Control(before, gui::IDCANCEL);
  ASSERT_NE(cancel, nullptr);
  const struct {
    const char* what;
    gui::gtk::UserEvent event;
    int x, y;
  } asks[] = {{"escape", gui::gtk::UserEvent::kEscape, 0, 0},
              {"close box", gui::gtk::UserEvent::kClose, 0, 0},
              {"cancel button", gui::gtk::UserEvent::kClick, cancel->rect.left + 5, cancel->rect.top + 5}};
  for (const auto& a : asks) {
    SCOPED_TRACE(a.what);
    ASSERT_TRUE(gui::gtk::Simulate(h, a.event, a.x, a.y));
    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = FindShown(gui::WindowKind::kMessageBox)) != nullptr; }));
    EXPECT_EQ(StateOf(box).text, "是否退出voda安装？");
    ASSERT_TRUE(gui::gtk::WaitUntilDrawn(box, 15000));
    const gui::WindowState noState = StateOf(box);
    const gui::ControlState* no = Control(noState, gui::IDNO);
    ASSERT_NE(no, nullptr);
    ASSERT_TRUE(gui::gtk::Simulate(box, gui::gtk::UserEvent::kClick, no->rect.left + 3, no->rect.top + 3));
    ASSERT_TRUE(WaitFor([&] { return !gui::IsWindow(box) || !gui::IsWindowVisible(box); }));
    EXPECT_TRUE(gui::IsWindowVisible(h));
  }
}

TEST_F(GtkDisplay, TypingGoesIntoTheClickedField) {
  ModalDialog run(kOptionDialog);
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(gui::gtk::WaitUntilDrawn(h, 15000));
  const HWND field = gui::GetDlgItem(h, 1017);
  gui::SetWindowText(field, "D:\\So");
  const gui::WindowState cState = StateOf(h);
  const gui::ControlState* c = Control(cState, 1017);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(gui::gtk::Simulate(h, gui::gtk::UserEvent::kClick, c->rect.left + 4, c->rect.top + 4));
  for (int ch : {int{'f'}, int{'t'}, 8, int{'t'}, 0x4E2D /* 中 */})
    ASSERT_TRUE(gui::gtk::Simulate(h, gui::gtk::UserEvent::kKey, ch));
  EXPECT_TRUE(WaitFor([&] { return gui::GetWindowText(field) == "D:\\Soft中"; })) << gui::GetWindowText(field);
  // A text the program puts there (the folder browser's choice) is what the next key builds on.
  gui::SetWindowText(field, "E:\\");
  ASSERT_TRUE(gui::gtk::Simulate(h, gui::gtk::UserEvent::kKey, 'x'));
  EXPECT_TRUE(WaitFor([&] { return gui::GetWindowText(field) == "E:\\x"; })) << gui::GetWindowText(field);
}

}  // namespace
