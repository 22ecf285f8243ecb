#pragma once

#include <QWidget>
#include <functional>

// Renders the main window in its states through render(widget, name).
void renderMainWindow(const std::function<void(QWidget*, const char*)>& render);
