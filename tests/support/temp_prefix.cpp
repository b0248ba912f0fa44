#include "support/temp_prefix.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/process.h"

namespace voda_test {

namespace fs = std::filesystem;

std::string MakeTempFolder(const std::string& tag) {
  std::string templ = (fs::temp_directory_path() / (tag + "-XXXXXX")).string();
  if (::mkdtemp(templ.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary folder";
    return std::string();
  }
  return fs::canonical(templ).string();
}

bool FileExists(const std::string& hostPath) {
  std::error_code ec;
  return fs::exists(hostPath, ec);
}

std::string ReadHostFile(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteHostFile(const std::string& hostPath, const std::string& data) {
  std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
  out << data;
  if (!out) ADD_FAILURE() << "cannot write " << hostPath;
}

TempPrefix::TempPrefix() { Open(nullptr); }

TempPrefix::TempPrefix(const std::string& machineIni) { Open(&machineIni); }

void TempPrefix::Open(const std::string* machineIni) {
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) != nullptr) startDir_ = cwd;
  tempDir_ = MakeTempFolder("voda-prefix");
  root_ = tempDir_ + "/prefix";
  std::error_code ec;
  fs::create_directories(root_, ec);
  if (machineIni != nullptr) WriteHostFile(root_ + "/machine.ini", *machineIni);
  platform_ = platform::posix::CreatePosixPlatform(root_, &error_);
}

TempPrefix::~TempPrefix() {
  if (installed_) platform::Install(nullptr);
  if (platform_) {
    // Nothing the test started in this machine may outlive it.
    std::vector<platform::ProcessEntry> running;
    if (platform_->Procs().Snapshot(&running).ok()) {
      for (const platform::ProcessEntry& p : running)
        if (p.id != static_cast<platform::ProcessId>(::getpid())) (void)platform_->Procs().Terminate(p.id, 0);
    }
  }
  platform_.reset();
  if (!startDir_.empty()) (void)::chdir(startDir_.c_str());
  std::error_code ec;
  if (!tempDir_.empty()) fs::remove_all(tempDir_, ec);
}

std::string TempPrefix::HostPath(const std::string& windowsPath) const {
  std::string host;
  if (!platform_ || !prefix().ToHost(windowsPath, &host).ok()) return std::string();
  return host;
}

void TempPrefix::Install() {
  platform::Install(platform_.get());
  installed_ = true;
}

std::unique_ptr<platform::posix::PosixPlatform> TempPrefix::Reopen(std::string* error) const {
  return platform::posix::CreatePosixPlatform(root_, error);
}

}  // namespace voda_test
