// Tasks run on a window's owner thread: the caller waits for them, on the owner thread they run at
// once, and a task for a window that is gone, or goes before its thread takes the task, never runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "gui/dialog.h"
#include "gui/owner_thread.h"
#include "gui_test_util.h"

namespace gui {
namespace {

class SendTaskTest : public ::testing::Test {
 protected:
  void SetUp() override { gui::testing::UseQuietHeadlessBackend(); }
};

// A dialog run modally on a thread of its own.
class Owner {
 public:
  Owner() {
    thread_ = std::thread([this] {
      ownerId = std::this_thread::get_id();
      dialog.DoModal();
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Found through the window system: dialog.m_hWnd is written by the dialog's thread.
    while ((window = gui::testing::ShownWindowOf(&dialog)) == nullptr && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  ~Owner() { Close(); }
  void Close() {
    if (!thread_.joinable()) return;
    dialog.EndDialog(IDCANCEL);
    thread_.join();
  }

  CDialog dialog{139};
  HWND window = nullptr;
  std::thread::id ownerId;

 private:
  std::thread thread_;
};

TEST_F(SendTaskTest, RunsOnTheOwnerThreadAndReturnsWhenDone) {
  Owner owner;
  ASSERT_TRUE(IsWindowVisible(owner.window));
  std::thread::id ranOn;
  int value = 0;
  ASSERT_TRUE(SendTask(owner.window, [&] {
    ranOn = std::this_thread::get_id();
    // The owner's own calls inside the task, and a nested task, run at once.
    EXPECT_TRUE(gui::SetWindowText(GetDlgItem(owner.window, 1), "in task"));
    EXPECT_TRUE(SendTask(owner.window, [&] { value = 1; }));
    EXPECT_EQ(value, 1);
    value = 2;
  }));
  EXPECT_EQ(ranOn, owner.ownerId);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(GetWindowText(GetDlgItem(owner.window, 1)), "in task");
}

TEST_F(SendTaskTest, NeverRunsForAWindowThatIsGone) {
  Owner owner;
  ASSERT_TRUE(IsWindowVisible(owner.window));
  // A second task waits behind one that ends the dialog: its window is destroyed before it is taken.
  std::atomic<bool> secondRan{false};
  std::atomic<bool> secondSent{false};
  bool secondResult = true;
  std::thread second;
  ASSERT_TRUE(SendTask(owner.window, [&] {
    second = std::thread([&] {
      secondResult = SendTask(owner.window, [&] { secondRan = true; });
      secondSent = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    owner.dialog.EndDialog(IDCANCEL);
  }));
  owner.Close();
  second.join();
  EXPECT_TRUE(secondSent);
  EXPECT_FALSE(secondResult);
  EXPECT_FALSE(secondRan);

  bool ran = false;
  EXPECT_FALSE(SendTask(owner.window, [&] { ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_FALSE(SendTask(owner.window, {}));
}

}  // namespace
}  // namespace gui
