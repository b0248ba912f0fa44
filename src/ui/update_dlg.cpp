#include "ui/update_dlg.h"

#include "app/dispatcher.h"
#include "app/globals.h"
#include "app/utilities.h"

CUpdateDlg::CUpdateDlg(gui::CWnd* parent) : CSkinnedDialog(IDD, parent) { SetSaveOnMove(true); }

bool CUpdateDlg::OnInitDialog() {
  CSkinnedDialog::OnInitDialog();
  AddSystemMenuItem();
  SetProgramIcon(false);
  SetProgramTitle();
  LoadBackground(g_bankProfile.updateDlgImageId);

  gui::CRect window;
  GetWindowRect(&window);
  const int x = gui::GetSystemMetrics(gui::SM_CXSCREEN) / 2 - window.Width() / 2;
  const int y = gui::GetSystemMetrics(gui::SM_CYSCREEN) / 2 - window.Height() / 2;
  SetWindowPos(&wndTop, x, y, 0, 0, gui::SWP_NOSIZE | gui::SWP_SHOWWINDOW);
  return true;
}

void CUpdateDlg::OnOK() {
  platform::ProcessId browser = 0;
  if (FindBrowserProcess(browser)) {
    // The update dialog asks under the product's name.
    if (MessageBox(kBrowserQuestion, g_bankProfile.productName, gui::MB_YESNO) != gui::IDYES) return;
    (void)TerminateBrowser(browser);
  }
  ShowWindow(gui::SW_HIDE);
  ProgramUpdateDialogs().RunProgressDialog(ModeUpdate);
  EndDialog(gui::IDCANCEL);
}
