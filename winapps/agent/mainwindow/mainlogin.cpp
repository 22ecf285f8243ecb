// Login as the main window drives it: the login dialog, the link status
// field, re-login after the link comes back, keep-alive supervision, the
// answers to LOGIN, LOGOUT and password changes, and the service state that
// JOIN switches.
#include "cdariduruDlg.h"

#include "agentlinkops.h"
#include "capa.h"
#include "ccolorstaticst.h"
#include "cdlglogin.h"
#include "cdlgnoticebox.h"
#include "pos.h"
#include "prompter.h"
#include "sound/soundplayer.h"
#include "upgradeopener.h"
#include "userscreendisplay.h"
#include "winsnd.h"

#include <QPushButton>
#include <cstring>

namespace {

// Server text is shown as plain text and bounded.
constexpr int kServerTextMax = 256;

QString serverText(const char* text)
{
    const size_t n = strnlen(text, kServerTextMax);
    return QString::fromUtf8(text, int(n));
}

}  // namespace

int CDarIduruDlg::serverPort() const
{
    return CDlgLogin::serverPort(conContext().systemType);
}

// ---- the link status field -----------------------------------------------------------
void CDarIduruDlg::SetLinkStatus(LinkStatus status)
{
    static const struct {
        LinkStatus status;
        const char* text;
        QColor color;
    } kStates[] = {
        {LinkStatus::Off, "OFF", QColor(0xFF, 0x00, 0x00)},
        {LinkStatus::Trying, "TRY", QColor(0xFF, 0xFF, 0x33)},
        {LinkStatus::Refused, "FAIL", QColor(0xFF, 0x80, 0x00)},
        {LinkStatus::KeepAliveMissing, "KA FAIL", QColor(0xFF, 0x80, 0x00)},
        {LinkStatus::Up, "", QColor(0x33, 0xFF, 0x00)},
    };
    for (const auto& s : kStates)
        if (s.status == status) {
            linkStatus_ = status;
            linkStatusShown_ = true;
            setControlText(IDC_LINK_STATUS, QString::fromLatin1(s.text));
            field(IDC_LINK_STATUS)->SetBkColor(s.color);
            return;
        }
}

void CDarIduruDlg::ShowUpWithCount(int caCount)
{
    const ConsoleContext& c = conContext();
    if (c.joined && (c.loginMode == 1 || c.loginMode == 2 || c.isEmergency))
        return;
    if (c.joined)
        setControlText(IDC_SERVICE, QStringLiteral("CA: %1").arg(caCount));
    SetLinkStatus(LinkStatus::Up);
}

void CDarIduruDlg::ShowServiceState()
{
    const ConsoleContext& c = conContext();
    CColorStaticST* service = field(IDC_SERVICE);
    if (!c.joined) {
        setControlText(IDC_SERVICE, QStringLiteral("Click 'JOIN'"));
        service->SetBkColor(QColor(0xFF, 0x33, 0x33));
        service->SetBkBlinkColors(kYellow, QColor(0xFF, 0x33, 0x33));
        service->EnableBkBlink(true);
        service->StartBlinkTimer(1, 1000);
        setControlText(IDC_CAPTION_SCREEN, QStringLiteral("Caption Screen (for testing)"));
        if (captionScreen_)
            captionScreen_->setWindowTitle(QStringLiteral("Caption Screen ( for testing )"));
        return;
    }
    service->EnableBkBlink(false);
    service->StopBlinkTimer();
    switch (c.loginMode) {
    case 2:
        setControlText(IDC_SERVICE, QStringLiteral("SPECIALIST"));
        service->SetBkColor(QColor(0x33, 0xCC, 0x00));
        break;
    case 1:
        setControlText(IDC_SERVICE, QStringLiteral("TEST MODE"));
        service->SetBkColor(kYellow);
        break;
    default:
        setControlText(IDC_SERVICE, QStringLiteral("Queued: 0"));
        service->SetBkColor(kGreen);
        break;
    }
    setControlText(IDC_CAPTION_SCREEN, QStringLiteral("Caption Screen"));
    if (captionScreen_)
        captionScreen_->setWindowTitle(QStringLiteral("Caption Screen"));
    RefreshIdleText();
}

// ---- titles ----------------------------------------------------------------------------
static QString serverSuffix()
{
    return conContext().serverIndex == 1 ? QStringLiteral("-TB") : QString();
}

void CDarIduruDlg::SetLoggedOutTitle()
{
    setWindowTitle(QStringLiteral("Quillon Agent(Ver.%1)%2").arg(versionText_, serverSuffix()));
}

void CDarIduruDlg::SetLoggedInTitle(uint32_t agentId, const QString& phone)
{
    setWindowTitle(QStringLiteral("Quillon Agent #%1:%2 (Ver.%3)%4")
                       .arg(agentId)
                       .arg(phone, versionText_, serverSuffix()));
}

// ---- the login dialog ----------------------------------------------------------------
bool CDarIduruDlg::RunLoginDialog()
{
    // Never two login dialogs, and no "No response" while one is open.
    if (loginDialogOpen_)
        return true;
    stopWindowTimer(TIMER_NO_RESPONSE);
    loginDialogOpen_ = true;
    CDlgLogin login(this);
    login.setServerNames(ServerNames{startup_.ipsvr1, startup_.ipsvr2, startup_.ipsvr1log});
    // LOGIN pressed before the window published itself publishes it at once,
    // so that the link's open notification reaches the window.
    login.setBeforeLoginHook([this] {
        if (!conIsPublished())
            Publish();
    });
    login.setLinkTryHook([this] { SetLinkStatus(LinkStatus::Trying); });
    const int result = login.exec();
    loginDialogOpen_ = false;
    if (result != QDialog::Accepted) {
        agentLinkOps().shutdown(520);
        return false;
    }
    startTimerById(TIMER_NO_RESPONSE);
    return true;
}

// ---- link open and close ---------------------------------------------------------------
void CDarIduruDlg::OnSockOpen()
{
    ConsoleContext& c = conContext();
    if (c.loginState < 1 || c.userIdLen <= 0 || c.passwordLen <= 0)
        return;
    agentLinkOps().txLogin(c.userId, c.userIdLen, c.password, c.passwordLen, c.phoneNumber,
                           versionBytes_[0],
                           versionBytes_[1], versionBytes_[2], captionerType_);
    SetLinkStatus(LinkStatus::Trying);
}

void CDarIduruDlg::OnSockClose()
{
    ConsoleContext& c = conContext();
    ReleaseAllState();
    soundPlayer().stop();
    if (isMinimized())
        showNormal();

    SetLinkStatus(LinkStatus::Off);
    SetLoggedOutTitle();
    if (c.loggedOut == 1)
        return;
    if (c.loginState == 2) {
        startTimerById(TIMER_RECONNECT);
        return;
    }
    if (loginDialogOpen_)
        return;
    RunLoginDialog();
}

void CDarIduruDlg::OnReconnect()
{
    agentLinkOps().socketStart(conContext().serverHost, serverPort());
}

void CDarIduruDlg::OnNoResponse()
{
    prompter().inform(this, QStringLiteral("No response from Server"));
    agentLinkOps().shutdown(520);
}

// ---- LOGIN_ACK -------------------------------------------------------------------------
void CDarIduruDlg::OnLoginAck(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    const CapxLoginAck& ack = msg.loginAck;
    const QString text = serverText(ack.msg);

    c.serviceLocked = 0;
    stopWindowTimer(TIMER_NO_RESPONSE);
    stopWindowTimer(TIMER_RECONNECT);
    startTimerById(TIMER_KEEP_ALIVE);
    startTimerById(TIMER_PARAGRAPH);
    focusControl(IDC_FOCUS_PARK);
    SetInputMode(c.inputMode);

    if (ack.result != 0) {
        if (text.size() > 1)
            prompter().inform(this, QStringLiteral("Error!.\n%1").arg(text));
        c.loggedOut = 1;
        ReleaseAllState();
        c.stenoPieces = 0;
        SetLinkStatus(LinkStatus::Refused);
        agentLinkOps().shutdown(520);
        return;
    }

    SetLoggedInTitle(ack.agentId, serverText(ack.phoneNumber).left(CAPX_FIXED16));
    c.loginState = 2;
    // An unknown mode shows as a normal agent.
    c.loginMode = ack.loginMode <= 2 ? ack.loginMode : 0;

    if (ack.upgradeRequired != 0 && !text.isEmpty()) {
        prompter().inform(this, QStringLiteral("New version is existed.\nPlease download the new "
                                               "version and reinstall it."));
        openUpgradeLocation(text);
        sleepMs(1500);
        agentLinkOps().shutdown(520);
        return;
    }

    if (loginCount_ == 0) {
        if (text.size() > 1 && noticeBox_) {
            noticeBox_->AddMessage(text);
            ++noticeCount_;
            RefreshNoticeButton();
        }
        soundPlayer().play(QStringLiteral("welcome.wav"), SoundMode::Async);
    }
    ++loginCount_;

    ReleaseAllState();
    setControlText(IDC_SERVICE, QStringLiteral("Click 'JOIN'"));
    ShowUpWithCount(0);
    ShowServiceState();

    if (c.joined) {
        c.joined = 0;
        ToggleService();
    }
    c.stenoPieces = 0;
}

// ---- keep-alive supervision ------------------------------------------------------------
void CDarIduruDlg::OnKeepAlive(int caCount)
{
    conContext().kaFailCnt = 0;
    startTimerById(TIMER_KEEP_ALIVE);
    ShowUpWithCount(caCount);
}

void CDarIduruDlg::OnKeepAliveMissing()
{
    ConsoleContext& c = conContext();
    if (c.loggingOut) {
        setControlText(IDC_LINK_STATUS, QString());
        return;
    }
    SetLinkStatus(LinkStatus::KeepAliveMissing);
    c.kaFailCnt = c.kaFailCnt + 1;
    if (c.kaFailCnt > 5) {
        CompleteLogout(QStringLiteral(
            "Keep Alive Failure. Please check your internet environment(AP or Router)."));
        return;
    }
    if (beepUnstableFlag_)
        soundPlayer().play(QStringLiteral("Beep.wav"), SoundMode::Async);
}

// ---- the end of the login ----------------------------------------------------------------
void CDarIduruDlg::CompleteLogout(const QString& message)
{
    ConsoleContext& c = conContext();
    if (c.loggingOut)
        return;
    c.loggingOut = 1;
    soundPlayer().play(QStringLiteral("goodbye.wav"), SoundMode::Async);
    sleepMs(1500);
    ReleaseAllState();
    SetLinkStatus(LinkStatus::Off);
    setWindowTitle(QString());
    c.loginState = 0;
    c.loggedOut = 1;
    stopWindowTimer(TIMER_NO_RESPONSE);
    stopWindowTimer(TIMER_RECONNECT);
    if (!message.isEmpty())
        prompter().inform(this, message);
    if (g_winSnd.initialised.load())
        winsnd_close();
    agentLinkOps().shutdown(520);
}

void CDarIduruDlg::OnLogoutAck(const CapxMsg& msg)
{
    CompleteLogout(serverText(msg.logoutAck.msg));
}

void CDarIduruDlg::OnChangePasswdAck(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    if (msg.changePasswdAck.result == 0) {
        std::memcpy(c.password, c.newPassword, sizeof c.password);
        c.passwordLen = c.newPasswordLen.load();
        prompter().inform(this, QStringLiteral("Your password was changed"));
    } else {
        prompter().inform(this, QStringLiteral("Change password failure!!!"));
    }
}

// ---- service state -----------------------------------------------------------------------
void CDarIduruDlg::ToggleService()
{
    ConsoleContext& c = conContext();
    if (c.serviceLocked || c.callState != STATE_IDLE)
        return;
    const int wasJoined = c.joined;
    int sent;
    if (wasJoined) {
        c.joined = 0;
        sent = capcTxCaSvcState(0, c.serviceCause);
    } else {
        if (c.useStenoSoftware && c.inputMode == 0) {
            prompter().inform(this, QStringLiteral("Please connect your Stenograpy S/W"));
            return;
        }
        c.joined = 1;
        sent = capcTxCaSvcState(1, c.serviceCause);
    }
    if (sent < 0) {
        c.joined = wasJoined;
    } else {
        enableControl(IDC_REQUEST, false);
        enableControl(IDC_HOLD, false);
        setButtonColors(IDC_REQUEST, kFaceInactive, kTextInactive);
        setButtonColors(IDC_HOLD, kFaceInactive, kTextInactive);
    }
    c.serviceCause = 0;
    if (captionScreen_)
        captionScreen_->ClearScreen();
}

void CDarIduruDlg::OnCaSvcStateAck(const CapxMsg& msg)
{
    ConsoleContext& c = conContext();
    enableControl(IDC_JOIN, true);
    c.joined = msg.caSvcStateAck.inService ? 1 : 0;
    if (c.joined) {
        setControlText(IDC_JOIN, QStringLiteral("Pause"));
    } else {
        setControlText(IDC_JOIN, QStringLiteral("JOIN"));
        c.serviceLocked = 0;
    }
    ShowServiceState();
    focusControl(IDC_FOCUS_PARK);
}

void CDarIduruDlg::OnDoNotPause(int doNotPause)
{
    ConsoleContext& c = conContext();
    if (doNotPause == c.serviceLocked)
        return;
    if (doNotPause != 0 && c.joined) {
        c.serviceLocked = 1;
        enableControl(IDC_JOIN, false);
    } else {
        c.serviceLocked = 0;
        enableControl(IDC_JOIN, true);
    }
}

void CDarIduruDlg::PauseForLostSteno()
{
    ConsoleContext& c = conContext();
    c.joined = 1;
    c.serviceCause = 85;
    ToggleService();
    prompter().inform(this, QStringLiteral("Disconnected with your Stenography S/W: SHIFT OFF"));
}
