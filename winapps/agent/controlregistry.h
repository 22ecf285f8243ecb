// Controls registered under the fixed numeric ids of the dialog templates,
// so that handlers and tests address them by those ids.
#pragma once

#include <QWidget>
#include <map>

class ControlRegistry {
public:
    // Registers w under id (replacing an earlier control of that id) and
    // records the id on the widget (see controlIdOf).
    void registerControl(int id, QWidget* w);
    QWidget* control(int id) const;
    template <class T>
    T* controlAs(int id) const { return qobject_cast<T*>(control(id)); }
    const std::map<int, QWidget*>& controls() const { return controls_; }

private:
    std::map<int, QWidget*> controls_;
};

// The id a control was registered under, or 0 when it has none.
int controlIdOf(const QObject* w);
