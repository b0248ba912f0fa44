// Removal of the earlier assistant products on a fresh prefix with real stand-in programs: the old
// program terminated, the product's own uninstaller or the Windows Installer run hidden and waited for,
// the Downloader's own file parked and renamed in the current directory.
#include "system/legacy_removal.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/bank_profile.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "standins/journal.h"
#include "standins/settings.h"
#include "support/temp_prefix.h"

namespace {

namespace fs = std::filesystem;
using standins::JournalEntry;

BankProfile ProfileOf(std::uint32_t bankId) {
  BankProfile profile;
  ServerEndpoint server;
  FillBankProfile(bankId, profile, server);
  return profile;
}

class LegacyRemoval : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    ASSERT_TRUE(voda_test::FileExists(std::string(VODA_BIN_DIR) + "/standin")) << "the stand-in program is built";
    // The uninstallers of the earlier products work a moment and end, as an uninstaller does.
    for (const char* image : {"uninst.exe", "Uninstall.exe"})
      ASSERT_TRUE(standins::WriteSetting(machine_.root(), std::string(standins::kSettingRolePrefix) + image, "brief"));
    ASSERT_TRUE(standins::WriteSetting(machine_.root(), standins::kSettingMomentMs, "300"));
  }

  void InstallStandin(const std::string& windowsPath) {
    const std::string host = machine_.HostPath(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    fs::copy_file(std::string(VODA_BIN_DIR) + "/standin", host, fs::copy_options::overwrite_existing);
  }

  // Starts a stand-in and waits (bounded) until it has recorded its start; its process id, or 0.
  int StartAndAwait(const std::string& windowsPath) {
    platform::StartRequest request;
    request.file = windowsPath;
    std::unique_ptr<platform::ProcessHandle> handle;
    if (!platform::Current().Procs().StartWithHandle(request, &handle).ok() || !handle) return 0;
    const int pid = static_cast<int>(handle->Id());
    return WaitForEntry("start", pid) ? pid : 0;
  }

  bool WaitForEntry(const std::string& event, int pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const JournalEntry& e : Journal())
        if (e.event == event && e.pid == pid) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::vector<JournalEntry> Journal() { return standins::ReadJournal(machine_.root()); }

  std::vector<JournalEntry> EntriesOf(const std::string& event, const std::string& image) {
    std::vector<JournalEntry> found;
    for (const JournalEntry& e : Journal())
      if (e.event == event && e.image == image) found.push_back(e);
    return found;
  }

  // A folder of drive C: made the current directory.
  void WorkIn(const std::string& windowsPath) {
    fs::create_directories(machine_.HostPath(windowsPath));
    ASSERT_TRUE(platform::Current().Files().SetCurrentDirectory(windowsPath).ok());
  }

  std::string Read(const std::string& windowsPath) { return voda_test::ReadHostFile(machine_.HostPath(windowsPath)); }
  bool Exists(const std::string& windowsPath) { return voda_test::FileExists(machine_.HostPath(windowsPath)); }
  void Write(const std::string& windowsPath, const std::string& data) {
    voda_test::WriteHostFile(machine_.HostPath(windowsPath), data);
  }

  // The last component of the test program's own file: the name a Downloader would look for.
  static std::string OwnName() {
    const std::string path = platform::Current().Files().ModulePath();
    return path.substr(path.find_last_of('\\') + 1);
  }

  voda_test::TempPrefix machine_;
  std::vector<std::string> statuses_;
  LegacyStatusLine status_ = [this](const std::string& text) { statuses_.push_back(text); };
};

TEST(LegacyProductTable, RowsForTheBanksThatHadTheirOwnProduct) {
  for (std::uint32_t bank : {0x166u, 0x861u, 0x866u, 0x867u}) EXPECT_EQ(FindLegacyProduct(bank), &LegacyProductTable[0]);
  EXPECT_EQ(FindLegacyProduct(0x831), &LegacyProductTable[1]);
  for (std::uint32_t bank : {0x101u, 0x0u, 0x8A2u}) EXPECT_EQ(FindLegacyProduct(bank), nullptr);
  for (const LegacyProduct& row : LegacyProductTable) {
    EXPECT_EQ(std::string(row.uninstallerX86).rfind("C:\\Program Files (x86)\\", 0), 0u);
    EXPECT_EQ(std::string(row.uninstaller).rfind("C:\\Program Files\\", 0), 0u);
  }
}

TEST_F(LegacyRemoval, FindProcessByNameIgnoresCaseAndTakesTheFirstStarted) {
  InstallStandin("C:\\a\\HxGuard.exe");
  InstallStandin("C:\\b\\hxguard.EXE");
  const int first = StartAndAwait("C:\\a\\HxGuard.exe");
  const int second = StartAndAwait("C:\\b\\hxguard.EXE");
  ASSERT_NE(first, 0);
  ASSERT_NE(second, 0);
  EXPECT_EQ(FindProcessByName("HXGUARD.exe"), static_cast<platform::ProcessId>(first));
  EXPECT_EQ(FindProcessByName("HxGuard"), 0u);
  EXPECT_EQ(FindProcessByName("nothing.exe"), 0u);
}

TEST_F(LegacyRemoval, OwnUninstallerInThe32BitProgramFolderRunsHiddenWithSAndIsWaitedFor) {
  const LegacyProduct& row = LegacyProductTable[0];
  InstallStandin(std::string("C:\\old\\") + row.imageName);
  InstallStandin(row.uninstallerX86);
  InstallStandin(row.uninstaller);
  const int old = StartAndAwait(std::string("C:\\old\\") + row.imageName);
  ASSERT_NE(old, 0);
  WorkIn("C:\\work");
  Write("C:\\work\\ZQupdate.exe", "parked downloader");

  EXPECT_TRUE(RemoveLegacyAssistants(status_, ProfileOf(0x861)));

  EXPECT_EQ(statuses_, std::vector<std::string>{row.statusText});
  EXPECT_TRUE(platform::Current().Procs().WaitForExit(static_cast<platform::ProcessId>(old), 0).ok())
      << "the old program is terminated";
  const auto starts = EntriesOf("start", "uninst.exe");
  ASSERT_EQ(starts.size(), 1u) << "only the 32-bit program folder's uninstaller runs";
  EXPECT_EQ(starts[0].parameters, "/S");
  EXPECT_EQ(starts[0].show, "SW_HIDE");
  // Waited for: it had ended before the step returned.
  const auto ends = EntriesOf("end", "uninst.exe");
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].pid, starts[0].pid);
  // A parked Downloader gets the assistant program's name.
  EXPECT_FALSE(Exists("C:\\work\\ZQupdate.exe"));
  EXPECT_EQ(Read("C:\\work\\tellvane_861.exe"), "parked downloader");
}

TEST_F(LegacyRemoval, OwnUninstallerInTheProgramFolderWhenThe32BitOneIsMissing) {
  const LegacyProduct& row = LegacyProductTable[1];
  InstallStandin(row.uninstaller);
  // A build for bank 831 (not in this build's bank table) that had the earlier product.
  BankProfile profile = ProfileOf(0x861);
  profile.bankId = 0x831;

  EXPECT_TRUE(RemoveLegacyAssistants(status_, profile));

  EXPECT_EQ(statuses_, std::vector<std::string>{row.statusText});
  const auto starts = EntriesOf("start", "Uninstall.exe");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].parameters, "/S");
  EXPECT_EQ(EntriesOf("end", "Uninstall.exe").size(), 1u);
}

TEST_F(LegacyRemoval, WithoutAnUninstallerTheOldProgramIsTerminatedAndNothingRuns) {
  const LegacyProduct& row = LegacyProductTable[0];
  InstallStandin(std::string("C:\\old\\") + row.imageName);
  const int old = StartAndAwait(std::string("C:\\old\\") + row.imageName);
  ASSERT_NE(old, 0);
  WorkIn("C:\\work");
  Write("C:\\work\\ZQupdate.exe", "left alone");

  EXPECT_TRUE(RemoveLegacyAssistants(status_, ProfileOf(0x861)));

  EXPECT_TRUE(platform::Current().Procs().WaitForExit(static_cast<platform::ProcessId>(old), 0).ok());
  for (const JournalEntry& e : Journal()) {
    if (e.event == "start") {
      EXPECT_EQ(e.pid, old) << "nothing but the old program was ever started";
    }
  }
  EXPECT_EQ(Read("C:\\work\\ZQupdate.exe"), "left alone");
  EXPECT_FALSE(Exists("C:\\work\\tellvane_861.exe"));
}

TEST_F(LegacyRemoval, WindowsInstallerRemovalParksTheDownloaderAndGivesItTheAssistantName) {
  InstallStandin("C:\\Windows\\System32\\msiexec.exe");
  WorkIn("C:\\work");
  const std::string own = OwnName();
  Write("C:\\work\\" + own, "the downloader itself");
  Write("C:\\work\\ZQupdate.exe", "an earlier parked file");
  Write("C:\\work\\killprocess.vbs", "WScript.Echo 1\r\n");
  const BankProfile profile = ProfileOf(0x101);
  ASSERT_FALSE(profile.legacyUninstallKey.empty());

  EXPECT_TRUE(RemoveLegacyAssistants(status_, profile));

  EXPECT_EQ(statuses_, std::vector<std::string>{kGenericRemovalText});
  const auto starts = EntriesOf("start", "msiexec.exe");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].parameters, "/X" + profile.legacyUninstallKey + " /quiet");
  EXPECT_EQ(starts[0].show, "SW_HIDE");
  EXPECT_EQ(EntriesOf("end", "msiexec.exe").size(), 1u) << "waited for";
  EXPECT_TRUE(Exists("C:\\work\\killprocess.vbs"));
  EXPECT_EQ(Read("C:\\work\\killprocess.vbs"), "");
  EXPECT_FALSE(Exists("C:\\work\\" + own));
  EXPECT_FALSE(Exists("C:\\work\\ZQupdate.exe"));
  EXPECT_EQ(Read("C:\\work\\" + profile.assistantExeName), "the downloader itself");
}

TEST_F(LegacyRemoval, WindowsInstallerRemovalFromAnotherFolderMovesNothing) {
  InstallStandin("C:\\Windows\\System32\\msiexec.exe");
  WorkIn("C:\\work");
  const BankProfile profile = ProfileOf(0x101);

  EXPECT_TRUE(RemoveLegacyAssistants(status_, profile));

  EXPECT_EQ(EntriesOf("end", "msiexec.exe").size(), 1u);
  EXPECT_TRUE(fs::is_empty(machine_.HostPath("C:\\work")));
}

TEST_F(LegacyRemoval, NoEarlierProductDoesNothing) {
  InstallStandin("C:\\Windows\\System32\\msiexec.exe");
  InstallStandin(LegacyProductTable[0].uninstallerX86);
  BankProfile profile = ProfileOf(0x1A2B);
  ASSERT_TRUE(profile.legacyUninstallKey.empty());

  EXPECT_TRUE(RemoveLegacyAssistants(status_, profile));
  profile = ProfileOf(0x861);
  profile.legacyUninstallKey.clear();
  EXPECT_TRUE(RemoveLegacyAssistants(status_, profile));

  EXPECT_TRUE(statuses_.empty());
  EXPECT_TRUE(Journal().empty());
}

TEST_F(LegacyRemoval, AnUninstallerThatNeverEndsHoldsTheStepOnlyUntilTheBound) {
  const LegacyProduct& row = LegacyProductTable[0];
  InstallStandin(row.uninstallerX86);
  ASSERT_TRUE(standins::WriteSetting(machine_.root(), std::string(standins::kSettingRolePrefix) + "uninst.exe",
                                     "until-terminated"));
  LegacyRemovalLimits limits;
  limits.uninstallerMs = 300;

  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(RemoveLegacyAssistants(status_, ProfileOf(0x861), limits));
  const auto took = std::chrono::steady_clock::now() - begin;

  const auto starts = EntriesOf("start", "uninst.exe");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_GE(took, std::chrono::milliseconds(300)) << "it was waited for";
  // Left to finish by itself: it still runs.
  EXPECT_EQ(platform::Current().Procs().WaitForExit(static_cast<platform::ProcessId>(starts[0].pid), 0),
            platform::Error::kTimeout);
}

}  // namespace
