#include "cdlgserverconfig.h"

#include "concontext.h"
#include "settingsstore.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

CDlgServerConfig::CDlgServerConfig(const ServerNames& names, QWidget* parent)
    : QuillonDialog(parent), names_(names)
{
    setTemplateId(IDD);
    setWindowTitle(QStringLiteral("Server Configure"));

    radio1_ = new QRadioButton(QStringLiteral("Server 1"), this);
    radio2_ = new QRadioButton(QStringLiteral("Server 2"), this);
    // The handlers check one radio and clear the other themselves.
    radio1_->setAutoExclusive(false);
    radio2_->setAutoExclusive(false);
    server1_ = new QLineEdit(this);
    server2_ = new QLineEdit(this);
    logServer_ = new QLineEdit(this);
    auto* unused = new QLineEdit(this);
    logServer_->hide();
    unused->hide();
    server1_->setMinimumWidth(220);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    auto* cancel = new QPushButton(QStringLiteral("CANCEL"), this);
    ok->setDefault(true);
    cancel->setAutoDefault(false);

    registerControl(IDC_RADIO1, radio1_);
    registerControl(IDC_RADIO2, radio2_);
    registerControl(IDC_SERVER1, server1_);
    registerControl(IDC_SERVER2, server2_);
    registerControl(IDC_LOGSERVER, logServer_);
    registerControl(IDC_UNUSED_IP, unused);
    registerControl(1, ok);
    registerControl(2, cancel);

    auto* grid = new QGridLayout;
    grid->addWidget(radio1_, 0, 0);
    grid->addWidget(server1_, 0, 1);
    grid->addWidget(radio2_, 1, 0);
    grid->addWidget(server2_, 1, 1);
    grid->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(logServer_);
    layout->addWidget(unused);
    layout->addLayout(buttons);

    server1_->setText(names_.ipsvr1);
    server2_->setText(names_.ipsvr2);
    logServer_->setText(names_.ipsvr1log);
    selection_ = settings::clampLocale(conContext().serverIndex);
    radio1_->setChecked(selection_ == 0);
    radio2_->setChecked(selection_ == 1);

    connect(radio1_, &QRadioButton::clicked, this, &CDlgServerConfig::OnRadio1);
    connect(radio2_, &QRadioButton::clicked, this, &CDlgServerConfig::OnRadio2);
    connect(ok, &QPushButton::clicked, this, &CDlgServerConfig::accept);
    connect(cancel, &QPushButton::clicked, this, &CDlgServerConfig::reject);
}

void CDlgServerConfig::OnRadio1()
{
    selection_ = 0;
    radio1_->setChecked(true);
    radio2_->setChecked(false);
}

void CDlgServerConfig::OnRadio2()
{
    selection_ = 1;
    radio1_->setChecked(false);
    radio2_->setChecked(true);
}

void CDlgServerConfig::accept()
{
    using namespace settings;
    names_.ipsvr1 = server1_->text();
    names_.ipsvr1log = logServer_->text();
    names_.ipsvr2 = server2_->text();
    writeInt(kSettings, kLocale, selection_);
    writeString(kSettings, kIPSVR1, names_.ipsvr1);
    writeString(kSettings, kIPSVR2, names_.ipsvr2);
    writeString(kSettings, kIPSVR1LOG, names_.ipsvr1log);
    settings::flush();

    selection_ = radio1_->isChecked() ? 0 : 1;
    ConsoleContext& c = conContext();
    c.serverIndex = selection_;
    // The chosen name, unresolved, cut to the field.
    const QByteArray host = (selection_ == 0 ? names_.ipsvr1 : names_.ipsvr2).toUtf8();
    const size_t n = std::min(size_t(host.size()), sizeof c.serverHost - 1);
    std::memcpy(c.serverHost, host.constData(), n);
    c.serverHost[n] = '\0';
    QuillonDialog::accept();
}
