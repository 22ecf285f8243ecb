#include "userscreendisplay.h"

#include "captionformat.h"
#include "concontext.h"
#include "screenplacement.h"
#include "settingsstore.h"
#include "uithread.h"

#include <QCloseEvent>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>
#include <atomic>

namespace {

// Read on task threads, set on the window's thread. The caption screen lives
// until the end of the program; its destructor withdraws itself.
std::atomic<UserScreenDisplay*> g_taskTarget{nullptr};

}  // namespace

UserScreenDisplay::UserScreenDisplay(QWidget* parent)
    : QuillonDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint)
{
    setTemplateId(IDD);
    setWindowTitle(QStringLiteral("Caption Screen"));
    setModal(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    edit_ = new QTextEdit(this);
    edit_->setAcceptRichText(false);
    edit_->setUndoRedoEnabled(false);
    // The screen shows what was sent; the agent can select and copy, not type.
    edit_->setReadOnly(true);
    edit_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    registerControl(IDC_EDIT, edit_);
    layout->addWidget(edit_);

    // The template's client rectangle is the smallest the window may become.
    minClient_ = QSize(kTemplateWidth, kTemplateHeight);
    setMinimumSize(minClient_);

    using namespace settings;
    const int left = readInt(kInitialization, kScreenHorizPos, kDefScreenHorizPos);
    const int top = readInt(kInitialization, kScreenVertPos, kDefScreenVertPos);
    const int width = readInt(kInitialization, kScreenWidth, kDefScreenWidth);
    const int height = readInt(kInitialization, kScreenHeight, kDefScreenHeight);
    // Stored values are untrusted: keep the size between the minimum and a
    // sane maximum (a negative or huge value must not break the layout), and
    // never open where no screen shows the window.
    resize(qBound(minClient_.width(), width, 16000), qBound(minClient_.height(), height, 16000));
    const QPoint stored(left, top);
    const QPoint placed = placeOnSomeScreen(stored, size());
    if (placed != stored) {
        // Kept in the store unless the agent moves the window.
        storedPos_ = stored;
        placedPos_ = placed;
        replacedStoredPos_ = true;
    }
    move(placed);
}

UserScreenDisplay::~UserScreenDisplay()
{
    UserScreenDisplay* self = this;
    g_taskTarget.compare_exchange_strong(self, nullptr);
    SavePosition();
}

void UserScreenDisplay::SavePosition()
{
    using namespace settings;
    // The values written are the ones the constructor restores: the frame's
    // top-left corner and the window's size.
    QRect r = geometry();
    QPoint topLeft = pos();
    if (isMaximized() || isMinimized() || isFullScreen()) {
        r = normalGeometry();
        topLeft = r.topLeft();
    }
    if (replacedStoredPos_ && topLeft == placedPos_)
        topLeft = storedPos_;   // not moved since it was placed: keep the stored values
    writeInt(kInitialization, kScreenVertPos, topLeft.y());
    writeInt(kInitialization, kScreenHorizPos, topLeft.x());
    writeInt(kInitialization, kScreenHeight, r.height());
    writeInt(kInitialization, kScreenWidth, r.width());
}

QString UserScreenDisplay::plainText() const
{
    return edit_->toPlainText();
}

void UserScreenDisplay::Append(const char* bytes, int length)
{
    if (!bytes || length <= 0)
        return;
    const QByteArray copy(bytes, length);
    runOnUiThread(this, [this, copy] { appendOnUiThread(copy); });
}

void UserScreenDisplay::appendOnUiThread(const QByteArray& in)
{
    // The reader decides what the bytes do; the edit control carries it out
    // at the caret, in runs of text with the caption format.
    class CursorSink : public CaptionByteReader::Sink {
    public:
        CursorSink(QTextCursor& cursor, const QTextCharFormat& format) : cursor_(cursor), format_(format) {}
        void insert(const QString& text) override { cursor_.insertText(text, format_); }
        void erase() override { cursor_.deletePreviousChar(); }

    private:
        QTextCursor& cursor_;
        const QTextCharFormat& format_;
    };
    edit_->setFocus();
    QTextCursor cursor = edit_->textCursor();
    CursorSink sink(cursor, format_);
    reader_.read(in.constData(), int(in.size()), sink);
    edit_->setTextCursor(cursor);
    edit_->ensureCursorVisible();
    edit_->setFocus();
}

void UserScreenDisplay::ClearScreen()
{
    runOnUiThread(this, [this] {
        QTextCursor cursor = edit_->textCursor();
        cursor.select(QTextCursor::Document);
        cursor.insertText(QStringLiteral(" "));
        edit_->setTextCursor(cursor);
        reader_.clear();
        ApplyFormat();
    });
}

void UserScreenDisplay::ClearAndShow()
{
    runOnUiThread(this, [this] {
        ClearScreen();
        show();
        raise();
        visibleFlag_ = true;
    });
}

void UserScreenDisplay::ApplyFormat()
{
    runOnUiThread(this, [this] {
        const ConsoleContext& c = conContext();
        const uint32_t bg = uint32_t(c.ScreenColorBg.load());
        setEditBackground(edit_, bg);
        format_ = captionTextFormat(c.ScreenFFontNameIdx, c.ScreenFontSizeIdx,
                                    readableTextColor(uint32_t(c.ScreenColorFg.load()), bg));
        QTextCursor cursor = edit_->textCursor();
        cursor.mergeCharFormat(format_);
        edit_->setTextCursor(cursor);
        edit_->setCurrentCharFormat(format_);
    });
}

void UserScreenDisplay::closeEvent(QCloseEvent* event)
{
    hide();
    visibleFlag_ = false;
    event->ignore();
}

void UserScreenDisplay::reject()
{
    hide();
    visibleFlag_ = false;
}

void UserScreenDisplay::accept()
{
    hide();
    visibleFlag_ = false;
}

void UserScreenDisplay::setTaskTarget(UserScreenDisplay* screen)
{
    g_taskTarget.store(screen);
}

void UserScreenDisplay::AppendFromTask(const char* bytes, int length)
{
    UserScreenDisplay* target = g_taskTarget.load();
    if (target)
        target->Append(bytes, length);
}
