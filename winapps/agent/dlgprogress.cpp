#include "dlgprogress.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

DlgProgress* DlgProgress::ShowProgress(QWidget* parent, const QString& text, int lifetimeMs)
{
    auto* popup = new DlgProgress(parent, text, lifetimeMs);
    popup->show();
    return popup;
}

DlgProgress::DlgProgress(QWidget* parent, const QString& text, int lifetimeMs)
    : QuillonDialog(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      text_(text),
      lifetimeMs_(lifetimeMs)
{
    setTemplateId(IDD);
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setModal(false);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* frame = new QFrame(this);
    frame->setFrameShape(QFrame::Box);
    frame->setFrameShadow(QFrame::Plain);
    frame->setLineWidth(1);
    outer->addWidget(frame);

    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(18, 14, 18, 14);
    auto* label = new QLabel(text, frame);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignCenter);
    registerControl(IDC_TEXT, label);
    layout->addWidget(label);

    // The template's two buttons exist but are never shown.
    auto* ok = new QPushButton(QStringLiteral("OK"), frame);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), frame);
    ok->hide();
    cancel->hide();
    registerControl(1, ok);
    registerControl(2, cancel);

    setMinimumWidth(260);
    adjustSize();
    startWindowTimer(IDT_LIFETIME, lifetimeMs);
}

void DlgProgress::showEvent(QShowEvent* event)
{
    QuillonDialog::showEvent(event);
    if (QWidget* p = parentWidget()) {
        const QRect pr = p->frameGeometry();
        move(pr.center() - rect().center());
    }
}

void DlgProgress::onWindowTimer(int id)
{
    if (id != IDT_LIFETIME)
        return;
    stopWindowTimer(IDT_LIFETIME);
    close();
}
