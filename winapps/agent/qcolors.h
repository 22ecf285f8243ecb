// Colour conversions of the console windows, all in one place.
//
// Three forms meet here: the #RRGGBB notation the window code uses for its
// fixed colours, the 32-bit 0x00BBGGRR values the settings store keeps, and
// QColor, which the widgets paint with.
#pragma once

#include <QColor>
#include <QString>
#include <cstdint>

namespace qcolors {

// 0x00BBGGRR (settings store) -> QColor. The top byte is ignored.
QColor fromBgr(uint32_t bgr);
// QColor -> 0x00BBGGRR.
uint32_t toBgr(const QColor& color);

// 0xRRGGBB (the numeric form of #RRGGBB) -> QColor.
QColor fromRgb(uint32_t rgb);
uint32_t toRgb(const QColor& color);

// "#RRGGBB" text -> QColor; an invalid text gives an invalid QColor.
QColor fromHex(const QString& text);
// QColor -> "#RRGGBB" (upper case).
QString toHex(const QColor& color);

// Between the two numeric forms.
uint32_t bgrFromRgb(uint32_t rgb);
uint32_t rgbFromBgr(uint32_t bgr);

// Each of the three colour bytes XOR 0xFF (selected lines of a colour list).
QColor inverted(const QColor& color);

}  // namespace qcolors
