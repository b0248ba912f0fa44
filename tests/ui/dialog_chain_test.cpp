// The install, options and update dialogs on a real machine: what they show, the folder rules of
// "下一步", the option flags, the folder browser, the browser question with a real browser process, the
// chain into the progress dialog and the ways out.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/dispatcher.h"
#include "app/globals.h"
#include "gui/message_box.h"
#include "platform/platform.h"
#include "platform/posix/prefix.h"
#include "platform/process.h"
#include "standins/journal.h"
#include "ui/install_dlg.h"
#include "ui/option_dlg.h"
#include "ui/update_dlg.h"
#include "ui_support.h"

namespace {

namespace fs = std::filesystem;
using gui::HWND;
using platform::DriveType;
using namespace ui_test;

// Runs a dialog of type T modally on a thread of its own; the test ends it if the dialog does not.
template <typename T>
class Modal {
 public:
  Modal() : dialog_(std::make_unique<T>()) {
    thread_ = std::thread([this] { result_ = dialog_->DoModal(); });
  }
  ~Modal() { End(); }
  Modal(const Modal&) = delete;
  Modal& operator=(const Modal&) = delete;

  HWND WaitShown() {
    HWND shown = nullptr;
    WaitFor([&] { return (shown = ShownWindowOf(dialog_.get())) != nullptr; });
    return shown;
  }
  // Waits (bounded) until DoModal has returned; its result, or -2 when it did not return in time.
  gui::INT_PTR WaitResult() {
    if (!WaitFor([&] { return done_(); })) return -2;
    thread_.join();
    return result_;
  }
  T& dialog() { return *dialog_; }

 private:
  bool done_() const { return result_ != -2; }
  void End() {
    if (!thread_.joinable()) return;
    // Nested dialogs of the chain end first, so that this dialog's handler can return.
    for (int round = 0; round < 20 && !done_(); ++round) {
      for (HWND h : gui::TopLevelWindows())
        if (gui::CDialog* d = dynamic_cast<gui::CDialog*>(gui::CWnd::FromHandle(h))) d->EndDialog(gui::IDCANCEL);
      WaitFor([&] { return done_(); }, 200);
    }
    thread_.join();
  }

  std::unique_ptr<T> dialog_;
  std::thread thread_;
  std::atomic<gui::INT_PTR> result_{-2};
};

// What the progress dialog would have found when it was opened.
struct ProgressRun {
  RunMode mode;
  std::string installDir;
  bool desktop, startMenu, quickLaunch, autoStart;
  std::vector<gui::UINT> shownDialogs;  // templates of the shown dialogs at that moment
};

// Stands in for the progress dialog: records the run and returns, as a cancelled progress dialog does.
class ProgressRecorder final : public UpdateDialogs {
 public:
  void RunProgressDialog(RunMode mode) override {
    ProgressRun run{mode, g_install.installDir, g_createDesktopShortcut, g_createStartMenuShortcuts,
                    g_createQuickLaunchShortcut, g_addAutoStart, {}};
    for (HWND h : gui::TopLevelWindows()) {
      const gui::WindowState s = StateOf(h);
      if (s.visible && s.kind == gui::WindowKind::kDialog) run.shownDialogs.push_back(s.templateId);
    }
    std::lock_guard<std::mutex> lock(mu_);
    runs_.push_back(run);
  }
  void RunUpdateDialog(CDownloaderApp&) override {}

  std::vector<ProgressRun> Runs() {
    std::lock_guard<std::mutex> lock(mu_);
    return runs_;
  }

 private:
  std::mutex mu_;
  std::vector<ProgressRun> runs_;
};

// A machine with a drive of every kind: D: removable, E: CD-ROM, F: network, G: RAM disk, H: unknown.
std::string MachineWithEveryDrive() {
  platform::posix::Machine m = platform::posix::DefaultMachine("user");
  m.drives.push_back({'D', DriveType::kRemovable, "drive_d"});
  m.drives.push_back({'E', DriveType::kCdRom, "drive_e"});
  m.drives.push_back({'F', DriveType::kRemote, "drive_f"});
  m.drives.push_back({'G', DriveType::kRamDisk, "drive_g"});
  m.drives.push_back({'H', DriveType::kUnknown, "drive_h"});
  return platform::posix::FormatMachineIni(m);
}

class DialogChain : public ::testing::Test {
 protected:
  DialogChain() : machine_(MachineWithEveryDrive()) {}

  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    for (const char* d : {"drive_d", "drive_e", "drive_f", "drive_g", "drive_h"})
      fs::create_directories(machine_.root() + "/" + d);
    machine_.Install();
    g_server = ServerEndpoint();
    FillBankProfile(0x861, g_bankProfile, g_server);
    g_install = InstallState();
    g_dialogRect = ScreenRect();
    // As start-up leaves them.
    g_createDesktopShortcut = g_createStartMenuShortcuts = g_createQuickLaunchShortcut = true;
    g_addAutoStart = false;
    gui::InstallBackend(std::make_unique<QuietBackend>());
    BindProgramDialogs(&progress_, nullptr);
  }
  void TearDown() override {
    BindProgramDialogs(nullptr, nullptr);
    gui::InstallBackend(nullptr);
  }

  // The shown message box (or folder browser) once it is there; nullptr after the time-out.
  static HWND WaitForWindow(gui::WindowKind kind) {
    HWND found = nullptr;
    ui_test::WaitFor([&] { return (found = FindShown(kind)) != nullptr; });
    return found;
  }
  static HWND WaitForDialog(gui::UINT templateId) {
    HWND found = nullptr;
    ui_test::WaitFor([&] { return (found = FindShown(gui::WindowKind::kDialog, templateId)) != nullptr; });
    return found;
  }
  static bool Answer(HWND box, int button) {
    return box && gui::input::Click(gui::GetDlgItem(box, button)) &&
           ui_test::WaitFor([&] { return !gui::IsWindow(box); });
  }
  static std::string Text(HWND dialog, int id) { return gui::GetWindowText(gui::GetDlgItem(dialog, id)); }
  static int Check(HWND dialog, int id) {
    const gui::WindowState cState = StateOf(dialog);
    const gui::ControlState* c = Control(cState, id);
    return c ? c->check : -1;
  }
  // Clicks a check box and waits (bounded) until the dialog has handled the click.
  static void ClickBox(HWND dialog, int id) {
    const int before = Check(dialog, id);
    ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(dialog, id)));
    ASSERT_TRUE(ui_test::WaitFor([&] { return Check(dialog, id) != before; }));
    Settle(dialog);
  }
  // Lets the dialog's thread handle the input queued so far (a sent message may overtake queued input,
  // so a short pause follows), before a check that nothing has changed.
  static void Settle(HWND dialog) {
    gui::LRESULT ignored = 0;
    (void)gui::SendMessageTimeout(dialog, gui::WM_NULL, 0, 0, 10000, &ignored);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    (void)gui::SendMessageTimeout(dialog, gui::WM_NULL, 0, 0, 10000, &ignored);
  }

  bool Exists(const std::string& windowsPath) { return platform::Current().Files().IsFolder(windowsPath); }

  // Starts the stand-in as a browser and waits until it runs; returns its handle.
  std::unique_ptr<platform::ProcessHandle> StartBrowser() {
    const std::string windowsPath = "C:\\Program Files\\Internet Explorer\\iexplore.exe";
    const std::string host = machine_.HostPath(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    fs::copy_file(std::string(VODA_BIN_DIR) + "/standin", host, fs::copy_options::overwrite_existing);
    std::unique_ptr<platform::ProcessHandle> handle;
    platform::StartRequest request;
    request.file = windowsPath;
    EXPECT_TRUE(platform::Current().Procs().StartWithHandle(request, &handle).ok());
    if (!handle) return handle;
    const auto id = static_cast<int>(handle->Id());
    EXPECT_TRUE(ui_test::WaitFor([&] {
      for (const auto& e : standins::ReadJournal(machine_.root()))
        if (e.event == "start" && e.pid == id) return true;
      return false;
    }));
    return handle;
  }
  static bool Ended(platform::ProcessHandle& browser) { return browser.Wait(10000).ok(); }

  voda_test::TempPrefix machine_;
  ProgressRecorder progress_;
};

// --- The options dialog ---------------------------------------------------------------------------------

TEST_F(DialogChain, OptionsOpenWithTheShortcutLabelTickedBoxesAndTheDefaultFolder) {
  g_dialogRect = ScreenRect{140, 120, 0, 0};
  Modal<COptionDlg> run;
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  const gui::WindowState s = StateOf(h);

  EXPECT_EQ(s.title, g_bankProfile.downloaderTitle);
  EXPECT_EQ(Text(h, kOptionShortcutLabelId), "创建" + g_bankProfile.productName + "的快捷方式在：");
  // The 32-bit program files folder of a 64-bit machine.
  EXPECT_EQ(Text(h, kOptionFolderEditId), "C:\\Program Files (x86)\\" + g_bankProfile.productFolder);
  for (int id : {kOptionQuickLaunchId, kOptionStartMenuId, kOptionDesktopId, kOptionAutoStartId}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Check(h, id), gui::BST_CHECKED);
    const bool hidden = id == kOptionQuickLaunchId || id == kOptionAutoStartId;
    EXPECT_EQ(Control(s, id)->visible, !hidden);
  }
  EXPECT_TRUE(g_addAutoStart);
  EXPECT_TRUE(g_createDesktopShortcut && g_createStartMenuShortcuts && g_createQuickLaunchShortcut);

  EXPECT_EQ(s.windowRect.left, 140);
  EXPECT_EQ(s.windowRect.top, 120);
  gui::BITMAP picture;
  ASSERT_NE(run.dialog().m_bmpBackground.GetBitmap(&picture), 0);
  EXPECT_EQ(picture.bmWidth, 600);
  EXPECT_TRUE(run.dialog().m_hIcon);
}

TEST_F(DialogChain, NextChecksTheFolderItsDriveAndCreatesIt) {
  ASSERT_TRUE(platform::Current().Files().WriteFile("C:\\blocker", "a file where a folder should go").ok());
  const struct {
    const char* typed;
    const char* installDir;  // nullptr: "路径不合法", the dialog stays
  } cases[] = {
      {"", nullptr},                   // no drive part at all
      {"Bank", nullptr},               // no drive: names no root directory
      {"\\Soft\\Bank", nullptr},       // empty first piece
      {"Q:\\Bank", nullptr},           // a letter this machine lacks
      {"D:\\Bank", nullptr},           // removable
      {"E:\\Bank", nullptr},           // CD-ROM
      {"C:\\blocker\\Bank", nullptr},  // the folder cannot be created
      {"F:\\Bank", "F:\\Bank"},        // network drive
      {"G:\\Bank", "G:\\Bank"},        // RAM disk
      {"H:\\Bank", "H:\\Bank"},        // unknown type
      {"C:\\", "C:\\"},                // the root itself
      {"C:\\Soft\\\\Bank", "C:\\Soft\\Bank"},
      {"C:\\\\Soft\\\\\\\\Deep\\Bank", "C:\\Soft\\\\Deep\\Bank"},  // one pass over pairs
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("typed \"") + c.typed + "\"");
    g_install.installDir = "before";
    const size_t runsBefore = progress_.Runs().size();
    Modal<COptionDlg> run;
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(gui::input::TypeText(gui::GetDlgItem(h, kOptionFolderEditId), c.typed));
    ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, gui::IDOK)));

    if (c.installDir == nullptr) {
      const HWND box = WaitForWindow(gui::WindowKind::kMessageBox);
      ASSERT_NE(box, nullptr);
      const gui::WindowState question = StateOf(box);
      EXPECT_EQ(question.text, kInvalidFolderText);
      EXPECT_EQ(question.title, g_bankProfile.downloaderTitle);
      EXPECT_EQ(question.type & gui::MB_TYPEMASK, gui::MB_OK);
      EXPECT_FALSE(StateOf(h).enabled) << "owned by the options dialog";
      ASSERT_TRUE(Answer(box, gui::IDOK));
      EXPECT_TRUE(gui::IsWindowVisible(h));
      EXPECT_EQ(Text(h, kOptionFolderEditId), c.typed);
      EXPECT_EQ(g_install.installDir, "before");
      EXPECT_EQ(progress_.Runs().size(), runsBefore);
      EXPECT_FALSE(Exists("C:\\blocker\\Bank"));
    } else {
      EXPECT_EQ(run.WaitResult(), gui::IDCANCEL);
      ASSERT_EQ(progress_.Runs().size(), runsBefore + 1);
      const ProgressRun last = progress_.Runs().back();
      EXPECT_EQ(last.mode, ModeInstall);
      EXPECT_EQ(last.installDir, c.installDir);
      EXPECT_TRUE(last.shownDialogs.empty()) << "the options dialog hides itself first";
      EXPECT_TRUE(Exists(c.installDir));
    }
  }
  // A USB stick is refused before anything is created on it.
  EXPECT_FALSE(Exists("D:\\Bank"));
}

TEST(CollapseDoubledBackslashes, TakesPairsLeftToRightOnce) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"", ""},
               {"C:\\Soft\\Bank", "C:\\Soft\\Bank"},
               {"D:\\\\Bank", "D:\\Bank"},
               {"C:\\\\\\Soft", "C:\\\\Soft"},
               {"C:\\\\\\\\Soft\\\\", "C:\\\\Soft\\"},
               {"\\\\", "\\"}};
  for (const auto& c : cases) EXPECT_EQ(CollapseDoubledBackslashes(c.in), c.out) << c.in;
}

TEST_F(DialogChain, FolderBrowserFillsTheFieldWithTheChoiceAndTheProductFolder) {
  Modal<COptionDlg> run;
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  const std::string product = g_bankProfile.productFolder;
  const struct {
    const char* choice;  // nullptr: the user cancels
    std::string field;
  } cases[] = {
      {"D:\\Soft", "D:\\Soft\\" + product},
      {nullptr, "D:\\Soft\\" + product},  // unchanged
      {"", "\\" + product},               // an item without a file-system path
      {"C:\\", "C:\\\\" + product},       // a drive's root keeps its own backslash
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.choice ? c.choice : "(cancelled)");
    ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, kOptionBrowseId)));
    const HWND browser = WaitForWindow(gui::WindowKind::kFolderBrowser);
    ASSERT_NE(browser, nullptr);
    EXPECT_EQ(StateOf(browser).text, kFolderBrowserTitle);
    EXPECT_EQ(StateOf(browser).type, 0x53u);
    if (c.choice) {
      ASSERT_TRUE(gui::input::TypeText(gui::GetDlgItem(browser, gui::kFolderBrowserEditId), c.choice));
      ASSERT_TRUE(Answer(browser, gui::IDOK));
    } else {
      ASSERT_TRUE(Answer(browser, gui::IDCANCEL));
    }
    Settle(h);
    EXPECT_EQ(Text(h, kOptionFolderEditId), c.field);
  }
  // The drive root's doubled backslash is reduced to one on "下一步".
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, gui::IDOK)));
  EXPECT_EQ(run.WaitResult(), gui::IDCANCEL);
  ASSERT_EQ(progress_.Runs().size(), 1u);
  EXPECT_EQ(progress_.Runs()[0].installDir, "C:\\" + product);
  EXPECT_TRUE(Exists("C:\\" + product));
}

TEST_F(DialogChain, BoxesSetTheirFlagsAndBackAndForthKeepsTheChoice) {
  g_dialogRect = ScreenRect{200, 150, 0, 0};
  Modal<COptionDlg> run;
  HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);

  ClickBox(h, kOptionDesktopId);
  EXPECT_FALSE(g_createDesktopShortcut);
  ClickBox(h, kOptionStartMenuId);
  EXPECT_FALSE(g_createStartMenuShortcuts);
  ClickBox(h, kOptionStartMenuId);
  EXPECT_TRUE(g_createStartMenuShortcuts);
  // The hidden boxes take no clicks.
  EXPECT_FALSE(gui::input::Click(gui::GetDlgItem(h, kOptionQuickLaunchId)));

  // "后退": a new install dialog in the same place, then "安装": a new options dialog.
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, kOptionBackId)));
  const HWND install = WaitForDialog(CInstallDlg::IDD);
  ASSERT_NE(install, nullptr);
  EXPECT_FALSE(gui::IsWindowVisible(h));
  EXPECT_EQ(StateOf(install).windowRect.left, 200);
  EXPECT_EQ(StateOf(install).windowRect.top, 150);
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(install, gui::IDOK)));
  HWND again = nullptr;
  ASSERT_TRUE(ui_test::WaitFor([&] {
    again = FindShown(gui::WindowKind::kDialog, COptionDlg::IDD);
    return again != nullptr && again != h;
  }));
  EXPECT_FALSE(gui::IsWindowVisible(install));

  // The new dialog shows the choice made before, and the flags still hold it.
  EXPECT_EQ(Check(again, kOptionDesktopId), gui::BST_UNCHECKED);
  EXPECT_EQ(Check(again, kOptionStartMenuId), gui::BST_CHECKED);
  EXPECT_FALSE(g_createDesktopShortcut);

  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(again, gui::IDOK)));
  // The whole chain unwinds once the progress dialog returns.
  EXPECT_EQ(run.WaitResult(), gui::IDCANCEL);
  ASSERT_EQ(progress_.Runs().size(), 1u);
  const ProgressRun r = progress_.Runs()[0];
  EXPECT_FALSE(r.desktop);
  EXPECT_TRUE(r.startMenu);
  EXPECT_TRUE(r.quickLaunch);
  EXPECT_TRUE(r.autoStart);
  EXPECT_FALSE(gui::IsWindow(install));
  EXPECT_FALSE(gui::IsWindow(again));
}

TEST_F(DialogChain, NextAsksToCloseARunningBrowserFirst) {
  auto browser = StartBrowser();
  ASSERT_TRUE(browser);
  Modal<COptionDlg> run;
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(gui::input::TypeText(gui::GetDlgItem(h, kOptionFolderEditId), "C:\\Soft\\Bank"));

  // No: the folder is neither examined nor created, the dialog stays, the browser runs on.
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, gui::IDOK)));
  HWND box = WaitForWindow(gui::WindowKind::kMessageBox);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(StateOf(box).text, kBrowserQuestion);
  EXPECT_EQ(StateOf(box).title, g_bankProfile.downloaderTitle);
  EXPECT_EQ(StateOf(box).type & gui::MB_TYPEMASK, gui::MB_YESNO);
  EXPECT_FALSE(StateOf(h).enabled) << "owned by the options dialog";
  ASSERT_TRUE(Answer(box, gui::IDNO));
  Settle(h);
  EXPECT_TRUE(gui::IsWindowVisible(h));
  EXPECT_FALSE(Exists("C:\\Soft"));
  EXPECT_TRUE(progress_.Runs().empty());
  EXPECT_FALSE(browser->Wait(0).ok()) << "still running";

  // Yes: that browser is ended and the installation goes on.
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, gui::IDOK)));
  box = WaitForWindow(gui::WindowKind::kMessageBox);
  ASSERT_TRUE(Answer(box, gui::IDYES));
  EXPECT_EQ(run.WaitResult(), gui::IDCANCEL);
  EXPECT_TRUE(Ended(*browser));
  ASSERT_EQ(progress_.Runs().size(), 1u);
  EXPECT_EQ(progress_.Runs()[0].installDir, "C:\\Soft\\Bank");
}

// --- The install dialog ---------------------------------------------------------------------------------

TEST_F(DialogChain, InstallOpensTheOptionsWhereTheUserLeftTheWelcomePage) {
  g_dialogRect = ScreenRect{30, 40, 0, 0};
  Modal<CInstallDlg> run;
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(StateOf(h).windowRect.left, 30);
  EXPECT_EQ(StateOf(h).windowRect.top, 40);
  EXPECT_EQ(StateOf(h).title, g_bankProfile.downloaderTitle);
  gui::BITMAP picture;
  ASSERT_NE(run.dialog().m_bmpBackground.GetBitmap(&picture), 0);
  EXPECT_EQ(picture.bmWidth, 588);

  ASSERT_TRUE(gui::input::DragTo(h, 310, 220));
  Settle(h);
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, gui::IDOK)));
  const HWND options = WaitForDialog(COptionDlg::IDD);
  ASSERT_NE(options, nullptr);
  EXPECT_FALSE(gui::IsWindowVisible(h));
  EXPECT_EQ(StateOf(options).windowRect.left, 310);
  EXPECT_EQ(StateOf(options).windowRect.top, 220);

  // Whatever ends the options dialog ends the install dialog with the cancel result.
  dynamic_cast<gui::CDialog*>(gui::CWnd::FromHandle(options))->EndDialog(gui::IDOK);
  EXPECT_EQ(run.WaitResult(), gui::IDCANCEL);
}

TEST_F(DialogChain, CancelAnsweredNoLeavesEachDialogOpen) {
  // The cancel button, Escape and the close box all ask; the question has no owner.
  const struct {
    const char* how;
    bool (*press)(HWND);
  } ways[] = {
      {"button", [](HWND h) { return gui::input::Click(gui::GetDlgItem(h, gui::IDCANCEL)); }},
      {"escape", gui::input::PressEscape},
      {"close box", gui::input::CloseBox},
  };
  auto askAndRefuse = [&](HWND h) {
    for (const auto& way : ways) {
      SCOPED_TRACE(way.how);
      ASSERT_TRUE(way.press(h));
      const HWND box = WaitForWindow(gui::WindowKind::kMessageBox);
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(StateOf(box).text, "是否退出voda安装？");
      EXPECT_TRUE(StateOf(box).topmost);
      EXPECT_TRUE(StateOf(h).enabled) << "the question has no owner";
      ASSERT_TRUE(Answer(box, gui::IDNO));
      Settle(h);
      EXPECT_TRUE(gui::IsWindowVisible(h));
    }
  };
  {
    Modal<CInstallDlg> install;
    const HWND h = install.WaitShown();
    ASSERT_NE(h, nullptr);
    askAndRefuse(h);
  }
  {
    Modal<COptionDlg> options;
    const HWND h = options.WaitShown();
    ASSERT_NE(h, nullptr);
    askAndRefuse(h);
    EXPECT_TRUE(progress_.Runs().empty());
  }
}

TEST_F(DialogChain, CancelAnsweredYesEndsTheProcessWithCodeZero) {
  EXPECT_EXIT(
      {
        Modal<COptionDlg> run;
        const HWND h = run.WaitShown();
        if (h && gui::input::Click(gui::GetDlgItem(h, gui::IDCANCEL))) {
          if (const HWND box = WaitForWindow(gui::WindowKind::kMessageBox))
            gui::input::Click(gui::GetDlgItem(box, gui::IDYES));
        }
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

// --- The update dialog ----------------------------------------------------------------------------------

TEST_F(DialogChain, UpdateDialogOpensCentredByItsWindowAndRecordsMoves) {
  g_dialogRect = ScreenRect{5, 5, 0, 0};
  Modal<CUpdateDlg> run;
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  const gui::WindowState s = StateOf(h);
  const int screenW = gui::GetSystemMetrics(gui::SM_CXSCREEN), screenH = gui::GetSystemMetrics(gui::SM_CYSCREEN);
  EXPECT_EQ(s.windowRect.left, screenW / 2 - s.windowRect.Width() / 2);
  EXPECT_EQ(s.windowRect.top, screenH / 2 - s.windowRect.Height() / 2);
  EXPECT_EQ(s.title, g_bankProfile.downloaderTitle);
  EXPECT_FALSE(s.style & gui::WS_MINIMIZEBOX);
  EXPECT_TRUE(s.bigIcon);
  EXPECT_FALSE(run.dialog().m_hIcon) << "the icon is set on the window only";
  gui::BITMAP picture;
  ASSERT_NE(run.dialog().m_bmpBackground.GetBitmap(&picture), 0);
  EXPECT_EQ(picture.bmWidth, 420);
  // Its placement is recorded as a completed move.
  EXPECT_EQ(g_dialogRect.left, s.windowRect.left);
  EXPECT_EQ(g_dialogRect.bottom, s.windowRect.bottom);

  ASSERT_TRUE(gui::input::DragTo(h, 77, 88));
  Settle(h);
  EXPECT_EQ(g_dialogRect.left, 77);
  EXPECT_EQ(g_dialogRect.top, 88);
}

TEST_F(DialogChain, UpdateDialogCancelEndsAtOnceWithoutAQuestion) {
  for (bool (*press)(HWND) : {+[](HWND h) { return gui::input::Click(gui::GetDlgItem(h, gui::IDCANCEL)); },
                              +[](HWND h) { return gui::input::PressEscape(h); },
                              +[](HWND h) { return gui::input::CloseBox(h); }}) {
    Modal<CUpdateDlg> run;
    const HWND h = run.WaitShown();
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(press(h));
    EXPECT_EQ(run.WaitResult(), gui::IDCANCEL);
    EXPECT_EQ(FindShown(gui::WindowKind::kMessageBox), nullptr);
  }
  EXPECT_TRUE(progress_.Runs().empty());
}

TEST_F(DialogChain, UpdateDialogAcceptRunsTheUpdateAndEnds) {
  Modal<CUpdateDlg> run;
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, gui::IDOK)));
  EXPECT_EQ(run.WaitResult(), gui::IDCANCEL);
  ASSERT_EQ(progress_.Runs().size(), 1u);
  EXPECT_EQ(progress_.Runs()[0].mode, ModeUpdate);
  EXPECT_TRUE(progress_.Runs()[0].shownDialogs.empty()) << "hidden while the update runs";
}

TEST_F(DialogChain, UpdateDialogAsksUnderTheProductNameEachTimeABrowserRuns) {
  auto browser = StartBrowser();
  ASSERT_TRUE(browser);
  Modal<CUpdateDlg> run;
  const HWND h = run.WaitShown();
  ASSERT_NE(h, nullptr);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, gui::IDOK)));
    const HWND box = WaitForWindow(gui::WindowKind::kMessageBox);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(StateOf(box).text, kBrowserQuestion);
    EXPECT_EQ(StateOf(box).title, g_bankProfile.productName);
    EXPECT_FALSE(StateOf(h).enabled) << "owned by the update dialog";
    ASSERT_TRUE(Answer(box, gui::IDNO));
    Settle(h);
    EXPECT_TRUE(gui::IsWindowVisible(h));
  }
  EXPECT_TRUE(progress_.Runs().empty());
  EXPECT_FALSE(browser->Wait(0).ok()) << "still running";

  ASSERT_TRUE(gui::input::Click(gui::GetDlgItem(h, gui::IDOK)));
  ASSERT_TRUE(Answer(WaitForWindow(gui::WindowKind::kMessageBox), gui::IDYES));
  EXPECT_EQ(run.WaitResult(), gui::IDCANCEL);
  EXPECT_TRUE(Ended(*browser));
  ASSERT_EQ(progress_.Runs().size(), 1u);
  EXPECT_EQ(progress_.Runs()[0].mode, ModeUpdate);
}

}  // namespace
