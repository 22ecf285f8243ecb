#include "scriptedprompter.h"

ScriptedPrompter::ScriptedPrompter()
{
    setPrompter(this);
}

ScriptedPrompter::~ScriptedPrompter()
{
    setPrompter(nullptr);
}

void ScriptedPrompter::inform(QWidget*, const QString& text)
{
    entries_.push_back({false, text});
}

QMessageBox::StandardButton ScriptedPrompter::ask(QWidget*, const QString& text,
                                                  QMessageBox::StandardButtons,
                                                  QMessageBox::StandardButton defaultButton)
{
    entries_.push_back({true, text});
    if (answers_.empty())
        return defaultButton;
    const QMessageBox::StandardButton answer = answers_.front();
    answers_.pop_front();
    return answer;
}

QStringList ScriptedPrompter::texts() const
{
    QStringList list;
    for (const Entry& e : entries_)
        list << e.text;
    return list;
}
