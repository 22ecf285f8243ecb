// The work of capxdump, apart from the program: its command line and its
// three input forms (hexadecimal lines, a raw byte stream, text-form lines to
// encode), reading from and writing to the streams it is given, so that the
// same code can be driven in-process.
#pragma once

#include <cstdio>
#include <string>

struct CapxDumpOptions {
    bool encode = false;
    bool raw = false;
    bool text = false;
    int key = 0;
    int level = 2;
    const char* file = nullptr;   // input file name; null or "-": standard input
    std::string encodeArgs;       // text form given on the command line
    bool haveEncodeArgs = false;
};

enum class CapxDumpArgs { Run, Help, Error };

// Reads the command line (argv[0] is the program). Error: a one-line reason
// has gone to err. Help: the caller prints the usage and ends with 0.
CapxDumpArgs capxDumpParseArgs(int argc, const char* const* argv, CapxDumpOptions& o, FILE* err);
void capxDumpUsage(FILE* out);

// Encodes the message of the command line (o.encodeArgs): the frame in
// hexadecimal on out. Returns the exit status: 0, or 1 with the reason on err.
int capxDumpEncodeArgs(const CapxDumpOptions& o, FILE* out, FILE* err);
// Processes the whole input in the chosen form. Bad input gets a line on err
// and the rest is still processed. Returns the exit status: 0 when every
// line or frame was good, else 1.
int capxDumpRun(const CapxDumpOptions& o, FILE* in, FILE* out, FILE* err);
