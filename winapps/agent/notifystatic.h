// A small static text that tells its owner about clicks and double-clicks
// (the "notifying" statics of the dialog templates).
#pragma once

#include <QLabel>

class NotifyStatic : public QLabel {
    Q_OBJECT
public:
    explicit NotifyStatic(const QString& text, QWidget* parent = nullptr);

signals:
    void clicked();
    void doubleClicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
