// Stepping through 8-bit text of the system code page one character at a
// time: a lead byte and its trail byte are one character.
#ifndef KESTROW_FRAMEWORK_DBCS_H
#define KESTROW_FRAMEWORK_DBCS_H

#include "platform/platform.h"

// True when c starts a double-byte character. Bytes below 0x80 never do in
// any Windows code page, so they are answered without asking the platform.
inline bool IsLeadByte(char c) {
    unsigned char byte = static_cast<unsigned char>(c);
    return byte >= 0x80 && platform::IsDBCSLeadByte(byte) != 0;
}

// The next character after p, which must not point at the terminator. A
// lead byte just before the terminator is a character on its own: the
// terminator is never stepped over.
inline const char* NextChar(const char* p) {
    return IsLeadByte(*p) && p[1] != '\0' ? p + 2 : p + 1;
}

#endif
