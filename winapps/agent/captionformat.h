// The caption text format shared by the caption screen and the font
// configuration's preview: face and size from the caption screen settings'
// indexes (kept inside their tables), text colour, not bold, not underlined.
#pragma once

#include <QColor>
#include <QTextCharFormat>
#include <cstdint>

// Format for a face index, a size index and a 0x00BBGGRR text colour.
// A face name ending in " Bold", " Italic" or " Bold Italic" is taken as that
// style of its family, so that the choice shows on systems whose fonts are
// named by family.
QTextCharFormat captionTextFormat(int faceIndex, int sizeIndex, uint32_t textBgr);

// The colour to draw caption text in on a background (both 0x00BBGGRR): the
// text colour itself, or, when it equals the background (the text would be
// invisible), black on a light background and white on a dark one. The
// stored settings are not changed.
uint32_t readableTextColor(uint32_t textBgr, uint32_t backgroundBgr);

// Family and style of a face name of the face list.
struct CaptionFace {
    QString family;
    bool bold = false;
    bool italic = false;
};
CaptionFace captionFaceOf(const QString& faceName);

class QTextEdit;
// Gives a text edit a solid background colour (0x00BBGGRR).
void setEditBackground(QTextEdit* edit, uint32_t bgr);
QColor editBackground(const QTextEdit* edit);

// Reads ScreenColorBg, ScreenColorFg, ScreenFontSizeIdx and ScreenFFontNameIdx
// from the settings store into the console context's copies.
void loadCaptionSettingsIntoContext();
