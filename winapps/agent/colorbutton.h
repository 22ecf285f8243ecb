// ColorButton: an owner-drawn push button with a settable face colour and
// text colour (the main window's Answer, Request and w/ hold buttons). Its
// caption stays its accessible name, so screen readers and UI scripts find it.
#pragma once

#include <QColor>
#include <QPushButton>

class ColorButton : public QPushButton {
    Q_OBJECT
public:
    explicit ColorButton(const QString& text, QWidget* parent = nullptr);

    void SetFaceColor(const QColor& face);
    void SetTextColor(const QColor& text);
    QColor faceColor() const { return face_; }
    QColor textColor() const { return text_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor face_{0xF0, 0xF0, 0xF0};
    QColor text_{0x01, 0x01, 0x01};
};
