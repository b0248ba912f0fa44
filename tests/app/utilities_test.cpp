#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/utilities.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "standins/journal.h"
#include "support/temp_prefix.h"

namespace {

using platform::ProcessId;

class UtilitiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
  }

  platform::FileSystem& Files() { return platform::Current().Files(); }

  std::vector<std::string> List(const std::string& folder) {
    std::vector<platform::DirEntry> entries;
    EXPECT_TRUE(Files().FindFiles(folder + "\\*", &entries).ok()) << folder;
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  // Starts a copy of the stand-in under the Windows path and waits until it runs; returns its id.
  ProcessId Start(const std::string& windowsPath) {
    namespace fs = std::filesystem;
    const std::string host = machine_.HostPath(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    fs::copy_file(std::string(VODA_BIN_DIR) + "/standin", host, fs::copy_options::overwrite_existing);
    std::unique_ptr<platform::ProcessHandle> handle;
    platform::StartRequest request;
    request.file = windowsPath;
    EXPECT_TRUE(platform::Current().Procs().StartWithHandle(request, &handle).ok()) << windowsPath;
    if (!handle) return 0;
    const ProcessId id = handle->Id();
    handles_.push_back(std::move(handle));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& e : standins::ReadJournal(machine_.root()))
        if (e.event == "start" && static_cast<ProcessId>(e.pid) == id) return id;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << windowsPath << " did not start";
    return id;
  }

  // Whether the process ends within a bounded time.
  bool Ends(ProcessId id) {
    for (auto& h : handles_)
      if (h->Id() == id) return h->Wait(10000).ok();
    return false;
  }

  bool Running(ProcessId id) {
    std::vector<platform::ProcessEntry> running;
    EXPECT_TRUE(platform::Current().Procs().Snapshot(&running).ok());
    return std::any_of(running.begin(), running.end(), [&](const auto& p) { return p.id == id; });
  }

  voda_test::TempPrefix machine_;
  std::vector<std::unique_ptr<platform::ProcessHandle>> handles_;
};

TEST_F(UtilitiesTest, CreateFolderTreeMakesEveryMissingLevel) {
  ASSERT_TRUE(Files().CreateFolder("C:\\X").ok());

  EXPECT_TRUE(CreateFolderTree("C:\\X"));  // existing: nothing created
  EXPECT_TRUE(List("C:\\X").empty());

  EXPECT_TRUE(CreateFolderTree("C:\\X\\Y\\Z"));
  EXPECT_TRUE(Files().IsFolder("C:\\X\\Y"));
  EXPECT_TRUE(Files().IsFolder("C:\\X\\Y\\Z"));

  EXPECT_TRUE(CreateFolderTree("C:\\X\\\\Y2\\"));  // doubled and trailing separators
  EXPECT_TRUE(Files().IsFolder("C:\\X\\Y2"));
  EXPECT_EQ(List("C:\\X"), (std::vector<std::string>{"Y", "Y2"}));
}

TEST_F(UtilitiesTest, CreateFolderTreeStopsAtTheFirstFolderItCannotCreate) {
  ASSERT_TRUE(Files().CreateFolder("C:\\Top").ok());
  ASSERT_TRUE(Files().WriteFile("C:\\Top\\blocker", "a file where a folder should go").ok());

  EXPECT_FALSE(CreateFolderTree("C:\\Top\\blocker\\deep\\deeper"));
  EXPECT_EQ(List("C:\\Top"), std::vector<std::string>{"blocker"});
  EXPECT_FALSE(Files().IsFolder("C:\\Top\\blocker"));

  EXPECT_FALSE(CreateFolderTree("Q:\\A\\B"));  // a drive this machine lacks
  EXPECT_FALSE(CreateFolderTree(""));          // names no folder at all
}

TEST_F(UtilitiesTest, TakeOwnershipPrivilegeIsEnabled) { EXPECT_TRUE(EnableTakeOwnershipPrivilege()); }

TEST_F(UtilitiesTest, NoBrowserRunning) {
  const ProcessId other = Start("C:\\Tools\\notepad.exe");
  ProcessId found = 12345;
  EXPECT_FALSE(FindBrowserProcess(found));
  EXPECT_TRUE(TerminateBrowser(0));
  EXPECT_TRUE(TerminateProcessByName("iexplore.exe"));
  EXPECT_TRUE(TerminateBrowser(0x7FFFFFF0));  // no such process
  EXPECT_TRUE(Running(other));
}

TEST_F(UtilitiesTest, BrowserOperationsTakeTheFirstBrowserOnly) {
  const ProcessId first = Start("C:\\Program Files\\Internet Explorer\\iexplore.exe");
  const ProcessId second = Start("C:\\Other\\IExplore.EXE");
  const ProcessId bystander = Start("C:\\Tools\\notepad.exe");

  ProcessId found = 0;
  ASSERT_TRUE(FindBrowserProcess(found));
  EXPECT_EQ(found, first);

  EXPECT_TRUE(TerminateBrowser(0));
  EXPECT_TRUE(Ends(first));
  EXPECT_TRUE(Running(second));

  ASSERT_TRUE(FindBrowserProcess(found));
  EXPECT_EQ(found, second);
  EXPECT_TRUE(TerminateBrowser(second));
  EXPECT_TRUE(Ends(second));
  EXPECT_FALSE(FindBrowserProcess(found));
  EXPECT_TRUE(Running(bystander));
}

TEST_F(UtilitiesTest, TerminateProcessByNameIgnoresCaseAndStopsAtTheFirst) {
  const ProcessId first = Start("C:\\voda\\ZivIV_861.exe");
  const ProcessId second = Start("C:\\voda2\\zivIV_861.EXE");
  const ProcessId bystander = Start("C:\\voda\\tellvane_861.exe");

  EXPECT_TRUE(TerminateProcessByName("ZIVIV_861.exe"));
  EXPECT_TRUE(Ends(first));
  EXPECT_TRUE(Running(second));
  EXPECT_TRUE(Running(bystander));

  EXPECT_TRUE(TerminateProcessByName("zivIV_861.exe"));
  EXPECT_TRUE(Ends(second));
  EXPECT_TRUE(TerminateProcessByName("zivIV_861.exe"));  // none left
  EXPECT_TRUE(Running(bystander));
}

}  // namespace
