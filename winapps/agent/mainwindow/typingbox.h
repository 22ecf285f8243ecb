// The caption typing box: a multi-line plain-text edit. Enter never reaches
// it (the main window turns Enter into Tx Data); pasted text stays plain.
#pragma once

#include <QPlainTextEdit>

class TypingBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TypingBox(QWidget* parent = nullptr) : QPlainTextEdit(parent)
    {
        setTabChangesFocus(true);
        setLineWrapMode(QPlainTextEdit::WidgetWidth);
        setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    }
    QString text() const { return toPlainText(); }
};
