// The dialog framework's threading and window behaviour: modal loops on any thread, nested loops,
// cross-thread SendMessage, timers, message boxes that keep pumping, broadcasts, placement and moves,
// controls, the folder browser.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "gui/controls.h"
#include "gui/dialog.h"
#include "gui_test_util.h"

namespace gui {
namespace {

using gui::testing::ScriptThread;
using std::chrono::milliseconds;

class FrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override { gui::testing::UseQuietHeadlessBackend(); }
};

// A label that records on which thread its text changes are handled.
class RecordingStatic : public CStatic {
 public:
  std::atomic<int> setTexts{0};
  std::thread::id handledOn;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_SETTEXT) {
      handledOn = std::this_thread::get_id();
      ++setTexts;
      if (onSetText) onSetText();
    }
    return CStatic::WindowProc(message, wParam, lParam);
  }
  std::function<void()> onSetText;
};

class OptionsLike : public CDialog {
 public:
  OptionsLike() : CDialog(134) {}
};

// Runs a nested dialog from its "install" button, as the install dialog opens the options dialog.
class InstallLike : public CDialog {
 public:
  InstallLike() : CDialog(132) {}
  std::thread::id clickedOn;
  INT_PTR nestedResult = -2;
  std::function<void()> beforeNested;

  bool OnCommand(UINT id, UINT code) override {
    if (id == 1 && code == BN_CLICKED) {
      clickedOn = std::this_thread::get_id();
      if (beforeNested) beforeNested();
      ShowWindow(SW_HIDE);
      OptionsLike nested;
      nestedResult = nested.DoModal();
      EndDialog(IDOK);
      return true;
    }
    return CDialog::OnCommand(id, code);
  }
};

// The version query's pattern: its worker thread hides it, runs the next dialog modally and then ends it.
class QueryLike : public CDialog {
 public:
  QueryLike() : CDialog(130) {}
  RecordingStatic status;
  std::thread worker;
  std::thread::id workerId;
  INT_PTR innerResult = -2;
  std::thread::id innerClickedOn;

  void DoDataExchange(CDataExchange* dx) override { DDX_Control(dx, 1029, status); }
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    worker = std::thread([this] {
      ShowWindow(SW_HIDE);
      InstallLike inner;
      // While the worker's dialog runs, the main thread's loop still serves the hidden dialog.
      inner.beforeNested = [this] { status.SetWindowText("从工作线程"); };
      innerResult = inner.DoModal();
      innerClickedOn = inner.clickedOn;
      EndDialog(0);
    });
    workerId = worker.get_id();
    return true;
  }
};

TEST_F(FrameworkTest, ModalDialogOnWorkerThreadWhileMainLoopIsOpenAndNestedLoops) {
  ScriptThread user(R"(
    wait dialog 132
    click 1
    wait dialog 134
    escape
  )");
  QueryLike query;
  EXPECT_EQ(query.DoModal(), 0);  // ended from the worker thread
  query.worker.join();
  EXPECT_TRUE(user.Finish());
  EXPECT_EQ(query.innerResult, IDOK);
  EXPECT_EQ(query.innerClickedOn, query.workerId);  // the worker's dialog is handled on the worker
  EXPECT_EQ(query.status.setTexts.load(), 1);
  EXPECT_EQ(query.status.handledOn, std::this_thread::get_id());  // the main thread's dialog on main
  EXPECT_FALSE(IsWindow(query.m_hWnd));
  EXPECT_TRUE(TopLevelWindows().empty());
}

// Two threads, each owning a dialog, send to each other's windows from inside a handler: the waiting
// sender handles the message sent back to it, so neither blocks.
class ButtonProbe : public CButton {
 public:
  std::thread::id handledOn;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_SETTEXT) handledOn = std::this_thread::get_id();
    return CButton::WindowProc(message, wParam, lParam);
  }
};

class ProbedInstall : public InstallLike {
 public:
  ButtonProbe cancel;
  void DoDataExchange(CDataExchange* dx) override { DDX_Control(dx, 2, cancel); }
};

class WorkerHost : public CDialog {
 public:
  WorkerHost() : CDialog(130) {}
  RecordingStatic status;
  std::thread worker;
  std::function<void()> body;
  void DoDataExchange(CDataExchange* dx) override { DDX_Control(dx, 1029, status); }
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    worker = std::thread(body);
    return true;
  }
};

TEST_F(FrameworkTest, CrossThreadSendMessageWaitsForTheOwnerAndServesSendsBack) {
  ScriptThread user(R"(
    wait dialog 132
    click 1
    wait dialog 134
    escape
  )");
  WorkerHost host;
  std::atomic<HWND> workerButton{nullptr};
  std::thread::id workerId;
  std::thread::id sentBackHandledOn;
  std::string afterSend;
  // On the main thread, while the worker waits in its SendMessage: send back to the worker's dialog.
  host.status.onSetText = [&] { gui::SetWindowText(workerButton.load(), "已发回"); };
  host.body = [&] {
    workerId = std::this_thread::get_id();
    ProbedInstall install;
    install.beforeNested = [&] {
      workerButton = install.cancel.m_hWnd;
      host.GetDlgItem(1029)->SetWindowText("发送");
      afterSend = install.cancel.GetWindowText();
      sentBackHandledOn = install.cancel.handledOn;
    };
    install.DoModal();
    host.EndDialog(7);
  };
  EXPECT_EQ(host.DoModal(), 7);
  host.worker.join();
  EXPECT_TRUE(user.Finish());
  EXPECT_EQ(host.status.handledOn, std::this_thread::get_id());
  EXPECT_EQ(host.GetWindowText(), "");  // the window is gone
  EXPECT_EQ(sentBackHandledOn, workerId);
  EXPECT_EQ(afterSend, "已发回");  // the send-back was handled before the worker's own send returned
}

TEST_F(FrameworkTest, CallsOnAWindowThatIsGoneFailAtOnce) {
  class Ends : public CDialog {
   public:
    Ends() : CDialog(139) {}
    HWND seen = nullptr;
    CWnd* cached = nullptr;
    bool OnInitDialog() override {
      seen = m_hWnd;
      cached = GetDlgItem(1);
      EndDialog(IDCANCEL);
      return true;
    }
  } dialog;
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  ASSERT_NE(dialog.seen, nullptr);
  // A worker's late report on a closed dialog does nothing, through a kept pointer or a new lookup.
  ASSERT_NE(dialog.cached, nullptr);
  dialog.cached->SetWindowText("late");
  EXPECT_EQ(dialog.cached->GetWindowText(), "");
  EXPECT_FALSE(dialog.GetDlgItem(2)->ShowWindow(SW_SHOW));
  EXPECT_FALSE(IsWindow(dialog.GetDlgItem(4242)->m_hWnd));
  EXPECT_FALSE(IsWindow(dialog.seen));
  EXPECT_EQ(SendMessage(dialog.seen, WM_GETTEXTLENGTH), 0);
  EXPECT_FALSE(gui::SetWindowText(dialog.seen, "x"));
  EXPECT_FALSE(PostMessage(dialog.seen, WM_USER));
  EXPECT_EQ(SetTimer(dialog.seen, 1, 10), 0u);
  EXPECT_EQ(CDialog(999).DoModal(), -1);  // no such template
}

// A worker reporting to a dialog that closes before handling the report is released, not left waiting.
TEST_F(FrameworkTest, SendMessagePendingWhenTheDialogClosesReturnsZero) {
  class Closing : public CDialog {
   public:
    Closing() : CDialog(139) {}
    std::atomic<bool> busy{false};
    bool OnCommand(UINT id, UINT code) override {
      if (id == 1) {
        busy = true;
        std::this_thread::sleep_for(milliseconds(200));  // the report arrives meanwhile
        EndDialog(IDOK);
        return true;
      }
      return CDialog::OnCommand(id, code);
    }
  } dialog;
  LRESULT reported = -1;
  std::thread worker([&] {
    HWND h = nullptr;
    while ((h = gui::testing::ShownWindowOf(&dialog)) == nullptr) std::this_thread::sleep_for(milliseconds(5));
    input::Click(GetDlgItem(h, 1));
    while (!dialog.busy) std::this_thread::sleep_for(milliseconds(5));
    reported = SendMessage(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("late"));
  });
  EXPECT_EQ(dialog.DoModal(), IDOK);
  worker.join();
  EXPECT_EQ(reported, 0);
}

// A message that timed out never runs later: the caller's data may be gone by then.
TEST_F(FrameworkTest, SendMessageTimeoutWithdrawsTheMessage) {
  std::atomic<int> ran{0};
  class Busy : public CDialog {
   public:
    Busy() : CDialog(139) {}
    std::atomic<bool> busy{false};
    bool OnCommand(UINT id, UINT code) override {
      if (id == 1) {
        busy = true;
        std::this_thread::sleep_for(milliseconds(300));
        EndDialog(IDOK);
        return true;
      }
      return CDialog::OnCommand(id, code);
    }
  } dialog;
  std::thread sender([&] {
    HWND h = nullptr;
    while ((h = gui::testing::ShownWindowOf(&dialog)) == nullptr) std::this_thread::sleep_for(milliseconds(5));
    input::Click(GetDlgItem(h, 1));
    while (!dialog.busy) std::this_thread::sleep_for(milliseconds(5));
    LRESULT result = 0;
    EXPECT_FALSE(RunOnOwnerThread(h, [&] { ++ran; }, 50));
    EXPECT_FALSE(SendMessageTimeout(h, WM_GETTEXTLENGTH, 0, 0, 50, &result));
  });
  EXPECT_EQ(dialog.DoModal(), IDOK);
  sender.join();
  EXPECT_EQ(ran.load(), 0);
}

TEST_F(FrameworkTest, TimersTickOnTheOwnerThreadUntilKilled) {
  class Ticking : public CDialog {
   public:
    Ticking() : CDialog(135) {}
    int ticks = 0;
    bool wrongThread = false;
    std::thread::id owner;
    bool OnInitDialog() override {
      CDialog::OnInitDialog();
      owner = std::this_thread::get_id();
      SetTimer(1, 20);
      return true;
    }
    void OnTimer(UINT_PTR id) override {
      wrongThread = wrongThread || std::this_thread::get_id() != owner;
      if (id == 1 && ++ticks == 3) {
        KillTimer(1);
        SetTimer(2, 150);  // ends the dialog later; timer 1 must stay silent meanwhile
      } else if (id == 2) {
        EndDialog(IDOK);
      }
    }
  } dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(dialog.ticks, 3);
  EXPECT_FALSE(dialog.wrongThread);
}

// While the user reads the cancel question, a worker keeps reporting progress by SendMessage: the message
// box pumps the dialog thread's messages, so the worker never blocks.
TEST_F(FrameworkTest, MessageBoxKeepsPumpingWhileAWorkerSendsProgress) {
  class Progress : public CDialog {
   public:
    Progress() : CDialog(135) {}
    CProgressCtrl bar;
    CStatic status;
    std::thread worker;
    std::atomic<bool> boxOpen{false};
    std::atomic<bool> workerDone{false};
    bool doneWhenAnswered = false;
    std::vector<int> answers;

    void DoDataExchange(CDataExchange* dx) override {
      DDX_Control(dx, 1021, bar);
      DDX_Control(dx, 1020, status);
    }
    bool OnInitDialog() override {
      CDialog::OnInitDialog();
      worker = std::thread([this] {
        while (!boxOpen) std::this_thread::sleep_for(milliseconds(2));
        bar.SetRange32(0, 99);
        for (int i = 0; i <= 99; ++i) bar.SetPos(i);
        workerDone = true;
        status.SetWindowText("完成");  // the script answers once it reads this
      });
      return true;
    }
    void OnCancel() override {
      boxOpen = true;
      int answer = MessageBox("下载还未完成，确定取消？", "Downloader", MB_YESNO);
      answers.push_back(answer);
      if (answers.size() == 1) doneWhenAnswered = workerDone;
      if (answer == IDYES) EndDialog(IDCANCEL);
    }
  } dialog;
  ScriptThread user(R"(
    wait dialog 135
    click 2
    wait box "下载还未完成，确定取消？"
    wait dialog 135
    wait text 1020 "完成"
    expect pos 1021 99
    answer no
    wait dialog 135
    escape
    answer yes
  )");
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  dialog.worker.join();
  EXPECT_TRUE(user.Finish());
  EXPECT_TRUE(dialog.doneWhenAnswered);
  EXPECT_EQ(dialog.answers, (std::vector<int>{IDNO, IDYES}));
}

TEST_F(FrameworkTest, MessageBoxButtonsEscapeAndCloseBox) {
  struct Case {
    UINT type;
    const char* script;
    int expected;
  };
  const Case cases[] = {
      {MB_OK, "wait box \"a\"\nexpect text 1 \"确定\"\nescape", IDOK},
      {MB_OKCANCEL, "wait box \"a\"\nclose", IDCANCEL},
      {MB_OKCANCEL | MB_ICONWARNING, "wait box \"a\"\nanswer ok", IDOK},
      // A Yes/No box ignores Escape and its close box; only an answer ends it.
      {MB_YESNO, "wait box \"a\"\nescape\nclose\nsleep 100\nwait box \"a\"\nexpect text 6 \"是(Y)\"\nanswer no", IDNO},
      {MB_YESNO | MB_TOPMOST, "wait box \"a\"\nanswer yes", IDYES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ScriptThread user(c.script);
    EXPECT_EQ(gui::MessageBox(nullptr, "a", "caption", c.type), c.expected);
    EXPECT_TRUE(user.Finish());
  }
}

// A topmost box (the exit question) stays above a dialog that shows after it.
TEST_F(FrameworkTest, TopmostBoxStaysAboveDialogsShownLater) {
  std::vector<WindowKind> order;
  std::thread other([&] {
    ScriptThread waitBox("wait box \"是否退出voda安装？\"");
    waitBox.Finish();
    CDialog later(139);
    later.DoModal();
  });
  std::thread user([&] {
    ScriptThread waitDialog("wait dialog 139");
    waitDialog.Finish();
    for (HWND h : TopLevelWindows()) {
      WindowState s;
      if (GetWindowState(h, &s)) order.push_back(s.kind);
    }
    ScriptThread finish("wait dialog 139\nescape\nanswer yes");
  });
  EXPECT_EQ(gui::MessageBox(nullptr, "是否退出voda安装？", "Downloader", MB_YESNO | MB_TOPMOST), IDYES);
  other.join();
  user.join();
  EXPECT_EQ(order, (std::vector<WindowKind>{WindowKind::kMessageBox, WindowKind::kDialog}));
}

TEST_F(FrameworkTest, BroadcastReachesEveryTopLevelDialogOfTheProcess) {
  constexpr UINT kDetect = 0xC123;
  class Listener : public CDialog {
   public:
    explicit Listener(UINT id) : CDialog(id) {}
    std::vector<WPARAM> seen;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
      if (message == kDetect) {
        seen.push_back(wParam);
        if (wParam == 1) EndDialog(IDOK);
        return 0;
      }
      return CDialog::WindowProc(message, wParam, lParam);
    }
  };
  Listener main(130);
  Listener other(132);
  std::thread worker([&] { EXPECT_EQ(other.DoModal(), IDOK); });
  std::thread sender([&] {
    std::string error;
    ScriptedUser user("broadcast");
    std::vector<ScriptCommand> wait;
    ASSERT_TRUE(ParseScript("wait dialog 130\nwait dialog 132", &wait, &error));
    ASSERT_TRUE(user.Run(wait, &error)) << error;
    EXPECT_EQ(DeliverBroadcast(kDetect, 2, 0), 2);
    EXPECT_TRUE(PostMessage(HWND_BROADCAST, kDetect, 1, 0));
  });
  EXPECT_EQ(main.DoModal(), IDOK);
  worker.join();
  sender.join();
  EXPECT_EQ(main.seen, (std::vector<WPARAM>{2, 1}));
  EXPECT_EQ(other.seen, (std::vector<WPARAM>{2, 1}));
}

class Placed : public CDialog {
 public:
  explicit Placed(UINT id, bool placeItself) : CDialog(id), placeItself_(placeItself) {}
  std::vector<CPoint> moves;
  std::vector<CRect> movings;
  CRect windowRect, clientRect;
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    if (placeItself_) SetWindowPos(&wndTop, 40, 50, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    GetWindowRect(&windowRect);
    GetClientRect(&clientRect);
    return true;
  }
  void OnMove(int x, int y) override { moves.push_back({x, y}); }
  void OnMoving(UINT edge, CRect* proposed) override {
    EXPECT_EQ(edge, WMSZ_MOVE);
    CRect now;
    GetWindowRect(&now);
    movings.push_back(now);  // what the window's rectangle is while the notification runs
    (void)proposed;
  }

 private:
  bool placeItself_;
};

TEST_F(FrameworkTest, PlacementCentresUnlessInitialisationPlacedTheDialogAndDragsNotifyMoves) {
  ScriptThread user(R"(
    wait dialog 132
    expect position 213 192
    move 100 120
    expect position 100 120
    escape
  )");
  Placed centred(132, false);
  EXPECT_EQ(centred.DoModal(), IDCANCEL);
  EXPECT_TRUE(user.Finish());
  // 395 x 220 dialog units are 593 x 358 pixels; the frame adds 3 on each side and a 20-pixel caption.
  EXPECT_EQ(centred.clientRect, CRect(0, 0, 593, 358));
  EXPECT_EQ(centred.windowRect, CRect(0, 0, 599, 384));
  // Centring on the 1024 x 768 screen, then the drag: WM_MOVE carries the client area's origin.
  ASSERT_EQ(centred.moves.size(), 2u);
  EXPECT_EQ(centred.moves[0].x, 216);
  EXPECT_EQ(centred.moves[0].y, 215);
  EXPECT_EQ(centred.moves[1].x, 103);
  EXPECT_EQ(centred.moves[1].y, 143);
  // The drag ends with a moving notification at the final place.
  ASSERT_EQ(centred.movings.size(), 2u);
  EXPECT_EQ(centred.movings.back().left, 100);
  EXPECT_EQ(centred.movings.back().top, 120);

  ScriptThread user2("wait dialog 139\nexpect position 40 50\nescape");
  Placed self(139, true);
  EXPECT_EQ(self.DoModal(), IDCANCEL);
  EXPECT_TRUE(user2.Finish());
  EXPECT_EQ(self.windowRect.left, 40);
  EXPECT_EQ(self.windowRect.Width(), DialogUnitsToPixelsX(296) + 6);
}

TEST_F(FrameworkTest, ControlsKeepTheirState) {
  class Options : public CDialog {
   public:
    Options() : CDialog(134) {}
    CButton desktop;
    CProgressCtrl none;
    std::vector<std::pair<UINT, UINT>> commands;
    void DoDataExchange(CDataExchange* dx) override { DDX_Control(dx, 1016, desktop); }
    bool OnInitDialog() override {
      CDialog::OnInitDialog();
      desktop.SetCheck(BST_CHECKED);
      GetDlgItem(1014)->ShowWindow(SW_HIDE);
      return true;
    }
    bool OnCommand(UINT id, UINT code) override {
      if (id != IDCANCEL) commands.push_back({id, code});
      return CDialog::OnCommand(id, code);
    }
  } dialog;
  ScriptThread user(R"(
    wait dialog 134
    expect checked 1016
    expect hidden 1014
    click 1016
    expect unchecked 1016
    tick 1016 on
    tick 1016 on
    type 1017 "D:\Soft"
    expect text 1017 "D:\Soft"
    escape
  )");
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_TRUE(user.Finish());
  using P = std::pair<UINT, UINT>;
  EXPECT_EQ(dialog.commands, (std::vector<P>{{1016, BN_CLICKED}, {1016, BN_CLICKED}, {1017, EN_CHANGE}}));
}

TEST_F(FrameworkTest, ProgressBarRanges) {
  class Bars : public CDialog {
   public:
    Bars() : CDialog(135) {}
    CProgressCtrl file, total;
    void DoDataExchange(CDataExchange* dx) override {
      DDX_Control(dx, 1021, file);
      DDX_Control(dx, 1022, total);
    }
    bool OnInitDialog() override {
      CDialog::OnInitDialog();
      int lo = 0, hi = 0;
      file.GetRange(lo, hi);
      EXPECT_EQ(lo, 0);
      EXPECT_EQ(hi, 100);  // a new bar's range
      file.SetRange(0, static_cast<short>(-1));  // PBM_SETRANGE carries 16-bit unsigned bounds
      file.GetRange(lo, hi);
      EXPECT_EQ(hi, 65535);
      total.SetRange32(-5, 100000);
      total.GetRange(lo, hi);
      EXPECT_EQ(lo, -5);
      EXPECT_EQ(hi, 100000);
      EXPECT_EQ(total.SetPos(70000), 0);
      EXPECT_EQ(total.SetPos(200000), 70000);  // kept as set: the painting clips it
      EXPECT_EQ(total.GetPos(), 200000);
      EndDialog(IDOK);
      return true;
    }
  } dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
}

TEST_F(FrameworkTest, SystemMenuItemAndIcons) {
  class Framed : public CDialog {
   public:
    Framed() : CDialog(130) {}
    std::vector<UINT> sysCommands;
    bool OnInitDialog() override {
      CDialog::OnInitDialog();
      CMenu* menu = GetSystemMenu(false);
      menu->AppendMenu(MF_SEPARATOR);
      menu->AppendMenu(MF_STRING, 16, "关于 Downloader(&A)...");
      auto icon = std::make_shared<Icon>();
      icon->resourceId = 181;
      SetIcon(icon, true);
      SetIcon(icon, false);
      return true;
    }
    void OnSysCommand(UINT id, LPARAM lParam) override {
      sysCommands.push_back(id);
      CDialog::OnSysCommand(id, lParam);
    }
  } dialog;
  ScriptThread user("wait dialog 130\nmenu 16\nclose");
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);  // the close box is the Cancel command
  EXPECT_TRUE(user.Finish());
  EXPECT_EQ(dialog.sysCommands, (std::vector<UINT>{16, SC_CLOSE}));
}

TEST_F(FrameworkTest, FolderBrowserGivesTheChosenFolderPath) {
  struct Case {
    const char* script;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"choose \"D:\\Soft\"", std::string("D:\\Soft")},
      {"choose \"D:\\Soft\\\"", std::string("D:\\Soft")},
      {"choose \"D:\\\"", std::string("D:\\")},
      {"choose \"D:\"", std::string("D:\\")},
      {"choose \"\"", std::string()},  // a choice without a file-system path
      {"wait browser\nanswer cancel", std::nullopt},
      {"wait browser\nescape", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ScriptThread user(c.script);
    EXPECT_EQ(BrowseForFolder(nullptr, "选择网银的安装路径:", 0x53), c.expected);
    EXPECT_TRUE(user.Finish());
  }
}

}  // namespace
}  // namespace gui
