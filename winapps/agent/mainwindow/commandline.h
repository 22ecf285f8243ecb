// The desk program's command line: --help, --version, --config FILE. Any
// other option is refused with the usage line.
#pragma once

#include <QString>
#include <QStringList>

struct CommandLine {
    enum Action { Run, Help, Version, Refuse };
    Action action = Run;
    QString configFile;   // --config FILE, empty when not given
    QString error;        // why the command line was refused
};

// Parses the arguments after the program name (Qt's own options already
// taken out by QApplication).
CommandLine parseCommandLine(const QStringList& args);
QString usageLine();
// The --help text: options, where the settings, the debug file and the log go.
QString helpText();
QString versionText();
