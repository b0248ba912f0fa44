// Whole runs of the built downloader as a user makes them: a fresh machine, a release published with
// voda-release and served by update-server on 127.0.0.1, serverip.dat in the folder the downloader is
// started in, and a scripted user who answers the dialogs from the first one on. The test then looks at
// the machine: installed files (digests checked with openssl), manifests, registry records, and what the
// headless window system echoed of the progress dialog.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "app/run_program.h"
#include "e2e_support.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "standins/journal.h"
#include "support/temp_prefix.h"
#include "system/registry_records.h"

namespace {

namespace fs = std::filesystem;
using apptest::ProgramRun;
using e2e::Count;
using e2e::Echoed;
using e2e::Entry;
using e2e::kAcceptDefaults;
using e2e::ManifestEntries;
using e2e::OpensslDigest;
using e2e::RawValue;
using e2e::Sz;
using e2e::Without;

// The target lnkinfo reads from a shortcut file ("Local path"), or what it said instead.
std::string LnkTarget(const std::string& hostPath) {
  std::string out;
  if (FILE* pipe = ::popen(("lnkinfo '" + hostPath + "' 2>&1").c_str(), "r")) {
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    ::pclose(pipe);
  }
  const std::size_t at = out.find("\tLocal path\t");
  if (at == std::string::npos) return "lnkinfo: " + out;
  const std::size_t colon = out.find(": ", at);
  return out.substr(colon + 2, out.find('\n', colon) - colon - 2);
}

class InstallationRun : public e2e::MachineRun {
 protected:
  // Publishes `files` (relative host paths below the source folder; "bank/..." for the bank manifest)
  // as `version` and serves the release; serverip.dat then points at the server.
  void Publish(const std::string& version, const std::map<std::string, std::string>& files,
               const std::vector<std::string>& faults = {}, const std::string& update = "2") {
    ASSERT_NO_FATAL_FAILURE(PublishRelease(version, files, update, &release_));
    ASSERT_NO_FATAL_FAILURE(Serve(release_, faults));
  }

  // The four shortcut places of this machine, the quick-launch folder made as a user profile has it.
  std::string DesktopLink() const { return machine_.prefix().GetMachine().commonDesktop + "\\" + LinkName(); }
  std::string StartMenuFolder() const {
    return machine_.prefix().GetMachine().commonPrograms + "\\" + g_bankProfile.productFolder;
  }
  std::string QuickLaunchFolder() const {
    return machine_.prefix().GetMachine().appData + "\\Microsoft\\Internet Explorer\\Quick Launch";
  }
  static std::string LinkName() { return g_bankProfile.productName + ".lnk"; }
  void MakeQuickLaunchFolder() const { fs::create_directories(machine_.HostPath(QuickLaunchFolder())); }

  // The shortcuts of an installation and their targets as lnkinfo reads them; an empty text for a
  // shortcut that is not there.
  std::vector<std::string> ShortcutTargets() const {
    std::vector<std::string> targets;
    for (const std::string& link : {DesktopLink(), StartMenuFolder() + "\\" + LinkName(),
                                    StartMenuFolder() + "\\" + g_bankProfile.productName + "卸载程序.lnk",
                                    QuickLaunchFolder() + "\\" + LinkName()}) {
      const std::string host = machine_.HostPath(link);
      targets.push_back(voda_test::FileExists(host) ? LnkTarget(host) : "");
    }
    return targets;
  }

  std::vector<Entry> Published(const std::string& manifest) const {
    return ManifestEntries(voda_test::ReadHostFile(release_ + "/files/" + manifest));
  }

  // Every entry of the release's manifest is installed with its digest and the published bytes.
  void ExpectInstalled(const std::string& manifest) { MachineRun::ExpectInstalled(release_, manifest); }

  std::string release_;
};

// Three files for Digest.xml (one in the installation folder itself, one in a subfolder that does not
// exist yet) and two for the bank manifest.
std::map<std::string, std::string> FirstRelease() {
  return {{"ZivIV_861.exe", "the main program"},
          {"Data/d.dat", "data"},
          {"Plugins/sub/a.dll", std::string(10000, 'a')},
          {"bank/Script/b.js", "bank script"},
          {"bank/Tools/t.dat", "bank tool"}};
}

TEST_F(InstallationRun, FirstInstallationPlacesEveryFileRecordsItAndEnds) {
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.1", FirstRelease()));
  MakeQuickLaunchFolder();
  const ProgramRun run = Run({}, std::string(kAcceptDefaults) +
                                     "wait text 1020 \"完成安装,准备启动助手\" 60\n"
                                     "expect text 2 \"下载完成\"\n"
                                     "expect text 1024 \"100.00%\"\n"
                                     "expect range 1022 0 5\n"
                                     "expect pos 1022 5\n"
                                     "expect range 1021 0 9\n"
                                     "expect pos 1021 9\n"
                                     "expect text 1023 \"100.00%\"\n");
  // The last download is t.dat (9 bytes): the per-file bar ends at its length.

  ExpectInstalled("Digest.xml");
  ExpectInstalled("Digest_861.xml");
  for (const char* manifest : {"Digest.xml", "Digest_861.xml"}) {
    EXPECT_EQ(voda_test::ReadHostFile(InstalledHost(manifest)),
              voda_test::ReadHostFile(release_ + "/files/" + manifest))
        << manifest;
  }
  // The staging tree of later updates is there, empty.
  for (const char* folder : {"DownLoad\\Data", "DownLoad\\Plugins", "DownLoad\\Script", "DownLoad\\Tools"}) {
    EXPECT_TRUE(fs::is_directory(InstalledHost(folder))) << folder;
    EXPECT_TRUE(fs::is_empty(InstalledHost(folder))) << folder;
  }

  // Status line: the bank's earlier product looked for (none on this machine), the manifests, the five
  // files numbered over both manifests, the end.
  const std::vector<std::string> status = Echoed(run.standardError, 1020);
  ASSERT_GE(status.size(), 2u) << run.standardError;
  EXPECT_EQ(status[0], "正在卸载旧版网银安全卫士");
  EXPECT_EQ(status[1], "正在下载 配置文件");
  EXPECT_EQ(Without(status, "正在下载 配置文件"),
            (std::vector<std::string>{"正在卸载旧版网银安全卫士", "正在下载 ZivIV_861.exe   1/5", "正在下载 d.dat   2/5", "正在下载 a.dll   3/5",
                                      "正在下载 b.js   4/5", "正在下载 t.dat   5/5", "创建桌面快捷方式",
                                      "创建快速启动选项", "完成安装,准备启动助手"}));
  EXPECT_EQ(Without(Echoed(run.standardError, 1024), "0%"),
            (std::vector<std::string>{"20.00%", "40.00%", "60.00%", "80.00%", "100.00%"}));
  // The 10,000-byte file reports after each block of 4096 bytes.
  const std::vector<std::string> file = Echoed(run.standardError, 1023);
  const std::vector<std::string> blocks = {"0%", "40.96%", "81.92%", "100.00%"};
  EXPECT_NE(std::search(file.begin(), file.end(), blocks.begin(), blocks.end()), file.end()) << run.standardError;

  // The records, exactly: REG_SZ without terminating zero, the product and Uninstall keys in the 32-bit
  // view, the Run entry (the autostart box is ticked by default) in the 64-bit view only.
  const std::string product = ProductRegistryKey();
  EXPECT_EQ(ReadValue(product, platform::kKeyRead, "Version"), Sz("1.0.0.1"));
  EXPECT_EQ(ReadValue(product, platform::kKeyRead, "Path"), Sz(installDir_));
  EXPECT_EQ(ReadValue(product, platform::kKeyRead, "BankID"), Sz("861"));
  const std::string uninstall = UninstallRegistryKey();
  EXPECT_EQ(ReadValue(uninstall, platform::kKeyRead, "UninstallString"), Sz(installDir_ + "\\uninst_861.exe"));
  EXPECT_EQ(ReadValue(uninstall, platform::kKeyRead, "Publisher"), Sz("Corvane"));
  EXPECT_EQ(ReadValue(uninstall, platform::kKeyRead, "DisplayName"), Sz(g_bankProfile.productName));
  EXPECT_EQ(ReadValue(uninstall, platform::kKeyRead, "DisplayVersion"), Sz("1.0.0.1"));
  EXPECT_EQ(ReadValue(uninstall, platform::kKeyRead, "DisplayIcon"), Sz(installDir_ + "\\ZivIV_861.exe"));
  EXPECT_EQ(ReadValue(kRunRegistryKey, platform::kKeyRead | platform::kKeyWow64_64Key, g_bankProfile.productName),
            Sz(installDir_ + "\\QuillonPop_861.exe"));
  EXPECT_EQ(ReadValue(kRunRegistryKey, platform::kKeyRead, g_bankProfile.productName), RawValue{});

  // Four shortcuts: desktop, the start-menu folder with the uninstaller's, quick launch.
  const std::string main = installDir_ + "\\ZivIV_861.exe";
  EXPECT_EQ(ShortcutTargets(), (std::vector<std::string>{main, main, installDir_ + "\\uninst_861.exe", main}));
}

TEST_F(InstallationRun, DesktopOptionClearedGivesNoDesktopShortcut) {
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.1", FirstRelease()));
  MakeQuickLaunchFolder();
  const ProgramRun run = Run({}, "wait dialog 130 30\n"
                                 "wait dialog 132 30\n"
                                 "click 1\n"
                                 "wait dialog 134\n"
                                 "tick 1016 off\n"
                                 "click 1\n"
                                 "wait dialog 135\n"
                                 "wait text 1020 \"完成安装,准备启动助手\" 60\n");
  const std::string main = installDir_ + "\\ZivIV_861.exe";
  EXPECT_EQ(ShortcutTargets(), (std::vector<std::string>{"", main, installDir_ + "\\uninst_861.exe", main}));
  const std::vector<std::string> status = Echoed(run.standardError, 1020);
  EXPECT_EQ(std::count(status.begin(), status.end(), "创建桌面快捷方式"), 0);
  EXPECT_EQ(std::count(status.begin(), status.end(), "创建快速启动选项"), 1);
}

// The user's part of an update or repair run: the progress dialog opens by itself.
const char kWatchProgress[] =
    "wait dialog 135 30\n"
    "wait text 1020 \"完成安装,准备启动助手\" 60\n"
    "expect text 2 \"下载完成\"\n";

TEST_F(InstallationRun, UpdateStagesTheChangedFilesThenRepairRestoresADamagedOne) {
  // The first installation without the desktop shortcut.
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.1", FirstRelease()));
  Run({}, "wait dialog 130 30\n"
          "wait dialog 132 30\n"
          "click 1\n"
          "wait dialog 134\n"
          "tick 1016 off\n"
          "click 1\n"
          "wait dialog 135\n"
          "wait text 1020 \"完成安装,准备启动助手\" 60\n");
  ASSERT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), Sz("1.0.0.1"));
  ASSERT_EQ(ShortcutTargets()[0], "");

  // Two files of Digest.xml and one of the bank manifest change; the server offers the update and the
  // user accepts it in the update dialog.
  std::map<std::string, std::string> second = FirstRelease();
  second["Data/d.dat"] = "data, second edition";
  second["Plugins/sub/a.dll"] = std::string(5000, 'b');
  second["bank/Script/b.js"] = "bank script, second edition";
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.2", second, {}, "1"));
  const ProgramRun update = Run({}, std::string("wait dialog 139 30\nclick 1\n") + kWatchProgress);
  EXPECT_NE(update.standardError.find("[ui] dialog 139 hidden"), std::string::npos) << update.standardError;

  // The staging list is never cleared: the bank manifest's run downloads the two common files again.
  EXPECT_EQ(Without(Echoed(update.standardError, 1020), "正在下载 配置文件"),
            (std::vector<std::string>{"正在下载 Data\\d.dat   1/2", "正在下载 Plugins\\sub\\a.dll   2/2",
                                      "正在下载 Data\\d.dat   1/3", "正在下载 Plugins\\sub\\a.dll   2/3",
                                      "正在下载 Script\\b.js   3/3", "创建桌面快捷方式", "创建快速启动选项",
                                      "完成安装,准备启动助手"}));
  EXPECT_EQ(Without(Echoed(update.standardError, 1024), "0%"),
            (std::vector<std::string>{"50.00%", "100.00%", "33.33%", "66.67%", "100.00%"}));
  ExpectInstalled("Digest.xml");
  ExpectInstalled("Digest_861.xml");
  for (const char* folder : {"DownLoad\\Data", "DownLoad\\Plugins", "DownLoad\\Script", "DownLoad\\Tools"}) {
    EXPECT_TRUE(fs::is_directory(InstalledHost(folder))) << folder;
  }
  for (const auto& item : fs::recursive_directory_iterator(InstalledHost("DownLoad"))) {
    EXPECT_TRUE(item.is_directory()) << "left in the staging tree: " << item.path();
  }
  EXPECT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), Sz("1.0.0.2"));
  EXPECT_EQ(ReadValue(UninstallRegistryKey(), platform::kKeyRead, "DisplayVersion"), Sz("1.0.0.2"));
  // Every run starts with all shortcut options set: the update makes the desktop shortcut again.
  EXPECT_EQ(ShortcutTargets()[0], installDir_ + "\\ZivIV_861.exe");

  // A component damaged on disk comes back with "-losefile", whatever the versions.
  voda_test::WriteHostFile(InstalledHost("Data\\d.dat"), "damaged");
  const std::size_t fetchedBefore = Count(server_->Output(), "GET /files/Data/d.dat");
  const ProgramRun repair = Run({"-losefile"}, kWatchProgress);
  // Both manifest runs download the one queued file (1/1 twice; the echo shows a repeated text once).
  EXPECT_EQ(Without(Echoed(repair.standardError, 1020), "正在下载 配置文件"),
            (std::vector<std::string>{"正在下载 Data\\d.dat   1/1", "完成安装,准备启动助手"}));
  EXPECT_EQ(Count(server_->Output(), "GET /files/Data/d.dat") - fetchedBefore, 2u) << server_->Output();
  EXPECT_EQ(voda_test::ReadHostFile(InstalledHost("Data\\d.dat")), "data, second edition");
  ExpectInstalled("Digest.xml");
  ExpectInstalled("Digest_861.xml");
}

TEST_F(InstallationRun, CancelAsksWhileTheRunWorksAndYesEndsTheProcessAtOnce) {
  // The third file keeps the run busy long enough for the user to answer.
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.1", FirstRelease(), {"/files/Plugins/sub/a.dll delay 8000"}));
  const ProgramRun run = Run({}, std::string(kAcceptDefaults) +
                                     "wait text 1020 \"正在下载 a.dll   3/5\" 30\n"
                                     "click 2\n"
                                     "wait box \"下载还未完成，确定取消？\"\n"
                                     "answer no\n"
                                     "wait dialog 135\n"
                                     "expect text 1020 \"正在下载 a.dll   3/5\"\n"
                                     "escape\n"
                                     "wait box \"下载还未完成，确定取消？\"\n"
                                     "answer yes\n"
                                     "sleep 20000\n");
  EXPECT_EQ(Count(run.standardError, "message box \"" + g_bankProfile.downloaderTitle +
                                         "\": \"下载还未完成，确定取消？\""),
            2u)
      << run.standardError;
  // The process ended while the download still waited: nothing after the third file, no record.
  EXPECT_EQ(run.standardError.find("正在下载 b.js"), std::string::npos) << run.standardError;
  EXPECT_EQ(run.standardError.find("[ui] script"), std::string::npos) << "the script ran to its end";
  EXPECT_TRUE(voda_test::FileExists(InstalledHost("Data\\d.dat")));
  EXPECT_FALSE(voda_test::FileExists(InstalledHost("Plugins\\sub\\a.dll")));
  EXPECT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), RawValue{});
}

TEST_F(InstallationRun, MissingComponentStopsTheRunAndCloseNeedsNoQuestion) {
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.1", FirstRelease(), {"/files/Data/d.dat status 404"}));
  const ProgramRun run = Run({}, std::string(kAcceptDefaults) +
                                     "wait text 2 \"下载失败\" 60\n"
                                     "expect text 1020 \"下载d.dat 失败\"\n"
                                     "sleep 1000\n"
                                     "click 2\n"
                                     "sleep 20000\n");
  EXPECT_EQ(Count(server_->Output(), "GET /files/Data/d.dat"), 5u) << server_->Output();
  EXPECT_EQ(run.standardError.find("下载还未完成"), std::string::npos) << run.standardError;
  // Closing the stopped run unwinds the dialogs and the program ends, before the script does.
  EXPECT_NE(run.standardError.find("[ui] dialog 135 closed"), std::string::npos) << run.standardError;
  EXPECT_EQ(run.standardError.find("[ui] script"), std::string::npos) << run.standardError;
  // Files before the failed one stay; nothing after it is fetched; nothing is recorded.
  EXPECT_TRUE(voda_test::FileExists(InstalledHost("ZivIV_861.exe")));
  EXPECT_FALSE(voda_test::FileExists(InstalledHost("Data\\d.dat")));
  EXPECT_EQ(server_->Output().find("a.dll"), std::string::npos);
  EXPECT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), RawValue{});
}

TEST_F(InstallationRun, BrokenManifestSignatureOrTamperedComponentStopsTheRun) {
  // What is changed in the published release after publishing, and what the user then sees.
  const struct {
    const char* name;
    const char* file;                 // below the release's files/
    bool signature;                   // flip a digit of the signature, else change the component's bytes
    const char* status;               // label 1020 when the run has stopped
    const char* cancelCaption;        // button 2
    std::size_t componentsInstalled;  // of the five
  } cases[] = {
      {"broken signature", "Digest.xml", true, "正在下载 配置文件", "取消", 0},
      {"tampered component", "Data/d.dat", false, "下载d.dat 失败", "下载失败", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Publish(std::string("1.0.0.") + (c.signature ? "1" : "2"), FirstRelease()));
    const std::string target = release_ + "/files/" + c.file;
    std::string bytes = voda_test::ReadHostFile(target);
    if (c.signature) {
      const std::size_t sign = bytes.find("<Sign>");
      ASSERT_NE(sign, std::string::npos);
      char& digit = bytes[sign + 6 + 10];
      digit = digit == '0' ? '1' : '0';
    } else {
      bytes += " and more";
    }
    voda_test::WriteHostFile(target, bytes);

    const ProgramRun run = Run({}, std::string(kAcceptDefaults) + "wait text 1020 \"" + c.status + "\" 60\n" +
                                       "sleep 1500\n"
                                       "expect text 2 \"" + c.cancelCaption + "\"\n"
                                       "click 2\n"
                                       "sleep 20000\n");
    EXPECT_EQ(run.standardError.find("下载还未完成"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("[ui] script"), std::string::npos) << "the program did not end";
    std::size_t installed = 0;
    for (const Entry& e : Published("Digest.xml")) installed += voda_test::FileExists(InstalledHost(e.Relative()));
    for (const Entry& e : Published("Digest_861.xml")) installed += voda_test::FileExists(InstalledHost(e.Relative()));
    EXPECT_EQ(installed, c.componentsInstalled);
    EXPECT_FALSE(voda_test::FileExists(InstalledHost("Data\\d.dat"))) << "a file without its digest is never kept";
    EXPECT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), RawValue{});
  }
}

TEST_F(InstallationRun, FileHeldByARunningProgramStopsTheUpdateWithItsMessage) {
  std::map<std::string, std::string> first = FirstRelease();
  first["Tools/helper.exe"] = voda_test::ReadHostFile(std::string(VODA_BIN_DIR) + "/standin");
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.1", first));
  Run({}, std::string(kAcceptDefaults) + "wait text 1020 \"完成安装,准备启动助手\" 60\n");
  const std::string installedHelper = voda_test::ReadHostFile(InstalledHost("Tools\\helper.exe"));
  ASSERT_EQ(installedHelper, first["Tools/helper.exe"]);

  // The installed helper runs and holds its image, so it cannot be copied over.
  std::unique_ptr<platform::ProcessHandle> helper;
  platform::StartRequest request;
  request.file = installDir_ + "\\Tools\\helper.exe";
  ASSERT_TRUE(machine_.platform().Procs().StartWithHandle(request, &helper).ok());
  ASSERT_TRUE(WaitForStart(helper->Id()));

  std::map<std::string, std::string> second = first;
  second["Tools/helper.exe"] = first["Tools/helper.exe"] + "second edition";
  ASSERT_NO_FATAL_FAILURE(Publish("1.0.0.2", second));
  const ProgramRun update = Run({}, "wait box \"更新失败，助手文件被占用，请关闭占用重新更新!\" 60\n"
                                    "answer ok\n"
                                    "sleep 20000\n");
  EXPECT_NE(update.standardError.find("[ui] message box \"" + g_bankProfile.productName + "\""), std::string::npos)
      << update.standardError;
  EXPECT_EQ(update.standardError.find("[ui] script"), std::string::npos) << "the program did not end";
  // Nothing after the copy ran: the old file stays, the staged one waits, the old version is recorded.
  EXPECT_EQ(voda_test::ReadHostFile(InstalledHost("Tools\\helper.exe")), installedHelper);
  EXPECT_EQ(voda_test::ReadHostFile(InstalledHost("DownLoad\\Tools\\helper.exe")), second["Tools/helper.exe"]);
  EXPECT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), Sz("1.0.0.1"));
  EXPECT_TRUE(machine_.platform().Procs().Terminate(helper->Id(), 0).ok());
}

}  // namespace
