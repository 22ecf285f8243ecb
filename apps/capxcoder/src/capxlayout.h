// Field layouts of every message: one table per message, in wire order, that
// drives encode, decode, trace and the text form alike.
#pragma once

#include "capxmsgcoder.h"

#include <cstdint>

namespace capx {

enum class FieldKind : uint8_t {
    Int,        // big-endian unsigned of wireSize bytes; record integer of recSize bytes
    ShortStr,   // uint8 length + bytes; NUL-terminated record text of cap characters,
                // or, with lenOff, bytes whose count is the uint8 at lenOff (0: up to the NUL)
    LongStr,    // uint16 length + bytes; as above
    Fixed,      // exactly wireSize bytes, NUL-padded; record text of wireSize characters
    Raw,        // uint16 length + bytes; record length field at lenOff + byte array of cap
    Group,      // repeated entries; see GroupDesc
};

struct GroupDesc;

struct FieldDesc {
    const char* name;          // the name the trace prints
    FieldKind kind;
    uint8_t wireSize;          // Int: 1, 2 or 4; Fixed: bytes on the wire
    uint8_t recSize;           // Int: 1, 2, 4 or 8
    uint16_t recOff;           // offset in the record (in the entry for group fields)
    uint16_t cap;              // strings: characters held; Raw: bytes held
    uint16_t lenOff;           // Raw: offset of the 16-bit length field; ShortStr: offset of
                               // an 8-bit length field, or 0 for none
    uint16_t clampTo;          // Int: encoder writes min(value, clampTo) when not 0
    const char* lenName;       // Raw: trace name of the length, or null
    const GroupDesc* group;    // Group only
};

struct GroupDesc {
    const char* entryName;     // "group[ i ]" (trace) ; text form uses "group[N]"
    const char* textName;      // "group"
    const FieldDesc* fields;
    int fieldCount;
    uint16_t countOff;         // record offset of the uint8 entry count
    uint16_t stride;           // record bytes of one entry
    uint8_t max;               // entries the record holds
};

struct MsgLayout {
    const FieldDesc* fields;
    int fieldCount;
    uint16_t recSize;          // bytes of the record body to clear on decode
};

// Layout of an id, or null for ids without one (0, 21, 52..255).
const MsgLayout* layoutOf(int id);

}  // namespace capx
