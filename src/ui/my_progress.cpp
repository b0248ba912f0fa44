#include "ui/my_progress.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "gui/backend.h"
#include "gui/dc.h"
#include "ui/skinned_frame.h"

using namespace gui;

int CMyProgress::FillWidth(int clientWidth, int lower, int upper, int position) {
  // Every range of this program starts at 0, so the lower bound is not subtracted from the position.
  const double span = static_cast<double>(upper) - lower;
  if (span == 0) return 0;  // an empty range shows no fill (instead of dividing by zero)
  const double fill = static_cast<double>(clientWidth) / span * position;
  // Only widths the control can show matter; out-of-range values are kept inside int before truncating.
  constexpr double kMax = std::numeric_limits<int>::max();
  if (!(fill > -kMax)) return 0;
  if (fill > kMax) return std::numeric_limits<int>::max();
  return static_cast<int>(std::trunc(fill));
}

bool CMyProgress::OnPaint(CDC& dc) {
  CRect client;
  GetClientRect(&client);
  CBrush background;
  background.CreateSolidBrush(kBackground);
  dc.FillRect(CRect(0, 0, client.Width(), client.Height()), &background);

  int lower = 0, upper = 0;
  GetRange(lower, upper);
  const int fill = FillWidth(client.Width(), lower, upper, GetPos());
  if (fill > 0) {
    CBitmap pattern;
    if (HBITMAP bitmap = LoadBitmapResource(kProgressPatternBitmapId)) pattern.Attach(bitmap);
    CBrush brush;
    if (brush.CreatePatternBrush(&pattern))
      dc.FillRect(CRect(0, 0, std::min(fill, client.Width()), client.Height()), &brush);
    brush.DeleteObject();
    pattern.DeleteObject();
  }
  background.DeleteObject();
  return true;
}

void DDX_Control(CDataExchange* dx, int id, CMyProgress& control) {
  gui::DDX_Control(dx, id, static_cast<CWnd&>(control));
  if (HWND window = control.GetSafeHwnd()) SetOwnerPainted(window, true);
}
