// The main window's controls: the control table, their layout in one compact
// strip, the keyboard rules and the about box.
#include "cdariduruDlg.h"

#include "ccolorstaticst.h"
#include "colorbutton.h"
#include "typingbox.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// Kinds of control in the table.
enum class Kind { Button, ColorButton, Field, Typing };

struct ControlRow {
    int id;
    Kind kind;
    const char* caption;
    bool hidden;    // created invisible; nothing in the program shows it
    bool enabled;   // state after start
};

// The control table of the main window (template 102).
const ControlRow kControls[] = {
    {CDarIduruDlg::IDC_JOIN, Kind::Button, "JOIN", false, true},
    {CDarIduruDlg::IDC_ANSWER, Kind::ColorButton, "Answer", false, false},
    {CDarIduruDlg::IDC_REQUEST, Kind::ColorButton, "Request", false, false},
    {CDarIduruDlg::IDC_HO_CANCEL, Kind::Button, "Cancel", false, false},
    {CDarIduruDlg::IDC_NOISE, Kind::Button, "Noise", false, false},
    {CDarIduruDlg::IDC_NOVOICE, Kind::Button, "NoVoice", false, false},
    {CDarIduruDlg::IDC_OLANG, Kind::Button, "O/Lang", false, false},
    {CDarIduruDlg::IDC_MISUSE, Kind::Button, "Misuse", false, false},
    {CDarIduruDlg::IDC_INTERACTIVE, Kind::Button, "Interactive", false, false},
    {CDarIduruDlg::IDC_RECORDED, Kind::Button, "Recorded", false, false},
    {CDarIduruDlg::IDC_FRAUD, Kind::Button, "Fraud", true, false},
    {CDarIduruDlg::IDC_HOLD, Kind::ColorButton, "w/ hold", true, false},
    {CDarIduruDlg::IDC_TYPING, Kind::Typing, "", false, false},
    {CDarIduruDlg::IDC_CAPTION_SCREEN, Kind::Button, "Caption Screen", false, true},
    {CDarIduruDlg::IDC_TXDATA, Kind::Button, "Tx Data", false, false},
    {CDarIduruDlg::IDC_NOTICE, Kind::Button, "Notice Box", false, true},
    {CDarIduruDlg::IDC_CONFIG, Kind::Button, "Config..", false, true},
    {CDarIduruDlg::IDOK_EXIT, Kind::Button, "Exit", false, true},
    {CDarIduruDlg::IDC_SERVICE, Kind::Field, "", false, true},
    {CDarIduruDlg::IDC_LINK_STATUS, Kind::Field, "KA FAIL", false, true},
    {CDarIduruDlg::IDC_STENO_STATE, Kind::Field, "Eclipse", false, true},
    {CDarIduruDlg::IDC_INDICATOR, Kind::Field, ".", false, true},
    {CDarIduruDlg::IDC_LIGHT1, Kind::Field, "1", false, true},
    {CDarIduruDlg::IDC_LIGHT1 + 1, Kind::Field, "2", false, true},
    {CDarIduruDlg::IDC_LIGHT1 + 2, Kind::Field, "3", false, true},
    {CDarIduruDlg::IDC_LIGHT1 + 3, Kind::Field, "4", false, true},
    {CDarIduruDlg::IDC_LIGHT5, Kind::Field, "5", false, true},
    {CDarIduruDlg::IDC_FOCUS_PARK, Kind::Button, "", true, true},
    {CDarIduruDlg::IDC_TS1, Kind::Button, "TS1", true, true},
    {CDarIduruDlg::IDC_TS3, Kind::Button, "TS3", true, true},
    {CDarIduruDlg::IDC_LOGOUT, Kind::Button, "Logout", true, false},
    {CDarIduruDlg::IDCANCEL_HIDDEN, Kind::Button, "Cancel", true, false},
    {CDarIduruDlg::IDC_FIELD_1041, Kind::Field, " ", true, true},
    {CDarIduruDlg::IDC_FIELD_1018, Kind::Field, ".", true, true},
};

}  // namespace

// The program's icon, drawn like the installed quillon-agent.svg: a caption
// bubble on blue. Drawn here so that the window has it without an SVG
// renderer.
QIcon CDarIduruDlg::programIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 128.0, size / 128.0);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1f, 0x5f, 0xa8));
        p.drawRoundedRect(QRectF(4, 4, 120, 120), 22, 22);
        QPainterPath bubble;
        bubble.addRoundedRect(QRectF(14, 30, 100, 56), 10, 10);
        QPolygonF tail;
        tail << QPointF(40, 84) << QPointF(40, 102) << QPointF(60, 84);
        bubble.addPolygon(tail);
        p.setBrush(Qt::white);
        p.drawPath(bubble.simplified());
        p.setBrush(QColor(0x1f, 0x5f, 0xa8));
        p.drawRoundedRect(QRectF(30, 44, 62, 7), 3.5, 3.5);
        p.drawRoundedRect(QRectF(30, 72, 44, 7), 3.5, 3.5);
        p.setBrush(QColor(0x33, 0xb4, 0x00));
        p.drawRoundedRect(QRectF(30, 58, 74, 7), 3.5, 3.5);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

const QColor CDarIduruDlg::kFaceInactive(0xF0, 0xF0, 0xF0);
const QColor CDarIduruDlg::kTextInactive(0xE6, 0xE6, 0xE6);
const QColor CDarIduruDlg::kTextActive(0x01, 0x01, 0x01);
const QColor CDarIduruDlg::kYellow(0xFF, 0xFF, 0x66);
const QColor CDarIduruDlg::kGreen(0x33, 0xFF, 0x00);
const QColor CDarIduruDlg::kHoldOn(0xFF, 0xFF, 0x33);
const QColor CDarIduruDlg::kRed(0xFF, 0x00, 0x00);
const QColor CDarIduruDlg::kOrange(0xFF, 0x80, 0x00);
const QColor CDarIduruDlg::kGrey(0x99, 0x99, 0x99);

CAboutDlg::CAboutDlg(QWidget* parent) : QuillonDialog(parent)
{
    setTemplateId(IDD);
    setWindowTitle(QStringLiteral("Quillon Agent Information"));
    auto* text = new QLabel(QStringLiteral("Quillon Agent, Version 1.0"), this);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    registerControl(1, ok);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(text, 1);
    layout->addWidget(ok);
}

void CDarIduruDlg::buildControls()
{
    QFont dialogFont = font();
    dialogFont.setPointSize(10);
    setFont(dialogFont);

    for (const ControlRow& row : kControls) {
        const QString caption = QString::fromLatin1(row.caption);
        QWidget* w = nullptr;
        switch (row.kind) {
        case Kind::Button: {
            auto* b = new QPushButton(caption, this);
            // Enter belongs to Tx Data: no button is ever the default.
            b->setAutoDefault(false);
            b->setDefault(false);
            w = b;
            break;
        }
        case Kind::ColorButton:
            w = new ColorButton(caption, this);
            break;
        case Kind::Field: {
            auto* f = new CColorStaticST(caption, this);
            f->setAlignment(Qt::AlignCenter);
            f->setAccessibleName(caption.trimmed().isEmpty() ? QStringLiteral("Field %1").arg(row.id)
                                                             : caption);
            w = f;
            break;
        }
        case Kind::Typing: {
            typing_ = new TypingBox(this);
            typing_->setAccessibleName(QStringLiteral("Caption text"));
            w = typing_;
            break;
        }
        }
        w->setObjectName(QStringLiteral("control%1").arg(row.id));
        registerControl(row.id, w);
        w->setEnabled(row.enabled);
        if (row.hidden)
            w->hide();
    }
    BindControls();

    // Layout: two rows under four group boxes.
    const char* groupCaptions[4] = {"Call", "Handover", "Steno S/W", "Inernet"};
    for (int i = 0; i < 4; ++i)
        groups_[i] = new QGroupBox(QString::fromLatin1(groupCaptions[i]), this);

    // Buttons as wide as their longest caption, so the strip stays compact
    // at any font size or scaling.
    auto compact = [](QWidget* w, int) {
        QStringList texts{static_cast<QAbstractButton*>(w)->text()};
        switch (controlIdOf(w)) {
        case IDC_JOIN:
            texts << QStringLiteral("Pause");
            break;
        case IDC_REQUEST:
            texts << QStringLiteral("Action");
            break;
        case IDC_NOTICE:
            texts << QStringLiteral("Notice(99)");
            break;
        default:
            break;
        }
        int width = 0;
        for (const QString& t : texts)
            width = std::max(width, w->fontMetrics().horizontalAdvance(t));
        w->setFixedWidth(width + w->fontMetrics().height() + 2);
        w->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    };

    // "Call": JOIN, Answer and the report buttons; the typing box below.
    auto* call = new QGridLayout(groups_[0]);
    call->setContentsMargins(4, 2, 4, 4);
    call->setHorizontalSpacing(3);
    call->setVerticalSpacing(3);
    const int callRow[] = {IDC_JOIN,   IDC_ANSWER,      IDC_NOISE,    IDC_NOVOICE, IDC_OLANG,
                           IDC_MISUSE, IDC_INTERACTIVE, IDC_RECORDED, IDC_FRAUD,   IDC_HOLD};
    int col = 0;
    for (int id : callRow) {
        compact(control(id), 0);
        call->addWidget(control(id), 0, col++);
    }
    typing_->setFixedHeight(typing_->fontMetrics().height() * 2 + 10);
    call->addWidget(typing_, 1, 0, 1, col - 1);
    call->addWidget(control(IDC_CAPTION_SCREEN), 1, 0, 1, col - 1);
    compact(control(IDC_TXDATA), 0);
    call->addWidget(control(IDC_TXDATA), 1, col - 1, 1, 1);

    // "Handover": Request over Cancel.
    auto* handover = new QVBoxLayout(groups_[1]);
    handover->setContentsMargins(4, 2, 4, 4);
    handover->setSpacing(3);
    for (int id : {IDC_REQUEST, IDC_HO_CANCEL}) {
        compact(control(id), 64);
        handover->addWidget(control(id));
    }

    // "Steno S/W": the stenography state, the indicator and five lights.
    auto* steno = new QGridLayout(groups_[2]);
    steno->setContentsMargins(4, 2, 4, 4);
    steno->setSpacing(3);
    control(IDC_STENO_STATE)->setMinimumWidth(
        control(IDC_STENO_STATE)->fontMetrics().horizontalAdvance(QStringLiteral("EclipseCAT")) + 8);
    steno->addWidget(control(IDC_STENO_STATE), 0, 0, 1, 5);
    steno->addWidget(control(IDC_INDICATOR), 0, 5);
    for (int i = 0; i < 5; ++i) {
        control(IDC_LIGHT1 + i)->setFixedWidth(control(IDC_LIGHT1 + i)->fontMetrics().height() + 6);
        steno->addWidget(control(IDC_LIGHT1 + i), 1, i);
    }
    control(IDC_INDICATOR)->setFixedWidth(control(IDC_INDICATOR)->fontMetrics().height() + 8);

    // "Inernet": the service text over the link status.
    auto* internet = new QVBoxLayout(groups_[3]);
    internet->setContentsMargins(4, 2, 4, 4);
    internet->setSpacing(3);
    for (int id : {IDC_SERVICE, IDC_LINK_STATUS}) {
        control(id)->setMinimumWidth(
            control(id)->fontMetrics().horizontalAdvance(QStringLiteral("SPECIALIST")) + 12);
        internet->addWidget(control(id));
    }

    // The window's own buttons at the right end.
    auto* own = new QVBoxLayout;
    own->setSpacing(3);
    for (int id : {IDC_NOTICE, IDC_CONFIG, IDOK_EXIT}) {
        compact(control(id), 0);
        own->addWidget(control(id));
    }

    auto* strip = new QHBoxLayout(this);
    strip->setContentsMargins(4, 2, 4, 4);
    strip->setSpacing(4);
    strip->addWidget(groups_[0], 1);
    strip->addWidget(groups_[1]);
    strip->addWidget(groups_[2]);
    strip->addWidget(groups_[3]);
    strip->addLayout(own);
    strip->setSizeConstraint(QLayout::SetFixedSize);

    // Buttons with their handlers.
    const struct {
        int id;
        void (CDarIduruDlg::*handler)();
    } clicks[] = {
        {IDC_ANSWER, &CDarIduruDlg::OnAnswer},
        {IDOK_EXIT, &CDarIduruDlg::OnExit},
        {IDC_TXDATA, &CDarIduruDlg::OnTxData},
        {IDC_CONFIG, &CDarIduruDlg::OnConfig},
        {IDC_NOVOICE, &CDarIduruDlg::OnNoVoice},
        {IDC_NOISE, &CDarIduruDlg::OnNoise},
        {IDC_MISUSE, &CDarIduruDlg::OnMisuse},
        {IDC_OLANG, &CDarIduruDlg::OnOLang},
        {IDC_RECORDED, &CDarIduruDlg::OnRecorded},
        {IDC_INTERACTIVE, &CDarIduruDlg::OnInteractive},
        {IDC_FRAUD, &CDarIduruDlg::OnFraud},
        {IDC_HOLD, &CDarIduruDlg::OnHold},
        {IDC_REQUEST, &CDarIduruDlg::OnRequest},
        {IDC_HO_CANCEL, &CDarIduruDlg::OnHandoverCancel},
        {IDC_NOTICE, &CDarIduruDlg::OnMessageBox},
        {IDC_JOIN, &CDarIduruDlg::OnJoin},
        {IDC_CAPTION_SCREEN, &CDarIduruDlg::OnCaptionScreen},
        {IDC_TS3, &CDarIduruDlg::OnTS3},
    };
    for (const auto& c : clicks) {
        auto handler = c.handler;
        connect(button(c.id), &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    }
    connect(typing_, &QPlainTextEdit::textChanged, this, [this] { OnTypingChanged(); });
}

void CDarIduruDlg::BindControls()
{
    // The colour fields start with the plain dialog face.
    for (int id : {IDC_SERVICE, IDC_LINK_STATUS, IDC_STENO_STATE, IDC_INDICATOR, IDC_FIELD_1041,
                   IDC_FIELD_1018})
        field(id)->SetBkColor(palette().color(QPalette::Window));
    for (int id = IDC_LIGHT1; id <= IDC_LIGHT5; ++id)
        field(id)->SetBkColor(kGrey);
    for (int id : {IDC_SERVICE, IDC_LINK_STATUS, IDC_STENO_STATE, IDC_INDICATOR}) {
        field(id)->setFrameShape(QFrame::Panel);
        field(id)->setFrameShadow(QFrame::Sunken);
        field(id)->SetTextColor(kTextActive);
    }
}

ColorButton* CDarIduruDlg::colorButton(int id) const
{
    return controlAs<ColorButton>(id);
}

CColorStaticST* CDarIduruDlg::field(int id) const
{
    return controlAs<CColorStaticST>(id);
}

QPushButton* CDarIduruDlg::button(int id) const
{
    return controlAs<QPushButton>(id);
}

void CDarIduruDlg::enableControl(int id, bool on)
{
    if (QWidget* w = control(id))
        w->setEnabled(on);
}

void CDarIduruDlg::setControlText(int id, const QString& text)
{
    QWidget* w = control(id);
    if (auto* b = qobject_cast<QPushButton*>(w))
        b->setText(text);
    else if (auto* l = qobject_cast<QLabel*>(w))
        l->setText(text);
}

void CDarIduruDlg::setButtonColors(int id, const QColor& face, const QColor& text)
{
    if (ColorButton* b = colorButton(id)) {
        b->SetFaceColor(face);
        b->SetTextColor(text);
    }
}

void CDarIduruDlg::focusControl(int id)
{
    if (QWidget* w = control(id)) {
        // The parking place is hidden: focus the window itself then, so that
        // no control keeps the keyboard.
        if (w->isHidden())
            setFocus(Qt::OtherFocusReason);
        else
            w->setFocus(Qt::OtherFocusReason);
    }
}

bool CDarIduruDlg::PreTranslateKey(QKeyEvent* key)
{
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        OnTxData();
        return true;
    case Qt::Key_Escape:
        showMinimized();
        return true;
    default:
        return false;
    }
}

bool CDarIduruDlg::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::KeyPress) {
        auto* w = qobject_cast<QWidget*>(watched);
        // Only keys meant for this window, not for its dialogs.
        if (w && w->window() == this && !exiting_)
            if (PreTranslateKey(static_cast<QKeyEvent*>(e)))
                return true;
    }
    return QuillonDialog::eventFilter(watched, e);
}

void CDarIduruDlg::contextMenuEvent(QContextMenuEvent* e)
{
    // The window menu's about entry, offered where a Linux desktop offers
    // window commands of a dialog: the context menu.
    QMenu menu(this);
    QAction* about = menu.addAction(QStringLiteral("About QuillonAgent(&A)..."));
    if (menu.exec(e->globalPos()) == about)
        ShowAbout();
}

void CDarIduruDlg::ShowAbout()
{
    CAboutDlg about(this);
    about.exec();
}
