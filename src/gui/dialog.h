// Modal dialogs made from the program's dialog templates, and the data exchange that binds member
// controls to the template's controls.
#pragma once

#include "gui/window.h"

namespace gui {

class CDialog;

// Data exchange: binds member controls to the dialog's controls (UpdateData).
class CDataExchange {
 public:
  CDataExchange(CDialog* dialog, bool saveAndValidate)
      : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CDialog* m_pDlgWnd;
  bool m_bSaveAndValidate;
};

// Subclasses the dialog's control `id` with `control`: from now on the control's messages reach
// control.WindowProc and GetDlgItem(id) returns &control. Binding a missing id is a programming error and
// aborts with a message naming the template and the id, as the framework's debug check does.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);

// A modal dialog on one of the program's templates.
//
// DoModal creates the window and its controls from the template on the calling thread (which owns them
// from then on), places it centred on the screen, runs OnInitDialog, shows it and runs the modal loop until
// EndDialog; then it destroys the window and returns the result. Any thread may run a DoModal, and a
// handler may run another dialog's DoModal inside it (nested loops on one thread).
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);
  ~CDialog() override;

  // The dialog's result, or -1 when the template does not exist or the window cannot be created.
  virtual INT_PTR DoModal();
  // Ends the modal loop with `result` once the current handler returns. May be called from any thread.
  void EndDialog(int result);

  UINT TemplateId() const { return templateId_; }

 protected:
  // Base initialisation: data exchange (UpdateData(false)). Return true for the default focus.
  virtual bool OnInitDialog();
  virtual void DoDataExchange(CDataExchange* dx);
  bool UpdateData(bool saveAndValidate = true);
  // Command 1 (the default button, Enter) and command 2 (Cancel, Escape, the close box).
  virtual void OnOK();
  virtual void OnCancel();

  // CWnd
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT code) override;
  void OnClose() override;

 private:
  UINT templateId_;
  CWnd* parent_;
};

}  // namespace gui
