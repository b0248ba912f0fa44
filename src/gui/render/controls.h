// The standard controls as the classic Windows look draws them, onto a canvas.
#pragma once

#include <string>

#include "gui/render/canvas.h"

namespace gui::render {

// System colours of the classic look.
inline constexpr Rgb kButtonFace{240, 240, 240};
inline constexpr Rgb kWindowText{0, 0, 0};
inline constexpr Rgb kWindow{255, 255, 255};
inline constexpr Rgb kGrayText{109, 109, 109};
inline constexpr Rgb kHighlight3d{255, 255, 255};
inline constexpr Rgb kLight3d{227, 227, 227};
inline constexpr Rgb kShadow3d{160, 160, 160};
inline constexpr Rgb kDarkShadow3d{105, 105, 105};
inline constexpr Rgb kWindowFrame{100, 100, 100};
inline constexpr Rgb kProgressFill{6, 176, 37};

// The text of a control without the ampersand that marks its access key ("&&" stays one "&").
std::string StripAccessKey(const std::string& text);

void DrawPushButton(Canvas& canvas, const PixelRect& rect, const std::string& text, bool isDefault, bool pressed,
                    bool enabled);
// A check box with its text at the right; the text background is the dialog face unless transparent.
void DrawCheckBox(Canvas& canvas, const PixelRect& rect, const std::string& text, bool checked, bool enabled,
                  const TextStyle& textStyle);
// A single-line edit field with a sunken border when bordered.
void DrawEdit(Canvas& canvas, const PixelRect& rect, const std::string& text, bool bordered, bool enabled);
// A label: its background filled unless transparent, its text wrapped at its width.
void DrawLabel(Canvas& canvas, const PixelRect& rect, const std::string& text, const TextStyle& style);
// The standard progress bar's own look (a dialog that paints its bar itself draws over this).
void DrawStandardProgress(Canvas& canvas, const PixelRect& client, int lower, int upper, int position);
// The one-pixel border of a control with the border style; returns the client rectangle inside it.
PixelRect DrawBorder(Canvas& canvas, const PixelRect& rect);

}  // namespace gui::render
