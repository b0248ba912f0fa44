// The assistant's running programs on a fresh machine, played by the stand-ins: the pop-up command
// pipe and its answers, the silent update's notice, stopping both programs before the copy (also when a
// "-t" hangs) and starting them at the end.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "app/run_mode.h"
#include "platform/files.h"
#include "platform/kernel_objects.h"
#include "platform/platform.h"
#include "platform/posix/image_lock.h"
#include "platform/process.h"
#include "standins/journal.h"
#include "standins/settings.h"
#include "support/temp_prefix.h"
#include "system/popup_program.h"

namespace {

namespace fs = std::filesystem;
using platform::Error;
using platform::ProcessHandle;
using standins::JournalEntry;

using Clock = std::chrono::steady_clock;

constexpr const char* kInstallDir = "C:\\Program Files (x86)\\NOVRA\\voda";
const std::string kMain = std::string(kInstallDir) + "\\ZivIV_861.exe";
const std::string kPopupStop = std::string(kInstallDir) + "\\QuillonPop_861.exe";
const std::string kPopupStart = std::string(kInstallDir) + "\\QuillonPop.exe";

class PopupProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    g_bankProfile = BankProfile{};
    ServerEndpoint server;
    FillBankProfile(0x861, g_bankProfile, server);
  }

  void Install(const std::string& windowsPath) {
    const std::string host = machine_.HostPath(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    fs::copy_file(std::string(VODA_BIN_DIR) + "/standin", host, fs::copy_options::overwrite_existing);
    fs::permissions(host, fs::perms::owner_all);
  }

  void Set(const std::string& key, const std::string& value) {
    ASSERT_TRUE(standins::WriteSetting(machine_.root(), key, value));
  }

  // Starts a program and waits until it has recorded its start (and, for the pop-up program, until its
  // pipe listens).
  std::unique_ptr<ProcessHandle> Run(const std::string& path) {
    std::unique_ptr<ProcessHandle> handle;
    EXPECT_TRUE(platform::Current().Procs().StartWithHandle({path, "", "", platform::ShowMode::kShow}, &handle).ok());
    if (handle == nullptr) return handle;
    EXPECT_TRUE(WaitFor([&](const JournalEntry& e) { return e.pid == Pid(*handle) && e.event == "start"; }));
    if (path.find("QuillonPop") != std::string::npos) {
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      std::unique_ptr<platform::PipeClient> probe;
      while (!platform::Current().Objects().OpenPipe(kPopupPipePath, &probe).ok() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_NE(probe, nullptr) << "the pop-up program serves its pipe";
      probe.reset();  // an empty connection: the program reads no message from it
    }
    return handle;
  }

  static int Pid(const ProcessHandle& handle) { return static_cast<int>(handle.Id()); }

  std::vector<JournalEntry> Journal() const { return standins::ReadJournal(machine_.root()); }

  bool WaitFor(const std::function<bool(const JournalEntry&)>& match) const {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      for (const auto& e : Journal())
        if (match(e)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  bool Has(const ProcessHandle& handle, const std::string& event) const {
    for (const auto& e : Journal())
      if (e.pid == Pid(handle) && e.event == event) return true;
    return false;
  }

  // The starts recorded, as "image [parameters] show", in the order the processes were started.
  std::vector<std::string> Starts() const {
    std::vector<std::string> starts;
    for (const auto& e : standins::StartsInStartOrder(Journal()))
      starts.push_back(e.image + " [" + e.parameters + "] " + e.show);
    return starts;
  }

  // The starts once there are n of them (bounded wait): a started program records its own start.
  std::vector<std::string> Starts(size_t n) const {
    (void)WaitFor([&](const JournalEntry&) { return Starts().size() >= n; });
    return Starts();
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const auto& e : Journal())
      if (e.event == "message") messages.push_back(e.parameters);
    return messages;
  }

  bool Locked(const std::string& windowsPath) const {
    return platform::posix::IsImageLocked(machine_.HostPath(windowsPath));
  }

  voda_test::TempPrefix machine_;
};

TEST_F(PopupProgramTest, CommandReachesTheRunningPopupProgramExactly) {
  Install(kPopupStart);
  auto popup = Run(kPopupStart);
  ASSERT_NE(popup, nullptr);
  EXPECT_TRUE(SendPopupCommand("UpdatePopCmd", "", false, false, 5000));
  ASSERT_TRUE(WaitFor([](const JournalEntry& e) { return e.event == "message"; }));
  ASSERT_EQ(Messages(), std::vector<std::string>{"NOVRA_PopUpdatePopCmd||"});
  EXPECT_EQ(Messages()[0].size(), 23u);  // no terminating zero
}

TEST_F(PopupProgramTest, MissingPipeGivesAcceptMissing) {
  for (bool acceptMissing : {true, false})
    for (bool wait : {false, true}) {
      SCOPED_TRACE(std::to_string(acceptMissing) + std::to_string(wait));
      EXPECT_EQ(SendPopupCommand("UpdatePopCmd", "", acceptMissing, wait, 5000), acceptMissing);
    }
}

TEST(PopupProgramAnswers, OnlyTheYesEventGivesTrue) {
  struct Case {
    const char* answer;
    bool expected;
  };
  for (const Case& c : {Case{"yes", true}, Case{"no", false}, Case{"none", false}}) {
    SCOPED_TRACE(c.answer);
    voda_test::TempPrefix machine;
    ASSERT_TRUE(machine.ok());
    machine.Install();
    g_bankProfile = BankProfile{};
    ServerEndpoint server;
    FillBankProfile(0x861, g_bankProfile, server);
    const std::string host = machine.HostPath(kPopupStart);
    fs::create_directories(fs::path(host).parent_path());
    fs::copy_file(std::string(VODA_BIN_DIR) + "/standin", host);
    ASSERT_TRUE(standins::WriteSetting(machine.root(), standins::kSettingPopupAnswer, c.answer));
    ASSERT_TRUE(platform::Current().Procs().Start({kPopupStart, "", "", platform::ShowMode::kShow}).ok());
    std::unique_ptr<platform::PipeClient> probe;
    for (int i = 0; i < 2000 && !platform::Current().Objects().OpenPipe(kPopupPipePath, &probe).ok(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(probe, nullptr);
    probe.reset();

    const auto start = Clock::now();
    EXPECT_EQ(SendPopupCommand("UpdatePopCmd", "p", false, true, c.expected ? 10000 : 400), c.expected);
    if (std::string(c.answer) == "no") {
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));  // answered, not timed out
    }
  }
}

TEST_F(PopupProgramTest, NoticeOnlyInASilentUpdate) {
  Install(kMain);
  struct Case {
    int mode;
    int updateType;
  };
  for (const Case& c : {Case{ModeUpdate, 1}, Case{ModeInstall, 2}, Case{ModeRepair, 2}}) {
    SCOPED_TRACE(std::to_string(c.mode) + "/" + std::to_string(c.updateType));
    bool hidden = false;
    const auto start = Clock::now();
    EXPECT_TRUE(NotifyPopupProgram(c.mode, c.updateType, kInstallDir, [&] { hidden = true; }));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(hidden);
  }
  EXPECT_TRUE(Starts().empty());
}

TEST_F(PopupProgramTest, SilentUpdateNoticeHidesTheDialogQuitsTheMainProgramAndTellsThePopupProgram) {
  Install(kMain);
  Install(kPopupStart);
  auto main = Run(kMain);
  auto popup = Run(kPopupStart);
  ASSERT_TRUE(main && popup);

  bool hidden = false;
  const auto start = Clock::now();
  EXPECT_TRUE(NotifyPopupProgram(ModeUpdate, 2, kInstallDir, [&] { hidden = true; }));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(3000));
  EXPECT_TRUE(hidden);
  EXPECT_TRUE(main->Wait(10000).ok());
  EXPECT_TRUE(Has(*main, "end"));  // it quit on the "-t"
  EXPECT_EQ(Starts(3), (std::vector<std::string>{"ZivIV_861.exe [] SW_SHOW", "QuillonPop.exe [] SW_SHOW",
                                                 "ZivIV_861.exe [-t] SW_SHOW"}));
  ASSERT_TRUE(WaitFor([](const JournalEntry& e) { return e.event == "message"; }));
  EXPECT_EQ(Messages(), std::vector<std::string>{"NOVRA_PopUpdatePopCmd||"});
  EXPECT_EQ(popup->Wait(0).code(), Error::kTimeout);  // the notice does not stop the pop-up program
}

TEST_F(PopupProgramTest, StopMakesBothProgramsQuitAndPreparesTheStagingFolder) {
  Install(kMain);
  Install(kPopupStop);
  auto main = Run(kMain);
  auto popup = Run(kPopupStop);
  ASSERT_TRUE(main && popup);

  const auto start = Clock::now();
  EXPECT_TRUE(StopRunningAssistant(kInstallDir));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_TRUE(platform::Current().Files().IsFolder(std::string(kInstallDir) + "\\DownLoad"));
  EXPECT_TRUE(main->Wait(0).ok());
  EXPECT_TRUE(popup->Wait(0).ok());
  EXPECT_TRUE(Has(*main, "end"));  // both quit on their "-t", not by termination
  EXPECT_TRUE(Has(*popup, "end"));
  EXPECT_EQ(Starts(), (std::vector<std::string>{"ZivIV_861.exe [] SW_SHOW", "QuillonPop_861.exe [] SW_SHOW",
                                                "ZivIV_861.exe [ -t] SW_HIDE", "QuillonPop_861.exe [ -t] SW_HIDE"}));
  EXPECT_FALSE(Locked(kMain));
  EXPECT_FALSE(Locked(kPopupStop));
}

TEST_F(PopupProgramTest, StopWithNothingInstalledStartsNothingAndAStagingFolderThatCannotBeMadeFails) {
  EXPECT_TRUE(StopRunningAssistant(kInstallDir));
  EXPECT_TRUE(platform::Current().Files().IsFolder(std::string(kInstallDir) + "\\DownLoad"));
  EXPECT_TRUE(Starts().empty());

  // A file where the staging folder belongs.
  ASSERT_TRUE(platform::Current().Files().CreateFolder("C:\\blocked").ok());
  ASSERT_TRUE(platform::Current().Files().WriteFile("C:\\blocked\\DownLoad", "x").ok());
  const auto start = Clock::now();
  EXPECT_FALSE(StopRunningAssistant("C:\\blocked"));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(PopupProgramTest, HangingQuitRequestIsBoundedAndEndedWithTheRunningProgram) {
  Install(kMain);
  Set(standins::kSettingHangQuit, "ZivIV_861.exe");
  auto main = Run(kMain);
  ASSERT_NE(main, nullptr);

  const auto start = Clock::now();
  EXPECT_TRUE(StopRunningAssistant(kInstallDir, 1000));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(3000));  // the bounded wait, then the pause
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_TRUE(main->Wait(0).ok());  // ended by its image name after the hanging "-t"
  std::vector<platform::ProcessEntry> processes;
  ASSERT_TRUE(platform::Current().Procs().Snapshot(&processes).ok());
  for (const auto& p : processes) EXPECT_NE(p.imageName, "ZivIV_861.exe") << "still running: " << p.id;
  EXPECT_FALSE(Locked(kMain));
}

TEST_F(PopupProgramTest, StartRunsEachExistingProgramWithQuitRequestThenNormally) {
  Install(kMain);
  Install(kPopupStart);
  StartPopupProgram(kInstallDir);
  EXPECT_EQ(Starts(4), (std::vector<std::string>{"QuillonPop.exe [-t] SW_SHOW", "QuillonPop.exe [] SW_SHOW",
                                                "ZivIV_861.exe [-t] SW_SHOW", "ZivIV_861.exe [] SW_SHOW"}));
  // Both keep running: the "-t" found nothing earlier to make quit, and ended.
  std::vector<std::string> running;
  ASSERT_TRUE(WaitFor([&](const JournalEntry&) {
    std::vector<platform::ProcessEntry> processes;
    running.clear();
    if (platform::Current().Procs().Snapshot(&processes).ok())
      for (const auto& p : processes)
        if (p.imageName.find(".exe") != std::string::npos) running.push_back(p.imageName);
    return running == std::vector<std::string>{"QuillonPop.exe", "ZivIV_861.exe"};
  })) << ::testing::PrintToString(running);
}

TEST_F(PopupProgramTest, StartSkipsAMissingPopupProgram) {
  Install(kMain);
  StartPopupProgram(kInstallDir);
  EXPECT_EQ(Starts(2), (std::vector<std::string>{"ZivIV_861.exe [-t] SW_SHOW", "ZivIV_861.exe [] SW_SHOW"}));
}

}  // namespace
