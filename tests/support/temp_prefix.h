// A fresh simulated Windows machine in a temporary folder for one test, removed with everything in it
// (and every program started in it) when the test ends.
//
//   voda_test::TempPrefix machine;               // the default machine
//   ASSERT_TRUE(machine.ok()) << machine.error();
//   machine.Install();                           // platform::Current() is this machine until the end
//   platform::Current().Files().WriteFile("C:\\a.txt", "x");
//   EXPECT_TRUE(voda_test::FileExists(machine.HostPath("C:\\a.txt")));
#pragma once

#include <memory>
#include <string>

#include "platform/posix/posix_platform.h"
#include "platform/posix/prefix.h"

namespace voda_test {

class TempPrefix {
 public:
  TempPrefix();
  // A machine whose machine.ini is `machineIni` (written before the prefix is opened).
  explicit TempPrefix(const std::string& machineIni);
  ~TempPrefix();
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;

  // False when the prefix could not be opened; error() says why.
  bool ok() const { return platform_ != nullptr; }
  const std::string& error() const { return error_; }

  // REQUIRES: ok().
  platform::posix::PosixPlatform& platform() { return *platform_; }
  const platform::posix::Prefix& prefix() const { return platform_->GetPrefix(); }

  // The prefix's host folder (canonical) and the temporary folder that holds it (also removed).
  const std::string& root() const { return root_; }
  const std::string& tempDir() const { return tempDir_; }

  // The host path of a Windows path of this machine; empty when it has none.
  std::string HostPath(const std::string& windowsPath) const;

  // Installs this machine as platform::Current() until the fixture ends.
  void Install();

  // Opens the same prefix again, as another process would see it; null and *error on failure.
  std::unique_ptr<platform::posix::PosixPlatform> Reopen(std::string* error) const;

 private:
  void Open(const std::string* machineIni);

  std::string tempDir_;
  std::string root_;
  std::string error_;
  std::unique_ptr<platform::posix::PosixPlatform> platform_;
  bool installed_ = false;
  std::string startDir_;
};

// Host-file helpers for checks.
bool FileExists(const std::string& hostPath);
std::string ReadHostFile(const std::string& hostPath);  // empty when missing
void WriteHostFile(const std::string& hostPath, const std::string& data);

// A new empty temporary folder (mkdtemp), for tests that need one without a prefix.
std::string MakeTempFolder(const std::string& tag);

}  // namespace voda_test
