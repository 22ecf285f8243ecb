// poscon: the operator's client of a node's remote console.
//
// Connects to the console port (7500 + node id, 7599 by default), sends each
// line typed with its terminating zero byte and prints what the node sends.
// On a terminal it offers line editing and a local history (readline); with
// standard input from a pipe or file (or -b) it sends one line at a time and
// waits for the node's answer to settle before the next, so that scripts and
// tests can drive a node.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#ifdef POSCON_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 7599;
    bool batch = false;
    int settleMs = 300;       // quiet time after the prompt before the next line
    int answerMs = 30000;     // longest wait for an answer in batch mode
};

void usage(FILE* out) {
    fprintf(out,
            "usage: poscon [-b] [-n node] [-p port] [-s settle-ms] [-t answer-ms] [host[:port]]\n"
            "  Connects to a node's remote console (default 127.0.0.1:7599).\n"
            "  -n node   node id: port 7500 + node\n"
            "  -p port   console port\n"
            "  -b        batch mode: read lines from standard input (the default when it is no terminal)\n"
            "  -s ms     batch mode: quiet time after the prompt before the next line (default 300)\n"
            "  -t ms     batch mode: longest wait for an answer (default 30000)\n");
}

bool parseInt(const char* text, int lo, int hi, int* out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || !end || *end || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

bool parseArgs(int argc, char** argv, Options* o) {
    int opt;
    while ((opt = getopt(argc, argv, "bn:p:s:t:h")) != -1) {
        int v;
        switch (opt) {
        case 'b': o->batch = true; break;
        case 'n':
            if (!parseInt(optarg, 0, 299, &v)) return false;
            o->port = 7500 + v;
            break;
        case 'p':
            if (!parseInt(optarg, 1, 65535, &o->port)) return false;
            break;
        case 's':
            if (!parseInt(optarg, 0, 600000, &o->settleMs)) return false;
            break;
        case 't':
            if (!parseInt(optarg, 1, 3600000, &o->answerMs)) return false;
            break;
        case 'h': usage(stdout); exit(0);
        default: return false;
        }
    }
    if (optind < argc) {
        std::string target = argv[optind++];
        size_t colon = target.rfind(':');
        if (colon != std::string::npos) {
            if (!parseInt(target.c_str() + colon + 1, 1, 65535, &o->port)) return false;
            target.resize(colon);
        }
        if (!target.empty()) o->host = target;
    }
    return optind == argc;
}

int connectTo(const Options& o) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::string port = std::to_string(o.port);
    int rc = getaddrinfo(o.host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        fprintf(stderr, "poscon: %s: %s\n", o.host.c_str(), gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    int err = 0;
    for (addrinfo* a = res; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
        err = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) {
        fprintf(stderr, "poscon: cannot connect to %s:%d: %s\n", o.host.c_str(), o.port, strerror(err));
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool sendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Sends one console line: the text and its terminating zero byte.
bool sendLine(int fd, const std::string& line) { return sendAll(fd, line.c_str(), line.size() + 1); }

void writeOut(const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

using Clock = std::chrono::steady_clock;
int msSince(Clock::time_point t) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// ---- batch mode ---------------------------------------------------------------------
// Output of the node since the last line was sent, and the prompt learnt from
// the greeting (the text after its last line feed).
struct Batch {
    int fd;
    const Options& o;
    std::string prompt;
    std::string recent;    // output since the last line was sent
    bool closed = false;

    // Reads what is there within `ms`; false when the wait ended without data.
    bool pump(int ms) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, ms);
        if (r <= 0) return false;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) {
            closed = true;
            return false;
        }
        writeOut(buf, static_cast<size_t>(n));
        recent.append(buf, static_cast<size_t>(n));
        if (recent.size() > 65536) recent.erase(0, recent.size() - 4096);
        return true;
    }

    // Waits until the answer is complete: the prompt has arrived and nothing
    // more came for the settle time (or the answer time ran out).
    void settle() {
        Clock::time_point start = Clock::now();
        Clock::time_point last = start;
        for (;;) {
            bool promptSeen = !prompt.empty() && recent.find(prompt) != std::string::npos;
            if (promptSeen && msSince(last) >= o.settleMs) return;
            if (msSince(start) >= o.answerMs) return;
            int wait = promptSeen ? o.settleMs - msSince(last) : o.answerMs - msSince(start);
            if (wait < 1) wait = 1;
            if (pump(wait)) last = Clock::now();
            if (closed) return;
        }
    }

    // The greeting: "***** Connected.. POS-NODE(n) *****\n" and the prompt,
    // which is learnt from it (the text up to and including "> ").
    void greeting() {
        Clock::time_point start = Clock::now();
        while (!closed && msSince(start) < o.answerMs) {
            size_t g = recent.find(" *****\n");
            if (g != std::string::npos) {
                size_t end = recent.find("> ", g);
                if (end != std::string::npos) {
                    prompt = recent.substr(g + 7, end + 2 - (g + 7));
                    break;
                }
            }
            pump(o.answerMs - msSince(start));
        }
        settle();
    }
};

int runBatch(int fd, const Options& o) {
    Batch b{fd, o, {}, {}, false};
    b.greeting();
    if (b.closed) {
        fprintf(stderr, "poscon: connection closed by the node\n");
        return 0;
    }

    char* line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, stdin)) >= 0) {
        while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';
        b.recent.clear();
        if (!sendLine(fd, std::string(line, static_cast<size_t>(len)))) {
            b.closed = true;
            break;
        }
        b.settle();
        if (b.closed) break;
    }
    free(line);
    if (!b.closed) {
        // Whatever is still on its way.
        while (b.pump(b.o.settleMs)) {
        }
    }
    if (b.closed) fprintf(stderr, "poscon: connection closed by the node\n");
    return 0;
}

// ---- interactive mode ---------------------------------------------------------------
#ifdef POSCON_HAVE_READLINE
int g_fd = -1;
bool g_quit = false;
volatile sig_atomic_t g_interrupted = 0;

// Ctrl-C or a termination request: leave through the normal path so that the
// terminal settings readline changed are restored.
void onSignal(int) { g_interrupted = 1; }
std::string g_partial;   // node output after its last line feed, shown as the prompt

void onLine(char* line) {
    if (!line) {   // end of input
        g_quit = true;
        writeOut("\n", 1);
        return;
    }
    if (*line) add_history(line);
    g_partial.clear();
    rl_set_prompt("");
    if (!sendLine(g_fd, line)) g_quit = true;
    free(line);
}

// Prints node output above the line being edited and keeps the node's last
// partial line (normally its prompt) as the editing prompt.
void showOutput(const char* data, size_t n) {
    char* saved = rl_copy_text(0, rl_end);
    int point = rl_point;
    rl_set_prompt("");
    rl_replace_line("", 0);
    rl_redisplay();
    writeOut("\r\033[K", 4);
    std::string text = g_partial;
    text.append(data, n);
    size_t nl = text.rfind('\n');
    if (nl == std::string::npos) {
        g_partial = text;
    } else {
        writeOut(text.data(), nl + 1);
        g_partial = text.substr(nl + 1);
    }
    rl_set_prompt(g_partial.c_str());
    rl_replace_line(saved, 0);
    rl_point = point;
    rl_redisplay();
    free(saved);
}

int runInteractive(int fd) {
    g_fd = fd;
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    rl_callback_handler_install("", onLine);
    int rc = 0;
    while (!g_quit && !g_interrupted) {
        pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) {
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                rl_set_prompt("");
                rl_replace_line("", 0);
                rl_redisplay();
                fprintf(stderr, "\nposcon: connection closed by the node\n");
                break;
            }
            showOutput(buf, static_cast<size_t>(n));
        }
        if (p[0].revents) rl_callback_read_char();
    }
    rl_callback_handler_remove();
    if (g_interrupted) writeOut("\n", 1);
    return rc;
}
#else
// Without readline: the terminal's own line editing, lines sent as typed.
int runInteractive(int fd) {
    std::string pending;
    for (;;) {
        pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        char buf[4096];
        if (p[1].revents) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                fprintf(stderr, "\nposcon: connection closed by the node\n");
                return 0;
            }
            writeOut(buf, static_cast<size_t>(n));
        }
        if (p[0].revents) {
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) return 0;
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending.erase(0, nl + 1);
                if (!sendLine(fd, line)) return 0;
            }
        }
    }
}
#endif

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseArgs(argc, argv, &o)) {
        usage(stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int fd = connectTo(o);
    if (fd < 0) return 1;
    bool batch = o.batch || !isatty(STDIN_FILENO);
    int rc = batch ? runBatch(fd, o) : runInteractive(fd);
    close(fd);
    return rc;
}
