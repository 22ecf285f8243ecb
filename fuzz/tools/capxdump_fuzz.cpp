// Fuzz target: capxdump driven in-process. The first line of the input is the
// command line (words separated by blanks), the rest is what the program
// reads: hexadecimal lines, a raw byte stream or text-form lines to encode.
// The exit status must be 0, 1 or 2, and every frame the encoder prints must
// read back as a well-formed hexadecimal frame line.
#include "capxdumpcore.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

FILE* g_null;

// A stream over bytes; an empty input reads as end of file at once.
FILE* openBytes(const uint8_t* data, size_t size)
{
    if (size == 0)
        return std::fopen("/dev/null", "rb");
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

// Reads the encoder's output back as hexadecimal input, with the same key:
// every line must be a frame of exactly its length.
void checkEncoded(const CapxDumpOptions& o, const char* text, size_t size)
{
    if (size == 0)
        return;
    CapxDumpOptions back;
    back.key = o.key;
    FILE* in = openBytes(reinterpret_cast<const uint8_t*>(text), size);
    if (!in)
        return;
    if (capxDumpRun(back, in, g_null, g_null) != 0)
        std::abort();
    std::fclose(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!g_null)
        g_null = std::fopen("/dev/null", "w");
    const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
    const size_t argLen = nl ? size_t(nl - data) : size;
    const uint8_t* rest = nl ? nl + 1 : data + size;
    const size_t restLen = size - size_t(rest - data);

    std::vector<std::string> words{"capxdump"};
    std::string word;
    for (size_t i = 0; i <= argLen && words.size() < 24; ++i) {
        if (i == argLen || data[i] == ' ') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += char(data[i]);
        }
    }
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());

    CapxDumpOptions o;
    const CapxDumpArgs parsed = capxDumpParseArgs(int(argv.size()), argv.data(), o, g_null);
    if (parsed != CapxDumpArgs::Run)
        return 0;

    char* outText = nullptr;
    size_t outSize = 0;
    FILE* out = o.encode ? open_memstream(&outText, &outSize) : g_null;
    if (!out)
        return 0;
    int status;
    if (o.encode && o.haveEncodeArgs) {
        status = capxDumpEncodeArgs(o, out, g_null);
    } else {
        FILE* in = openBytes(rest, restLen);
        if (!in) {
            if (out != g_null)
                std::fclose(out);
            std::free(outText);
            return 0;
        }
        status = capxDumpRun(o, in, out, g_null);
        std::fclose(in);
    }
    if (status != 0 && status != 1)
        std::abort();
    if (out != g_null) {
        std::fclose(out);
        checkEncoded(o, outText, outSize);
        std::free(outText);
    }
    return 0;
}
