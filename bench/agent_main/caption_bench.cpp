// Caption path latency through the real program: one byte written by a
// stenography program on the stenography port until its DATA frame has been
// read on the service's socket (receive thread, agent task, conversion, the
// main window's caption routine reached across threads, the send path), and
// a typed Tx Data until its DATA frame is read. Beside them, a bare
// read -> write relay on the same loopback, measured in the same run.
//
// The main window runs on the main thread (offscreen); the figures are taken
// on a thread of their own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include "agentlinkops_product.h"
#include "capa.h"
#include "cdariduruDlg.h"
#include "cdlglogin.h"
#include "pos.h"
#include "posinternal.h"
#include "rtpagent.h"
#include "settingsstore.h"
#include "svcsim.h"

namespace {

using Clock = std::chrono::steady_clock;

// Pieces come at a human pace: each is measured from an idle path (the
// window has painted and acknowledged the previous one). The relay gets the
// same pause.
void betweenPieces()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

SvcSim* g_sim = nullptr;
CDarIduruDlg* g_window = nullptr;
int g_steno = -1;
double g_p99[3] = {0, 0, 0};  // steno, typed, relay

struct BenchLinkOps : ProductAgentLinkOps {
    int soundInit() override { return 0; }
    QString outputDeviceName() override { return QStringLiteral("none"); }
    void shutdown(int code) override { std::fprintf(stderr, "shutdown %d requested\n", code); }
};

void startRuntime()
{
    posInit(99);
    while (g_posLogTaskId.load() == 0) usleep(1000);
    posGatesOpenAll();
    capcSetStenoPort(0);
    capcCreateTask();
    int err = 0;
    rtpCreateTask(&err);
    while (capcStenoListenPort() <= 0 || !rtpTaskReady()) usleep(1000);
}

void noDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int connectLoopback(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    noDelay(s);
    return s;
}

int listenLoopback(int* port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(s, 1);
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return s;
}

void report(benchmark::State& state, std::vector<double>& us, int slot)
{
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    state.counters["max_us"] = us.back();
    g_p99[slot] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Waits for the next DATA frame the service reads; its read time.
bool nextData(Clock::time_point* at)
{
    return g_sim->waitFor(
        [at](const std::vector<SvcSimFrame>& frames) {
            for (const SvcSimFrame& f : frames)
                if (f.id == CAPX_DATA) {
                    *at = f.at;
                    return true;
                }
            return false;
        },
        2000);
}

void BM_StenoByteToData(benchmark::State& state)
{
    std::vector<double> us;
    us.reserve(size_t(state.max_iterations));
    const char byte = 'a';
    for (auto _ : state) {
        g_sim->clearFrames();
        const Clock::time_point t0 = Clock::now();
        if (send(g_steno, &byte, 1, MSG_NOSIGNAL) != 1) {
            state.SkipWithError("stenography link lost");
            break;
        }
        Clock::time_point at;
        if (!nextData(&at)) {
            state.SkipWithError("no DATA");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(at - t0).count());
        betweenPieces();
    }
    report(state, us, 0);
}
BENCHMARK(BM_StenoByteToData)->UseRealTime()->Iterations(3000);

void BM_TypedTxDataToData(benchmark::State& state)
{
    std::vector<double> us;
    us.reserve(size_t(state.max_iterations));
    auto* box = g_window->controlAs<QPlainTextEdit>(CDarIduruDlg::IDC_TYPING);
    std::atomic<int64_t> t0ns{0};
    for (auto _ : state) {
        g_sim->clearFrames();
        QMetaObject::invokeMethod(
            g_window,
            [box, &t0ns] {
                box->setPlainText(QStringLiteral("x"));
                t0ns = Clock::now().time_since_epoch().count();
                g_window->OnTxData();
            },
            Qt::QueuedConnection);
        Clock::time_point at;
        if (!nextData(&at)) {
            state.SkipWithError("no DATA");
            break;
        }
        const Clock::time_point t0{Clock::duration(t0ns.load())};
        us.push_back(std::chrono::duration<double, std::micro>(at - t0).count());
        betweenPieces();
    }
    report(state, us, 1);
}
BENCHMARK(BM_TypedTxDataToData)->UseRealTime()->Iterations(2000);

void BM_BareRelay(benchmark::State& state)
{
    int inPort = 0, outPort = 0;
    const int inListen = listenLoopback(&inPort);
    const int outListen = listenLoopback(&outPort);
    std::thread relay([&] {
        const int from = accept(inListen, nullptr, nullptr);
        const int to = connectLoopback(outPort);
        noDelay(from);
        char buf[1024];
        for (;;) {
            const ssize_t n = recv(from, buf, sizeof buf, 0);
            if (n <= 0 || send(to, buf, size_t(n), MSG_NOSIGNAL) != n) break;
        }
        close(from);
        close(to);
    });
    const int writer = connectLoopback(inPort);
    const int reader = accept(outListen, nullptr, nullptr);
    std::vector<double> us;
    us.reserve(size_t(state.max_iterations));
    const char byte = 'a';
    for (auto _ : state) {
        char got;
        const Clock::time_point t0 = Clock::now();
        send(writer, &byte, 1, MSG_NOSIGNAL);
        if (recv(reader, &got, 1, 0) != 1) {
            state.SkipWithError("relay lost");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        betweenPieces();
    }
    shutdown(writer, SHUT_RDWR);
    close(writer);
    relay.join();
    close(reader);
    close(inListen);
    close(outListen);
    report(state, us, 2);
}
BENCHMARK(BM_BareRelay)->UseRealTime()->Iterations(3000);

// Runs the event loop until pred holds or timeoutMs passed.
bool spinUntil(const std::function<bool()>& pred, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    qputenv("POS_DEBUG_DIR", home.path().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QUILLON_AUDIO", "none");
    QApplication app(argc, argv);

    // The service: login accepted, keep-alives that show the agent busy,
    // every DATA acknowledged.
    SvcSimConfig config;
    config.keepAlivePeriodMs = 500;
    config.kaCurCaCount = 1;
    config.kaCaState = 4;
    std::unique_ptr<SvcSim> sim;
    int systemType = 0;
    for (int attempt = 0; attempt < 50 && !sim; ++attempt) {
        systemType = 200 + int(arc4random_uniform(6000));
        config.port = CDlgLogin::serverPort(systemType);
        sim = std::make_unique<SvcSim>(config);
        if (sim->start() <= 0) sim.reset();
    }
    if (!sim) {
        std::fprintf(stderr, "caption_bench: no port for the service simulator\n");
        return 1;
    }
    g_sim = sim.get();
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Quillon"),
                        QStringLiteral("QuillonAgent"));
        store.setValue(QStringLiteral("Settings/SystemType"), systemType);
        store.setValue(QStringLiteral("Settings/UseStenoSW"), 0);
        store.sync();
    }

    BenchLinkOps ops;
    setAgentLinkOps(&ops);
    CDarIduruDlg::setRuntimeStarter(startRuntime);
    CDarIduruDlg::setWaitScale(0.01);
    auto* window = new CDarIduruDlg;
    g_window = window;
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll] {
        auto* dlg = qobject_cast<CDlgLogin*>(QApplication::activeModalWidget());
        if (!dlg || !dlg->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        dlg->controlAs<QLineEdit>(CDlgLogin::IDC_LOGIN_ID)->setText(QStringLiteral("agent7"));
        dlg->controlAs<QLineEdit>(CDlgLogin::IDC_PASSWORD)->setText(QStringLiteral("secret1"));
        dlg->controlAs<QPushButton>(1)->click();
    });
    poll->start(20);
    if (!window->InitWindow() ||
        !spinUntil([] { return conContext().loginState.load() == 2; }, 10000)) {
        std::fprintf(stderr, "caption_bench: login failed\n");
        return 1;
    }

    // The stenography program, then a call in service with captioning on.
    g_steno = connectLoopback(capcStenoListenPort());
    bool ready = g_steno >= 0 && spinUntil([] { return conContext().inputMode.load() == 1; }, 5000);
    ready = ready && sim->sendText("ASSIGN_COMPLETE cuPhoneNumber=\"5551234\"") >= 0 &&
            spinUntil([] { return conContext().callState.load() == STATE_IN_SERVICE; }, 5000);
    ready = ready && sim->sendText("CONTROL control=1") >= 0 &&
            spinUntil([] { return conContext().captioning.load() == 1; }, 5000);
    if (!ready) {
        std::fprintf(stderr, "caption_bench: no captioning call\n");
        return 1;
    }

    std::thread figures([&] {
        benchmark::RunSpecifiedBenchmarks();
        QMetaObject::invokeMethod(&app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    app.exec();
    figures.join();
    if (g_p99[2] > 0)
        std::printf("caption path p99 / bare relay p99: stenography %.2f, typed %.2f\n",
                    g_p99[0] / g_p99[2], g_p99[1] / g_p99[2]);
    std::fflush(stdout);
    benchmark::Shutdown();
    // The runtime's threads run for ever: leave without tearing them down.
    std::_Exit(0);
}
