#include "gui/templates.h"

#include <algorithm>

namespace gui {
namespace {

constexpr uint32_t kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
constexpr uint32_t kChild = WS_CHILD | WS_VISIBLE;
constexpr uint32_t kPush = kChild | WS_TABSTOP | BS_PUSHBUTTON;
constexpr uint32_t kDefPush = kChild | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr uint32_t kCheck = kChild | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr uint32_t kLabel = kChild | SS_LEFT;
constexpr uint32_t kEditField = kChild | WS_TABSTOP | WS_BORDER | ES_LEFT | ES_AUTOHSCROLL;
constexpr uint32_t kBar = kChild | WS_BORDER;

constexpr ControlClass B = ControlClass::kButton;
constexpr ControlClass S = ControlClass::kStatic;
constexpr ControlClass E = ControlClass::kEdit;
constexpr ControlClass P = ControlClass::kProgress;

std::vector<DialogTemplate> MakeTemplates() {
  const std::string font = "MS Shell Dlg";
  const std::string caption = "Downloader";
  std::vector<DialogTemplate> t;

  // The version query.
  t.push_back({130, kDialogStyle | WS_MINIMIZEBOX, caption, font, 8, 395, 220,
               {
                   {2, B, "取消", kPush, 312, 185, 55, 15},
                   {1029, S, "正在获取版本信息...", kLabel, 20, 191, 190, 10},
                   {1030, B, "重试", kPush, 249, 185, 55, 15},
               }});

  // The install dialog.
  t.push_back({132, kDialogStyle | WS_MINIMIZEBOX, caption, font, 8, 395, 220,
               {
                   {1, B, "安装", kDefPush, 242, 190, 55, 15},
                   {2, B, "取消", kPush, 321, 190, 55, 15},
               }});

  // The options dialog.
  t.push_back({134, kDialogStyle | WS_MINIMIZEBOX, caption, font, 8, 395, 220,
               {
                   {1, B, "下一步", kDefPush, 240, 192, 55, 15},
                   {2, B, "取消", kPush, 326, 192, 55, 15},
                   {1011, B, "后退", kPush, 14, 192, 55, 15},
                   {1013, S, "Static", kLabel, 52, 26, 285, 8},
                   {1014, B, "快速启动栏", kCheck, 242, 47, 56, 10},
                   {1015, B, "我的开始菜单程序文件夹", kCheck, 78, 44, 104, 10},
                   {1016, B, "我的桌面", kCheck, 78, 61, 48, 10},
                   {1031, B, "是否增加开机启动", kCheck, 78, 79, 80, 10},
                   {IDC_STATIC, S, "目标文件夹", kLabel, 52, 119, 48, 8},
                   {1017, E, "", kEditField, 78, 136, 197, 14},
                   {1018, B, "浏览..", kPush, 279, 135, 43, 14},
               }});

  // The progress dialog.
  t.push_back({135, kDialogStyle | WS_MINIMIZEBOX, caption, font, 8, 395, 220,
               {
                   {2, B, "取消", kPush, 325, 190, 50, 14},
                   {1020, S, "正在下载", kLabel, 45, 116, 147, 8},
                   {IDC_STATIC, S, "当前进度", kLabel, 45, 134, 33, 8},
                   {IDC_STATIC, S, "总体进度", kLabel, 45, 158, 33, 8},
                   {1021, P, "", kBar, 85, 134, 212, 10},
                   {1022, P, "", kBar, 85, 158, 212, 10},
                   {1023, S, "0%", kLabel, 305, 134, 40, 8},
                   {1024, S, "0%", kLabel, 305, 159, 35, 8},
               }});

  // The update dialog: no minimise box.
  t.push_back({139, kDialogStyle, caption, font, 8, 296, 138,
               {
                   {1, B, "确定", kDefPush, 159, 103, 55, 15},
                   {2, B, "取消", kPush, 227, 103, 55, 15},
               }});
  return t;
}

}  // namespace

const std::vector<DialogTemplate>& AllDialogTemplates() {
  static const std::vector<DialogTemplate>* templates = new std::vector<DialogTemplate>(MakeTemplates());
  return *templates;
}

const DialogTemplate* FindDialogTemplate(UINT id) {
  const auto& all = AllDialogTemplates();
  auto it = std::find_if(all.begin(), all.end(), [&](const DialogTemplate& t) { return t.id == id; });
  return it == all.end() ? nullptr : &*it;
}

CRect DialogUnitsToPixels(int x, int y, int cx, int cy) {
  int left = DialogUnitsToPixelsX(x);
  int top = DialogUnitsToPixelsY(y);
  return CRect(left, top, left + DialogUnitsToPixelsX(cx), top + DialogUnitsToPixelsY(cy));
}

}  // namespace gui
