#include "cfontconfig.h"

#include "captionformat.h"
#include "concontext.h"
#include "qcolors.h"
#include "settingsstore.h"
#include "userscreendisplay.h"

#include <QColorDialog>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {
CFontConfig::ColorChooser g_chooser;
}

void CFontConfig::setColorChooser(ColorChooser chooser)
{
    g_chooser = std::move(chooser);
}

CFontConfig::CFontConfig(UserScreenDisplay* screen, QWidget* parent)
    : QuillonDialog(parent), screen_(screen)
{
    setTemplateId(IDD);
    setWindowTitle(QStringLiteral("Font Configuration"));

    auto* textColor = new QPushButton(QStringLiteral("Text Color.."), this);
    auto* screenColor = new QPushButton(QStringLiteral("Screen Color.."), this);
    faceCombo_ = new QComboBox(this);
    sizeCombo_ = new QComboBox(this);
    preview_ = new QTextEdit(this);
    auto* apply = new QPushButton(QStringLiteral("Apply"), this);
    auto* apply2 = new QPushButton(QStringLiteral("Apply"), this);
    textColor->setAutoDefault(false);
    screenColor->setAutoDefault(false);
    apply->setDefault(true);
    apply2->hide();

    faceCombo_->addItems(settings::faceNames());
    for (int i = 0; i < settings::kSizeCount; ++i)
        sizeCombo_->addItem(QString::number(settings::pointSizeOfIndex(i)));
    faceCombo_->setMinimumContentsLength(22);
    sizeCombo_->setMinimumContentsLength(3);
    preview_->setAcceptRichText(false);
    preview_->setReadOnly(true);
    preview_->setMinimumSize(300, 90);

    registerControl(IDC_TEXT_COLOR, textColor);
    registerControl(IDC_SCREEN_COLOR, screenColor);
    registerControl(IDC_FACE, faceCombo_);
    registerControl(IDC_SIZE, sizeCombo_);
    registerControl(IDC_PREVIEW, preview_);
    registerControl(1, apply);
    registerControl(IDC_APPLY2, apply2);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Font:"), this), 0, 0);
    grid->addWidget(faceCombo_, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Size:"), this), 0, 2);
    grid->addWidget(sizeCombo_, 0, 3);
    grid->setColumnStretch(1, 1);

    auto* colours = new QHBoxLayout;
    colours->addWidget(textColor);
    colours->addWidget(screenColor);
    colours->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(apply);
    buttons->addWidget(apply2);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(colours);
    layout->addWidget(new QLabel(QStringLiteral("Preview:"), this));
    layout->addWidget(preview_, 1);
    layout->addLayout(buttons);

    // The members start from the console's copies; an index outside its
    // list selects nothing and is written back unchanged.
    const ConsoleContext& c = conContext();
    sizeIdx_ = c.ScreenFontSizeIdx;
    faceIdx_ = c.ScreenFFontNameIdx;
    textColor_ = uint32_t(c.ScreenColorFg.load());
    bgColor_ = uint32_t(c.ScreenColorBg.load());
    faceCombo_->setCurrentIndex(faceIdx_ >= 0 && faceIdx_ < settings::kFaceCount ? faceIdx_ : -1);
    sizeCombo_->setCurrentIndex(sizeIdx_ >= 0 && sizeIdx_ < settings::kSizeCount ? sizeIdx_ : -1);
    preview_->setPlainText(QString::fromLatin1(kSampleText));
    formatPreview();

    connect(faceCombo_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0)
            return;
        faceIdx_ = index;
        formatPreview();
    });
    connect(sizeCombo_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0)
            return;
        sizeIdx_ = index;
        formatPreview();
    });
    connect(textColor, &QPushButton::clicked, this, &CFontConfig::OnTextColor);
    connect(screenColor, &QPushButton::clicked, this, &CFontConfig::OnScreenColor);
    connect(apply, &QPushButton::clicked, this, &CFontConfig::OnApply);
    connect(apply2, &QPushButton::clicked, this, &CFontConfig::OnApply);
}

bool CFontConfig::chooseColor(uint32_t* bgr)
{
    const QColor initial = qcolors::fromBgr(*bgr);
    QColor chosen;
    bool ok = false;
    if (g_chooser) {
        ok = g_chooser(this, initial, &chosen);
    } else {
        chosen = QColorDialog::getColor(initial, this);
        ok = chosen.isValid();
    }
    if (!ok || !chosen.isValid())
        return false;
    *bgr = qcolors::toBgr(chosen);
    return true;
}

void CFontConfig::OnTextColor()
{
    if (chooseColor(&textColor_))
        formatPreview();
}

void CFontConfig::OnScreenColor()
{
    if (chooseColor(&bgColor_))
        formatPreview();
}

void CFontConfig::formatPreview()
{
    setEditBackground(preview_, bgColor_);
    QTextCursor cursor = preview_->textCursor();
    cursor.select(QTextCursor::Document);
    // Shown as the caption screen will show it.
    cursor.mergeCharFormat(captionTextFormat(faceIdx_, sizeIdx_, readableTextColor(textColor_, bgColor_)));
    // Hide the selection and show the end of the text.
    cursor.clearSelection();
    cursor.movePosition(QTextCursor::End);
    preview_->setTextCursor(cursor);
    preview_->ensureCursorVisible();
}

void CFontConfig::OnApply()
{
    using namespace settings;
    ConsoleContext& c = conContext();
    c.ScreenColorBg = int(bgColor_);
    c.ScreenColorFg = int(textColor_);
    c.ScreenFontSizeIdx = sizeIdx_;
    c.ScreenFFontNameIdx = faceIdx_;
    writeInt(kSettings, kScreenColorBg, int(bgColor_));
    writeInt(kSettings, kScreenColorFg, int(textColor_));
    writeInt(kSettings, kScreenFontSizeIdx, sizeIdx_);
    writeInt(kSettings, kScreenFFontNameIdx, faceIdx_);
    if (screen_)
        screen_->ApplyFormat();
    accept();
}
