// Base of the console's dialogs: a QDialog with its controls registered
// under their template ids and its window timers by id.
#pragma once

#include "controlregistry.h"
#include "windowtimers.h"

#include <QDialog>

class QuillonDialog : public QDialog, public ControlRegistry {
    Q_OBJECT
public:
    explicit QuillonDialog(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~QuillonDialog() override;

    // The dialog template number the window is built from.
    int templateId() const { return templateId_; }

    void startWindowTimer(int id, int periodMs) { timers_.start(id, periodMs); }
    void stopWindowTimer(int id) { timers_.stop(id); }
    bool isWindowTimerActive(int id) const { return timers_.isActive(id); }
    int windowTimerInterval(int id) const { return timers_.interval(id); }

protected:
    void setTemplateId(int id) { templateId_ = id; }
    // Called on the dialog's thread when window timer id expires.
    virtual void onWindowTimer(int id);

private:
    int templateId_ = 0;
    WindowTimers timers_;
};
