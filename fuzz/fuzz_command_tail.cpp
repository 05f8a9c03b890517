// FindCommandTail on any command line, in a Western or a double-byte code
// page. Input: one byte choosing the code page, then the command line (up to
// the first NUL).
#include <cstddef>
#include <cstdint>

#include "framework/command_tail.h"
#include "fuzz/fuzz_input.h"
#include "platform/sim/code_page.h"
#include "platform/sim/machine.h"

using platform::sim::CodePage;
using platform::sim::Machine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    unsigned codePageNumber = kestrow_fuzz::CodePageFromByte(data[0]);
    kestrow_fuzz::ExactBytes line = kestrow_fuzz::ExactBytes::CString(data + 1, size - 1);

    Machine machine;
    machine.SetCodePage(codePageNumber);
    const char* tail;
    {
        Machine::Activation active(machine);
        tail = FindCommandTail(line.begin());
    }

    // The tail lies within the line, terminator included.
    FUZZ_REQUIRE(tail >= line.begin() && tail <= line.end());
    // The blanks and control characters after the name are skipped.
    unsigned char first = static_cast<unsigned char>(*tail);
    FUZZ_REQUIRE(first == 0 || first > 32);

    // The tail starts on a character: stepping through the line one
    // character at a time (a lead byte takes its trail byte unless the trail
    // is the terminator) lands on it exactly. The lead bytes come from the
    // code page itself, not through the platform, so a wrong answer there
    // shows too.
    CodePage codePage = CodePage::ForNumber(codePageNumber);
    const char* p = line.begin();
    while (p < tail) {
        bool lead = codePage.IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0';
        p += lead ? 2 : 1;
    }
    FUZZ_REQUIRE(p == tail);

    // An unquoted name ends at the first byte of code 32 or less that is not
    // a trail byte, so the tail is empty or preceded by one.
    if (line.size() > 0 && line.begin()[0] != '"' && tail > line.begin() && *tail != '\0') {
        FUZZ_REQUIRE(static_cast<unsigned char>(tail[-1]) <= 32);
    }
    // A quoted name ends at its closing quote, and the tail comes after it.
    if (line.size() > 0 && line.begin()[0] == '"' && *tail != '\0') {
        const char* q = line.begin() + 1;
        while (*q != '\0' && *q != '"') {
            q += codePage.IsLeadByte(static_cast<unsigned char>(*q)) && q[1] != '\0' ? 2 : 1;
        }
        FUZZ_REQUIRE(*q == '"' && tail > q);
    }
    return 0;
}
