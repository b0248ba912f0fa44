#include "gui/window_system.h"

#include <algorithm>

#include "gui/owner_thread.h"
#include "gui/templates.h"

namespace gui {
namespace {

using Clock = std::chrono::steady_clock;

// How long a thread that waits for another (a sent message's reply, or its next message) watches for it
// before it sleeps. A worker reporting a download block by block and the dialog's thread answering hand
// over thousands of times a second, each hand-over a few microseconds of work; a thread that sleeps must
// be woken, which costs more than the work (on a virtual machine, an interrupt between processors).
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);

// Lets go of the lock and watches `changed` (lock-free) for up to kSpinBeforeSleep, yielding the
// processor between looks; the lock is held again on return. The caller re-checks its conditions
// afterwards: the spin only shortens the way to them.
template <typename Changed>
void SpinBeforeSleep(std::unique_lock<std::mutex>& lock, Changed changed) {
  lock.unlock();
  const Clock::time_point until = Clock::now() + kSpinBeforeSleep;
  while (!changed() && Clock::now() < until) std::this_thread::yield();
  lock.lock();
}

// Ends a thread's queue when the thread ends: messages still waiting to be sent to it return 0.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    WindowSystem& ws = WindowSystem::Get();
    std::lock_guard<std::mutex> lock(ws.mu);
    queue->alive = false;
    for (auto& m : queue->sent) {
      m->done = true;
      m->result = 0;
      if (m->sender) m->sender->wake.notify_all();
    }
    queue->sent.clear();
    queue->posted.clear();
    queue->timers.clear();
  }
};

thread_local QueueHolder t_queue;

}  // namespace

WindowSystem& WindowSystem::Get() {
  // Never destroyed: threads may still use it while the process ends.
  static WindowSystem* ws = new WindowSystem;
  return *ws;
}

std::shared_ptr<ThreadQueue> WindowSystem::CurrentQueue() {
  if (!t_queue.queue) {
    auto q = std::make_shared<ThreadQueue>();
    q->thread = std::this_thread::get_id();
    t_queue.queue = q;
  }
  return t_queue.queue;
}

WindowRecord* WindowSystem::Find(HWND h) {
  auto it = windows_.find(reinterpret_cast<uintptr_t>(h));
  return it == windows_.end() ? nullptr : it->second.get();
}

WindowRecord* WindowSystem::TopOf(WindowRecord* r) {
  while (r != nullptr && r->child) r = Find(r->parent);
  return r;
}

WindowRecord* WindowSystem::Create(bool child, HWND parent) {
  auto rec = std::make_unique<WindowRecord>();
  rec->hwnd = reinterpret_cast<HWND>(nextHandle_);
  nextHandle_ += 4;
  rec->owner = CurrentQueue();
  rec->child = child;
  rec->parent = parent;
  WindowRecord* r = rec.get();
  windows_[reinterpret_cast<uintptr_t>(r->hwnd)] = std::move(rec);
  if (child) {
    if (WindowRecord* p = Find(parent)) p->children.push_back(r->hwnd);
  } else {
    Raise(r);
  }
  return r;
}

void WindowSystem::Raise(WindowRecord* r) {
  zorder.erase(std::remove(zorder.begin(), zorder.end(), r->hwnd), zorder.end());
  auto at = zorder.begin();
  if (!r->topmost) {
    // Below every topmost window.
    while (at != zorder.end()) {
      WindowRecord* above = Find(*at);
      if (above == nullptr || !above->topmost) break;
      ++at;
    }
  }
  zorder.insert(at, r->hwnd);
}

void WindowSystem::Touch(WindowRecord* r) {
  WindowRecord* top = TopOf(r);
  if (top != nullptr) top->generation++;
  if (r != top && r != nullptr) r->generation++;
  lastChange = Clock::now();
}

CWnd* ObjectOf(WindowRecord* r) {
  if (r->object != nullptr) return r->object;
  if (!r->ownedObject) {
    r->ownedObject = std::make_unique<CWnd>();
    r->ownedObject->m_hWnd = r->hwnd;
  }
  return r->ownedObject.get();
}

void WindowSystem::Destroy(HWND topLevel) {
  // Objects the framework made for unbound controls stay alive with their dead handle, so that a worker
  // still holding one (from GetDlgItem) only sees its calls fail.
  static auto* graveyard = new std::vector<std::unique_ptr<CWnd>>;
  std::vector<std::unique_ptr<WindowRecord>> gone;
  {
    std::lock_guard<std::mutex> lock(mu);
    WindowRecord* top = Find(topLevel);
    if (top == nullptr) return;
    std::vector<HWND> handles = top->children;
    handles.push_back(topLevel);
    auto isGone = [&](HWND h) { return std::find(handles.begin(), handles.end(), h) != handles.end(); };
    ThreadQueue& q = *top->owner;
    for (auto& m : q.sent) {
      if (isGone(m->hwnd) && !m->taken) {
        m->done = true;
        m->result = 0;
        if (m->sender) m->sender->wake.notify_all();
      }
    }
    q.sent.erase(std::remove_if(q.sent.begin(), q.sent.end(),
                                [&](const std::shared_ptr<SentMessage>& m) { return m->done.load(); }),
                 q.sent.end());
    q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(),
                                  [&](const PostedMessage& m) { return isGone(m.hwnd); }),
                   q.posted.end());
    q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(),
                                  [&](const Timer& t) { return isGone(t.hwnd); }),
                   q.timers.end());
    zorder.erase(std::remove(zorder.begin(), zorder.end(), topLevel), zorder.end());
    for (HWND h : handles) {
      auto it = windows_.find(reinterpret_cast<uintptr_t>(h));
      if (it == windows_.end()) continue;
      if (it->second->ownedObject) graveyard->push_back(std::move(it->second->ownedObject));
      gone.push_back(std::move(it->second));
      windows_.erase(it);
    }
    lastChange = Clock::now();
  }
  Notify(topLevel, Change::kDestroyed, nullptr);
}

LRESULT WindowSystem::Dispatch(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* object = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu);
    WindowRecord* r = Find(h);
    if (r == nullptr) return 0;
    object = ObjectOf(r);
  }
  return object->WindowProc(message, wParam, lParam);
}

void WindowSystem::ProcessSent(std::unique_lock<std::mutex>& lock,
                               const std::shared_ptr<SentMessage>& message) {
  message->taken = true;
  lock.unlock();
  LRESULT result = 0;
  if (message->task) {
    message->task();
  } else {
    result = Dispatch(message->hwnd, message->message, message->wParam, message->lParam);
  }
  lock.lock();
  message->result = result;
  message->done = true;
  // The sender is woken after the lock is let go, so that it does not wake only to wait for the lock.
  if (std::shared_ptr<ThreadQueue> sender = message->sender) {
    lock.unlock();
    sender->wake.notify_all();
    lock.lock();
  }
}

bool WindowSystem::WaitForReply(std::unique_lock<std::mutex>& lock,
                                const std::shared_ptr<SentMessage>& message,
                                const Clock::time_point* deadline) {
  std::shared_ptr<ThreadQueue> me = CurrentQueue();
  bool spun = false;
  while (!message->done) {
    if (!me->sent.empty()) {
      auto incoming = me->sent.front();
      me->sent.pop_front();
      ProcessSent(lock, incoming);
      spun = false;
      continue;
    }
    if (!spun) {
      spun = true;
      const uint64_t arrivals = me->arrivals.load();
      SpinBeforeSleep(lock, [&] { return message->done.load() || me->arrivals.load() != arrivals; });
      continue;
    }
    spun = false;
    if (deadline == nullptr) {
      me->wake.wait(lock);
    } else if (me->wake.wait_until(lock, *deadline) == std::cv_status::timeout && !message->done) {
      if (message->taken) {
        // Already running on the owner thread: it finishes soon, and the caller's data must outlive it.
        while (!message->done) me->wake.wait(lock);
        return true;
      }
      WindowRecord* r = Find(message->hwnd);
      if (r != nullptr) {
        auto& q = r->owner->sent;
        q.erase(std::remove(q.begin(), q.end(), message), q.end());
      }
      return false;
    }
  }
  return true;
}

bool WindowSystem::Send(HWND h, UINT message, WPARAM wParam, LPARAM lParam, std::function<void()> task,
                        int timeoutMs, LRESULT* result) {
  std::unique_lock<std::mutex> lock(mu);
  WindowRecord* r = Find(h);
  if (r == nullptr || !r->owner->alive) return false;
  if (r->owner->thread == std::this_thread::get_id()) {
    lock.unlock();
    LRESULT value = 0;
    if (task) {
      task();
    } else {
      value = Dispatch(h, message, wParam, lParam);
    }
    if (result != nullptr) *result = value;
    return true;
  }
  auto m = std::make_shared<SentMessage>();
  m->hwnd = h;
  m->message = message;
  m->wParam = wParam;
  m->lParam = lParam;
  m->task = std::move(task);
  m->sender = CurrentQueue();
  std::shared_ptr<ThreadQueue> owner = r->owner;
  owner->sent.push_back(m);
  ++owner->arrivals;
  // As in ProcessSent: the owner thread is woken after the lock is let go. The reply may be complete
  // before the lock is taken again; WaitForReply then returns at once.
  lock.unlock();
  owner->wake.notify_all();
  lock.lock();
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!WaitForReply(lock, m, timeoutMs < 0 ? nullptr : &deadline)) return false;
  if (result != nullptr) *result = m->result;
  return true;
}

bool WindowSystem::Post(HWND h, UINT message, WPARAM wParam, LPARAM lParam, std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mu);
  WindowRecord* r = Find(h);
  if (r == nullptr || !r->owner->alive) return false;
  PostedMessage m;
  m.hwnd = h;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.task = std::move(task);
  r->owner->posted.push_back(std::move(m));
  ++r->owner->arrivals;
  r->owner->wake.notify_all();
  return true;
}

void WindowSystem::RunModalLoop(HWND window) {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  std::unique_lock<std::mutex> lock(mu);
  auto ended = [&] {
    WindowRecord* r = Find(window);
    return r == nullptr || r->ended;
  };
  bool spun = false;  // since the last message: an idle loop spins once, then sleeps
  while (!ended()) {
    if (!q->sent.empty()) {
      auto m = q->sent.front();
      q->sent.pop_front();
      ProcessSent(lock, m);
      spun = false;
      continue;
    }
    if (!q->posted.empty()) {
      PostedMessage m = std::move(q->posted.front());
      q->posted.pop_front();
      lock.unlock();
      if (m.task) {
        m.task();
      } else {
        Dispatch(m.hwnd, m.message, m.wParam, m.lParam);
      }
      lock.lock();
      spun = false;
      continue;
    }
    // Timers come last, when nothing else waits, as WM_TIMER does.
    Clock::time_point now = Clock::now();
    Timer* next = nullptr;
    for (Timer& t : q->timers) {
      if (next == nullptr || t.due < next->due) next = &t;
    }
    if (next != nullptr && next->due <= now) {
      HWND h = next->hwnd;
      UINT_PTR id = next->id;
      next->due = now + std::chrono::milliseconds(next->periodMs);
      lock.unlock();
      Dispatch(h, WM_TIMER, id, 0);
      lock.lock();
      spun = false;
      continue;
    }
    if (!spun) {
      spun = true;
      const uint64_t arrivals = q->arrivals.load();
      SpinBeforeSleep(lock, [&] { return q->arrivals.load() != arrivals; });
      continue;
    }
    spun = false;
    if (next != nullptr) {
      q->wake.wait_until(lock, next->due);
    } else {
      q->wake.wait(lock);
    }
  }
}

void WindowSystem::Notify(HWND topLevel, Change change, HWND control) {
  std::lock_guard<std::recursive_mutex> lock(backendMu);
  if (backend) backend->WindowChanged(topLevel, change, control);
  std::vector<Backend*> copy = observers;
  for (Backend* o : copy) o->WindowChanged(topLevel, change, control);
}

HWND CreateFromTemplate(const DialogTemplate& tmpl, WindowKind kind, CWnd* object, HWND ownerWindow) {
  WindowSystem& ws = WindowSystem::Get();
  HWND h = nullptr;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* top = ws.Create(false, ownerWindow);
    h = top->hwnd;
    top->kind = kind;
    top->templateId = tmpl.id;
    top->style = tmpl.style & ~WS_VISIBLE;
    top->text = tmpl.caption;
    int cw = DialogUnitsToPixelsX(tmpl.cx);
    int ch = DialogUnitsToPixelsY(tmpl.cy);
    top->rect = CRect(0, 0, cw + 2 * kFrameWidth, ch + 2 * kFrameWidth + kCaptionHeight);
    top->object = object;
    if (object != nullptr) object->m_hWnd = h;
    for (const ControlTemplate& c : tmpl.controls) {
      WindowRecord* r = ws.Create(true, h);
      r->id = c.id;
      r->cls = c.cls;
      r->style = c.style;
      r->text = c.text;
      r->rect = DialogUnitsToPixels(c.x, c.y, c.cx, c.cy);
      r->visible = (c.style & WS_VISIBLE) != 0;
      r->enabled = (c.style & WS_DISABLED) == 0;
    }
    ws.Touch(top);
  }
  ws.Notify(h, Change::kCreated, nullptr);
  return h;
}

bool SendTask(HWND window, const std::function<void()>& task) {
  if (!task) return false;
  // A message withdrawn because its window or thread went away also counts as handled: only a task
  // that ran is a success.
  bool ran = false;
  const bool sent = WindowSystem::Get().Send(window, WM_NULL, 0, 0, [&ran, &task] {
    ran = true;
    task();
  }, -1, nullptr);
  return sent && ran;
}

}  // namespace gui
