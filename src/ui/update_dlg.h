// The update dialog: asks whether the installed assistant is to be updated to the server's newer
// version (the question is part of its picture). "确定" runs the update in the progress dialog inside the
// handler and then ends the dialog with the cancel result; "取消" ends it at once without a question.
#pragma once

#include "ui/skinned_frame.h"

class CUpdateDlg : public CSkinnedDialog {
 public:
  static constexpr gui::UINT IDD = 139;

  explicit CUpdateDlg(gui::CWnd* parent = nullptr);

 protected:
  // The frame (icon not kept), then centred on the screen by its window rectangle.
  bool OnInitDialog() override;
  // "确定".
  void OnOK() override;
};
