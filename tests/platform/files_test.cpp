// FileSystem on a real prefix: folders, copy, move, delete, listings, whole-file reads and writes,
// and files held by running programs.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/posix/image_lock.h"
#include "support/temp_prefix.h"

namespace {

using platform::DirEntry;
using platform::Error;
using voda_test::FileExists;
using voda_test::ReadHostFile;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok()) << machine_.error();
    ASSERT_TRUE(files().CreateFolder("C:\\T").ok());
  }
  platform::FileSystem& files() { return machine_.platform().Files(); }
  std::string Host(const std::string& windows) { return machine_.HostPath(windows); }
  void Put(const std::string& windows, const std::string& data) {
    ASSERT_TRUE(files().WriteFile(windows, data).ok()) << windows;
  }
  std::string Get(const std::string& windows) {
    std::string data;
    EXPECT_TRUE(files().ReadFile(windows, &data).ok()) << windows;
    return data;
  }
  std::vector<std::string> Names(const std::string& pattern) {
    std::vector<DirEntry> entries;
    EXPECT_TRUE(files().FindFiles(pattern, &entries).ok()) << pattern;
    std::vector<std::string> names;
    for (const DirEntry& e : entries) names.push_back(e.name + (e.isFolder ? "\\" : ""));
    std::sort(names.begin(), names.end());
    return names;
  }

  voda_test::TempPrefix machine_;
};

TEST_F(FilesTest, CreateFolderIsOneLevel) {
  Put("C:\\T\\file", "x");
  struct Case {
    const char* path;
    Error code;
  } cases[] = {
      {"C:\\T\\New", Error::kOk},           {"C:\\T\\new", Error::kAlreadyExists},  // names ignore case
      {"C:\\T\\file", Error::kAlreadyExists}, {"C:\\T\\A\\B", Error::kNotFound},
      {"C:\\", Error::kAlreadyExists},      {"Q:\\X", Error::kNotFound},
      {"C:\\T\\a|b", Error::kInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(files().CreateFolder(c.path).code(), c.code);
  }
  EXPECT_TRUE(files().IsFolder("c:\\t\\NEW"));
  EXPECT_FALSE(files().IsFolder("C:\\T\\file"));
  EXPECT_TRUE(files().Exists("C:\\T\\file"));
  EXPECT_FALSE(files().Exists("C:\\T\\A"));
}

TEST_F(FilesTest, CopyFileOverwritesOnlyWhenAllowed) {
  Put("C:\\T\\a", "new");
  Put("C:\\T\\b", "old");
  ASSERT_TRUE(files().CreateFolder("C:\\T\\dir").ok());

  EXPECT_EQ(files().CopyFile("C:\\T\\a", "C:\\T\\b", true).code(), Error::kAlreadyExists);
  EXPECT_EQ(Get("C:\\T\\b"), "old");
  EXPECT_TRUE(files().CopyFile("C:\\T\\a", "C:\\T\\b", false).ok());
  EXPECT_EQ(Get("C:\\T\\b"), "new");
  EXPECT_TRUE(files().CopyFile("C:\\T\\a", "C:\\T\\c", true).ok());
  EXPECT_EQ(Get("C:\\T\\c"), "new");

  struct Case {
    const char* from;
    const char* to;
    Error code;
  } errors[] = {
      {"C:\\T\\missing", "C:\\T\\x", Error::kNotFound},
      {"C:\\T\\a", "C:\\T\\nofolder\\x", Error::kNotFound},
      {"C:\\T\\dir", "C:\\T\\x", Error::kAccessDenied},
      {"C:\\T\\a", "C:\\T\\dir", Error::kAccessDenied},
      {"C:\\T\\a", "C:\\T\\A", Error::kAccessDenied},  // onto itself
  };
  for (const Case& c : errors) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    EXPECT_EQ(files().CopyFile(c.from, c.to, false).code(), c.code);
  }
  EXPECT_EQ(Get("C:\\T\\a"), "new");
  EXPECT_EQ(Names("C:\\T\\*"), (std::vector<std::string>{"a", "b", "c", "dir\\"}));  // no leftovers
}

TEST_F(FilesTest, CopyKeepsAProgramRunnable) {
  std::string exe = Host("C:\\T\\tool.exe");
  ASSERT_TRUE(std::filesystem::copy_file("/bin/true", exe));
  ASSERT_TRUE(files().CopyFile("C:\\T\\tool.exe", "C:\\T\\copy.bin", false).ok());
  EXPECT_EQ(::access(Host("C:\\T\\copy.bin").c_str(), X_OK), 0);
  // A program that arrives as a new file of its own can be started too.
  Put("C:\\T\\downloaded.exe", ReadHostFile(exe));
  EXPECT_EQ(::access(Host("C:\\T\\downloaded.exe").c_str(), X_OK), 0);
  Put("C:\\T\\data.txt", "x");
  EXPECT_NE(::access(Host("C:\\T\\data.txt").c_str(), X_OK), 0);
}

TEST_F(FilesTest, MoveFileNeverReplaces) {
  Put("C:\\T\\a", "A");
  Put("C:\\T\\b", "B");
  EXPECT_EQ(files().MoveFile("C:\\T\\a", "C:\\T\\b").code(), Error::kAlreadyExists);
  EXPECT_EQ(Get("C:\\T\\a"), "A");
  EXPECT_EQ(Get("C:\\T\\b"), "B");
  std::filesystem::create_hard_link(Host("C:\\T\\b"), Host("C:\\T\\b") + "link");
  EXPECT_EQ(files().MoveFile("C:\\T\\b", "C:\\T\\blink").code(), Error::kAlreadyExists);  // another name
  EXPECT_TRUE(files().DeleteFile("C:\\T\\blink").ok());
  EXPECT_EQ(files().MoveFile("C:\\T\\missing", "C:\\T\\m").code(), Error::kNotFound);
  EXPECT_EQ(files().MoveFile("C:\\T\\a", "C:\\T\\nofolder\\a").code(), Error::kNotFound);

  EXPECT_TRUE(files().MoveFile("C:\\T\\a", "C:\\T\\moved").ok());
  EXPECT_FALSE(files().Exists("C:\\T\\a"));
  EXPECT_EQ(Get("C:\\T\\moved"), "A");

  // Folders move too, and a change of case alone renames.
  ASSERT_TRUE(files().CreateFolder("C:\\T\\dir").ok());
  Put("C:\\T\\dir\\in", "I");
  EXPECT_TRUE(files().MoveFile("C:\\T\\dir", "C:\\T\\dir2").ok());
  EXPECT_EQ(Get("C:\\T\\dir2\\in"), "I");
  EXPECT_TRUE(files().MoveFile("C:\\T\\moved", "C:\\T\\MOVED").ok());
  EXPECT_EQ(Names("C:\\T\\*.*"), (std::vector<std::string>{"MOVED", "b", "dir2\\"}));
}

TEST_F(FilesTest, MoveFileAcrossDrives) {
  std::string extra = voda_test::MakeTempFolder("voda-drive-d");
  voda_test::TempPrefix two("[drives]\nC = fixed drive_c\nD = fixed " + extra + "\nZ = fixed /\n");
  ASSERT_TRUE(two.ok()) << two.error();
  platform::FileSystem& f = two.platform().Files();
  ASSERT_TRUE(f.WriteFile("C:\\x.txt", "payload").ok());
  EXPECT_TRUE(f.MoveFile("C:\\x.txt", "D:\\x.txt").ok());  // D: may be another host file system
  EXPECT_FALSE(f.Exists("C:\\x.txt"));
  EXPECT_EQ(ReadHostFile(extra + "/x.txt"), "payload");
  std::filesystem::remove_all(extra);
}

TEST_F(FilesTest, ACdRomIsReadOnly) {
  std::string disc = voda_test::MakeTempFolder("voda-cd");
  voda_test::WriteHostFile(disc + "/setup.ini", "disc");
  std::filesystem::create_directory(disc + "/dir");
  voda_test::TempPrefix withCd("[drives]\nC = fixed drive_c\nE = cdrom " + disc + "\nZ = fixed /\n");
  ASSERT_TRUE(withCd.ok()) << withCd.error();
  platform::FileSystem& f = withCd.platform().Files();
  ASSERT_TRUE(f.WriteFile("C:\\c.txt", "c").ok());
  EXPECT_EQ(f.CreateFolder("E:\\Bank").code(), Error::kAccessDenied);
  EXPECT_EQ(f.WriteFile("E:\\setup.ini", "x").code(), Error::kAccessDenied);
  EXPECT_EQ(f.DeleteFile("E:\\setup.ini").code(), Error::kAccessDenied);
  EXPECT_EQ(f.RemoveFolder("E:\\dir").code(), Error::kAccessDenied);
  EXPECT_EQ(f.CopyFile("C:\\c.txt", "E:\\c.txt", false).code(), Error::kAccessDenied);
  EXPECT_EQ(f.MoveFile("E:\\setup.ini", "C:\\setup.ini").code(), Error::kAccessDenied);
  EXPECT_TRUE(f.CopyFile("E:\\setup.ini", "C:\\setup.ini", false).ok());  // reading is fine
  EXPECT_EQ(ReadHostFile(disc + "/setup.ini"), "disc");
  std::filesystem::remove_all(disc);
}

TEST_F(FilesTest, DeleteFileAndRemoveFolder) {
  Put("C:\\T\\a", "A");
  ASSERT_TRUE(files().CreateFolder("C:\\T\\dir").ok());
  Put("C:\\T\\dir\\in", "I");
  EXPECT_EQ(files().DeleteFile("C:\\T\\dir").code(), Error::kAccessDenied);
  EXPECT_EQ(files().DeleteFile("C:\\T\\missing").code(), Error::kNotFound);
  EXPECT_TRUE(files().DeleteFile("C:\\T\\A").ok());
  EXPECT_FALSE(FileExists(Host("C:\\T\\a")));

  EXPECT_EQ(files().RemoveFolder("C:\\T\\dir").code(), Error::kAccessDenied);  // not empty
  EXPECT_TRUE(files().DeleteFile("C:\\T\\dir\\in").ok());
  EXPECT_TRUE(files().RemoveFolder("C:\\T\\dir").ok());
  EXPECT_EQ(files().RemoveFolder("C:\\T\\dir").code(), Error::kNotFound);
}

TEST_F(FilesTest, FindFilesListsAFolder) {
  Put("C:\\T\\a.txt", "");
  Put("C:\\T\\B.DLL", "");
  Put("C:\\T\\noext", "");
  ASSERT_TRUE(files().CreateFolder("C:\\T\\sub").ok());
  ASSERT_TRUE(files().CreateFolder("C:\\T\\empty").ok());
  // A temporary file left by a writer killed mid-write is not part of the folder.
  voda_test::WriteHostFile(Host("C:\\T") + "/.a.txt.~tmp123.0", "half");

  struct Case {
    const char* pattern;
    std::vector<std::string> names;
  } cases[] = {
      {"C:\\T\\*.*", {"B.DLL", "a.txt", "empty\\", "noext", "sub\\"}},
      {"C:\\T\\*", {"B.DLL", "a.txt", "empty\\", "noext", "sub\\"}},
      {"c:/t/*.dll", {"B.DLL"}},
      {"C:\\T\\?.txt", {"a.txt"}},
      {"C:\\T\\a.txt", {"a.txt"}},
      {"C:\\T\\*.exe", {}},
      {"C:\\T\\empty\\*.*", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(Names(c.pattern), c.names);
  }
  std::vector<DirEntry> entries;
  EXPECT_EQ(files().FindFiles("C:\\T\\missing\\*.*", &entries).code(), Error::kNotFound);
  EXPECT_EQ(files().FindFiles("Q:\\*.*", &entries).code(), Error::kNotFound);
}

TEST_F(FilesTest, WholeFileReadsAndWrites) {
  std::string binary("a\0b\r\n\xff", 6);
  Put("C:\\T\\bin", binary);
  EXPECT_EQ(Get("C:\\T\\bin"), binary);
  uint64_t size = 0;
  EXPECT_TRUE(files().FileSize("C:\\T\\bin", &size).ok());
  EXPECT_EQ(size, 6u);
  Put("C:\\T\\bin", "short");  // replaced whole
  EXPECT_EQ(ReadHostFile(Host("C:\\T\\bin")), "short");
  EXPECT_EQ(Names("C:\\T\\*"), (std::vector<std::string>{"bin"}));

  std::string data;
  EXPECT_EQ(files().ReadFile("C:\\T\\missing", &data).code(), Error::kNotFound);
  EXPECT_EQ(files().ReadFile("C:\\T", &data).code(), Error::kAccessDenied);
  EXPECT_EQ(files().WriteFile("C:\\T\\nofolder\\x", "x").code(), Error::kNotFound);
  EXPECT_EQ(files().WriteFile("C:\\T", "x").code(), Error::kAccessDenied);
}

// A child process that holds the image lock on a file, as a running program does, until killed.
class LockHolder {
 public:
  explicit LockHolder(const std::string& hostPath) {
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
    if (::poll(&p, 1, 10000) == 1) (void)::read(fds[0], &ok, 1);
    ::close(fds[0]);
    locked_ = ok == '1';
  }
  ~LockHolder() {
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

TEST_F(FilesTest, ARunningProgramsImageCanBeRenamedButNotReplaced) {
  Put("C:\\T\\app.exe", "running");
  Put("C:\\T\\new.exe", "new");
  {
    LockHolder running(Host("C:\\T\\app.exe"));
    ASSERT_TRUE(running.locked());
    EXPECT_EQ(files().CopyFile("C:\\T\\new.exe", "C:\\T\\app.exe", false).code(), Error::kAccessDenied);
    EXPECT_EQ(files().WriteFile("C:\\T\\app.exe", "x").code(), Error::kAccessDenied);
    EXPECT_EQ(files().DeleteFile("C:\\T\\app.exe").code(), Error::kAccessDenied);
    EXPECT_EQ(Get("C:\\T\\app.exe"), "running");

    // Moved aside, it stays held under its new name and its old name is free for the new file.
    ASSERT_TRUE(files().MoveFile("C:\\T\\app.exe", "C:\\T\\app_old.exe").ok());
    EXPECT_EQ(files().DeleteFile("C:\\T\\app_old.exe").code(), Error::kAccessDenied);
    EXPECT_TRUE(files().CopyFile("C:\\T\\new.exe", "C:\\T\\app.exe", false).ok());
    EXPECT_EQ(Get("C:\\T\\app.exe"), "new");
  }
  EXPECT_TRUE(files().DeleteFile("C:\\T\\app_old.exe").ok());  // the program has ended
}

}  // namespace
