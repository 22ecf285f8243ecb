#include "dlgconfig.h"

#include "agentlinkops.h"
#include "captionreportlink.h"
#include "capclogincrypt.h"
#include "cfontconfig.h"
#include "concontext.h"
#include "notifystatic.h"
#include "prompter.h"
#include "settingsstore.h"
#include "soundplayer.h"
#include "userscreendisplay.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QVBoxLayout>
#include <climits>
#include <cstring>

using namespace settings;

namespace {

// Scrambled credentials are kept cut to this many bytes (as at login).
constexpr int kCredentialKeep = 45;

// Scrambles a password as the login dialog does; returns the bytes.
QByteArray scramblePassword(const QString& text)
{
    const QByteArray plain = text.toUtf8();
    char out[128];
    const int n = capcLoginScramble(plain.constData(), int(plain.size()), CAPC_LOGIN_KEY_PASSWORD,
                                    out, int(sizeof out));
    return QByteArray(out, n < kCredentialKeep ? n : kCredentialKeep);
}

// The stored bytes of a scrambled credential: its length field says where
// it ends (scrambled bytes can be 0); a length outside the field gives none.
QByteArray storedCredential(const char* field, size_t size, int length)
{
    if (length < 0 || size_t(length) >= size)
        return QByteArray();
    return QByteArray(field, length);
}

// Removes control characters; returns true when any was removed.
bool stripControlChars(QString* word)
{
    QString kept;
    kept.reserve(word->size());
    for (QChar ch : *word)
        if (ch.category() != QChar::Other_Control)
            kept.append(ch);
    if (kept.size() == word->size())
        return false;
    *word = kept;
    return true;
}

}  // namespace

const QStringList& DlgConfig::stenoListOrder()
{
    static const QStringList order{
        QStringLiteral("AccuCAP > ANSI"),    QStringLiteral("CaseCAT > CaseView"),
        QStringLiteral("DigitCAT > ANSI"),   QStringLiteral("EclipseCAT > ANSI"),
        QStringLiteral("ProCAT > PlainText"), QStringLiteral("StenoCAT > Bridge"),
    };
    return order;
}

QString DlgConfig::integerPromptText() { return QStringLiteral("Please enter an integer."); }
QString DlgConfig::controlCharsText()
{
    return QStringLiteral("Control characters were removed from the shortcut words.");
}
QString DlgConfig::wrongPasswordText() { return QStringLiteral("ERROR: Wrong current password"); }
QString DlgConfig::shortPasswordText()
{
    return QStringLiteral("ERROR: You password too short(more than 6 characters)");
}
QString DlgConfig::confirmPasswordText()
{
    return QStringLiteral("ERROR: Confirm your new password");
}

DlgConfig::DlgConfig(UserScreenDisplay* captionScreen, CaptionReportLink* report,
                     QWidget* parent)
    : QuillonDialog(parent), captionScreen_(captionScreen), report_(report)
{
    setTemplateId(IDD);
    setWindowTitle(QStringLiteral("QuillonAgent Configuration"));

    // ---- stenography software ----
    auto* stenoGroup = new QGroupBox(QStringLiteral("Stenography Software"), this);
    stenoList_ = new QComboBox(stenoGroup);
    stenoList_->addItems(stenoListOrder());
    auto* tcpPort = new QLabel(QStringLiteral("TCP Port: 3321"), stenoGroup);
    static const char* const radioTexts[6] = {"Eclipse",  "ProCAT",   "CaseCATalyst",
                                              "DigitCAT", "AccuCAP",  "StenoCAT"};
    static const int radioIds[6] = {IDC_RADIO_ECLIPSE,  IDC_RADIO_PROCAT,  IDC_RADIO_CASECAT,
                                    IDC_RADIO_DIGITCAT, IDC_RADIO_ACCUCAP, IDC_RADIO_STENOCAT};
    auto* radioGroup = new QButtonGroup(this);
    for (int i = 0; i < 6; ++i) {
        radios_[i] = new QRadioButton(QString::fromLatin1(radioTexts[i]), stenoGroup);
        radios_[i]->hide();
        radioGroup->addButton(radios_[i], i);
        registerControl(radioIds[i], radios_[i]);
    }
    auto* stenoLayout = new QVBoxLayout(stenoGroup);
    stenoLayout->addWidget(stenoList_);
    stenoLayout->addWidget(tcpPort);
    for (QRadioButton* r : radios_)
        stenoLayout->addWidget(r);

    // ---- ring tone ----
    auto* ringGroup = new QGroupBox(QStringLiteral("Ring Tone Volume"), this);
    ringVolume_ = new QSlider(Qt::Horizontal, ringGroup);
    ringVolume_->setRange(0, kRingToneMax);
    ringVolume_->setTickPosition(QSlider::TicksBelow);
    ringVolume_->setTickInterval(1);
    ringVolume_->setSingleStep(1);
    ringVolume_->setPageStep(1);
    auto* ringMin = new QLabel(QStringLiteral("Min."), ringGroup);
    auto* ringMax = new QLabel(QStringLiteral("Max."), ringGroup);
    auto* preview = new QPushButton(QStringLiteral("Preview"), ringGroup);
    preview->setAutoDefault(false);
    auto* ringLayout = new QHBoxLayout(ringGroup);
    ringLayout->addWidget(ringMin);
    ringLayout->addWidget(ringVolume_, 1);
    ringLayout->addWidget(ringMax);
    ringLayout->addSpacing(8);
    ringLayout->addWidget(preview);

    // ---- shortcut words ----
    auto* wordGroup = new QGroupBox(QStringLiteral("Shortcut word of button"), this);
    macAnswerEdit_ = new QLineEdit(wordGroup);
    macNoiseEdit_ = new QLineEdit(wordGroup);
    macNoVoiceEdit_ = new QLineEdit(wordGroup);
    macMisuseEdit_ = new QLineEdit(wordGroup);
    for (QLineEdit* e : {macAnswerEdit_, macNoiseEdit_, macNoVoiceEdit_, macMisuseEdit_})
        e->setMaxLength(kWordMax);
    macNoiseEdit_->hide();
    macNoVoiceEdit_->hide();
    macMisuseEdit_->hide();
    auto* wordLayout = new QGridLayout(wordGroup);
    wordLayout->addWidget(new QLabel(QStringLiteral("'Answer' button :"), wordGroup), 0, 0);
    wordLayout->addWidget(macAnswerEdit_, 0, 1);
    wordLayout->addWidget(macNoiseEdit_, 1, 1);
    wordLayout->addWidget(macNoVoiceEdit_, 2, 1);
    wordLayout->addWidget(macMisuseEdit_, 3, 1);
    wordLayout->setColumnStretch(1, 1);

    // ---- caption screen ----
    auto* screenGroup = new QGroupBox(QStringLiteral("Configure of caption screen"), this);
    auto* setFont = new QPushButton(QStringLiteral("Set Font/ Color.."), screenGroup);
    setFont->setAutoDefault(false);
    auto* screenLayout = new QHBoxLayout(screenGroup);
    screenLayout->addWidget(setFont);
    screenLayout->addStretch(1);

    // ---- automatic transmit ----
    auto* spaceGroup =
        new QGroupBox(QStringLiteral("Automatic transmit space count(Hand write Only)"), this);
    transmitSpaces_ = new QLineEdit(spaceGroup);
    // Digits only; ten digits reach the largest count the store can hold.
    transmitSpaces_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,10}")),
                                        transmitSpaces_));
    transmitSpaces_->setMaxLength(10);
    transmitSpaces_->setFixedWidth(70);
    auto* spaceLayout = new QHBoxLayout(spaceGroup);
    spaceLayout->addWidget(new QLabel(QStringLiteral("Transmit every"), spaceGroup));
    spaceLayout->addWidget(transmitSpaces_);
    spaceLayout->addWidget(new QLabel(QStringLiteral("spaces."), spaceGroup));
    spaceLayout->addStretch(1);

    // ---- etc. ----
    auto* etcGroup = new QGroupBox(QStringLiteral("Etc."), this);
    autoHideBox_ =
        new QCheckBox(QStringLiteral("Hide the window automatically during a service"), etcGroup);
    beepBox_ = new QCheckBox(QStringLiteral("Beep when the network is unstable"), etcGroup);
    reportBox_ = new QCheckBox(QStringLiteral("Report Caption Text (For Test Only)"), etcGroup);
    autoAnswerMark_ = new NotifyStatic(QStringLiteral(" "), etcGroup);
    autoAnswerMark_->setFixedSize(8, 8);
    autoAnswerMark_->setAlignment(Qt::AlignCenter);
    QFont small = autoAnswerMark_->font();
    small.setPixelSize(7);
    autoAnswerMark_->setFont(small);
    auto* etcLayout = new QGridLayout(etcGroup);
    etcLayout->addWidget(autoHideBox_, 0, 0);
    etcLayout->addWidget(beepBox_, 1, 0);
    etcLayout->addWidget(reportBox_, 2, 0);
    etcLayout->addWidget(autoAnswerMark_, 2, 1, Qt::AlignRight | Qt::AlignBottom);
    etcLayout->setColumnStretch(0, 1);

    // ---- password change (hidden in this layout) ----
    auto* pwGroup = new QGroupBox(QStringLiteral("Change your password"), this);
    currentPwEdit_ = new QLineEdit(pwGroup);
    newPwEdit_ = new QLineEdit(pwGroup);
    confirmPwEdit_ = new QLineEdit(pwGroup);
    for (QLineEdit* e : {currentPwEdit_, newPwEdit_, confirmPwEdit_}) {
        e->setMaxLength(kWordMax);
        e->setEchoMode(QLineEdit::Password);
    }
    auto* change = new QPushButton(QStringLiteral("Change"), pwGroup);
    auto* clear = new QPushButton(QStringLiteral("Clear/Cancel"), pwGroup);
    change->setAutoDefault(false);
    clear->setAutoDefault(false);
    auto* pwLayout = new QGridLayout(pwGroup);
    pwLayout->addWidget(new QLabel(QStringLiteral("Current Password"), pwGroup), 0, 0);
    pwLayout->addWidget(currentPwEdit_, 0, 1);
    pwLayout->addWidget(new QLabel(QStringLiteral("New Password"), pwGroup), 1, 0);
    pwLayout->addWidget(newPwEdit_, 1, 1);
    pwLayout->addWidget(new QLabel(QStringLiteral("Confirm New Password"), pwGroup), 2, 0);
    pwLayout->addWidget(confirmPwEdit_, 2, 1);
    pwLayout->addWidget(new QLabel(QStringLiteral("Note) Please enter 6 ~ 19 characters"), pwGroup),
                        3, 0, 1, 2);
    auto* pwButtons = new QHBoxLayout;
    pwButtons->addStretch(1);
    pwButtons->addWidget(change);
    pwButtons->addWidget(clear);
    pwLayout->addLayout(pwButtons, 4, 0, 1, 2);
    pwGroup->hide();

    // ---- OK / CANCEL ----
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    auto* cancel = new QPushButton(QStringLiteral("CANCEL"), this);
    ok->setDefault(true);
    cancel->setAutoDefault(false);

    registerControl(IDC_STENO_LIST, stenoList_);
    registerControl(IDC_RING_VOLUME, ringVolume_);
    registerControl(IDC_RING_MIN, ringMin);
    registerControl(IDC_RING_MAX, ringMax);
    registerControl(IDC_PREVIEW, preview);
    registerControl(IDC_MAC_ANSWER, macAnswerEdit_);
    registerControl(IDC_MAC_NOISE, macNoiseEdit_);
    registerControl(IDC_MAC_NO_VOICE, macNoVoiceEdit_);
    registerControl(IDC_MAC_MISUSE, macMisuseEdit_);
    registerControl(IDC_SET_FONT, setFont);
    registerControl(IDC_TRANSMIT_SPACES, transmitSpaces_);
    registerControl(IDC_AUTO_HIDE, autoHideBox_);
    registerControl(IDC_BEEP_UNSTABLE, beepBox_);
    registerControl(IDC_REPORT_CAPTION, reportBox_);
    registerControl(IDC_AUTO_ANSWER_MARK, autoAnswerMark_);
    registerControl(IDC_CURRENT_PASSWORD, currentPwEdit_);
    registerControl(IDC_NEW_PASSWORD, newPwEdit_);
    registerControl(IDC_CONFIRM_PASSWORD, confirmPwEdit_);
    registerControl(IDC_CHANGE_PASSWORD, change);
    registerControl(IDC_CLEAR_PASSWORD, clear);
    registerControl(1, ok);
    registerControl(2, cancel);

    auto* left = new QVBoxLayout;
    left->addWidget(stenoGroup);
    left->addWidget(ringGroup);
    left->addWidget(wordGroup);
    left->addStretch(1);
    auto* right = new QVBoxLayout;
    right->addWidget(screenGroup);
    right->addWidget(spaceGroup);
    right->addWidget(etcGroup);
    right->addStretch(1);
    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addWidget(pwGroup);
    layout->addLayout(buttons);

    // A choice the user makes (also the entry already shown); selecting an
    // entry from the code does not change the captioner type.
    connect(stenoList_, &QComboBox::activated, this, &DlgConfig::OnStenoListChosen);
    connect(autoHideBox_, &QCheckBox::clicked, this,
            [this](bool checked) { autoHide_ = checked ? 1 : 0; });
    connect(beepBox_, &QCheckBox::clicked, this,
            [this](bool checked) { beepUnstable_ = checked ? 1 : 0; });
    connect(radioGroup, &QButtonGroup::idClicked, this, [this](int id) { radioIndex_ = id; });
    connect(preview, &QPushButton::clicked, this, &DlgConfig::OnPreview);
    connect(autoAnswerMark_, &NotifyStatic::doubleClicked, this, &DlgConfig::OnAutoAnswerMark);
    connect(setFont, &QPushButton::clicked, this, &DlgConfig::OnSetFont);
    connect(reportBox_, &QCheckBox::clicked, this, &DlgConfig::OnReportCaption);
    connect(change, &QPushButton::clicked, this, &DlgConfig::OnChangePassword);
    connect(clear, &QPushButton::clicked, this, &DlgConfig::OnClearPassword);
    connect(ok, &QPushButton::clicked, this, &DlgConfig::accept);
    connect(cancel, &QPushButton::clicked, this, &DlgConfig::reject);

    // Construction: the members from the store. Words are cut to their
    // fields; the captioner type goes to the console for LOGIN.
    readIntegers();
    macNoise_ = cutText(readString(kSettings, kMacNosiyVoice, QString()), kWordMax);
    macNoVoice_ = cutText(readString(kSettings, kMacNoVoice, QString()), kWordMax);
    macMisuse_ = cutText(readString(kSettings, kMacMisuse, QString()), kWordMax);
    macAnswer_ = cutText(readString(kSettings, kMacAnswerCmd, QString()), kWordMax);
    conContext().captionerType = captionerType_;
    radios_[radioIndex_]->setChecked(true);
}

void DlgConfig::readIntegers()
{
    autoTransmitSpace_ = readInt(kSettings, kAutoTransmitSpace, kDefAutoTransmitSpace);
    captionerType_ = readInt(kSettings, kCaptionerType, 0);
    ringTone_ = readInt(kSettings, kMyRingTone, kDefMyRingTone);
    autoHide_ = readInt(kSettings, kAutoHideFlag, 0);
    beepUnstable_ = readInt(kSettings, kBeepUnstableFlag, kDefBeepUnstableFlag);
}

void DlgConfig::fillTextFields()
{
    transmitSpaces_->setText(QString::number(autoTransmitSpace_));
    macNoiseEdit_->setText(macNoise_);
    macNoVoiceEdit_->setText(macNoVoice_);
    macMisuseEdit_->setText(macMisuse_);
    macAnswerEdit_->setText(macAnswer_);
}

void DlgConfig::takeTextFields()
{
    int spaces = 0;
    if (readTransmitSpaces(&spaces))
        autoTransmitSpace_ = spaces;
    macNoise_ = macNoiseEdit_->text();
    macNoVoice_ = macNoVoiceEdit_->text();
    macMisuse_ = macMisuseEdit_->text();
    macAnswer_ = macAnswerEdit_->text();
    currentPw_ = currentPwEdit_->text();
    newPw_ = newPwEdit_->text();
    confirmPw_ = confirmPwEdit_->text();
}

bool DlgConfig::readTransmitSpaces(int* value) const
{
    const QString text = transmitSpaces_->text().trimmed();
    bool ok = false;
    const qlonglong v = text.toLongLong(&ok);
    if (!ok || v < 0 || v > INT_MAX)
        return false;
    *value = int(v);
    return true;
}

int DlgConfig::RunModal()
{
    OnInitDialog();
    return exec();
}

void DlgConfig::OnInitDialog()
{
    const ConsoleContext& c = conContext();
    // 1. The text fields from the members: the values read at construction
    //    or those the fields held at the last closing.
    fillTextFields();
    // 2. Open, and the integers afresh from the store.
    openFlag_ = 1;
    readIntegers();
    // 3. Ring-tone volume.
    ringVolume_->setValue(ringTone_);
    // 4. Check boxes.
    autoHideBox_->setChecked(autoHide_ != 0);
    beepBox_->setChecked(beepUnstable_ != 0);
    reportBox_->setChecked(report_ && report_->flag());
    // 5. The password change needs a login.
    const bool loggedIn = c.loginState != 0;
    currentPwEdit_->setEnabled(loggedIn);
    newPwEdit_->setEnabled(loggedIn);
    confirmPwEdit_->setEnabled(loggedIn);
    // 6. The test answer mark.
    showAutoAnswerMark();
    // 7. The list entry of the captioner type; none matches a type outside
    //    the table, and then the first entry is shown.
    const int entry = stenoList_->findText(captionerListName(captionerType_), Qt::MatchExactly);
    stenoList_->setCurrentIndex(entry >= 0 ? entry : 0);
    transmitSpaces_->setFocus();
}

void DlgConfig::showAutoAnswerMark()
{
    autoAnswerMark_->setText(conContext().autoAnswerForTest ? QStringLiteral("A")
                                                            : QStringLiteral(" "));
}

void DlgConfig::OnStenoListChosen(int index)
{
    const int type = captionerTypeOfListName(stenoList_->itemText(index));
    captionerType_ = type >= 0 ? type : 0;
}

void DlgConfig::OnPreview()
{
    // Not waited for: a new sound replaces it.
    soundPlayer().play(ringFileName(ringVolume_->value()), SoundMode::Async);
}

void DlgConfig::OnAutoAnswerMark()
{
    ConsoleContext& c = conContext();
    c.autoAnswerForTest = c.autoAnswerForTest ? 0 : 1;
    writeInt(kSettings, kAutoAnsForTst, c.autoAnswerForTest);
    showAutoAnswerMark();
}

void DlgConfig::OnSetFont()
{
    if (captionScreen_) {
        captionScreen_->hide();
        captionScreen_->setVisibleFlag(false);
    }
    CFontConfig font(captionScreen_, this);
    runningFont_ = &font;
    font.exec();
    runningFont_ = nullptr;
}

void DlgConfig::OnReportCaption()
{
    if (!report_)
        return;
    report_->setFlag(reportBox_->isChecked(), conContext().serverHost);
}

void DlgConfig::accept()
{
    OnOK();
}

void DlgConfig::reject()
{
    OnCancel();
}

void DlgConfig::OnOK()
{
    // 1. The fields into the members; the count must be a non-negative
    //    integer the store can hold.
    int spaces = 0;
    if (!readTransmitSpaces(&spaces)) {
        prompter().inform(this, integerPromptText());
        transmitSpaces_->setFocus();
        transmitSpaces_->selectAll();
        return;
    }
    takeTextFields();
    bool stripped = false;
    for (QString* word : {&macNoise_, &macNoVoice_, &macMisuse_, &macAnswer_})
        stripped = stripControlChars(word) || stripped;
    if (stripped) {
        prompter().inform(this, controlCharsText());
        fillTextFields();
    }
    // 2. The count and the volume.
    autoTransmitSpace_ = spaces;
    ringTone_ = ringVolume_->value();
    // 3. The writes, in this order.
    writeInt(kSettings, kAutoTransmitSpace, autoTransmitSpace_);
    writeInt(kSettings, kCaptionerType, captionerType_);
    writeInt(kSettings, kMyRingTone, ringTone_);
    writeInt(kSettings, kAutoHideFlag, autoHide_);
    writeInt(kSettings, kBeepUnstableFlag, beepUnstable_);
    writeString(kSettings, kMacNosiyVoice, macNoise_);
    writeString(kSettings, kMacNoVoice, macNoVoice_);
    writeString(kSettings, kMacMisuse, macMisuse_);
    writeString(kSettings, kMacAnswerCmd, macAnswer_);
    // 4. The main window's word lengths.
    if (onShortcutLengths)
        onShortcutLengths(int(macNoise_.toUtf8().size()), int(macNoVoice_.toUtf8().size()),
                          int(macMisuse_.toUtf8().size()), int(macAnswer_.toUtf8().size()));
    // 5. Close.
    clearPasswordFields();
    openFlag_ = 0;
    QuillonDialog::accept();
}

void DlgConfig::OnCancel()
{
    openFlag_ = 0;
    takeTextFields();
    QuillonDialog::reject();
}

void DlgConfig::CancelForRinging()
{
    // A password change clears the open flag while the dialog stays up, so
    // whether it runs is asked of the window itself.
    if (!isVisible() && !openFlag_)
        return;
    if (runningFont_)
        runningFont_->reject();
    OnCancel();
}

void DlgConfig::OnChangePassword()
{
    const QString current = currentPwEdit_->text();
    const QString fresh = newPwEdit_->text();
    const QString confirm = confirmPwEdit_->text();
    ConsoleContext& c = conContext();

    if (scramblePassword(current)
        != storedCredential(c.password, sizeof c.password, c.passwordLen)) {
        prompter().inform(this, wrongPasswordText());
        return;
    }
    if (fresh.size() < kMinPasswordLength) {
        prompter().inform(this, shortPasswordText());
        return;
    }
    if (confirm != fresh) {
        prompter().inform(this, confirmPasswordText());
        return;
    }
    // The password itself changes when the server acknowledges.
    const QByteArray scrambled = scramblePassword(fresh);
    std::memset(c.newPassword, 0, sizeof c.newPassword);
    std::memcpy(c.newPassword, scrambled.constData(), size_t(scrambled.size()));
    c.newPasswordLen = int(scrambled.size());
    const QByteArray userId = storedCredential(c.userId, sizeof c.userId, c.userIdLen);
    agentLinkOps().txChangePasswd(userId.constData(), int(userId.size()), c.newPassword,
                                  c.newPasswordLen);
    clearPasswordFields();
    openFlag_ = 0;
}

void DlgConfig::OnClearPassword()
{
    clearPasswordFields();
}

void DlgConfig::clearPasswordFields()
{
    currentPwEdit_->clear();
    newPwEdit_->clear();
    confirmPwEdit_->clear();
    currentPw_.clear();
    newPw_.clear();
    confirmPw_.clear();
}
