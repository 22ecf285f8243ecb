// capxdump: the operator's view of the agent wire protocol.
//
// Decoding (default): reads frames as hexadecimal text, one frame per line, or
// with --raw as a byte stream cut by the length field, optionally removes a
// link key, and prints every message with the message trace (level 2 by
// default) or, with --text, in the one-line text form.
// Encoding (--encode): builds a frame from the text form of a message and
// prints its bytes in hexadecimal, one frame per line.
//
// Bad input gets a one-line error on standard error and the rest of the input
// is still processed; the exit status is then 1 (2 for a usage error).
#include "capxdumpcore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    CapxDumpOptions o;
    switch (capxDumpParseArgs(argc, argv, o, stderr)) {
    case CapxDumpArgs::Help:
        capxDumpUsage(stdout);
        return 0;
    case CapxDumpArgs::Error:
        capxDumpUsage(stderr);
        return 2;
    case CapxDumpArgs::Run:
        break;
    }
    if (o.encode && o.haveEncodeArgs)
        return capxDumpEncodeArgs(o, stdout, stderr);

    FILE* in = stdin;
    if (o.file != nullptr && std::strcmp(o.file, "-") != 0) {
        in = std::fopen(o.file, "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "capxdump: cannot open '%s': %s\n", o.file, std::strerror(errno));
            return 1;
        }
    }
    const int status = capxDumpRun(o, in, stdout, stderr);
    if (in != stdin)
        std::fclose(in);
    return status;
}
