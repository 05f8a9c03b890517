// Text of the simulated machine, shown on a Linux terminal: the machine
// keeps ANSI bytes in its code page, the terminal and JSON want UTF-8.
#ifndef KESTROW_SIM_REPORT_TEXT_ENCODING_H
#define KESTROW_SIM_REPORT_TEXT_ENCODING_H

#include <string>
#include <string_view>

namespace kestrow_sim {

// The bytes, taken in the given Windows code page, as UTF-8. The result is
// always valid UTF-8: a byte sequence the code page does not define is
// shown as \xNN, one escape per byte, so nothing is lost or guessed.
std::string CodePageToUtf8(std::string_view bytes, unsigned codePage);

// The text as it may be shown on a terminal. Valid UTF-8 is kept as it is,
// except the control characters (0x00-0x1F, DEL 0x7F and the C1 controls
// U+0080-U+009F), which are shown as \xNN with their number; a byte that is
// no part of valid UTF-8 is shown as \xNN too. Nothing in the result can
// move the cursor, clear the screen or change its colours.
std::string VisibleText(std::string_view text);

// The bytes as the characters U+0000-U+00FF of the same numbers (ISO 8859-1),
// in UTF-8: how JSON carries bytes that need not be text, every one kept.
std::string BytesAsLatin1(std::string_view bytes);

}  // namespace kestrow_sim

#endif
