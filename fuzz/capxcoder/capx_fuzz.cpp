// Fuzz target: arbitrary bytes as a received frame. Decodes with the trace at
// level 2, encodes the record again and checks that the new frame decodes to
// the same fields; the text form of the record must parse back to itself and
// the link-key layer must undo itself.
#include "capxmsgcoder.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void discard(void*, const char*) {}
const CapxLogSink kSink{discard, nullptr};

int textOf(const CapxMsg& m, char* out)
{
    return capxMsgToText(&m, out, CAPX_TEXT_MAX);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int n = int(std::min<size_t>(size, INT_MAX));
    CapxMsg m;
    int len = 0;
    int id = capxDecodeMsgEx(&m, data, n, &len, 2, 1, &kSink);
    if (id < 0)
        return 0;
    if (id != m.msgId)
        std::abort();

    static uint8_t frame[CAPX_MAX_FRAME_LEN];
    int f = capxEncodeMsgEx(&m, frame, sizeof frame, 0, 1, &kSink);
    static char t1[CAPX_TEXT_MAX], t2[CAPX_TEXT_MAX];
    if (f > 0) {
        CapxMsg again;
        if (capxDecodeMsgEx(&again, frame, f, &len, 0, 1, &kSink) != id || len != f - 2)
            std::abort();
        if (textOf(m, t1) < 0 || textOf(again, t2) < 0 || std::strcmp(t1, t2) != 0)
            std::abort();
    } else if (capxMsgHasLayout(id)) {
        std::abort();
    }

    if (textOf(m, t1) >= 0) {
        CapxMsg parsed;
        char err[256];
        if (capxMsgFromText(t1, &parsed, err, sizeof err) != 0)
            std::abort();
        if (textOf(parsed, t2) < 0 || std::strcmp(t1, t2) != 0)
            std::abort();
    }

    // The link-key layer: receive then send with the same key restores the frame.
    std::vector<uint8_t> copy(data, data + size);
    uint8_t key = size > 0 ? data[size - 1] : 0;
    capxLinkKeyRx(copy.data(), n, key);
    if (copy.size() >= 3 && copy[2] == CAPX_LOGIN)      // the send side leaves LOGIN alone
        return 0;
    capxLinkKeyTx(copy.data(), n, key);
    if (copy.size() >= 3 && copy[2] != CAPX_LOGIN_ACK && !std::equal(copy.begin(), copy.end(), data))
        std::abort();
    return 0;
}
