// The main window in its states, for render_windows: before login, logged
// in and not joined, joined, keep-alive missing, the hand-typing and
// stenography layouts, ringing, an emergency call in service with a
// handover ready and two unread notices, and its configuration dialog. The window runs on a runtime without a server: the
// server's answers are handed to it as the mailbox would.
#include "render_mainwindow.h"

#include "capa.h"
#include "cdariduruDlg.h"
#include "cdlglogin.h"
#include "consoleevent.h"
#include "dlgconfig.h"
#include "typingbox.h"
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

    // Joined again; a call is offered: Answer on yellow.
    w.HandleMessage(joined);
    QApplication::postEvent(&w, new ConsoleEvent(WM_CAPC_CA_COUNT, 2));
    QTest::qWait(50);
    w.HandleMessage(message(CAPX_BROADCAST));
    render(&w, "main_ringing");

    // In service (the answer itself needs the server, so the offer ends and
    // the assignment follows): an emergency call, captioning, a handover
    // target ready, two notices that arrived during the call.
    w.ReleaseAllState();
    CapxMsg assign = message(CAPX_ASSIGN_COMPLETE);
    assign.assignComplete.isEmergency = 1;
    std::strcpy(assign.assignComplete.cuPhoneNumber, "5550142");
    w.HandleMessage(assign);
    CapxMsg start = message(CAPX_CONTROL);
    start.control.control = 1;
    w.HandleMessage(start);
    for (int id : {2, 4}) {
        CapxMsg ho = message(CAPX_HO_EVENT);
        ho.hoEvent.eventId = uint8_t(id);
        w.HandleMessage(ho);
    }
    for (const char* text : {"Calls are queued in region 3.", "Please take your break after this call."}) {
        CapxMsg notice = message(CAPX_MESSAGE);
        std::strcpy(notice.message.msg, text);
        w.HandleMessage(notice);
    }
    // Fewer blanks than the transmit count: the text stays in the box.
    w.controlAs<TypingBox>(CDarIduruDlg::IDC_TYPING)->insertPlainText(QStringLiteral("Hello, this"));
    render(&w, "main_in_call");

    // The window's own configuration dialog, as Config.. opens it.
    if (DlgConfig* config = w.configDialog()) {
        config->OnInitDialog();
        render(config, "main_config");
        config->OnCancel();
    }
    w.ReleaseAllState();
}
