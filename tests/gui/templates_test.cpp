// The dialog templates against the program's tables, and dialog units to pixels.
#include <gtest/gtest.h>

#include <set>

#include "gui/templates.h"

namespace gui {
namespace {

const ControlTemplate* Find(const DialogTemplate& t, int id, const std::string& text = "") {
  for (const auto& c : t.controls) {
    if (c.id == id && (text.empty() || c.text == text)) return &c;
  }
  return nullptr;
}

TEST(TemplatesTest, SpotChecksOfControls) {
  struct Case {
    UINT dialog;
    int id;
    const char* text;
    ControlClass cls;
    uint32_t typeBits;  // BS_*, ES_AUTOHSCROLL, WS_BORDER that must be present
    int x, y, cx, cy;
  };
  const Case cases[] = {
      {130, 2, "取消", ControlClass::kButton, BS_PUSHBUTTON, 312, 185, 55, 15},
      {130, 1029, "正在获取版本信息...", ControlClass::kStatic, 0, 20, 191, 190, 10},
      {130, 1030, "重试", ControlClass::kButton, BS_PUSHBUTTON, 249, 185, 55, 15},
      {132, 1, "安装", ControlClass::kButton, BS_DEFPUSHBUTTON, 242, 190, 55, 15},
      {134, 1, "下一步", ControlClass::kButton, BS_DEFPUSHBUTTON, 240, 192, 55, 15},
      {134, 1013, "Static", ControlClass::kStatic, 0, 52, 26, 285, 8},
      {134, 1015, "我的开始菜单程序文件夹", ControlClass::kButton, BS_AUTOCHECKBOX, 78, 44, 104, 10},
      {134, 1031, "是否增加开机启动", ControlClass::kButton, BS_AUTOCHECKBOX, 78, 79, 80, 10},
      {134, IDC_STATIC, "目标文件夹", ControlClass::kStatic, 0, 52, 119, 48, 8},
      {134, 1017, "", ControlClass::kEdit, WS_BORDER | ES_AUTOHSCROLL, 78, 136, 197, 14},
      {134, 1018, "浏览..", ControlClass::kButton, BS_PUSHBUTTON, 279, 135, 43, 14},
      {135, 2, "取消", ControlClass::kButton, BS_PUSHBUTTON, 325, 190, 50, 14},
      {135, IDC_STATIC, "总体进度", ControlClass::kStatic, 0, 45, 158, 33, 8},
      {135, 1022, "", ControlClass::kProgress, WS_BORDER, 85, 158, 212, 10},
      {135, 1024, "0%", ControlClass::kStatic, 0, 305, 159, 35, 8},
      {139, 1, "确定", ControlClass::kButton, BS_DEFPUSHBUTTON, 159, 103, 55, 15},
      {139, 2, "取消", ControlClass::kButton, BS_PUSHBUTTON, 227, 103, 55, 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dialog) + "/" + std::to_string(c.id) + " " + c.text);
    const DialogTemplate* t = FindDialogTemplate(c.dialog);
    ASSERT_NE(t, nullptr);
    const ControlTemplate* ctl = Find(*t, c.id, c.id == IDC_STATIC ? c.text : "");
    ASSERT_NE(ctl, nullptr);
    EXPECT_EQ(ctl->text, c.text);
    EXPECT_EQ(ctl->cls, c.cls);
    if (c.cls == ControlClass::kButton) {
      EXPECT_EQ(ctl->style & BS_TYPEMASK, c.typeBits);
    } else {
      EXPECT_EQ(ctl->style & c.typeBits, c.typeBits);
    }
    EXPECT_EQ(ctl->style & (WS_CHILD | WS_VISIBLE), WS_CHILD | WS_VISIBLE);
    EXPECT_EQ(ctl->x, c.x);
    EXPECT_EQ(ctl->y, c.y);
    EXPECT_EQ(ctl->cx, c.cx);
    EXPECT_EQ(ctl->cy, c.cy);
  }
}

TEST(TemplatesTest, FramesOfTheFiveDialogs) {
  struct Case {
    UINT id;
    int cx, cy;
    size_t controls;
    bool minimizeBox;
  };
  const Case cases[] = {
      {130, 395, 220, 3, true}, {132, 395, 220, 2, true}, {134, 395, 220, 11, true},
      {135, 395, 220, 8, true}, {139, 296, 138, 2, false},
  };
  ASSERT_EQ(AllDialogTemplates().size(), 5u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const DialogTemplate* t = FindDialogTemplate(c.id);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->cx, c.cx);
    EXPECT_EQ(t->cy, c.cy);
    EXPECT_EQ(t->controls.size(), c.controls);
    EXPECT_EQ((t->style & WS_MINIMIZEBOX) != 0, c.minimizeBox);
    uint32_t frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    EXPECT_EQ(t->style & frame, frame);
    EXPECT_EQ(t->font, "MS Shell Dlg");
    EXPECT_EQ(t->pointSize, 8);
    std::set<int> ids;
    for (const auto& ctl : t->controls) {
      if (ctl.id != IDC_STATIC) {
        EXPECT_TRUE(ids.insert(ctl.id).second) << "duplicate id " << ctl.id;
      }
    }
  }
  EXPECT_EQ(FindDialogTemplate(131), nullptr);
}

TEST(TemplatesTest, DialogUnitsBecomePixelsWithBaseUnitsSixAndThirteen) {
  // x * 6 / 4 and y * 13 / 8, rounded to the nearest pixel as MulDiv rounds.
  EXPECT_EQ(DialogUnitsToPixels(0, 0, 395, 220), CRect(0, 0, 593, 358));
  EXPECT_EQ(DialogUnitsToPixels(85, 134, 212, 10), CRect(128, 218, 128 + 318, 218 + 16));
  EXPECT_EQ(DialogUnitsToPixels(0, 0, 296, 138), CRect(0, 0, 444, 224));
  EXPECT_EQ(MulDiv(5, 3, 2), 8);    // 7.5 rounds away from zero
  EXPECT_EQ(MulDiv(-5, 3, 2), -8);
  EXPECT_EQ(MulDiv(7, 1, 3), 2);
  EXPECT_EQ(MulDiv(1, 1, 0), -1);
}

}  // namespace
}  // namespace gui
