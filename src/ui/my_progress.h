// The progress bars of the progress dialog: a solid dark background and a green gradient fill from the
// program's pattern bitmap, in place of the control's own look. Range and position stay those of the
// underlying progress control.
#pragma once

#include "gui/controls.h"
#include "gui/dialog.h"

class CMyProgress : public gui::CProgressCtrl {
 public:
  // Background of the bar where it is not filled.
  static constexpr gui::COLORREF kBackground = gui::RGB(128, 119, 122);

  // The fill width for a client width, range and position: width / (upper - lower) x position in double
  // precision, truncated toward zero; 0 for an empty range. Not limited to the width (drawing is clipped).
  static int FillWidth(int clientWidth, int lower, int upper, int position);

  bool OnPaint(gui::CDC& dc) override;
};

// Data exchange for a custom-painted bar: subclasses the control and marks it as painted by the program.
void DDX_Control(gui::CDataExchange* dx, int id, CMyProgress& control);
