// One call from the offer to its end: the dispatch of the server's messages,
// ringing, the answer, the assignment, the voice set-up, the caption control
// events, the release and the watchdogs.
#include "cdariduruDlg.h"

#include "capa.h"
#include "ccolorstaticst.h"
#include "colorbutton.h"
#include "dlgconfig.h"
#include "pos.h"
#include "rtpagent.h"
#include "sound/soundplayer.h"
#include "typingbox.h"
#include "userscreendisplay.h"
#include "winsnd.h"

#include <QApplication>
#include <QPushButton>
#include <QWindow>

namespace {

const char* releaseReason(int cause)
{
    switch (cause) {
    case 15:
        return "Other CA picked up";
    case 14:
        return "Dropped by CU";
    default:
        return "Normal released";
    }
}

}  // namespace

// ---- dispatch ---------------------------------------------------------------------------
void CDarIduruDlg::HandleMessage(const CapxMsg& msg)
{
    switch (msg.msgId) {
    case CAPX_BROADCAST:
        OnBroadcast(msg);
        break;
    case CAPX_ASSIGN_COMPLETE:
        OnAssignComplete(msg);
        break;
    case CAPX_CONTROL:
        OnControl(msg);
        break;
    case CAPX_RELEASE:
        OnRelease(msg);
        break;
    case CAPX_LOGIN_ACK:
        OnLoginAck(msg);
        break;
    case CAPX_LOGOUT_ACK:
        OnLogoutAck(msg);
        break;
    case CAPX_VOIP_SETUP:
        OnVoipSetup(msg);
        break;
    case CAPX_CHANGE_PASSWD_ACK:
        OnChangePasswdAck(msg);
        break;
    case CAPX_MESSAGE:
        OnMessage(msg);
        break;
    case CAPX_DATA_ACK:
        OnDataAck(msg);
        break;
    case CAPX_HO_EVENT:
        OnHoEvent(msg);
        break;
    case CAPX_CA_SVC_STATE_ACK:
        OnCaSvcStateAck(msg);
        break;
    default:
        // Monitoring, agent information and the rest are not the console's.
        break;
    }
}

// ---- the offer ------------------------------------------------------------------------------
void CDarIduruDlg::OnBroadcast(const CapxMsg&)
{
    ConsoleContext& c = conContext();
    capcTxLinkProbe();
    if (c.callState != STATE_IDLE)
        return;
    RefreshIdleText();
    StartRinging();
    startTimerById(TIMER_OFFER);
    if (c.autoAnswerForTest)
        startTimerById(TIMER_AUTO_ANSWER);
}

void CDarIduruDlg::StartRinging()
{
    ConsoleContext& c = conContext();
    soundPlayer().play(ringFile_, SoundMode::AsyncLoop);
    startTimerById(TIMER_BRING_FRONT);
    c.offerActive = 1;
    startTimerById(TIMER_ANSWER_BLINK);
    c.ringing = 1;
    c.answerBlinkPhase = 0;
    if (config_)
        config_->CancelForRinging();
    if (captionScreen_ && captionScreen_->visibleFlag())
        captionScreen_->ClearAndShow();
    BringToFront();
    enableControl(IDC_ANSWER, true);
    setButtonColors(IDC_ANSWER, kYellow, kTextActive);
    enableControl(IDC_JOIN, false);
}

void CDarIduruDlg::BringToFront()
{
    // A desktop may refuse to hand the focus to a window that asks for it:
    // the window is then still raised and asks for attention.
    if (isMinimized())
        showNormal();
    if (!isActiveWindow()) {
        raise();
        activateWindow();
        if (!isActiveWindow())
            QApplication::alert(this);
    }
    if (QWidget* answer = control(IDC_ANSWER))
        answer->setFocus(Qt::OtherFocusReason);
}

void CDarIduruDlg::OnBringFrontTimer()
{
    BringToFront();
    if (conContext().ringing != 1)
        stopWindowTimer(TIMER_BRING_FRONT);
}

void CDarIduruDlg::OnAnswerBlink()
{
    ConsoleContext& c = conContext();
    if (!c.ringing) {
        stopWindowTimer(TIMER_ANSWER_BLINK);
        return;
    }
    c.answerBlinkPhase = c.answerBlinkPhase + 1;
    colorButton(IDC_ANSWER)->SetFaceColor(c.answerBlinkPhase % 2 == 0 ? kYellow : kGrey);
}

void CDarIduruDlg::OnAnswer()
{
    ConsoleContext& c = conContext();
    soundPlayer().stop();
    if (!c.offerActive || c.callState != STATE_IDLE)
        return;
    enableControl(IDC_ANSWER, false);
    setButtonColors(IDC_ANSWER, kFaceInactive, kTextInactive);
    enableControl(IDC_JOIN, false);
    c.ringing = 0;
    holdToggle_ = 0;
    capcTxAssignReq();
    c.callState = STATE_ANSWERING;
    capcSetCaState(2);
}

// ---- the call in service -----------------------------------------------------------------------
void CDarIduruDlg::OnAssignComplete(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    // The service decides who has the call: an assignment is taken in any
    // state, but one that no answer asked for is worth a line in the log.
    if (c.callState != STATE_ANSWERING)
        posLogPrint("CAPA] ASSIGN_COMPLETE in call state %d (offer %d): taken\n", int(c.callState),
                    int(c.offerActive));
    c.callState = STATE_IN_SERVICE;
    capcSetCaState(4);
    c.isEmergency = msg.assignComplete.isEmergency;

    enableControl(IDC_ANSWER, false);
    setButtonColors(IDC_ANSWER, kGreen, kTextInactive);
    enableControl(IDC_JOIN, false);
    colorButton(IDC_HOLD)->SetTextColor(kTextActive);
    enableControl(IDC_HOLD, true);

    if (c.joined && c.loginMode == 0 && c.isEmergency) {
        CColorStaticST* service = field(IDC_SERVICE);
        service->SetBkBlinkColors(kGreen, QColor(0xFF, 0x33, 0xCC));
        service->EnableBkBlink(false);
        service->EnableBkBlink(true);
        // Restart from the first colour.
        while (service->bkPhase() != 0)
            service->OnBlinkTimer();
        service->StartBlinkTimer(1, 1000);
        setControlText(IDC_SERVICE, QStringLiteral("911 CALL"));
    }
    paragraphLimit_ = 3;
    paragraphIdle_ = 0;
    paragraphDone_ = 1;
}

void CDarIduruDlg::OnVoipSetup(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    const CapxVoipSetup& setup = msg.voipSetup;
    c.payloadType = setup.payloadType;
    char address[CAPX_FIXED16 + 1];
    std::memcpy(address, setup.ipAddr, sizeof address);
    address[CAPX_FIXED16] = '\0';
    if (rtpSapAlloc(1, setup.payloadType, 3, address, setup.portId) < 0) {
        posLogPrint("CAPA] VOIP_SETUP %s:%u refused: no voice session\n", address,
                    unsigned(setup.portId));
        capcTxVoipSetupComplete(53);
    } else {
        winsnd_start();
        capcTxVoipSetupComplete(0);
        c.textStarted = 0;
        sendSilenceFrames(4);
    }
    stopWindowTimer(TIMER_OFFER);
    startTimerById(TIMER_CAPTION_START);
}

void CDarIduruDlg::OnControl(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    // Caption events belong to a call: with no call offered, answered or in
    // service there is nothing to steer, and starting captioning here would
    // send caption text outside any call.
    if (c.callState == STATE_IDLE && !c.offerActive) {
        posLogPrint("CAPA] CONTROL %d outside a call: ignored\n", int(msg.control.control));
        return;
    }
    sendSilenceFrames(4);
    switch (msg.control.control) {
    case 1:
        OnCapStart();
        break;
    case 2:
        OnCapResume();
        break;
    case 3:
        soundPlayer().play(QStringLiteral("pauseCap.wav"), SoundMode::Async);
        break;
    case 7:
        sendSilenceFrames(4);
        break;
    case 9:
        c.docDisconnected = 1;
        break;
    case 35:
        enableControl(IDC_NOVOICE, true);
        break;
    case 36:
        enableControl(IDC_NOVOICE, false);
        break;
    case 4:
    case 5:
    case 6:
    case 8:
    case 10:
        break;
    default:
        posLogPrint("CAPA] CONTROL %d not known: ignored\n", int(msg.control.control));
        break;
    }
}

void CDarIduruDlg::OnCapStart()
{
    ConsoleContext& c = conContext();
    stopWindowTimer(TIMER_CAPTION_START);
    soundPlayer().play(QStringLiteral("startCap.wav"), SoundMode::Async);
    programTextChange_ = true;
    typing_->clear();
    programTextChange_ = false;
    if (captionScreen_)
        captionScreen_->ClearScreen();
    for (int id : {IDC_TYPING, IDC_TXDATA, IDC_NOVOICE, IDC_OLANG, IDC_NOISE, IDC_MISUSE,
                   IDC_RECORDED, IDC_INTERACTIVE, IDC_FRAUD})
        enableControl(id, true);
    focusControl(IDC_TYPING);
    if (c.handoverState != 1) {
        colorButton(IDC_REQUEST)->SetTextColor(kTextActive);
        enableControl(IDC_REQUEST, true);
        enableControl(IDC_HOLD, true);
        colorButton(IDC_HOLD)->SetTextColor(kTextActive);
    }
    setControlText(IDC_INDICATOR, QStringLiteral("."));
    c.captioning = 1;
    sendSilenceFrames(4);
    if (autoHideFlag_)
        showMinimized();
}

void CDarIduruDlg::OnCapResume()
{
    ConsoleContext& c = conContext();
    stopWindowTimer(TIMER_CAPTION_START);
    soundPlayer().play(QStringLiteral("startCap.wav"), SoundMode::Async);
    setControlText(IDC_INDICATOR, QStringLiteral("."));
    for (int id : {IDC_TYPING, IDC_TXDATA, IDC_NOVOICE, IDC_OLANG, IDC_NOISE, IDC_MISUSE})
        enableControl(id, true);
    colorButton(IDC_REQUEST)->SetTextColor(kTextActive);
    enableControl(IDC_REQUEST, true);
    enableControl(IDC_HOLD, true);
    colorButton(IDC_HOLD)->SetTextColor(kTextActive);
    for (int id : {IDC_RECORDED, IDC_INTERACTIVE, IDC_FRAUD})
        enableControl(id, true);
    focusControl(IDC_TYPING);
    c.captioning = 1;
    c.handoverState = 0;
    if (autoHideFlag_)
        showMinimized();
}

void CDarIduruDlg::SendCallReport()
{
    const ConsoleContext& c = conContext();
    capcTxCallReport(c.rxFromSteno, c.discardFromSteno, c.txToSvr, c.rxSvrAck, c.RxCnt,
                     c.kaFailCnt & 0xFF);
}

// ---- the end of a call -------------------------------------------------------------------------
void CDarIduruDlg::OnRelease(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    const int cause = msg.release.cause;
    if (cause != 14 && cause != 15)
        posLogPrint("CAPA] RELEASE cause %d: released normally\n", cause);
    c.docDisconnected = 0;
    ShowNotice(QStringLiteral("Rx RELEASE(%1)")
                   .arg(QString::fromLatin1(releaseReason(msg.release.cause))));
    soundPlayer().play(QStringLiteral("pauseCap.wav"), SoundMode::Sync);
    SendCallReport();
    capcTxReleaseComplete();
    RefreshIdleText();
    ReleaseAllState();
}

void CDarIduruDlg::OnCaptionStartTimeout()
{
    ShowNotice(QStringLiteral("Call dropped(Something wrong progress)"));
    soundPlayer().play(QStringLiteral("pauseCap.wav"), SoundMode::Sync);
    capcTxRelease(57);
    RefreshIdleText();
    if (conContext().callState == STATE_IN_SERVICE)
        SendCallReport();
    ReleaseAllState();
}

void CDarIduruDlg::OnOfferTimeout()
{
    soundPlayer().play(QStringLiteral("pauseCap.wav"), SoundMode::Sync);
    capcTxRelease(57);
    RefreshIdleText();
    ReleaseAllState();
}

void CDarIduruDlg::OnWrongCaState(int caState)
{
    if (caState != 0)
        return;
    if (conContext().callState == STATE_IN_SERVICE)
        SendCallReport();
    ReleaseAllState();
}

void CDarIduruDlg::OnStenoClose()
{
    ConsoleContext& c = conContext();
    // A program that connects again replaces its old connection; the old
    // one's close may be reported before or after the new one's open. While
    // a connection is up the stenography program is not lost.
    if (capcStenoConnected()) {
        posLogPrint("STNO] replaced stenography connection closed; a program is still connected\n");
        return;
    }
    SetInputMode(0);
    if (!c.useStenoSoftware || c.loginState == 0)
        return;
    soundPlayer().play(QStringLiteral("pauseCap.wav"), SoundMode::Sync);
    if (c.callState == STATE_IN_SERVICE)
        SendCallReport();
    capcTxRelease(59);
    ReleaseAllState();
    if (c.joined)
        PauseForLostSteno();
}
