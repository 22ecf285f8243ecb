// The agent's commands during a call (reports, message requests, hold,
// handover) and the notices of the system manager.
#include "cdariduruDlg.h"

#include "capa.h"
#include "ccolorstaticst.h"
#include "cdlgnoticebox.h"
#include "colorbutton.h"
#include "prompter.h"
#include "winsnd.h"

#include <QPushButton>
#include <cstring>

// ---- reports and requests ---------------------------------------------------------------
void CDarIduruDlg::SendReport(int control)
{
    capcTxControl(control);
    focusControl(IDC_TYPING);
}

void CDarIduruDlg::OnNoVoice()
{
    SendReport(11);
}

void CDarIduruDlg::OnNoise()
{
    SendReport(12);
}

void CDarIduruDlg::OnMisuse()
{
    if (prompter().askYesNo(this, QStringLiteral("Are you sure to send MISUSE?")))
        capcTxControl(13);
    focusControl(IDC_TYPING);
}

void CDarIduruDlg::OnRecorded()
{
    SendReport(16);
}

void CDarIduruDlg::OnInteractive()
{
    SendReport(17);
}

void CDarIduruDlg::OnOLang()
{
    SendReport(22);
}

void CDarIduruDlg::OnFraud()
{
    if (prompter().askYesNo(this,
                            QStringLiteral("Are you sure to send 'Fraud Waring' to this user?")))
        capcTxControl(37);
    focusControl(IDC_TYPING);
}

void CDarIduruDlg::OnHold()
{
    holdToggle_ = holdToggle_ ? 0 : 1;
    if (holdToggle_) {
        capcTxControl(19);
        colorButton(IDC_HOLD)->SetFaceColor(kHoldOn);
    } else {
        capcTxControl(20);
        colorButton(IDC_HOLD)->SetFaceColor(kFaceInactive);
    }
}

// ---- handover ------------------------------------------------------------------------------
void CDarIduruDlg::OnRequest()
{
    ConsoleContext& c = conContext();
    if (c.loginMode == 1 || c.callState != STATE_IN_SERVICE)
        return;
    switch (c.handoverState) {
    case 0:
        capcTxHoEvent(1, 1);
        colorButton(IDC_REQUEST)->SetFaceColor(kYellow);
        break;
    case 4:
        SendCallReport();
        capcTxHoEvent(5, 1);
        c.handoverState = 5;
        stopWindowTimer(TIMER_HANDOVER);
        break;
    default:
        break;
    }
    focusControl(IDC_TYPING);
}

void CDarIduruDlg::OnHandoverTimer()
{
    OnRequest();
}

void CDarIduruDlg::OnHandoverCancel()
{
    ConsoleContext& c = conContext();
    if (c.callState != STATE_IN_SERVICE)
        return;
    enableControl(IDC_HO_CANCEL, false);
    setControlText(IDC_REQUEST, QStringLiteral("Request"));
    colorButton(IDC_REQUEST)->SetFaceColor(kFaceInactive);
    enableControl(IDC_HOLD, true);
    stopWindowTimer(TIMER_HANDOVER);
    capcTxHoEvent(6, 1);
    c.handoverState = 0;
    focusControl(IDC_TYPING);
}

void CDarIduruDlg::ShowIndicatorChar(int n, bool red)
{
    static const char kSpinner[] = ".oOo";
    setControlText(IDC_INDICATOR, QString(QChar::fromLatin1(kSpinner[unsigned(n) % 4u])));
    if (red)
        field(IDC_INDICATOR)->SetBkColor(kRed);
}

void CDarIduruDlg::OnHoEvent(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    const int eventId = msg.hoEvent.eventId;
    const int result = msg.hoEvent.result;
    auto refuse = [&] {
        enableControl(IDC_HO_CANCEL, false);
        c.handoverState = 0;
        stopWindowTimer(TIMER_HANDOVER);
        setControlText(IDC_REQUEST, QStringLiteral("Request"));
        enableControl(IDC_HOLD, true);
        colorButton(IDC_REQUEST)->SetFaceColor(kFaceInactive);
    };
    switch (eventId) {
    case 1:
        c.handoverState = 1;
        capcTxHoEvent(2, 0);
        break;
    case 2:
        if (result == 0)
            enableControl(IDC_HO_CANCEL, true);
        else
            refuse();
        break;
    case 4:
        if (result == 0) {
            enableControl(IDC_HO_CANCEL, true);
            c.handoverState = 4;
            startTimerById(TIMER_HANDOVER);
            setControlText(IDC_REQUEST, QStringLiteral("Action"));
            colorButton(IDC_REQUEST)->SetFaceColor(kGreen);
            enableControl(IDC_HOLD, false);
        } else {
            refuse();
        }
        break;
    case 6:
        // The attempt is over. This agent's own attempt (target ready or
        // acted on) ends here too: its deadline must not act on it later,
        // and a Request the server allows again must send a new request.
        stopWindowTimer(TIMER_HANDOVER);
        if (c.handoverState == 4 || c.handoverState == 5)
            c.handoverState = 0;
        setControlText(IDC_REQUEST, QStringLiteral("Request"));
        colorButton(IDC_REQUEST)->SetTextColor(result ? kTextActive : kTextInactive);
        enableControl(IDC_REQUEST, result != 0);
        enableControl(IDC_HO_CANCEL, false);
        enableControl(IDC_HOLD, true);
        colorButton(IDC_REQUEST)->SetFaceColor(kFaceInactive);
        setControlText(IDC_SERVICE, QStringLiteral("Queued: 0"));
        break;
    default:
        break;
    }
    ShowIndicatorChar(eventId, result != 0);
}

// ---- notices ----------------------------------------------------------------------------------
void CDarIduruDlg::OnMessage(const CapxMsg& msg)
{
    const ConsoleContext& c = conContext();
    const size_t n = strnlen(msg.message.msg, sizeof msg.message.msg);
    const QString text = QString::fromUtf8(msg.message.msg, int(n));
    if (noticeBox_)
        noticeBox_->AddMessage(text);
    if (c.callState == STATE_IDLE && !c.offerActive) {
        if (noticeBox_)
            noticeBox_->ShowBox();
    } else {
        ++noticeCount_;
        RefreshNoticeButton();
    }
}

void CDarIduruDlg::OnMessageBox()
{
    sendSilenceFrames(5);
    noticeCount_ = 0;
    RefreshNoticeButton();
    if (noticeBox_)
        noticeBox_->ShowBox();
    focusControl(IDC_FOCUS_PARK);
}
