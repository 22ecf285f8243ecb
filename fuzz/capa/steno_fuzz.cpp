// Fuzz target: arbitrary chunk sequences through the stenography conversion
// (CaseView and Bridge filters, plain types) and the caption text entry.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "capa.h"
#include "concontext.h"

namespace {

int g_window;

int checkCaption(int length, const char* text)
{
    // The caption routine gets a NUL-terminated piece shorter than 300 bytes.
    if (length <= 0 || length > CAPC_CAPTION_PIECE_MAX || text[length] != '\0') std::abort();
    return length;
}
void lights(int) {}
void screen(const char*, int) {}
void report(const uint8_t*, int) {}
const ConsoleWindowHooks g_hooks = {checkCaption, lights, screen, report};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        conContextReset();
        conSetWindowHooks(&g_hooks);
        conPublish(&g_window, 1);
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;
    ConsoleContext& c = conContext();
    static const int types[4] = {2, 5, 0, 9};
    c.captionerType = types[data[0] & 3];
    c.textStarted = (data[0] >> 2) & 1;
    c.stenoWorkArea.bridgeCommand = (data[0] >> 3) & 1;
    size_t i = 1;
    // Then chunks: a length byte (chunk of 1..1021 bytes, as many as remain).
    while (i < size) {
        const size_t want = static_cast<size_t>(data[i]) * 4 + 1;
        ++i;
        const size_t n = want < size - i ? want : size - i;
        uint8_t chunk[CAPC_STENO_READ_MAX + 1];
        std::memcpy(chunk, data + i, n);
        capcStenoConvert(chunk, static_cast<int>(n));
        if (c.stenoWorkArea.length < 0 || c.stenoWorkArea.length > CON_STENO_OUT_SIZE) std::abort();
        if (c.stenoWorkArea.bridgeCommand != 0 && c.stenoWorkArea.bridgeCommand != 1) std::abort();
        i += n;
    }
    return 0;
}
