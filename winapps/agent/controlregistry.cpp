#include "controlregistry.h"

#include <QVariant>

static const char kIdProperty[] = "quillonControlId";

void ControlRegistry::registerControl(int id, QWidget* w)
{
    controls_[id] = w;
    if (w)
        w->setProperty(kIdProperty, id);
}

QWidget* ControlRegistry::control(int id) const
{
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

int controlIdOf(const QObject* w)
{
    if (!w)
        return 0;
    bool ok = false;
    const int id = w->property(kIdProperty).toInt(&ok);
    return ok ? id : 0;
}
