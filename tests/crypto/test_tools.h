// Small helpers of the message-security tests: a temporary folder, files, hexadecimal, and running
// independent command-line tools.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace testing_tools {

using Bytes = std::vector<unsigned char>;

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "voda-crypto-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = buffer.data();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline void WriteFile(const std::string& path, const Bytes& data) {
  WriteFile(path, std::string(data.begin(), data.end()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline std::string Hex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

inline Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline Bytes RandomBytesOf(std::size_t n, unsigned seed, bool nonZero = false) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) {
    b = static_cast<unsigned char>(gen());
    if (nonZero && b == 0) b = 1;
  }
  return out;
}

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output
};

// Runs a shell command line and collects its standard output and exit code.
inline CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

inline std::string KeyFile(const std::string& name) { return std::string(VODA_KEY_DIR) + "/" + name; }

}  // namespace testing_tools
