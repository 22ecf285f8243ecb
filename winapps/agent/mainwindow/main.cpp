// QuillonAgent: the captioning agent's desk program.
#include "cdariduruapp.h"

#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv)
{
    // PortAudio probes JACK; never let that start a server of its own.
    setenv("JACK_NO_START_SERVER", "1", 0);
    CDarIduruApp app(argc, argv);
    const int status = app.StartApplication();
    // The runtime's threads live for the whole process: leave without
    // running destructors under them.
    std::fflush(nullptr);
    _exit(status);
}
