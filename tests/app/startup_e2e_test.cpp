// The built downloader run as a user would, in a fresh prefix. Start-up ends before the dispatcher
// today; the start-up report test hook (VODA_TEST_STARTUP_REPORT) shows whether a run got that far.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "app/bank_profile.h"
#include "app/downloader_app.h"
#include "platform/kernel_objects.h"
#include "platform/posix/prefix.h"
#include "run_program.h"
#include "support/temp_prefix.h"

namespace {

using apptest::ProgramOptions;
using apptest::ProgramRun;
using apptest::RunProgram;

// The profile of the build's bank, as the downloader derives it.
const BankProfile& Profile() {
  static const BankProfile profile = [] {
    BankProfile p;
    ServerEndpoint unused;
    FillBankProfile(BuildBankId(), p, unused);
    return p;
  }();
  return profile;
}

// The report of an interactive run without server-address file: the build's bank server.
std::string DefaultReport() {
  return "startup: dispatch command=[] baseUrl=[" + std::string(FindBankRow(BuildBankId())->baseUrl) +
         "] pathPrefix=[] queryPath=[/assist/server?reqtype=1&data=]\n";
}

// The start-up report line of a run's standard error (with its line feed), or "" when there is none.
std::string StartupReport(const std::string& standardError) {
  const std::string::size_type start = standardError.find("startup: dispatch ");
  if (start == std::string::npos) return std::string();
  return standardError.substr(start, standardError.find('\n', start) + 1 - start);
}

// Records the broadcasts one prefix's listening process receives.
class Listener {
 public:
  explicit Listener(platform::KernelObjects& objects) {
    listener_ = objects.ListenForBroadcasts([this](std::uint32_t msg, std::uintptr_t w, std::intptr_t l) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back({msg, w, l});
      changed_.notify_all();
    });
  }
  bool ok() const { return listener_ != nullptr; }

  struct Message {
    std::uint32_t msg;
    std::uintptr_t wParam;
    std::intptr_t lParam;
  };

  // The messages received once `count` have come or the time is up.
  std::vector<Message> Await(std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= count; });
    return received_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Message> received_;
  std::unique_ptr<platform::BroadcastListener> listener_;
};

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    workDir_ = machine_.HostPath("C:\\work");
    std::filesystem::create_directories(workDir_);
  }

  ProgramRun Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
    ProgramOptions options;
    options.prefixRoot = machine_.root();
    options.workingDirectory = workDir_;
    // Runs that get past start-up open the first installation's dialogs, which nobody answers here: the
    // headless window system ends them (code 0) once nothing has changed for a moment.
    options.environment = {std::string(kStartupReportVariable) + "=1", "VODA_UI=headless",
                           "VODA_UI_IDLE_SECONDS=2"};
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    ProgramRun run = RunProgram(apptest::DownloaderPath(), arguments, options);
    EXPECT_TRUE(run.finished) << "the downloader did not end";
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    return run;
  }

  void WriteServerAddress(const std::string& text) {
    voda_test::WriteHostFile(workDir_ + "/serverip.dat", text);
  }

  voda_test::TempPrefix machine_;
  std::string workDir_;
};

TEST_F(StartupTest, InteractiveRunReachesTheDispatcherWithTheProfilesServer) {
  EXPECT_EQ(StartupReport(Run({}).standardError), DefaultReport());
  // Not the "-t" mode: compared exactly and case-sensitively.
  EXPECT_NE(Run({"-T"}).standardError.find("command=[-T]"), std::string::npos);
  EXPECT_NE(Run({"-t", "now"}).standardError.find("command=[-t now]"), std::string::npos);
  EXPECT_NE(Run({"-t "}).standardError.find("command=[-t ]"), std::string::npos);
}

TEST_F(StartupTest, ServerAddressFile) {
  struct Case {
    const char* name;
    const char* text;
    const char* report;  // "": the run ends before the dispatcher, silently
  };
  const Case cases[] = {
      {"two lines", "https://127.0.0.1:9\n/p\n", ""},
      {"empty third line", "https://127.0.0.1:9\n/p\n\n",
       "startup: dispatch command=[] baseUrl=[https://127.0.0.1:9] pathPrefix=[/p] queryPath=[]\n"},
      {"more than three lines", "https://127.0.0.1:9\r\n\r\n/q?data=\r\nhttps://ignored\n",
       "startup: dispatch command=[] baseUrl=[https://127.0.0.1:9] pathPrefix=[] queryPath=[/q?data=]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteServerAddress(c.text);
    const ProgramRun run = Run({});
    if (*c.report == '\0') {
      EXPECT_EQ(run.standardError, "");
    } else {
      EXPECT_EQ(StartupReport(run.standardError), c.report);
    }
  }
}

TEST_F(StartupTest, SecondInstanceEndsAtOnceWithoutAMessage) {
  // The first Downloader's part here is the single-instance mutex, held by this test process in the
  // same machine: a running first instance holds exactly that while its dialogs are open.
  std::unique_ptr<platform::MutexHandle> first;
  ASSERT_TRUE(machine_.platform().Objects().CreateMutex(SingleInstanceMutexName(Profile()), &first).ok());

  EXPECT_EQ(Run({}).standardError, "");
  EXPECT_EQ(Run({"-update"}).standardError, "");

  // The first instance is left as it was: its mutex is still alive.
  std::unique_ptr<platform::MutexHandle> probe;
  EXPECT_EQ(machine_.platform().Objects().CreateMutex(SingleInstanceMutexName(Profile()), &probe),
            platform::Error::kAlreadyExists);
  probe.reset();

  first.reset();
  EXPECT_EQ(StartupReport(Run({}).standardError), DefaultReport());
}

// A first Downloader that stays: its first installation's dialog waits for a person who never comes (the
// headless window system would end it only after a minute of quiet).
class RunningDownloaderTest : public StartupTest {
 protected:
  void StartFirst() {
    // The version query goes to a closed port of this host and fails at once.
    WriteServerAddress("https://127.0.0.1:1\n\n/assist/server?reqtype=1&data=\n");
    ProgramOptions options;
    options.prefixRoot = machine_.root();
    options.workingDirectory = workDir_;
    options.environment = {"VODA_UI=headless", "VODA_UI_IDLE_SECONDS=60"};
    first_ = std::make_unique<apptest::RunningProgram>(apptest::DownloaderPath(), std::vector<std::string>{},
                                                       options);
    ASSERT_TRUE(first_->started());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (first_->StandardErrorSoFar().find("[ui] dialog") == std::string::npos) {
      ASSERT_TRUE(first_->Running()) << first_->StandardErrorSoFar();
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no dialog: " << first_->StandardErrorSoFar();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::unique_ptr<apptest::RunningProgram> first_;
};

TEST_F(RunningDownloaderTest, SecondInstanceLeavesTheFirstAndQuitModeEndsIt) {
  StartFirst();

  EXPECT_EQ(Run({}).standardError, "");  // ends at once, silently
  EXPECT_TRUE(first_->Running());

  EXPECT_EQ(Run({"-t"}).standardError, "");
  const ProgramRun first = first_->Wait(20000);
  EXPECT_TRUE(first.finished) << "the open dialog did not end its process";
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.standardError.find("waiting for a person"), std::string::npos) << first.standardError;
}

TEST_F(StartupTest, QuitModeBroadcastsToTheSameMachineOnly) {
  voda_test::TempPrefix otherMachine;
  ASSERT_TRUE(otherMachine.ok()) << otherMachine.error();
  Listener same(machine_.platform().Objects());
  Listener other(otherMachine.platform().Objects());
  ASSERT_TRUE(same.ok());
  ASSERT_TRUE(other.ok());
  const std::uint32_t msgId =
      machine_.platform().Objects().RegisterWindowMessage(SingleInstanceMessageName(Profile()));
  ASSERT_NE(msgId, 0u);

  // "-t" works while another instance holds the mutex, and never reads the server-address file.
  std::unique_ptr<platform::MutexHandle> running;
  ASSERT_TRUE(machine_.platform().Objects().CreateMutex(SingleInstanceMutexName(Profile()), &running).ok());
  WriteServerAddress("short\n");

  EXPECT_EQ(Run({"-t"}).standardError, "");
  const auto received = same.Await(1, 10000);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].msg, msgId);
  EXPECT_EQ(received[0].wParam, 1u);
  EXPECT_EQ(received[0].lParam, 0);
  EXPECT_TRUE(other.Await(1, 300).empty());

  // Interactive runs broadcast nothing.
  running.reset();
  std::filesystem::remove(workDir_ + "/serverip.dat");
  EXPECT_NE(Run({"-t", "x"}).standardError.find("command=[-t x]"), std::string::npos);
  EXPECT_EQ(same.Await(2, 300).size(), 1u);
}

TEST_F(StartupTest, FailedMessageRegistrationSaysSoAndEnds) {
  // A message table that cannot be opened makes the registration fail.
  std::filesystem::remove(machine_.root() + "/run/messages");
  std::filesystem::create_directories(machine_.root() + "/run/messages");
  ASSERT_EQ(machine_.platform().Objects().RegisterWindowMessage(SingleInstanceMessageName(Profile())), 0u);

  // The user answers the error box; a script that waits in vain fails the run with another exit code.
  const std::string script = workDir_ + "/answer.txt";
  voda_test::WriteHostFile(script, "wait box \"Can not initialize.\"\nanswer ok\n");
  const ProgramRun run = Run({}, {"VODA_UI_SCRIPT=" + script});
  EXPECT_EQ(run.standardError.find("startup: dispatch"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(machine_.root() + "/run/mutex-" + SingleInstanceMutexName(Profile())));
}

TEST(StartupMachine, MalformedMachineEndsWithAMessageAndTouchesNothing) {
  struct Case {
    const char* file;
    const char* text;
  };
  const Case cases[] = {
      {"machine.ini", "[machine\nversion=banana\n"},
      {"registry.reg", "this is not a registry file\n[HKEY_LOCAL_MACHINE\\Software\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string temp = voda_test::MakeTempFolder("voda-app-bad");
    const std::string root = temp + "/prefix";
    std::filesystem::create_directories(root);
    // A good machine whose store is broken, or a broken machine.
    voda_test::WriteHostFile(root + "/machine.ini",
                             platform::posix::FormatMachineIni(platform::posix::DefaultMachine("user")));
    voda_test::WriteHostFile(root + "/" + c.file, c.text);

    ProgramOptions options;
    options.prefixRoot = root;
    options.workingDirectory = temp;
    const ProgramRun run = RunProgram(apptest::DownloaderPath(), {}, options);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.standardError.rfind("downloader: ", 0), 0u) << run.standardError;
    EXPECT_EQ(voda_test::ReadHostFile(root + "/" + c.file), c.text);
    EXPECT_FALSE(std::filesystem::exists(root + "/run/mutex-" + SingleInstanceMutexName(Profile())));
    std::error_code ec;
    std::filesystem::remove_all(temp, ec);
  }
}

}  // namespace
