// The runtime package step on prefixes of several Windows versions: the version class, the decision
// from version and registry, and the download and start of the packages from a peer on 127.0.0.1.
#include "update/runtime_packages.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/registry.h"
#include "standins/journal.h"
#include "support/temp_prefix.h"
#include "net/test_server.h"
#include "update/update_engine.h"

namespace {

using platform::posix::DefaultMachine;
using platform::posix::FormatMachineIni;
using platform::posix::Machine;

const char kX86Key[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{A09D5493-0D9F-3211-B3BF-DD7ABBB318C1}";
const char kX64Key[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{02A39130-2CF3-30CA-8623-30F6071A4221}";

std::string MachineIni(uint32_t major, uint32_t minor, uint32_t platformId, uint16_t architecture) {
  Machine m = DefaultMachine("user");
  m.version.major = major;
  m.version.minor = minor;
  m.version.platformId = platformId;
  m.architecture = architecture;
  if (architecture == platform::kArchitectureX86) m.programFiles = "C:\\Program Files";
  return FormatMachineIni(m);
}

// Writes a runtime key's Version value; `view64` puts it in the 64-bit view.
void InstallRuntimeKey(const char* key, bool view64) {
  std::unique_ptr<platform::RegistryKey> opened;
  const uint32_t access = platform::kKeyAllAccess | (view64 ? platform::kKeyWow64_64Key : 0);
  ASSERT_TRUE(platform::Current().Reg().CreateKey(key, access, &opened).ok());
  const std::string version = "9.0.30729.4148";
  ASSERT_TRUE(opened->SetValue("Version", platform::kRegSz, version.data(), static_cast<uint32_t>(version.size())).ok());
}

class RecordingView final : public RunProgressView {
 public:
  void SetFileProgress(std::uint32_t pos, std::uint32_t rangeMax) override {
    fileBar = std::to_string(pos) + "/" + std::to_string(rangeMax);
  }
  void SetFilePercentText(const std::string& text) override { filePercent = text; }
  void SetStatusText(const std::string& text) override { statuses.push_back(text); }
  void SetTotalRange(std::uint32_t) override {}
  void SetTotalPos(std::uint32_t pos) override { totalPositions.push_back(pos); }
  void SetTotalPercentText(const std::string& text) override { totalPercents.push_back(text); }
  void SetCancelCaption(const std::string& text) override { cancelCaption = text; }

  std::vector<std::string> statuses;
  std::vector<std::string> totalPercents;
  std::vector<std::uint32_t> totalPositions;
  std::string fileBar;
  std::string filePercent;
  std::string cancelCaption = "取消";
};

// --- The version class -------------------------------------------------------------------------------------

TEST(QueryOsKind, VersionClassAndArchitecture) {
  constexpr int kUnset = 7;
  struct Case {
    uint32_t major, minor, platformId;
    uint16_t architecture;
    int result, osKind, isX86;
  } cases[] = {
      {6, 0, 2, platform::kArchitectureX64, 1, 0, 0},      // Vista x64
      {6, 0, 2, platform::kArchitectureX86, 1, 0, 1},      // Vista x86
      {6, 1, 2, platform::kArchitectureX64, 1, 1, 0},      // 7
      {6, 2, 2, platform::kArchitectureX86, 1, 1, 1},      // 8, or any later Windows as it reports itself
      {6, 3, 2, platform::kArchitectureX64, 1, 0, 0},      // 8.1 with a compatibility declaration
      {5, 1, 2, platform::kArchitectureX86, 1, 0, kUnset},  // XP: architecture left open
      {10, 0, 2, platform::kArchitectureX64, 1, 0, kUnset},
      {4, 0, 2, platform::kArchitectureX86, 0, 0, kUnset},  // NT 4
      {4, 10, 1, platform::kArchitectureX86, 0, 0, kUnset},  // 98
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + " platform " +
                 std::to_string(c.platformId) + " arch " + std::to_string(c.architecture));
    voda_test::TempPrefix machine(MachineIni(c.major, c.minor, c.platformId, c.architecture));
    ASSERT_TRUE(machine.ok()) << machine.error();
    machine.Install();
    int osKind = kUnset, isX86 = kUnset;
    EXPECT_EQ(QueryOsKind(osKind, isX86), c.result);
    EXPECT_EQ(osKind, c.osKind);
    EXPECT_EQ(isX86, c.isX86);
  }
}

// --- The decision ------------------------------------------------------------------------------------------

TEST(DetectVcRuntime, FromVersionAndRegistry) {
  enum Keys { kNone, kX86Only, kX64Only32View, kX64Only64View, kBoth };
  struct Case {
    const char* what;
    uint32_t major, minor, platformId;
    uint16_t architecture;
    Keys keys;
    int needX86, needX64;
  } cases[] = {
      {"Vista x64 without runtime", 6, 0, 2, platform::kArchitectureX64, kNone, 1, 1},
      {"Vista x64 with both", 6, 0, 2, platform::kArchitectureX64, kBoth, 0, 0},
      {"Vista x64 with x86 only", 6, 0, 2, platform::kArchitectureX64, kX86Only, 0, 1},
      {"Vista x64, x64 runtime in the 32-bit view", 6, 0, 2, platform::kArchitectureX64, kX64Only32View, 1, 0},
      {"Vista x64, x64 runtime where it registers itself", 6, 0, 2, platform::kArchitectureX64, kX64Only64View, 1, 0},
      {"Vista x86 with x86 runtime", 6, 0, 2, platform::kArchitectureX86, kX86Only, 0, 0},
      {"Vista x86 without runtime", 6, 0, 2, platform::kArchitectureX86, kNone, 1, 0},
      {"7 without runtime", 6, 1, 2, platform::kArchitectureX64, kNone, 0, 0},
      {"6.2 without runtime", 6, 2, 2, platform::kArchitectureX86, kNone, 0, 0},
      {"XP x86 without runtime", 5, 1, 2, platform::kArchitectureX86, kNone, 1, 0},
      {"XP x64 without runtime", 5, 2, 2, platform::kArchitectureX64, kNone, 1, 1},
      {"non-NT system, registry ignored", 4, 10, 1, platform::kArchitectureX86, kBoth, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    voda_test::TempPrefix machine(MachineIni(c.major, c.minor, c.platformId, c.architecture));
    ASSERT_TRUE(machine.ok()) << machine.error();
    machine.Install();
    if (c.keys == kX86Only || c.keys == kBoth) InstallRuntimeKey(kX86Key, false);
    if (c.keys == kX64Only32View || c.keys == kBoth) InstallRuntimeKey(kX64Key, false);
    if (c.keys == kX64Only64View) InstallRuntimeKey(kX64Key, true);
    RecordingView view;
    UpdateEngine engine(&view, "NOVRA", ModeInstall, "http://127.0.0.1:9", 0, "1.0.0.1", "C:\\voda");
    int needX86 = -1, needX64 = -1;
    (void)DetectVcRuntime(engine, needX86, needX64);
    EXPECT_EQ(needX86, c.needX86);
    EXPECT_EQ(needX64, c.needX64);
  }
}

TEST(DetectVcRuntime, AKeyWithoutVersionValueCountsAsMissing) {
  voda_test::TempPrefix machine(MachineIni(6, 0, 2, platform::kArchitectureX86));
  ASSERT_TRUE(machine.ok()) << machine.error();
  machine.Install();
  std::unique_ptr<platform::RegistryKey> key;
  ASSERT_TRUE(platform::Current().Reg().CreateKey(kX86Key, platform::kKeyAllAccess, &key).ok());
  ASSERT_TRUE(key->SetValue("DisplayName", platform::kRegSz, "x", 1).ok());
  RecordingView view;
  UpdateEngine engine(&view, "NOVRA", ModeInstall, "http://127.0.0.1:9", 0, "1.0.0.1", "C:\\voda");
  int needX86 = 0, needX64 = 0;
  (void)DetectVcRuntime(engine, needX86, needX64);
  EXPECT_EQ(needX86, 1);
}

// --- Download and start ------------------------------------------------------------------------------------

// A peer that serves the stand-in program under the package names it is told to have.
class PackageServer {
 public:
  explicit PackageServer(std::vector<std::string> available)
      : available_(std::move(available)),
        body_(voda_test::ReadHostFile(std::string(VODA_BIN_DIR) + "/standin")),
        server_([this](nettest::RawConnection& c) {
          const std::string& head = c.Request();
          for (const std::string& name : available_)
            if (head.rfind("GET /pkg/" + name + " ", 0) == 0) {
              c.Send(nettest::HttpResponse(200, body_));
              return;
            }
          c.Send(nettest::HttpResponse(404, "missing"));
        }) {}

  RuntimePackageUrls Urls() const {
    return {server_.Url("/pkg/vcredist_x86.exe"), server_.Url("/pkg/vcredist_x64.exe")};
  }
  const std::string& Body() const { return body_; }
  int Requests(const std::string& name) const {
    int n = 0;
    for (const std::string& head : server_.Requests())
      if (head.rfind("GET /pkg/" + name + " ", 0) == 0) ++n;
    return n;
  }

 private:
  std::vector<std::string> available_;
  std::string body_;
  nettest::RawHttpServer server_;
};

class RuntimeInstall : public ::testing::Test {
 protected:
  RuntimeInstall() : machine_(MachineIni(6, 0, 2, platform::kArchitectureX64)) {}
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    machine_.Install();
    ASSERT_TRUE(voda_test::FileExists(std::string(VODA_BIN_DIR) + "/standin")) << "the stand-in program is built";
  }

  // The journal's start entries of an image, waiting (bounded) until `count` are there.
  std::vector<standins::JournalEntry> Starts(const std::string& image, size_t count) {
    std::vector<standins::JournalEntry> found;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      found.clear();
      for (const auto& e : standins::ReadJournal(machine_.root()))
        if (e.event == "start" && e.image == image) found.push_back(e);
      if (found.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return found;
  }

  std::string TempFile(const std::string& name) {
    return machine_.HostPath(platform::Current().Files().TempPath() + name);
  }

  voda_test::TempPrefix machine_;
};

TEST_F(RuntimeInstall, VistaX64WithoutEitherRuntimeDownloadsAndStartsBothAndCountsTwo) {
  PackageServer server({"vcredist_x86.exe", "vcredist_x64.exe"});
  RecordingView view;
  UpdateEngine engine(&view, "NOVRA", ModeInstall, "http://127.0.0.1:9", 0, "1.0.0.1", "C:\\voda");
  int needX86 = 0, needX64 = 0;
  (void)DetectVcRuntime(engine, needX86, needX64);
  ASSERT_EQ(needX86 + needX64, 2);
  // As the installation worker sizes the run: here no component entries besides the packages.
  engine.m_total = needX86 + needX64;

  EXPECT_TRUE(InstallVcRuntime(engine, needX86, needX64, server.Urls()));

  EXPECT_EQ(view.statuses, (std::vector<std::string>{"正在下载 vcredist_x86.exe", "正在安装 vcredist_x86.exe",
                                                      "正在下载 vcredist_x64.exe", "正在安装 vcredist_x64.exe"}));
  EXPECT_EQ(view.totalPositions, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(view.totalPercents, (std::vector<std::string>{"50.00%", "100.00%"}));
  EXPECT_EQ(engine.m_done, 3);
  EXPECT_EQ(view.filePercent, "100.00%");
  EXPECT_EQ(view.cancelCaption, "取消");
  for (const char* name : {"vcredist_x86.exe", "vcredist_x64.exe"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(voda_test::ReadHostFile(TempFile(name)), server.Body());
    const auto starts = Starts(name, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].parameters, "/q");
    EXPECT_EQ(starts[0].show, "SW_SHOW");
  }
}

TEST_F(RuntimeInstall, AFailedPackageIsReportedAndTheNextStillInstalled) {
  PackageServer server({"vcredist_x64.exe"});
  RecordingView view;
  UpdateEngine engine(&view, "NOVRA", ModeInstall, "http://127.0.0.1:9", 0, "1.0.0.1", "C:\\voda");
  engine.m_total = 7;

  EXPECT_TRUE(InstallVcRuntime(engine, 1, 1, server.Urls()));

  EXPECT_EQ(server.Requests("vcredist_x86.exe"), 5);
  EXPECT_EQ(view.statuses, (std::vector<std::string>{"正在下载 vcredist_x86.exe", "下载vcredist_x86.exe 失败",
                                                      "正在下载 vcredist_x64.exe", "正在安装 vcredist_x64.exe"}));
  EXPECT_EQ(view.cancelCaption, "下载VS库失败");
  // Only the downloaded package advances the overall progress.
  EXPECT_EQ(view.totalPositions, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(view.totalPercents, (std::vector<std::string>{"14.29%"}));
  EXPECT_FALSE(voda_test::FileExists(TempFile("vcredist_x86.exe")));
  EXPECT_EQ(Starts("vcredist_x64.exe", 1).size(), 1u);
  EXPECT_TRUE(Starts("vcredist_x86.exe", 0).empty());
}

TEST_F(RuntimeInstall, NothingNeededFetchesNothing) {
  PackageServer server({"vcredist_x86.exe", "vcredist_x64.exe"});
  RecordingView view;
  UpdateEngine engine(&view, "NOVRA", ModeInstall, "http://127.0.0.1:9", 0, "1.0.0.1", "C:\\voda");
  EXPECT_TRUE(InstallVcRuntime(engine, 0, 0, server.Urls()));
  EXPECT_TRUE(view.statuses.empty());
  EXPECT_EQ(server.Requests("vcredist_x86.exe") + server.Requests("vcredist_x64.exe"), 0);
  EXPECT_EQ(engine.m_done, 1);
}

TEST(RuntimePackages, ConfiguredUrlsArePlainHttpAndEndInTheFileName) {
  for (RuntimePackageKind kind : {kRuntimeX86, kRuntimeX64}) {
    const RuntimePackage package = RuntimePackageOf(kind);
    SCOPED_TRACE(package.fileName);
    EXPECT_EQ(package.url.rfind("http://", 0), 0u);
    const std::string tail = std::string("/") + package.fileName;
    ASSERT_GE(package.url.size(), tail.size());
    EXPECT_EQ(package.url.substr(package.url.size() - tail.size()), tail);
  }
}

}  // namespace
