#include "quillondialog.h"

QuillonDialog::QuillonDialog(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags), timers_(this, [this](int id) { onWindowTimer(id); })
{
}

QuillonDialog::~QuillonDialog() = default;

void QuillonDialog::onWindowTimer(int)
{
}
