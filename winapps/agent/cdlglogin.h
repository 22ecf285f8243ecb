// CDlgLogin: the modal login dialog. Its initialisation brings up the audio
// devices; LOGIN scrambles and stores the credentials in the console
// context, sends LOGIN and starts the server link. Two hidden corners: the
// top-right one opens the server configuration, the bottom-right one
// toggles the use of a stenography program.
#pragma once

#include "cdlgserverconfig.h"
#include "quillondialog.h"

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class NotifyStatic;

class CDlgLogin : public QuillonDialog {
    Q_OBJECT
public:
    enum {
        IDD = 131,
        IDC_LOGIN_ID = 1011,
        IDC_PASSWORD = 1012,
        IDC_PHONE = 1023,
        IDC_CORNER_SERVER = 1054,
        IDC_CORNER_STENO = 1055,
        IDC_USE_STENO = 1056,
        IDC_COLOR_FIELD = 1058,
        IDC_OUTPUT_DEVICE = 1077,
    };
    static constexpr int kFieldMax = 19;
    static constexpr int kPhoneMax = 10;
    static constexpr int kServerPortBase = 33210;

    explicit CDlgLogin(QWidget* parent = nullptr);

    // The main window's copies of the server names, for the server
    // configuration dialog (read from the settings store when never set).
    void setServerNames(const ServerNames& names);
    // Called after LOGIN when the main window is published, to show "TRY" in
    // its link indicator.
    void setLinkTryHook(std::function<void()> hook) { linkTryHook_ = std::move(hook); }
    // Called when LOGIN is accepted, before LOGIN is requested and the link
    // started (the main window publishes itself here if it has not yet).
    void setBeforeLoginHook(std::function<void()> hook) { beforeLoginHook_ = std::move(hook); }

    // The initialisation (runs once, when the dialog is first shown).
    void InitDialog();
    void OnLogin();
    void OnCornerSteno();      // double-click on 1055
    void OnUseStenoClicked();  // click on the hidden check box 1056
    void OnCornerServer();     // double-click on 1054

    // "Quillon Agent(Ver.%s)%s" for the current server index.
    static QString titleText();
    // Server port for a system type: 33210 + 5 x systemType, modulo 65536.
    static int serverPort(int systemType);

    QString loginId() const { return loginId_; }
    QString password() const { return password_; }
    QString phoneNumber() const { return phoneNumber_; }

protected:
    void showEvent(QShowEvent* event) override;
    void accept() override;

private:
    void refreshStenoMark();
    ServerNames serverNames() const;

    QLineEdit* loginEdit_;
    QLineEdit* passwordEdit_;
    QLineEdit* phoneEdit_;
    NotifyStatic* cornerServer_;
    NotifyStatic* cornerSteno_;
    QCheckBox* useSteno_;
    QLabel* outputDevice_;
    bool initDone_ = false;
    bool namesSet_ = false;
    ServerNames names_;
    QString loginId_, password_, phoneNumber_;
    std::function<void()> linkTryHook_;
    std::function<void()> beforeLoginHook_;
};
