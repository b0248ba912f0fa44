#include "gui/dialog.h"

#include <cstdio>
#include <cstdlib>

#include "gui/machine.h"
#include "gui/templates.h"
#include "gui/window_system.h"

namespace gui {

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  HWND dialog = dx->m_pDlgWnd->m_hWnd;
  HWND item = GetDlgItem(dialog, id);
  WindowSystem& ws = WindowSystem::Get();
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* bound = ws.Find(control.m_hWnd);
    if (bound != nullptr && bound->object == &control) return;  // bound already
    WindowRecord* r = ws.Find(item);
    if (r != nullptr) {
      r->object = &control;
      control.m_hWnd = item;
      return;
    }
  }
  std::fprintf(stderr, "dialog %u has no control %d to bind\n", dx->m_pDlgWnd->TemplateId(), id);
  std::abort();
}

CDialog::CDialog(UINT templateId, CWnd* parent) : templateId_(templateId), parent_(parent) {}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
  const DialogTemplate* tmpl = FindDialogTemplate(templateId_);
  if (tmpl == nullptr || IsWindow(m_hWnd)) return -1;
  EnsureBackend();
  ListenForMachineBroadcasts();
  WindowSystem& ws = WindowSystem::Get();
  HWND owner = parent_ != nullptr ? parent_->m_hWnd : nullptr;
  HWND h = CreateFromTemplate(*tmpl, WindowKind::kDialog, this, owner);

  CRect before;
  gui::GetWindowRect(h, &before);
  ws.Dispatch(h, WM_INITDIALOG, 0, 0);

  bool ended = true;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(h);
    ended = r == nullptr || r->ended;
  }
  if (!ended) {
    // As the framework does: a dialog that neither moved nor showed itself while initialising is centred.
    CRect after;
    gui::GetWindowRect(h, &after);
    if (!gui::IsWindowVisible(h) && after == before) {
      int x = GetSystemMetrics(SM_CXSCREEN) / 2 - after.Width() / 2;
      int y = GetSystemMetrics(SM_CYSCREEN) / 2 - after.Height() / 2;
      gui::SetWindowPos(h, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (!gui::IsWindowVisible(h)) gui::ShowWindow(h, SW_SHOWNORMAL);
    ws.RunModalLoop(h);
  }

  int result = -1;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(h);
    if (r != nullptr) result = r->result;
  }
  // m_hWnd keeps the dead handle: calls on it fail, also from a worker that still holds the dialog.
  ws.Destroy(h);
  return result;
}

void CDialog::EndDialog(int result) {
  WindowSystem& ws = WindowSystem::Get();
  HWND h = m_hWnd;
  {
    std::lock_guard<std::mutex> lock(ws.mu);
    WindowRecord* r = ws.Find(h);
    if (r == nullptr || r->ended) return;
    r->ended = true;
    r->result = result;
    r->owner->wake.notify_all();
  }
  gui::ShowWindow(h, SW_HIDE);
}

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::DoDataExchange(CDataExchange* /*dx*/) {}

bool CDialog::UpdateData(bool saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(&dx);
  return true;
}

void CDialog::OnOK() { EndDialog(IDOK); }
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog() ? 1 : 0;
  return CWnd::WindowProc(message, wParam, lParam);
}

bool CDialog::OnCommand(UINT id, UINT code) {
  if (code != BN_CLICKED) return false;
  if (id == static_cast<UINT>(IDOK)) {
    OnOK();
    return true;
  }
  if (id == static_cast<UINT>(IDCANCEL)) {
    OnCancel();
    return true;
  }
  return false;
}

void CDialog::OnClose() { CWnd::OnClose(); }

}  // namespace gui
