// FindDbcsSubstring on any text and pattern, in a Western or a double-byte
// code page. Input: one byte choosing the code page, the text, a NUL, the
// pattern (up to the next NUL; no NUL means an empty pattern).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_input.h"
#include "installer/dbcs_search.h"
#include "platform/sim/code_page.h"
#include "platform/sim/machine.h"

using platform::sim::CodePage;
using platform::sim::Machine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    unsigned codePageNumber = kestrow_fuzz::CodePageFromByte(data[0]);
    const std::uint8_t* rest = data + 1;
    std::size_t restSize = size - 1;
    kestrow_fuzz::ExactBytes text = kestrow_fuzz::ExactBytes::CString(rest, restSize);
    std::size_t patternStart = text.size() < restSize ? text.size() + 1 : restSize;
    kestrow_fuzz::ExactBytes pattern =
        kestrow_fuzz::ExactBytes::CString(rest + patternStart, restSize - patternStart);

    Machine machine;
    machine.SetCodePage(codePageNumber);
    const char* found;
    {
        Machine::Activation active(machine);
        found = FindDbcsSubstring(text.begin(), pattern.begin());
    }

    // Where the pattern may start: at the start of each character, and at
    // the terminator (only an empty pattern matches there).
    CodePage codePage = CodePage::ForNumber(codePageNumber);
    auto matchesAt = [&](const char* at) {
        return static_cast<std::size_t>(text.end() - at) >= pattern.size() &&
               std::memcmp(at, pattern.begin(), pattern.size()) == 0;
    };
    const char* start = text.begin();
    for (;;) {
        if (start == found) {
            // The match is real, byte for byte, and starts on a character.
            FUZZ_REQUIRE(matchesAt(start));
            return 0;
        }
        // No earlier character start matches: the first match is returned.
        FUZZ_REQUIRE(!matchesAt(start));
        if (*start == '\0') break;
        bool lead = codePage.IsLeadByte(static_cast<unsigned char>(*start));
        start += lead && start[1] != '\0' ? 2 : 1;
    }
    // Null only when no character start matches; anything else is a match
    // that starts inside a character or outside the text.
    FUZZ_REQUIRE(found == nullptr);
    return 0;
}
