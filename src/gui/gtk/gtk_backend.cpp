#include "gui/gtk/gtk_backend.h"

#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "gui/backend.h"
#include "gui/render/renderer.h"

namespace gui {
namespace {

using Clock = std::chrono::steady_clock;

// One shown top-level window. Lives on the GTK thread.
struct GtkView {
  HWND hwnd = nullptr;
  GtkWidget* window = nullptr;
  GtkWidget* area = nullptr;
  Bitmap image;               // the last rendering of the client area
  CRect clientRect;           // where the program has the client area (screen coordinates)
  CRect windowRect;
  int placedX = 0, placedY = 0;  // where this backend last put the GTK window
  // The edit field the user clicked, and what the user has typed into it: keys come faster than the
  // owner thread takes them, so each key builds on the text typed so far, not on the field's last state.
  HWND focusedEdit = nullptr;
  std::string typed;             // the field's text with every key so far
  std::deque<std::string> sent;  // texts handed to the field, not yet seen there
  std::string confirmed;         // the field's text as last seen
  uint64_t renderedFor = 0;  // the change count the image shows
};

class GtkBackend;
GtkBackend* g_active = nullptr;  // the running backend, for the test calls
std::mutex g_activeMutex;

// Premultiplied 0xAARRGGBB pixels as a GdkPixbuf (straight RGBA), for window icons.
GdkPixbuf* ToPixbuf(const Bitmap& b) {
  GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, b.width, b.height);
  if (!p) return nullptr;
  const int stride = gdk_pixbuf_get_rowstride(p);
  guchar* base = gdk_pixbuf_get_pixels(p);
  for (int y = 0; y < b.height; ++y) {
    guchar* row = base + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < b.width; ++x) {
      const uint32_t v = b.At(x, y);
      const unsigned a = v >> 24;
      auto straight = [a](unsigned c) { return static_cast<guchar>(a ? std::min(255u, (c * 255 + a / 2) / a) : 0); };
      row[4 * x + 0] = straight((v >> 16) & 0xff);
      row[4 * x + 1] = straight((v >> 8) & 0xff);
      row[4 * x + 2] = straight(v & 0xff);
      row[4 * x + 3] = static_cast<guchar>(a);
    }
  }
  return p;
}

class GtkBackend final : public Backend {
 public:
  ~GtkBackend() override { Stop(); }

  // Starts GTK on its own thread; false with *error when there is no display to open.
  bool Open(std::string* error) {
    // GTK initialises once per process and cannot take up a display again after letting it go.
    static std::atomic<bool> started{false};
    if (started.exchange(true)) {
      if (error) *error = "GTK has already run in this process";
      return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    thread_ = std::thread([this] { Run(); });
    const bool ready = cv_.wait_for(lock, std::chrono::seconds(20), [this] { return initDone_; });
    if (!ready || !initOk_) {
      if (error) *error = ready ? "GTK cannot open the display" : "GTK did not start in time";
      lock.unlock();
      if (ready) thread_.join();
      else thread_.detach();
      return false;
    }
    return true;
  }

  void Start() override {
    std::lock_guard<std::mutex> lock(g_activeMutex);
    g_active = this;
  }

  void Stop() override {
    {
      std::lock_guard<std::mutex> lock(g_activeMutex);
      if (g_active == this) g_active = nullptr;
    }
    if (!thread_.joinable()) return;
    Invoke([this] {
      for (auto& [hwnd, view] : views_) gtk_widget_destroy(view->window);
      views_.clear();
      // The display stays open but unread once the loop ends, so its going away later harms nothing.
      if (loop_) g_main_loop_quit(loop_);
    });
    thread_.join();
  }

  // Changes come in bursts (a download moves its bar many times a second): the GTK thread takes up a
  // window's state once for all the changes made before it got to it.
  void WindowChanged(HWND topLevel, Change /*change*/, HWND /*control*/) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++changes_[topLevel];
      if (!pending_.insert(topLevel).second) return;
    }
    Invoke([this, topLevel] { Apply(topLevel); });
  }

  bool Capture(HWND topLevel, Bitmap* out, std::string* error) {
    struct Result {
      std::mutex m;
      std::condition_variable cv;
      bool done = false, ok = false;
      Bitmap image;
      std::string error;
    };
    auto result = std::make_shared<Result>();
    Invoke([this, topLevel, result] {
      Bitmap image;
      std::string why;
      bool ok = CaptureOnGtkThread(topLevel, &image, &why);
      std::lock_guard<std::mutex> lock(result->m);
      result->ok = ok;
      result->image = std::move(image);
      result->error = why;
      result->done = true;
      result->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(result->m);
    if (!result->cv.wait_for(lock, std::chrono::seconds(10), [&] { return result->done; })) {
      if (error) *error = "the display did not answer in time";
      return false;
    }
    if (!result->ok) {
      if (error) *error = result->error;
      return false;
    }
    if (out) *out = std::move(result->image);
    return true;
  }

  bool Simulate(HWND topLevel, gtk::UserEvent what, int x, int y) {
    auto done = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto result = std::make_shared<int>(-1);  // -1 pending, 0 failed, 1 delivered
    Invoke([this, topLevel, what, x, y, done, result] {
      const bool ok = SimulateOnGtkThread(topLevel, what, x, y);
      std::lock_guard<std::mutex> lock(done->first);
      *result = ok ? 1 : 0;
      done->second.notify_all();
    });
    std::unique_lock<std::mutex> lock(done->first);
    done->second.wait_for(lock, std::chrono::seconds(10), [&] { return *result != -1; });
    return *result == 1;
  }

  bool WaitUntilDrawn(HWND topLevel, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      auto d = drawn_.find(topLevel);
      auto c = changes_.find(topLevel);
      return d != drawn_.end() && c != changes_.end() && d->second >= c->second;
    });
  }

 private:
  // Queues fn for the GTK thread. The job itself goes through jobs_ under jobsMutex_, so that the
  // hand-over is one a thread checker sees (glib's own locks are futexes it cannot); glib only wakes the
  // GTK thread once per job, which then runs the oldest job queued.
  void Invoke(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(jobsMutex_);
      jobs_.push_back(std::move(fn));
    }
    g_main_context_invoke_full(
        nullptr, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          static_cast<GtkBackend*>(data)->RunOldestJob();
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
  }

  void RunOldestJob() {
    std::function<void()> job;
    {
      std::lock_guard<std::mutex> lock(jobsMutex_);
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }

  void Run() {
    // GDK delivers its events through the default main context, so this thread runs that one.
    const bool ok = gtk_init_check(nullptr, nullptr);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      initDone_ = true;
      initOk_ = ok;
      if (ok) loop_ = g_main_loop_new(nullptr, FALSE);
    }
    cv_.notify_all();
    if (ok) {
      g_main_loop_run(loop_);
      g_main_loop_unref(loop_);
      loop_ = nullptr;
    }
  }

  GtkView* Find(HWND hwnd) {
    auto it = views_.find(hwnd);
    return it == views_.end() ? nullptr : it->second.get();
  }

  // Brings the GTK window in line with the program's window as it is now.
  void Apply(HWND hwnd) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.erase(hwnd);
    }
    WindowState state;
    if (!GetWindowState(hwnd, &state)) {  // the window is gone
      if (GtkView* v = Find(hwnd)) gtk_widget_destroy(v->window);
      views_.erase(hwnd);
      MarkDrawn(hwnd);
      return;
    }
    GtkView* view = Find(hwnd);
    if (!state.visible) {
      if (view) gtk_widget_hide(view->window);
      MarkDrawn(hwnd);
      return;
    }
    if (!view) view = Create(state);
    FollowFocusedEdit(*view, state);
    Update(*view, state);
  }

  GtkView* Create(const WindowState& state) {
    auto view = std::make_unique<GtkView>();
    view->hwnd = state.hwnd;
    view->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    view->area = gtk_drawing_area_new();
    gtk_container_add(GTK_CONTAINER(view->window), view->area);
    gtk_window_set_resizable(GTK_WINDOW(view->window), FALSE);
    gtk_widget_set_can_focus(view->area, TRUE);
    gtk_widget_add_events(view->area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_KEY_PRESS_MASK);
    GtkView* raw = view.get();
    g_object_set_data(G_OBJECT(view->window), "voda-backend", this);
    g_signal_connect(view->area, "draw", G_CALLBACK(&GtkBackend::OnDraw), raw);
    g_signal_connect(view->area, "button-release-event", G_CALLBACK(&GtkBackend::OnButton), raw);
    g_signal_connect(view->window, "key-press-event", G_CALLBACK(&GtkBackend::OnKey), raw);
    g_signal_connect(view->window, "delete-event", G_CALLBACK(&GtkBackend::OnDelete), raw);
    g_signal_connect(view->window, "configure-event", G_CALLBACK(&GtkBackend::OnConfigure), raw);
    views_[state.hwnd] = std::move(view);
    return raw;
  }

  void Update(GtkView& view, const WindowState& state) {
    view.clientRect = state.clientRect;
    view.windowRect = state.windowRect;
    gtk_window_set_title(GTK_WINDOW(view.window), state.title.c_str());
    gtk_window_set_keep_above(GTK_WINDOW(view.window), state.topmost);
    const HICON& icon = state.bigIcon ? state.bigIcon : state.smallIcon;
    if (icon && !icon->images.empty()) {
      if (GdkPixbuf* p = ToPixbuf(icon->images.front())) {
        gtk_window_set_icon(GTK_WINDOW(view.window), p);
        g_object_unref(p);
      }
    }
    gtk_widget_set_size_request(view.area, state.clientRect.Width(), state.clientRect.Height());
    if (view.placedX != state.clientRect.left || view.placedY != state.clientRect.top ||
        !gtk_widget_get_visible(view.window)) {
      view.placedX = state.clientRect.left;
      view.placedY = state.clientRect.top;
      gtk_window_move(GTK_WINDOW(view.window), view.placedX, view.placedY);
    }
    uint64_t target;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      target = changes_[view.hwnd];
    }
    std::string why;
    Bitmap image;
    if (render::RenderClient(view.hwnd, &image, &why)) {
      view.image = std::move(image);
      view.renderedFor = target;
    }
    if (!gtk_widget_get_visible(view.window)) gtk_widget_show_all(view.window);
    gtk_widget_queue_draw(view.area);
  }

  // Takes up a change of the focused field's text that the program made itself.
  static void FollowFocusedEdit(GtkView& view, const WindowState& state) {
    if (!view.focusedEdit) return;
    for (const ControlState& c : state.controls) {
      if (c.hwnd != view.focusedEdit) continue;
      if (c.text == view.confirmed) return;
      for (auto it = view.sent.begin(); it != view.sent.end(); ++it) {
        if (*it != c.text) continue;
        view.sent.erase(view.sent.begin(), it + 1);  // the user's own typing has arrived so far
        view.confirmed = c.text;
        return;
      }
      view.typed = view.confirmed = c.text;
      view.sent.clear();
      return;
    }
    view.focusedEdit = nullptr;  // the field is gone
  }

  void MarkDrawn(HWND hwnd) {
    std::lock_guard<std::mutex> lock(mutex_);
    drawn_[hwnd] = changes_[hwnd];
    cv_.notify_all();
  }

  bool CaptureOnGtkThread(HWND hwnd, Bitmap* out, std::string* error) {
    GtkView* view = Find(hwnd);
    if (!view || !gtk_widget_get_visible(view->window)) {
      *error = "the window is not shown on the display";
      return false;
    }
    GdkWindow* gdkWindow = gtk_widget_get_window(view->area);
    const int w = gtk_widget_get_allocated_width(view->area), h = gtk_widget_get_allocated_height(view->area);
    GdkPixbuf* p = gdkWindow ? gdk_pixbuf_get_from_window(gdkWindow, 0, 0, w, h) : nullptr;
    if (!p) {
      *error = "the display gave no picture of the window";
      return false;
    }
    Bitmap b;
    b.width = gdk_pixbuf_get_width(p);
    b.height = gdk_pixbuf_get_height(p);
    const int channels = gdk_pixbuf_get_n_channels(p), stride = gdk_pixbuf_get_rowstride(p);
    const guchar* base = gdk_pixbuf_get_pixels(p);
    b.pixels.reserve(static_cast<size_t>(b.width) * b.height);
    for (int y = 0; y < b.height; ++y)
      for (int x = 0; x < b.width; ++x) {
        const guchar* q = base + static_cast<std::ptrdiff_t>(y) * stride + channels * x;
        b.pixels.push_back(0xff000000u | uint32_t{q[0]} << 16 | uint32_t{q[1]} << 8 | q[2]);
      }
    g_object_unref(p);
    *out = std::move(b);
    return true;
  }

  bool SimulateOnGtkThread(HWND hwnd, gtk::UserEvent what, int x, int y) {
    GtkView* view = Find(hwnd);
    if (!view || !gtk_widget_get_visible(view->window)) return false;
    if (what == gtk::UserEvent::kMove) {
      gtk_window_move(GTK_WINDOW(view->window), x, y);
      return true;
    }
    GdkEvent* event = nullptr;
    GtkWidget* target = view->window;
    switch (what) {
      case gtk::UserEvent::kClick:
        event = gdk_event_new(GDK_BUTTON_RELEASE);
        event->button.button = 1;
        event->button.x = x;
        event->button.y = y;
        target = view->area;
        break;
      case gtk::UserEvent::kEscape:
      case gtk::UserEvent::kEnter:
        event = gdk_event_new(GDK_KEY_PRESS);
        event->key.keyval = what == gtk::UserEvent::kEscape ? GDK_KEY_Escape : GDK_KEY_Return;
        break;
      case gtk::UserEvent::kKey:
        event = gdk_event_new(GDK_KEY_PRESS);
        event->key.keyval = x == 8 ? GDK_KEY_BackSpace : gdk_unicode_to_keyval(static_cast<guint32>(x));
        break;
      case gtk::UserEvent::kClose:
        event = gdk_event_new(GDK_DELETE);
        break;
      case gtk::UserEvent::kMove:
        break;
    }
    GdkWindow* window = gtk_widget_get_window(target);
    if (!event || !window) {
      if (event) gdk_event_free(event);
      return false;
    }
    event->any.window = GDK_WINDOW(g_object_ref(window));
    event->any.send_event = TRUE;
    gtk_widget_event(target, event);
    gdk_event_free(event);
    return true;
  }

  // --- GTK signal handlers (GTK thread) ----------------------------------------------------------------

  static GtkBackend* Owner(GtkWidget* widget) {
    return static_cast<GtkBackend*>(g_object_get_data(G_OBJECT(gtk_widget_get_toplevel(widget)), "voda-backend"));
  }

  static gboolean OnDraw(GtkWidget* widget, cairo_t* cr, gpointer data) {
    auto* view = static_cast<GtkView*>(data);
    const Bitmap& b = view->image;
    if (b.width > 0 && b.height > 0 && b.pixels.size() == static_cast<size_t>(b.width) * b.height) {
      cairo_surface_t* s = cairo_image_surface_create_for_data(
          reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(b.pixels.data())), CAIRO_FORMAT_RGB24, b.width,
          b.height, b.width * 4);
      cairo_set_source_surface(cr, s, 0, 0);
      cairo_paint(cr);
      cairo_surface_destroy(s);
    } else {
      cairo_set_source_rgb(cr, 240 / 255.0, 240 / 255.0, 240 / 255.0);
      cairo_paint(cr);
    }
    if (GtkBackend* self = Owner(widget)) {
      std::lock_guard<std::mutex> lock(self->mutex_);
      uint64_t& drawn = self->drawn_[view->hwnd];
      drawn = std::max(drawn, view->renderedFor);
      self->cv_.notify_all();
    }
    return TRUE;
  }

  static gboolean OnButton(GtkWidget* widget, GdkEventButton* event, gpointer data) {
    auto* view = static_cast<GtkView*>(data);
    if (event->button != 1) return FALSE;
    gtk_widget_grab_focus(widget);
    WindowState state;
    if (!GetWindowState(view->hwnd, &state)) return TRUE;
    const int x = static_cast<int>(event->x), y = static_cast<int>(event->y);
    for (const ControlState& c : state.controls) {
      if (!c.visible || !c.enabled) continue;
      if (x < c.rect.left || x >= c.rect.right || y < c.rect.top || y >= c.rect.bottom) continue;
      if (c.cls == ControlClass::kButton) {
        input::Click(c.hwnd);
        return TRUE;
      }
      if (c.cls == ControlClass::kEdit) {
        view->focusedEdit = c.hwnd;
        view->typed = view->confirmed = c.text;
        view->sent.clear();
        return TRUE;
      }
    }
    return TRUE;
  }

  static gboolean OnKey(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* view = static_cast<GtkView*>(data);
    switch (event->keyval) {
      case GDK_KEY_Escape: input::PressEscape(view->hwnd); return TRUE;
      case GDK_KEY_Return:
      case GDK_KEY_KP_Enter: input::PressEnter(view->hwnd); return TRUE;
      default: break;
    }
    if (!view->focusedEdit) return FALSE;
    std::string text = view->typed;
    if (event->keyval == GDK_KEY_BackSpace) {
      // Remove the last character (its UTF-8 continuation bytes with it).
      while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
      if (!text.empty()) text.pop_back();
    } else {
      const gunichar ch = gdk_keyval_to_unicode(event->keyval);
      if (ch == 0 || g_unichar_iscntrl(ch)) return FALSE;
      char buf[8] = {};
      text.append(buf, static_cast<size_t>(g_unichar_to_utf8(ch, buf)));
    }
    if (!input::TypeText(view->focusedEdit, text)) return TRUE;
    view->typed = text;
    view->sent.push_back(text);
    return TRUE;
  }

  static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
    input::CloseBox(static_cast<GtkView*>(data)->hwnd);
    return TRUE;  // the program decides whether the window goes
  }

  static gboolean OnConfigure(GtkWidget* widget, GdkEventConfigure*, gpointer data) {
    auto* view = static_cast<GtkView*>(data);
    int x = 0, y = 0;
    gtk_window_get_position(GTK_WINDOW(widget), &x, &y);
    if (x == view->placedX && y == view->placedY) return FALSE;
    // The user moved the window: the program's window follows, frame and all.
    view->placedX = x;
    view->placedY = y;
    input::DragTo(view->hwnd, x - (view->clientRect.left - view->windowRect.left),
                  y - (view->clientRect.top - view->windowRect.top));
    return FALSE;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::thread thread_;
  bool initDone_ = false, initOk_ = false;
  GMainLoop* loop_ = nullptr;
  std::map<HWND, std::unique_ptr<GtkView>> views_;  // GTK thread only
  std::map<HWND, uint64_t> changes_, drawn_;        // under mutex_
  std::set<HWND> pending_;                           // windows the GTK thread has yet to take up; under mutex_
  std::mutex jobsMutex_;
  std::deque<std::function<void()>> jobs_;  // for the GTK thread, oldest first; under jobsMutex_
};

}  // namespace

std::unique_ptr<Backend> CreateGtkBackend(std::string* error) {
  auto backend = std::make_unique<GtkBackend>();
  if (!backend->Open(error)) return nullptr;
  return backend;
}

namespace gtk {

bool CaptureClient(HWND topLevel, Bitmap* out, std::string* error) {
  std::lock_guard<std::mutex> lock(g_activeMutex);
  if (!g_active) {
    if (error) *error = "no GTK backend runs";
    return false;
  }
  return g_active->Capture(topLevel, out, error);
}

bool WaitUntilDrawn(HWND topLevel, int timeoutMs) {
  std::lock_guard<std::mutex> lock(g_activeMutex);
  return g_active && g_active->WaitUntilDrawn(topLevel, timeoutMs);
}

bool Simulate(HWND topLevel, UserEvent event, int x, int y) {
  std::lock_guard<std::mutex> lock(g_activeMutex);
  return g_active && g_active->Simulate(topLevel, event, x, y);
}

}  // namespace gtk
}  // namespace gui
