// The controls the dialogs use. Each call sends the control's message, so it may come from any thread
// (a worker updating a label or a bar waits until the dialog's thread has handled it).
#pragma once

#include <string>

#include "gui/window.h"

namespace gui {

// Push buttons and automatic check boxes.
class CButton : public CWnd {
 public:
  int GetCheck() const;     // BM_GETCHECK: BST_CHECKED or BST_UNCHECKED
  void SetCheck(int check);  // BM_SETCHECK
};

// A progress bar: lower bound, upper bound and position as 32-bit integers (0, 100, 0 when created).
class CProgressCtrl : public CWnd {
 public:
  void SetRange(short lower, short upper);  // PBM_SETRANGE
  void SetRange32(int lower, int upper);    // PBM_SETRANGE32
  void GetRange(int& lower, int& upper) const;
  int SetPos(int pos);  // PBM_SETPOS; returns the previous position
  int GetPos() const;
};

// A label.
class CStatic : public CWnd {};

// A single-line edit field.
class CEdit : public CWnd {};

}  // namespace gui
