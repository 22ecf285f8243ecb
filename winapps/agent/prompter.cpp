#include "prompter.h"

#include <QWidget>

Prompter::~Prompter() = default;

bool Prompter::askYesNo(QWidget* parent, const QString& text)
{
    return ask(parent, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

QString promptTitle()
{
    return QStringLiteral("QuillonAgent");
}

static QMessageBox::StandardButton runBox(QWidget* parent, QMessageBox::Icon icon,
                                          const QString& text,
                                          QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, promptTitle(), text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(defaultButton);
    // The console is always on top; its message boxes must not hide behind it.
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    return QMessageBox::StandardButton(box.exec());
}

void QtPrompter::inform(QWidget* parent, const QString& text)
{
    runBox(parent, QMessageBox::Warning, text, QMessageBox::Ok, QMessageBox::Ok);
}

QMessageBox::StandardButton QtPrompter::ask(QWidget* parent, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton)
{
    return runBox(parent, QMessageBox::Question, text, buttons, defaultButton);
}

static Prompter* g_installed = nullptr;

Prompter& prompter()
{
    static QtPrompter product;
    return g_installed ? *g_installed : product;
}

void setPrompter(Prompter* p)
{
    g_installed = p;
}
