#include "commandline.h"

#include "quillon_version.h"

CommandLine parseCommandLine(const QStringList& args)
{
    CommandLine cl;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            cl.action = CommandLine::Help;
        } else if (a == QLatin1String("-v") || a == QLatin1String("--version")) {
            if (cl.action == CommandLine::Run)
                cl.action = CommandLine::Version;
        } else if (a == QLatin1String("--config") || a.startsWith(QLatin1String("--config="))) {
            QString file;
            if (a == QLatin1String("--config")) {
                if (i + 1 >= args.size()) {
                    cl.action = CommandLine::Refuse;
                    cl.error = QStringLiteral("--config needs a file name");
                    return cl;
                }
                file = args[++i];
            } else {
                file = a.mid(int(sizeof "--config=") - 1);
            }
            if (file.isEmpty()) {
                cl.action = CommandLine::Refuse;
                cl.error = QStringLiteral("--config needs a file name");
                return cl;
            }
            cl.configFile = file;
        } else {
            cl.action = CommandLine::Refuse;
            cl.error = QStringLiteral("unknown option: %1").arg(a);
            return cl;
        }
    }
    return cl;
}

QString usageLine()
{
    return QStringLiteral("usage: QuillonAgent [--config FILE] [--help] [--version]");
}

QString helpText()
{
    return usageLine() + QStringLiteral(
        "\n"
        "The captioning agent's desk program: logs in to the captioning service, takes\n"
        "calls, plays the caller's voice and sends captions typed in the window or\n"
        "streamed by a stenography program on local TCP port 3321.\n"
        "\n"
        "  --config FILE   use the settings in FILE (INI) instead of the per-user file\n"
        "  -h, --help      show this text\n"
        "  -v, --version   show the version\n"
        "\n"
        "Settings:    $XDG_CONFIG_HOME/Quillon/QuillonAgent.ini (default ~/.config/...)\n"
        "Program log: standard output, or the remote console client while one is\n"
        "             connected (poscon, 127.0.0.1:7599)\n"
        "Debug file:  posDebug-QLAG99.txt in $POS_DEBUG_DIR (default /tmp): fatal\n"
        "             events and the reason of every shutdown\n"
        "Environment: POS_DEBUG_DIR, POS_CONSOLE_BIND (console address, default\n"
        "             127.0.0.1), QUILLON_AUDIO (portaudio, portaudio-output-only, none)\n");
}

QString versionText()
{
    return QStringLiteral("QuillonAgent %1").arg(QStringLiteral(QUILLON_VERSION_TEXT));
}
