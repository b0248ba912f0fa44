// The install dialog: the welcome page of a first installation, with "安装" and "取消".
//
// It runs modally on the version-query worker's thread once the server has answered. "安装" hides it and
// runs a new options dialog inside the handler; whatever that returns, the install dialog then ends with
// the cancel result, so the whole chain unwinds when the installation does not end the process itself.
#pragma once

#include "ui/skinned_frame.h"

class CInstallDlg : public CSkinnedDialog {
 public:
  static constexpr gui::UINT IDD = 132;

  explicit CInstallDlg(gui::CWnd* parent = nullptr) : CSkinnedDialog(IDD, parent) {}

 protected:
  // The frame's steps only: picture installDlgImageId, top-left corner at g_dialogRect.
  bool OnInitDialog() override;
  // "安装": the options dialog, nested.
  void OnOK() override;
  // "取消", Escape and the close box: ConfirmExit.
  void OnCancel() override;
};
