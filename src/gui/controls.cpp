#include "gui/controls.h"

namespace gui {

int CButton::GetCheck() const {
  return static_cast<int>(gui::SendMessage(m_hWnd, BM_GETCHECK));
}

void CButton::SetCheck(int check) { gui::SendMessage(m_hWnd, BM_SETCHECK, static_cast<WPARAM>(check)); }

void CProgressCtrl::SetRange(short lower, short upper) {
  gui::SendMessage(m_hWnd, PBM_SETRANGE, 0,
                   MAKELPARAM(static_cast<uint16_t>(lower), static_cast<uint16_t>(upper)));
}

void CProgressCtrl::SetRange32(int lower, int upper) {
  gui::SendMessage(m_hWnd, PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
}

void CProgressCtrl::GetRange(int& lower, int& upper) const {
  PBRANGE range{0, 0};
  gui::SendMessage(m_hWnd, PBM_GETRANGE, 1, reinterpret_cast<LPARAM>(&range));
  lower = range.iLow;
  upper = range.iHigh;
}

int CProgressCtrl::SetPos(int pos) {
  return static_cast<int>(gui::SendMessage(m_hWnd, PBM_SETPOS, static_cast<WPARAM>(pos)));
}

int CProgressCtrl::GetPos() const { return static_cast<int>(gui::SendMessage(m_hWnd, PBM_GETPOS)); }

}  // namespace gui
