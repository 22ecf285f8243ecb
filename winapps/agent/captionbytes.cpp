#include "captionbytes.h"

namespace {

// Bytes of the UTF-8 sequence a lead byte starts, or 0 when the byte cannot
// start one (a continuation byte, C0, C1, F5..FF).
int sequenceLength(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Whether byte may stand at position index (1..3) of the sequence lead
// starts; the second byte's range excludes overlong forms, surrogates and
// values above U+10FFFF.
bool continuationFits(unsigned char lead, int index, unsigned char byte)
{
    if (index == 1) {
        if (lead == 0xE0)
            return byte >= 0xA0 && byte <= 0xBF;
        if (lead == 0xED)
            return byte >= 0x80 && byte <= 0x9F;
        if (lead == 0xF0)
            return byte >= 0x90 && byte <= 0xBF;
        if (lead == 0xF4)
            return byte >= 0x80 && byte <= 0x8F;
    }
    return byte >= 0x80 && byte <= 0xBF;
}

}  // namespace

void CaptionByteReader::clear()
{
    pending_.clear();
    count_ = 0;
    afterCr_ = false;
}

void CaptionByteReader::read(const char* bytes, int length, Sink& sink)
{
    QByteArray data = pending_;
    if (bytes && length > 0)
        data.append(bytes, length);
    pending_.clear();
    QString run;
    auto flush = [&] {
        if (!run.isEmpty()) {
            sink.insert(run);
            run.clear();
        }
    };
    const int n = int(data.size());
    int i = 0;
    while (i < n) {
        const unsigned char b = static_cast<unsigned char>(data[i]);
        const bool lfAfterCr = afterCr_ && b == '\n';
        afterCr_ = false;
        if (b == 0x08) {
            flush();
            sink.erase();
            if (count_ > 0)
                --count_;
            ++i;
        } else if (b >= 0x80) {
            const int len = sequenceLength(b);
            int k = 1;
            while (k < len && i + k < n && continuationFits(b, k, static_cast<unsigned char>(data[i + k])))
                ++k;
            if (len != 0 && k == len) {
                run += QString::fromUtf8(data.constData() + i, len);
                count_ += len;
                i += len;
            } else if (len != 0 && i + k == n) {
                // Valid so far and cut off: the rest comes with the next piece.
                pending_ = data.mid(i);
                break;
            } else {
                run += QChar(QChar::ReplacementCharacter);
                ++count_;
                ++i;
            }
        } else if (b == '\r') {
            run += u'\n';
            ++count_;
            afterCr_ = true;
            ++i;
        } else if (lfAfterCr) {
            ++count_;   // the CR before it has ended the line
            ++i;
        } else if (b == 0) {
            ++i;
        } else {
            run += QChar(b);
            ++count_;
            ++i;
        }
    }
    flush();
}
