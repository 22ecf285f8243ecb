#include "qcolors.h"

namespace qcolors {

QColor fromBgr(uint32_t bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

uint32_t toBgr(const QColor& color)
{
    return uint32_t(color.red()) | (uint32_t(color.green()) << 8) | (uint32_t(color.blue()) << 16);
}

QColor fromRgb(uint32_t rgb)
{
    return QColor(int((rgb >> 16) & 0xFF), int((rgb >> 8) & 0xFF), int(rgb & 0xFF));
}

uint32_t toRgb(const QColor& color)
{
    return (uint32_t(color.red()) << 16) | (uint32_t(color.green()) << 8) | uint32_t(color.blue());
}

QColor fromHex(const QString& text)
{
    if (text.size() != 7 || text[0] != u'#')
        return QColor();
    bool ok = false;
    const uint value = text.mid(1).toUInt(&ok, 16);
    return ok ? fromRgb(value) : QColor();
}

QString toHex(const QColor& color)
{
    return QStringLiteral("#%1").arg(toRgb(color), 6, 16, QLatin1Char('0')).toUpper();
}

uint32_t bgrFromRgb(uint32_t rgb)
{
    return toBgr(fromRgb(rgb));
}

uint32_t rgbFromBgr(uint32_t bgr)
{
    return toRgb(fromBgr(bgr));
}

QColor inverted(const QColor& color)
{
    return QColor(color.red() ^ 0xFF, color.green() ^ 0xFF, color.blue() ^ 0xFF);
}

}  // namespace qcolors
