#include "gui/message_box.h"

#include <algorithm>

#include "gui/backend.h"
#include "gui/templates.h"
#include "gui/window.h"
#include "gui/window_system.h"

namespace gui {
namespace {

constexpr uint32_t kBoxStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
constexpr uint32_t kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;

// Columns a text takes in the dialog font: a wide (CJK) character counts two.
int TextColumns(const std::string& line) {
  int columns = 0;
  for (size_t i = 0; i < line.size();) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    columns += len >= 3 ? 2 : 1;
    i += len;
  }
  return columns;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// The object of a system dialog: its buttons end it.
class SystemDialog : public CWnd {
 public:
  SystemDialog(std::vector<int> buttons, int escapeAnswer)
      : buttons_(std::move(buttons)), escapeAnswer_(escapeAnswer) {}

  bool OnCommand(UINT id, UINT code) override {
    if (code != BN_CLICKED) return true;
    int answer = static_cast<int>(id);
    if (answer == IDCANCEL && std::find(buttons_.begin(), buttons_.end(), IDCANCEL) == buttons_.end()) {
      answer = escapeAnswer_;  // Escape or the close box
    }
    if (answer == 0 || std::find(buttons_.begin(), buttons_.end(), answer) == buttons_.end()) return true;
    End(answer);
    return true;
  }

  void OnSysCommand(UINT id, LPARAM lParam) override {
    // A Yes/No box has no working close box.
    if ((id & 0xFFF0) == SC_CLOSE && escapeAnswer_ == 0) return;
    CWnd::OnSysCommand(id, lParam);
  }

 private:
  void End(int answer) {
    WindowSystem& ws = WindowSystem::Get();
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(m_hWnd);
    if (r == nullptr || r->ended) return;
    r->ended = true;
    r->result = answer;
    r->owner->wake.notify_all();
  }

  std::vector<int> buttons_;
  int escapeAnswer_;
};

// Creates, places and shows a system dialog, runs its loop on the calling thread and returns its answer.
int RunSystemDialog(const DialogTemplate& tmpl, WindowKind kind, SystemDialog& object, HWND owner,
                    const std::string& boxText, UINT boxType, bool topmost) {
  EnsureBackend();
  WindowSystem& ws = WindowSystem::Get();
  HWND h = CreateFromTemplate(tmpl, kind, &object, owner);
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(h);
    r->boxText = boxText;
    r->boxType = boxType;
    r->topmost = topmost;
  }
  // Centred over the owner when it is visible, otherwise on the screen.
  CRect box;
  GetWindowRect(h, &box);
  CRect area(0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  if (owner != nullptr && IsWindowVisible(owner)) GetWindowRect(owner, &area);
  int x = area.left + area.Width() / 2 - box.Width() / 2;
  int y = area.top + area.Height() / 2 - box.Height() / 2;
  // The owner takes no input while its box is open.
  bool disabledOwner = owner != nullptr && IsWindow(owner) && !EnableWindow(owner, false);
  SetWindowPos(h, topmost ? HWND_TOPMOST : HWND_TOP, x, y, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
  ws.RunModalLoop(h);
  if (disabledOwner) EnableWindow(owner, true);
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(h);
    if (r != nullptr) result = r->result;
  }
  ws.Destroy(h);
  return result;
}

}  // namespace

const char* MessageBoxButtonText(int id) {
  switch (id) {
    case IDOK:
      return "确定";
    case IDCANCEL:
      return "取消";
    case IDYES:
      return "是(Y)";
    case IDNO:
      return "否(N)";
    default:
      return "";
  }
}

int MessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
  std::vector<int> buttons;
  int escapeAnswer = 0;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      buttons = {IDOK, IDCANCEL};
      escapeAnswer = IDCANCEL;
      break;
    case MB_YESNO:
      buttons = {IDYES, IDNO};
      break;
    default:
      buttons = {IDOK};
      escapeAnswer = IDOK;
      break;
  }
  // Layout in dialog units: icon at left, text beside it, buttons centred along the bottom.
  std::vector<std::string> lines = Lines(text);
  int columns = 0;
  for (const auto& line : lines) columns = std::max(columns, TextColumns(line));
  bool icon = (type & MB_ICONMASK) != 0;
  int textX = icon ? 41 : 12;
  int textWidth = std::min(std::max(columns * 4 + 4, 60), 320);
  int textHeight = static_cast<int>(lines.size()) * 8;
  int buttonsWidth = static_cast<int>(buttons.size()) * 50 + (static_cast<int>(buttons.size()) - 1) * 6;
  int cx = std::max(textX + textWidth + 12, buttonsWidth + 24);
  int bodyHeight = std::max(textHeight, icon ? 20 : 8);
  int cy = 14 + bodyHeight + 14 + 14 + 7;

  DialogTemplate tmpl{0, kBoxStyle, caption, "MS Shell Dlg", 8, cx, cy, {}};
  tmpl.controls.push_back({kMessageBoxTextId, ControlClass::kStatic, text, WS_CHILD | WS_VISIBLE | SS_LEFT,
                           textX, 14 + (bodyHeight - textHeight) / 2, textWidth, textHeight});
  int bx = (cx - buttonsWidth) / 2;
  for (size_t i = 0; i < buttons.size(); ++i) {
    uint32_t style = kButtonStyle | (i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
    tmpl.controls.push_back({buttons[i], ControlClass::kButton, MessageBoxButtonText(buttons[i]), style,
                             bx + static_cast<int>(i) * 56, cy - 21, 50, 14});
  }
  SystemDialog object(buttons, escapeAnswer);
  bool topmost = (type & (MB_TOPMOST | MB_SYSTEMMODAL)) != 0;
  return RunSystemDialog(tmpl, WindowKind::kMessageBox, object, owner, text, type, topmost);
}

namespace {

// The file-system path of a chosen folder as the shell gives it: no trailing backslash except on a
// drive's root, which always has one.
std::string FolderPath(std::string path) {
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  if (path.size() == 2 && path[1] == ':') path += '\\';
  return path;
}

}  // namespace

std::optional<std::string> BrowseForFolder(HWND owner, const std::string& title, UINT flags) {
  DialogTemplate tmpl{0, kBoxStyle, "浏览文件夹", "MS Shell Dlg", 8, 236, 110, {}};
  tmpl.controls.push_back({kFolderBrowserTitleId, ControlClass::kStatic, title,
                           WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 10, 216, 16});
  tmpl.controls.push_back({kFolderBrowserEditId, ControlClass::kEdit, "",
                           WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 10, 52, 216, 14});
  tmpl.controls.push_back({IDOK, ControlClass::kButton, "确定", kButtonStyle | BS_DEFPUSHBUTTON, 120, 88, 50,
                           14});
  tmpl.controls.push_back({IDCANCEL, ControlClass::kButton, "取消", kButtonStyle | BS_PUSHBUTTON, 176, 88, 50,
                           14});
  // The chosen path is read when OK is pressed, while the window still exists.
  class Browser : public SystemDialog {
   public:
    explicit Browser(std::string* out) : SystemDialog({IDOK, IDCANCEL}, IDCANCEL), out_(out) {}
    bool OnCommand(UINT id, UINT code) override {
      if (id == static_cast<UINT>(IDOK) && code == BN_CLICKED) {
        *out_ = gui::GetWindowText(gui::GetDlgItem(m_hWnd, kFolderBrowserEditId));
      }
      return SystemDialog::OnCommand(id, code);
    }

   private:
    std::string* out_;
  };
  std::string chosen;
  Browser browser(&chosen);
  int answer = RunSystemDialog(tmpl, WindowKind::kFolderBrowser, browser, owner, title, flags, false);
  if (answer != IDOK) return std::nullopt;
  return FolderPath(chosen);
}

}  // namespace gui
