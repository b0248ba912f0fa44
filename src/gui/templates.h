// The program's dialog templates: every control with its id, class, text, style and position in dialog
// units, as the resource compiler would store them.
#pragma once

#include <string>
#include <vector>

#include "gui/types.h"

namespace gui {

enum class ControlClass {
  kButton,    // push buttons and check boxes (BS_* in the style)
  kStatic,    // labels
  kEdit,      // single-line edit field
  kProgress,  // progress bar
};

struct ControlTemplate {
  int id;
  ControlClass cls;
  std::string text;
  uint32_t style;  // WS_CHILD | WS_VISIBLE | ... plus the class's own style bits
  int x, y, cx, cy;  // dialog units
};

struct DialogTemplate {
  UINT id;
  uint32_t style;
  std::string caption;  // replaced at run time by every dialog of the program
  std::string font;
  int pointSize;
  int cx, cy;  // dialog units
  std::vector<ControlTemplate> controls;
};

// The template with that resource id; nullptr for an id the program does not have.
const DialogTemplate* FindDialogTemplate(UINT id);
// All templates, in resource id order.
const std::vector<DialogTemplate>& AllDialogTemplates();

// A rectangle in dialog units as pixels (base units 6 and 13).
CRect DialogUnitsToPixels(int x, int y, int cx, int cy);

}  // namespace gui
