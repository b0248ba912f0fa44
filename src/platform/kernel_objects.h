// Named kernel objects of the machine: mutexes, registered window messages and their broadcast, named
// pipes and named events (CreateMutexA, RegisterWindowMessageA, PostMessage to HWND_BROADCAST,
// CreateNamedPipeA/CreateFileA on a pipe, CreateEventA/OpenEventA/SetEvent/WaitForMultipleObjects).
//
// Objects are shared by every process of the machine, like the objects of one logon session, and by no
// other machine. Names are case-sensitive texts (registered message names compare ignoring case, as
// Windows' atom table does). An object lives while some handle of it is open; handles are closed by
// their destructors or when the process ends, whichever way it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/wait.h"

namespace platform {

// A mutex handle (not owned: it only holds the object alive). Closing the last handle of the machine
// ends the object.
class MutexHandle {
 public:
  virtual ~MutexHandle() = default;
};

// Receives broadcast window messages for one process's top-level windows; stops when destroyed.
class BroadcastListener {
 public:
  virtual ~BroadcastListener() = default;
};

// A broadcast message as its receiver sees it.
using BroadcastCallback = std::function<void(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

// The client's end of a pipe (CreateFileA on "\\.\pipe\name" with GENERIC_WRITE and OPEN_EXISTING).
class PipeClient {
 public:
  virtual ~PipeClient() = default;
  // Writes the bytes as one message (WriteFile); *written receives how many were written.
  virtual Status Write(const void* data, size_t size, size_t* written) = 0;
};

// One connected client of a pipe server (after ConnectNamedPipe).
class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  // Reads the next message whole (ReadFile on a message-mode pipe). kBrokenPipe when the client closed
  // its end without writing a further message; kTimeout when nothing came in time.
  virtual Status Read(std::string* message, uint32_t timeoutMs = kInfinite) = 0;
};

// The server's end of a named pipe (CreateNamedPipeA, message mode); serves one client at a time.
class PipeServer {
 public:
  virtual ~PipeServer() = default;
  // Waits for the next client (ConnectNamedPipe). kTimeout when none came in time.
  virtual Status Accept(std::unique_ptr<PipeConnection>* connection, uint32_t timeoutMs = kInfinite) = 0;
};

// A named event handle.
class EventHandle {
 public:
  virtual ~EventHandle() = default;
  virtual Status Set() = 0;    // SetEvent
  virtual Status Reset() = 0;  // ResetEvent
};

class KernelObjects {
 public:
  virtual ~KernelObjects() = default;

  // CreateMutexA (no security attributes, not initially owned). kOk: a new mutex; kAlreadyExists: a mutex
  // of that name was alive already and *handle is a further handle of it, as Windows returns one. Other
  // errors leave *handle empty (kInvalid for an empty name).
  virtual Status CreateMutex(const std::string& name, std::unique_ptr<MutexHandle>* handle) = 0;

  // RegisterWindowMessageA: the same name gives the same id (0xC000 to 0xFFFF) in every process of the
  // machine for as long as the machine exists. 0 on failure (an empty name, a name longer than 255
  // bytes, a full table, a failing store).
  virtual uint32_t RegisterWindowMessage(const std::string& name) = 0;

  // PostMessage(HWND_BROADCAST, msg, wParam, lParam): queued for every listening process of the machine,
  // the caller's own included; does not wait for the receivers.
  virtual Status PostBroadcast(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;

  // Makes this process a receiver of broadcasts (it has top-level windows) while the listener lives.
  // The callback runs on a thread of the listener's, one message after another, and must not destroy
  // the listener itself. Empty on failure.
  virtual std::unique_ptr<BroadcastListener> ListenForBroadcasts(BroadcastCallback callback) = 0;

  // CreateNamedPipeA on "\\.\pipe\name". kInvalid for a path without the "\\.\pipe\" prefix,
  // kAlreadyExists when a live server of that name exists.
  virtual Status CreatePipeServer(const std::string& pipePath, std::unique_ptr<PipeServer>* server) = 0;

  // CreateFileA("\\.\pipe\name", GENERIC_WRITE, ..., OPEN_EXISTING). kNotFound when no server listens.
  virtual Status OpenPipe(const std::string& pipePath, std::unique_ptr<PipeClient>* client) = 0;

  // CreateEventA. Security attributes have nothing to protect on this machine (there is one user) and are
  // not taken. kOk: a new event with the given reset kind and initial state; kAlreadyExists: the living
  // event of that name was opened instead and keeps its own state and kind.
  virtual Status CreateEvent(const std::string& name, bool manualReset, bool initialState,
                             std::unique_ptr<EventHandle>* handle) = 0;

  // OpenEventA. kNotFound when no event of that name is alive.
  virtual Status OpenEvent(const std::string& name, std::unique_ptr<EventHandle>* handle) = 0;

  // WaitForMultipleObjects (bWaitAll false) over events of this object. kOk and *index the position of
  // the signalled event (the lowest when several are; an auto-reset event is reset by the wait),
  // kTimeout when none was signalled in time, kInvalid for an empty list or a foreign handle.
  virtual Status WaitForAnyEvent(const std::vector<EventHandle*>& events, uint32_t timeoutMs,
                                 size_t* index) = 0;
};

}  // namespace platform
