// The one-line text form of a message: "NAME field=value ...". Tools, tests
// and the service simulator use it to make any message and to show a record.
#include "capxinternal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

using namespace capx;

namespace {

constexpr int kValueMax = 1024;        // longest quoted value accepted (bytes after unescaping)

void setErr(char* err, int errCap, const char* format, ...) __attribute__((format(printf, 3, 4)));
void setErr(char* err, int errCap, const char* format, ...)
{
    if (err == nullptr || errCap <= 0)
        return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(err, size_t(errCap), format, ap);
    va_end(ap);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Parses a double-quoted value starting at *s (the opening quote). On success
// *s points after the closing quote and out/outLen hold the bytes.
bool parseQuoted(const char** s, uint8_t* out, int* outLen, char* err, int errCap)
{
    const char* p = *s + 1;
    int n = 0;
    while (*p != '"') {
        if (*p == 0) {
            setErr(err, errCap, "missing closing quote");
            return false;
        }
        int b;
        if (*p == '\\') {
            ++p;
            switch (*p) {
            case '\\': b = '\\'; ++p; break;
            case '"': b = '"'; ++p; break;
            case 'n': b = '\n'; ++p; break;
            case 'r': b = '\r'; ++p; break;
            case 't': b = '\t'; ++p; break;
            case 'x': {
                int hi = hexDigit(p[1]);
                int lo = hi < 0 ? -1 : hexDigit(p[2]);
                if (lo < 0) {
                    setErr(err, errCap, "\\x needs two hexadecimal digits");
                    return false;
                }
                b = hi * 16 + lo;
                p += 3;
                break;
            }
            default:
                setErr(err, errCap, "unknown escape \\%c", *p ? *p : '0');
                return false;
            }
        } else {
            b = uint8_t(*p++);
        }
        if (n >= kValueMax) {
            setErr(err, errCap, "quoted value longer than %d bytes", kValueMax);
            return false;
        }
        out[n++] = uint8_t(b);
    }
    *s = p + 1;
    *outLen = n;
    return true;
}

bool parseNumber(const char* tok, int len, uint64_t* out)
{
    if (len <= 0)
        return false;
    uint64_t v = 0;
    if (len > 2 && tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X')) {
        for (int i = 2; i < len; ++i) {
            int d = hexDigit(tok[i]);
            if (d < 0 || v > (UINT64_MAX >> 4))
                return false;
            v = v * 16 + uint64_t(d);
        }
    } else {
        for (int i = 0; i < len; ++i) {
            if (tok[i] < '0' || tok[i] > '9')
                return false;
            uint64_t d = uint64_t(tok[i] - '0');
            if (v > (UINT64_MAX - d) / 10)
                return false;
            v = v * 10 + d;
        }
    }
    *out = v;
    return true;
}

uint64_t intMax(int recSize)
{
    return recSize >= 8 ? UINT64_MAX : (uint64_t(1) << (8 * recSize)) - 1;
}

const FieldDesc* findField(const FieldDesc* f, int count, const char* name, int nameLen)
{
    for (int i = 0; i < count; ++i)
        if (int(std::strlen(f[i].name)) == nameLen && std::strncmp(f[i].name, name, size_t(nameLen)) == 0)
            return &f[i];
    return nullptr;
}

struct Value {
    bool quoted;
    const char* tok;      // unquoted token
    int tokLen;
    uint8_t bytes[kValueMax];
    int len;
};

bool assign(const FieldDesc* f, uint8_t* rec, const Value& v, const char* key, char* err, int errCap)
{
    uint8_t* p = rec + f->recOff;
    if (f->kind == FieldKind::Int) {
        uint64_t n;
        if (v.quoted || !parseNumber(v.tok, v.tokLen, &n)) {
            setErr(err, errCap, "%s takes a number", key);
            return false;
        }
        if (n > intMax(f->recSize)) {
            setErr(err, errCap, "%s=%llu is out of range (at most %llu)", key, (unsigned long long)n,
                   (unsigned long long)intMax(f->recSize));
            return false;
        }
        storeInt(p, f->recSize, n);
        return true;
    }
    if (!v.quoted) {
        setErr(err, errCap, "%s takes a quoted string", key);
        return false;
    }
    int cap = f->kind == FieldKind::Fixed ? f->wireSize : f->cap;
    if (v.len > cap) {
        setErr(err, errCap, "%s is too long (%d bytes, at most %d)", key, v.len, cap);
        return false;
    }
    if (f->kind == FieldKind::Raw) {
        std::memcpy(p, v.bytes, size_t(v.len));
        storeInt(rec + f->lenOff, 2, uint64_t(v.len));
        return true;
    }
    if (f->kind == FieldKind::ShortStr && f->lenOff != 0) {
        // Credential bytes: 0 bytes allowed, the length says how many.
        std::memset(p, 0, size_t(cap) + 1);
        std::memcpy(p, v.bytes, size_t(v.len));
        rec[f->lenOff] = uint8_t(v.len);
        return true;
    }
    if (std::memchr(v.bytes, 0, size_t(v.len)) != nullptr) {
        setErr(err, errCap, "%s must not contain a NUL byte", key);
        return false;
    }
    std::memset(p, 0, size_t(cap) + 1);
    std::memcpy(p, v.bytes, size_t(v.len));
    return true;
}

class TextWriter {
public:
    TextWriter(char* out, int cap) : out_(out), cap_(cap) {}
    void put(const char* s, int n)
    {
        if (overflow_ || len_ + n >= cap_) {
            overflow_ = true;
            return;
        }
        std::memcpy(out_ + len_, s, size_t(n));
        len_ += n;
    }
    void put(const char* s) { put(s, int(std::strlen(s))); }
    void quoted(const uint8_t* p, int n)
    {
        put("\"", 1);
        for (int i = 0; i < n; ++i) {
            uint8_t b = p[i];
            switch (b) {
            case '\\': put("\\\\", 2); break;
            case '"': put("\\\"", 2); break;
            case '\n': put("\\n", 2); break;
            case '\r': put("\\r", 2); break;
            case '\t': put("\\t", 2); break;
            default:
                if (b >= 0x20 && b <= 0x7E) {
                    char c = char(b);
                    put(&c, 1);
                } else {
                    static const char kHex[] = "0123456789ABCDEF";
                    char esc[4] = {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
                    put(esc, 4);
                }
            }
        }
        put("\"", 1);
    }
    int finish()
    {
        if (overflow_ || cap_ <= 0)
            return -1;
        out_[len_] = 0;
        return len_;
    }

private:
    char* out_;
    int cap_;
    int len_ = 0;
    bool overflow_ = false;
};

void printFields(TextWriter& w, const FieldDesc* f, int count, const uint8_t* rec, const char* group, int index)
{
    for (int i = 0; i < count; ++i, ++f) {
        if (group == nullptr && f->recOff == 0 && f->kind == FieldKind::Int && std::strcmp(f->name, "msgId") == 0)
            continue;
        if (f->kind == FieldKind::Group) {
            const GroupDesc* g = f->group;
            int n = std::min<int>(rec[g->countOff], g->max);
            for (int e = 0; e < n; ++e)
                printFields(w, g->fields, g->fieldCount, rec + f->recOff + e * g->stride, g->textName, e);
            continue;
        }
        char num[24];
        w.put(" ", 1);
        if (group != nullptr) {
            w.put(group);
            w.put("[", 1);
            w.put(num, formatDec(num, uint64_t(index)));
            w.put("].", 2);
        }
        w.put(f->name);
        w.put("=", 1);
        const uint8_t* p = rec + f->recOff;
        switch (f->kind) {
        case FieldKind::Int:
            w.put(num, formatDec(num, loadInt(p, f->recSize)));
            break;
        case FieldKind::ShortStr:
        case FieldKind::LongStr:
            w.quoted(p, strFieldLen(f, rec));
            break;
        case FieldKind::Fixed:
            w.quoted(p, boundedLen(p, f->wireSize));
            break;
        case FieldKind::Raw:
            w.quoted(p, std::min<int>(int(loadInt(rec + f->lenOff, 2)), f->cap));
            break;
        case FieldKind::Group:
            break;
        }
    }
}

}  // namespace

int capxMsgFromText(const char* text, CapxMsg* msg, char* err, int errCap)
{
    if (err != nullptr && errCap > 0)
        err[0] = 0;
    if (msg == nullptr || text == nullptr) {
        setErr(err, errCap, "no text");
        return -1;
    }
    std::memset(msg, 0, sizeof *msg);
    const char* s = text;
    while (isBlank(*s))
        ++s;
    const char* name = s;
    while (*s && !isBlank(*s))
        ++s;
    int nameLen = int(s - name);
    if (nameLen == 0) {
        setErr(err, errCap, "empty text: expected a message name");
        return -1;
    }
    char nameBuf[64];
    if (nameLen >= int(sizeof nameBuf)) {
        setErr(err, errCap, "unknown message name '%.40s...'", name);
        return -1;
    }
    std::memcpy(nameBuf, name, size_t(nameLen));
    nameBuf[nameLen] = 0;
    int id = capxMsgIdFromName(nameBuf);
    if (id < 0) {
        setErr(err, errCap, "unknown message name '%s'", nameBuf);
        return -1;
    }
    msg->msgId = uint8_t(id);
    const MsgLayout* layout = layoutOf(id);

    const FieldDesc* groupField = nullptr;
    if (layout != nullptr)
        for (int i = 0; i < layout->fieldCount; ++i)
            if (layout->fields[i].kind == FieldKind::Group)
                groupField = &layout->fields[i];
    int highestIndex = -1;
    bool countGiven = false;

    Value v;
    for (;;) {
        while (isBlank(*s))
            ++s;
        if (*s == 0)
            break;
        const char* key = s;
        while (*s && *s != '=' && !isBlank(*s))
            ++s;
        int keyLen = int(s - key);
        char keyBuf[96];
        int keyShown = std::min(keyLen, 80);
        std::memcpy(keyBuf, key, size_t(keyShown));
        keyBuf[keyShown] = 0;
        if (*s != '=' || keyLen == 0) {
            setErr(err, errCap, "expected field=value at '%s'", keyBuf);
            return -1;
        }
        ++s;
        if (*s == '"') {
            v.quoted = true;
            char qerr[96];
            if (!parseQuoted(&s, v.bytes, &v.len, qerr, sizeof qerr)) {
                setErr(err, errCap, "%s: %s", keyBuf, qerr);
                return -1;
            }
            if (*s && !isBlank(*s)) {
                setErr(err, errCap, "%s: text after the closing quote", keyBuf);
                return -1;
            }
        } else {
            v.quoted = false;
            v.tok = s;
            while (*s && !isBlank(*s))
                ++s;
            v.tokLen = int(s - v.tok);
        }
        if (layout == nullptr) {
            setErr(err, errCap, "%s has no fields (no layout)", nameBuf);
            return -1;
        }
        if (keyLen == 5 && std::strncmp(key, "msgId", 5) == 0) {
            setErr(err, errCap, "msgId is given by the message name");
            return -1;
        }

        const FieldDesc* f = findField(layout->fields, layout->fieldCount, key, keyLen);
        uint8_t* rec = msg->raw;
        if (f != nullptr && f->kind == FieldKind::Group)
            f = nullptr;
        if (f == nullptr && groupField != nullptr) {
            // "<group>[N].<field>"
            const GroupDesc* g = groupField->group;
            int gl = int(std::strlen(g->textName));
            if (keyLen > gl + 3 && std::strncmp(key, g->textName, size_t(gl)) == 0 && key[gl] == '[') {
                const char* q = key + gl + 1;
                const char* close = static_cast<const char*>(std::memchr(q, ']', size_t(key + keyLen - q)));
                uint64_t index;
                if (close == nullptr || close + 1 >= key + keyLen || close[1] != '.' ||
                    !parseNumber(q, int(close - q), &index)) {
                    setErr(err, errCap, "bad entry name '%s'", keyBuf);
                    return -1;
                }
                if (index >= g->max) {
                    setErr(err, errCap, "%s: index %llu out of range (0..%d)", keyBuf, (unsigned long long)index,
                           g->max - 1);
                    return -1;
                }
                const char* sub = close + 2;
                f = findField(g->fields, g->fieldCount, sub, int(key + keyLen - sub));
                if (f == nullptr) {
                    setErr(err, errCap, "unknown field name '%s' for %s", keyBuf, nameBuf);
                    return -1;
                }
                rec = msg->raw + groupField->recOff + int(index) * g->stride;
                highestIndex = std::max(highestIndex, int(index));
            }
        }
        if (f == nullptr) {
            setErr(err, errCap, "unknown field name '%s' for %s", keyBuf, nameBuf);
            return -1;
        }
        if (!assign(f, rec, v, keyBuf, err, errCap))
            return -1;
        if (groupField != nullptr && rec == msg->raw && f->recOff == groupField->group->countOff)
            countGiven = true;
    }
    if (groupField != nullptr && !countGiven && highestIndex >= 0)
        msg->raw[groupField->group->countOff] = uint8_t(highestIndex + 1);
    return 0;
}

int capxMsgToText(const CapxMsg* msg, char* out, int outCap)
{
    if (msg == nullptr || out == nullptr || outCap <= 0)
        return -1;
    int id = msg->msgId;
    if (id > CAPX_MSG_ID_LAST)
        return -1;
    TextWriter w(out, outCap);
    w.put(capxMsgName(id));
    const MsgLayout* layout = layoutOf(id);
    if (layout != nullptr)
        printFields(w, layout->fields, layout->fieldCount, msg->raw, nullptr, 0);
    return w.finish();
}
