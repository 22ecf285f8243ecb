// Where a window goes when its position comes from the settings store: the
// stored values are untrusted and screens come and go, so a window that would
// lie entirely off every available screen is placed on the primary screen.
#pragma once

#include <QPoint>
#include <QSize>

// The top-left corner to use for a window of size whose stored top-left is
// stored: stored itself when the window would overlap the available area of
// some screen, otherwise a corner that centres it on the primary screen's
// available area (its top-left kept inside that area).
QPoint placeOnSomeScreen(QPoint stored, QSize size);
