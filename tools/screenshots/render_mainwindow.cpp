// The main window in its states, for render_windows: before login, logged
// in and not joined, joined, keep-alive missing, and the hand-typing and
// stenography layouts. The window runs on a runtime without a server: the
// server's answers are handed to it as the mailbox would.
#include "render_mainwindow.h"

#include "capa.h"
#include "cdariduruDlg.h"
#include "cdlglogin.h"
#include "consoleevent.h"
#include "pos.h"
#include "posinternal.h"
#include "rtpagent.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cstring>

namespace {

void startRuntime()
{
    posInit(99);
    for (int i = 0; i < 500 && g_posLogTaskId.load() == 0; ++i)
        QThread::msleep(10);
    posLogOff(1);
    posGatesOpenAll();
    capcSetStenoPort(0);
    capcCreateTask();
    int err = 0;
    rtpCreateTask(&err);
}

void answerLogin()
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll] {
        auto* dlg = qobject_cast<CDlgLogin*>(QApplication::activeModalWidget());
        if (!dlg)
            return;
        poll->stop();
        poll->deleteLater();
        dlg->controlAs<QLineEdit>(CDlgLogin::IDC_LOGIN_ID)->setText("agent7");
        dlg->controlAs<QLineEdit>(CDlgLogin::IDC_PASSWORD)->setText("secret1");
        dlg->controlAs<QPushButton>(1)->click();
    });
    poll->start(20);
}

CapxMsg message(int id)
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.msgId = uint8_t(id);
    return m;
}

}  // namespace

void renderMainWindow(const std::function<void(QWidget*, const char*)>& render)
{
    CDarIduruDlg::setRuntimeStarter(startRuntime);
    CDarIduruDlg::setWaitScale(0.0);
    CDarIduruDlg w;
    answerLogin();
    if (!w.InitWindow())
        return;
    render(&w, "main_before_login");

    CapxMsg ack = message(CAPX_LOGIN_ACK);
    ack.loginAck.agentId = 1207;
    std::strcpy(ack.loginAck.phoneNumber, "5550100");
    w.HandleMessage(ack);
    // Show the blinking invitation in its first colour.
    render(&w, "main_logged_in");

    CapxMsg joined = message(CAPX_CA_SVC_STATE_ACK);
    joined.caSvcStateAck.inService = 1;
    w.HandleMessage(joined);
    QApplication::postEvent(&w, new ConsoleEvent(WM_CAPC_CA_COUNT, 3));
    QTest::qWait(50);
    render(&w, "main_joined");

    conContext().joined = 0;
    w.ShowServiceState();
    w.SetInputMode(1);
    w.SetCaptionLights(3);
    render(&w, "main_stenography");

    // No keep-alive for 1500 ms: "KA FAIL".
    w.SetInputMode(0);
    QTest::qWait(1700);
    render(&w, "main_ka_fail");
}
