// DlgProgress: a borderless popup with one line of text that closes and
// destroys itself when its lifetime (window timer 101) has passed.
#pragma once

#include "quillondialog.h"

class QLabel;

class DlgProgress : public QuillonDialog {
    Q_OBJECT
public:
    enum { IDD = 130, IDC_TEXT = 1030, IDT_LIFETIME = 101 };

    // Creates the popup modeless over parent, shows it at once and starts
    // its lifetime. The popup deletes itself when it closes.
    static DlgProgress* ShowProgress(QWidget* parent, const QString& text, int lifetimeMs);

    DlgProgress(QWidget* parent, const QString& text, int lifetimeMs);

    QString text() const { return text_; }
    int lifetimeMs() const { return lifetimeMs_; }

protected:
    void onWindowTimer(int id) override;
    void showEvent(QShowEvent* event) override;

private:
    QString text_;
    int lifetimeMs_;
};
