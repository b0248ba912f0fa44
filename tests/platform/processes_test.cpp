// Processes of a prefix with real stand-in programs.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/core_backends.h"
#include "platform/posix/image_lock.h"
#include "platform/process.h"
#include "procs_support.h"

namespace {

using platform::Error;
using platform::ProcessEntry;
using platform::ProcessId;
using platform::ShowMode;
using platform::StartRequest;
using procs_test::TempPrefix;

std::vector<ProcessId> IdsOf(platform::Processes& procs, const std::string& image) {
  std::vector<ProcessEntry> running;
  EXPECT_TRUE(procs.Snapshot(&running).ok());
  std::vector<ProcessId> ids;
  for (const auto& p : running)
    if (p.imageName == image) ids.push_back(p.id);
  return ids;
}

// Starts a program and waits (bounded) until it has recorded its start; returns its process id.
ProcessId StartAndAwait(TempPrefix& t, const StartRequest& request, standins::JournalEntry* entry = nullptr) {
  const size_t before = t.Journal().size();
  EXPECT_TRUE(t.procs().Start(request).ok()) << request.file;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    auto journal = t.Journal();
    for (size_t i = before; i < journal.size(); ++i) {
      if (journal[i].event != "start") continue;
      if (entry != nullptr) *entry = journal[i];
      return static_cast<ProcessId>(journal[i].pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "no start recorded for " << request.file;
  return 0;
}

std::vector<std::string> OpenFilesOf(ProcessId pid) {
  std::vector<std::string> targets;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code rec;
    auto target = std::filesystem::read_symlink(fd.path(), rec);
    if (!rec) targets.push_back(target.string());
  }
  return targets;
}

TEST(Processes, StartedProgramIsListedRecordsItsStartAndEndsWhenTerminated) {
  TempPrefix t;
  t.InstallStandin("C:\\Program Files\\Internet Explorer\\iexplore.exe");
  standins::JournalEntry entry;
  ProcessId pid = StartAndAwait(
      t, {"C:\\Program Files\\Internet Explorer\\iexplore.exe", "  -nohome \"C:\\a b\\x.htm\"  ", "", ShowMode::kHide},
      &entry);
  EXPECT_EQ(entry.image, "iexplore.exe");
  EXPECT_EQ(entry.show, "SW_HIDE");
  EXPECT_EQ(entry.parameters, "  -nohome \"C:\\a b\\x.htm\"  ");  // exactly as given
  EXPECT_EQ(IdsOf(t.procs(), "iexplore.exe"), std::vector<ProcessId>{pid});

  ASSERT_TRUE(t.procs().Terminate(pid, 0xFFFFFFF7u).ok());
  EXPECT_TRUE(IdsOf(t.procs(), "iexplore.exe").empty());
  EXPECT_EQ(t.procs().Terminate(pid, 0xFFFFFFF7u), Error::kNotFound);
}

TEST(Processes, SnapshotListsOlderProcessesFirst) {
  TempPrefix t;
  t.InstallStandin("C:\\b\\iexplore.exe");
  t.InstallStandin("C:\\a\\iexplore.exe");
  ProcessId first = StartAndAwait(t, {"C:\\b\\iexplore.exe", "", "", ShowMode::kShow});
  // A later start in another clock tick of /proc's start times (10 ms).
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ProcessId second = StartAndAwait(t, {"C:\\a\\iexplore.exe", "", "", ShowMode::kShow});
  EXPECT_EQ(IdsOf(t.procs(), "iexplore.exe"), (std::vector<ProcessId>{first, second}));
}

TEST(Processes, ProcessesOfAnotherPrefixAreNeitherListedNorTerminated) {
  TempPrefix mine;
  TempPrefix other;
  other.InstallStandin("C:\\iexplore.exe");
  ProcessId foreign = StartAndAwait(other, {"C:\\iexplore.exe", "", "", ShowMode::kShow});

  EXPECT_TRUE(IdsOf(mine.procs(), "iexplore.exe").empty());
  EXPECT_EQ(mine.procs().Terminate(foreign, 0), Error::kNotFound);
  EXPECT_EQ(mine.procs().Terminate(static_cast<ProcessId>(::getpid()), 0), Error::kNotFound);  // the host's
  EXPECT_EQ(IdsOf(other.procs(), "iexplore.exe"), std::vector<ProcessId>{foreign});
}

TEST(Processes, StartedProgramHoldsItsOwnImageLockAndNoInheritedDescriptor) {
  TempPrefix t;
  std::string image = t.InstallStandin("C:\\Tools\\ZivIV_861.exe");
  // Our own image lock (and any other descriptor of ours) must not reach the child.
  std::string ours = t.Host("C:\\Tools\\starter.exe");
  std::filesystem::copy_file(image, ours);
  ASSERT_TRUE(platform::posix::HoldImageLock(ours));
  std::string data = t.Host("C:\\Tools\\data.bin");
  std::ofstream(data) << "data";
  int stray = ::open(data.c_str(), O_RDONLY);  // not close-on-exec
  ASSERT_GE(stray, 0);

  EXPECT_FALSE(platform::posix::IsImageLocked(image));
  ProcessId pid = StartAndAwait(t, {"C:\\Tools\\ZivIV_861.exe", "", "", ShowMode::kShow});
  ::close(stray);
  EXPECT_TRUE(platform::posix::IsImageLocked(image));

  std::vector<std::string> open = OpenFilesOf(pid);
  EXPECT_GE(std::count(open.begin(), open.end(), std::filesystem::canonical(image).string()), 1);  // its lock
  for (const auto& target : open) {
    bool allowed = target == std::filesystem::canonical(image).string() || target.rfind("/dev/", 0) == 0 ||
                   target.rfind("pipe:", 0) == 0 || target.rfind("socket:", 0) == 0;
    EXPECT_TRUE(allowed) << target;
  }

  // As on Windows: the running program's file cannot be overwritten or deleted but can be renamed, and
  // the process keeps the name it was started with.
  auto files = platform::posix::NewPosixFileSystem(t.prefix());
  EXPECT_EQ(files->CopyFile("C:\\Tools\\starter.exe", "C:\\Tools\\ZivIV_861.exe", false), Error::kAccessDenied);
  EXPECT_EQ(files->DeleteFile("C:\\Tools\\ZivIV_861.exe"), Error::kAccessDenied);
  ASSERT_TRUE(files->MoveFile("C:\\Tools\\ZivIV_861.exe", "C:\\Tools\\tellvane_old.exe").ok());
  EXPECT_TRUE(platform::posix::IsImageLocked(t.Host("C:\\Tools\\tellvane_old.exe")));
  EXPECT_EQ(IdsOf(t.procs(), "ZivIV_861.exe"), std::vector<ProcessId>{pid});

  ASSERT_TRUE(t.procs().Terminate(pid, 0).ok());
  EXPECT_FALSE(platform::posix::IsImageLocked(t.Host("C:\\Tools\\tellvane_old.exe")));
  EXPECT_TRUE(files->DeleteFile("C:\\Tools\\tellvane_old.exe").ok());
}

TEST(Processes, HandleAndWaitForExitEndWithTheProcess) {
  TempPrefix t;
  t.InstallStandin("C:\\u\\uninst.exe");
  std::unique_ptr<platform::ProcessHandle> handle;
  ASSERT_TRUE(t.procs().StartWithHandle({"C:\\u\\uninst.exe", "/S", "", ShowMode::kHide}, &handle).ok());
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(t.WaitForJournal([](const standins::JournalEntry& e) { return e.event == "start"; }));
  EXPECT_EQ(handle->Wait(50), Error::kTimeout);
  EXPECT_EQ(t.procs().WaitForExit(handle->Id(), 50), Error::kTimeout);

  // It ends by itself on SIGTERM, recording its end.
  ASSERT_EQ(::kill(static_cast<pid_t>(handle->Id()), SIGTERM), 0);
  EXPECT_TRUE(handle->Wait(10000).ok());
  EXPECT_TRUE(t.procs().WaitForExit(handle->Id(), 10000).ok());
  EXPECT_TRUE(t.WaitForJournal([&](const standins::JournalEntry& e) {
    return e.event == "end" && e.pid == static_cast<int>(handle->Id()) && e.parameters == "/S";
  }));
}

TEST(Processes, WaitForExitOfAProcessStartedWithoutHandle) {
  TempPrefix t;
  t.InstallStandin("C:\\old\\oldproduct.exe");
  ProcessId pid = StartAndAwait(t, {"C:\\old\\oldproduct.exe", "", "", ShowMode::kShow});
  EXPECT_EQ(t.procs().WaitForExit(pid, 50), Error::kTimeout);
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(t.procs().Terminate(pid, 0).ok());
  });
  EXPECT_TRUE(t.procs().WaitForExit(pid, 10000).ok());
  killer.join();
  EXPECT_TRUE(t.procs().WaitForExit(pid, 0).ok());  // already gone
}

TEST(Processes, WorkingFolderAndSystemFolderLookup) {
  TempPrefix t;
  t.InstallStandin("C:\\Windows\\System32\\msiexec.exe");
  std::filesystem::create_directories(t.Host("C:\\work"));
  standins::JournalEntry entry;
  ProcessId pid = StartAndAwait(t, {"msiexec.exe", "/X{ABC} /quiet", "C:\\work", ShowMode::kHide}, &entry);
  EXPECT_EQ(entry.image, "msiexec.exe");
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd"),
            std::filesystem::canonical(t.Host("C:\\work")));
}

TEST(Processes, StartFailures) {
  TempPrefix t;
  std::string plain = t.Host("C:\\readme.txt");
  std::ofstream(plain) << "text";
  t.InstallStandin("C:\\ok.exe");
  struct Case {
    StartRequest request;
    Error expected;
  } cases[] = {
      {{"C:\\missing.exe", "", "", ShowMode::kShow}, Error::kNotFound},
      {{"Q:\\nodrive.exe", "", "", ShowMode::kShow}, Error::kNotFound},
      {{"", "", "", ShowMode::kShow}, Error::kNotFound},
      {{"C:\\readme.txt", "", "", ShowMode::kShow}, Error::kAccessDenied},
      {{"C:\\", "", "", ShowMode::kShow}, Error::kAccessDenied},
      {{"C:\\ok.exe", "", "C:\\no such folder", ShowMode::kShow}, Error::kNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.file + " in " + c.request.directory);
    std::unique_ptr<platform::ProcessHandle> handle;
    EXPECT_EQ(t.procs().StartWithHandle(c.request, &handle), c.expected);
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_TRUE(t.Journal().empty());
}

TEST(CommandLine, SplitsAsWindowsDoes) {
  struct Case {
    const char* text;
    std::vector<std::string> args;
  } cases[] = {
      {"", {}},
      {"   \t ", {}},
      {" -t", {"-t"}},
      {"/X{1234} /quiet", {"/X{1234}", "/quiet"}},
      {"\"C:\\Program Files\\x\" next", {"C:\\Program Files\\x", "next"}},
      {"a\"b c\"d", {"ab cd"}},
      {"\"\"", {""}},
      {"\"a\"\"b\"", {"a\"b"}},
      {"C:\\dir\\ \\\\server\\share", {"C:\\dir\\", "\\\\server\\share"}},
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"a\\\"b", {"a\"b"}},
      {"a\\\\\\\"b", {"a\\\"b"}},
      {"\"unterminated quote", {"unterminated quote"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(platform::SplitCommandLine(c.text), c.args);
  }
}

}  // namespace
