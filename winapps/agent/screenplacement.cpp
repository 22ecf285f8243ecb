#include "screenplacement.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <algorithm>
#include <cstdint>

namespace {

// Overlap test in 64 bits: stored values may be near the int limits.
bool overlaps(const QRect& area, QPoint topLeft, QSize size)
{
    const int64_t left = topLeft.x();
    const int64_t top = topLeft.y();
    const int64_t right = left + std::max(size.width(), 1);    // exclusive
    const int64_t bottom = top + std::max(size.height(), 1);
    const int64_t aLeft = area.x();
    const int64_t aTop = area.y();
    const int64_t aRight = aLeft + area.width();
    const int64_t aBottom = aTop + area.height();
    return left < aRight && right > aLeft && top < aBottom && bottom > aTop;
}

}  // namespace

QPoint placeOnSomeScreen(QPoint stored, QSize size)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (const QScreen* screen : screens)
        if (overlaps(screen->availableGeometry(), stored, size))
            return stored;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr)
        return stored;
    const QRect area = primary->availableGeometry();
    return QPoint(area.x() + std::max(0, (area.width() - size.width()) / 2),
                  area.y() + std::max(0, (area.height() - size.height()) / 2));
}
