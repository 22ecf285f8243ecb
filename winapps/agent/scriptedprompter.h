// Test double of the prompter: answers questions from a queue and records
// every text it was given, in order. It never blocks.
#pragma once

#include "prompter.h"

#include <QStringList>
#include <deque>

class ScriptedPrompter : public Prompter {
public:
    struct Entry {
        bool question;      // false: inform(), true: ask()
        QString text;
    };

    // Installs itself as the prompter for its lifetime.
    ScriptedPrompter();
    ~ScriptedPrompter() override;

    // Answer for the next question; without one the question's default
    // button is answered.
    void queueAnswer(QMessageBox::StandardButton answer) { answers_.push_back(answer); }

    void inform(QWidget* parent, const QString& text) override;
    QMessageBox::StandardButton ask(QWidget* parent, const QString& text,
                                    QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton) override;

    const std::deque<Entry>& entries() const { return entries_; }
    QStringList texts() const;
    void clear() { entries_.clear(); answers_.clear(); }

private:
    std::deque<QMessageBox::StandardButton> answers_;
    std::deque<Entry> entries_;
};
