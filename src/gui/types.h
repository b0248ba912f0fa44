// The window system's vocabulary: handles, message parameters, rectangles, colours and the numeric
// constants of the Windows calls the dialogs use, with the values Windows gives them.
#pragma once

#include <cstdint>

namespace gui {

using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using COLORREF = uint32_t;

// A window handle: an opaque number that stays safe to use after its window is gone (every call on a
// destroyed window fails or returns 0, as on Windows). Never dereferenced.
struct HWND__;
using HWND = HWND__*;

inline LPARAM HandleToParam(HWND h) { return reinterpret_cast<LPARAM>(h); }
inline HWND ParamToHandle(LPARAM l) { return reinterpret_cast<HWND>(l); }

// PostMessage to every top-level window of every process of the machine.
inline HWND const HWND_BROADCAST = reinterpret_cast<HWND>(0xffff);

constexpr COLORREF RGB(unsigned r, unsigned g, unsigned b) {
  return static_cast<COLORREF>((r & 0xff) | ((g & 0xff) << 8) | ((b & 0xff) << 16));
}
constexpr unsigned GetRValue(COLORREF c) { return c & 0xff; }
constexpr unsigned GetGValue(COLORREF c) { return (c >> 8) & 0xff; }
constexpr unsigned GetBValue(COLORREF c) { return (c >> 16) & 0xff; }

constexpr uint16_t LOWORD(uintptr_t v) { return static_cast<uint16_t>(v & 0xffff); }
constexpr uint16_t HIWORD(uintptr_t v) { return static_cast<uint16_t>((v >> 16) & 0xffff); }
constexpr WPARAM MAKEWPARAM(unsigned lo, unsigned hi) {
  return static_cast<WPARAM>((lo & 0xffff) | ((hi & 0xffff) << 16));
}
constexpr LPARAM MAKELPARAM(unsigned lo, unsigned hi) {
  return static_cast<LPARAM>(static_cast<int32_t>((lo & 0xffff) | ((hi & 0xffff) << 16)));
}
// Signed coordinates packed into an LPARAM (WM_MOVE).
constexpr int GET_X_LPARAM(LPARAM l) { return static_cast<int16_t>(l & 0xffff); }
constexpr int GET_Y_LPARAM(LPARAM l) { return static_cast<int16_t>((l >> 16) & 0xffff); }

// a * b / c rounded to the nearest integer, halves away from zero (the Windows MulDiv).
int MulDiv(int a, int b, int c);

struct CPoint {
  int x = 0;
  int y = 0;
};

struct CSize {
  int cx = 0;
  int cy = 0;
};

// A rectangle with exclusive right and bottom edges, as RECT.
struct CRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  constexpr CRect() = default;
  constexpr CRect(int l, int t, int r, int b) : left(l), top(t), right(r), bottom(b) {}
  constexpr int Width() const { return right - left; }
  constexpr int Height() const { return bottom - top; }
  constexpr bool IsRectEmpty() const { return right <= left || bottom <= top; }
  constexpr CPoint TopLeft() const { return {left, top}; }
  void OffsetRect(int dx, int dy) {
    left += dx;
    right += dx;
    top += dy;
    bottom += dy;
  }
  constexpr bool operator==(const CRect& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
  constexpr bool operator!=(const CRect& o) const { return !(*this == o); }
};
using RECT = CRect;

// Dialog base units of the 8-point dialog font: dialog units to pixels.
constexpr int kDialogBaseUnitX = 6;
constexpr int kDialogBaseUnitY = 13;
inline int DialogUnitsToPixelsX(int du) { return MulDiv(du, kDialogBaseUnitX, 4); }
inline int DialogUnitsToPixelsY(int du) { return MulDiv(du, kDialogBaseUnitY, 8); }

// Non-client metrics of a popup window with caption and modal frame.
constexpr int kFrameWidth = 3;     // SM_CXFIXEDFRAME, each side
constexpr int kCaptionHeight = 20; // SM_CYCAPTION

// --- Messages -------------------------------------------------------------------------------------------
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_MOVE = 0x0003;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_ERASEBKGND = 0x0014;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_SETICON = 0x0080;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_CTLCOLORSTATIC = 0x0138;
constexpr UINT WM_CTLCOLORBTN = 0x0135;
constexpr UINT WM_CTLCOLOREDIT = 0x0133;
constexpr UINT WM_CTLCOLORDLG = 0x0136;
constexpr UINT WM_MOVING = 0x0216;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

// CtlColor kinds passed to OnCtlColor (MFC's CTLCOLOR_*).
constexpr UINT CTLCOLOR_EDIT = 1;
constexpr UINT CTLCOLOR_BTN = 3;
constexpr UINT CTLCOLOR_DLG = 4;
constexpr UINT CTLCOLOR_STATIC = 6;

// Button messages and notifications.
constexpr UINT BM_GETCHECK = 0x00F0;
constexpr UINT BM_SETCHECK = 0x00F1;
constexpr UINT BM_CLICK = 0x00F5;
constexpr int BST_UNCHECKED = 0;
constexpr int BST_CHECKED = 1;
constexpr UINT BN_CLICKED = 0;
constexpr UINT EN_CHANGE = 0x0300;

// Progress bar messages.
constexpr UINT PBM_SETRANGE = WM_USER + 1;
constexpr UINT PBM_SETPOS = WM_USER + 2;
constexpr UINT PBM_DELTAPOS = WM_USER + 3;
constexpr UINT PBM_SETRANGE32 = WM_USER + 6;
constexpr UINT PBM_GETRANGE = WM_USER + 7;
constexpr UINT PBM_GETPOS = WM_USER + 8;
struct PBRANGE {
  int iLow;
  int iHigh;
};

// WM_SETICON kinds.
constexpr WPARAM ICON_SMALL = 0;
constexpr WPARAM ICON_BIG = 1;

// WM_SYSCOMMAND codes.
constexpr UINT SC_MOVE = 0xF010;
constexpr UINT SC_CLOSE = 0xF060;

// WM_MOVING edges (wParam).
constexpr WPARAM WMSZ_MOVE = 9;  // the whole window is dragged

// --- Styles ---------------------------------------------------------------------------------------------
constexpr uint32_t WS_POPUP = 0x80000000u;
constexpr uint32_t WS_CHILD = 0x40000000u;
constexpr uint32_t WS_VISIBLE = 0x10000000u;
constexpr uint32_t WS_DISABLED = 0x08000000u;
constexpr uint32_t WS_CAPTION = 0x00C00000u;
constexpr uint32_t WS_BORDER = 0x00800000u;
constexpr uint32_t WS_SYSMENU = 0x00080000u;
constexpr uint32_t WS_GROUP = 0x00020000u;
constexpr uint32_t WS_MINIMIZEBOX = 0x00020000u;
constexpr uint32_t WS_TABSTOP = 0x00010000u;
constexpr uint32_t DS_SETFONT = 0x40u;
constexpr uint32_t DS_MODALFRAME = 0x80u;
constexpr uint32_t DS_FIXEDSYS = 0x0008u;
constexpr uint32_t DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS;

constexpr uint32_t BS_PUSHBUTTON = 0x0u;
constexpr uint32_t BS_DEFPUSHBUTTON = 0x1u;
constexpr uint32_t BS_AUTOCHECKBOX = 0x3u;
constexpr uint32_t BS_TYPEMASK = 0xFu;
constexpr uint32_t SS_LEFT = 0x0u;
constexpr uint32_t SS_CENTER = 0x1u;
constexpr uint32_t ES_LEFT = 0x0u;
constexpr uint32_t ES_AUTOHSCROLL = 0x80u;

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

// SetWindowPos flags.
constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;

// Dialog results and command ids.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDC_STATIC = -1;  // an unnumbered label

// Message box types.
constexpr UINT MB_OK = 0x0u;
constexpr UINT MB_OKCANCEL = 0x1u;
constexpr UINT MB_YESNO = 0x4u;
constexpr UINT MB_TYPEMASK = 0xFu;
constexpr UINT MB_ICONERROR = 0x10u;
constexpr UINT MB_ICONQUESTION = 0x20u;
constexpr UINT MB_ICONWARNING = 0x30u;
constexpr UINT MB_ICONINFORMATION = 0x40u;
constexpr UINT MB_ICONMASK = 0xF0u;
constexpr UINT MB_SYSTEMMODAL = 0x1000u;
constexpr UINT MB_SETFOREGROUND = 0x10000u;
constexpr UINT MB_TOPMOST = 0x40000u;

// Menu item flags.
constexpr UINT MF_STRING = 0x0u;
constexpr UINT MF_SEPARATOR = 0x800u;

// Folder browser flags.
constexpr UINT BIF_RETURNONLYFSDIRS = 0x1u;
constexpr UINT BIF_DONTGOBELOWDOMAIN = 0x2u;
constexpr UINT BIF_EDITBOX = 0x10u;
constexpr UINT BIF_NEWDIALOGSTYLE = 0x40u;

// Background modes.
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;

// GetSystemMetrics.
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;

// Default colours of dialogs and controls (system dialog face, window text).
constexpr COLORREF kColorBtnFace = RGB(240, 240, 240);
constexpr COLORREF kColorWindowText = RGB(0, 0, 0);
constexpr COLORREF kColorWindow = RGB(255, 255, 255);

}  // namespace gui
