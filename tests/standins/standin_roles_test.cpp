// The stand-in's roles on a fresh machine: the assistant's programs and their "-t", the pop-up pipe and
// its answers, the programs that work a moment and end, and the settings that shape them.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel_objects.h"
#include "platform/process.h"
#include "standins/journal.h"
#include "standins/settings.h"
#include "support/temp_prefix.h"

namespace {

namespace fs = std::filesystem;
using platform::Error;
using platform::ProcessHandle;
using platform::ProcessId;
using platform::ShowMode;
using standins::JournalEntry;

constexpr const char* kPopupPipe = "\\\\.\\pipe\\NOVRA_PopNOVRA861";

class Machine {
 public:
  Machine() { EXPECT_TRUE(machine_.ok()) << machine_.error(); }

  void Install(const std::string& windowsPath) {
    const std::string host = machine_.HostPath(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    fs::copy_file(std::string(VODA_BIN_DIR) + "/standin", host, fs::copy_options::overwrite_existing);
    fs::permissions(host, fs::perms::owner_all);
  }

  void Set(const std::string& key, const std::string& value) {
    ASSERT_TRUE(standins::WriteSetting(machine_.root(), key, value));
  }

  std::unique_ptr<ProcessHandle> Start(const std::string& file, const std::string& parameters) {
    std::unique_ptr<ProcessHandle> handle;
    EXPECT_TRUE(procs().StartWithHandle({file, parameters, "", ShowMode::kShow}, &handle).ok()) << file;
    return handle;
  }

  // Starts a program and waits until it has recorded its start.
  std::unique_ptr<ProcessHandle> StartAndAwait(const std::string& file, const std::string& parameters) {
    auto handle = Start(file, parameters);
    if (handle != nullptr) {
      EXPECT_TRUE(WaitForEvent(handle->Id(), "start"));
    }
    return handle;
  }

  std::vector<JournalEntry> Journal() const { return standins::ReadJournal(machine_.root()); }

  bool Has(ProcessId pid, const std::string& event) const {
    for (const auto& e : Journal())
      if (e.pid == static_cast<int>(pid) && e.event == event) return true;
    return false;
  }

  bool WaitForEvent(ProcessId pid, const std::string& event) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Has(pid, event)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Opens the pop-up pipe once its server listens (bounded).
  std::unique_ptr<platform::PipeClient> OpenPopupPipe() {
    std::unique_ptr<platform::PipeClient> client;
    for (int i = 0; i < 1000 && !objects().OpenPipe(kPopupPipe, &client).ok(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return client;
  }

  platform::Processes& procs() { return machine_.platform().Procs(); }
  platform::KernelObjects& objects() { return machine_.platform().Objects(); }

 private:
  voda_test::TempPrefix machine_;
};

TEST(StandinRoles, QuitRequestEndsTheEarlierInstancesOfItsProgramOnly) {
  struct Case {
    const char* running;
    const char* quitter;
    const char* parameters;
  };
  const Case cases[] = {
      {"C:\\voda\\ZivIV_861.exe", "C:\\voda\\ZivIV_861.exe", " -t"},
      {"C:\\voda\\ZivIV_861.exe", "C:\\voda\\ZivIV_861.exe", "-t"},
      // The pop-up program is one program under either of its names.
      {"C:\\voda\\QuillonPop.exe", "C:\\voda\\QuillonPop_861.exe", " -t"},
      {"C:\\voda\\QuillonPop_861.exe", "C:\\voda\\QuillonPop.exe", "-t"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.quitter) + " [" + c.parameters + "]");
    Machine m;
    for (const char* path : {"C:\\voda\\ZivIV_861.exe", "C:\\voda\\QuillonPop.exe", "C:\\voda\\QuillonPop_861.exe",
                             "C:\\Program Files\\Internet Explorer\\iexplore.exe"})
      m.Install(path);
    auto running = m.StartAndAwait(c.running, "");
    auto bystander = m.StartAndAwait("C:\\Program Files\\Internet Explorer\\iexplore.exe", "");
    const bool mainProgram = std::string(c.running).find("ZivIV") != std::string::npos;
    auto otherProgram = m.StartAndAwait(mainProgram ? "C:\\voda\\QuillonPop.exe" : "C:\\voda\\ZivIV_861.exe", "");
    ASSERT_TRUE(running && bystander && otherProgram);

    auto quitter = m.Start(c.quitter, c.parameters);
    ASSERT_NE(quitter, nullptr);
    EXPECT_TRUE(quitter->Wait(10000).ok());
    EXPECT_TRUE(running->Wait(10000).ok());
    EXPECT_TRUE(m.Has(running->Id(), "end"));  // it quit by itself, recording its end
    EXPECT_TRUE(m.Has(quitter->Id(), "end"));
    EXPECT_EQ(bystander->Wait(0).code(), Error::kTimeout);
    EXPECT_EQ(otherProgram->Wait(0).code(), Error::kTimeout);

    // A later instance is not touched by a "-t" that started before it.
    auto later = m.StartAndAwait(c.running, "");
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(later->Wait(300).code(), Error::kTimeout);
  }
}

TEST(StandinRoles, HangingQuitRequestNeitherEndsNorStopsTheRunningInstance) {
  Machine m;
  m.Install("C:\\voda\\ZivIV_861.exe");
  m.Set(standins::kSettingHangQuit, "QuillonPop.exe,ziviv_861.EXE");
  auto running = m.StartAndAwait("C:\\voda\\ZivIV_861.exe", "");
  auto quitter = m.StartAndAwait("C:\\voda\\ZivIV_861.exe", " -t");
  ASSERT_TRUE(running && quitter);
  EXPECT_EQ(quitter->Wait(800).code(), Error::kTimeout);
  EXPECT_EQ(running->Wait(0).code(), Error::kTimeout);
}

TEST(StandinRoles, BriefProgramsJournalTheirParametersAndEndByThemselves) {
  Machine m;
  m.Set(standins::kSettingMomentMs, "100");
  m.Set(std::string(standins::kSettingRolePrefix) + "OldUninst.exe", "brief");
  struct Case {
    const char* install;
    const char* file;
    const char* parameters;
  };
  const Case cases[] = {
      {"C:\\voda\\uninst_861.exe", "C:\\voda\\uninst_861.exe", "/S"},
      {"C:\\Windows\\System32\\msiexec.exe", "msiexec.exe", "/X{8C7A2A1E-0000-4F4B-9A51-2D1B7E5C0A11} /quiet"},
      {"C:\\Temp\\vcredist_x86.exe", "C:\\Temp\\vcredist_x86.exe", "/q"},
      {"C:\\Temp\\vcredist_x64.exe", "C:\\Temp\\vcredist_x64.exe", "/q"},
      {"C:\\Program Files\\Old\\OldUninst.exe", "C:\\Program Files\\Old\\OldUninst.exe", "/S"},
      // The earlier products' uninstallers, by their folders.
      {"C:\\Program Files (x86)\\Halvex\\HxGuard\\uninst.exe", "C:\\Program Files (x86)\\Halvex\\HxGuard\\uninst.exe", "/S"},
      {"C:\\Program Files\\LumenCheck\\Uninstall.exe", "C:\\Program Files\\LumenCheck\\Uninstall.exe", "/S"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    m.Install(c.install);
    auto handle = m.Start(c.file, c.parameters);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(handle->Wait(10000).ok());
    int seen = 0;
    for (const auto& e : m.Journal())
      if (e.pid == static_cast<int>(handle->Id()) && e.parameters == c.parameters) ++seen;
    EXPECT_EQ(seen, 2);  // its start and its end
  }
}

TEST(StandinRoles, PopupProgramJournalsEveryMessageByteForByte) {
  Machine m;
  m.Install("C:\\voda\\QuillonPop.exe");
  auto popup = m.StartAndAwait("C:\\voda\\QuillonPop.exe", "");
  ASSERT_NE(popup, nullptr);
  const std::string messages[] = {std::string("NOVRA_PopUpdatePopCmd||"),
                                  std::string("NOVRA_PopX||a\tb\\c\nd\re\x01\x7f\xff\xe4\xb8\xad", 25) +
                                      std::string(1, '\0') + "z"};
  for (const std::string& message : messages) {
    auto pipe = m.OpenPopupPipe();
    ASSERT_NE(pipe, nullptr);
    size_t written = 0;
    ASSERT_TRUE(pipe->Write(message.data(), message.size(), &written).ok());
    EXPECT_EQ(written, message.size());
  }
  std::vector<std::string> received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (received.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    received.clear();
    for (const auto& e : m.Journal())
      if (e.event == "message" && e.pid == static_cast<int>(popup->Id())) received.push_back(e.parameters);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(received, std::vector<std::string>(std::begin(messages), std::end(messages)));
}

TEST(StandinRoles, PopupProgramAnswersOnTheEventTheSettingsName) {
  struct Case {
    const char* answer;
    Error expected;
    size_t index;  // of {_No, _Yes}
  };
  const Case cases[] = {{"yes", Error::kOk, 1}, {"no", Error::kOk, 0}, {"none", Error::kTimeout, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    Machine m;
    m.Install("C:\\voda\\QuillonPop.exe");
    m.Set(standins::kSettingPopupAnswer, c.answer);
    auto popup = m.StartAndAwait("C:\\voda\\QuillonPop.exe", "");
    ASSERT_NE(popup, nullptr);
    auto pipe = m.OpenPopupPipe();
    ASSERT_NE(pipe, nullptr);
    const std::string message = "NOVRA_PopUpdatePopCmd||";
    size_t written = 0;
    ASSERT_TRUE(pipe->Write(message.data(), message.size(), &written).ok());
    std::unique_ptr<platform::EventHandle> no, yes;
    const platform::Status createdNo = m.objects().CreateEvent("Global\\NOVRA_PopUpdatePopCmdNOVRA_No", false, false, &no);
    const platform::Status createdYes =
        m.objects().CreateEvent("Global\\NOVRA_PopUpdatePopCmdNOVRA_Yes", false, false, &yes);
    ASSERT_TRUE(no && yes) << createdNo.ok() << createdYes.ok();
    size_t index = 99;
    const platform::Status waited =
        m.objects().WaitForAnyEvent({no.get(), yes.get()}, c.expected == Error::kOk ? 10000 : 500, &index);
    EXPECT_EQ(waited.code(), c.expected);
    if (c.expected == Error::kOk) {
      EXPECT_EQ(index, c.index);
    }
  }
}

}  // namespace
