// The scripted user: its language, a script file driving a dialog through VODA_UI_SCRIPT, clear failures,
// and the headless backend ending a process whose dialog waits for nobody.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "gui/controls.h"
#include "gui/dialog.h"
#include "gui_test_util.h"

namespace gui {
namespace {

namespace fs = std::filesystem;

// Each child starts afresh, with no backend chosen yet: the environment decides it.
void FreshChildren() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

// A temporary folder of the test; a death test's child (which runs the test again from its start) finds
// its parent's folder through the environment.
class TempFolder {
 public:
  TempFolder() {
    const char* inherited = std::getenv("VODA_GUI_TEST_FOLDER");
    if (inherited != nullptr) {
      path_ = inherited;
      return;
    }
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("gui-script-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
    setenv("VODA_GUI_TEST_FOLDER", path_.c_str(), 1);
  }
  ~TempFolder() {
    unsetenv("VODA_GUI_TEST_FOLDER");
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name, std::ios::binary) << text;
    return (path_ / name).string();
  }
  fs::path path() const { return path_; }

 private:
  fs::path path_;
};

TEST(ScriptLanguageTest, BadLinesAreRefusedWithTheirNumber) {
  const char* const kPercentages =
      "line 1: wait progress takes two percentages from 0 to 100, the first not above the second";
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"wait dialog 130\nfly 3", "line 2: unknown command \"fly\""},
      {"wait dialog x", "line 1: \"x\" is not a number"},
      {"wait dialog 130 soon", "line 1: \"soon\" is not a time in seconds"},
      {"type 1017 \"D:\\Soft", "line 1: a quoted text has no closing quote"},
      {"tick 1016 maybe", "line 1: tick takes on or off"},
      {"answer perhaps", "line 1: answer takes yes, no, ok or cancel"},
      {"\n\nclick", "line 3: wrong number of arguments for \"click\""},
      {"expect nothing 3", "line 1: unknown command \"expect nothing\""},
      // Numbers that do not fit are refused, not wrapped or cut to another value.
      {"timeout nan", "line 1: \"nan\" is not a time in seconds"},
      {"wait dialog 130 -nan", "line 1: \"-nan\" is not a time in seconds"},
      {"wait dialog 4294967426", "line 1: \"4294967426\" is not a number"},
      {"sleep 99999999999999999999", "line 1: \"99999999999999999999\" is not a number"},
      {"wait progress 1021 60 40", kPercentages},
      {"wait progress 1021 -1 40", kPercentages},
      {"wait progress 1021 40 101", kPercentages},
  };
  for (const Case& c : cases) {
    std::vector<ScriptCommand> commands;
    std::string error;
    EXPECT_FALSE(ParseScript(c.text, &commands, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
  std::vector<ScriptCommand> commands;
  std::string error;
  ASSERT_TRUE(ParseScript("# a comment\n  wait box \"是否退出voda安装？\" 5  # trailing\n\nanswer yes\n",
                          &commands, &error))
      << error;
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].line, 2);
  EXPECT_EQ(commands[0].words, (std::vector<std::string>{"wait", "box", "是否退出voda安装？", "5"}));
}

class OptionsDialog : public CDialog {
 public:
  OptionsDialog() : CDialog(134) {}
  CButton desktop;
  bool desktopFlag = true;
  std::string folder;
  void DoDataExchange(CDataExchange* dx) override { DDX_Control(dx, 1016, desktop); }
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    desktop.SetCheck(BST_CHECKED);
    GetDlgItem(1031)->ShowWindow(SW_HIDE);
    return true;
  }
  bool OnCommand(UINT id, UINT code) override {
    if (id == 1016) desktopFlag = desktop.GetCheck() == BST_CHECKED;
    if (id == 1018) {
      auto chosen = BrowseForFolder(m_hWnd, "选择网银的安装路径:", 0x53);
      if (chosen) GetDlgItem(1017)->SetWindowText(*chosen + "\\Bank");
      return true;
    }
    return CDialog::OnCommand(id, code);
  }
  void OnOK() override {
    folder = GetDlgItem(1017)->GetWindowText();
    CDialog::OnOK();
  }
};

// VODA_UI_SCRIPT drives a dialog in a process of its own, as it drives the program.
TEST(ScriptFileTest, ScriptFileDrivesTheDialogs) {
  FreshChildren();
  TempFolder temp;
  std::string snapshot = (temp.path() / "options.png").string();
  std::string script = temp.Write("user.txt", "timeout 10\n"
                                              "wait dialog 134\n"
                                              "tick 1016 off\n"
                                              "click 1018\n"
                                              "choose \"E:\\\"\n"
                                              "wait dialog 134\n"
                                              "wait text 1017 \"E:\\\\Bank\"\n"
                                              "snapshot \"" + snapshot + "\"\n"
                                              "click 1\n");
  EXPECT_EXIT(
      {
        setenv("VODA_UI", "headless", 1);
        setenv("VODA_UI_SCRIPT", script.c_str(), 1);
        OptionsDialog dialog;
        INT_PTR result = dialog.DoModal();
        bool ok = result == IDOK && !dialog.desktopFlag && dialog.folder == "E:\\\\Bank";
        std::fprintf(stderr, "result %d folder %s\n", static_cast<int>(result), dialog.folder.c_str());
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "dialog 134 .*\\[1016 x 我的桌面\\]");
  std::ifstream png(snapshot, std::ios::binary);
  char signature[8] = {};
  png.read(signature, 8);
  EXPECT_EQ(std::string(signature + 1, 3), "PNG");
}

TEST(ScriptFileTest, AScriptThatTimesOutFailsClearly) {
  FreshChildren();
  TempFolder temp;
  std::string script = temp.Write("late.txt", "wait dialog 134\nwait dialog 135 0.2\n");
  EXPECT_EXIT(
      {
        setenv("VODA_UI", "headless", 1);
        setenv("VODA_UI_SCRIPT", script.c_str(), 1);
        OptionsDialog dialog;
        dialog.DoModal();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(kScriptFailedExitCode),
      "ui-script: .*late.txt:2: timed out after 0.2 s waiting for dialog 135");
  std::string broken = temp.Write("broken.txt", "wait dialog 134\nclick\n");
  EXPECT_EXIT(
      {
        setenv("VODA_UI", "headless", 1);
        setenv("VODA_UI_SCRIPT", broken.c_str(), 1);
        OptionsDialog dialog;
        dialog.DoModal();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(kScriptFailedExitCode), "broken.txt:2: wrong number of arguments");
}

TEST(ScriptedUserTest, FailuresSayWhatWasMissing) {
  gui::testing::UseQuietHeadlessBackend();
  struct Case {
    const char* script;
    const char* error;
  };
  const Case cases[] = {
      {"click 1", "s:1: no window to act on"},
      {"wait dialog 134\nclick 1031", "s:2: timed out after 0.2 s: control 1031 of dialog 134 is hidden or disabled"},
      {"wait dialog 134\nclick 4242", "s:2: timed out after 0.2 s: dialog 134 has no control 4242"},
      {"wait dialog 134\nwait text 1013 \"x\"",
       "s:2: timed out after 0.2 s waiting for control 1013 of dialog 134 to read \"x\" (it reads \"Static\")"},
      {"wait dialog 134\nanswer yes", "s:2: timed out after 0.2 s waiting for a message box"},
      {"wait dialog 134\nexpect checked 1015", "s:2: control 1015 of dialog 134 is not checked"},
      {"wait dialog 134\nmenu 16", "s:2: the system menu of dialog 134 has no item 16"},
      {"wait dialog 134\nwait progress 1017 40 60", "s:2: control 1017 of dialog 134 is not a progress bar"},
      {"wait box \"是否退出voda安装？\"", "s:1: timed out after 0.2 s waiting for the message box \"是否退出voda安装？\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    OptionsDialog dialog;
    std::string error;
    std::thread person([&] {
      std::vector<ScriptCommand> commands;
      std::string parseError;
      ASSERT_TRUE(ParseScript(std::string("timeout 0.2\n") + c.script, &commands, &parseError));
      for (auto& command : commands) command.line -= 1;  // number the lines of the case itself
      ScriptedUser user("s");
      EXPECT_FALSE(user.Run(commands, &error));
      std::vector<ScriptCommand> out;
      ParseScript("wait dialog 134\nescape", &out, &parseError);
      std::string ignored;
      user.Run(out, &ignored);
    });
    dialog.DoModal();
    person.join();
    EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error);
  }
}

// The progress dialog's bars; another thread moves the file bar as a download does.
class ProgressDialog : public CDialog {
 public:
  ProgressDialog() : CDialog(135) {}
  std::atomic<HWND> fileBar{nullptr};
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    fileBar = GetDlgItem(1021)->GetSafeHwnd();
    return true;
  }
};

// The moment a download is halfway: the bar of the file before (full, in its own range) and the new file's
// first third do not count; a bar that never gets there fails with where it stands.
TEST(ScriptedUserTest, WaitProgressCatchesTheBarPartlyFull) {
  gui::testing::UseQuietHeadlessBackend();
  ProgressDialog dialog;
  std::thread download([&] {
    for (int i = 0; i < 500 && dialog.fileBar.load() == nullptr; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const HWND bar = dialog.fileBar.load();
    if (bar == nullptr) return;
    SendMessage(bar, PBM_SETRANGE32, 0, 3000);
    SendMessage(bar, PBM_SETPOS, 3000);
    for (int pos : {0, 2000, 3000}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      SendMessage(bar, PBM_SETPOS, static_cast<WPARAM>(pos));
      SendMessage(bar, PBM_SETRANGE32, 0, 6000);
    }
  });
  std::string halfway, full;
  bool caught = false, filled = true;
  std::thread person([&] {
    std::vector<ScriptCommand> commands;
    std::string error;
    ScriptedUser user("s");
    ASSERT_TRUE(ParseScript("timeout 5\nwait dialog 135\nwait progress 1021 40 60\n"
                            "expect range 1021 0 6000\nexpect pos 1021 3000\n", &commands, &error));
    caught = user.Run(commands, &halfway);
    ASSERT_TRUE(ParseScript("wait progress 1021 90 100 0.2\n", &commands, &error));
    filled = user.Run(commands, &full);
    ASSERT_TRUE(ParseScript("escape\n", &commands, &error));
    user.Run(commands, &error);
  });
  dialog.DoModal();
  person.join();
  download.join();
  EXPECT_TRUE(caught) << halfway;
  EXPECT_FALSE(filled);
  EXPECT_EQ(full, "s:1: timed out after 0.2 s waiting for control 1021 of dialog 135 to be 90% to 100% full "
                  "(it is at 3000 of 0 to 6000)");
}

// Nobody answers and nothing changes: the process reports the waiting dialog and ends with code 0.
TEST(HeadlessBackendTest, ADialogWaitingForNobodyEndsTheProcess) {
  FreshChildren();
  EXPECT_EXIT(
      {
        setenv("VODA_UI", "headless", 1);
        unsetenv("VODA_UI_SCRIPT");
        setenv("VODA_UI_IDLE_SECONDS", "0.3", 1);
        if (std::freopen("/dev/null", "r", stdin) == nullptr) std::_Exit(2);
        CDialog dialog(132);
        dialog.DoModal();
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(0), "dialog 132 is waiting for a person and nobody is there to answer");
}

// A person at the terminal answers there: a button's number clicks it, "n" answers a message box.
TEST(HeadlessBackendTest, APersonAnswersAtTheTerminal) {
  FreshChildren();
  EXPECT_EXIT(
      {
        int fds[2];
        if (pipe(fds) != 0 || dup2(fds[0], 0) < 0) std::_Exit(2);
        HeadlessOptions options;
        options.interactive = true;
        InstallBackend(CreateHeadlessBackend(options));
        class Asking : public CDialog {
         public:
          Asking() : CDialog(132) {}
          int answer = 0;
          void OnOK() override {
            answer = MessageBox("是否退出voda安装？", "Downloader", MB_YESNO);
            CDialog::OnOK();
          }
        } dialog;
        std::thread person([&] {
          auto typeWhenShown = [&](WindowKind kind, const char* line) {
            for (int i = 0; i < 1000; ++i) {
              for (HWND h : TopLevelWindows()) {
                WindowState s;
                if (GetWindowState(h, &s) && s.visible && s.enabled && s.kind == kind) {
                  if (write(fds[1], line, std::strlen(line)) < 0) std::_Exit(2);
                  return;
                }
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::_Exit(4);
          };
          typeWhenShown(WindowKind::kDialog, "1\n");
          typeWhenShown(WindowKind::kMessageBox, "n\n");
        });
        INT_PTR result = dialog.DoModal();
        person.join();
        std::_Exit(result == IDOK && dialog.answer == IDNO ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "message box \"Downloader\": \"是否退出voda安装？\"");
}

// Changes keep an unattended process alive: only a dialog on which nothing happens counts as waiting.
TEST(HeadlessBackendTest, ChangesKeepTheWatchQuiet) {
  std::atomic<int> reports{0};
  HeadlessOptions options;
  options.echo = false;
  options.idleMs = 300;
  options.onIdle = [&](const std::string&) { ++reports; };
  InstallBackend(CreateHeadlessBackend(options));
  class Busy : public CDialog {
   public:
    Busy() : CDialog(135) {}
    int ticks = 0;
    bool OnInitDialog() override {
      CDialog::OnInitDialog();
      SetTimer(1, 50);
      return true;
    }
    void OnTimer(UINT_PTR) override {
      GetDlgItem(1023)->SetWindowText(std::to_string(++ticks) + "%");
      if (ticks == 20) EndDialog(IDOK);  // a second of steady progress
    }
  } busy;
  EXPECT_EQ(busy.DoModal(), IDOK);
  EXPECT_EQ(reports.load(), 0);

  CDialog idle(139);
  std::thread closer([&] {
    for (int i = 0; i < 200 && reports.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    gui::testing::CancelEverything();
  });
  idle.DoModal();
  closer.join();
  EXPECT_GE(reports.load(), 1);
  InstallBackend(nullptr);
}

}  // namespace
}  // namespace gui
