// DlgConfig: the modal "QuillonAgent Configuration" dialog behind the main
// window's "Config.." button: stenography software, ring-tone volume,
// shortcut words, the automatic transmit space count, three switches, the
// caption screen's font, the caption-report test copy and the (hidden)
// password change. The main window constructs it once and reuses it, so
// the text fields keep their values between openings.
#pragma once

#include "quillondialog.h"

#include <QString>
#include <functional>

class CaptionReportLink;
class CFontConfig;
class NotifyStatic;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;
class QSlider;
class UserScreenDisplay;

class DlgConfig : public QuillonDialog {
    Q_OBJECT
public:
    enum {
        IDD = 129,
        IDC_RADIO_ECLIPSE = 1023,
        IDC_RADIO_PROCAT = 1024,
        IDC_TRANSMIT_SPACES = 1025,
        IDC_RADIO_CASECAT = 1026,
        IDC_RADIO_DIGITCAT = 1027,
        IDC_RADIO_ACCUCAP = 1028,
        IDC_RADIO_STENOCAT = 1029,
        IDC_RING_VOLUME = 1031,
        IDC_RING_MIN = 1032,
        IDC_RING_MAX = 1033,
        IDC_CURRENT_PASSWORD = 1034,
        IDC_NEW_PASSWORD = 1035,
        IDC_CONFIRM_PASSWORD = 1036,
        IDC_CHANGE_PASSWORD = 1037,
        IDC_CLEAR_PASSWORD = 1038,
        IDC_AUTO_HIDE = 1039,
        IDC_MAC_NOISE = 1040,
        IDC_MAC_NO_VOICE = 1041,
        IDC_MAC_ANSWER = 1042,
        IDC_MAC_MISUSE = 1043,
        IDC_BEEP_UNSTABLE = 1044,
        IDC_REPORT_CAPTION = 1045,
        IDC_PREVIEW = 1049,
        IDC_AUTO_ANSWER_MARK = 1063,
        IDC_STENO_LIST = 1064,
        IDC_SET_FONT = 1076,
    };
    // Ring-tone volumes run 0..5.
    static constexpr int kRingToneMax = 5;
    static constexpr int kMinPasswordLength = 6;

    // The order of the stenography software list.
    static const QStringList& stenoListOrder();

    // captionScreen: hidden while the font configuration runs, reformatted by
    // it; report: the main window's caption-report link. Either may be null.
    // Reads the settings into the members (and captionerType into the
    // console context).
    DlgConfig(UserScreenDisplay* captionScreen, CaptionReportLink* report,
              QWidget* parent = nullptr);

    // Runs the opening steps, then the dialog; returns QDialog::Accepted or
    // QDialog::Rejected.
    int RunModal();
    // The opening steps alone (RunModal calls it before exec()).
    void OnInitDialog();
    // True from the opening until OK, CANCEL or a password change.
    bool isOpenFlag() const { return openFlag_ != 0; }
    // Ringing: ends a running dialog (and a font configuration running from
    // it) as CANCEL does. Does nothing when the dialog is not running.
    void CancelForRinging();

    // Called by OK with the lengths, in UTF-8 bytes, of the four shortcut
    // words as written (noise, no voice, misuse, Answer).
    std::function<void(int noise, int noVoice, int misuse, int answer)> onShortcutLengths;

    // Handlers (also driven by the tests).
    void OnStenoListChosen(int index);
    void OnPreview();
    void OnAutoAnswerMark();
    void OnSetFont();
    void OnReportCaption();
    void OnOK();
    void OnCancel();
    void OnChangePassword();
    void OnClearPassword();

    // Members, for the main window and the tests.
    int captionerType() const { return captionerType_; }
    int autoTransmitSpace() const { return autoTransmitSpace_; }
    int ringTone() const { return ringTone_; }
    int autoHide() const { return autoHide_; }
    int beepUnstable() const { return beepUnstable_; }
    int radioIndex() const { return radioIndex_; }
    QString macNoise() const { return macNoise_; }
    QString macNoVoice() const { return macNoVoice_; }
    QString macMisuse() const { return macMisuse_; }
    QString macAnswer() const { return macAnswer_; }

    // Texts of the messages (the integer prompt, the stripped control
    // characters, the password rules).
    static QString integerPromptText();
    static QString controlCharsText();
    static QString wrongPasswordText();
    static QString shortPasswordText();
    static QString confirmPasswordText();

public slots:
    void accept() override;
    void reject() override;

private:
    void readIntegers();
    void takeTextFields();
    void fillTextFields();
    void showAutoAnswerMark();
    bool readTransmitSpaces(int* value) const;
    void clearPasswordFields();

    UserScreenDisplay* captionScreen_;
    CaptionReportLink* report_;
    CFontConfig* runningFont_ = nullptr;

    QComboBox* stenoList_;
    QRadioButton* radios_[6];
    QSlider* ringVolume_;
    QLineEdit* transmitSpaces_;
    QLineEdit* macNoiseEdit_;
    QLineEdit* macNoVoiceEdit_;
    QLineEdit* macAnswerEdit_;
    QLineEdit* macMisuseEdit_;
    QCheckBox* autoHideBox_;
    QCheckBox* beepBox_;
    QCheckBox* reportBox_;
    NotifyStatic* autoAnswerMark_;
    QLineEdit* currentPwEdit_;
    QLineEdit* newPwEdit_;
    QLineEdit* confirmPwEdit_;

    int openFlag_ = 0;
    int captionerType_ = 0;
    int radioIndex_ = 0;
    int autoHide_ = 0;
    int beepUnstable_ = 1;
    int autoTransmitSpace_ = 3;
    int ringTone_ = 3;
    QString currentPw_, newPw_, confirmPw_;
    QString macNoise_, macNoVoice_, macMisuse_, macAnswer_;
};
