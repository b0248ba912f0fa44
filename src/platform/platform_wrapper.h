// Forwarding wrappers of the platform's interfaces: each passes every call to a target, so a test
// derives from one, overrides the operation it wants to fail and leaves the rest to the real platform.
//
//   class FullDisk : public platform::FileSystemWrapper {
//    public:
//     using FileSystemWrapper::FileSystemWrapper;
//     platform::Status WriteFile(const std::string&, const std::string&) override {
//       return platform::Error::kIo;
//     }
//   };
//   FullDisk files(real.Files());
//   platform::PlatformWrapper wrapped(real);
//   wrapped.SetFiles(&files);
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/kernel_objects.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/system_info.h"

namespace platform {

class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  FileSystem& target() { return target_; }

  bool Exists(const std::string& path) override { return target_.Exists(path); }
  bool IsFolder(const std::string& path) override { return target_.IsFolder(path); }
  Status CreateFolder(const std::string& path) override { return target_.CreateFolder(path); }
  Status CopyFile(const std::string& from, const std::string& to, bool failIfExists) override {
    return target_.CopyFile(from, to, failIfExists);
  }
  Status MoveFile(const std::string& from, const std::string& to) override { return target_.MoveFile(from, to); }
  Status DeleteFile(const std::string& path) override { return target_.DeleteFile(path); }
  Status RemoveFolder(const std::string& path) override { return target_.RemoveFolder(path); }
  Status FindFiles(const std::string& pattern, std::vector<DirEntry>* entries) override {
    return target_.FindFiles(pattern, entries);
  }
  Status ReadFile(const std::string& path, std::string* data) override { return target_.ReadFile(path, data); }
  Status WriteFile(const std::string& path, const std::string& data) override {
    return target_.WriteFile(path, data);
  }
  Status CreateStagedFile(const std::string& path, std::unique_ptr<StagedFile>* file) override {
    return target_.CreateStagedFile(path, file);
  }
  Status OpenForRead(const std::string& path, std::unique_ptr<FileReader>* reader) override {
    return target_.OpenForRead(path, reader);
  }
  Status FileSize(const std::string& path, uint64_t* size) override { return target_.FileSize(path, size); }
  DriveType GetDriveType(const std::string& root) override { return target_.GetDriveType(root); }
  std::string TempPath() override { return target_.TempPath(); }
  std::string CurrentDirectory() override { return target_.CurrentDirectory(); }
  Status SetCurrentDirectory(const std::string& path) override { return target_.SetCurrentDirectory(path); }
  std::string ModulePath() override { return target_.ModulePath(); }

 private:
  FileSystem& target_;
};

class RegistryWrapper : public Registry {
 public:
  explicit RegistryWrapper(Registry& target) : target_(target) {}
  Registry& target() { return target_; }

  Status CreateKey(const std::string& path, uint32_t access, std::unique_ptr<RegistryKey>* key,
                   bool* created = nullptr) override {
    return target_.CreateKey(path, access, key, created);
  }
  Status OpenKey(const std::string& path, uint32_t access, std::unique_ptr<RegistryKey>* key) override {
    return target_.OpenKey(path, access, key);
  }
  Status DeleteKey(const std::string& path, uint32_t access) override { return target_.DeleteKey(path, access); }

 private:
  Registry& target_;
};

// Wraps an open key, for wrappers whose keys fail some value operations.
class RegistryKeyWrapper : public RegistryKey {
 public:
  explicit RegistryKeyWrapper(std::unique_ptr<RegistryKey> target) : target_(std::move(target)) {}
  RegistryKey& target() { return *target_; }

  Status QueryValue(const std::string& name, uint32_t* type, void* data, uint32_t* size) override {
    return target_->QueryValue(name, type, data, size);
  }
  Status SetValue(const std::string& name, uint32_t type, const void* data, uint32_t size) override {
    return target_->SetValue(name, type, data, size);
  }
  Status DeleteValue(const std::string& name) override { return target_->DeleteValue(name); }

 private:
  std::unique_ptr<RegistryKey> target_;
};

class SystemInfoWrapper : public SystemInfo {
 public:
  explicit SystemInfoWrapper(SystemInfo& target) : target_(target) {}
  SystemInfo& target() { return target_; }

  bool GetVersion(OsVersion* version) override { return target_.GetVersion(version); }
  uint16_t NativeArchitecture() override { return target_.NativeArchitecture(); }
  int ScreenWidth() override { return target_.ScreenWidth(); }
  int ScreenHeight() override { return target_.ScreenHeight(); }
  std::string UserName() override { return target_.UserName(); }
  Status EnablePrivilege(const std::string& name) override { return target_.EnablePrivilege(name); }

 private:
  SystemInfo& target_;
};

class ShellWrapper : public Shell {
 public:
  explicit ShellWrapper(Shell& target) : target_(target) {}
  Shell& target() { return target_; }

  Status GetSpecialFolderPath(int csidl, std::string* path) override {
    return target_.GetSpecialFolderPath(csidl, path);
  }
  void NotifyChange(ShellChange change, const std::string& path) override { target_.NotifyChange(change, path); }
  Status CreateShellLink(const std::string& targetPath, const std::u16string& linkPath) override {
    return target_.CreateShellLink(targetPath, linkPath);
  }

 private:
  Shell& target_;
};

class ProcessesWrapper : public Processes {
 public:
  explicit ProcessesWrapper(Processes& target) : target_(target) {}
  Processes& target() { return target_; }

  Status Snapshot(std::vector<ProcessEntry>* processes) override { return target_.Snapshot(processes); }
  Status Terminate(ProcessId id, uint32_t exitCode) override { return target_.Terminate(id, exitCode); }
  Status Start(const StartRequest& request) override { return target_.Start(request); }
  Status StartWithHandle(const StartRequest& request, std::unique_ptr<ProcessHandle>* handle) override {
    return target_.StartWithHandle(request, handle);
  }
  Status WaitForExit(ProcessId id, uint32_t timeoutMs = kInfinite) override {
    return target_.WaitForExit(id, timeoutMs);
  }

 private:
  Processes& target_;
};

class KernelObjectsWrapper : public KernelObjects {
 public:
  explicit KernelObjectsWrapper(KernelObjects& target) : target_(target) {}
  KernelObjects& target() { return target_; }

  Status CreateMutex(const std::string& name, std::unique_ptr<MutexHandle>* handle) override {
    return target_.CreateMutex(name, handle);
  }
  uint32_t RegisterWindowMessage(const std::string& name) override { return target_.RegisterWindowMessage(name); }
  Status PostBroadcast(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
    return target_.PostBroadcast(msg, wParam, lParam);
  }
  std::unique_ptr<BroadcastListener> ListenForBroadcasts(BroadcastCallback callback) override {
    return target_.ListenForBroadcasts(std::move(callback));
  }
  Status CreatePipeServer(const std::string& pipePath, std::unique_ptr<PipeServer>* server) override {
    return target_.CreatePipeServer(pipePath, server);
  }
  Status OpenPipe(const std::string& pipePath, std::unique_ptr<PipeClient>* client) override {
    return target_.OpenPipe(pipePath, client);
  }
  Status CreateEvent(const std::string& name, bool manualReset, bool initialState,
                     std::unique_ptr<EventHandle>* handle) override {
    return target_.CreateEvent(name, manualReset, initialState, handle);
  }
  Status OpenEvent(const std::string& name, std::unique_ptr<EventHandle>* handle) override {
    return target_.OpenEvent(name, handle);
  }
  Status WaitForAnyEvent(const std::vector<EventHandle*>& events, uint32_t timeoutMs, size_t* index) override {
    return target_.WaitForAnyEvent(events, timeoutMs, index);
  }

 private:
  KernelObjects& target_;
};

// The platform aggregate: forwards to the target's interfaces except those replaced with Set*().
// Replacements are not owned and must outlive the wrapper's use.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}
  Platform& target() { return target_; }

  void SetFiles(FileSystem* files) { files_ = files; }
  void SetReg(Registry* registry) { registry_ = registry; }
  void SetProcs(Processes* processes) { processes_ = processes; }
  void SetObjects(KernelObjects* objects) { objects_ = objects; }
  void SetSystem(SystemInfo* system) { system_ = system; }
  void SetShellFolders(Shell* shell) { shell_ = shell; }

  FileSystem& Files() override { return files_ != nullptr ? *files_ : target_.Files(); }
  Registry& Reg() override { return registry_ != nullptr ? *registry_ : target_.Reg(); }
  Processes& Procs() override { return processes_ != nullptr ? *processes_ : target_.Procs(); }
  KernelObjects& Objects() override { return objects_ != nullptr ? *objects_ : target_.Objects(); }
  SystemInfo& System() override { return system_ != nullptr ? *system_ : target_.System(); }
  Shell& ShellFolders() override { return shell_ != nullptr ? *shell_ : target_.ShellFolders(); }

 private:
  Platform& target_;
  FileSystem* files_ = nullptr;
  Registry* registry_ = nullptr;
  Processes* processes_ = nullptr;
  KernelObjects* objects_ = nullptr;
  SystemInfo* system_ = nullptr;
  Shell* shell_ = nullptr;
};

}  // namespace platform
