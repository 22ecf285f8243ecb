// CColorStaticST: a static text whose text colour and background can each
// blink between two colours. The owner sets the colours and switches and
// starts the blink timer with the period it wants; at every tick the
// enabled phases flip and, when a notify window is set, the notify message
// (a ConsoleEvent, 1024 by default) is posted to it at every "on" phase
// with the control's id as the first parameter.
#pragma once

#include "windowtimers.h"

#include <QColor>
#include <QLabel>
#include <QPointer>

class CColorStaticST : public QLabel {
    Q_OBJECT
public:
    explicit CColorStaticST(QWidget* parent = nullptr);
    explicit CColorStaticST(const QString& text, QWidget* parent = nullptr);
    ~CColorStaticST() override;

    void SetTextColor(const QColor& color);
    void SetTextBlinkColors(const QColor& phase0, const QColor& phase1);
    void EnableTextBlink(bool on);
    void SetBkColor(const QColor& color);
    void SetBkBlinkColors(const QColor& phase0, const QColor& phase1);
    void EnableBkBlink(bool on);
    // Parent to notify at "on" phases (nullptr: none) and the message number.
    void SetBlinkNotify(QObject* window, int message = 1024);

    // Starts (or restarts) the blink timer under id with the given period.
    void StartBlinkTimer(int id, int periodMs);
    void StopBlinkTimer();
    int BlinkTimerId() const { return blinkTimerId_; }

    // What the control paints with now.
    QColor currentTextColor() const;
    QColor currentBkColor() const;
    int textPhase() const { return textPhase_; }
    int bkPhase() const { return bkPhase_; }
    bool textBlinkOn() const { return textBlinkOn_; }
    bool bkBlinkOn() const { return bkBlinkOn_; }

    // One tick of the blink timer (the timer calls it; public for owners
    // that drive the blinking from a timer of their own).
    void OnBlinkTimer();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void init();
    void applyColors();
    void onTimer(int id);

    int blinkTimerId_ = 0;
    QColor textColor_;
    QColor textBlink_[2];
    bool textBlinkOn_ = false;
    int textPhase_ = 0;
    QColor bkColor_;
    QColor bkBlink_[2];
    bool bkBlinkOn_ = false;
    int bkPhase_ = 0;
    QPointer<QObject> notifyWindow_;
    int notifyMessage_ = 1024;
    WindowTimers timers_;
};
