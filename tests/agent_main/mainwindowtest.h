// Shared set-up of the main window tests: one runtime per process (node 99
// with the tasks "CAPA" and "RTP", no remote console), the service simulator
// on a port of the system type's form, the scripted prompter, the recording
// sound player, and the real main window logged in through its login dialog.
#pragma once

#include "agentlinkops_product.h"
#include "capa.h"
#include "cdariduruDlg.h"
#include "cdlglogin.h"
#include "consoleevent.h"
#include "pos.h"
#include "posinternal.h"
#include "rtpagent.h"
#include "scriptedprompter.h"
#include "sound/soundplayer.h"
#include "svcsim.h"
#include "windowtest.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>
#include <memory>
#include <vector>

namespace maintest {

// The product's link operations without sound hardware, with a shutdown
// that is recorded instead of ending the process.
struct TestLinkOps : ProductAgentLinkOps {
    int soundInit() override { return 0; }
    QString outputDeviceName() override { return QStringLiteral("Test Speaker"); }
    void shutdown(int code) override { shutdowns.push_back(code); }
    std::vector<int> shutdowns;
};

// The runtime of the test process: node 99, the log task, "CAPA" and "RTP",
// released at once. The stenography listener takes any free port.
inline void startTestRuntime()
{
    static QTemporaryDir debugDir;
    if (qEnvironmentVariableIsEmpty("POS_DEBUG_DIR"))
        qputenv("POS_DEBUG_DIR", debugDir.path().toLocal8Bit());
    posInit(99);
    for (int i = 0; i < 500 && g_posLogTaskId.load() == 0; ++i)
        QThread::msleep(10);
    posGatesOpenAll();
    capcSetStenoPort(0);
    capcCreateTask();
    int err = 0;
    rtpCreateTask(&err);
    for (int i = 0; i < 500 && (capcStenoListenPort() <= 0 || !rtpTaskReady()); ++i)
        QThread::msleep(10);
}

// Waits (bounded) until no server receive thread runs, so that the next
// test's link can start.
inline bool waitLinkDown(int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (g_capcInfo.running.load() != 0) {
        if (t.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

// A simulator listening on 127.0.0.1 at 33210 + 5 x systemType, for a
// system type it picks; the store's SystemType is set to it.
inline std::unique_ptr<SvcSim> startSim(SvcSimConfig config, int* systemTypeOut = nullptr)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int systemType = 200 + int(QRandomGenerator::global()->bounded(6000));
        config.port = CDlgLogin::serverPort(systemType);
        config.bindAddress = "127.0.0.1";
        auto sim = std::make_unique<SvcSim>(config);
        if (sim->start() > 0) {
            windowtest::writeRaw(settings::kSettings, settings::kSystemType, systemType);
            if (systemTypeOut)
                *systemTypeOut = systemType;
            return sim;
        }
    }
    return nullptr;
}

// Fills and confirms the login dialog as soon as it is the active modal
// window (the main window's InitWindow runs it modally).
inline void answerLoginDialog(const QString& user, const QString& password, bool cancel = false)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, user, password, cancel] {
        auto* dlg = qobject_cast<CDlgLogin*>(QApplication::activeModalWidget());
        if (!dlg || !dlg->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        if (cancel) {
            dlg->controlAs<QPushButton>(2)->click();
            return;
        }
        dlg->controlAs<QLineEdit>(CDlgLogin::IDC_LOGIN_ID)->setText(user);
        dlg->controlAs<QLineEdit>(CDlgLogin::IDC_PASSWORD)->setText(password);
        dlg->controlAs<QPushButton>(1)->click();
    });
    poll->start(20);
}

// The common frame of a main window test: prompter, sound recorder, link
// operations, a simulator and the window.
struct MainFixture {
    ScriptedPrompter prompts;
    RecordingSoundPlayer sounds;
    TestLinkOps ops;
    std::unique_ptr<SvcSim> sim;
    std::unique_ptr<CDarIduruDlg> window;

    MainFixture()
    {
        setSoundPlayer(&sounds);
        setAgentLinkOps(&ops);
    }
    ~MainFixture()
    {
        window.reset();
        if (sim)
            sim->stop();
        waitLinkDown();
        setAgentLinkOps(nullptr);
        setSoundPlayer(nullptr);
    }

    // Starts the simulator and the window, logs in through the dialog and
    // waits until the window is published and the login accepted (when
    // config answers it). False when a step failed.
    bool start(const SvcSimConfig& config, bool waitAccepted = true)
    {
        sim = startSim(config);
        if (!sim)
            return false;
        window = std::make_unique<CDarIduruDlg>();
        answerLoginDialog(QStringLiteral("agent7"), QStringLiteral("secret1"));
        if (!window->InitWindow())
            return false;
        if (!waitAccepted)
            return true;
        return waitFor([] { return conContext().loginState.load() == 2; }, 10000);
    }

    static bool waitFor(const std::function<bool()>& pred, int timeoutMs = 5000)
    {
        QElapsedTimer t;
        t.start();
        while (!pred()) {
            if (t.elapsed() > timeoutMs)
                return false;
            QTest::qWait(5);
        }
        return true;
    }

    // Waits, with the window's events handled, until the simulator has
    // received n frames of id (its own wait would block the window).
    bool waitCount(int id, int n, int timeoutMs = 5000)
    {
        return waitFor([&] { return sim->count(id) >= n; }, timeoutMs);
    }

    QString text(int id) const
    {
        QWidget* w = window->control(id);
        if (auto* b = qobject_cast<QPushButton*>(w))
            return b->text();
        if (auto* l = qobject_cast<QLabel*>(w))
            return l->text();
        return QString();
    }
    int countSounds(const QString& line) const { return int(sounds.calls.count(line)); }
};

}  // namespace maintest

// main() of a main window test: the window test frame plus the runtime.
#define QUILLON_MAIN_WINDOW_TEST_MAIN(TestClass)                              \
    int main(int argc, char** argv)                                           \
    {                                                                         \
        QTemporaryDir configHome;                                             \
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());          \
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))                   \
            qputenv("XDG_RUNTIME_DIR", configHome.path().toLocal8Bit());      \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                   \
            qputenv("QT_QPA_PLATFORM", "offscreen");                          \
        QApplication app(argc, argv);                                         \
        CDarIduruDlg::setRuntimeStarter(maintest::startTestRuntime);          \
        TestClass tc;                                                         \
        return QTest::qExec(&tc, argc, argv);                                 \
    }
