// Text of the simulated machine, shown on a Linux terminal: the machine
// keeps ANSI bytes in its code page, the terminal and JSON want UTF-8.
#ifndef KESTROW_SIM_TEXT_ENCODING_H
#define KESTROW_SIM_TEXT_ENCODING_H

#include <string>
#include <string_view>

namespace kestrow_sim {

// The bytes, taken in the given Windows code page, as UTF-8. The result is
// always valid UTF-8: a byte sequence the code page does not define is
// shown as \xNN, one escape per byte, so nothing is lost or guessed.
std::string CodePageToUtf8(std::string_view bytes, unsigned codePage);

}  // namespace kestrow_sim

#endif
