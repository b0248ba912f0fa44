// Inside the window system: window records, per-thread message queues and the modal loop. Only the
// framework's own files include this.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gui/backend.h"
#include "gui/window.h"

namespace gui {

struct ThreadQueue;

// A message sent to another thread; the sender waits until `done`.
struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::function<void()> task;  // a framework task instead of a message
  LRESULT result = 0;
  bool taken = false;
  // Written under the window system's lock; atomic so that a waiting sender may watch it without.
  std::atomic<bool> done{false};
  std::shared_ptr<ThreadQueue> sender;
};

struct PostedMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::function<void()> task;  // input from a backend, run on the owner thread
};

struct Timer {
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  UINT periodMs = 0;
  std::chrono::steady_clock::time_point due;
};

// The message queue of one thread. Guarded by the window system's lock.
struct ThreadQueue {
  std::thread::id thread;
  std::condition_variable wake;
  // Counts the messages sent or posted to the thread (written under the lock): an idle thread watches
  // it for a moment before it sleeps.
  std::atomic<uint64_t> arrivals{0};
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::deque<PostedMessage> posted;
  std::vector<Timer> timers;
  bool alive = true;
};

struct WindowRecord {
  HWND hwnd = nullptr;
  std::shared_ptr<ThreadQueue> owner;
  bool child = false;
  HWND parent = nullptr;  // the dialog of a control; the owner window of a top-level window
  WindowKind kind = WindowKind::kDialog;
  UINT templateId = 0;
  int id = 0;  // control id
  ControlClass cls = ControlClass::kStatic;
  uint32_t style = 0;
  std::string text;
  CRect rect;  // top-level: window rectangle on the screen; control: in the dialog's client area
  bool visible = false;
  bool enabled = true;
  bool topmost = false;
  int check = 0;
  int rangeLower = 0, rangeUpper = 100, pos = 0;
  bool ownerPainted = false;
  HICON bigIcon, smallIcon;
  std::vector<MenuItem> systemMenu;
  std::vector<HWND> children;
  CWnd* object = nullptr;               // the attached object
  std::unique_ptr<CWnd> ownedObject;    // a plain CWnd made on demand
  // Modal loop of a dialog, message box or folder browser.
  bool ended = false;
  int result = 0;
  std::string boxText;  // message box text, folder browser title
  UINT boxType = 0;
  uint64_t generation = 0;
};

// The window system: every window of the process, behind one lock.
class WindowSystem {
 public:
  static WindowSystem& Get();

  std::mutex mu;

  // The calling thread's queue (made on first use).
  static std::shared_ptr<ThreadQueue> CurrentQueue();

  // REQUIRES: mu held.
  WindowRecord* Find(HWND h);
  WindowRecord* TopOf(WindowRecord* r);
  // Creates a record owned by the calling thread. REQUIRES: mu held.
  WindowRecord* Create(bool child, HWND parent);
  void Touch(WindowRecord* r);  // one more change; REQUIRES: mu held
  // Puts a top-level window at the top of its band (topmost windows above all others). REQUIRES: mu held.
  void Raise(WindowRecord* r);

  // Destroys a top-level window and its controls: pending sent messages to them return 0, posted ones
  // and timers are dropped, attached objects are detached. Owner thread only; mu not held.
  void Destroy(HWND topLevel);

  // Handles one message on the owner thread (mu not held).
  LRESULT Dispatch(HWND h, UINT message, WPARAM wParam, LPARAM lParam);
  // Runs the calling thread's message loop until ended(*record) (checked under mu).
  void RunModalLoop(HWND window);
  // Waits for a sent message to finish; handles messages sent to the calling thread meanwhile.
  // deadline empty: no limit. Returns false on time-out (the message was withdrawn or never ran).
  bool WaitForReply(std::unique_lock<std::mutex>& lock, const std::shared_ptr<SentMessage>& message,
                    const std::chrono::steady_clock::time_point* deadline);
  // Sends a message or task to the window's owner thread and waits (see SendMessageTimeout).
  bool Send(HWND h, UINT message, WPARAM wParam, LPARAM lParam, std::function<void()> task,
            int timeoutMs, LRESULT* result);
  bool Post(HWND h, UINT message, WPARAM wParam, LPARAM lParam, std::function<void()> task);

  // Backends and observers. Notify must be called without mu held.
  void Notify(HWND topLevel, Change change, HWND control);
  std::recursive_mutex backendMu;
  std::unique_ptr<Backend> backend;
  std::vector<Backend*> observers;
  bool backendChosen = false;

  std::vector<HWND> zorder;  // top-level windows, topmost first
  int screenWidth = 1024;
  int screenHeight = 768;
  std::chrono::steady_clock::time_point lastChange = std::chrono::steady_clock::now();

 private:
  // Processes one sent message. REQUIRES: lock held; released while the handler runs.
  void ProcessSent(std::unique_lock<std::mutex>& lock, const std::shared_ptr<SentMessage>& message);
  std::unordered_map<uintptr_t, std::unique_ptr<WindowRecord>> windows_;
  uintptr_t nextHandle_ = 0x10010;
};

// The object of a record, made on demand. REQUIRES: mu held.
CWnd* ObjectOf(WindowRecord* r);

// Creates a top-level window with controls from a template, owned by the calling thread.
struct ControlTemplate;
struct DialogTemplate;
HWND CreateFromTemplate(const DialogTemplate& tmpl, WindowKind kind, CWnd* object, HWND ownerWindow);

}  // namespace gui
