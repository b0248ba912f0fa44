// The skinned frame every dialog of the Downloader shares: a picture from the program's resources
// stretched over the client area, the program icon and title, the extra system-menu item, the remembered
// screen position (g_dialogRect), labels drawn straight onto the picture, the immediate exit when a second
// instance broadcasts the quit message, and the confirmation before quitting.
#pragma once

#include <set>

#include "gui/dialog.h"
#include "gui/image.h"

// Decodes the "PNG" resource `resourceId` of the program into `image`. 0 when there is no image object
// or no such resource; otherwise 1, also when the bytes did not decode (the image then stays empty).
int LoadPngResource(gui::CImage* image, int resourceId);

// Repaints the part of `dialog` under its control `controlId` at once (erasing first), so that a label on
// the picture shows no remains of its old text. Any thread may call it.
void RefreshControl(gui::CWnd* dialog, int controlId);

// The cancel command of the first three dialogs: "是否退出voda安装？" (Yes / No, always on top, no owner).
// Yes ends the process at once with exit code 0; No returns and leaves everything as it was.
void ConfirmExit();

// Ends the process at once with exit code 0, closing nothing.
[[noreturn]] void ExitProcessNow();

// The program icon (icon group `iconId` of the bank profile), largest image first; null when missing.
gui::HICON LoadIconResource(int iconId);

// A bitmap resource (packed device-independent bitmap); null when missing or undecodable.
gui::HBITMAP LoadBitmapResource(int bitmapId);

// The registered single-instance message a second instance broadcasts (the same id the application
// registered at start-up under the same name); 0 when it cannot be registered.
gui::UINT DetectMessageId();

// A dialog of the skinned frame. Each dialog calls the frame steps from its own initialisation handler
// in the order its description gives; InitSkinnedFrame runs all of them for a dialog without own steps.
class CSkinnedDialog : public gui::CDialog {
 public:
  CSkinnedDialog(gui::UINT templateId, gui::CWnd* parent = nullptr) : CDialog(templateId, parent) {}

  gui::CBitmap m_bmpBackground;  // the picture, from initialisation until the dialog object is destroyed
  gui::HICON m_hIcon;            // the icon set at initialisation

 protected:
  // Frame steps 1 to 6 in order: base initialisation, system menu, icon, title, the picture, and the
  // placement at the saved position when `atSavedPosition` (else the framework's centred default).
  bool InitSkinnedFrame(int pictureId, bool atSavedPosition);

  // Step 2: the string resource 101 as an item (command 16) after a separator in the system menu.
  void AddSystemMenuItem();
  // Step 3: the program icon as big and small icon; kept in m_hIcon when `keep`.
  void SetProgramIcon(bool keep = true);
  // Step 4: the window title becomes downloaderTitle.
  void SetProgramTitle();
  // Step 5: the picture `pictureId` becomes the background; the bitmap it replaces is released. A missing
  // or undecodable picture leaves the dialog without background.
  void LoadBackground(int pictureId);
  // Step 6: top-left corner at (left, top) of g_dialogRect, same size, shown, top of the z-order.
  void PlaceAtSavedPosition();

  // Labels drawn onto the picture (control ids; -1 stands for the unnumbered labels).
  void SetTransparentLabels(std::set<int> ids) { transparentLabels_ = std::move(ids); }
  // The version query and update dialogs also save their position after every completed move.
  void SetSaveOnMove(bool save) { saveOnMove_ = save; }

  // CWnd
  gui::LRESULT WindowProc(gui::UINT message, gui::WPARAM wParam, gui::LPARAM lParam) override;
  bool OnPaint(gui::CDC& dc) override;
  void OnMoving(gui::UINT edge, gui::CRect* proposed) override;
  void OnMove(int x, int y) override;
  gui::HBRUSH OnCtlColor(gui::CDC& dc, gui::CWnd* control, gui::UINT ctlColor) override;

 private:
  void SaveDialogRect();

  std::set<int> transparentLabels_;
  bool saveOnMove_ = false;
};

// Command id of the system-menu item; nothing handles it.
constexpr gui::UINT kAboutMenuCommand = 16;
// String resource of that item and the program's icon and progress pattern.
constexpr int kAboutMenuStringId = 101;
constexpr int kProgressPatternBitmapId = 148;
