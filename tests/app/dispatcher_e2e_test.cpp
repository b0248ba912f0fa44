// The built downloader with an installed product record, asking the real update-server on 127.0.0.1
// for a release made by voda-release publish. The headless window system echoes every dialog on standard
// error, which shows which row a run reached: the progress dialog (135), hidden at once in a silent
// update, the update dialog (139) or the first installation's version-query dialog (130).
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "run_program.h"
#include "server/server_process.h"
#include "standins/journal.h"
#include "support/temp_prefix.h"

namespace {

using apptest::ProgramOptions;
using apptest::ProgramRun;
using apptest::RunProgram;
using servertest::ServerProcess;

const char kQueryPath[] = "/assist/server?reqtype=1&data=";
const char kProgressShown[] = "[ui] dialog 135 \"";
const char kProgressHidden[] = "[ui] dialog 135 hidden";
const char kUpdateDialogShown[] = "[ui] dialog 139 \"";
const char kVersionQueryShown[] = "[ui] dialog 130 \"";

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The version queries the server has logged, once `expected` have come or two seconds have passed
// (a request is logged after its answer went out).
std::size_t Queries(ServerProcess& server, std::size_t expected) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Count(server.Output(), "GET /assist/server?") < expected && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Count(server.Output(), "GET /assist/server?");
}

int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

class DispatcherRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    workDir_ = machine_.HostPath("C:\\work");
    std::filesystem::create_directories(workDir_);
    g_bankProfile = BankProfile{};
    g_server = ServerEndpoint{};
    FillBankProfile(BuildBankId(), g_bankProfile, g_server);
  }
  void TearDown() override {
    g_bankProfile = BankProfile{};
    g_server = ServerEndpoint{};
  }

  // The installed product, as the installation records it.
  void WriteRecord(const std::string& version) {
    std::unique_ptr<platform::RegistryKey> key;
    ASSERT_TRUE(machine_.platform().Reg().CreateKey(ProductRegistryKey(), platform::kKeyAllAccess, &key).ok());
    for (const auto& [name, text] : {std::pair<const char*, std::string>{"Version", version},
                                     {"Path", "C:\\Program Files\\voda"}}) {
      ASSERT_TRUE(key->SetValue(name, platform::kRegSz, text.data(), static_cast<std::uint32_t>(text.size())).ok());
    }
  }

  // A release of one file answering "v" and "update" as given, served with the fault rules given.
  std::unique_ptr<ServerProcess> Serve(const std::string& version, const std::string& update,
                                       const std::vector<std::string>& faults = {}) {
    const std::string source = machine_.tempDir() + "/src";
    const std::string release = machine_.tempDir() + "/release-" + std::to_string(++releases_);
    std::filesystem::create_directories(source);
    voda_test::WriteHostFile(source + "/voda.exe", "the main program");
    ProgramOptions options;
    options.prefixRoot = machine_.root();
    const ProgramRun publish =
        RunProgram(std::string(VODA_BIN_DIR) + "/voda-release",
                   {"publish", source, release, "--version", version, "--url", "{base}/files", "--update", update},
                   options);
    EXPECT_TRUE(publish.finished && publish.exitCode == 0) << publish.standardError;
    std::vector<std::string> args = {"--release", release};
    for (const std::string& fault : faults) {
      args.push_back("--fault");
      args.push_back(fault);
    }
    auto server = std::make_unique<ServerProcess>(args);
    EXPECT_GT(server->HttpPort(), 0) << server->Output();
    AddressFile(server->HttpBase());
    return server;
  }

  void AddressFile(const std::string& baseUrl) {
    voda_test::WriteHostFile(workDir_ + "/serverip.dat", baseUrl + "\n\n" + kQueryPath + "\n");
  }

  // The downloader as a user starts it, headless; `script` (if any) is the user's part.
  ProgramRun Run(const std::vector<std::string>& arguments, const std::string& script = "") {
    ProgramOptions options;
    options.prefixRoot = machine_.root();
    options.workingDirectory = workDir_;
    options.environment = {"VODA_UI=headless", "VODA_UI_IDLE_SECONDS=20"};
    if (!script.empty()) {
      const std::string file = machine_.tempDir() + "/user.script";
      voda_test::WriteHostFile(file, script);
      options.environment.push_back("VODA_UI_SCRIPT=" + file);
    }
    ProgramRun run = RunProgram(apptest::DownloaderPath(), arguments, options);
    EXPECT_TRUE(run.finished) << "the downloader did not end";
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    return run;
  }

  // A stand-in browser, running once it has said so in the machine's journal.
  std::unique_ptr<platform::ProcessHandle> StartBrowser() {
    const std::string windowsPath = "C:\\Program Files\\Internet Explorer\\iexplore.exe";
    const std::string host = machine_.HostPath(windowsPath);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::filesystem::copy_file(std::string(VODA_BIN_DIR) + "/standin", host,
                               std::filesystem::copy_options::overwrite_existing);
    std::unique_ptr<platform::ProcessHandle> handle;
    platform::StartRequest request;
    request.file = windowsPath;
    EXPECT_TRUE(machine_.platform().Procs().StartWithHandle(request, &handle).ok());
    if (!handle) return handle;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& e : standins::ReadJournal(machine_.root())) {
        if (e.event == "start" && static_cast<platform::ProcessId>(e.pid) == handle->Id()) return handle;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "the browser did not start";
    return handle;
  }

  voda_test::TempPrefix machine_;
  std::string workDir_;
  int releases_ = 0;
};

TEST_F(DispatcherRun, OlderInstallationReachesTheUpdateRows) {
  // Every run that updates records the new version, so each starts again from the older record.
  {
    WriteRecord("1.0.18.916");
    auto server = Serve("1.0.19.0", "2");
    const std::string output = Run({}).standardError;
    EXPECT_TRUE(Has(output, kProgressShown) && Has(output, kProgressHidden)) << output;  // silent update
    EXPECT_EQ(Queries(*server, 1), 1u) << server->Output();
  }
  {
    // An odd-length reply loses its last character and still opens.
    WriteRecord("1.0.18.916");
    auto server = Serve("1.0.19.0", "2", {"/assist/server append 0"});
    const std::string output = Run({"-update"}).standardError;
    EXPECT_TRUE(Has(output, kProgressShown) && Has(output, kProgressHidden)) << output;
  }
  {
    WriteRecord("1.0.18.916");
    auto server = Serve("1.0.19.0", "1");
    const std::string offered = Run({}, "wait dialog 139\nclick 2\n").standardError;
    EXPECT_TRUE(Has(offered, kUpdateDialogShown)) << offered;
    EXPECT_FALSE(Has(offered, kProgressShown)) << offered;
    // "-losefile" runs the repair, shown, and not the update dialog.
    const std::string repaired = Run({"-losefile"}).standardError;
    EXPECT_TRUE(Has(repaired, kProgressShown)) << repaired;
    EXPECT_FALSE(Has(repaired, kProgressHidden) || Has(repaired, kUpdateDialogShown)) << repaired;
  }
  {
    // "-update" with update 0 ends right after the answer, without a window.
    WriteRecord("1.0.18.916");
    auto server = Serve("1.0.19.0", "0");
    EXPECT_EQ(Run({"-update"}).standardError, "");
    EXPECT_EQ(Run({}).standardError, "");
  }
}

TEST_F(DispatcherRun, EqualVersionsShowTheUpToDateNotice) {
  WriteRecord("1.0.19.00");
  auto server = Serve("1.0.19.0", "2");
  const std::string& name = g_bankProfile.productName;
  const ProgramRun run = Run({}, "wait box \"您当前已安装了最新的" + name + "版本。\"\n"
                                 "expect title \"" + name + "\"\n"
                                 "expect text 1 \"确定\"\n"
                                 "answer ok\n");
  EXPECT_FALSE(Has(run.standardError, kProgressShown)) << run.standardError;
  EXPECT_NE(run.standardError.find("message box \"" + name + "\": \"您当前已安装了最新的" + name + "版本。\" [1 确定]"),
            std::string::npos)
      << run.standardError;
  EXPECT_EQ(Run({"-update"}).standardError, "");
}

TEST_F(DispatcherRun, AnswerThatDoesNotOpenEndsSilently) {
  WriteRecord("1.0.18.916");
  auto server = Serve("1.0.19.0", "2", {"/assist/server status 404",
                                        "/assist/server body <html><body>404 Not Found</body></html>"});
  EXPECT_EQ(Run({}).standardError, "");
  EXPECT_EQ(Run({"-losefile"}).standardError, "");
  EXPECT_EQ(Queries(*server, 2), 2u) << server->Output();
}

TEST_F(DispatcherRun, FourFailedAttemptsThenTheProcessEnds) {
  WriteRecord("1.0.18.916");
  {
    // A body cut short is a failed attempt: four of them back to back, then the end without a window.
    auto server = Serve("1.0.19.0", "2", {"/assist/server cut 0"});
    EXPECT_EQ(Run({}).standardError, "");
    EXPECT_EQ(Queries(*server, 4), 4u) << server->Output();
  }
  const int port = ClosedPort();
  ASSERT_GT(port, 0);
  AddressFile("http://127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(Run({"-losefile"}).standardError, "");
}

TEST_F(DispatcherRun, RepairAsksBeforeEndingTheBrowserAndAnUpdateDoesNot) {
  WriteRecord("1.0.18.916");
  auto server = Serve("1.0.19.0", "2");
  const std::string question = "wait box \"安装过程中需关闭IE浏览器，是否继续？\"\n"
                               "expect title \"" + g_bankProfile.productName + "\"\n";
  std::unique_ptr<platform::ProcessHandle> browser = StartBrowser();
  ASSERT_TRUE(browser);

  // No: the browser keeps running and no dialog opens.
  const std::string declined = Run({"-losefile"}, question + "answer no\n").standardError;
  EXPECT_FALSE(Has(declined, kProgressShown)) << declined;
  EXPECT_EQ(browser->Wait(0), platform::Error::kTimeout);

  // Yes: the browser is ended, then the repair runs.
  ProgramRun run = Run({"-losefile"}, question + "answer yes\n");
  EXPECT_TRUE(Has(run.standardError, kProgressShown)) << run.standardError;
  EXPECT_TRUE(browser->Wait(10000).ok());

  // An update the server wants at once ends the browser without a question.
  WriteRecord("1.0.18.916");
  browser = StartBrowser();
  ASSERT_TRUE(browser);
  const std::string updated = Run({"-update"}).standardError;
  EXPECT_TRUE(Has(updated, kProgressHidden)) << updated;
  EXPECT_FALSE(Has(updated, "[ui] message box")) << updated;
  EXPECT_TRUE(browser->Wait(10000).ok());
}

TEST_F(DispatcherRun, NoRecordIsAFirstInstallationWithoutAskingTheServer) {
  auto server = Serve("1.0.19.0", "2");
  // The user leaves at the install dialog; the one query is the version-query dialog's own.
  const std::string output =
      Run({"-update"}, "wait dialog 132\nclick 2\nwait box \"*\"\nanswer yes\n").standardError;
  EXPECT_TRUE(Has(output, kVersionQueryShown)) << output;
  EXPECT_EQ(Queries(*server, 1), 1u) << server->Output();
}

}  // namespace
