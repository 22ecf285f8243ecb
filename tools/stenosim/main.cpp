// stenosim: a stenography (CAT) program stand-in. Connects to the agent
// client's stenography port and sends plain text, CaseView or Bridge bytes,
// from a file, the command line or generated, in chunks at a given pace.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
        "usage: stenosim [options]\n"
        "  -H, --host ADDR      agent client address (default 127.0.0.1)\n"
        "  -p, --port N         stenography port (default 3321)\n"
        "  -f, --format F       plain | caseview | bridge (default plain): how text is wrapped\n"
        "  -i, --file FILE      send the bytes of FILE as they are\n"
        "  -t, --text TEXT      send TEXT (wrapped in the format)\n"
        "  -g, --generate N     send N generated words (wrapped in the format)\n"
        "  -c, --chunk N        bytes per write (default 16)\n"
        "  -d, --pace MS        pause between writes (default 100)\n"
        "  -r, --repeat N       send everything N times (default 1)\n"
        "  -w, --wait MS        stay connected MS after the last write (default 500)\n"
        "      --storm N        instead: N connections within --storm-ms, one after the\n"
        "                       other; about half send one to three short tagged pieces\n"
        "                       (\"<S012.1> ...\") before closing, and every fifth stays\n"
        "                       open until the next has connected (it is replaced)\n"
        "      --storm-ms MS    time the storm takes (default 10000)\n"
        "      --storm-seed S   seed of the storm (default 1)\n"
        "      --storm-log FILE every piece sent, one a line\n"
        "  -h, --help\n");
}

int number(const char* s, const char* what)
{
    char* end = nullptr;
    const long v = std::strtol(s, &end, 0);
    if (end == s || *end != '\0' || v < 0) {
        std::fprintf(stderr, "stenosim: %s: not a number: %s\n", what, s);
        std::exit(2);
    }
    return static_cast<int>(v);
}

// CaseView: plain text with a tab-like 0x1A code (5 bytes of arguments) before
// every line and 0xFA as word separator.
std::vector<uint8_t> toCaseView(const std::string& text)
{
    std::vector<uint8_t> out = {0x1A, 0, 0, 0, 0, 0};
    for (char ch : text) {
        if (ch == ' ') out.push_back(0xFA);
        else if (ch == '\n') out.insert(out.end(), {0x1A, 0, 0, 0, 0, 0});
        else out.push_back(static_cast<uint8_t>(ch));
    }
    return out;
}

// Bridge: plain text; each word followed by a command block that
// positions the cursor (STX 'P' x y ETX).
std::vector<uint8_t> toBridge(const std::string& text)
{
    std::vector<uint8_t> out;
    for (char ch : text) {
        out.push_back(static_cast<uint8_t>(ch));
        if (ch == ' ') out.insert(out.end(), {0x02, 'P', 0x01, 0x01, 0x03});
    }
    return out;
}

std::string generate(int words)
{
    static const char* lex[] = {"hello", "this", "is", "a", "captioned", "call", "please", "hold",
                                "the", "line", "thank", "you", "for", "waiting"};
    std::string s;
    for (int i = 0; i < words; ++i) {
        s += lex[i % (sizeof lex / sizeof lex[0])];
        s += (i % 8 == 7) ? ". " : " ";
    }
    return s;
}

int connectTo(const std::string& host, int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// A stenography program that keeps reconnecting: n connections spread over
// ms, each closing before the next opens except every fifth, which the next
// one replaces while it is still open. Every piece is written whole on a
// connection the client has not replaced yet.
int storm(const std::string& host, int port, int n, int ms, uint32_t seed, const std::string& logPath)
{
    std::mt19937 rng(seed);
    FILE* log = logPath.empty() ? nullptr : std::fopen(logPath.c_str(), "w");
    if (!logPath.empty() && log == nullptr) {
        std::fprintf(stderr, "stenosim: cannot write %s\n", logPath.c_str());
        return 2;
    }
    static const char* lex[] = {"storm", "words", "from", "the", "writer", "again", "and", "more"};
    const auto start = std::chrono::steady_clock::now();
    int held = -1, withBytes = 0, pieces = 0, replaced = 0, failed = 0;
    size_t bytes = 0;
    for (int i = 0; i < n; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(static_cast<long long>(ms) * i / n));
        const int fd = connectTo(host, port);
        if (held >= 0) {  // the next connection is up: now the replaced one goes
            close(held);
            held = -1;
        }
        if (fd < 0) {
            ++failed;
            continue;
        }
        const int k = rng() % 2 == 0 ? 0 : 1 + static_cast<int>(rng() % 3);
        for (int j = 1; j <= k; ++j) {
            char piece[128];
            int len = std::snprintf(piece, sizeof piece, "<S%03d.%d>", i, j);
            const int words = 1 + static_cast<int>(rng() % 8);
            for (int w = 0; w < words; ++w)
                len += std::snprintf(piece + len, sizeof piece - static_cast<size_t>(len), " %s", lex[rng() % 8]);
            piece[len++] = ' ';
            if (send(fd, piece, static_cast<size_t>(len), MSG_NOSIGNAL) != len) {
                ++failed;
                break;
            }
            bytes += static_cast<size_t>(len);
            ++pieces;
            if (log != nullptr) std::fprintf(log, "%.*s\n", len - 1, piece);
        }
        if (k > 0) ++withBytes;
        if (i % 5 == 4 && i + 1 < n) {
            held = fd;
            ++replaced;
        } else {
            close(fd);
        }
    }
    if (held >= 0) close(held);
    if (log != nullptr) std::fclose(log);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr,
                 "stenosim: storm: %d connections in %lld ms, %d with bytes (%d pieces, %zu bytes), %d replaced while "
                 "open, %d failed\n",
                 n, static_cast<long long>(took), withBytes, pieces, bytes, replaced, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1", format = "plain", file, text;
    int port = 3321, words = -1, chunk = 16, pace = 100, repeat = 1, waitMs = 500;
    int stormN = 0, stormMs = 10000;
    uint32_t stormSeed = 1;
    std::string stormLog;
    static const option opts[] = {
        {"host", required_argument, nullptr, 'H'},   {"port", required_argument, nullptr, 'p'},
        {"format", required_argument, nullptr, 'f'}, {"file", required_argument, nullptr, 'i'},
        {"text", required_argument, nullptr, 't'},   {"generate", required_argument, nullptr, 'g'},
        {"chunk", required_argument, nullptr, 'c'},  {"pace", required_argument, nullptr, 'd'},
        {"repeat", required_argument, nullptr, 'r'}, {"wait", required_argument, nullptr, 'w'},
        {"help", no_argument, nullptr, 'h'},         {"storm", required_argument, nullptr, 1000},
        {"storm-ms", required_argument, nullptr, 1001}, {"storm-seed", required_argument, nullptr, 1002},
        {"storm-log", required_argument, nullptr, 1003}, {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "H:p:f:i:t:g:c:d:r:w:h", opts, nullptr)) != -1) {
        switch (c) {
        case 'H': host = optarg; break;
        case 'p': port = number(optarg, "port"); break;
        case 'f': format = optarg; break;
        case 'i': file = optarg; break;
        case 't': text = optarg; break;
        case 'g': words = number(optarg, "generate"); break;
        case 'c': chunk = number(optarg, "chunk"); break;
        case 'd': pace = number(optarg, "pace"); break;
        case 'r': repeat = number(optarg, "repeat"); break;
        case 'w': waitMs = number(optarg, "wait"); break;
        case 'h': usage(stdout); return 0;
        case 1000: stormN = number(optarg, "storm"); break;
        case 1001: stormMs = number(optarg, "storm-ms"); break;
        case 1002: stormSeed = static_cast<uint32_t>(number(optarg, "storm-seed")); break;
        case 1003: stormLog = optarg; break;
        default: usage(stderr); return 2;
        }
    }
    if (chunk < 1) chunk = 1;
    if (format != "plain" && format != "caseview" && format != "bridge") {
        std::fprintf(stderr, "stenosim: unknown format %s (plain, caseview, bridge)\n", format.c_str());
        return 2;
    }
    if (stormN > 0) return storm(host, port, stormN, stormMs, stormSeed, stormLog);
    std::vector<uint8_t> bytes;
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "stenosim: cannot read %s\n", file.c_str());
            return 2;
        }
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        const std::string plain = !text.empty() ? text : generate(words >= 0 ? words : 24);
        if (format == "caseview") bytes = toCaseView(plain);
        else if (format == "bridge") bytes = toBridge(plain);
        else bytes.assign(plain.begin(), plain.end());
    }

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        std::fprintf(stderr, "stenosim: not a dotted IPv4 address: %s\n", host.c_str());
        return 2;
    }
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::fprintf(stderr, "stenosim: cannot connect to %s:%d: %s\n", host.c_str(), port, std::strerror(errno));
        return 1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    size_t total = 0;
    for (int r = 0; r < repeat; ++r) {
        for (size_t i = 0; i < bytes.size(); i += static_cast<size_t>(chunk)) {
            const size_t n = std::min(bytes.size() - i, static_cast<size_t>(chunk));
            if (send(fd, bytes.data() + i, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) {
                std::fprintf(stderr, "stenosim: send failed: %s\n", std::strerror(errno));
                close(fd);
                return 1;
            }
            total += n;
            if (pace > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pace));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    close(fd);
    std::fprintf(stderr, "stenosim: sent %zu bytes\n", total);
    return 0;
}
