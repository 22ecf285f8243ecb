#include "captionformat.h"

#include "concontext.h"
#include "qcolors.h"
#include "settingsstore.h"

#include <QTextEdit>

CaptionFace captionFaceOf(const QString& faceName)
{
    CaptionFace face;
    QString family = faceName;
    if (family.endsWith(QLatin1String(" Bold Italic"))) {
        family.chop(12);
        face.bold = face.italic = true;
    } else if (family.endsWith(QLatin1String(" Bold"))) {
        family.chop(5);
        face.bold = true;
    } else if (family.endsWith(QLatin1String(" Italic"))) {
        family.chop(7);
        face.italic = true;
    }
    face.family = family;
    return face;
}

uint32_t readableTextColor(uint32_t textBgr, uint32_t backgroundBgr)
{
    if ((textBgr & 0xFFFFFF) != (backgroundBgr & 0xFFFFFF))
        return textBgr;
    const unsigned r = backgroundBgr & 0xFF;
    const unsigned g = (backgroundBgr >> 8) & 0xFF;
    const unsigned b = (backgroundBgr >> 16) & 0xFF;
    // Perceived brightness (ITU-R BT.601 weights), 0..255000.
    const unsigned brightness = 299 * r + 587 * g + 114 * b;
    return brightness >= 128000 ? 0x000000u : 0xFFFFFFu;
}

QTextCharFormat captionTextFormat(int faceIndex, int sizeIndex, uint32_t textBgr)
{
    const QString name = settings::faceNames().at(settings::safeFaceIndex(faceIndex));
    const CaptionFace face = captionFaceOf(name);
    QTextCharFormat format;
    format.setFontFamilies(QStringList{face.family});
    // Fonts of the original platform are often missing here: fall back by kind.
    if (face.family == QLatin1String("MS Gothic") || face.family == QLatin1String("SimSun"))
        format.setFontStyleHint(QFont::TypeWriter);
    else if (face.family.startsWith(QLatin1String("Palatino")) ||
             face.family.startsWith(QLatin1String("Times")) ||
             face.family == QLatin1String("Sylfaen"))
        format.setFontStyleHint(QFont::Serif);
    else
        format.setFontStyleHint(QFont::SansSerif);
    format.setFontPointSize(settings::pointSizeOfIndex(sizeIndex));
    format.setFontWeight(face.bold ? QFont::Bold : QFont::Normal);
    format.setFontItalic(face.italic);
    format.setFontUnderline(false);
    format.setForeground(qcolors::fromBgr(textBgr));
    return format;
}

void setEditBackground(QTextEdit* edit, uint32_t bgr)
{
    QPalette pal = edit->palette();
    const QColor color = qcolors::fromBgr(bgr);
    pal.setColor(QPalette::Active, QPalette::Base, color);
    pal.setColor(QPalette::Inactive, QPalette::Base, color);
    pal.setColor(QPalette::Disabled, QPalette::Base, color);
    edit->setPalette(pal);
    edit->viewport()->setAutoFillBackground(true);
}

QColor editBackground(const QTextEdit* edit)
{
    return edit->palette().color(QPalette::Active, QPalette::Base);
}

void loadCaptionSettingsIntoContext()
{
    using namespace settings;
    ConsoleContext& c = conContext();
    c.ScreenColorBg = readInt(kSettings, kScreenColorBg, int(kDefScreenColorBg));
    c.ScreenColorFg = readInt(kSettings, kScreenColorFg, int(kDefScreenColorFg));
    c.ScreenFontSizeIdx = readInt(kSettings, kScreenFontSizeIdx, kDefScreenFontSizeIdx);
    c.ScreenFFontNameIdx = readInt(kSettings, kScreenFFontNameIdx, kDefScreenFFontNameIdx);
}
