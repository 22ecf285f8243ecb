// CDarIduruDlg: the console's main window, an always-on-top dialog strip with
// the call buttons, the report buttons, the caption typing box and a row of
// coloured status fields. One class, spread over one source file per area:
//   maincontrols.cpp   the control table, layout, keyboard, about box
//   mainstartup.cpp    start-up, the timer and notification tables, the
//                      display primitives, the console reset and Exit
//   mainlogin.cpp      login, keep-alive supervision, service state
//   maincalls.cpp      message dispatch and the call state machine
//   maincommands.cpp   report commands, handover, notices
//   maincaptions.cpp   caption entry and delivery indicators
// Everything runs on the user-interface thread, except the three routines the
// agent task calls (SendCaptionText, SetCaptionLights, the caption screen),
// which marshal to it.
#pragma once

#include "concontext.h"
#include "quillondialog.h"
#include "settingsstore.h"

#include <QByteArray>
#include <QColor>
#include <QElapsedTimer>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class CColorStaticST;
class CDlgNoticeBox;
class ColorButton;
class DlgConfig;
class CaptionReportLink;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class TypingBox;
class UserScreenDisplay;

// The about box (template 100).
class CAboutDlg : public QuillonDialog {
    Q_OBJECT
public:
    enum { IDD = 100 };
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CDarIduruDlg : public QuillonDialog {
    Q_OBJECT
public:
    enum {
        IDD = 102,
        IDOK_EXIT = 1,
        IDCANCEL_HIDDEN = 2,
        IDC_ANSWER = 1005,
        IDC_TYPING = 1007,
        IDC_TXDATA = 1008,
        IDC_LINK_STATUS = 1009,
        IDC_LOGOUT = 1001,
        IDC_STENO_STATE = 1017,
        IDC_FIELD_1018 = 1018,
        IDC_SERVICE = 1021,
        IDC_CONFIG = 1022,
        IDC_TS1 = 1028,
        IDC_NOVOICE = 1029,
        IDC_NOISE = 1030,
        IDC_TS3 = 1033,
        IDC_MISUSE = 1034,
        IDC_OLANG = 1035,
        IDC_FIELD_1041 = 1041,
        IDC_INDICATOR = 1042,
        IDC_LIGHT1 = 1044,
        IDC_LIGHT5 = 1048,
        IDC_NOTICE = 1049,
        IDC_FOCUS_PARK = 1050,
        IDC_REQUEST = 1055,
        IDC_HO_CANCEL = 1056,
        IDC_RECORDED = 1057,
        IDC_INTERACTIVE = 1058,
        IDC_FRAUD = 1059,
        IDC_JOIN = 1061,
        IDC_HOLD = 1065,
        IDC_CAPTION_SCREEN = 1068,
    };

    // Window timers.
    enum {
        TIMER_PUBLISH = 100,
        TIMER_101 = 101,
        TIMER_NO_RESPONSE = 102,
        TIMER_RECONNECT = 103,
        TIMER_VOICE_GAP = 104,
        TIMER_KEEP_ALIVE = 105,
        TIMER_CAPTION_START = 106,
        TIMER_OFFER = 107,
        TIMER_AUTO_ANSWER = 108,
        TIMER_HANDOVER = 109,
        TIMER_ANSWER_BLINK = 110,
        TIMER_PARAGRAPH = 111,
        TIMER_BRING_FRONT = 112,
    };
    // Period of the voice gap timer: a gap is this long without a frame.
    static constexpr int kVoiceGapMs = 80;

    // Link status field states.
    enum class LinkStatus { Off, Trying, Refused, KeepAliveMissing, Up };

    // Colours of the window.
    static const QColor kFaceInactive;   // #F0F0F0
    static const QColor kTextInactive;   // #E6E6E6
    static const QColor kTextActive;     // #010101
    static const QColor kYellow;         // #FFFF66
    static const QColor kGreen;          // #33FF00
    static const QColor kHoldOn;         // #FFFF33
    static const QColor kRed;            // #FF0000
    static const QColor kOrange;         // #FF8000
    static const QColor kGrey;           // #999999

    explicit CDarIduruDlg(QWidget* parent = nullptr);
    ~CDarIduruDlg() override;

    // Runs InitWindow, then the window's own loop; returns the dialog result.
    // A failed initialisation returns Rejected without showing the window.
    int DoModal();
    bool InitWindow();

    // ---- what the tests and the start-up use -----------------------------
    // The runtime start-up: by default the start-up thread (runtime node 99,
    // the tasks "CAPA" and "RTP", the remote console). Tests install their own
    // before the window is constructed. It runs once per process.
    using RuntimeStarter = std::function<void()>;
    static void setRuntimeStarter(RuntimeStarter starter);
    // Blocking waits of the window ("wait 1500 ms" at exit and logout, the
    // 1000 ms before timer 100). Tests may shorten them; defaults are real.
    static void setWaitScale(double scale);
    // Period of a timer (the table's value unless a test changed it).
    static int timerPeriod(int id);
    static void setTimerPeriodForTest(int id, int periodMs);

    int callState() const;
    QString versionText() const { return versionText_; }
    UserScreenDisplay* captionScreen() const { return captionScreen_; }
    DlgConfig* configDialog() const { return config_.get(); }
    CaptionReportLink* captionReport() const { return reportLink_.get(); }
    CDlgNoticeBox* noticeBox() const { return noticeBox_; }
    LinkStatus linkStatus() const { return linkStatus_; }
    int noticeCount() const { return noticeCount_; }
    int loginCount() const { return loginCount_; }
    bool loginDialogOpen() const { return loginDialogOpen_; }
    int holdToggle() const { return holdToggle_; }
    int autoTransmitSpace() const { return autoTransmitSpace_; }
    QString ringFileName() const { return ringFile_; }
    int paragraphIdle() const { return paragraphIdle_; }
    int paragraphDone() const { return paragraphDone_; }

    // ---- display primitives (any thread) ---------------------------------
    void SetInputMode(int mode);
    void SetCaptionLights(int n);
    void RefreshIdleText();
    void RefreshNoticeButton();
    void ReleaseAllState();

    // ---- login and service state ------------------------------------------
    void ShowServiceState();
    void ToggleService();
    void CompleteLogout(const QString& message);

    // ---- calls ------------------------------------------------------------
    void StartRinging();
    void BringToFront();
    void OnAnswer();
    void HandleMessage(const CapxMsg& msg);

    // ---- captions ----------------------------------------------------------
    // Sends caption text (typed, or stenography text from the agent task's
    // thread); returns the length of the last DATA chunk sent, or 0.
    int SendCaptionText(int length, const char* text);
    void OnTxData();

    // ---- commands ----------------------------------------------------------
    void OnNoVoice();
    void OnNoise();
    void OnMisuse();
    void OnOLang();
    void OnRecorded();
    void OnInteractive();
    void OnFraud();
    void OnHold();
    void OnRequest();
    void OnHandoverCancel();
    void OnMessageBox();

    // ---- buttons of this window -------------------------------------------
    void OnExit();
    void OnConfig();
    void OnCaptionScreen();
    void OnJoin() { ToggleService(); }
    void OnTS3();
    void ShowAbout();

    // The program's icon (window, about box, minimised window).
    static QIcon programIcon();

    // The main window that task threads reach (null until published).
    static CDarIduruDlg* published();

protected:
    void onWindowTimer(int id) override;
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void reject() override;
    void accept() override;
    void contextMenuEvent(QContextMenuEvent* e) override;

private:
    struct TimerRow {
        int id;
        int periodMs;
        bool stopAtFirstExpiry;
        void (CDarIduruDlg::*handler)();
    };
    struct NotificationRow {
        int message;
        void (*handler)(CDarIduruDlg& w, uintptr_t wparam);
    };
    static const std::vector<TimerRow>& timerTable();
    static const std::vector<NotificationRow>& notificationTable();
    void startTimerById(int id);

    // maincontrols.cpp
    void buildControls();
    void BindControls();
    bool PreTranslateKey(QKeyEvent* key);
    ColorButton* colorButton(int id) const;
    CColorStaticST* field(int id) const;
    QPushButton* button(int id) const;
    void enableControl(int id, bool on);
    void setControlText(int id, const QString& text);
    void setButtonColors(int id, const QColor& face, const QColor& text);
    void focusControl(int id);

    // mainstartup.cpp
    void startRuntime();
    void Publish();
    void DrainMailbox();
    void OnConsoleEvent(int message, uintptr_t wparam);
    void loadWindowSettings();
    void reloadAfterConfig();
    void showCaptionerName();
    void storeShortcutWords();
    void sleepMs(int ms);
    void ShowNotice(const QString& text);
    void installTaskHooks();
    void removeTaskHooks();

    // mainlogin.cpp
    void SetLinkStatus(LinkStatus status);
    void ShowUpWithCount(int caCount);
    void SetLoggedOutTitle();
    void SetLoggedInTitle(uint32_t agentId, const QString& phone);
    bool RunLoginDialog();
    void OnSockOpen();
    void OnSockClose();
    void OnNoResponse();
    void OnReconnect();
    void OnLoginAck(const CapxMsg& msg);
    void OnLogoutAck(const CapxMsg& msg);
    void OnKeepAlive(int caCount);
    void OnKeepAliveMissing();
    void OnChangePasswdAck(const CapxMsg& msg);
    void OnCaSvcStateAck(const CapxMsg& msg);
    void OnDoNotPause(int doNotPause);
    void PauseForLostSteno();
    int serverPort() const;

    // maincalls.cpp
    void OnBroadcast(const CapxMsg& msg);
    void OnAssignComplete(const CapxMsg& msg);
    void OnVoipSetup(const CapxMsg& msg);
    void OnControl(const CapxMsg& msg);
    void OnCapStart();
    void OnCapResume();
    void OnRelease(const CapxMsg& msg);
    void OnCaptionStartTimeout();
    void OnOfferTimeout();
    void OnWrongCaState(int caState);
    void OnStenoClose();
    void OnAnswerBlink();
    void OnBringFrontTimer();
    void SendCallReport();

    // maincommands.cpp
    void SendReport(int control);
    void OnHoEvent(const CapxMsg& msg);
    void OnMessage(const CapxMsg& msg);
    void OnHandoverTimer();
    void ShowIndicatorChar(int n, bool red);

    // maincaptions.cpp
    int SendCaptionTextOnUi(const QByteArray& text);
    void OnTypingChanged();
    void OnStenoOpen();
    void OnDataAck(const CapxMsg& msg);
    void OnAckLoss();
    void OnParagraphTimer();
    void OnVoiceRx();
    void OnVoiceGapTimer();
    // Ends the log record of a voice gap in progress ("back" or the call's end).
    void EndVoiceGapRecord(const char* how);

    // Controls.
    QGroupBox* groups_[4] = {};
    TypingBox* typing_ = nullptr;

    // Children.
    UserScreenDisplay* captionScreen_ = nullptr;
    CDlgNoticeBox* noticeBox_ = nullptr;

    // Settings copies.
    settings::StartupSettings startup_;
    int autoTransmitSpace_ = settings::kDefAutoTransmitSpace;
    int captionerType_ = 0;
    int myRingTone_ = settings::kDefMyRingTone;
    int autoHideFlag_ = 0;
    int beepUnstableFlag_ = settings::kDefBeepUnstableFlag;
    // A voice gap as the log records it: when its first tick came and how
    // often it beeped (the alarm itself runs on voiceGapTicks).
    bool gapOpen_ = false;
    QElapsedTimer gapSince_;
    int gapBeeps_ = 0;
    QString myPhoneNumber_;
    QString macNosiyVoice_, macNoVoice_, macMisuse_, macAnswerCmd_;
    // The shortcut words as the window compares them: up to 19 bytes and
    // their lengths.
    struct ShortcutWord {
        char text[20] = {};
        int length = 0;
    };
    ShortcutWord noiseWord_, noVoiceWord_, misuseWord_, answerWord_;
    QString ringFile_;

    // Window state.
    QString versionText_;
    uint8_t versionBytes_[3] = {};
    LinkStatus linkStatus_ = LinkStatus::Off;
    bool linkStatusShown_ = false;
    int noticeCount_ = 0;
    int loginCount_ = 0;
    bool loginDialogOpen_ = false;
    int holdToggle_ = 0;
    int paragraphLimit_ = 3;
    int paragraphIdle_ = 0;
    int paragraphDone_ = 0;
    bool programTextChange_ = false;
    // DATA messages of this call not yet acknowledged (for the log only).
    int dataUnacked_ = 0;
    bool exiting_ = false;
    ConsoleWindowHooks hooks_{};
    // The configuration dialog, built once so that it keeps its fields
    // between openings, and the caption-report test connection it switches.
    std::unique_ptr<CaptionReportLink> reportLink_;
    std::unique_ptr<DlgConfig> config_;
};
