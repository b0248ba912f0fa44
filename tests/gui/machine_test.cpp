// The window system on a real machine: the prefix-wide broadcast reaches the dialogs, and dialogs are
// centred on the machine's screen.
#include <gtest/gtest.h>

#include <thread>

#include "gui/dialog.h"
#include "gui/machine.h"
#include "gui_test_util.h"
#include "platform/kernel_objects.h"
#include "support/temp_prefix.h"

namespace gui {
namespace {

class DetectingDialog : public CDialog {
 public:
  DetectingDialog(UINT id, UINT detect) : CDialog(id), detect_(detect) {}
  std::vector<WPARAM> seen;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == detect_) {
      seen.push_back(wParam);
      if (wParam == 1) EndDialog(IDOK);
      return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }

 private:
  UINT detect_;
};

TEST(MachineTest, BroadcastFromAnotherViewOfTheMachineReachesTheDialog) {
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  gui::testing::UseQuietHeadlessBackend();
  ConnectToMachine(&machine.platform().Objects(), 800, 600);
  UINT detect = machine.platform().Objects().RegisterWindowMessage("zq_detect_tools_single_msgid_test");
  ASSERT_NE(detect, 0u);
  std::string error;
  auto secondProcess = machine.Reopen(&error);
  ASSERT_NE(secondProcess, nullptr) << error;

  DetectingDialog dialog(139, detect);
  std::thread sender([&] {
    ScriptedUser user("broadcast");
    std::vector<ScriptCommand> commands;
    std::string why;
    // 296 x 138 dialog units centred on the 800 x 600 screen of this machine.
    ASSERT_TRUE(ParseScript("wait dialog 139\nexpect position 175 175", &commands, &why));
    if (!user.Run(commands, &why)) {
      ADD_FAILURE() << why;
      gui::testing::CancelEverything();
      return;
    }
    EXPECT_TRUE(secondProcess->Objects().PostBroadcast(detect, 2, 0).ok());
    EXPECT_TRUE(secondProcess->Objects().PostBroadcast(detect, 1, 0).ok());
  });
  EXPECT_EQ(dialog.DoModal(), IDOK);
  sender.join();
  EXPECT_EQ(dialog.seen, (std::vector<WPARAM>{2, 1}));
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
  ConnectToMachine(nullptr, 1024, 768);
}

}  // namespace
}  // namespace gui
