#include "ccolorstaticst.h"

#include "consoleevent.h"
#include "controlregistry.h"

#include <QPainter>

CColorStaticST::CColorStaticST(QWidget* parent)
    : QLabel(parent), timers_(this, [this](int id) { onTimer(id); })
{
    init();
}

CColorStaticST::CColorStaticST(const QString& text, QWidget* parent)
    : QLabel(text, parent), timers_(this, [this](int id) { onTimer(id); })
{
    init();
}

CColorStaticST::~CColorStaticST()
{
    StopBlinkTimer();
}

void CColorStaticST::init()
{
    // Texts can come from the server: never interpret them as markup.
    setTextFormat(Qt::PlainText);
    const QColor text = palette().color(QPalette::ButtonText);
    const QColor face = palette().color(QPalette::Button);
    textColor_ = textBlink_[0] = textBlink_[1] = text;
    bkColor_ = bkBlink_[0] = bkBlink_[1] = face;
    applyColors();
}

void CColorStaticST::SetTextColor(const QColor& color)
{
    textColor_ = color;
    applyColors();
}

void CColorStaticST::SetTextBlinkColors(const QColor& phase0, const QColor& phase1)
{
    textBlink_[0] = phase0;
    textBlink_[1] = phase1;
    applyColors();
}

void CColorStaticST::EnableTextBlink(bool on)
{
    textBlinkOn_ = on;
    applyColors();
}

void CColorStaticST::SetBkColor(const QColor& color)
{
    bkColor_ = color;
    applyColors();
}

void CColorStaticST::SetBkBlinkColors(const QColor& phase0, const QColor& phase1)
{
    bkBlink_[0] = phase0;
    bkBlink_[1] = phase1;
    applyColors();
}

void CColorStaticST::EnableBkBlink(bool on)
{
    bkBlinkOn_ = on;
    applyColors();
}

void CColorStaticST::SetBlinkNotify(QObject* window, int message)
{
    notifyWindow_ = window;
    notifyMessage_ = message;
}

void CColorStaticST::StartBlinkTimer(int id, int periodMs)
{
    if (blinkTimerId_ != 0 && blinkTimerId_ != id)
        timers_.stop(blinkTimerId_);
    blinkTimerId_ = id;
    timers_.start(id, periodMs);
}

void CColorStaticST::StopBlinkTimer()
{
    if (blinkTimerId_ != 0)
        timers_.stop(blinkTimerId_);
    blinkTimerId_ = 0;
}

QColor CColorStaticST::currentTextColor() const
{
    return textBlinkOn_ ? textBlink_[textPhase_ & 1] : textColor_;
}

QColor CColorStaticST::currentBkColor() const
{
    return bkBlinkOn_ ? bkBlink_[bkPhase_ & 1] : bkColor_;
}

void CColorStaticST::onTimer(int id)
{
    if (id == blinkTimerId_)
        OnBlinkTimer();
}

void CColorStaticST::OnBlinkTimer()
{
    if (textBlinkOn_)
        textPhase_ ^= 1;
    if (bkBlinkOn_)
        bkPhase_ ^= 1;
    if (!textBlinkOn_ && !bkBlinkOn_)
        return;
    applyColors();
    if (notifyWindow_ && (textPhase_ == 1 || bkPhase_ == 1))
        postConsoleEvent(notifyWindow_, notifyMessage_, uintptr_t(controlIdOf(this)), 0);
}

void CColorStaticST::applyColors()
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, currentTextColor());
    pal.setColor(QPalette::Text, currentTextColor());
    setPalette(pal);
    update();
}

void CColorStaticST::paintEvent(QPaintEvent* event)
{
    {
        QPainter painter(this);
        painter.fillRect(rect(), currentBkColor());
    }
    QLabel::paintEvent(event);
}
