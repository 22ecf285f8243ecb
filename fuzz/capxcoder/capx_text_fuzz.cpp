// Fuzz target: arbitrary text as the one-line text form. A parsed message
// must print, parse back to the same text and encode within its frame.
#include "capxmsgcoder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void discard(void*, const char*) {}
const CapxLogSink kSink{discard, nullptr};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);   // stops at an embedded NUL
    CapxMsg m;
    char err[256];
    if (capxMsgFromText(text.c_str(), &m, err, sizeof err) != 0) {
        if (err[0] == 0)
            std::abort();            // a refusal always says why
        return 0;
    }
    static char t1[CAPX_TEXT_MAX], t2[CAPX_TEXT_MAX];
    if (capxMsgToText(&m, t1, sizeof t1) < 0)
        std::abort();
    CapxMsg again;
    if (capxMsgFromText(t1, &again, err, sizeof err) != 0)
        std::abort();
    if (capxMsgToText(&again, t2, sizeof t2) < 0 || std::strcmp(t1, t2) != 0)
        std::abort();
    static uint8_t frame[CAPX_MAX_FRAME_LEN];
    int n = capxEncodeMsgEx(&m, frame, sizeof frame, 2, 1, &kSink);
    if (n > 0) {
        CapxMsg d;
        int len = 0;
        if (capxDecodeMsgEx(&d, frame, n, &len, 2, 1, &kSink) != m.msgId || len != n - 2)
            std::abort();
    }
    return 0;
}
