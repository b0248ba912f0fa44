// Whole runs of the built downloader against a server that misbehaves, one row of the table each: the
// server's fault rules (or a release changed after publishing, a killed downloader, a file held by a
// running program), the run a user makes, what the user sees, and the machine afterwards. Whatever the
// fault, the installation folder holds only files with the digest a release gives them (nothing cut,
// tampered or half-written, no temporary file), the registry is unchanged unless the run succeeded,
// and a later run against the healthy server succeeds with every file right.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "e2e_support.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;
using e2e::ControlEcho;
using e2e::Count;
using e2e::Entry;
using e2e::ManifestEntries;
using e2e::OpensslDigest;

enum class Mode { kInstall, kUpdate, kRepair };

// What a row does besides the server's fault rules.
enum class Special {
  kNone,
  kBrokenSignature,  // a digit of Digest.xml's signature flipped in the release
  kEscapingEntry,    // Digest.xml re-signed with a first entry whose folder leads out of the installation
  kLostFile,         // the installed Data\d.dat deleted before the run
  kHeldFile,         // Tools\helper.exe of the installation runs while the update copies over it
  kKilled,           // the downloader killed while a large body streams in
  kSilent,           // the update is installed at once and unseen (the server's "update" 2)
};

struct Row {
  const char* name;
  Mode mode;
  std::vector<std::string> faults;
  Special special;
  bool succeeds;
  std::string script;                // the user's part in the faulty run
  std::vector<std::string> texts;    // what the run echoes, in this order
  std::vector<std::string> absent;   // what it never shows
  const char* counted = nullptr;     // a request the server must have answered `requests` times
  std::size_t requests = 0;
};

std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.name; }

// The echoes of the progress dialog's status line and button 2, the query dialog's status line and a
// message box's text.
std::string Status(const std::string& text) { return ControlEcho(135, 1020, text); }
std::string Button(const std::string& text) { return ControlEcho(135, 2, text); }
std::string Query(const std::string& text) { return ControlEcho(130, 1029, text); }
std::string Box(const std::string& text) { return "\": \"" + text + "\""; }

const char kDone[] = "wait text 1020 \"完成安装,准备启动助手\" 90\n";
const char kHeldText[] = "更新失败，助手文件被占用，请关闭占用重新更新!";

// The users' parts: a first installation that succeeds; one whose component download fails and is
// closed; one whose manifest step fails (the status line keeps its text, the button its caption);
// the same three for an update or repair run, whose progress dialog opens by itself.
const std::string kInstallSucceeds = std::string(e2e::kAcceptDefaults) + kDone;
const std::string kInstallComponentFails = std::string(e2e::kAcceptDefaults) +
                                           "wait text 2 \"下载失败\" 90\n"
                                           "sleep 500\n"
                                           "click 2\n"
                                           "sleep 20000\n";
const std::string kInstallManifestFails = std::string(e2e::kAcceptDefaults) +
                                          "wait text 1020 \"正在下载 配置文件\" 30\n"
                                          "sleep 3000\n"
                                          "expect text 2 \"取消\"\n"
                                          "click 2\n"
                                          "sleep 20000\n";
// An update offered in the update dialog (the server's "update" 1), which the user accepts.
const char kAcceptUpdate[] =
    "wait dialog 139 30\n"
    "click 1\n";
const std::string kUpdateSucceeds = std::string(kAcceptUpdate) + "wait dialog 135 30\n" + kDone;
const std::string kRepairSucceeds = std::string("wait dialog 135 30\n") + kDone;
// The first of two queued files fails, the second completes the run's downloads: the run has stopped
// once the overall label is full.
const std::string kUpdateComponentFails = std::string(kAcceptUpdate) +
    "wait dialog 135 30\n"
    "wait text 2 \"下载失败\" 90\n"
    "wait text 1024 \"100.00%\" 30\n"
    "sleep 1000\n"
    "click 2\n"
    "sleep 20000\n";
// The only queued file fails: the run stops right after.
const std::string kRepairComponentFails =
    "wait dialog 135 30\n"
    "wait text 2 \"下载失败\" 90\n"
    "sleep 1500\n"
    "click 2\n"
    "sleep 20000\n";
const std::string kUpdateManifestFails = std::string(kAcceptUpdate) +
    "wait dialog 135 30\n"
    "wait text 1020 \"正在下载 配置文件\" 30\n"
    "sleep 3000\n"
    "expect text 2 \"取消\"\n"
    "click 2\n"
    "sleep 20000\n";
// The query dialog waits with its first text, no retry offered; the user gives up.
const std::string kQueryStalls =
    "wait dialog 130 30\n"
    "sleep 2500\n"
    "expect text 1029 \"正在获取版本信息...\"\n"
    "expect hidden 1030\n"
    "click 2\n"
    "wait box \"是否退出voda安装？\"\n"
    "answer yes\n"
    "sleep 20000\n";

const char kComponent[] = "GET /files/Plugins/sub/a.dll";

const Row kRows[] = {
    // The version query of a first installation.
    {"QueryTimesOutOnceThenRetryAnswers", Mode::kInstall, {"/assist/server first=1 delay 5000"}, Special::kNone,
     true,
     "wait dialog 130 30\n"
     "wait text 1029 \"服务器没响应\" 20\n"
     "click 1030\n"
     "wait dialog 132 30\n"
     "click 1\n"
     "wait dialog 134\n"
     "click 1\n"
     "wait dialog 135\n" +
         std::string(kDone),
     {Query("服务器没响应"), Query("正在获取版本信息..."), Status("完成安装,准备启动助手")},
     {},
     "GET /assist/server",
     2},
    {"QueryCutEveryTimeGivesThreeExchangesThenNoRetry", Mode::kInstall,
     {"/assist/server delay 1000", "/assist/server cut 10"}, Special::kNone, false,
     "wait dialog 130 30\n"
     "wait text 1029 \"服务器没响应\" 20\n"
     "click 1030\n"
     "wait text 1029 \"正在获取版本信息...\"\n"
     "wait text 1029 \"服务器没响应\" 20\n"
     "click 1030\n"
     "wait text 1029 \"正在获取版本信息...\"\n"
     "wait text 1029 \"服务器没响应\" 20\n"
     "sleep 500\n"
     "expect hidden 1030\n"
     "click 2\n"
     "wait box \"是否退出voda安装？\"\n"
     "answer yes\n"
     "sleep 20000\n",
     {Query("服务器没响应"), Query("正在获取版本信息..."), Query("服务器没响应"), Query("正在获取版本信息..."),
      Query("服务器没响应"), Box("是否退出voda安装？")},
     {"dialog 132"},
     "GET /assist/server",
     3},
    {"QueryErrorPageDoesNotOpen", Mode::kInstall,
     {"/assist/server status 500", "/assist/server body <html>Internal Server Error</html>"}, Special::kNone, false,
     kQueryStalls, {Box("是否退出voda安装？")}, {"服务器没响应", "dialog 132"}, "GET /assist/server", 1},
    {"QueryReplyOpensButIsNoJson", Mode::kInstall, {"/assist/server sealed this is not json"}, Special::kNone,
     false, kQueryStalls, {Box("是否退出voda安装？")}, {"服务器没响应", "dialog 132"}},

    // The manifests of a first installation.
    {"Manifest404", Mode::kInstall, {"/files/Digest.xml status 404"}, Special::kNone, false, kInstallManifestFails,
     {Status("正在下载 配置文件")}, {"下载还未完成", "正在下载 ZivIV_861.exe"}, "GET /files/Digest.xml", 5},
    {"BankManifestCutTwiceThenWhole", Mode::kInstall, {"/files/Digest_861.xml first=2 cut 100"}, Special::kNone,
     true, kInstallSucceeds, {Status("正在下载 t.dat   5/5"), Status("完成安装,准备启动助手")}, {},
     "GET /files/Digest_861.xml", 3},
    {"ManifestSignatureBroken", Mode::kInstall, {}, Special::kBrokenSignature, false, kInstallManifestFails,
     {Status("正在下载 配置文件")}, {"下载还未完成", "正在下载 ZivIV_861.exe"}},
    {"EntryLeavingTheInstallationFolder", Mode::kInstall, {}, Special::kEscapingEntry, false,
     kInstallComponentFails, {Status("下载escape.txt 失败"), Button("下载失败")},
     {"下载还未完成", "正在下载 ZivIV_861.exe"}},

    // The component files of a first installation: Plugins\sub\a.dll is the third of five.
    {"Component404EveryAttempt", Mode::kInstall, {"/files/Plugins/sub/a.dll status 404"}, Special::kNone, false,
     kInstallComponentFails, {Status("正在下载 a.dll   3/5"), Status("下载a.dll 失败"), Button("下载失败")},
     {"下载还未完成", "正在下载 b.js"}, kComponent, 5},
    {"Component500FourTimesThenWhole", Mode::kInstall, {"/files/Plugins/sub/a.dll first=4 status 500"},
     Special::kNone, true, kInstallSucceeds, {Status("正在下载 a.dll   3/5"), Status("正在下载 b.js   4/5")},
     {"失败"}, kComponent, 5},
    {"Component500EveryAttempt", Mode::kInstall, {"/files/Plugins/sub/a.dll status 500"}, Special::kNone, false,
     kInstallComponentFails, {Status("下载a.dll 失败"), Button("下载失败")}, {"下载还未完成"}, kComponent, 5},
    {"ComponentTimesOutBeforeItsBodyOnce", Mode::kInstall, {"/files/Plugins/sub/a.dll first=1 delay 32000"},
     Special::kNone, true, kInstallSucceeds, {Status("正在下载 a.dll   3/5"), Status("正在下载 b.js   4/5")},
     {"失败"}, kComponent, 2},
    {"ComponentStallsMidBodyOnce", Mode::kInstall, {"/files/Plugins/sub/a.dll first=1 stall 32000"},
     Special::kNone, true, kInstallSucceeds, {Status("正在下载 a.dll   3/5"), Status("正在下载 b.js   4/5")},
     {"失败"}, kComponent, 2},
    {"ComponentLengthClaimsMore", Mode::kInstall, {"/files/Plugins/sub/a.dll length 20000"}, Special::kNone,
     false, kInstallComponentFails, {Status("下载a.dll 失败"), Button("下载失败")}, {"下载还未完成"}, kComponent,
     5},
    {"ComponentLengthClaimsLess", Mode::kInstall, {"/files/Plugins/sub/a.dll length 5000"}, Special::kNone,
     false, kInstallComponentFails, {Status("下载a.dll 失败"), Button("下载失败")}, {"下载还未完成"}, kComponent,
     5},
    {"ComponentCutEveryAttempt", Mode::kInstall, {"/files/Plugins/sub/a.dll cut 5000"}, Special::kNone, false,
     kInstallComponentFails, {Status("下载a.dll 失败"), Button("下载失败")}, {"下载还未完成"}, kComponent, 5},
    {"ComponentTampered", Mode::kInstall, {"/files/Data/d.dat body not the published bytes"}, Special::kNone,
     false, kInstallComponentFails, {Status("正在下载 d.dat   2/5"), Status("下载d.dat 失败"), Button("下载失败")},
     {"下载还未完成", "正在下载 a.dll"}, "GET /files/Data/d.dat", 5},
    {"KilledDuringALargeDownloadThenStartedAgain", Mode::kInstall, {"/files/Data/big.bin first=1 stall 60000"},
     Special::kKilled, false, std::string(e2e::kAcceptDefaults) + "sleep 90000\n", {Status("正在下载 big.bin   2/6")},
     {}},

    // An update from 1.0.0.1 to 1.0.0.2 (Data\d.dat and Plugins\sub\a.dll of Digest.xml and Script\b.js of
    // the bank manifest change), and a repair.
    {"UpdateQueryTimesOutOnceThenTheSilentRetryAnswers", Mode::kUpdate, {"/assist/server first=1 delay 5000"},
     Special::kNone, true, kUpdateSucceeds, {Status("正在下载 Script\\b.js   3/3"), Status("完成安装,准备启动助手")},
     {}, "GET /assist/server", 2},
    {"UpdateManifest500", Mode::kUpdate, {"/files/Digest.xml status 500"}, Special::kNone, false,
     kUpdateManifestFails, {Status("正在下载 配置文件")}, {"下载还未完成", "正在下载 Data"}, "GET /files/Digest.xml",
     5},
    {"UpdateComponent404KeepsTheInstalledFile", Mode::kUpdate, {"/files/Data/d.dat status 404"}, Special::kNone,
     false, kUpdateComponentFails,
     {Status("下载Data\\d.dat 失败"), Button("下载失败"), Status("正在下载 Plugins\\sub\\a.dll   2/2")},
     {"下载还未完成", "正在下载 Script"}, "GET /files/Data/d.dat", 5},
    {"UpdateTamperedComponentIsNeverStaged", Mode::kUpdate, {"/files/Data/d.dat body not the published bytes"},
     Special::kNone, false, kUpdateComponentFails, {Status("下载Data\\d.dat 失败"), Button("下载失败")},
     {"下载还未完成", "正在下载 Script"}, "GET /files/Data/d.dat", 5},
    {"UpdateEntryLeavingTheInstallationFolder", Mode::kUpdate, {}, Special::kEscapingEntry, false,
     kUpdateComponentFails,
     {Status("下载..\\..\\escape.txt 失败"), Button("下载失败"), Status("正在下载 Data\\d.dat   1/2")},
     {"下载还未完成", "正在下载 Script"}},
    {"SilentUpdateManifest500EndsUnseen", Mode::kUpdate, {"/files/Digest.xml status 500"}, Special::kSilent, false,
     "sleep 60000\n", {Status("正在下载 配置文件")}, {"下载还未完成"}, "GET /files/Digest.xml", 5},
    {"UpdateCopyOntoAFileHeldByARunningProgram", Mode::kUpdate, {}, Special::kHeldFile, false,
     std::string(kAcceptUpdate) + "wait box \"" + kHeldText + "\" 60\nanswer ok\nsleep 20000\n", {Box(kHeldText)},
     {"完成安装,准备启动助手"}},
    {"RepairOfALostFileWhoseBodyIsCut", Mode::kRepair, {"/files/Data/d.dat cut 2"}, Special::kLostFile, false,
     kRepairComponentFails, {Status("正在下载 Data\\d.dat   1/1"), Status("下载Data\\d.dat 失败"), Button("下载失败")},
     {"下载还未完成"}, "GET /files/Data/d.dat", 5},
};

std::map<std::string, std::string> FirstRelease() {
  return {{"ZivIV_861.exe", "the main program"},
          {"Data/d.dat", "data"},
          {"Plugins/sub/a.dll", std::string(10000, 'a')},
          {"bank/Script/b.js", "bank script"},
          {"bank/Tools/t.dat", "bank tool"}};
}

std::map<std::string, std::string> SecondRelease(std::map<std::string, std::string> files) {
  files["Data/d.dat"] = "data, second edition";
  files["Plugins/sub/a.dll"] = std::string(5000, 'b');
  files["bank/Script/b.js"] = "bank script, second edition";
  return files;
}

// 64 MiB that no two blocks repeat in.
std::string LargeBody() {
  std::string body(64u << 20, '\0');
  std::uint32_t x = 2463534242u;
  for (std::size_t i = 0; i + 4 <= body.size(); i += 4) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    std::memcpy(&body[i], &x, 4);
  }
  return body;
}

bool IsTemporary(const std::string& name) { return name.size() > 1 && name[0] == '.' && name.find(".~tmp") != std::string::npos; }

class FaultTable : public e2e::MachineRun, public ::testing::WithParamInterface<Row> {
 protected:
  // What may lie in the installation: the files the releases of this test list, with their digests,
  // and the manifests as signed (taken when published, before a row changes the release).
  std::map<std::string, std::set<std::string>> digests_;  // relative host path -> digests
  std::map<std::string, std::set<std::string>> signed_;   // manifest name -> texts

  std::string Publish(const std::string& version, const std::map<std::string, std::string>& files,
                      const std::string& update = "2") {
    std::string release;
    PublishRelease(version, files, update, &release);
    for (const char* manifest : {"Digest.xml", "Digest_861.xml"}) AcceptManifest(release, manifest);
    return release;
  }

  void AcceptManifest(const std::string& release, const std::string& manifest) {
    const std::string text = voda_test::ReadHostFile(release + "/files/" + manifest);
    signed_[manifest].insert(text);
    for (const Entry& e : ManifestEntries(text)) digests_[e.HostRelative()].insert(e.digest);
  }

  // Every file of the installation folder (the staging tree included) is a file a release lists, with
  // the digest that release gives it, or a manifest as the publisher signed it; the moved-aside main
  // program is one a release gave. No temporary file of a write is left, also after a killed writer.
  void ExpectOnlyVerifiedFiles() {
    const fs::path root = InstalledHost("");
    if (!fs::exists(root)) return;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
      if (item.is_directory()) continue;
      const std::string relative = fs::relative(item.path(), root).generic_string();
      SCOPED_TRACE(relative);
      if (IsTemporary(item.path().filename().string())) {
        ADD_FAILURE() << "a temporary file is left in the installation";
        continue;
      }
      std::string listed = relative.compare(0, 9, "DownLoad/") == 0 ? relative.substr(9) : relative;
      if (signed_.count(listed) != 0) {
        EXPECT_EQ(signed_[listed].count(voda_test::ReadHostFile(item.path().string())), 1u)
            << "a manifest no release signed";
        continue;
      }
      if (listed == "tellvane_old.exe") listed = "ZivIV_861.exe";
      const auto found = digests_.find(listed);
      if (found == digests_.end()) {
        ADD_FAILURE() << "a file no release lists";
        continue;
      }
      EXPECT_EQ(found->second.count(OpensslDigest(item.path().string())), 1u) << "a file with a wrong digest";
    }
  }

  // Every entry of the release's two manifests is installed with its digest and the published bytes.
  void ExpectInstalled(const std::string& release) {
    for (const char* manifest : {"Digest.xml", "Digest_861.xml"}) MachineRun::ExpectInstalled(release, manifest);
  }

  // Each of `texts` occurs in `output`, in this order.
  static void ExpectInOrder(const std::string& output, const std::vector<std::string>& texts) {
    std::size_t at = 0;
    for (const std::string& text : texts) {
      const std::size_t found = output.find(text, at);
      if (found == std::string::npos) {
        ADD_FAILURE() << "not shown (in this order): " << text << "\n" << output;
        return;
      }
      at = found + text.size();
    }
  }

  // The release's Digest.xml with a first entry whose folder leads two levels above the installation
  // folder, signed again as the publisher signs.
  void AddEscapingEntry(const std::string& release) {
    const std::string manifest = release + "/files/Digest.xml";
    std::string text = voda_test::ReadHostFile(manifest);
    const std::size_t line = text.find('\n', text.find("<FileInfo>"));
    ASSERT_NE(line, std::string::npos);
    const bool crlf = line > 0 && text[line - 1] == '\r';
    text.insert(line + 1, std::string(R"(<File Path="..\.." FileName="escape.txt" Digest="Q7blau6QXWqFyKf208pAhGWOx2A="/>)") +
                              (crlf ? "\r\n" : "\n"));
    voda_test::WriteHostFile(manifest, text);
    apptest::ProgramOptions options;
    options.prefixRoot = machine_.root();
    const apptest::ProgramRun sign =
        apptest::RunProgram(std::string(VODA_BIN_DIR) + "/voda-release", {"sign", manifest, manifest}, options);
    ASSERT_TRUE(sign.finished && sign.exitCode == 0) << sign.standardError;
  }

  // Waits (bounded) until the body of Data\big.bin being written into the installation has grown past
  // 1 MiB: a file the program holds open in that folder that has no name of its own yet (unnamed, or
  // under a hidden temporary name).
  bool WaitForStagedBody(apptest::RunningProgram& program) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const std::string folder = InstalledHost("Data") + "/";
    const fs::path descriptors = "/proc/" + std::to_string(program.pid()) + "/fd";
    while (std::chrono::steady_clock::now() < deadline && program.Running()) {
      std::error_code ec;
      for (fs::directory_iterator it(descriptors, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        const std::string target = fs::read_symlink(it->path(), linkError).string();
        if (linkError || target.compare(0, folder.size(), folder) != 0) continue;
        const std::string name = target.substr(folder.size());
        const bool unnamed = name.find(" (deleted)") != std::string::npos;
        std::error_code sizeError;
        const auto size = fs::file_size(it->path(), sizeError);  // follows the link to the open file
        if ((unnamed || IsTemporary(name)) && !sizeError && size > (1u << 20)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
};

TEST_P(FaultTable, RunLeavesOnlyVerifiedFilesAndALaterRunSucceeds) {
  const Row& row = GetParam();

  // The releases: 1.0.0.1, and 1.0.0.2 for an update.
  std::map<std::string, std::string> first = FirstRelease();
  if (row.special == Special::kHeldFile)
    first["Tools/helper.exe"] = voda_test::ReadHostFile(std::string(VODA_BIN_DIR) + "/standin");
  if (row.special == Special::kKilled) first["Data/big.bin"] = LargeBody();
  const std::string v1 = Publish("1.0.0.1", first);
  ASSERT_FALSE(HasFatalFailure());
  std::string served = v1;
  std::string version = "1.0.0.1";

  // An update or repair starts from a healthy first installation.
  std::unique_ptr<platform::ProcessHandle> helper;
  if (row.mode != Mode::kInstall) {
    ASSERT_NO_FATAL_FAILURE(Serve(v1));
    Run({}, kInstallSucceeds);
    ASSERT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), e2e::Sz("1.0.0.1"));
  }
  if (row.mode == Mode::kUpdate) {
    std::map<std::string, std::string> second = SecondRelease(first);
    if (row.special == Special::kHeldFile) second["Tools/helper.exe"] = first["Tools/helper.exe"] + "second edition";
    served = Publish("1.0.0.2", second, row.special == Special::kSilent ? "2" : "1");
    version = "1.0.0.2";
    ASSERT_FALSE(HasFatalFailure());
  }

  // The fault.
  const std::string manifest = served + "/files/Digest.xml";
  const std::string publishedManifest = voda_test::ReadHostFile(manifest);
  if (row.special == Special::kBrokenSignature) {
    std::string bytes = publishedManifest;
    const std::size_t sign = bytes.find("<Sign>");
    ASSERT_NE(sign, std::string::npos);
    char& digit = bytes[sign + 6 + 10];
    digit = digit == '0' ? '1' : '0';
    voda_test::WriteHostFile(manifest, bytes);
  }
  if (row.special == Special::kEscapingEntry) {
    ASSERT_NO_FATAL_FAILURE(AddEscapingEntry(served));
    // Signed with the publisher's key, it is a manifest the program may keep; its entries are not.
    signed_["Digest.xml"].insert(voda_test::ReadHostFile(manifest));
  }
  if (row.special == Special::kLostFile) {
    ASSERT_TRUE(fs::remove(InstalledHost("Data\\d.dat")));
  }
  if (row.special == Special::kHeldFile) {
    platform::StartRequest request;
    request.file = installDir_ + "\\Tools\\helper.exe";
    ASSERT_TRUE(machine_.platform().Procs().StartWithHandle(request, &helper).ok());
    ASSERT_TRUE(WaitForStart(helper->Id()));
  }
  ASSERT_NO_FATAL_FAILURE(Serve(served, row.faults));
  const std::string registryBefore = RegistryStore();

  const std::vector<std::string> arguments =
      row.mode == Mode::kRepair ? std::vector<std::string>{"-losefile"} : std::vector<std::string>{};
  apptest::ProgramRun run;
  if (row.special == Special::kKilled) {
    std::unique_ptr<apptest::RunningProgram> program = Start(arguments, row.script);
    ASSERT_TRUE(program->started());
    const bool streaming = WaitForStagedBody(*program);
    run = program->Wait(0);  // SIGKILL, while the body streams in
    ASSERT_TRUE(streaming) << "the large body never arrived\n" << run.standardError << server_->Output();
    EXPECT_EQ(run.signal, SIGKILL) << run.standardError;
    EXPECT_FALSE(voda_test::FileExists(InstalledHost("Data\\big.bin")));
  } else {
    run = Run(arguments, row.script);
    if (!row.succeeds) {
      EXPECT_EQ(run.standardError.find("[ui] script"), std::string::npos) << "the program did not end\n"
                                                                          << run.standardError;
    }
  }

  // What the user saw, and what the machine holds now.
  ExpectInOrder(run.standardError, row.texts);
  for (const std::string& text : row.absent) {
    EXPECT_EQ(run.standardError.find(text), std::string::npos) << "shown: " << text << "\n" << run.standardError;
  }
  if (row.counted != nullptr) {
    EXPECT_EQ(Count(server_->Output(), row.counted), row.requests) << server_->Output();
  }
  ExpectOnlyVerifiedFiles();
  if (row.special == Special::kEscapingEntry) {
    EXPECT_FALSE(voda_test::FileExists(machine_.HostPath("C:\\escape.txt")));
    EXPECT_FALSE(voda_test::FileExists(machine_.HostPath("C:\\Program Files (x86)\\escape.txt")));
    EXPECT_EQ(Count(server_->Output(), "escape.txt"), 0u) << server_->Output();
  }
  if (row.succeeds) {
    EXPECT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), e2e::Sz(version));
    ExpectInstalled(served);
  } else {
    EXPECT_EQ(RegistryStore(), registryBefore) << "the registry changed although the run failed";
  }

  // The healthy server, the release as published, nothing holding a file: the same run succeeds (a
  // run that succeeded is followed by a repair that finds nothing to do).
  if (helper) {
    EXPECT_TRUE(machine_.platform().Procs().Terminate(helper->Id(), 0).ok());
    helper.reset();
  }
  voda_test::WriteHostFile(manifest, publishedManifest);
  ASSERT_NO_FATAL_FAILURE(Serve(served));
  apptest::ProgramRun again;
  if (row.succeeds) {
    again = Run({"-losefile"}, kRepairSucceeds);
    EXPECT_NE(again.standardError.find(Status("无需更新")), std::string::npos) << again.standardError;
  } else {
    again = Run(arguments, row.mode == Mode::kInstall      ? kInstallSucceeds
                           : row.special == Special::kSilent ? "sleep 60000\n"
                           : row.mode == Mode::kUpdate     ? kUpdateSucceeds
                                                           : kRepairSucceeds);
  }
  EXPECT_NE(again.standardError.find(Status("完成安装,准备启动助手")), std::string::npos) << again.standardError;
  EXPECT_EQ(ReadValue(ProductRegistryKey(), platform::kKeyRead, "Version"), e2e::Sz(version));
  ExpectInstalled(served);
  ExpectOnlyVerifiedFiles();
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
