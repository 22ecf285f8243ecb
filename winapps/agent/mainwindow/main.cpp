// QuillonAgent: the captioning agent's desk program.
#include "cdariduruapp.h"
#include "commandline.h"
#include "settingsstore.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv)
{
    // PortAudio probes JACK; never let that start a server of its own.
    setenv("JACK_NO_START_SERVER", "1", 0);

    // --help and --version answer without a display.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    CommandLine cl = parseCommandLine(args);
    switch (cl.action) {
    case CommandLine::Help:
        std::printf("%s", qPrintable(helpText()));
        return 0;
    case CommandLine::Version:
        std::printf("%s\n", qPrintable(versionText()));
        return 0;
    case CommandLine::Refuse:
        std::fprintf(stderr, "QuillonAgent: %s\n%s\n", qPrintable(cl.error), qPrintable(usageLine()));
        return 2;
    case CommandLine::Run:
        break;
    }

    CDarIduruApp app(argc, argv);
    if (!cl.configFile.isEmpty())
        settings::setStorePath(cl.configFile);
    const int status = app.StartApplication();
    // The runtime's threads live for the whole process: leave without
    // running destructors under them.
    std::fflush(nullptr);
    _exit(status);
}
