// QuillonAgent: the captioning agent's desk program.
#include "cdariduruapp.h"

#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv)
{
    CDarIduruApp app(argc, argv);
    const int status = app.StartApplication();
    // The runtime's threads live for the whole process: leave without
    // running destructors under them.
    std::fflush(nullptr);
    _exit(status);
}
