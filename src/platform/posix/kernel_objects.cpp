// Named kernel objects of a prefix as files and Unix sockets in its run/ folder.
//
// File names: "<kind>-<name>", every byte of the name outside [A-Za-z0-9._-] written as %XX; a name
// whose encoding is long keeps a readable head and ends in "~" and a 64-bit hash of the whole name, so
// that every object's file name stays short enough for a socket address.
//
// - Mutexes and events: each handle holds a shared flock on the object's file, so the object is alive
//   while some process holds a handle and dies with the last one, however it ends. Creation and opening
//   run under an exclusive flock on run/.objects.lock: a creator that gets an exclusive lock on the
//   object's file is the first and turns it into a shared one.
// - Events: the file's first byte is the state, the second the reset kind; both are read and changed
//   under an open-file-description lock. Waits poll the states at a short, bounded interval.
// - Registered messages: run/messages holds one line per name, "<id in hex> <encoded lower-case name>",
//   appended under an exclusive flock on that file.
// - Broadcast: each listener binds a datagram socket "bcast-<pid>-<n>"; a broadcast sends one 20-byte
//   datagram (msg, wParam, lParam, little-endian 32, 64 and 64 bits) to every such socket and removes
//   sockets nobody is bound to any more.
// - Pipes: the server binds a sequenced-packet stream socket "pipe-<name>", which keeps the message
//   boundaries of a message-mode pipe, and holds an exclusive flock on "pipelock-<name>" while it lives.
// Socket addresses longer than a sockaddr_un holds are reached through /proc/self/fd/<run folder>/.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/prefix_scope.h"

namespace platform::posix {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxEncodedName = 64;
constexpr size_t kBroadcastSize = 20;

std::string EncodeName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (out.size() <= kMaxEncodedName) return out;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char tail[18];
  for (int i = 0; i < 16; ++i) tail[1 + i] = kHex[(hash >> (60 - 4 * i)) & 15];
  tail[0] = '~';
  tail[17] = '\0';
  size_t head = 32;
  while (head > 0 && out[head - 1] == '%') --head;  // never cut an escape in two
  if (head >= 2 && out[head - 2] == '%') head -= 2;
  return out.substr(0, head) + tail;
}

std::string AsciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.Release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

int Flock(int fd, int op) {
  int r;
  do {
    r = ::flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r;
}

// Time left of a wait, as poll counts it (-1: no limit).
int PollTimeout(uint32_t timeoutMs, Clock::time_point deadline) {
  if (timeoutMs == kInfinite) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(0, std::min<long long>(left, INT_MAX)));
}

// Waits until fd is readable. kOk, kTimeout or kIo.
Status WaitReadable(int fd, uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, PollTimeout(timeoutMs, deadline));
    if (r > 0) return Status();
    if (r == 0) return Error::kTimeout;
    if (errno != EINTR) return Error::kIo;
  }
}

// The run folder with a descriptor of it, for socket addresses that do not fit a sockaddr_un.
class RunFolder {
 public:
  explicit RunFolder(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  bool Ensure() const {
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    // Create the missing levels (the prefix root normally exists already).
    for (size_t pos = 1; pos <= path_.size(); ++pos) {
      if (pos == path_.size() || path_[pos] == '/') {
        std::string level = path_.substr(0, pos);
        if (::mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) return false;
      }
    }
    return true;
  }

  bool Address(const std::string& name, sockaddr_un* addr) const {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::string path = File(name);
    if (path.size() >= sizeof addr->sun_path) {
      std::lock_guard<std::mutex> lock(dirLock_);
      if (!dir_.valid()) {
        dir_ = Fd(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir_.valid()) return false;
      }
      path = "/proc/self/fd/" + std::to_string(dir_.get()) + "/" + name;
      if (path.size() >= sizeof addr->sun_path) return false;
    }
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
  }

 private:
  std::string path_;
  mutable std::mutex dirLock_;
  mutable Fd dir_;
};

// Holds the exclusive lock under which objects are created and opened.
class CreationGuard {
 public:
  explicit CreationGuard(const RunFolder& run) {
    fd_ = Fd(::open(run.File(".objects.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd_.valid() && Flock(fd_.get(), LOCK_EX) != 0) fd_.Close();
  }
  bool ok() const { return fd_.valid(); }

 private:
  Fd fd_;  // closing it releases the lock
};

// Opens an object's file and takes the lock that keeps the object alive. *isNew: no other handle was
// alive; then the caller holds an exclusive lock to initialise the object and turns it into the shared
// one every handle holds. Without create, an object with no live handle is not found.
// REQUIRES: the creation guard is held.
Status OpenLiveObject(const std::string& path, bool create, Fd* out, bool* isNew) {
  Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644));
  if (!fd.valid()) return errno == ENOENT ? Status(Error::kNotFound) : Status(Error::kIo);
  if (Flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    if (!create) return Error::kNotFound;  // closing the file drops the lock again
    *isNew = true;
  } else if (errno == EWOULDBLOCK) {
    if (Flock(fd.get(), LOCK_SH) != 0) return Error::kIo;
    *isNew = false;
  } else {
    return Error::kIo;
  }
  *out = std::move(fd);
  return Status();
}

class PosixMutex final : public MutexHandle {
 public:
  explicit PosixMutex(Fd fd) : fd_(std::move(fd)) {}

 private:
  Fd fd_;
};

// Locks an event's state bytes for one read-modify-write; released when destroyed.
class StateLock {
 public:
  explicit StateLock(int fd) : fd_(fd) {
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = 0;
    l.l_len = 2;
    int r;
    do {
      r = ::fcntl(fd_, F_OFD_SETLKW, &l);
    } while (r != 0 && errno == EINTR);
    ok_ = r == 0;
  }
  ~StateLock() {
    if (!ok_) return;
    struct flock l {};
    l.l_type = F_UNLCK;
    l.l_whence = SEEK_SET;
    l.l_start = 0;
    l.l_len = 2;
    ::fcntl(fd_, F_OFD_SETLK, &l);
  }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
  bool ok() const { return ok_; }

 private:
  int fd_;
  bool ok_ = false;
};

class PosixEvent final : public EventHandle {
 public:
  explicit PosixEvent(Fd fd) : fd_(std::move(fd)) {}

  int fd() const { return fd_.get(); }
  Status Set() override { return Store(1); }
  Status Reset() override { return Store(0); }

  // Consumes the signal of an auto-reset event. kOk: was signalled; kTimeout: was not.
  Status TryTake() {
    StateLock lock(fd_.get());
    if (!lock.ok()) return Error::kIo;
    unsigned char state[2] = {0, 0};
    if (::pread(fd_.get(), state, 2, 0) != 2) return Error::kIo;
    if (state[0] == 0) return Error::kTimeout;
    if (state[1] == 0) {
      unsigned char cleared = 0;
      if (::pwrite(fd_.get(), &cleared, 1, 0) != 1) return Error::kIo;
    }
    return Status();
  }

  Status Initialise(bool manualReset, bool initialState) {
    StateLock lock(fd_.get());
    if (!lock.ok()) return Error::kIo;
    unsigned char state[2] = {static_cast<unsigned char>(initialState ? 1 : 0),
                              static_cast<unsigned char>(manualReset ? 1 : 0)};
    if (::pwrite(fd_.get(), state, 2, 0) != 2) return Error::kIo;
    return Status();
  }

 private:
  Status Store(unsigned char value) {
    StateLock lock(fd_.get());
    if (!lock.ok()) return Error::kIo;
    if (::pwrite(fd_.get(), &value, 1, 0) != 1) return Error::kIo;
    return Status();
  }

  Fd fd_;
};

class PosixBroadcastListener final : public BroadcastListener {
 public:
  PosixBroadcastListener(Fd socket, Fd wakeRead, Fd wakeWrite, std::string socketPath, BroadcastCallback callback)
      : socket_(std::move(socket)),
        wakeRead_(std::move(wakeRead)),
        wakeWrite_(std::move(wakeWrite)),
        socketPath_(std::move(socketPath)),
        callback_(std::move(callback)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~PosixBroadcastListener() override {
    char byte = 1;
    while (::write(wakeWrite_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    ::unlink(socketPath_.c_str());
  }
  PosixBroadcastListener(const PosixBroadcastListener&) = delete;
  PosixBroadcastListener& operator=(const PosixBroadcastListener&) = delete;

 private:
  void Run() {
    for (;;) {
      pollfd p[2] = {{socket_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
      int r = ::poll(p, 2, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents != 0) return;
      if (p[0].revents == 0) continue;
      unsigned char buf[64];
      ssize_t n = ::recv(socket_.get(), buf, sizeof buf, MSG_DONTWAIT);
      if (n != static_cast<ssize_t>(kBroadcastSize)) continue;  // not one of ours
      uint64_t w = 0;
      uint64_t l = 0;
      uint32_t msg = 0;
      for (int i = 0; i < 4; ++i) msg |= static_cast<uint32_t>(buf[i]) << (8 * i);
      for (int i = 0; i < 8; ++i) w |= static_cast<uint64_t>(buf[4 + i]) << (8 * i);
      for (int i = 0; i < 8; ++i) l |= static_cast<uint64_t>(buf[12 + i]) << (8 * i);
      callback_(msg, static_cast<uintptr_t>(w), static_cast<intptr_t>(l));
    }
  }

  Fd socket_;
  Fd wakeRead_;
  Fd wakeWrite_;
  std::string socketPath_;
  BroadcastCallback callback_;
  std::thread thread_;
};

class PosixPipeClient final : public PipeClient {
 public:
  explicit PosixPipeClient(Fd fd) : fd_(std::move(fd)) {}

  Status Write(const void* data, size_t size, size_t* written) override {
    *written = 0;
    if (size == 0) return Status();
    for (;;) {
      ssize_t n = ::send(fd_.get(), data, size, MSG_NOSIGNAL);
      if (n >= 0) {
        *written = static_cast<size_t>(n);
        return Status();
      }
      if (errno == EINTR) continue;
      if (errno == EPIPE || errno == ECONNRESET) return Error::kBrokenPipe;
      if (errno == EMSGSIZE) return Error::kInvalid;
      return Error::kIo;
    }
  }

 private:
  Fd fd_;
};

class PosixPipeConnection final : public PipeConnection {
 public:
  explicit PosixPipeConnection(Fd fd) : fd_(std::move(fd)) {}

  Status Read(std::string* message, uint32_t timeoutMs) override {
    message->clear();
    Status ready = WaitReadable(fd_.get(), timeoutMs);
    if (!ready.ok()) return ready;
    ssize_t size;
    do {
      size = ::recv(fd_.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC);
    } while (size < 0 && errno == EINTR);
    if (size == 0) return Error::kBrokenPipe;
    if (size < 0) return errno == ECONNRESET ? Status(Error::kBrokenPipe) : Status(Error::kIo);
    message->resize(static_cast<size_t>(size));
    ssize_t n;
    do {
      n = ::recv(fd_.get(), message->data(), message->size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n != size) {
      message->clear();
      return Error::kIo;
    }
    return Status();
  }

 private:
  Fd fd_;
};

class PosixPipeServer final : public PipeServer {
 public:
  PosixPipeServer(Fd fd, Fd lock, std::string path, dev_t dev, ino_t ino)
      : fd_(std::move(fd)), lock_(std::move(lock)), path_(std::move(path)), dev_(dev), ino_(ino) {}
  ~PosixPipeServer() override {
    // Remove the socket file unless a later server has already replaced it.
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) ::unlink(path_.c_str());
  }
  PosixPipeServer(const PosixPipeServer&) = delete;
  PosixPipeServer& operator=(const PosixPipeServer&) = delete;

  Status Accept(std::unique_ptr<PipeConnection>* connection, uint32_t timeoutMs) override {
    connection->reset();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const uint32_t left =
          timeoutMs == kInfinite ? kInfinite : static_cast<uint32_t>(PollTimeout(timeoutMs, deadline));
      Status ready = WaitReadable(fd_.get(), left);
      if (!ready.ok()) return ready;
      int client = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        *connection = std::make_unique<PosixPipeConnection>(Fd(client));
        return Status();
      }
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) return Error::kIo;
    }
  }

 private:
  Fd fd_;
  Fd lock_;  // held while the server lives; released after the socket file is removed
  std::string path_;
  dev_t dev_;
  ino_t ino_;
};

bool ParsePipePath(const std::string& path, std::string* name) {
  const std::string prefix = "\\\\.\\pipe\\";
  if (path.size() <= prefix.size() || AsciiLower(path.substr(0, prefix.size())) != prefix) return false;
  *name = path.substr(prefix.size());
  return true;
}

class PosixKernelObjects final : public KernelObjects {
 public:
  explicit PosixKernelObjects(PrefixScope scope) : run_(scope.runDir) {}

  Status CreateMutex(const std::string& name, std::unique_ptr<MutexHandle>* handle) override {
    handle->reset();
    if (name.empty()) return Error::kInvalid;
    if (!run_.Ensure()) return Error::kIo;
    CreationGuard guard(run_);
    if (!guard.ok()) return Error::kIo;
    Fd fd;
    bool isNew = false;
    Status s = OpenLiveObject(run_.File("mutex-" + EncodeName(name)), true, &fd, &isNew);
    if (!s.ok()) return s;
    if (isNew && Flock(fd.get(), LOCK_SH) != 0) return Error::kIo;
    *handle = std::make_unique<PosixMutex>(std::move(fd));
    return isNew ? Status() : Status(Error::kAlreadyExists);
  }

  uint32_t RegisterWindowMessage(const std::string& name) override {
    if (name.empty() || name.size() > 255) return 0;
    if (!run_.Ensure()) return 0;
    Fd fd(::open(run_.File("messages").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid() || Flock(fd.get(), LOCK_EX) != 0) return 0;
    std::string table;
    char buf[8192];
    for (;;) {
      ssize_t n = ::pread(fd.get(), buf, sizeof buf, static_cast<off_t>(table.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return 0;
      if (n == 0) break;
      table.append(buf, static_cast<size_t>(n));
    }
    // A line cut short by a process that died while appending is dropped.
    size_t complete = table.rfind('\n');
    complete = complete == std::string::npos ? 0 : complete + 1;
    if (complete != table.size()) {
      table.resize(complete);
      if (::ftruncate(fd.get(), static_cast<off_t>(complete)) != 0) return 0;
    }
    const std::string key = EncodeName(AsciiLower(name));
    uint32_t count = 0;
    size_t pos = 0;
    while (pos < table.size()) {
      size_t end = table.find('\n', pos);
      std::string line = table.substr(pos, end - pos);
      pos = end + 1;
      size_t blank = line.find(' ');
      if (blank == std::string::npos) continue;
      ++count;
      if (line.compare(blank + 1, std::string::npos, key) == 0) {
        unsigned long id = std::strtoul(line.substr(0, blank).c_str(), nullptr, 16);
        if (id >= 0xC000 && id <= 0xFFFF) return static_cast<uint32_t>(id);
      }
    }
    const uint32_t id = 0xC000 + count;
    if (id > 0xFFFF) return 0;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", id);
    const std::string line = std::string(hex) + " " + key + "\n";
    if (::pwrite(fd.get(), line.data(), line.size(), static_cast<off_t>(table.size())) !=
        static_cast<ssize_t>(line.size())) {
      if (::ftruncate(fd.get(), static_cast<off_t>(table.size())) != 0) {
        // the cut line is dropped by the next registration
      }
      return 0;
    }
    return id;
  }

  Status PostBroadcast(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
    if (!run_.Ensure()) return Error::kIo;
    unsigned char datagram[kBroadcastSize];
    const uint64_t w = static_cast<uint64_t>(wParam);
    const uint64_t l = static_cast<uint64_t>(lParam);
    for (int i = 0; i < 4; ++i) datagram[i] = static_cast<unsigned char>(msg >> (8 * i));
    for (int i = 0; i < 8; ++i) datagram[4 + i] = static_cast<unsigned char>(w >> (8 * i));
    for (int i = 0; i < 8; ++i) datagram[12 + i] = static_cast<unsigned char>(l >> (8 * i));

    Fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return Error::kIo;
    DIR* dir = ::opendir(run_.path().c_str());
    if (dir == nullptr) return Error::kIo;
    std::vector<std::string> listeners;
    while (dirent* entry = ::readdir(dir)) {
      if (std::strncmp(entry->d_name, "bcast-", 6) == 0) listeners.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const auto& name : listeners) {
      sockaddr_un addr;
      if (!run_.Address(name, &addr)) continue;
      ssize_t n;
      do {
        n = ::sendto(sock.get(), datagram, sizeof datagram, MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      } while (n < 0 && errno == EINTR);
      // Nobody bound any more: the listener's process died without removing its socket.
      if (n < 0 && errno == ECONNREFUSED) ::unlink(run_.File(name).c_str());
      // A receiver whose queue is full loses the message, as a full message queue does.
    }
    return Status();
  }

  std::unique_ptr<BroadcastListener> ListenForBroadcasts(BroadcastCallback callback) override {
    if (!callback || !run_.Ensure()) return nullptr;
    Fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return nullptr;
    static std::atomic<unsigned> counter{0};
    std::string name;
    for (int attempt = 0; attempt < 2; ++attempt) {
      name = "bcast-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
      sockaddr_un addr;
      if (!run_.Address(name, &addr)) return nullptr;
      if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
      if (errno != EADDRINUSE || attempt == 1) return nullptr;
      ::unlink(run_.File(name).c_str());  // left by a dead process that had our id
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) {
      ::unlink(run_.File(name).c_str());
      return nullptr;
    }
    return std::make_unique<PosixBroadcastListener>(std::move(sock), Fd(wake[0]), Fd(wake[1]), run_.File(name),
                                                    std::move(callback));
  }

  Status CreatePipeServer(const std::string& pipePath, std::unique_ptr<PipeServer>* server) override {
    server->reset();
    std::string name;
    if (!ParsePipePath(pipePath, &name)) return Error::kInvalid;
    if (!run_.Ensure()) return Error::kIo;
    CreationGuard guard(run_);
    if (!guard.ok()) return Error::kIo;
    // The server holds an exclusive lock on its lock file while it lives; a socket file without a
    // locked companion was left by a server that died.
    const std::string file = "pipe-" + EncodeName(name);
    Fd lock(::open(run_.File("pipelock-" + EncodeName(name)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock.valid()) return Error::kIo;
    if (Flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? Error::kAlreadyExists : Error::kIo;
    sockaddr_un addr;
    if (!run_.Address(file, &addr)) return Error::kInvalid;
    Fd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return Error::kIo;
    ::unlink(run_.File(file).c_str());
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return Error::kIo;
    if (::listen(sock.get(), 16) != 0) return Error::kIo;
    struct stat st;
    if (::stat(run_.File(file).c_str(), &st) != 0) return Error::kIo;
    *server = std::make_unique<PosixPipeServer>(std::move(sock), std::move(lock), run_.File(file), st.st_dev, st.st_ino);
    return Status();
  }

  Status OpenPipe(const std::string& pipePath, std::unique_ptr<PipeClient>* client) override {
    client->reset();
    std::string name;
    if (!ParsePipePath(pipePath, &name)) return Error::kInvalid;
    sockaddr_un addr;
    if (!run_.Address("pipe-" + EncodeName(name), &addr)) return Error::kNotFound;
    Fd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return Error::kIo;
    int r;
    do {
      r = ::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
      if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) return Error::kNotFound;
      if (errno == EAGAIN) return Error::kAccessDenied;  // every instance busy
      return Error::kIo;
    }
    *client = std::make_unique<PosixPipeClient>(std::move(sock));
    return Status();
  }

  Status CreateEvent(const std::string& name, bool manualReset, bool initialState,
                     std::unique_ptr<EventHandle>* handle) override {
    handle->reset();
    if (name.empty()) return Error::kInvalid;
    if (!run_.Ensure()) return Error::kIo;
    CreationGuard guard(run_);
    if (!guard.ok()) return Error::kIo;
    Fd fd;
    bool isNew = false;
    Status s = OpenLiveObject(run_.File("event-" + EncodeName(name)), true, &fd, &isNew);
    if (!s.ok()) return s;
    auto event = std::make_unique<PosixEvent>(std::move(fd));
    if (isNew) {
      Status init = event->Initialise(manualReset, initialState);
      if (!init.ok()) return init;
      if (Flock(event->fd(), LOCK_SH) != 0) return Error::kIo;
    }
    *handle = std::move(event);
    return isNew ? Status() : Status(Error::kAlreadyExists);
  }

  Status OpenEvent(const std::string& name, std::unique_ptr<EventHandle>* handle) override {
    handle->reset();
    if (name.empty()) return Error::kInvalid;
    CreationGuard guard(run_);
    if (!guard.ok()) return Error::kNotFound;
    Fd fd;
    bool isNew = false;
    Status s = OpenLiveObject(run_.File("event-" + EncodeName(name)), false, &fd, &isNew);
    if (!s.ok()) return s;
    *handle = std::make_unique<PosixEvent>(std::move(fd));
    return Status();
  }

  Status WaitForAnyEvent(const std::vector<EventHandle*>& events, uint32_t timeoutMs, size_t* index) override {
    *index = 0;
    if (events.empty()) return Error::kInvalid;
    std::vector<PosixEvent*> own;
    for (EventHandle* e : events) {
      auto* p = dynamic_cast<PosixEvent*>(e);
      if (p == nullptr) return Error::kInvalid;
      own.push_back(p);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto interval = std::chrono::milliseconds(1);
    for (;;) {
      for (size_t i = 0; i < own.size(); ++i) {
        Status s = own[i]->TryTake();
        if (s.ok()) {
          *index = i;
          return Status();
        }
        if (s != Error::kTimeout) return s;
      }
      if (timeoutMs != kInfinite) {
        auto now = Clock::now();
        if (now >= deadline) return Error::kTimeout;
        interval = std::min(interval, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                                          std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(interval);
      interval = std::min(interval * 2, std::chrono::milliseconds(10));
    }
  }

 private:
  RunFolder run_;
};

}  // namespace

std::unique_ptr<KernelObjects> NewScopedKernelObjects(PrefixScope scope) {
  return std::make_unique<PosixKernelObjects>(std::move(scope));
}

}  // namespace platform::posix
