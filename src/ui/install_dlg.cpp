#include "ui/install_dlg.h"

#include "app/globals.h"
#include "ui/option_dlg.h"

bool CInstallDlg::OnInitDialog() { return InitSkinnedFrame(g_bankProfile.installDlgImageId, true); }

void CInstallDlg::OnOK() {
  COptionDlg options;
  ShowWindow(gui::SW_HIDE);
  (void)options.DoModal();
  EndDialog(gui::IDCANCEL);
}

void CInstallDlg::OnCancel() { ConfirmExit(); }
