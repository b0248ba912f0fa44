#include "ui/skinned_frame.h"

#include <algorithm>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/bank_profile.h"
#include "app/globals.h"
#include "gui/message_box.h"
#include "gui/render/canvas.h"
#include "platform/kernel_objects.h"
#include "platform/platform.h"
#include "resources/resources.h"

using namespace gui;

int LoadPngResource(CImage* image, int resourceId) {
  if (!image) return 0;
  if (!image->IsNull()) image->Destroy();
  const resources::ResourceView resource = resources::FindResource(resourceId, resources::kTypePng);
  if (!resource) return 0;
  // The decoder reads from its own copy of the bytes, freed when it is done.
  const std::vector<uint8_t> copy(resource.data, resource.data + resource.size);
  (void)image->Load(copy.data(), copy.size());
  return 1;
}

void RefreshControl(CWnd* dialog, int controlId) {
  if (!dialog) return;
  const HWND window = dialog->GetSafeHwnd();
  const HWND control = gui::GetDlgItem(window, controlId);
  CRect rect;
  if (!control || !gui::GetWindowRect(control, &rect)) return;
  gui::ScreenToClient(window, &rect);
  gui::InvalidateRect(window, &rect, true);
  gui::UpdateWindow(window);
}

void ExitProcessNow() { std::_Exit(0); }

void ConfirmExit() {
  const int answer = gui::MessageBox(nullptr, "是否退出voda安装？", g_bankProfile.downloaderTitle,
                                     MB_YESNO | MB_TOPMOST);
  if (answer == IDYES) ExitProcessNow();
}

namespace {

uint32_t Read32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t Read16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// One image of an icon file: a PNG stream, or a bitmap of double height (colours, then the mask).
bool IconImage(const unsigned char* data, size_t size, Bitmap* out) {
  if (gui::DecodePng(data, size, out)) return true;
  if (size < 40) return false;
  std::vector<unsigned char> dib(data, data + size);
  const uint32_t height = Read32(data + 8) / 2;
  for (int i = 0; i < 4; ++i) dib[8 + i] = static_cast<unsigned char>(height >> (8 * i));
  return gui::render::DecodePackedDib(dib.data(), dib.size(), out);
}

}  // namespace

HICON LoadIconResource(int iconId) {
  const resources::ResourceView r = resources::FindResource(iconId, resources::kTypeIcon);
  if (!r || r.size < 6 || Read16(r.data + 2) != 1) return nullptr;
  const unsigned count = Read16(r.data + 4);
  if (r.size < 6 + 16u * count) return nullptr;
  auto icon = std::make_shared<Icon>();
  icon->resourceId = iconId;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned char* entry = r.data + 6 + 16 * i;
    const uint32_t size = Read32(entry + 8), offset = Read32(entry + 12);
    if (offset > r.size || size > r.size - offset) continue;
    Bitmap image;
    if (IconImage(r.data + offset, size, &image)) icon->images.push_back(std::move(image));
  }
  if (icon->images.empty()) return nullptr;
  std::stable_sort(icon->images.begin(), icon->images.end(),
                   [](const Bitmap& a, const Bitmap& b) { return a.width > b.width; });
  return icon;
}

HBITMAP LoadBitmapResource(int bitmapId) {
  const resources::ResourceView r = resources::FindResource(bitmapId, resources::kTypeBitmap);
  if (!r) return nullptr;
  auto bitmap = std::make_shared<Bitmap>();
  if (!gui::render::DecodePackedDib(r.data, r.size, bitmap.get())) return nullptr;
  return bitmap;
}

UINT DetectMessageId() {
  // Registered once per machine the process works on; the same name always gives the same id there.
  static std::mutex mutex;
  static platform::Platform* machine = nullptr;
  static UINT id = 0;
  platform::Platform& current = platform::Current();
  std::lock_guard<std::mutex> lock(mutex);
  if (machine != &current || id == 0) {
    id = current.Objects().RegisterWindowMessage(SingleInstanceMessageName());
    machine = &current;
  }
  return id;
}

bool CSkinnedDialog::InitSkinnedFrame(int pictureId, bool atSavedPosition) {
  CDialog::OnInitDialog();
  AddSystemMenuItem();
  SetProgramIcon(true);
  SetProgramTitle();
  LoadBackground(pictureId);
  if (atSavedPosition) PlaceAtSavedPosition();
  return true;
}

void CSkinnedDialog::AddSystemMenuItem() {
  const std::string about = resources::LoadString(kAboutMenuStringId);
  if (about.empty()) return;
  if (CMenu* menu = GetSystemMenu(false)) {
    menu->AppendMenu(MF_SEPARATOR);
    menu->AppendMenu(MF_STRING, kAboutMenuCommand, about.c_str());
  }
}

void CSkinnedDialog::SetProgramIcon(bool keep) {
  HICON icon = LoadIconResource(g_bankProfile.iconId);
  SetIcon(icon, true);
  SetIcon(icon, false);
  if (keep) m_hIcon = icon;
}

void CSkinnedDialog::SetProgramTitle() { SetWindowText(g_bankProfile.downloaderTitle); }

void CSkinnedDialog::LoadBackground(int pictureId) {
  CImage image;
  LoadPngResource(&image, pictureId);
  HBITMAP bitmap = image.Detach();
  m_bmpBackground.DeleteObject();  // the picture it replaces is released
  if (bitmap) m_bmpBackground.Attach(bitmap);
}

void CSkinnedDialog::PlaceAtSavedPosition() {
  SetWindowPos(&wndTop, g_dialogRect.left, g_dialogRect.top, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
}

LRESULT CSkinnedDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  // A second instance started with "-t" tells every running one to quit at once.
  if (message != 0 && message == DetectMessageId() && wParam == 1) ExitProcessNow();
  return CDialog::WindowProc(message, wParam, lParam);
}

bool CSkinnedDialog::OnPaint(CDC& dc) {
  CRect client;
  GetClientRect(&client);
  BITMAP info;
  const HBITMAP bitmap = m_bmpBackground.GetSafeHandle();
  // Without a picture the client area keeps what the default erase painted.
  if (bitmap && m_bmpBackground.GetBitmap(&info))
    dc.StretchBlt(CRect(0, 0, client.Width(), client.Height()), *bitmap, CRect(0, 0, info.bmWidth, info.bmHeight));
  return true;
}

void CSkinnedDialog::SaveDialogRect() {
  CRect rect;
  GetWindowRect(&rect);
  g_dialogRect.left = rect.left;
  g_dialogRect.top = rect.top;
  g_dialogRect.right = rect.right;
  g_dialogRect.bottom = rect.bottom;
}

void CSkinnedDialog::OnMoving(UINT edge, CRect* proposed) {
  CDialog::OnMoving(edge, proposed);
  SaveDialogRect();
}

void CSkinnedDialog::OnMove(int x, int y) {
  CDialog::OnMove(x, y);
  if (saveOnMove_) SaveDialogRect();
}

HBRUSH CSkinnedDialog::OnCtlColor(CDC& dc, CWnd* control, UINT ctlColor) {
  HBRUSH brush = CDialog::OnCtlColor(dc, control, ctlColor);
  if (control && ctlColor == CTLCOLOR_STATIC && transparentLabels_.count(control->GetDlgCtrlID()) != 0) {
    dc.SetBkMode(TRANSPARENT);
    return GetStockObject(HOLLOW_BRUSH);
  }
  return brush;
}
