// How the caption screen reads caption bytes, apart from the window: the
// characters each piece inserts, the characters it erases, and the count of
// characters inserted since the screen was last cleared. QtCore only, so
// that it can be driven without a window.
#pragma once

#include <QByteArray>
#include <QString>

class CaptionByteReader {
public:
    // What reading asks of the text, in order.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void insert(const QString& text) = 0;   // at the caret
        virtual void erase() = 0;                       // the character before the caret
    };

    // Reads one piece, after the bytes held back from the last one:
    // - 0x08 erases the character before the caret and lowers the count by 1
    //   (never below 0);
    // - a byte of 0x80 or more starts a UTF-8 sequence: a whole valid one is
    //   one character counted by its bytes; a byte that starts no valid
    //   sequence shows as U+FFFD and counts 1 (the bytes after it are read
    //   on their own); a valid sequence cut off at the end of the piece is
    //   held back for the next piece;
    // - CR ends a line; an LF right after a CR (also across two pieces) adds
    //   no second line end; both count 1;
    // - NUL carries no text; every other byte is one character counting 1.
    void read(const char* bytes, int length, Sink& sink);
    // Count 0, nothing held back (the screen was cleared).
    void clear();

    int count() const { return count_; }
    const QByteArray& pending() const { return pending_; }

private:
    QByteArray pending_;
    int count_ = 0;
    bool afterCr_ = false;
};
