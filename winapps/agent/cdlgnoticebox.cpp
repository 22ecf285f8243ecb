#include "cdlgnoticebox.h"

#include "ccolorlistbox.h"

#include <QPushButton>
#include <QVBoxLayout>

CDlgNoticeBox::CDlgNoticeBox(QWidget* parent) : QuillonDialog(parent)
{
    setTemplateId(IDD);
    setWindowTitle(QStringLiteral("Notice Box"));
    setModal(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    list_ = new CColorListBox(this);
    registerControl(IDC_LIST, list_);
    layout->addWidget(list_);

    // The template's default button is hidden; Enter and Esc only hide the box.
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    ok->hide();
    registerControl(1, ok);
    connect(ok, &QPushButton::clicked, this, &CDlgNoticeBox::accept);

    resize(520, 260);
}

void CDlgNoticeBox::addLine(const QString& line, uint32_t bgrColor)
{
    const int index = list_->AddString(line, bgrColor);
    list_->SetCurSel(index);
}

void CDlgNoticeBox::AddMessage(const QString& text)
{
    AddMessage(text, QDateTime::currentDateTime());
}

void CDlgNoticeBox::AddMessage(const QString& text, const QDateTime& now)
{
    const QDate d = now.date();
    const QTime t = now.time();
    addLine(QString::asprintf("[%02d/%02d %02d:%02d:%02d] Message from System Manager",
                              d.month(), d.day(), t.hour(), t.minute(), t.second()),
            kHeaderColor);
    int pos = 0;
    while (pos < text.size()) {
        int n = qMin(kPieceLength, int(text.size()) - pos);
        // Keep a surrogate pair on one line.
        if (n > 1 && pos + n < text.size() && text[pos + n - 1].isHighSurrogate())
            --n;
        addLine(QStringLiteral("   ") + text.mid(pos, n), kTextColor);
        pos += n;
    }
}

void CDlgNoticeBox::ShowBox()
{
    show();
    raise();
    activateWindow();
}

void CDlgNoticeBox::accept()
{
    hide();
}

void CDlgNoticeBox::reject()
{
    hide();
}
