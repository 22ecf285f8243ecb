#include "colorbutton.h"

#include <QPainter>
#include <QStyleOptionButton>

ColorButton::ColorButton(const QString& text, QWidget* parent) : QPushButton(text, parent)
{
    setAutoDefault(false);
}

void ColorButton::SetFaceColor(const QColor& face)
{
    if (face_ == face)
        return;
    face_ = face;
    update();
}

void ColorButton::SetTextColor(const QColor& text)
{
    if (text_ == text)
        return;
    text_ = text;
    update();
}

void ColorButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect r = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(r, face_);
    // A raised frame, pressed while the mouse holds it down.
    const QColor light = face_.lighter(150);
    const QColor dark = face_.darker(160);
    const bool down = isDown();
    painter.setPen(down ? dark : light);
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(down ? light : dark);
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
    // A disabled colour button keeps the colours the window gave it.
    painter.setPen(text_);
    painter.setFont(font());
    painter.drawText(r.adjusted(2, 1, -2, -1), Qt::AlignCenter, text());
    if (hasFocus()) {
        QPen pen(text_ == face_ ? Qt::black : text_);
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.drawRect(r.adjusted(3, 3, -3, -3));
    }
}
