// Files written in pieces beside their target and put in place at once, and files read in blocks.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/posix/image_lock.h"
#include "support/temp_prefix.h"

namespace {

using platform::Error;
using platform::FileReader;
using platform::StagedFile;
using voda_test::ReadHostFile;

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 13 + 5) & 0xff);
  return data;
}

class StagedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    ASSERT_TRUE(files().CreateFolder("C:\\T").ok());
  }
  platform::FileSystem& files() { return machine_.platform().Files(); }

  // Every name in the folder's host directory, temporary files included.
  std::vector<std::string> HostNames(const std::string& folder = "C:\\T") {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(machine_.HostPath(folder))) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<StagedFile> Stage(const std::string& path) {
    std::unique_ptr<StagedFile> file;
    EXPECT_TRUE(files().CreateStagedFile(path, &file).ok()) << path;
    return file;
  }

  voda_test::TempPrefix machine_;
};

TEST_F(StagedFilesTest, PiecesAppearTogetherAtCommit) {
  ASSERT_TRUE(files().WriteFile("C:\\T\\a.bin", "old").ok());
  const std::string data = Pattern(200000);
  std::unique_ptr<StagedFile> file = Stage("c:/t/A.BIN");  // the existing file under another spelling
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->Append(data.data(), 1).ok());
  ASSERT_TRUE(file->Append(data.data() + 1, 0).ok());
  ASSERT_TRUE(file->Append(data.data() + 1, data.size() - 1).ok());

  // Until the commit the old content stays, and listings show only the finished file.
  std::string seen;
  ASSERT_TRUE(files().ReadFile("C:\\T\\a.bin", &seen).ok());
  EXPECT_EQ(seen, "old");
  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(files().FindFiles("C:\\T\\*", &entries).ok());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "a.bin");
  EXPECT_EQ(HostNames().size(), 1u);  // the staged file has no name until its commit

  ASSERT_TRUE(file->Commit().ok());
  EXPECT_EQ(ReadHostFile(machine_.HostPath("C:\\T\\a.bin")), data);
  EXPECT_EQ(HostNames(), std::vector<std::string>{"a.bin"});

  // A committed file takes no more calls.
  EXPECT_EQ(file->Append("x", 1).code(), Error::kInvalid);
  EXPECT_EQ(file->Commit().code(), Error::kInvalid);
  EXPECT_EQ(ReadHostFile(machine_.HostPath("C:\\T\\a.bin")), data);

  // An empty staged file commits an empty file; a new "*.exe" can be started as a program.
  std::unique_ptr<StagedFile> empty = Stage("C:\\T\\tool.exe");
  ASSERT_TRUE(empty && empty->Commit().ok());
  struct stat st;
  ASSERT_EQ(::stat(machine_.HostPath("C:\\T\\tool.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u);
}

TEST_F(StagedFilesTest, DestroyedWithoutCommitLeavesNothing) {
  ASSERT_TRUE(files().WriteFile("C:\\T\\kept.txt", "kept").ok());
  {
    std::unique_ptr<StagedFile> fresh = Stage("C:\\T\\new.txt");
    std::unique_ptr<StagedFile> replacing = Stage("C:\\T\\kept.txt");
    ASSERT_TRUE(fresh && replacing);
    ASSERT_TRUE(fresh->Append("half", 4).ok());
    ASSERT_TRUE(replacing->Append("other", 5).ok());
    EXPECT_EQ(HostNames().size(), 1u);
  }
  EXPECT_FALSE(files().Exists("C:\\T\\new.txt"));
  EXPECT_EQ(ReadHostFile(machine_.HostPath("C:\\T\\kept.txt")), "kept");
  EXPECT_EQ(HostNames(), std::vector<std::string>{"kept.txt"});
}

// A writer killed mid-write leaves nothing where the file system has unnamed files; hidden temporaries
// left by one where it has not (written here by hand) are removed when a process next writes into that
// folder, whatever file it writes.
TEST_F(StagedFilesTest, LeftoversOfKilledWritersAreRemoved) {
  const std::string folder = machine_.HostPath("C:\\T");
  voda_test::WriteHostFile(folder + "/.a.bin.~tmp99999.0", "left by a killed writer");
  voda_test::WriteHostFile(folder + "/.b.bin.~tmp99999.0", "another file's");

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    ::close(fds[0]);
    std::unique_ptr<StagedFile> file;
    char ok = files().CreateStagedFile("C:\\T\\a.bin", &file).ok() && file->Append("live", 4).ok() ? '1' : '0';
    (void)::write(fds[1], &ok, 1);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  pollfd p{fds[0], POLLIN, 0};
  char ok = '0';
  if (::poll(&p, 1, 10000) == 1) (void)::read(fds[0], &ok, 1);
  ::close(fds[0]);
  ASSERT_EQ(ok, '1');
  EXPECT_EQ(HostNames(), std::vector<std::string>{});  // the writer cleared both leftovers
  voda_test::WriteHostFile(folder + "/.c.bin.~tmp99998.0", "left by another killed writer");

  {
    std::unique_ptr<StagedFile> mine = Stage("C:\\T\\a.bin");
    ASSERT_TRUE(mine);
    EXPECT_EQ(HostNames(), std::vector<std::string>{});  // this process's first write there cleared it
  }
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  std::unique_ptr<StagedFile> after = Stage("C:\\T\\a.bin");
  ASSERT_TRUE(after && after->Append("mine", 4).ok() && after->Commit().ok());
  EXPECT_EQ(HostNames(), std::vector<std::string>{"a.bin"});
  EXPECT_EQ(ReadHostFile(folder + "/a.bin"), "mine");
}

TEST_F(StagedFilesTest, WhereNothingCanBeStaged) {
  std::string disc = voda_test::MakeTempFolder("voda-cd");
  voda_test::TempPrefix withCd("[drives]\nC = fixed drive_c\nE = cdrom " + disc + "\nZ = fixed /\n");
  ASSERT_TRUE(withCd.ok()) << withCd.error();
  struct Case {
    platform::FileSystem* files;
    const char* path;
    Error code;
  } cases[] = {
      {&files(), "C:\\T\\Missing\\a.txt", Error::kNotFound},
      {&files(), "C:\\T", Error::kAccessDenied},
      {&files(), "Q:\\a.txt", Error::kNotFound},
      {&withCd.platform().Files(), "E:\\a.txt", Error::kAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::unique_ptr<StagedFile> file;
    EXPECT_EQ(c.files->CreateStagedFile(c.path, &file).code(), c.code);
    EXPECT_FALSE(file);
  }
  EXPECT_EQ(HostNames(), std::vector<std::string>{});
  std::filesystem::remove_all(disc);
}

// A child process that holds the image lock on a file, as a running program does, until destroyed.
class RunningImage {
 public:
  explicit RunningImage(const std::string& hostPath) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      char ok = platform::posix::HoldImageLock(hostPath) ? '1' : '0';
      (void)::write(fds[1], &ok, 1);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    char ok = '0';
    if (pid_ > 0 && ::poll(&p, 1, 10000) == 1) (void)::read(fds[0], &ok, 1);
    ::close(fds[0]);
    locked_ = ok == '1';
  }
  ~RunningImage() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

// The rules of replacing a file apply when the content is put in place, not when it is started.
TEST_F(StagedFilesTest, CommitRefusesWhatMayNotBeReplacedNow) {
  ASSERT_TRUE(files().WriteFile("C:\\T\\app.exe", "running").ok());
  std::unique_ptr<StagedFile> update = Stage("C:\\T\\app.exe");
  ASSERT_TRUE(update && update->Append("new", 3).ok());
  {
    RunningImage running(machine_.HostPath("C:\\T\\app.exe"));
    ASSERT_TRUE(running.locked());
    EXPECT_EQ(update->Commit().code(), Error::kAccessDenied);
    EXPECT_EQ(ReadHostFile(machine_.HostPath("C:\\T\\app.exe")), "running");
    EXPECT_EQ(HostNames(), std::vector<std::string>{"app.exe"});  // the refused content is gone
    EXPECT_EQ(update->Commit().code(), Error::kInvalid);
  }
  // The program has ended: a new staged content replaces its image.
  std::unique_ptr<StagedFile> retry = Stage("C:\\T\\app.exe");
  ASSERT_TRUE(retry && retry->Append("new", 3).ok());
  EXPECT_TRUE(retry->Commit().ok());
  EXPECT_EQ(ReadHostFile(machine_.HostPath("C:\\T\\app.exe")), "new");

  // A read-only file, and a folder that took the file's name meanwhile.
  std::unique_ptr<StagedFile> readOnly = Stage("C:\\T\\ro.txt");
  std::unique_ptr<StagedFile> shadowed = Stage("C:\\T\\dir");
  ASSERT_TRUE(readOnly && shadowed);
  voda_test::WriteHostFile(machine_.HostPath("C:\\T") + "/ro.txt", "ro");
  ASSERT_EQ(::chmod((machine_.HostPath("C:\\T") + "/ro.txt").c_str(), 0444), 0);
  ASSERT_TRUE(files().CreateFolder("C:\\T\\dir").ok());
  if (::geteuid() != 0) {  // root may write any file
    EXPECT_EQ(readOnly->Commit().code(), Error::kAccessDenied);
    EXPECT_EQ(ReadHostFile(machine_.HostPath("C:\\T\\ro.txt")), "ro");
  }
  EXPECT_EQ(shadowed->Commit().code(), Error::kAccessDenied);
  EXPECT_TRUE(files().IsFolder("C:\\T\\dir"));
}

TEST_F(StagedFilesTest, ReaderGivesFullBlocksToTheEnd) {
  const std::string data = Pattern(10000);
  ASSERT_TRUE(files().WriteFile("C:\\T\\r.bin", data).ok());
  std::unique_ptr<FileReader> reader;
  ASSERT_TRUE(files().OpenForRead("c:\\t\\R.BIN", &reader).ok());
  ASSERT_TRUE(reader);
  std::vector<std::size_t> sizes;
  std::string back;
  char block[4096];
  for (int i = 0; i < 10; ++i) {
    std::size_t got = 12345;
    ASSERT_TRUE(reader->Read(block, sizeof block, &got).ok());
    sizes.push_back(got);
    back.append(block, got);
    if (got == 0) break;
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4096, 4096, 1808, 0}));
  EXPECT_EQ(back, data);
  std::size_t got = 1;
  EXPECT_TRUE(reader->Read(block, sizeof block, &got).ok());  // still the end
  EXPECT_EQ(got, 0u);

  ASSERT_TRUE(files().WriteFile("C:\\T\\empty", "").ok());
  ASSERT_TRUE(files().OpenForRead("C:\\T\\empty", &reader).ok());
  got = 1;
  EXPECT_TRUE(reader->Read(block, sizeof block, &got).ok());
  EXPECT_EQ(got, 0u);

  struct Case {
    const char* path;
    Error code;
  } cases[] = {
      {"C:\\T\\missing.bin", Error::kNotFound},
      {"C:\\T\\Missing\\r.bin", Error::kNotFound},
      {"C:\\T", Error::kAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::unique_ptr<FileReader> none;
    EXPECT_EQ(files().OpenForRead(c.path, &none).code(), c.code);
    EXPECT_FALSE(none);
  }
}

}  // namespace
