#include "system/popup_program.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "app/globals.h"
#include "app/run_mode.h"
#include "app/utilities.h"
#include "platform/files.h"
#include "platform/kernel_objects.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace {

constexpr std::uint32_t kNotifyPauseMs = 3000;
constexpr std::uint32_t kStopPauseMs = 2000;
constexpr std::uint32_t kRestartPauseMs = 500;
constexpr std::uint32_t kNotifyCommandTimeoutMs = 5000;

void Pause(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string MainProgramPath(const std::string& installDir) { return installDir + "\\" + g_bankProfile.mainExeName; }

// The pop-up program's image name as the update stops it: "QuillonPop_%x.exe" of the bank id.
std::string PopupImageName() {
  char name[64];
  std::snprintf(name, sizeof name, "QuillonPop_%x.exe", static_cast<unsigned>(g_bankProfile.bankId));
  return name;
}

bool Exists(const std::string& path) { return platform::Current().Files().Exists(path); }

void StartProgram(const std::string& path, const std::string& parameters) {
  (void)platform::Current().Procs().Start({path, parameters, "", platform::ShowMode::kShow});
}

// Runs the program with " -t", hidden, and waits for that process to end; one still running after the
// wait is ended, so it neither holds up the run nor keeps its image in use.
void RunQuitRequest(const std::string& path, std::uint32_t quitWaitMs) {
  platform::Processes& procs = platform::Current().Procs();
  std::unique_ptr<platform::ProcessHandle> handle;
  if (!procs.StartWithHandle({path, " -t", "", platform::ShowMode::kHide}, &handle).ok() || handle == nullptr)
    return;
  if (handle->Wait(quitWaitMs) == platform::Error::kTimeout) (void)procs.Terminate(handle->Id(), 0);
}

}  // namespace

std::string PopupCommandMessage(const std::string& command, const std::string& parameter) {
  return std::string(kPopupMessageHead) + command + "||" + parameter;
}

std::string PopupAnswerEventName(const std::string& command, bool yes) {
  return std::string("Global\\") + kPopupMessageHead + command + g_bankProfile.allianceCode + (yes ? "_Yes" : "_No");
}

bool SendPopupCommand(const std::string& command, const std::string& parameter, bool acceptMissing, bool wait,
                      std::uint32_t timeoutMs) {
  platform::KernelObjects& objects = platform::Current().Objects();
  {
    std::unique_ptr<platform::PipeClient> pipe;
    if (!objects.OpenPipe(kPopupPipePath, &pipe).ok() || pipe == nullptr) return acceptMissing;
    const std::string message = PopupCommandMessage(command, parameter);
    size_t written = 0;
    if (!pipe->Write(message.data(), message.size(), &written).ok() || written < message.size()) return false;
  }  // the pipe is closed right after the write
  if (!wait) return true;

  std::unique_ptr<platform::EventHandle> no;
  std::unique_ptr<platform::EventHandle> yes;
  // An event the pop-up program holds already is opened instead ("already exists" with a handle).
  (void)objects.CreateEvent(PopupAnswerEventName(command, false), false, false, &no);
  (void)objects.CreateEvent(PopupAnswerEventName(command, true), false, false, &yes);
  if (no == nullptr || yes == nullptr) return false;
  size_t index = 0;
  return objects.WaitForAnyEvent({no.get(), yes.get()}, timeoutMs, &index).ok() && index == 1;
}

bool NotifyPopupProgram(int runMode, std::int32_t updateType, const std::string& installDir,
                        const std::function<void()>& hideDialog) {
  if (runMode != ModeUpdate || updateType != 2) return true;
  if (hideDialog) hideDialog();
  const std::string mainProgram = MainProgramPath(installDir);
  if (Exists(mainProgram)) StartProgram(mainProgram, "-t");
  (void)SendPopupCommand(kPopupUpdateCommand, "", false, false, kNotifyCommandTimeoutMs);
  Pause(kNotifyPauseMs);
  return true;
}

bool StopRunningAssistant(const std::string& installDir, std::uint32_t quitWaitMs) {
  const std::string downloadDir = installDir + "\\DownLoad\\";
  if (!platform::Current().Files().IsFolder(downloadDir) && !CreateFolderTree(downloadDir)) return false;

  const std::string mainProgram = MainProgramPath(installDir);
  if (Exists(mainProgram)) RunQuitRequest(mainProgram, quitWaitMs);
  (void)TerminateProcessByName(g_bankProfile.mainExeName);

  const std::string popupProgram = installDir + "\\" + PopupImageName();
  if (Exists(popupProgram)) RunQuitRequest(popupProgram, quitWaitMs);
  (void)TerminateProcessByName(PopupImageName());

  Pause(kStopPauseMs);
  return true;
}

void StartPopupProgram(const std::string& installDir) {
  for (const std::string& program : {installDir + "\\QuillonPop.exe", MainProgramPath(installDir)}) {
    if (!Exists(program)) continue;
    StartProgram(program, "-t");
    Pause(kRestartPauseMs);
    StartProgram(program, "");
  }
}
