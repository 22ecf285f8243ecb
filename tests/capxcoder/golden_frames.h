// Golden frames: one hand-written frame for every message id with a layout,
// with the record that encodes to it and that it decodes to.
#pragma once

#include "capxmsgcoder.h"

#include <cstdint>
#include <string>
#include <vector>

struct GoldenFrame {
    const char* name;              // message name
    void (*fill)(CapxMsg& m);      // sets the fields on a zeroed record
    const char* hex;               // the whole frame as on the wire (DATA adjusted, no link key);
                                   // blanks and '|' separate fields for reading
};

extern const std::vector<GoldenFrame>& goldenFrames();
// The golden frame of a message name (aborts the test program when missing).
const GoldenFrame& goldenNamed(const char* name);

// "00 03 | 05 ..." -> bytes; blanks and '|' are ignored.
std::vector<uint8_t> hexBytes(const char* hex);
// A zeroed record filled by g.fill.
CapxMsg goldenRecord(const GoldenFrame& g);
// Copies text into a record string field of any size.
template <size_t N>
void setText(char (&field)[N], const char* text)
{
    std::string s(text);
    s.copy(field, N - 1);
}
