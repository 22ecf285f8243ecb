// Encode and decode dispatch, the DATA adjustment and the link-key layer.
//
// Both directions walk the message's field table. The encoder checks the
// output capacity before every write and never writes more of a field than
// the record holds. The decoder reads a field only when it lies wholly inside
// the body, cuts strings and byte runs to the body and to the record field
// (the wire cursor still advances by the wire length, so the next field is
// found beyond the body and decoding stops), and keeps at most as many
// repeated entries as the record holds, storing the clamped count.
#include "capxinternal.h"

#include <algorithm>

using namespace capx;

namespace {

struct Writer {
    uint8_t* buf;
    int cap;
    int pos;
    bool full;

    bool room(int n)
    {
        if (full || pos + n > cap)
            full = true;
        return !full;
    }
    void be(uint64_t v, int width)
    {
        if (!room(width))
            return;
        for (int i = width - 1; i >= 0; --i)
            buf[pos++] = uint8_t(v >> (8 * i));
    }
    void bytes(const uint8_t* p, int n)
    {
        if (n <= 0 || !room(n))
            return;
        std::memcpy(buf + pos, p, size_t(n));
        pos += n;
    }
    void zeros(int n)
    {
        if (n <= 0 || !room(n))
            return;
        std::memset(buf + pos, 0, size_t(n));
        pos += n;
    }
};

void encodeFields(const FieldDesc* f, int count, const uint8_t* rec, Writer& w)
{
    for (int i = 0; i < count && !w.full; ++i, ++f) {
        const uint8_t* p = rec + f->recOff;
        switch (f->kind) {
        case FieldKind::Int: {
            uint64_t v = loadInt(p, f->recSize);
            if (f->clampTo != 0 && v > f->clampTo)
                v = f->clampTo;
            w.be(v, f->wireSize);
            break;
        }
        case FieldKind::ShortStr: {
            int n = strFieldLen(f, rec);
            w.be(uint64_t(n), 1);
            w.bytes(p, n);
            break;
        }
        case FieldKind::LongStr: {
            int n = boundedLen(p, f->cap);
            w.be(uint64_t(n), 2);
            w.bytes(p, n);
            break;
        }
        case FieldKind::Fixed: {
            int n = boundedLen(p, f->wireSize);
            w.bytes(p, n);
            w.zeros(f->wireSize - n);
            break;
        }
        case FieldKind::Raw: {
            int n = std::min<int>(int(loadInt(rec + f->lenOff, 2)), f->cap);
            w.be(uint64_t(n), 2);
            w.bytes(p, n);
            break;
        }
        case FieldKind::Group: {
            const GroupDesc* g = f->group;
            int n = std::min<int>(rec[g->countOff], g->max);
            for (int e = 0; e < n && !w.full; ++e)
                encodeFields(g->fields, g->fieldCount, p + e * g->stride, w);
            break;
        }
        }
    }
}

struct Reader {
    const uint8_t* frame;
    int pos;     // frame offset of the next field
    int end;     // frame offset just past the body
    bool stop;

    bool has(int n)
    {
        if (stop || n > end - pos)
            stop = true;
        return !stop;
    }
    uint64_t be(int width)
    {
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | frame[pos++];
        return v;
    }
    // Copies up to n wire bytes, cut to the body and to cap; returns the count
    // copied and moves past all n wire bytes.
    int copy(uint8_t* dst, int n, int cap)
    {
        int avail = std::max(0, end - pos);
        int k = std::min({n, avail, cap});
        if (k > 0)
            std::memcpy(dst, frame + pos, size_t(k));
        pos += n;
        return k;
    }
};

void decodeFields(const FieldDesc* f, int count, uint8_t* rec, Reader& r)
{
    for (int i = 0; i < count && !r.stop; ++i, ++f) {
        uint8_t* p = rec + f->recOff;
        switch (f->kind) {
        case FieldKind::Int:
            if (r.has(f->wireSize))
                storeInt(p, f->recSize, r.be(f->wireSize));
            break;
        case FieldKind::ShortStr:
        case FieldKind::LongStr: {
            int lenBytes = f->kind == FieldKind::ShortStr ? 1 : 2;
            if (!r.has(lenBytes))
                break;
            int n = int(r.be(lenBytes));
            int k = r.copy(p, n, f->cap);
            p[k] = 0;
            if (f->kind == FieldKind::ShortStr && f->lenOff != 0)
                rec[f->lenOff] = uint8_t(k);
            break;
        }
        case FieldKind::Fixed:
            if (r.has(f->wireSize)) {
                r.copy(p, f->wireSize, f->wireSize);
                p[f->wireSize] = 0;
            }
            break;
        case FieldKind::Raw:
            if (r.has(2)) {
                int n = int(r.be(2));
                storeInt(rec + f->lenOff, 2, uint64_t(r.copy(p, n, f->cap)));
            }
            break;
        case FieldKind::Group: {
            const GroupDesc* g = f->group;
            int n = std::min<int>(rec[g->countOff], g->max);
            rec[g->countOff] = uint8_t(n);
            for (int e = 0; e < n && !r.stop; ++e)
                decodeFields(g->fields, g->fieldCount, p + e * g->stride, r);
            break;
        }
        }
    }
}

void applyDataAdjust(uint8_t* frame, int frameAvail, int bodyLen, bool add)
{
    uint8_t v = capxDataAdjustValue(bodyLen);
    int last = std::min(bodyLen - 1, frameAvail - 1);
    for (int i = 3; i <= last; ++i)
        frame[i] = add ? uint8_t(frame[i] + v) : uint8_t(frame[i] - v);
}

// Bytes of a DATA frame the decoder needs: length, id, dataLen and the most
// data the record holds.
constexpr int kDataCopyMax = 2 + 1 + 2 + CAPX_DATA_MAX;

int keyApply(uint8_t* frame, int frameLen, uint8_t key, int exemptId, bool add)
{
    if (frame == nullptr || frameLen < 3 || key == 0)
        return 0;
    int bodyLen = (frame[0] << 8) | frame[1];
    if (bodyLen <= 3 || frame[2] == exemptId)
        return 0;
    int end = std::min(bodyLen + 2, frameLen);
    for (int i = 3; i < end; ++i)
        frame[i] = add ? uint8_t(frame[i] + key) : uint8_t(frame[i] - key);
    return 1;
}

}  // namespace

uint8_t capxDataAdjustValue(int bodyLen)
{
    return uint8_t(bodyLen / 10 + bodyLen % 10);
}

int capxEncodeMsgEx(const CapxMsg* msg, uint8_t* buf, int bufCap, int traceLevel, int traceTag,
                    const CapxLogSink* sink)
{
    if (msg == nullptr || buf == nullptr)
        return -1;
    const MsgLayout* layout = layoutOf(msg->msgId);
    if (layout == nullptr) {
        logWrongId(sink, msg->msgId);
        return 0;
    }
    Writer w{buf, bufCap, 2, false};
    if (bufCap < 2)
        return -1;
    encodeFields(layout->fields, layout->fieldCount, msg->raw, w);
    if (w.full)
        return -1;
    int bodyLen = w.pos - 2;
    if (msg->msgId == CAPX_DATA)
        applyDataAdjust(buf, w.pos, bodyLen, true);
    buf[0] = uint8_t(bodyLen >> 8);
    buf[1] = uint8_t(bodyLen);
    if (traceLevel != 0)
        capxTraceMsgTo(sink, msg, buf, w.pos, CAPX_DIR_TX, traceLevel, 0, traceTag);
    return w.pos;
}

int capxEncodeMsg(const CapxMsg* msg, uint8_t* buf, int traceLevel, int traceTag)
{
    return capxEncodeMsgEx(msg, buf, CAPX_MAX_FRAME_LEN, traceLevel, traceTag, nullptr);
}

int capxDecodeMsgEx(CapxMsg* msg, const uint8_t* frame, int frameLen, int* lenOut, int traceLevel,
                    int traceTag, const CapxLogSink* sink)
{
    if (msg == nullptr)
        return -1;
    if (lenOut != nullptr)
        *lenOut = 0;
    if (frame == nullptr || frameLen < 2) {
        std::memset(msg, 0, sizeof *msg);
        return -1;
    }
    int wireLen = (frame[0] << 8) | frame[1];
    if (lenOut != nullptr)
        *lenOut = wireLen;
    if (frameLen < 3 || wireLen == 0) {
        std::memset(msg, 0, sizeof *msg);
        return -1;
    }
    int id = frame[2];
    int bodyLen = std::min(wireLen, frameLen - 2);

    const MsgLayout* layout = layoutOf(id);
    if (layout == nullptr) {
        std::memset(msg, 0, sizeof *msg);
        msg->msgId = uint8_t(id);
        logWrongId(sink, id);
        if (traceLevel != 0)
            capxTraceMsgTo(sink, msg, frame, bodyLen + 2, CAPX_DIR_RX, 0, traceLevel, traceTag);
        return id;
    }

    // DATA: remove the adjustment on a private copy of the part that matters.
    uint8_t local[kDataCopyMax];
    const uint8_t* src = frame;
    if (id == CAPX_DATA) {
        int n = std::min(bodyLen + 2, kDataCopyMax);
        std::memcpy(local, frame, size_t(n));
        applyDataAdjust(local, n, wireLen, false);
        src = local;
        bodyLen = n - 2;
    }

    std::memset(msg, 0, layout->recSize);
    Reader r{src, 2, 2 + bodyLen, false};
    decodeFields(layout->fields, layout->fieldCount, msg->raw, r);
    // A count read before the body ended early is still kept to what the record holds.
    for (int i = 0; i < layout->fieldCount; ++i) {
        const GroupDesc* g = layout->fields[i].group;
        if (g != nullptr && msg->raw[g->countOff] > g->max)
            msg->raw[g->countOff] = g->max;
    }
    if (traceLevel != 0)
        capxTraceMsgTo(sink, msg, src, bodyLen + 2, CAPX_DIR_RX, 0, traceLevel, traceTag);
    return id;
}

int capxDecodeMsg(CapxMsg* msg, const uint8_t* frame, int* lenOut, int traceLevel, int traceTag)
{
    if (frame == nullptr)
        return capxDecodeMsgEx(msg, frame, 0, lenOut, traceLevel, traceTag, nullptr);
    int wireLen = (frame[0] << 8) | frame[1];
    return capxDecodeMsgEx(msg, frame, wireLen + 2, lenOut, traceLevel, traceTag, nullptr);
}

int capxLinkKeyTx(uint8_t* frame, int frameLen, uint8_t key)
{
    return keyApply(frame, frameLen, key, CAPX_LOGIN, false);
}

int capxLinkKeyRx(uint8_t* frame, int frameLen, uint8_t key)
{
    return keyApply(frame, frameLen, key, CAPX_LOGIN_ACK, true);
}

int capxLinkKeySvrTx(uint8_t* frame, int frameLen, uint8_t key)
{
    return keyApply(frame, frameLen, key, CAPX_LOGIN_ACK, false);
}

int capxLinkKeySvrRx(uint8_t* frame, int frameLen, uint8_t key)
{
    return keyApply(frame, frameLen, key, CAPX_LOGIN, true);
}
