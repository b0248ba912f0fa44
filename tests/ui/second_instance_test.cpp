// A second start with "-t" ends a process that shows a dialog of the skinned frame, with exit code 0; the
// same message with another parameter does not. The process with the dialog is this test program run
// again as a helper on the same machine.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gui/machine.h"
#include "platform/kernel_objects.h"
#include "platform/posix/posix_platform.h"
#include "ui_support.h"

extern char** environ;

namespace {

using namespace ui_test;

constexpr const char* kHelperPrefix = "VODA_TEST_DIALOG_PREFIX";

// The helper: shows the version-query dialog on the machine it is given and says so, then waits.
TEST(SecondInstanceHelper, ShowsADialogUntilTheProcessEnds) {
  const char* root = std::getenv(kHelperPrefix);
  if (!root) GTEST_SKIP() << "runs only as the helper of another test";
  std::string error;
  std::unique_ptr<platform::posix::PosixPlatform> machine = platform::posix::CreatePosixPlatform(root, &error);
  ASSERT_NE(machine, nullptr) << error;
  platform::Install(machine.get());
  gui::ConnectToMachine(*machine);  // as start-up does: this process hears the machine's broadcasts
  FillBankProfile(0x861, g_bankProfile, g_server);
  gui::InstallBackend(std::make_unique<QuietBackend>());
  ModalDialog run(kQueryDialog);
  ASSERT_NE(run.WaitShown(), nullptr);
  std::printf("\nshown\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(30));
  std::_Exit(3);  // nobody told it to quit
}

// A started program, ended (and reaped) with the test at the latest.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env) {
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> argStrings = {program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = env;
    for (char** e = environ; *e; ++e) envStrings.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
  }
  ~Process() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  bool started() const { return pid_ > 0; }

  // Reads the standard output until a line equals `line`; false after timeoutMs or at its end.
  bool WaitForLine(const std::string& line, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string current;
    for (;;) {
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
      if (left <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) return false;
      char ch;
      if (::read(out_, &ch, 1) != 1) return false;
      if (ch != '\n') {
        current += ch;
      } else if (current == line) {
        return true;
      } else {
        current.clear();
      }
    }
  }

  // The exit code once the process has ended within timeoutMs; -1 while it still runs.
  int WaitForExit(int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > until) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
};

using SecondInstance = MachineTest;

TEST_F(SecondInstance, QuitMessageEndsTheProcessShowingADialogOnlyWithParameterOne) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  Process dialog(self, {"--gtest_filter=SecondInstanceHelper.*"},
                 {std::string(kHelperPrefix) + "=" + machine_.root()});
  ASSERT_TRUE(dialog.started());
  ASSERT_TRUE(dialog.WaitForLine("shown", 20000)) << "the helper showed no dialog";

  // Another parameter: nothing happens.
  platform::KernelObjects& objects = machine_.platform().Objects();
  const uint32_t quit = objects.RegisterWindowMessage(SingleInstanceMessageName());
  ASSERT_NE(quit, 0u);
  ASSERT_TRUE(objects.PostBroadcast(quit, 2, 0).ok());
  EXPECT_EQ(dialog.WaitForExit(1000), -1) << "wParam 2 ended the process";

  // "-t" from a second Downloader on the same machine.
  Process second(std::string(VODA_BIN_DIR) + "/downloader", {"-t"}, {"VODA_PREFIX=" + machine_.root()});
  ASSERT_TRUE(second.started());
  EXPECT_EQ(second.WaitForExit(20000), 0);
  EXPECT_EQ(dialog.WaitForExit(20000), 0);
}

}  // namespace
