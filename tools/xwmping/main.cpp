// xwmping: pings a window's program with _NET_WM_PING, as a window manager
// does to find programs that stopped answering, every interval for a given
// time, and prints how long each answer took. The program answers from its
// user-interface thread, so a long answer is a window that did not react.
// Needs a display without a window manager (the answer goes to the root
// window, which this program watches).
//   xwmping WINDOW [-i interval-ms] [-d duration-ms] [-t timeout-ms]
// Prints one line per ping ("<ms since start> <answer ms>" or
// "<ms> none"), then "pings N answered A longest L ms median M ms".
// Exit status 0 when every ping was answered within the timeout.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

int usage()
{
    std::fprintf(stderr, "usage: xwmping WINDOW [-i interval-ms] [-d duration-ms] [-t timeout-ms]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return usage();
    const Window win = static_cast<Window>(std::strtoul(argv[1], nullptr, 0));
    int interval = 100, duration = 1000, timeout = 5000;
    for (int i = 2; i + 1 < argc; i += 2) {
        const int v = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "-i")) interval = v;
        else if (!std::strcmp(argv[i], "-d")) duration = v;
        else if (!std::strcmp(argv[i], "-t")) timeout = v;
        else return usage();
    }
    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) {
        std::fprintf(stderr, "xwmping: cannot open the display\n");
        return 2;
    }
    const Window root = DefaultRootWindow(dpy);
    const Atom protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(dpy, "_NET_WM_PING", False);
    // The answer is sent to the root window for the window manager's
    // masks; this client takes the notify ones.
    XSelectInput(dpy, root, SubstructureNotifyMask | StructureNotifyMask);
    XSync(dpy, False);

    const auto start = Clock::now();
    std::vector<long long> answers;
    int pings = 0;
    unsigned long stamp = 1;
    while (msSince(start) < duration) {
        const auto sent = Clock::now();
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = win;
        ev.xclient.message_type = protocols;
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(ping);
        ev.xclient.data.l[1] = static_cast<long>(++stamp);  // the answer carries it back
        ev.xclient.data.l[2] = static_cast<long>(win);
        XSendEvent(dpy, win, False, NoEventMask, &ev);
        XFlush(dpy);
        ++pings;
        long long took = -1;
        while (took < 0 && msSince(sent) < timeout) {
            while (XPending(dpy) > 0) {
                XEvent in;
                XNextEvent(dpy, &in);
                if (in.type == ClientMessage && in.xclient.message_type == protocols &&
                    static_cast<Atom>(in.xclient.data.l[0]) == ping &&
                    static_cast<unsigned long>(in.xclient.data.l[1]) == stamp)
                    took = msSince(sent);
            }
            if (took >= 0) break;
            pollfd p{ConnectionNumber(dpy), POLLIN, 0};
            poll(&p, 1, 10);
        }
        if (took >= 0) {
            answers.push_back(took);
            std::printf("%lld %lld\n", msSince(start), took);
        } else {
            std::printf("%lld none\n", msSince(start));
        }
        std::fflush(stdout);
        const long long rest = interval - msSince(sent);
        if (rest > 0) poll(nullptr, 0, static_cast<int>(rest));
    }
    std::vector<long long> sorted = answers;
    std::sort(sorted.begin(), sorted.end());
    const long long longest = sorted.empty() ? -1 : sorted.back();
    const long long median = sorted.empty() ? -1 : sorted[sorted.size() / 2];
    std::printf("pings %d answered %zu longest %lld ms median %lld ms\n", pings, answers.size(), longest, median);
    XCloseDisplay(dpy);
    return static_cast<int>(answers.size()) == pings ? 0 : 1;
}
