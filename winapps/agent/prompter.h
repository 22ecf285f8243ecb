// Message boxes and questions of the console windows go through one
// prompter. The product shows a QMessageBox with plain text only (server
// text can never be interpreted as markup); tests install a scripted fake.
#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

class Prompter {
public:
    virtual ~Prompter();
    // A message with an OK button.
    virtual void inform(QWidget* parent, const QString& text) = 0;
    // A question with the given buttons; returns the button chosen.
    virtual QMessageBox::StandardButton ask(QWidget* parent, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton) = 0;

    // "Yes" / "No" question; true only for Yes.
    bool askYesNo(QWidget* parent, const QString& text);
};

// The modal QMessageBox prompter of the product.
class QtPrompter : public Prompter {
public:
    void inform(QWidget* parent, const QString& text) override;
    QMessageBox::StandardButton ask(QWidget* parent, const QString& text,
                                    QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton) override;
};

// The prompter in use: the one installed, else the QtPrompter.
Prompter& prompter();
// Installs p (not owned); nullptr returns to the QtPrompter.
void setPrompter(Prompter* p);

// Title of the console's message boxes.
QString promptTitle();
