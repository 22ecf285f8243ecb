// Fuzz target: caption bytes appended to the caption screen in random pieces
// (cut and invalid UTF-8 sequences, backspaces, NUL, CR/LF), read by the
// screen's byte reader into a simple text model. The count never goes
// negative, nothing is held back but the start of a valid sequence, the text
// holds no character whose bytes were not given, and the text and the count
// do not depend on how the bytes were cut into pieces. Each piece is its own
// allocation of exactly its length, so a read past it is caught.
//
// Input: pieces, each a length byte and that many bytes (as many as remain);
// the length 255 clears the screen instead.
#include "captionbytes.h"

#include <QList>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The screen's text as a person sees it: characters appended at the end, the
// last one erased (a character outside the BMP is one character).
class TextModel : public CaptionByteReader::Sink {
public:
    void insert(const QString& t) override { text += t; }
    void erase() override
    {
        if (text.isEmpty())
            return;
        int n = 1;
        if (text.size() >= 2 && text.back().isLowSurrogate() && text[text.size() - 2].isHighSurrogate())
            n = 2;
        text.chop(n);
    }
    QString text;
};

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// Every character shown came from the bytes given since the screen was
// cleared: an ASCII byte (a line end from CR or LF), U+FFFD, or a character
// whose UTF-8 form was given whole.
void checkShown(const QString& text, const QByteArray& given)
{
    for (const uint c : text.toUcs4()) {
        if (c == 0xFFFD)
            continue;
        if (c == '\n') {
            check(given.contains('\n') || given.contains('\r'));
        } else if (c < 0x80) {
            check(c != 0 && c != 0x08 && given.contains(char(c)));
        } else {
            const QByteArray utf8 = QString::fromUcs4(reinterpret_cast<const char32_t*>(&c), 1).toUtf8();
            check(given.contains(utf8));
        }
    }
}

// A cleared screen starts from a single space.
void compareWithWhole(const TextModel& pieces, const CaptionByteReader& reader, const QByteArray& given)
{
    TextModel whole;
    whole.text = QStringLiteral(" ");
    CaptionByteReader once;
    once.read(given.constData(), int(given.size()), whole);
    check(whole.text == pieces.text);
    check(once.count() == reader.count());
    check(once.pending() == reader.pending());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CaptionByteReader reader;
    TextModel model;
    model.text = QStringLiteral(" ");
    QByteArray given;   // since the last clearing
    size_t i = 0;
    while (i < size) {
        const size_t want = data[i++];
        if (want == 255) {
            compareWithWhole(model, reader, given);
            reader.clear();
            model.text = QStringLiteral(" ");
            given.clear();
            continue;
        }
        const size_t n = want < size - i ? want : size - i;
        if (n == 0)
            continue;   // the screen takes no empty piece
        std::vector<char> piece(data + i, data + i + n);
        i += n;
        reader.read(piece.data(), int(piece.size()), model);
        given.append(piece.data(), qsizetype(piece.size()));
        check(reader.count() >= 0);
        check(reader.pending().size() < 4);
        check(reader.pending().isEmpty() || static_cast<unsigned char>(reader.pending()[0]) >= 0xC2);
        QString withoutSpace = model.text;
        if (withoutSpace.startsWith(u' '))
            withoutSpace.remove(0, 1);
        checkShown(withoutSpace, given);
    }
    compareWithWhole(model, reader, given);
    return 0;
}
