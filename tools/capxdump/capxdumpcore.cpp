// capxdump's command line and its decoding and encoding of frames (see
// capxdumpcore.h). The trace goes straight to the output stream through a log
// sink, so the output is complete and in input order without the runtime's
// log task.
#include "capxdumpcore.h"

#include "capxmsgcoder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool parseInt(const char* s, int lo, int hi, int* out)
{
    if (s == nullptr || *s == 0)
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 0);
    if (errno != 0 || *end != 0 || v < lo || v > hi)
        return false;
    *out = int(v);
    return true;
}

void writeTo(void* ctx, const char* text)
{
    std::fputs(text, static_cast<FILE*>(ctx));
}

bool readLine(FILE* f, std::string& line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n')
            return true;
        line += char(c);
    }
    return !line.empty();
}

class Decoder {
public:
    Decoder(const CapxDumpOptions& o, FILE* out) : o_(o), out_(out), sink_{writeTo, out} {}

    // Decodes one whole frame (exactly L + 2 bytes) and prints it.
    void frame(std::vector<uint8_t>& bytes)
    {
        ++count_;
        if (o_.key != 0 && bytes[2] != CAPX_LOGIN)
            capxLinkKeyRx(bytes.data(), int(bytes.size()), uint8_t(o_.key));
        int len = 0;
        if (o_.text) {
            capxDecodeMsgEx(&msg_, bytes.data(), int(bytes.size()), &len, 0, count_, &sink_);
            static char text[CAPX_TEXT_MAX];
            if (capxMsgToText(&msg_, text, sizeof text) >= 0)
                std::fprintf(out_, "%s\n", text);
            else
                std::fprintf(out_, "UNKNOWN(%d)\n", msg_.msgId);
        } else {
            capxDecodeMsgEx(&msg_, bytes.data(), int(bytes.size()), &len, o_.level, count_, &sink_);
            // The trace never prints keep-alive traffic; say what the frame was.
            if (msg_.msgId == CAPX_KEEP_ALIVE || msg_.msgId == CAPX_KEEP_ALIVE_ACK) {
                static char text[CAPX_TEXT_MAX];
                capxMsgToText(&msg_, text, sizeof text);
                std::fprintf(out_, "%5d (not traced) %s\n", count_, text);
            }
        }
        std::fflush(out_);
    }

private:
    const CapxDumpOptions& o_;
    FILE* out_;
    CapxLogSink sink_;
    CapxMsg msg_{};
    int count_ = 0;
};

// "1 byte", "2 bytes"
std::string count(size_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int decodeHex(const CapxDumpOptions& o, FILE* f, FILE* out, FILE* err)
{
    Decoder dec(o, out);
    std::string line;
    std::vector<uint8_t> bytes;
    int lineNo = 0;
    int bad = 0;
    while (readLine(f, line)) {
        ++lineNo;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
        bytes.clear();
        int pending = -1;
        bool ok = true;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == '\r')
                continue;
            int d = hexValue(c);
            if (d < 0) {
                std::fprintf(err, "capxdump: line %d: not a hexadecimal digit: '%c'\n", lineNo,
                             (c >= 0x20 && c < 0x7F) ? c : '?');
                ok = false;
                break;
            }
            if (pending < 0) {
                pending = d;
            } else {
                bytes.push_back(uint8_t(pending * 16 + d));
                pending = -1;
            }
        }
        if (ok && pending >= 0) {
            std::fprintf(err, "capxdump: line %d: odd number of hexadecimal digits\n", lineNo);
            ok = false;
        }
        if (!ok) {
            ++bad;
            continue;
        }
        if (bytes.empty())
            continue;
        if (bytes.size() < 3) {
            std::fprintf(err, "capxdump: line %d: truncated frame: %zu bytes, a frame has at least 3\n", lineNo,
                         bytes.size());
            ++bad;
            continue;
        }
        size_t wireLen = size_t(bytes[0] << 8 | bytes[1]);
        if (wireLen == 0) {
            std::fprintf(err, "capxdump: line %d: empty frame (length 0)\n", lineNo);
            ++bad;
            continue;
        }
        if (bytes.size() < wireLen + 2) {
            std::fprintf(err, "capxdump: line %d: truncated frame: length %zu, only %s present\n", lineNo, wireLen,
                         count(bytes.size() - 2).c_str());
            ++bad;
            continue;
        }
        if (bytes.size() > wireLen + 2) {
            std::fprintf(err, "capxdump: line %d: %s after the frame of length %zu ignored\n", lineNo,
                         count(bytes.size() - wireLen - 2).c_str(), wireLen);
            ++bad;
            bytes.resize(wireLen + 2);
        }
        dec.frame(bytes);
    }
    return bad;
}

int decodeRaw(const CapxDumpOptions& o, FILE* f, FILE* out, FILE* err)
{
    std::vector<uint8_t> all;
    std::vector<uint8_t> chunk(65536);
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
        all.insert(all.end(), chunk.begin(), chunk.begin() + long(n));
    Decoder dec(o, out);
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    int bad = 0;
    while (pos < all.size()) {
        size_t left = all.size() - pos;
        if (left < 2) {
            std::fprintf(err, "capxdump: offset %zu: truncated length field\n", pos);
            return bad + 1;
        }
        size_t wireLen = size_t(all[pos] << 8 | all[pos + 1]);
        if (wireLen == 0) {
            std::fprintf(err, "capxdump: offset %zu: empty frame (length 0)\n", pos);
            ++bad;
            pos += 2;
            continue;
        }
        if (left < wireLen + 2) {
            std::fprintf(err, "capxdump: offset %zu: truncated frame: length %zu, only %s present\n", pos, wireLen,
                         count(left - 2).c_str());
            return bad + 1;
        }
        bytes.assign(all.begin() + long(pos), all.begin() + long(pos + wireLen + 2));
        dec.frame(bytes);
        pos += wireLen + 2;
    }
    return bad;
}

// Encodes one message in text form; prints the frame or an error.
bool encodeOne(const CapxDumpOptions& o, const std::string& text, const char* where, FILE* out, FILE* err)
{
    CapxMsg msg;
    char why[256];
    if (capxMsgFromText(text.c_str(), &msg, why, sizeof why) != 0) {
        std::fprintf(err, "capxdump: %s%s\n", where, why);
        return false;
    }
    uint8_t frame[CAPX_MAX_FRAME_LEN];
    const CapxLogSink errSink{writeTo, err};
    int n = capxEncodeMsgEx(&msg, frame, sizeof frame, 0, 0, &errSink);
    if (n <= 0) {
        std::fprintf(err, "capxdump: %s%s has no layout and cannot be encoded\n", where, capxMsgName(msg.msgId));
        return false;
    }
    if (o.key != 0 && msg.msgId != CAPX_LOGIN_ACK)
        capxLinkKeyTx(frame, n, uint8_t(o.key));
    for (int i = 0; i < n; ++i)
        std::fprintf(out, i == 0 ? "%02X" : " %02X", frame[i]);
    std::fprintf(out, "\n");
    std::fflush(out);
    return true;
}

int encodeLines(const CapxDumpOptions& o, FILE* f, FILE* out, FILE* err)
{
    std::string line;
    int lineNo = 0;
    int bad = 0;
    while (readLine(f, line)) {
        ++lineNo;
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        std::string where = "line " + std::to_string(lineNo) + ": ";
        if (!encodeOne(o, line, where.c_str(), out, err))
            ++bad;
    }
    return bad;
}

}  // namespace

void capxDumpUsage(FILE* out)
{
    std::fputs(
        "usage: capxdump [--raw] [--key N] [--level 1|2] [--text] [FILE]\n"
        "       capxdump --encode [--key N] [MESSAGE field=value ...]\n"
        "\n"
        "Decodes agent protocol frames from FILE (standard input when absent or \"-\")\n"
        "and prints each message with the message trace.\n"
        "  (default)    hexadecimal text, one frame per line; blanks are ignored and\n"
        "               '#' starts a comment\n"
        "  --raw        a raw byte stream, cut into frames by the length field\n"
        "  --key N      remove link key N (0..255); LOGIN and LOGIN_ACK are never keyed\n"
        "  --level N    trace level: 1 summary line, 2 dump and fields (default)\n"
        "  --text       print the one-line text form instead of the trace\n"
        "  --encode     build frames from the text form and print them in hexadecimal:\n"
        "               the words after the options form one message, otherwise every\n"
        "               line of FILE or standard input is one message. With --key the\n"
        "               key is applied as the sender does.\n"
        "Text form: NAME field=value ...; numbers decimal or 0x hex, strings quoted\n"
        "with C escapes (\\\\ \\\" \\n \\r \\t \\xHH), repeated entries as group[N].field\n"
        "or info[N].field. Example: capxdump --encode CONTROL control=11 result=0\n",
        out);
}

CapxDumpArgs capxDumpParseArgs(int argc, const char* const* argv, CapxDumpOptions& o, FILE* err)
{
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            return CapxDumpArgs::Help;
        } else if (std::strcmp(a, "--encode") == 0) {
            o.encode = true;
        } else if (std::strcmp(a, "--raw") == 0) {
            o.raw = true;
        } else if (std::strcmp(a, "--text") == 0) {
            o.text = true;
        } else if (std::strcmp(a, "--key") == 0 || std::strcmp(a, "--level") == 0) {
            bool isKey = a[2] == 'k';
            if (i + 1 >= argc) {
                std::fprintf(err, "capxdump: %s needs a value\n", a);
                return CapxDumpArgs::Error;
            }
            int* target = isKey ? &o.key : &o.level;
            if (!parseInt(argv[++i], isKey ? 0 : 1, isKey ? 255 : 2, target)) {
                std::fprintf(err, "capxdump: bad value for %s: '%s' (%s)\n", a, argv[i],
                             isKey ? "0..255" : "1 or 2");
                return CapxDumpArgs::Error;
            }
        } else if (a[0] == '-' && a[1] == '-') {
            std::fprintf(err, "capxdump: unknown option '%s'\n", a);
            return CapxDumpArgs::Error;
        } else if (o.encode) {
            // Everything after the options is one message in text form.
            for (; i < argc; ++i) {
                if (!o.encodeArgs.empty())
                    o.encodeArgs += ' ';
                o.encodeArgs += argv[i];
            }
            o.haveEncodeArgs = true;
        } else {
            if (o.file != nullptr) {
                std::fprintf(err, "capxdump: more than one input file\n");
                return CapxDumpArgs::Error;
            }
            o.file = a;
        }
    }
    if (o.encode && (o.raw || o.text)) {
        std::fprintf(err, "capxdump: --raw and --text are for decoding\n");
        return CapxDumpArgs::Error;
    }
    return CapxDumpArgs::Run;
}

int capxDumpEncodeArgs(const CapxDumpOptions& o, FILE* out, FILE* err)
{
    return encodeOne(o, o.encodeArgs, "", out, err) ? 0 : 1;
}

int capxDumpRun(const CapxDumpOptions& o, FILE* in, FILE* out, FILE* err)
{
    int bad;
    if (o.encode)
        bad = encodeLines(o, in, out, err);
    else if (o.raw)
        bad = decodeRaw(o, in, out, err);
    else
        bad = decodeHex(o, in, out, err);
    return bad == 0 ? 0 : 1;
}
