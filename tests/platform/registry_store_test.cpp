// The registry store shared by processes: concurrent writers lose nothing, and a writer killed at any
// moment leaves a store that reads.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/core_backends.h"
#include "platform/posix/prefix.h"
#include "platform/registry.h"
#include "support/temp_prefix.h"

namespace {

using platform::Error;
using platform::RegistryKey;

// In a forked child: opens the prefix as a process of its own would and writes `count` values
// "w<writer>_<i>" into a shared key and a key of its own. Returns the child's exit code.
int WriteValues(const std::string& root, int writer, int count) {
  std::unique_ptr<platform::posix::Prefix> prefix;
  std::string error;
  if (!platform::posix::Prefix::Open(root, &prefix, &error)) return 2;
  auto reg = platform::posix::NewPosixRegistry(*prefix, &error);
  if (!reg) return 3;
  for (int i = 0; i < count; ++i) {
    std::unique_ptr<RegistryKey> shared, own;
    if (!reg->CreateKey("Software\\Shared", platform::kKeyAllAccess, &shared).ok()) return 4;
    if (!reg->CreateKey("Software\\Writer" + std::to_string(writer), platform::kKeyAllAccess, &own).ok()) return 5;
    std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
    if (!shared->SetValue(name, platform::kRegSz, name.data(), static_cast<uint32_t>(name.size())).ok()) return 6;
    if (!own->SetValue(name, platform::kRegSz, name.data(), static_cast<uint32_t>(name.size())).ok()) return 7;
  }
  return 0;
}

// Waits for a child for at most `seconds`; kills it when it takes longer. Returns its exit status.
int WaitBounded(pid_t pid, int seconds) {
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RegistryStore, ConcurrentWritersLoseNothing) {
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  const int kWriters = 4;
  const int kValues = 30;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(WriteValues(machine.root(), w, kValues));
    children.push_back(pid);
  }
  for (pid_t pid : children) EXPECT_EQ(WaitBounded(pid, 120), 0);

  std::string error;
  auto after = machine.Reopen(&error);
  ASSERT_TRUE(after) << error;
  std::unique_ptr<RegistryKey> shared;
  ASSERT_TRUE(after->Reg().OpenKey("Software\\Shared", platform::kKeyRead, &shared).ok());
  for (int w = 0; w < kWriters; ++w) {
    std::unique_ptr<RegistryKey> own;
    ASSERT_TRUE(after->Reg().OpenKey("Software\\Writer" + std::to_string(w), platform::kKeyRead, &own).ok());
    for (int i = 0; i < kValues; ++i) {
      std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
      uint32_t size = 0;
      EXPECT_TRUE(shared->QueryValue(name, nullptr, nullptr, &size).ok()) << name;
      EXPECT_TRUE(own->QueryValue(name, nullptr, nullptr, &size).ok()) << name;
    }
  }
}

TEST(RegistryStore, AWriterKilledMidWriteLeavesAReadableStore) {
  voda_test::TempPrefix machine;
  ASSERT_TRUE(machine.ok()) << machine.error();
  size_t lastCount = 0;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(WriteValues(machine.root(), round, 1000000));  // writes until killed
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 7 * round));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);

    std::string error;
    auto after = machine.Reopen(&error);
    ASSERT_TRUE(after) << error;
    // The store is whole: every value it holds reads back as written, and none written before is lost.
    std::unique_ptr<RegistryKey> shared;
    if (!after->Reg().OpenKey("Software\\Shared", platform::kKeyRead, &shared).ok()) continue;
    size_t count = 0;
    for (int r = 0; r <= round; ++r) {
      for (int i = 0;; ++i) {
        std::string name = "w" + std::to_string(r) + "_" + std::to_string(i);
        char buf[32];
        uint32_t size = sizeof buf;
        if (!shared->QueryValue(name, nullptr, buf, &size).ok()) break;
        EXPECT_EQ(std::string(buf, size), name);
        ++count;
      }
    }
    EXPECT_GE(count, lastCount);
    lastCount = count;
  }
  EXPECT_GT(lastCount, 0u);
}

}  // namespace
