// The main window's start, its timer and notification tables, the display
// primitives shared by every area, the console reset and the way out.
#include "cdariduruDlg.h"

#include "capa.h"
#include "captionreportlink.h"
#include "ccolorstaticst.h"
#include "cdlglogin.h"
#include "cdlgnoticebox.h"
#include "colorbutton.h"
#include "consoleevent.h"
#include "consolesettings.h"
#include "dlgconfig.h"
#include "dlgprogress.h"
#include "pos.h"
#include "prompter.h"
#include "quillon_version.h"
#include "rtpagent.h"
#include "screenplacement.h"
#include "sound/soundplayer.h"
#include "typingbox.h"
#include "uithread.h"
#include "userscreendisplay.h"
#include "winsnd.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QWindow>
#include <atomic>
#include <cstring>
#include <map>
#include <vector>
#include <mutex>
#include <pthread.h>

namespace {

std::map<int, int>& periodOverrides()
{
    static std::map<int, int> overrides;
    return overrides;
}

std::atomic<double> g_waitScale{1.0};
std::atomic<CDarIduruDlg*> g_published{nullptr};

CDarIduruDlg::RuntimeStarter& runtimeStarter()
{
    static CDarIduruDlg::RuntimeStarter starter;
    return starter;
}

// The start-up thread: runtime node 99 with every terminal log switch on, the
// tasks "CAPA" and "RTP", then the remote console, which releases the tasks
// and never returns.
void* startupThread(void*)
{
    posInit(99);
    posLogOn(1);
    int err = 0;
    posCreateTask(capcTask, "CAPA", 76, 100, 65535, 500, 50000, &err);
    posCreateTask(rtpTaskMain, "RTP", 83, 100, 65535, 500, 50000, &err);
    char nodeName[16];
    std::snprintf(nodeName, sizeof nodeName, "QLAG%02d", 99);
    posStartConsole(nodeName, nullptr, 0, 1);
}

void startRuntimeThread()
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, posStackBytes(50000));
    pthread_t thread;
    if (pthread_create(&thread, &attr, startupThread, nullptr) != 0)
        posLogPrint("UTHM_SOCKET] start-up thread could not start\n");
    pthread_attr_destroy(&attr);
}

// ---- the hooks the agent task calls ---------------------------------------------
int hookSendCaptionText(int length, const char* text)
{
    CDarIduruDlg* w = CDarIduruDlg::published();
    return w ? w->SendCaptionText(length, text) : 0;
}

// The lights and the caption screen return nothing to the agent task: their
// calls are queued without waiting, so a stenography piece reaches the send
// path after one round trip (SendCaptionText) instead of five. The queue
// keeps them in order with the caption routine and the window's messages.
void hookSetCaptionLights(int n)
{
    if (CDarIduruDlg* w = CDarIduruDlg::published())
        postToUiThread(w, [w, n] { w->SetCaptionLights(n); });
}

void hookAppendCaptionScreen(const char* text, int length)
{
    CDarIduruDlg* w = CDarIduruDlg::published();
    if (!w || !text || length <= 0)
        return;
    const QByteArray copy(text, length);
    postToUiThread(w, [copy] { UserScreenDisplay::AppendFromTask(copy.constData(), int(copy.size())); });
}

}  // namespace

// The table of window timers: period and handler of every id, and whether the
// handler stops the timer at its first expiry (the others stop themselves
// when their condition ends, or keep running).
const std::vector<CDarIduruDlg::TimerRow>& CDarIduruDlg::timerTable()
{
    static const std::vector<TimerRow> table = {
        {TIMER_PUBLISH, 1500, true, &CDarIduruDlg::Publish},
        {TIMER_101, 0, true, nullptr},
        {TIMER_NO_RESPONSE, 5000, true, &CDarIduruDlg::OnNoResponse},
        {TIMER_RECONNECT, 1500, true, &CDarIduruDlg::OnReconnect},
        {TIMER_VOICE_GAP, kVoiceGapMs, false, &CDarIduruDlg::OnVoiceGapTimer},
        {TIMER_KEEP_ALIVE, 1500, false, &CDarIduruDlg::OnKeepAliveMissing},
        {TIMER_CAPTION_START, 5000, true, &CDarIduruDlg::OnCaptionStartTimeout},
        {TIMER_OFFER, 10000, true, &CDarIduruDlg::OnOfferTimeout},
        {TIMER_AUTO_ANSWER, 3000, true, &CDarIduruDlg::OnAnswer},
        {TIMER_HANDOVER, 60000, true, &CDarIduruDlg::OnHandoverTimer},
        {TIMER_ANSWER_BLINK, 1000, false, &CDarIduruDlg::OnAnswerBlink},
        {TIMER_PARAGRAPH, 1000, false, &CDarIduruDlg::OnParagraphTimer},
        {TIMER_BRING_FRONT, 500, false, &CDarIduruDlg::OnBringFrontTimer},
    };
    return table;
}

CDarIduruDlg::CDarIduruDlg(QWidget* parent)
    : QuillonDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                                Qt::WindowStaysOnTopHint)
{
    setTemplateId(IDD);
    setWindowTitle(QStringLiteral("Quillon Agent"));
    setObjectName(QStringLiteral("QuillonAgentMain"));
    buildControls();
    reportLink_ = std::make_unique<CaptionReportLink>();
    qApp->installEventFilter(this);
}

CDarIduruDlg::~CDarIduruDlg()
{
    qApp->removeEventFilter(this);
    if (g_published.load() == this) {
        removeTaskHooks();
        conUnpublish();
        setConsoleEventTarget(nullptr);
        conSetMailbox(nullptr);
        g_published.store(nullptr);
    }
    if (captionScreen_)
        UserScreenDisplay::setTaskTarget(nullptr);
}

CDarIduruDlg* CDarIduruDlg::published()
{
    return g_published.load();
}

void CDarIduruDlg::setRuntimeStarter(RuntimeStarter starter)
{
    runtimeStarter() = std::move(starter);
}

void CDarIduruDlg::setWaitScale(double scale)
{
    g_waitScale.store(scale);
}

int CDarIduruDlg::timerPeriod(int id)
{
    auto it = periodOverrides().find(id);
    if (it != periodOverrides().end())
        return it->second;
    for (const TimerRow& row : timerTable())
        if (row.id == id)
            return row.periodMs;
    return 0;
}

void CDarIduruDlg::setTimerPeriodForTest(int id, int periodMs)
{
    if (periodMs <= 0)
        periodOverrides().erase(id);
    else
        periodOverrides()[id] = periodMs;
}

int CDarIduruDlg::callState() const
{
    return conContext().callState;
}

void CDarIduruDlg::sleepMs(int ms)
{
    const int scaled = int(ms * g_waitScale.load());
    if (scaled > 0)
        QThread::msleep(unsigned(scaled));
}

void CDarIduruDlg::startRuntime()
{
    // The runtime exists once per process.
    static std::once_flag once;
    std::call_once(once, [] {
        if (runtimeStarter())
            runtimeStarter()();
        else
            startRuntimeThread();
    });
}

int CDarIduruDlg::DoModal()
{
    if (!InitWindow())
        return QDialog::Rejected;
    return exec();
}

bool CDarIduruDlg::InitWindow()
{
    // Window icon: the program's own.
    setWindowIcon(programIcon());
    QApplication::setWindowIcon(programIcon());

    // The shared record starts from zero; the runtime and the tasks start.
    conContextReset();
    loginDialogOpen_ = false;
    startRuntime();

    captionScreen_ = new UserScreenDisplay(this);
    UserScreenDisplay::setTaskTarget(captionScreen_);

    // The configuration dialog lives as long as the window; building it reads
    // its settings and gives the captioner type to the console for LOGIN.
    config_ = std::make_unique<DlgConfig>(captionScreen_, reportLink_.get(), this);
    config_->onShortcutLengths = [this](int noise, int noVoice, int misuse, int answer) {
        // A word is held in at most 19 bytes; its length never says more.
        auto held = [](int n) { return n < 0 ? 0 : n > settings::kWordMax ? settings::kWordMax : n; };
        noiseWord_.length = held(noise);
        noVoiceWord_.length = held(noVoice);
        misuseWord_.length = held(misuse);
        answerWord_.length = held(answer);
    };

    versionBytes_[0] = uint8_t(QUILLON_VERSION_MAJOR);
    versionBytes_[1] = uint8_t(QUILLON_VERSION_MINOR);
    versionBytes_[2] = uint8_t(QUILLON_VERSION_PATCH);
    versionText_ = QStringLiteral("%1.%2.%3")
                       .arg(versionBytes_[0])
                       .arg(versionBytes_[1])
                       .arg(versionBytes_[2]);

    sleepMs(1000);
    startTimerById(TIMER_PUBLISH);

    // Controls in their starting state.
    enableControl(IDC_ANSWER, false);
    setButtonColors(IDC_ANSWER, kFaceInactive, kTextInactive);
    for (int id : {IDC_TXDATA, IDC_TYPING, IDC_NOVOICE, IDC_OLANG, IDC_NOISE, IDC_MISUSE,
                   IDC_REQUEST, IDC_HOLD, IDC_HO_CANCEL, IDC_RECORDED, IDC_INTERACTIVE, IDC_FRAUD})
        enableControl(id, false);
    setButtonColors(IDC_REQUEST, kFaceInactive, kTextInactive);
    setButtonColors(IDC_HOLD, kFaceInactive, kTextInactive);

    loadWindowSettings();
    // A stored position from another screen layout (or a damaged store)
    // could leave the window where nobody sees it ring: it then goes on the
    // primary screen. The stored values stay until the next Exit stores the
    // position the window really has.
    if (startup_.hasMainPosition()) {
        const QSize size = frameGeometry().size().isValid() ? frameGeometry().size() : sizeHint();
        move(placeOnSomeScreen(QPoint(startup_.mainHorizPos, startup_.mainVertPos), size));
    }

    SetInputMode(0);

    loginCount_ = 0;
    if (conContext().loggedOut == 0) {
        if (!RunLoginDialog())
            return false;
    }

    SetLoggedOutTitle();
    ringFile_ = settings::ringFileName(myRingTone_);
    showCaptionerName();
    setControlText(IDC_INDICATOR, QStringLiteral("X"));
    field(IDC_LINK_STATUS)->SetBkColor(kRed);
    field(IDC_STENO_STATE)->SetBkColor(kRed);

    noticeCount_ = 0;
    paragraphLimit_ = 3;
    paragraphIdle_ = 0;
    paragraphDone_ = 0;
    setControlText(IDC_NOTICE, QStringLiteral("Notice Box"));
    focusControl(IDC_FOCUS_PARK);

    show();
    raise();

    noticeBox_ = new CDlgNoticeBox(this);

    captionScreen_->ApplyFormat();
    return true;
}

void CDarIduruDlg::loadWindowSettings()
{
    startup_ = settings::loadStartupSettings(true);
    storeStartupSettingsInContext(startup_);
    autoTransmitSpace_ = startup_.autoTransmitSpace;
    captionerType_ = startup_.captionerType;
    myRingTone_ = startup_.myRingTone;
    autoHideFlag_ = startup_.autoHideFlag;
    beepUnstableFlag_ = startup_.beepUnstableFlag;
    myPhoneNumber_ = startup_.myPhoneNumber;
    macNosiyVoice_ = startup_.macNosiyVoice;
    macNoVoice_ = startup_.macNoVoice;
    macMisuse_ = startup_.macMisuse;
    macAnswerCmd_ = startup_.macAnswerCmd;
    conContext().captionerType = captionerType_;
    storeShortcutWords();
}

void CDarIduruDlg::reloadAfterConfig()
{
    using namespace settings;
    autoTransmitSpace_ = readInt(kSettings, kAutoTransmitSpace, kDefAutoTransmitSpace);
    captionerType_ = readInt(kSettings, kCaptionerType, 0);
    myRingTone_ = readInt(kSettings, kMyRingTone, kDefMyRingTone);
    autoHideFlag_ = readInt(kSettings, kAutoHideFlag, 0);
    beepUnstableFlag_ = readInt(kSettings, kBeepUnstableFlag, kDefBeepUnstableFlag);
    startup_.macNosiyVoice = cutText(readString(kSettings, kMacNosiyVoice, QString()), kWordMax);
    startup_.macNoVoice = cutText(readString(kSettings, kMacNoVoice, QString()), kWordMax);
    startup_.macMisuse = cutText(readString(kSettings, kMacMisuse, QString()), kWordMax);
    startup_.macAnswerCmd = cutText(readString(kSettings, kMacAnswerCmd, QString()), kWordMax);
    macNosiyVoice_ = startup_.macNosiyVoice;
    macNoVoice_ = startup_.macNoVoice;
    macMisuse_ = startup_.macMisuse;
    macAnswerCmd_ = startup_.macAnswerCmd;
    storeShortcutWords();
    ringFile_ = settings::ringFileName(myRingTone_);
    showCaptionerName();
    // The agent task converts the stenography program's bytes by this type.
    conContext().captionerType = captionerType_;
}

void CDarIduruDlg::storeShortcutWords()
{
    // The shortcut words as the window compares them: at most 19 bytes.
    auto keep = [](const QString& word, ShortcutWord& out) {
        const QByteArray bytes = word.toUtf8().left(settings::kWordMax);
        std::memset(out.text, 0, sizeof out.text);
        std::memcpy(out.text, bytes.constData(), size_t(bytes.size()));
        out.length = int(bytes.size());
    };
    keep(macNosiyVoice_, noiseWord_);
    keep(macNoVoice_, noVoiceWord_);
    keep(macMisuse_, misuseWord_);
    keep(macAnswerCmd_, answerWord_);
}

void CDarIduruDlg::showCaptionerName()
{
    setControlText(IDC_STENO_STATE, settings::captionerShortName(captionerType_));
}

// ---- publication, hooks and the mailbox ---------------------------------------------
void CDarIduruDlg::Publish()
{
    stopWindowTimer(TIMER_PUBLISH);
    if (g_published.load() == this)
        return;
    static ConsoleMailbox mailbox;
    static std::once_flag mailboxOnce;
    std::call_once(mailboxOnce, [] { conMailboxInit(&mailbox); });
    conSetMailbox(&mailbox);
    g_published.store(this);
    installTaskHooks();
    setConsoleEventTarget(this);
    conPublish(this, uintptr_t(this));
}

void CDarIduruDlg::installTaskHooks()
{
    hooks_.sendCaptionText = hookSendCaptionText;
    hooks_.setCaptionLights = hookSetCaptionLights;
    hooks_.appendCaptionScreen = hookAppendCaptionScreen;
    hooks_.reportCaptionBytes = captionReportHook;
    setCaptionReportTarget(reportLink_.get());
    conSetWindowHooks(&hooks_);
}

void CDarIduruDlg::removeTaskHooks()
{
    conSetWindowHooks(nullptr);
    setCaptionReportTarget(nullptr);
}

void CDarIduruDlg::DrainMailbox()
{
    ConsoleMailbox* mb = conGetMailbox();
    if (!mb)
        return;
    ConsoleContext& c = conContext();
    conMailboxDrain(
        mb, &c.message,
        [](const CapxMsg* msg, void* user) {
            static_cast<CDarIduruDlg*>(user)->HandleMessage(*msg);
        },
        this);
}

// ---- events: notifications and timers ------------------------------------------------
// The console notifications and their handlers.
const std::vector<CDarIduruDlg::NotificationRow>& CDarIduruDlg::notificationTable()
{
    static const std::vector<NotificationRow> table = {
        {WM_CAPC_RX_MSG, [](CDarIduruDlg& w, uintptr_t) { w.DrainMailbox(); }},
        {WM_CAPC_SOCK_CLOSE, [](CDarIduruDlg& w, uintptr_t) { w.OnSockClose(); }},
        {WM_CAPC_SOCK_OPEN, [](CDarIduruDlg& w, uintptr_t) { w.OnSockOpen(); }},
        {WM_CAPC_STENO_CLOSE, [](CDarIduruDlg& w, uintptr_t) { w.OnStenoClose(); }},
        {WM_CAPC_STENO_OPEN, [](CDarIduruDlg& w, uintptr_t) { w.OnStenoOpen(); }},
        {WM_CON_NOISE, [](CDarIduruDlg& w, uintptr_t) { w.OnNoise(); }},
        {WM_CON_NO_VOICE, [](CDarIduruDlg& w, uintptr_t) { w.OnNoVoice(); }},
        {WM_CON_MISUSE, [](CDarIduruDlg& w, uintptr_t) { w.OnMisuse(); }},
        {WM_CON_ANSWER, [](CDarIduruDlg& w, uintptr_t) { w.OnAnswer(); }},
        {WM_CAPC_CA_COUNT, [](CDarIduruDlg& w, uintptr_t p) { w.OnKeepAlive(int(p)); }},
        {WM_CAPC_WRONG_CA_STATE, [](CDarIduruDlg& w, uintptr_t p) { w.OnWrongCaState(int(p)); }},
        {WM_CAPC_DO_NOT_PAUSE, [](CDarIduruDlg& w, uintptr_t p) { w.OnDoNotPause(int(p)); }},
        {WM_CAPC_TX_ACK_LOSS, [](CDarIduruDlg& w, uintptr_t) { w.OnAckLoss(); }},
        {WM_VOICE_RX, [](CDarIduruDlg& w, uintptr_t) { w.OnVoiceRx(); }},
    };
    return table;
}

bool CDarIduruDlg::event(QEvent* e)
{
    if (ConsoleEvent::isConsoleEvent(e)) {
        auto* ce = static_cast<ConsoleEvent*>(e);
        OnConsoleEvent(ce->message(), ce->wparam());
        return true;
    }
    return QuillonDialog::event(e);
}

void CDarIduruDlg::OnConsoleEvent(int message, uintptr_t wparam)
{
    if (exiting_)
        return;
    for (const NotificationRow& row : notificationTable())
        if (row.message == message) {
            row.handler(*this, wparam);
            return;
        }
}

void CDarIduruDlg::onWindowTimer(int id)
{
    for (const TimerRow& row : timerTable())
        if (row.id == id) {
            if (row.stopAtFirstExpiry)
                stopWindowTimer(id);
            if (row.handler && !exiting_)
                (this->*row.handler)();
            return;
        }
}

void CDarIduruDlg::startTimerById(int id)
{
    startWindowTimer(id, timerPeriod(id));
}

// ---- display primitives -----------------------------------------------------------------
void CDarIduruDlg::SetInputMode(int mode)
{
    runOnUiThread(this, [this, mode] {
        const bool steno = mode == 1;
        field(IDC_STENO_STATE)->SetBkColor(steno ? kGreen : kRed);
        control(IDC_INDICATOR)->setVisible(steno);
        for (int id = IDC_LIGHT1; id <= IDC_LIGHT5; ++id)
            control(id)->setVisible(steno);
        control(IDC_TXDATA)->setVisible(!steno);
        control(IDC_TYPING)->setVisible(!steno);
        control(IDC_CAPTION_SCREEN)->setVisible(steno);
        if (captionScreen_)
            captionScreen_->ClearScreen();
        programTextChange_ = true;
        typing_->clear();
        programTextChange_ = false;
        conContext().inputMode = mode;
        SetCaptionLights(0);
        conContext().stenoPieces = 0;
        focusControl(IDC_TYPING);
    });
}

void CDarIduruDlg::SetCaptionLights(int n)
{
    if (!conIsPublished())
        return;
    runOnUiThread(this, [this, n] {
        if (n <= 0) {
            for (int id = IDC_LIGHT1; id <= IDC_LIGHT5; ++id)
                field(id)->SetBkColor(kGrey);
            return;
        }
        const int lit = n >= 5 ? 5 : n;
        for (int i = 0; i < lit; ++i)
            field(IDC_LIGHT1 + i)->SetBkColor(kGreen);
    });
}

void CDarIduruDlg::RefreshIdleText()
{
    const ConsoleContext& c = conContext();
    if (c.callState != STATE_IDLE || !c.joined)
        return;
    switch (c.loginMode) {
    case 2:
        setControlText(IDC_SERVICE, QStringLiteral("SPECIALIST"));
        break;
    case 1:
        setControlText(IDC_SERVICE, QStringLiteral("TEST MODE"));
        break;
    default:
        setControlText(IDC_SERVICE, QString());
        break;
    }
}

void CDarIduruDlg::RefreshNoticeButton()
{
    setControlText(IDC_NOTICE, noticeCount_ > 0 ? QStringLiteral("Notice(%1)").arg(noticeCount_)
                                                : QStringLiteral("Notice Box"));
}

void CDarIduruDlg::ReleaseAllState()
{
    runOnUiThread(this, [this] {
        ConsoleContext& c = conContext();
        stopWindowTimer(TIMER_VOICE_GAP);
        if (gapOpen_)
            EndVoiceGapRecord("call ended");

        holdToggle_ = 0;
        c.ringing = 0;
        c.captioning = 0;
        c.callState = STATE_IDLE;
        capcSetCaState(0);

        stopWindowTimer(TIMER_BRING_FRONT);
        stopWindowTimer(TIMER_VOICE_GAP);

        c.docDisconnected = 0;
        c.voiceGapTicks = 0;
        c.awaitingAck = 0;
        c.ackWaitTicks = 0;
        c.RxCnt = 0;
        c.TxCnt = 0;
        c.TxLoopCnt = 0;
        c.ProcCnt = 0;
        c.FailCnt = 0;
        c.textStarted = 0;
        c.handoverState = 0;
        c.rxFromSteno = 0;
        c.discardFromSteno = 0;
        c.txToSvr = 0;
        c.rxSvrAck = 0;
        c.isEmergency = 0;

        enableControl(IDC_ANSWER, false);
        setButtonColors(IDC_ANSWER, kFaceInactive, kTextInactive);

        field(IDC_INDICATOR)->SetBkColor(kGrey);
        field(IDC_SERVICE)->EnableBkBlink(false);
        field(IDC_SERVICE)->StopBlinkTimer();

        programTextChange_ = true;
        typing_->clear();
        programTextChange_ = false;
        for (int id : {IDC_TYPING, IDC_TXDATA, IDC_NOVOICE, IDC_OLANG, IDC_NOISE, IDC_MISUSE,
                       IDC_REQUEST, IDC_HOLD})
            enableControl(id, false);
        setButtonColors(IDC_HOLD, kFaceInactive, kTextInactive);
        for (int id : {IDC_RECORDED, IDC_INTERACTIVE, IDC_HO_CANCEL, IDC_FRAUD})
            enableControl(id, false);

        if (captionScreen_)
            captionScreen_->ClearScreen();
        setControlText(IDC_INDICATOR, QStringLiteral("X"));
        setControlText(IDC_REQUEST, QStringLiteral("Request"));

        stopWindowTimer(TIMER_HANDOVER);
        stopWindowTimer(TIMER_OFFER);
        // A call that ends before captioning started must not meet the
        // caption-start watchdog later, possibly during the next offer.
        stopWindowTimer(TIMER_CAPTION_START);
        dataUnacked_ = 0;

        setButtonColors(IDC_REQUEST, kFaceInactive, kTextInactive);
        setButtonColors(IDC_ANSWER, kFaceInactive, kTextInactive);

        enableControl(IDC_JOIN, !c.serviceLocked);
        focusControl(IDC_FOCUS_PARK);

        c.offerActive = 0;
        SetCaptionLights(0);

        rtpSapStop();
        if (g_winSnd.initialised.load())
            winsnd_stop();

        RefreshIdleText();
    });
}

void CDarIduruDlg::ShowNotice(const QString& text)
{
    DlgProgress::ShowProgress(this, text, 1500);
}

// ---- buttons of the window itself --------------------------------------------------------
void CDarIduruDlg::OnConfig()
{
    if (config_)
        config_->RunModal();
    focusControl(IDC_FOCUS_PARK);
    reloadAfterConfig();
}

void CDarIduruDlg::OnCaptionScreen()
{
    if (captionScreen_)
        captionScreen_->ClearAndShow();
}

void CDarIduruDlg::OnTS3()
{
    capcSetCaState(4);
}

void CDarIduruDlg::OnExit()
{
    // The position is kept on every press, also when the exit is refused.
    const QRect frame = frameGeometry();
    settings::writeInt(settings::kInitialization, settings::kMainVertPos, frame.top());
    settings::writeInt(settings::kInitialization, settings::kMainHorizPos, frame.left());

    ConsoleContext& c = conContext();
    if (c.offerActive && c.callState != STATE_IN_SERVICE)
        return;
    if (!prompter().askYesNo(this, QStringLiteral("EXIT: Are you sure?")))
        return;
    if (c.loginState != 0)
        soundPlayer().play(QStringLiteral("goodbye.wav"), SoundMode::Async);
    if (c.handoverState == 4)
        capcTxHoEvent(5, 1);
    if (c.callState == STATE_IN_SERVICE) {
        SendCallReport();
        capcTxReleaseComplete();
    }
    capcTxLogout(c.userId, c.userIdLen);
    sleepMs(1500);
    exiting_ = true;
    settings::flush();
    done(QDialog::Accepted);
}

void CDarIduruDlg::closeEvent(QCloseEvent* e)
{
    // The close request ends the caption-report connection; then the
    // title-bar close takes the Exit path, and the window stays unless the
    // agent confirms there.
    if (reportLink_)
        reportLink_->close();
    e->ignore();
    if (!exiting_)
        OnExit();
}

void CDarIduruDlg::reject()
{
    // Esc minimises (handled as a key); the hidden cancel control never ends
    // the window.
}

void CDarIduruDlg::accept()
{
    // The default button is Exit: it runs through its handler only.
}
