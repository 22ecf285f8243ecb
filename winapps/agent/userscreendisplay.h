// UserScreenDisplay: the modeless, resizable "Caption Screen" that shows the
// caption text while it is sent. It lives as long as the main window: its
// close command only hides it. Its normal position is written back to the
// settings store when it is destroyed.
#pragma once

#include "captionbytes.h"
#include "quillondialog.h"

#include <QByteArray>
#include <QTextCharFormat>

class QTextEdit;

class UserScreenDisplay : public QuillonDialog {
    Q_OBJECT
public:
    enum { IDD = 139, IDC_EDIT = 1069 };
    // Client size of the template: the window cannot be made smaller.
    static constexpr int kTemplateWidth = 220;
    static constexpr int kTemplateHeight = 140;

    explicit UserScreenDisplay(QWidget* parent = nullptr);
    ~UserScreenDisplay() override;

    // Appends caption bytes at the caret: 0x08 removes the character before
    // the caret (count - 1, never below 0); a byte of 0x80 or more starts a
    // UTF-8 sequence, inserted as one character and counted by its bytes; a
    // byte that starts no valid sequence shows as U+FFFD and counts 1 (the
    // bytes after it are read on their own); CR, LF and CR LF (also when cut
    // between two pieces) end one line; other bytes count 1. A valid
    // sequence cut off at the end of a piece waits for the next append (see
    // CaptionByteReader). Safe to call from any thread (runs on the window's
    // thread).
    void Append(const char* bytes, int length);
    // Replaces everything with a single space, count 0, applies the format.
    void ClearScreen();
    // Clears, shows the window and sets the visible flag.
    void ClearAndShow();
    // Background from ScreenColorBg and the caption text format from the
    // console context's copies, for the text inserted from now on.
    void ApplyFormat();
    // Writes the normal position (screenVertPos, screenHorizPos, screenWidth,
    // screenHeight); also done on destruction.
    void SavePosition();

    int count() const { return reader_.count(); }
    bool visibleFlag() const { return visibleFlag_; }
    void setVisibleFlag(bool on) { visibleFlag_ = on; }
    QSize keptMinimumSize() const { return minClient_; }
    QTextEdit* edit() const { return edit_; }
    QString plainText() const;
    QByteArray pendingBytes() const { return reader_.pending(); }
    QTextCharFormat currentFormat() const { return format_; }

    // The caption screen that task threads append to (the console context's
    // appendCaptionScreen hook calls AppendFromTask).
    static void setTaskTarget(UserScreenDisplay* screen);
    static void AppendFromTask(const char* bytes, int length);

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void accept() override;

private:
    void appendOnUiThread(const QByteArray& bytes);

    QTextEdit* edit_;
    bool visibleFlag_ = false;
    QSize minClient_;
    // The stored position when it was off every screen, and where the window
    // was placed instead.
    QPoint storedPos_;
    QPoint placedPos_;
    bool replacedStoredPos_ = false;
    CaptionByteReader reader_;   // what the pieces do, the count, the bytes held back
    QTextCharFormat format_;
};
