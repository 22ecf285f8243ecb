// CDarIduruApp: the desk program's application object. Its start operation
// builds the main window and runs it; when the window ends, the program ends.
#pragma once

#include <QApplication>

class CDarIduruApp : public QApplication {
    Q_OBJECT
public:
    CDarIduruApp(int& argc, char** argv);
    // Runs the main window modally; returns the process exit status.
    int StartApplication();
};
