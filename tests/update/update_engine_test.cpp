// Whole runs of the update engine on a fresh prefix against the real update-server on 127.0.0.1,
// serving releases made with the publisher: first installation, update, repair, and the failures a user
// meets (broken signature, tampered or missing component, unsafe entry, a file held by a running
// program). The engine reports to a view that records every call, as the progress dialog would show it.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "app/utilities.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix/image_lock.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "server/publisher.h"
#include "server/server_process.h"
#include "support/temp_prefix.h"
#include "system/registry_records.h"
#include "update/file_replacement.h"
#include "update/manifest.h"
#include "update/update_engine.h"

namespace {

namespace fs = std::filesystem;
using servertest::ServerProcess;

const char kInstallDir[] = "C:\\Program Files (x86)\\voda";

// Every call of the engine, in order, in a short text form.
class RecordingView final : public RunProgressView {
 public:
  void SetFileProgress(std::uint32_t pos, std::uint32_t rangeMax) override {
    fileBar = std::to_string(pos) + "/" + std::to_string(rangeMax);
  }
  void SetFilePercentText(const std::string& text) override { filePercent = text; }
  void SetStatusText(const std::string& text) override { statuses.push_back(text); }
  void SetTotalRange(std::uint32_t rangeMax) override { totalRange = rangeMax; }
  void SetTotalPos(std::uint32_t pos) override { totalPos = pos; }
  void SetTotalPercentText(const std::string& text) override { totalPercents.push_back(text); }
  void SetCancelCaption(const std::string& text) override { cancelCaption = text; }
  void ReportFileInUse(const std::string& text, const std::string& caption) override {
    inUse.push_back(text + "|" + caption);
  }

  // The status texts that announce a component download.
  std::vector<std::string> Downloads() const {
    std::vector<std::string> found;
    for (const std::string& s : statuses) {
      if (s.rfind("正在下载 ", 0) == 0 && s != "正在下载 配置文件") found.push_back(s);
    }
    return found;
  }

  std::vector<std::string> statuses;
  std::vector<std::string> totalPercents;
  std::vector<std::string> inUse;
  std::string fileBar;
  std::string filePercent;
  std::string cancelCaption = "取消";
  std::uint32_t totalRange = 0;
  std::uint32_t totalPos = 0;
};

// A component tree as the publisher takes it: relative host path (with "/") to content. Files below
// "bank/" go to the bank manifest.
using Tree = std::vector<std::pair<std::string, std::string>>;

std::string Standin() { return voda_test::ReadHostFile(std::string(VODA_BIN_DIR) + "/standin"); }

class EngineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    g_bankProfile = BankProfile{};
    g_server = ServerEndpoint{};
    FillBankProfile(0x861, g_bankProfile, g_server);
    g_addAutoStart = false;
  }
  void TearDown() override {
    g_bankProfile = BankProfile{};
    g_server = ServerEndpoint{};
  }

  // Publishes `tree` as a new release and serves it; the server of the previous release stops.
  void Serve(const Tree& tree, const std::string& version) {
    server_.reset();
    const std::string source = machine_.tempDir() + "/src-" + std::to_string(++releases_);
    release_ = machine_.tempDir() + "/release-" + std::to_string(releases_);
    for (const auto& [relative, content] : tree) {
      fs::create_directories(fs::path(source + "/" + relative).parent_path());
      voda_test::WriteHostFile(source + "/" + relative, content);
    }
    PublishRequest request;
    request.source = source;
    request.destination = release_;
    request.version = version;
    request.url = "{base}/files";
    request.update = "2";
    request.banks = {0x861};
    request.signingKeyPem = BuildManifestSigningKey();
    std::string error;
    ASSERT_TRUE(PublishRelease(request, error)) << error;
    server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"--release", release_});
    ASSERT_GT(server_->HttpPort(), 0) << server_->Output();
    version_ = version;
  }

  std::string BaseUrl() const { return server_->HttpBase() + "/files"; }
  std::string ReleaseFile(const std::string& relative) const { return release_ + "/files/" + relative; }
  std::string Host(const std::string& relative) const {
    return machine_.HostPath(std::string(kInstallDir) + "\\" + relative);
  }

  std::unique_ptr<UpdateEngine> Engine(int mode, RecordingView& view) {
    auto engine = std::make_unique<UpdateEngine>(&view, "NOVRA", mode, BaseUrl(), 2, version_, kInstallDir);
    engine->m_limits.connectTimeoutMs = 5000;
    engine->m_limits.stallTimeoutMs = 5000;
    return engine;
  }

  // The engine's steps in the installation worker's order, up to the first failure.
  bool RunSequence(UpdateEngine& engine) {
    if (!CreateFolderTree(engine.m_installDir)) return false;
    engine.CreateComponentFolders();
    if (!engine.DownloadManifests()) return false;
    engine.m_total = engine.CountManifestEntries(KindBank) + engine.CountManifestEntries(KindCommon);
    if (!engine.RunManifest(KindCommon) || !engine.RunManifest(KindBank)) return false;
    engine.ApplyDownloadedFiles();
    engine.ClearDownloadFolder();
    engine.WriteRegistryRecords();
    return true;
  }

  // Every file of the release's manifests lies installed with the manifest's digest.
  void ExpectInstalledAsReleased() {
    for (const char* manifest : {"Digest.xml", "Digest_861.xml"}) {
      SCOPED_TRACE(manifest);
      EXPECT_EQ(voda_test::ReadHostFile(ReleaseFile(manifest)), voda_test::ReadHostFile(Host(manifest)));
      const std::vector<ManifestEntry> entries = ReadManifestEntries(std::string(kInstallDir) + "\\" + manifest);
      ASSERT_FALSE(entries.empty());
      for (const ManifestEntry& entry : entries) {
        std::string digest;
        EXPECT_TRUE(ComputeFileDigest(InstalledFilePath(kInstallDir, entry), digest));
        EXPECT_EQ(entry.digest, digest) << RelativeEntry(entry);
      }
    }
  }

  // The requests of `path` the server has logged, once `expected` have come or two seconds have
  // passed (a request is logged after its answer went out).
  std::size_t Requests(const std::string& path, std::size_t expected = 0) {
    const std::string what = "GET " + path + " ";
    const auto count = [&] {
      const std::string& out = server_->Output();
      std::size_t n = 0;
      for (std::size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) ++n;
      return n;
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (count() < expected && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return count();
  }

  std::string RegistryText(const std::string& key, const std::string& name) {
    std::unique_ptr<platform::RegistryKey> open;
    if (!platform::Current().Reg().OpenKey(key, platform::kKeyRead, &open).ok()) return "<no key>";
    char buffer[512] = {};
    std::uint32_t size = sizeof buffer;
    if (!open->QueryValue(name, nullptr, buffer, &size).ok()) return "<no value>";
    return std::string(buffer, size);
  }

  voda_test::TempPrefix machine_;
  std::unique_ptr<ServerProcess> server_;
  std::string release_;
  std::string version_;
  int releases_ = 0;
};

// Three files in Digest.xml (one directly in the installation folder), two in the bank manifest.
const Tree kVersion1 = {
    {"Data/d.dat", "data one"},
    {"Plugins/a.dll", "plug-in one"},
    {"top.txt", "top one"},
    {"bank/Script/b.js", "script one"},
    {"bank/Plugins/sub/c.dll", "bank plug-in one"},
};

TEST_F(EngineRun, FirstInstallationPlacesEveryFileWithItsDigest) {
  Serve(kVersion1, "1.0.0.1");
  RecordingView view;
  auto engine = Engine(ModeInstall, view);
  ASSERT_TRUE(RunSequence(*engine));

  EXPECT_EQ(5, engine->m_total);
  // Each manifest lists its files sorted by folder, then name.
  EXPECT_EQ((std::vector<std::string>{"正在下载 top.txt   1/5", "正在下载 d.dat   2/5", "正在下载 a.dll   3/5",
                                      "正在下载 c.dll   4/5", "正在下载 b.js   5/5"}),
            view.Downloads());
  EXPECT_EQ((std::vector<std::string>{"20.00%", "40.00%", "60.00%", "80.00%", "100.00%"}), view.totalPercents);
  EXPECT_EQ(5u, view.totalPos);
  EXPECT_EQ("取消", view.cancelCaption);
  EXPECT_EQ("正在下载 配置文件", view.statuses.front());
  ExpectInstalledAsReleased();
  // The file of the top folder was asked for with two slashes, the nested one in a folder made for it.
  EXPECT_EQ(1u, Requests("/files//top.txt", 1));
  EXPECT_TRUE(fs::is_directory(Host("DownLoad/Tools")));
  EXPECT_EQ("1.0.0.1", RegistryText(ProductRegistryKey(), "Version"));
}

TEST_F(EngineRun, UpdateStagesChangedFilesAndCopiesThemOver) {
  Serve(kVersion1, "1.0.0.1");
  {
    RecordingView view;
    ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
  }
  Tree version2 = kVersion1;
  version2[0].second = "data two";   // Data\d.dat
  version2[2].second = "top two";    // top.txt
  version2[3].second = "script two"; // bank Script\b.js
  Serve(version2, "1.0.0.2");

  RecordingView view;
  auto engine = Engine(ModeUpdate, view);
  ASSERT_TRUE(RunSequence(*engine));
  EXPECT_EQ((std::vector<std::string>{"正在下载 top.txt   1/2", "正在下载 Data\\d.dat   2/2",
                                      "正在下载 top.txt   1/3", "正在下载 Data\\d.dat   2/3",
                                      "正在下载 Script\\b.js   3/3"}),
            view.Downloads());
  EXPECT_EQ((std::vector<std::string>{"50.00%", "100.00%", "33.33%", "66.67%", "100.00%"}), view.totalPercents);
  EXPECT_EQ(3u, view.totalRange);
  EXPECT_EQ(2u, Requests("/files/Data/d.dat", 2));
  ExpectInstalledAsReleased();
  EXPECT_EQ("data two", voda_test::ReadHostFile(Host("Data/d.dat")));

  // The staging tree is empty and its folders stay.
  for (const char* folder : {"DownLoad", "DownLoad/Data", "DownLoad/Plugins", "DownLoad/Script"}) {
    EXPECT_TRUE(fs::is_directory(Host(folder))) << folder;
  }
  std::size_t files = 0;
  for (const auto& item : fs::recursive_directory_iterator(Host("DownLoad"))) files += item.is_regular_file();
  EXPECT_EQ(0u, files);

  EXPECT_EQ("1.0.0.2", RegistryText(ProductRegistryKey(), "Version"));
  EXPECT_EQ("1.0.0.2", RegistryText(UninstallRegistryKey(), "DisplayVersion"));
}

TEST_F(EngineRun, NothingChangedShowsNoUpdateAndFullBars) {
  Serve(kVersion1, "1.0.0.1");
  {
    RecordingView view;
    ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
  }
  RecordingView view;
  auto engine = Engine(ModeUpdate, view);
  ASSERT_TRUE(RunSequence(*engine));
  EXPECT_TRUE(view.Downloads().empty());
  EXPECT_EQ("无需更新", view.statuses.back());
  EXPECT_EQ("100%", view.filePercent);
  ASSERT_FALSE(view.totalPercents.empty());
  EXPECT_EQ("100%", view.totalPercents.back());
  EXPECT_EQ("1/1", view.fileBar);
  EXPECT_EQ(1u, view.totalRange);
  EXPECT_EQ(1u, view.totalPos);
}

TEST_F(EngineRun, RepairRestoresAFileChangedOnDisk) {
  Serve(kVersion1, "1.0.0.1");
  {
    RecordingView view;
    ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
  }
  voda_test::WriteHostFile(Host("Plugins/sub/c.dll"), "damaged");
  fs::remove(Host("Data/d.dat"));

  RecordingView view;
  ASSERT_TRUE(RunSequence(*Engine(ModeRepair, view)));
  EXPECT_EQ((std::vector<std::string>{"正在下载 Data\\d.dat   1/1", "正在下载 Data\\d.dat   1/2",
                                      "正在下载 Plugins\\sub\\c.dll   2/2"}),
            view.Downloads());
  ExpectInstalledAsReleased();
}

TEST_F(EngineRun, UpdateWithoutInstalledManifestsComparesEveryFile) {
  Serve(kVersion1, "1.0.0.1");
  {
    RecordingView view;
    ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
  }
  Tree version2 = kVersion1;
  version2[1].second = "plug-in two";
  Serve(version2, "1.0.0.2");
  fs::remove(Host("Digest.xml"));
  fs::remove(Host("Digest_861.xml"));

  // Without the installed manifests each installed file is compared with the fresh manifest by its own
  // digest: only the changed one is fetched, and the run installs the fresh manifests.
  RecordingView view;
  ASSERT_TRUE(RunSequence(*Engine(ModeUpdate, view)));
  EXPECT_EQ((std::vector<std::string>{"正在下载 Plugins\\a.dll   1/1", "正在下载 Plugins\\a.dll   1/1"}),
            view.Downloads());
  ExpectInstalledAsReleased();
  EXPECT_EQ("plug-in two", voda_test::ReadHostFile(Host("Plugins/a.dll")));
}

// Names the publisher allows but a URL cannot carry as they are reach the server intact in both URL forms.
TEST_F(EngineRun, NamesWithBlanksAndChineseCharacters) {
  const Tree version1 = {{"Data/中文 名 100%.dat", "one"}, {"bank/Script/a#b.js", "script"}};
  Serve(version1, "1.0.0.1");
  {
    RecordingView view;
    ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
  }
  ExpectInstalledAsReleased();
  Tree version2 = version1;
  version2[0].second = "two";
  Serve(version2, "1.0.0.2");
  RecordingView view;
  ASSERT_TRUE(RunSequence(*Engine(ModeUpdate, view)));
  EXPECT_EQ("two", voda_test::ReadHostFile(Host("Data/中文 名 100%.dat")));
  ExpectInstalledAsReleased();
}

// A release may bring folders the installation does not have yet, also two levels deep: they are made
// below the staging folder and the installation folder alike.
TEST_F(EngineRun, NewFoldersOfARelease) {
  Tree version1 = kVersion1;
  version1.push_back({"Plugins/x/y/first.dll", "first"});
  Serve(version1, "1.0.0.1");
  {
    RecordingView view;
    ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
  }
  Tree version2 = kVersion1;
  version2.push_back({"Tools/new/deeper/tool.dat", "tool"});
  version2.push_back({"bank/Data/b1/b2/bank.dat", "bank data"});
  Serve(version2, "1.0.0.2");
  RecordingView view;
  ASSERT_TRUE(RunSequence(*Engine(ModeUpdate, view)));
  ExpectInstalledAsReleased();
  EXPECT_EQ("tool", voda_test::ReadHostFile(Host("Tools/new/deeper/tool.dat")));
  EXPECT_FALSE(fs::exists(Host("DownLoad/Tools/new/deeper/tool.dat")));
}

TEST_F(EngineRun, ABrokenManifestSignatureStopsTheRun) {
  Serve(kVersion1, "1.0.0.1");
  std::string manifest = voda_test::ReadHostFile(ReleaseFile("Digest_861.xml"));
  const std::size_t at = manifest.find("b.js");
  ASSERT_NE(std::string::npos, at);
  manifest[at] = 'x';
  voda_test::WriteHostFile(ReleaseFile("Digest_861.xml"), manifest);

  RecordingView view;
  auto engine = Engine(ModeInstall, view);
  ASSERT_TRUE(CreateFolderTree(kInstallDir));
  engine->CreateComponentFolders();
  EXPECT_FALSE(engine->DownloadManifests());
  EXPECT_TRUE(view.Downloads().empty());
  EXPECT_EQ("<no key>", RegistryText(ProductRegistryKey(), "Version"));
}

TEST_F(EngineRun, TamperedOrMissingComponentFailsTheFirstInstallation) {
  struct Case {
    const char* name;
    bool remove;  // else tampered
  };
  for (const Case& c : {Case{"tampered", false}, Case{"missing", true}}) {
    SCOPED_TRACE(c.name);
    Serve(kVersion1, "1.0.0.1");
    if (c.remove) {
      fs::remove(ReleaseFile("Plugins/a.dll"));
    } else {
      voda_test::WriteHostFile(ReleaseFile("Plugins/a.dll"), "plug-in evil");
    }
    fs::remove_all(machine_.HostPath(kInstallDir));

    RecordingView view;
    auto engine = Engine(ModeInstall, view);
    EXPECT_FALSE(RunSequence(*engine));
    EXPECT_EQ("下载a.dll 失败", view.statuses.back());
    EXPECT_EQ("下载失败", view.cancelCaption);
    EXPECT_EQ(5u, Requests("/files/Plugins/a.dll", 5));
    EXPECT_FALSE(fs::exists(Host("Plugins/a.dll")));
    // The files before it stay; the loop stops, so later entries are not fetched.
    EXPECT_TRUE(fs::exists(Host("Data/d.dat")));
    EXPECT_TRUE(fs::exists(Host("top.txt")));
    EXPECT_EQ(0u, Requests("/files/Script/b.js"));
  }
}

TEST_F(EngineRun, AFailedStagingDownloadLetsTheOthersFinish) {
  Serve(kVersion1, "1.0.0.1");
  {
    RecordingView view;
    ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
  }
  Tree version2 = kVersion1;
  version2[0].second = "data two";
  version2[1].second = "plug-in two";
  version2[2].second = "top two";
  Serve(version2, "1.0.0.2");
  voda_test::WriteHostFile(ReleaseFile("Plugins/a.dll"), "not what the manifest says");

  RecordingView view;
  auto engine = Engine(ModeUpdate, view);
  ASSERT_TRUE(CreateFolderTree(kInstallDir));
  engine->CreateComponentFolders();
  ASSERT_TRUE(engine->DownloadManifests());
  EXPECT_FALSE(engine->RunManifest(KindCommon));
  // The third of three fails: the first two advance the bar, the third does not.
  EXPECT_EQ((std::vector<std::string>{"33.33%", "66.67%"}), view.totalPercents);
  EXPECT_EQ(2u, view.totalPos);
  EXPECT_EQ("下载Plugins\\a.dll 失败", view.statuses.back());
  EXPECT_EQ("下载失败", view.cancelCaption);
  EXPECT_EQ("data two", voda_test::ReadHostFile(Host("DownLoad/Data/d.dat")));
  EXPECT_EQ("top two", voda_test::ReadHostFile(Host("DownLoad/top.txt")));
  EXPECT_FALSE(fs::exists(Host("DownLoad/Plugins/a.dll")));
  // Nothing of the installation changed.
  EXPECT_EQ("data one", voda_test::ReadHostFile(Host("Data/d.dat")));
}

TEST_F(EngineRun, UnsafeEntriesAreNeverWritten) {
  Serve(kVersion1, "1.0.0.1");
  // A correctly signed manifest whose first entry leaves the installation folder.
  const std::string text = ManifestText({{"..\\..", "escaped.txt", "AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
                                         {"Data", "d.dat", "x"}});
  std::string signedText;
  std::string error;
  ASSERT_TRUE(SignManifest(BuildManifestSigningKey(), text, signedText, error)) << error;
  voda_test::WriteHostFile(ReleaseFile("Digest.xml"), signedText);

  for (int mode : {ModeInstall, ModeUpdate}) {
    SCOPED_TRACE(mode);
    RecordingView view;
    auto engine = Engine(mode, view);
    ASSERT_TRUE(CreateFolderTree(kInstallDir));
    engine->CreateComponentFolders();
    ASSERT_TRUE(engine->DownloadManifests());
    EXPECT_FALSE(engine->RunManifest(KindCommon));
    EXPECT_EQ("下载失败", view.cancelCaption);
    EXPECT_FALSE(fs::exists(machine_.HostPath("C:\\escaped.txt")));
    EXPECT_EQ(std::string::npos, server_->Output().find("escaped.txt"));
  }
}

// A running program holds its image: the copy over it fails with the message, and nothing later runs.
TEST_F(EngineRun, AFileHeldByARunningProgramStopsTheCopy) {
  Tree version1 = kVersion1;
  version1.push_back({"Tools/runner.exe", Standin()});
  Serve(version1, "1.0.0.1");
  {
    RecordingView view;
    ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
  }
  std::unique_ptr<platform::ProcessHandle> runner;
  platform::StartRequest start;
  start.file = std::string(kInstallDir) + "\\Tools\\runner.exe";
  ASSERT_TRUE(platform::Current().Procs().StartWithHandle(start, &runner).ok());
  for (int i = 0; i < 200 && !platform::posix::IsImageLocked(Host("Tools/runner.exe")); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(platform::posix::IsImageLocked(Host("Tools/runner.exe")));

  Tree version2 = version1;
  version2.back().second += "version two";
  Serve(version2, "1.0.0.2");
  RecordingView view;
  auto engine = Engine(ModeUpdate, view);
  ASSERT_TRUE(CreateFolderTree(kInstallDir));
  engine->CreateComponentFolders();
  ASSERT_TRUE(engine->DownloadManifests());
  ASSERT_TRUE(engine->RunManifest(KindCommon) && engine->RunManifest(KindBank));
  EXPECT_FALSE(engine->ApplyDownloadedFiles());
  EXPECT_EQ((std::vector<std::string>{std::string(kFileInUseText) + "|" + g_bankProfile.productName}), view.inUse);
  EXPECT_EQ(Standin(), voda_test::ReadHostFile(Host("Tools/runner.exe")));
  EXPECT_TRUE(fs::exists(Host("DownLoad/Tools/runner.exe")));
  EXPECT_TRUE(platform::Current().Procs().Terminate(runner->Id(), 0).ok());
  EXPECT_TRUE(runner->Wait(10000).ok());
}

// The running assistant program is moved aside and replaced; a backup still running blocks that.
TEST_F(EngineRun, TheRunningAssistantIsMovedAside) {
  for (bool backupRuns : {false, true}) {
    SCOPED_TRACE(backupRuns ? "backup running" : "stale backup");
    Tree version1 = kVersion1;
    version1.push_back({"tellvane_861.exe", Standin()});
    Serve(version1, "1.0.0.1");
    fs::remove_all(machine_.HostPath(kInstallDir));
    {
      RecordingView view;
      ASSERT_TRUE(RunSequence(*Engine(ModeInstall, view)));
    }
    const std::string assistant = std::string(kInstallDir) + "\\tellvane_861.exe";
    const std::string backup = std::string(kInstallDir) + "\\tellvane_old.exe";
    ASSERT_TRUE(platform::Current().Files().CopyFile(assistant, backup, false).ok());
    std::vector<std::unique_ptr<platform::ProcessHandle>> running;
    for (const std::string& program : backupRuns ? std::vector<std::string>{assistant, backup}
                                                 : std::vector<std::string>{assistant}) {
      platform::StartRequest start;
      start.file = program;
      running.emplace_back();
      ASSERT_TRUE(platform::Current().Procs().StartWithHandle(start, &running.back()).ok());
      const std::string lockedHost = machine_.HostPath(program);
      for (int i = 0; i < 200 && !platform::posix::IsImageLocked(lockedHost); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      ASSERT_TRUE(platform::posix::IsImageLocked(lockedHost));
    }

    Tree version2 = version1;
    version2.back().second += "version two";
    Serve(version2, "1.0.0.2");
    RecordingView view;
    auto engine = Engine(ModeUpdate, view);
    ASSERT_TRUE(CreateFolderTree(kInstallDir));
    engine->CreateComponentFolders();
    ASSERT_TRUE(engine->DownloadManifests());
    ASSERT_TRUE(engine->RunManifest(KindCommon) && engine->RunManifest(KindBank));
    if (backupRuns) {
      EXPECT_FALSE(engine->ApplyDownloadedFiles());
      EXPECT_EQ(1u, view.inUse.size());
    } else {
      EXPECT_TRUE(engine->ApplyDownloadedFiles());
      EXPECT_TRUE(view.inUse.empty());
      EXPECT_EQ(version2.back().second, voda_test::ReadHostFile(Host("tellvane_861.exe")));
      // The backup is the program that still runs.
      EXPECT_EQ(Standin(), voda_test::ReadHostFile(Host("tellvane_old.exe")));
      EXPECT_TRUE(platform::posix::IsImageLocked(Host("tellvane_old.exe")));
    }
    for (auto& process : running) {
      EXPECT_TRUE(platform::Current().Procs().Terminate(process->Id(), 0).ok());
      EXPECT_TRUE(process->Wait(10000).ok());
    }
  }
}

TEST_F(EngineRun, FallsBackToTheAssistantsRegistryKey) {
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_TRUE(platform::Current().Reg().CreateKey("Software\\Halvex\\ZivIV\\NOVRA", platform::kKeyAllAccess, &key).ok());
  const std::string url = "http://127.0.0.1:1/files";
  ASSERT_TRUE(key->SetValue("ServerURL", platform::kRegSz, url.c_str(), static_cast<std::uint32_t>(url.size() + 1)).ok());
  ASSERT_TRUE(key->SetValue("Path", platform::kRegSz, "D:\\voda", 7).ok());

  UpdateEngine engine(nullptr, "NOVRA", ModeUpdate, "", 1, "1.0.0.1", "");
  EXPECT_EQ(url, engine.m_serverUrl);
  EXPECT_EQ("D:\\voda", engine.m_installDir);
  EXPECT_EQ("D:\\voda\\DownLoad", engine.m_downloadDir);
  EXPECT_EQ(url + "/Digest_861.xml", engine.Manifest(KindBank)->url);
  EXPECT_EQ("D:\\voda\\DownLoad\\Digest.xml", engine.Manifest(KindCommon)->stagingPath);
  EXPECT_EQ(nullptr, engine.Manifest(2 + 2));
  EXPECT_EQ(0, engine.m_total);
  EXPECT_EQ(1, engine.m_done);
  // Another kind reads nothing and counts nothing.
  EXPECT_EQ(0, engine.CountManifestEntries(0));
}

}  // namespace

namespace {

// A view that keeps the default report of a file in use.
class DefaultReportView final : public RunProgressView {
 public:
  void SetFileProgress(std::uint32_t, std::uint32_t) override {}
  void SetFilePercentText(const std::string&) override {}
  void SetStatusText(const std::string&) override {}
  void SetTotalRange(std::uint32_t) override {}
  void SetTotalPos(std::uint32_t) override {}
  void SetTotalPercentText(const std::string&) override {}
  void SetCancelCaption(const std::string&) override {}
};

// The default report is the ownerless message box, and the process ends with code 0 once the user
// has closed it.
TEST(FileInUseReport, ShowsTheBoxThenEndsTheProcessWithZero) {
  const std::string folder = voda_test::MakeTempFolder("file-in-use");
  const std::string script = folder + "/user.script";
  voda_test::WriteHostFile(script, std::string("wait box \"") + kFileInUseText + "\"\nanswer ok\n");
  setenv("VODA_UI", "headless", 1);
  setenv("VODA_UI_SCRIPT", script.c_str(), 1);
  setenv("VODA_UI_IDLE_SECONDS", "10", 1);
  DefaultReportView view;
  EXPECT_EXIT(view.ReportFileInUse(kFileInUseText, "产品voda"), ::testing::ExitedWithCode(0),
              std::string("message box \"产品voda\": \"") + kFileInUseText + "\"");
  for (const char* name : {"VODA_UI", "VODA_UI_SCRIPT", "VODA_UI_IDLE_SECONDS"}) unsetenv(name);
  fs::remove_all(folder);
}

}  // namespace
