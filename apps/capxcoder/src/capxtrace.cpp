// Message trace: a time-stamped summary line per message and, at level 2, a
// hex dump of the frame and every field by name. The text of one message is
// collected and handed to the log in as few pieces as possible (whole lines,
// each piece below the runtime's 4097-character line limit).
#include "capxinternal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

using namespace capx;

namespace {

constexpr int kStreamShowMax = 432;   // 27 rows of 16
constexpr const char* kDumpSeparator = " - - - - - - - - - - - - - - - - - - - - - - - - - - - - - \n";
constexpr const char* kClosingLine = "-----------------------------------------------------------\n";

class TextOut {
public:
    explicit TextOut(const CapxLogSink* sink) : sink_(sink) {}
    ~TextOut() { flush(); }

    void put(const char* text, int n)
    {
        if (len_ + n >= int(sizeof buf_))
            flush();
        if (n >= int(sizeof buf_)) {          // never happens with the pieces used here
            n = int(sizeof buf_) - 1;
        }
        std::memcpy(buf_ + len_, text, size_t(n));
        len_ += n;
    }
    void put(const char* text) { put(text, int(std::strlen(text))); }
    // Room for n more characters written straight into the buffer; commit()
    // then takes the count actually written.
    char* reserve(int n)
    {
        if (len_ + n >= int(sizeof buf_))
            flush();
        return buf_ + len_;
    }
    void commit(int n) { len_ += n; }
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        char line[512];
        va_list ap;
        va_start(ap, format);
        int n = std::vsnprintf(line, sizeof line, format, ap);
        va_end(ap);
        put(line, std::min(n, int(sizeof line) - 1));
    }
    void flush()
    {
        if (len_ == 0)
            return;
        buf_[len_] = 0;
        emit(sink_, buf_);
        len_ = 0;
    }

private:
    const CapxLogSink* sink_;
    char buf_[4000];
    int len_ = 0;
};

char shown(uint8_t b)
{
    if (b >= 0x20 && b <= 0x7E)
        return char(b);
    if (b == 0x0D)
        return char(0xAB);
    if (b == 0x0A)
        return char(0xF1);
    return char(0xF7);
}

int formatStream(const char* name, const void* data, int length, char* text);

void dumpField(TextOut& out, const char* name, const uint8_t* p, int n)
{
    out.commit(formatStream(name, p, n, out.reserve(CAPX_STREAM_TEXT_MAX)));
}

void intLine(TextOut& out, const char* name, uint64_t v)
{
    // "      %s-%s: %02X(%lu)\n" with an empty prefix, formatted by hand: this
    // runs for every field of every traced message.
    char line[160];
    int n = 0;
    std::memcpy(line, "      -", 7);
    n = 7;
    size_t nameLen = std::min<size_t>(std::strlen(name), 100);
    std::memcpy(line + n, name, nameLen);
    n += int(nameLen);
    line[n++] = ':';
    line[n++] = ' ';
    n += formatHex2(line + n, v);
    line[n++] = '(';
    n += formatDec(line + n, v);
    line[n++] = ')';
    line[n++] = '\n';
    out.put(line, n);
}

void traceFields(TextOut& out, const FieldDesc* f, int count, const uint8_t* rec, const char* entryName)
{
    char nameBuf[96];
    for (int i = 0; i < count; ++i, ++f) {
        const char* name = f->name;
        if (entryName != nullptr) {
            std::snprintf(nameBuf, sizeof nameBuf, "%s.%s", entryName, f->name);
            name = nameBuf;
        }
        const uint8_t* p = rec + f->recOff;
        switch (f->kind) {
        case FieldKind::Int:
            intLine(out, name, loadInt(p, f->recSize));
            break;
        case FieldKind::ShortStr:
        case FieldKind::LongStr:
            dumpField(out, name, p, strFieldLen(f, rec));
            break;
        case FieldKind::Fixed:
            dumpField(out, name, p, boundedLen(p, f->wireSize));
            break;
        case FieldKind::Raw: {
            int n = std::min<int>(int(loadInt(rec + f->lenOff, 2)), f->cap);
            if (f->lenName != nullptr)
                intLine(out, f->lenName, uint64_t(n));
            dumpField(out, name, p, n);
            break;
        }
        case FieldKind::Group: {
            const GroupDesc* g = f->group;
            int n = std::min<int>(rec[g->countOff], g->max);
            for (int e = 0; e < n; ++e)
                traceFields(out, g->fields, g->fieldCount, p + e * g->stride, g->entryName);
            break;
        }
        }
    }
}

// Formats the dump into text, which holds CAPX_STREAM_TEXT_MAX characters;
// returns the length (no terminator is written).
int formatStream(const char* name, const void* data, int length, char* text)
{
    int len = 0;
    if (length < 0)
        length = 0;
    if (name != nullptr)
        len = std::snprintf(text, 200, " [%.160s] L(0x%X, %d)\n", name, unsigned(length), length);
    static const char kHex[] = "0123456789ABCDEF";
    const uint8_t* p = static_cast<const uint8_t*>(data);
    int n = p == nullptr ? 0 : std::min(length, kStreamShowMax);
    for (int row = 0; row < n; row += 16) {
        int k = std::min(16, n - row);
        for (int i = 0; i < 16; ++i) {
            text[len++] = ' ';
            if (i < k) {
                text[len++] = kHex[p[row + i] >> 4];
                text[len++] = kHex[p[row + i] & 15];
            } else {
                text[len++] = ' ';
                text[len++] = ' ';
            }
        }
        text[len++] = ' ';
        text[len++] = ' ';
        for (int i = 0; i < k; ++i) {
            if (k == 16 && i == 8)
                text[len++] = ' ';
            text[len++] = shown(p[row + i]);
        }
        text[len++] = '\n';
    }
    return len;
}

}  // namespace

int capxFormatStream(const char* name, const void* data, int length, char* out, int outCap)
{
    if (out == nullptr || outCap <= 0)
        return 0;
    char text[CAPX_STREAM_TEXT_MAX];
    int len = formatStream(name, data, length, text);
    int copy = std::min(len, outCap - 1);
    std::memcpy(out, text, size_t(copy));
    out[copy] = 0;
    return copy;
}

void capxTraceMsgTo(const CapxLogSink* sink, const CapxMsg* msg, const uint8_t* frame, int frameLen, int dir,
                    int txLevel, int rxLevel, int traceTag)
{
    if (msg == nullptr)
        return;
    int id = msg->msgId;
    if (id == CAPX_KEEP_ALIVE || id == CAPX_KEEP_ALIVE_ACK)
        return;
    int level = dir == CAPX_DIR_TX ? txLevel : rxLevel;
    if (level <= 0)
        return;

    TextOut out(sink);
    time_t now = std::time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    out.printf(" [%4d/%02d/%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
               t.tm_min, t.tm_sec);
    out.printf("%5d %cx %20s(%2d)\n", traceTag, dir == CAPX_DIR_TX ? 'T' : 'R', capxMsgName(id), id);
    if (level > 1 && frame != nullptr && frameLen > 0) {
        dumpField(out, nullptr, frame, frameLen);
        out.put(kDumpSeparator);
    }
    if (level == 1)
        return;
    const MsgLayout* layout = layoutOf(id);
    if (layout == nullptr) {
        out.printf("%s] Wrong MsgID(%d.%02X)\n", kModule, id, unsigned(id));
    } else {
        traceFields(out, layout->fields, layout->fieldCount, msg->raw, nullptr);
    }
    out.put(kClosingLine);
}

void capxTraceMsg(const CapxMsg* msg, const uint8_t* frame, int frameLen, int dir, int txLevel, int rxLevel,
                  int traceTag)
{
    capxTraceMsgTo(nullptr, msg, frame, frameLen, dir, txLevel, rxLevel, traceTag);
}
