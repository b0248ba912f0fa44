#include "e2e_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "platform/registry.h"
#include "standins/journal.h"

namespace e2e {

namespace fs = std::filesystem;

const char kQueryPath[] = "/assist/server?reqtype=1&data=";

const char kAcceptDefaults[] =
    "wait dialog 130 30\n"
    "wait dialog 132 30\n"
    "click 1\n"
    "wait dialog 134\n"
    "click 1\n"
    "wait dialog 135\n";

std::string OpensslDigest(const std::string& hostPath) {
  const std::string command = "openssl dgst -sha1 -binary '" + hostPath + "' | openssl base64";
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string Entry::HostRelative() const {
  std::string relative = Relative();
  for (char& c : relative)
    if (c == '\\') c = '/';
  return relative;
}

std::vector<Entry> ManifestEntries(const std::string& text) {
  std::vector<Entry> entries;
  const std::regex file(R"re(<File Path="([^"]*)" FileName="([^"]*)" Digest="([^"]*)")re");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), file); it != std::sregex_iterator(); ++it) {
    entries.push_back({(*it)[1], (*it)[2], (*it)[3]});
  }
  return entries;
}

std::vector<std::string> Echoed(const std::string& standardError, int controlId, int dialogId) {
  std::vector<std::string> texts;
  const std::string marker = "[ui] dialog " + std::to_string(dialogId) + ": " + std::to_string(controlId) + " \"";
  std::size_t at = 0;
  while ((at = standardError.find(marker, at)) != std::string::npos) {
    at += marker.size();
    const std::size_t end = standardError.find("\"\n", at);
    if (end == std::string::npos) break;
    texts.push_back(standardError.substr(at, end - at));
    at = end;
  }
  return texts;
}

std::string ControlEcho(int dialogId, int controlId, const std::string& text) {
  return "[ui] dialog " + std::to_string(dialogId) + ": " + std::to_string(controlId) + " \"" + text + "\"";
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<std::string> Without(std::vector<std::string> texts, const std::string& drop) {
  std::vector<std::string> kept;
  for (std::string& t : texts)
    if (t != drop) kept.push_back(std::move(t));
  return kept;
}

std::ostream& operator<<(std::ostream& os, const RawValue& v) {
  return os << "type " << v.type << " \"" << v.data << "\" (" << v.data.size() << " bytes)";
}

RawValue Sz(const std::string& text) { return {platform::kRegSz, text}; }

void MachineRun::SetUp() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    unsetenv(name);
  }
  ASSERT_TRUE(machine_.ok()) << machine_.error();
  workDir_ = machine_.HostPath("C:\\work");
  fs::create_directories(workDir_);
  g_bankProfile = BankProfile{};
  g_server = ServerEndpoint{};
  FillBankProfile(BuildBankId(), g_bankProfile, g_server);
  installDir_ = "C:\\Program Files (x86)\\" + g_bankProfile.productFolder;
}

void MachineRun::TearDown() {
  server_.reset();
  g_bankProfile = BankProfile{};
  g_server = ServerEndpoint{};
}

void MachineRun::PublishRelease(const std::string& version, const std::map<std::string, std::string>& files,
                                const std::string& update, std::string* release) {
  const std::string source = machine_.tempDir() + "/src-" + version;
  *release = machine_.tempDir() + "/release-" + version;
  for (const auto& [name, content] : files) {
    fs::create_directories(fs::path(source + "/" + name).parent_path());
    voda_test::WriteHostFile(source + "/" + name, content);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0)
      fs::permissions(source + "/" + name, fs::perms::owner_all);
  }
  apptest::ProgramOptions options;
  options.prefixRoot = machine_.root();
  const apptest::ProgramRun publish = apptest::RunProgram(
      std::string(VODA_BIN_DIR) + "/voda-release",
      {"publish", source, *release, "--version", version, "--url", "{base}/files", "--update", update}, options);
  ASSERT_TRUE(publish.finished && publish.exitCode == 0) << publish.standardError;
}

void MachineRun::Serve(const std::string& release, const std::vector<std::string>& faults) {
  std::vector<std::string> args = {"--release", release};
  for (const std::string& fault : faults) {
    args.push_back("--fault");
    args.push_back(fault);
  }
  server_.reset();
  server_ = std::make_unique<servertest::ServerProcess>(args);
  ASSERT_GT(server_->HttpPort(), 0) << server_->Output();
  voda_test::WriteHostFile(workDir_ + "/serverip.dat", server_->HttpBase() + "\n\n" + kQueryPath + "\n");
}

std::unique_ptr<apptest::RunningProgram> MachineRun::Start(const std::vector<std::string>& arguments,
                                                           const std::string& script) {
  apptest::ProgramOptions options;
  options.prefixRoot = machine_.root();
  options.workingDirectory = workDir_;
  const std::string file = machine_.tempDir() + "/user-" + std::to_string(++runs_) + ".script";
  voda_test::WriteHostFile(file, script);
  options.environment = {"VODA_UI=headless", "VODA_UI_IDLE_SECONDS=20", "VODA_UI_SCRIPT=" + file};
  return std::make_unique<apptest::RunningProgram>(apptest::DownloaderPath(), arguments, options);
}

apptest::ProgramRun MachineRun::Run(const std::vector<std::string>& arguments, const std::string& script,
                                    int timeoutMs) {
  apptest::ProgramRun run = Start(arguments, script)->Wait(timeoutMs);
  EXPECT_TRUE(run.finished) << "the downloader did not end\n" << run.standardError;
  EXPECT_EQ(run.exitCode, 0) << run.standardError;
  return run;
}

std::string MachineRun::InstalledHost(const std::string& relative) const {
  return machine_.HostPath(relative.empty() ? installDir_ : installDir_ + "\\" + relative);
}

void MachineRun::ExpectInstalled(const std::string& release, const std::string& manifest) {
  const std::vector<Entry> entries = ManifestEntries(voda_test::ReadHostFile(release + "/files/" + manifest));
  ASSERT_FALSE(entries.empty()) << manifest;
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.Relative());
    const std::string host = InstalledHost(e.Relative());
    ASSERT_TRUE(voda_test::FileExists(host));
    EXPECT_EQ(OpensslDigest(host), e.digest);
    EXPECT_EQ(voda_test::ReadHostFile(host), voda_test::ReadHostFile(release + "/files/" + e.HostRelative()));
  }
}

RawValue MachineRun::ReadValue(const std::string& key, std::uint32_t access, const std::string& name) {
  std::string error;
  std::unique_ptr<platform::posix::PosixPlatform> machine = machine_.Reopen(&error);
  EXPECT_TRUE(machine) << error;
  RawValue value;
  if (!machine) return value;
  std::unique_ptr<platform::RegistryKey> opened;
  if (!machine->Reg().OpenKey(key, access, &opened).ok()) return value;
  char buffer[1024] = {};
  std::uint32_t size = sizeof buffer;
  if (!opened->QueryValue(name, &value.type, buffer, &size).ok()) return RawValue{};
  value.data.assign(buffer, size);
  return value;
}

bool MachineRun::WaitForStart(platform::ProcessId id) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& e : standins::ReadJournal(machine_.root()))
      if (e.event == "start" && static_cast<platform::ProcessId>(e.pid) == id) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string MachineRun::RegistryStore() const { return voda_test::ReadHostFile(machine_.root() + "/registry.reg"); }

}  // namespace e2e
