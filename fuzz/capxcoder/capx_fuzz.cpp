// Fuzz target: arbitrary bytes as a received frame. Decodes with the trace at
// level 2, encodes the record again and checks that the new frame decodes to
// the same fields, and that the link-key layer undoes itself. (The text form
// has its own target.)
#include "capxinternal.h"
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

// Field-by-field equality: strings compare up to their terminator, byte runs
// by their length, repeated entries up to the count.
bool sameFields(const capx::FieldDesc* f, int count, const uint8_t* a, const uint8_t* b)
{
    using capx::FieldKind;
    for (int i = 0; i < count; ++i, ++f) {
        const uint8_t* pa = a + f->recOff;
        const uint8_t* pb = b + f->recOff;
        switch (f->kind) {
        case FieldKind::Int:
            if (capx::loadInt(pa, f->recSize) != capx::loadInt(pb, f->recSize))
                return false;
            break;
        case FieldKind::ShortStr:
        case FieldKind::LongStr:
        case FieldKind::Fixed: {
            int cap = f->kind == FieldKind::Fixed ? f->wireSize : f->cap;
            int na = capx::boundedLen(pa, cap);
            if (na != capx::boundedLen(pb, cap) || std::memcmp(pa, pb, size_t(na)) != 0)
                return false;
            break;
        }
        case FieldKind::Raw: {
            uint64_t na = capx::loadInt(a + f->lenOff, 2);
            if (na != capx::loadInt(b + f->lenOff, 2) || na > f->cap || std::memcmp(pa, pb, size_t(na)) != 0)
                return false;
            break;
        }
        case FieldKind::Group: {
            const capx::GroupDesc* g = f->group;
            if (a[g->countOff] != b[g->countOff] || a[g->countOff] > g->max)
                return false;
            for (int e = 0; e < a[g->countOff]; ++e)
                if (!sameFields(g->fields, g->fieldCount, pa + e * g->stride, pb + e * g->stride))
                    return false;
            break;
        }
        }
    }
    return true;
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
    const capx::MsgLayout* layout = capx::layoutOf(id);
    if (layout != nullptr) {
        if (f <= 0)
            std::abort();
        CapxMsg again;
        if (capxDecodeMsgEx(&again, frame, f, &len, 0, 1, &kSink) != id || len != f - 2)
            std::abort();
        if (!sameFields(layout->fields, layout->fieldCount, m.raw, again.raw))
            std::abort();
    } else if (f != 0) {
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
