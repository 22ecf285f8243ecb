#include "cdlglogin.h"

#include "agentlinkops.h"
#include "capclogincrypt.h"
#include "ccolorstaticst.h"
#include "concontext.h"
#include "notifystatic.h"
#include "prompter.h"
#include "quillon_version.h"
#include "settingsstore.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstring>

namespace {

// Scrambles text with key and stores it in field, cut to keep bytes, with a
// NUL after it; returns the bytes stored. Scrambling can produce 0 bytes, so
// the length, not the NUL, says where the text ends.
int storeScrambled(const QByteArray& text, uint8_t key, char* field, size_t fieldSize, int keep)
{
    char scrambled[128];
    const int n = capcLoginScramble(text.constData(), int(text.size()), key, scrambled,
                                    int(sizeof scrambled));
    int len = n < keep ? n : keep;
    if (size_t(len) >= fieldSize)
        len = int(fieldSize) - 1;
    std::memset(field, 0, fieldSize);
    std::memcpy(field, scrambled, size_t(len));
    return len;
}

}  // namespace

CDlgLogin::CDlgLogin(QWidget* parent) : QuillonDialog(parent)
{
    setTemplateId(IDD);
    setWindowTitle(QStringLiteral("Quillon Agent"));

    loginEdit_ = new QLineEdit(this);
    passwordEdit_ = new QLineEdit(this);
    phoneEdit_ = new QLineEdit(this);
    loginEdit_->setMaxLength(kFieldMax);
    passwordEdit_->setMaxLength(kFieldMax);
    passwordEdit_->setEchoMode(QLineEdit::Password);
    phoneEdit_->setMaxLength(kPhoneMax);
    loginEdit_->setMinimumWidth(180);
    auto* loginLabel = new QLabel(QStringLiteral("Login ID"), this);
    auto* passwordLabel = new QLabel(QStringLiteral("Password"), this);
    auto* phoneLabel = new QLabel(QStringLiteral("Phone Number"), this);
    loginLabel->setBuddy(loginEdit_);
    passwordLabel->setBuddy(passwordEdit_);
    phoneEdit_->hide();
    phoneLabel->hide();

    auto* login = new QPushButton(QStringLiteral("LOGIN"), this);
    auto* cancel = new QPushButton(QStringLiteral("CANCEL"), this);
    login->setDefault(true);
    cancel->setAutoDefault(false);

    cornerServer_ = new NotifyStatic(QString(), this);
    cornerSteno_ = new NotifyStatic(QStringLiteral(" "), this);
    for (NotifyStatic* corner : {cornerServer_, cornerSteno_}) {
        corner->setFixedSize(10, 10);
        corner->setAlignment(Qt::AlignCenter);
        QFont small = corner->font();
        small.setPointSize(6);
        corner->setFont(small);
    }
    useSteno_ = new QCheckBox(QStringLiteral("Use Stenograph S/W"), this);
    useSteno_->hide();
    auto* colorField = new CColorStaticST(this);
    colorField->hide();
    outputDevice_ = new QLabel(this);
    outputDevice_->setTextFormat(Qt::PlainText);
    outputDevice_->setAlignment(Qt::AlignCenter);

    registerControl(IDC_LOGIN_ID, loginEdit_);
    registerControl(IDC_PASSWORD, passwordEdit_);
    registerControl(IDC_PHONE, phoneEdit_);
    registerControl(1, login);
    registerControl(2, cancel);
    registerControl(IDC_CORNER_SERVER, cornerServer_);
    registerControl(IDC_CORNER_STENO, cornerSteno_);
    registerControl(IDC_USE_STENO, useSteno_);
    registerControl(IDC_COLOR_FIELD, colorField);
    registerControl(IDC_OUTPUT_DEVICE, outputDevice_);

    auto* top = new QHBoxLayout;
    top->addStretch(1);
    top->addWidget(cornerServer_, 0, Qt::AlignTop | Qt::AlignRight);

    auto* form = new QGridLayout;
    form->setHorizontalSpacing(12);
    form->addWidget(loginLabel, 0, 0);
    form->addWidget(loginEdit_, 0, 1);
    form->addWidget(passwordLabel, 1, 0);
    form->addWidget(passwordEdit_, 1, 1);
    form->addWidget(phoneLabel, 2, 0);
    form->addWidget(phoneEdit_, 2, 1);
    form->setColumnStretch(1, 1);

    auto* buttonsColumn = new QVBoxLayout;
    buttonsColumn->addWidget(login);
    buttonsColumn->addWidget(cancel);
    buttonsColumn->addStretch(1);

    auto* middle = new QHBoxLayout;
    middle->setContentsMargins(12, 0, 4, 0);
    middle->addLayout(form, 1);
    middle->addSpacing(12);
    middle->addLayout(buttonsColumn);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(cornerSteno_, 0, Qt::AlignBottom | Qt::AlignRight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(6);
    layout->addLayout(top);
    layout->addLayout(middle);
    layout->addWidget(useSteno_);
    layout->addWidget(colorField);
    layout->addWidget(outputDevice_);
    layout->addLayout(bottom);

    connect(login, &QPushButton::clicked, this, &CDlgLogin::OnLogin);
    connect(cancel, &QPushButton::clicked, this, &CDlgLogin::reject);
    connect(cornerSteno_, &NotifyStatic::doubleClicked, this, &CDlgLogin::OnCornerSteno);
    connect(cornerServer_, &NotifyStatic::doubleClicked, this, &CDlgLogin::OnCornerServer);
    connect(useSteno_, &QCheckBox::clicked, this, &CDlgLogin::OnUseStenoClicked);
}

void CDlgLogin::setServerNames(const ServerNames& names)
{
    names_ = names;
    namesSet_ = true;
}

ServerNames CDlgLogin::serverNames() const
{
    if (namesSet_)
        return names_;
    using namespace settings;
    return ServerNames{readString(kSettings, kIPSVR1, defaultPrimaryHost()),
                       readString(kSettings, kIPSVR2, defaultSecondaryHost()),
                       readString(kSettings, kIPSVR1LOG, defaultSecondaryHost())};
}

QString CDlgLogin::titleText()
{
    const int index = conContext().serverIndex;
    return QStringLiteral("Quillon Agent(Ver.%1)%2")
        .arg(QStringLiteral(QUILLON_VERSION_TEXT), index == 1 ? QStringLiteral("-TB") : QString());
}

int CDlgLogin::serverPort(int systemType)
{
    const long long port = kServerPortBase + 5LL * systemType;
    return int(((port % 65536) + 65536) % 65536);
}

void CDlgLogin::showEvent(QShowEvent* event)
{
    InitDialog();
    QuillonDialog::showEvent(event);
}

void CDlgLogin::InitDialog()
{
    if (initDone_)
        return;
    initDone_ = true;
    loginEdit_->setFocus();
    setWindowTitle(titleText());
    refreshStenoMark();
    useSteno_->setChecked(conContext().useStenoSoftware != 0);

    AgentLinkOps& ops = agentLinkOps();
    if (ops.soundInit() != 0) {
        prompter().inform(this, QStringLiteral("Sound device initial failed"));
        ops.shutdown(520);
        return;
    }
    outputDevice_->setText(QStringLiteral("Output Device: %1").arg(ops.outputDeviceName()));
}

void CDlgLogin::refreshStenoMark()
{
    cornerSteno_->setText(conContext().useStenoSoftware ? QStringLiteral(" ") : QStringLiteral("X"));
}

void CDlgLogin::OnLogin()
{
    loginId_ = loginEdit_->text();
    password_ = passwordEdit_->text();
    phoneNumber_ = phoneEdit_->text();
    if (password_.isEmpty() || loginId_.isEmpty())
        return;

    if (beforeLoginHook_)
        beforeLoginHook_();
    ConsoleContext& c = conContext();
    c.userIdLen = storeScrambled(loginId_.toUtf8(), CAPC_LOGIN_KEY_USER_ID, c.userId,
                                 sizeof c.userId, 45);
    c.passwordLen = storeScrambled(password_.toUtf8(), CAPC_LOGIN_KEY_PASSWORD, c.password,
                                   sizeof c.password, 45);
    storeScrambled(phoneNumber_.toUtf8(), CAPC_LOGIN_KEY_PHONE, c.phoneNumber,
                   sizeof c.phoneNumber, 19);
    c.loginMode = 0;

    AgentLinkOps& ops = agentLinkOps();
    ops.txLogin(c.userId, c.userIdLen, c.password, c.passwordLen, c.phoneNumber,
                QUILLON_VERSION_MAJOR, QUILLON_VERSION_MINOR, QUILLON_VERSION_PATCH,
                c.captionerType);
    if (conIsPublished() && linkTryHook_)
        linkTryHook_();
    ops.socketStart(c.serverHost, serverPort(c.systemType));
    c.loginState = 1;
    QuillonDialog::accept();
}

void CDlgLogin::accept()
{
    // Enter and the default button both go through LOGIN's checks.
    OnLogin();
}

void CDlgLogin::OnCornerSteno()
{
    ConsoleContext& c = conContext();
    c.useStenoSoftware = c.useStenoSoftware ? 0 : 1;
    settings::writeInt(settings::kSettings, settings::kUseStenoSW, c.useStenoSoftware);
    refreshStenoMark();
    useSteno_->setChecked(c.useStenoSoftware != 0);
}

void CDlgLogin::OnUseStenoClicked()
{
    ConsoleContext& c = conContext();
    c.useStenoSoftware = useSteno_->isChecked() ? 1 : 0;
    settings::writeInt(settings::kSettings, settings::kUseStenoSW, c.useStenoSoftware);
    refreshStenoMark();
}

void CDlgLogin::OnCornerServer()
{
    CDlgServerConfig dialog(serverNames(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    setWindowTitle(titleText());
    prompter().inform(this, QStringLiteral("The server configuration has changed. Please restart now."));
    agentLinkOps().shutdown(520);
}
