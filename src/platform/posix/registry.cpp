// Registry over the prefix's registry.reg. Every call reads the store as it is on disk (re-parsed only
// when its text changed); every change is made under an exclusive lock on registry.lock, on a fresh
// read of the store, and written back atomically, so writers in several processes lose nothing.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/posix/core_backends.h"
#include "platform/posix/host_file.h"
#include "platform/posix/prefix.h"
#include "platform/posix/registry_file.h"

namespace platform::posix {
namespace {

using KeyPath = std::vector<std::string>;

constexpr size_t kMaxKeyNameLength = 255;

// Keys below HKLM\Software that both views share on 64-bit Windows; everything else below Software is
// redirected to Software\Wow6432Node for 32-bit programs.
const char* const kSharedSoftwareKeys[] = {
    "Clients",
    "Microsoft\\COM3",
    "Microsoft\\Cryptography\\Calais\\Current",
    "Microsoft\\Cryptography\\Calais\\Readers",
    "Microsoft\\Cryptography\\Services",
    "Microsoft\\CTF\\SystemShared",
    "Microsoft\\CTF\\TIP",
    "Microsoft\\DFS",
    "Microsoft\\Driver Signing",
    "Microsoft\\EnterpriseCertificates",
    "Microsoft\\EventSystem",
    "Microsoft\\MSMQ",
    "Microsoft\\Non-Driver Signing",
    "Microsoft\\Notepad\\DefaultFonts",
    "Microsoft\\OLE",
    "Microsoft\\RAS",
    "Microsoft\\RPC",
    "Microsoft\\Shared Tools\\MSInfo",
    "Microsoft\\SystemCertificates",
    "Microsoft\\TermServLicensing",
    "Microsoft\\Transaction Server",
    "Microsoft\\Windows\\CurrentVersion\\App Paths",
    "Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    "Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    "Microsoft\\Windows\\CurrentVersion\\Group Policy",
    "Microsoft\\Windows\\CurrentVersion\\Policies",
    "Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    "Microsoft\\Windows\\CurrentVersion\\Setup",
    "Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
    "Microsoft\\Windows NT\\CurrentVersion\\Console",
    "Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    "Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    "Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    "Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    "Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    "Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    "Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    "Microsoft\\Windows NT\\CurrentVersion\\LanguagePack",
    "Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    "Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    "Microsoft\\Windows NT\\CurrentVersion\\Ports",
    "Microsoft\\Windows NT\\CurrentVersion\\Print",
    "Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    "Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    "Policies",
    "RegisteredApplications",
};

KeyPath SplitKey(const std::string& path) {
  KeyPath parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('\\', pos);
    if (next == std::string::npos) next = path.size();
    if (next > pos) parts.push_back(path.substr(pos, next - pos));
    pos = next + 1;
  }
  return parts;
}

bool IsShared(const KeyPath& parts) {  // parts[0] is "Software"
  for (const char* shared : kSharedSoftwareKeys) {
    KeyPath s = SplitKey(shared);
    if (parts.size() < s.size() + 1) continue;
    bool match = true;
    for (size_t i = 0; i < s.size() && match; ++i) match = RegLower(parts[i + 1]) == RegLower(s[i]);
    if (match) return true;
  }
  return false;
}

// The stored path of a key as the caller's view sees it. kInvalid for a name the registry refuses or
// both view flags at once.
Status ResolveKey(const std::string& path, uint32_t access, bool machineIs64Bit, KeyPath* out) {
  if ((access & kKeyWow64_32Key) && (access & kKeyWow64_64Key)) return Error::kInvalid;
  KeyPath parts = SplitKey(path);
  for (const std::string& p : parts) {
    if (p.size() > kMaxKeyNameLength) return Error::kInvalid;
    for (char c : p)
      if (c == '\0' || c == '\r' || c == '\n') return Error::kInvalid;
  }
  bool view32 = machineIs64Bit && !(access & kKeyWow64_64Key);
  if (view32 && !parts.empty() && RegLower(parts[0]) == "software" &&
      !(parts.size() > 1 && RegLower(parts[1]) == "wow6432node") && !IsShared(parts)) {
    parts.insert(parts.begin() + 1, "Wow6432Node");
  }
  *out = std::move(parts);
  return Error::kOk;
}

bool ValidValueName(const std::string& name) {
  for (char c : name)
    if (c == '\0' || c == '\r' || c == '\n') return false;
  return true;
}

// A writer holds the store's lock for one read and one write of a small file; a lock held for longer
// belongs to a stopped process, and the registry call fails rather than waiting without end.
constexpr std::chrono::milliseconds kLockWait{30000};

bool LockWithin(int fd, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::chrono::microseconds pause{200};
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds{20000});
  }
}

// The registry.reg of one prefix, shared by its keys.
class RegistryStore {
 public:
  RegistryStore(std::string file, std::string lockFile, bool is64Bit)
      : file_(std::move(file)), lockFile_(std::move(lockFile)), is64Bit_(is64Bit) {}

  bool Is64Bit() const { return is64Bit_; }

  // Reads the store (if it changed) and runs `read` on it.
  Status Read(const std::function<Status(RegKeyNode&)>& read, std::string* error = nullptr) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (Status s = Refresh(error); !s.ok()) return s;
    return read(root_);
  }

  // Under the store's lock: reads the store afresh, applies `change` (which returns kOk and sets
  // *changed when it altered the tree) and writes the store back.
  Status Change(const std::function<Status(RegKeyNode&, bool*)>& change) {
    std::lock_guard<std::mutex> guard(mutex_);
    int fd = ::open(lockFile_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Error::kIo;
    if (!LockWithin(fd, kLockWait)) {
      ::close(fd);
      return Error::kIo;
    }
    Status result = Refresh(nullptr);
    bool changed = false;
    if (result.ok()) result = change(root_, &changed);
    if (result.ok() && changed) {
      std::string text = FormatRegistryFile(root_);
      if (WriteHostFileAtomic(file_, text, 0644) == 0) {
        text_ = std::move(text);
      } else {
        // The tree in memory is ahead of the file: forget it so that the next call reads the file.
        result = Error::kIo;
        textValid_ = false;
      }
    }
    ::close(fd);  // releases the lock
    return result;
  }

 private:
  // Reads the file; parses it only when its text differs from the text of the tree in memory (the file
  // is small, and comparing its bytes cannot be fooled the way time stamps can).
  // REQUIRES: mutex_ held.
  Status Refresh(std::string* error) {
    std::string text;
    int rc = ReadHostFile(file_, &text);
    if (rc == ENOENT) {
      text.clear();  // a store that is gone is an empty registry
    } else if (rc != 0) {
      if (error != nullptr) *error = file_ + ": " + std::strerror(rc);
      return Error::kIo;
    }
    if (textValid_ && text == text_) return Error::kOk;
    RegKeyNode fresh;
    std::string why;
    if (!ParseRegistryFile(text, &fresh, &why)) {
      if (error != nullptr) *error = file_ + ": " + why.substr(why.find(' ') + 1);
      textValid_ = false;
      return Error::kIo;  // a broken store is never written over
    }
    root_ = std::move(fresh);
    text_ = std::move(text);
    textValid_ = true;
    return Error::kOk;
  }

  const std::string file_;
  const std::string lockFile_;
  const bool is64Bit_;
  std::mutex mutex_;
  RegKeyNode root_;
  std::string text_;  // the file's text that root_ was read from or written as
  bool textValid_ = false;
};

RegKeyNode* FindKey(RegKeyNode& root, const KeyPath& path) {
  RegKeyNode* node = &root;
  for (const std::string& p : path) {
    node = node->Child(p);
    if (node == nullptr) return nullptr;
  }
  return node;
}

class PosixRegistryKey final : public RegistryKey {
 public:
  PosixRegistryKey(std::shared_ptr<RegistryStore> store, KeyPath path, uint32_t access)
      : store_(std::move(store)), path_(std::move(path)), access_(access) {}

  Status QueryValue(const std::string& name, uint32_t* type, void* data, uint32_t* size) override {
    if (!(access_ & kKeyQueryValue)) return Error::kAccessDenied;
    if (data != nullptr && size == nullptr) return Error::kInvalid;
    return store_->Read([&](RegKeyNode& root) -> Status {
      RegKeyNode* key = FindKey(root, path_);
      if (key == nullptr) return Error::kNotFound;
      RegValue* v = key->FindValue(name);
      if (v == nullptr) return Error::kNotFound;
      if (type != nullptr) *type = v->type;
      uint32_t needed = static_cast<uint32_t>(v->data.size());
      if (data != nullptr) {
        if (*size < needed) {
          *size = needed;
          return Error::kMoreData;
        }
        std::memcpy(data, v->data.data(), needed);
      }
      if (size != nullptr) *size = needed;
      return Error::kOk;
    });
  }

  Status SetValue(const std::string& name, uint32_t type, const void* data, uint32_t size) override {
    if (!(access_ & kKeySetValue)) return Error::kAccessDenied;
    if ((data == nullptr && size != 0) || !ValidValueName(name)) return Error::kInvalid;
    std::string bytes(static_cast<const char*>(data), data == nullptr ? 0 : size);
    return store_->Change([&](RegKeyNode& root, bool* changed) -> Status {
      RegKeyNode* key = FindKey(root, path_);
      if (key == nullptr) return Error::kNotFound;
      if (RegValue* v = key->FindValue(name)) {
        v->type = type;
        v->data = bytes;
      } else {
        key->values.push_back(RegValue{name, type, bytes});
      }
      *changed = true;
      return Error::kOk;
    });
  }

  Status DeleteValue(const std::string& name) override {
    if (!(access_ & kKeySetValue)) return Error::kAccessDenied;
    return store_->Change([&](RegKeyNode& root, bool* changed) -> Status {
      RegKeyNode* key = FindKey(root, path_);
      if (key == nullptr || !key->RemoveValue(name)) return Error::kNotFound;
      *changed = true;
      return Error::kOk;
    });
  }

 private:
  std::shared_ptr<RegistryStore> store_;
  const KeyPath path_;
  const uint32_t access_;
};

class PosixRegistry final : public Registry {
 public:
  explicit PosixRegistry(std::shared_ptr<RegistryStore> store) : store_(std::move(store)) {}

  Status CreateKey(const std::string& path, uint32_t access, std::unique_ptr<RegistryKey>* key,
                   bool* created) override {
    KeyPath parts;
    if (Status s = ResolveKey(path, access, store_->Is64Bit(), &parts); !s.ok()) return s;
    if (parts.empty()) return Error::kInvalid;
    bool isNew = false;
    Status s = store_->Change([&](RegKeyNode& root, bool* changed) -> Status {
      RegKeyNode* node = &root;
      for (const std::string& p : parts) {
        RegKeyNode* child = node->Child(p);
        if (child == nullptr) {
          child = node->AddChild(p);
          isNew = true;
        }
        node = child;
      }
      *changed = isNew;
      return Error::kOk;
    });
    if (!s.ok()) return s;
    if (created != nullptr) *created = isNew;
    *key = std::make_unique<PosixRegistryKey>(store_, std::move(parts), access);
    return Error::kOk;
  }

  Status OpenKey(const std::string& path, uint32_t access, std::unique_ptr<RegistryKey>* key) override {
    KeyPath parts;
    if (Status s = ResolveKey(path, access, store_->Is64Bit(), &parts); !s.ok()) return s;
    Status s = store_->Read([&](RegKeyNode& root) -> Status {
      return FindKey(root, parts) == nullptr ? Error::kNotFound : Error::kOk;
    });
    if (!s.ok()) return s;
    *key = std::make_unique<PosixRegistryKey>(store_, std::move(parts), access);
    return Error::kOk;
  }

  Status DeleteKey(const std::string& path, uint32_t access) override {
    KeyPath parts;
    if (Status s = ResolveKey(path, access, store_->Is64Bit(), &parts); !s.ok()) return s;
    if (parts.empty()) return Error::kAccessDenied;
    return store_->Change([&](RegKeyNode& root, bool* changed) -> Status {
      KeyPath parentPath(parts.begin(), parts.end() - 1);
      RegKeyNode* parent = FindKey(root, parentPath);
      RegKeyNode* node = parent == nullptr ? nullptr : parent->Child(parts.back());
      if (node == nullptr) return Error::kNotFound;
      if (!node->children.empty()) return Error::kAccessDenied;
      parent->children.erase(RegLower(parts.back()));
      *changed = true;
      return Error::kOk;
    });
  }

  // Reads the store once, so that a malformed file is reported at start-up.
  bool Check(std::string* error) {
    Status s = store_->Read([](RegKeyNode&) -> Status { return Error::kOk; }, error);
    if (!s.ok() && error->empty()) *error = "cannot read the registry store";
    return s.ok();
  }

 private:
  std::shared_ptr<RegistryStore> store_;
};

}  // namespace

std::unique_ptr<Registry> NewPosixRegistry(const Prefix& prefix, std::string* error) {
  auto store = std::make_shared<RegistryStore>(prefix.RegistryFile(), prefix.Root() + "/registry.lock",
                                               prefix.Is64Bit());
  auto registry = std::make_unique<PosixRegistry>(store);
  error->clear();
  if (!registry->Check(error)) return nullptr;
  return registry;
}

}  // namespace platform::posix
