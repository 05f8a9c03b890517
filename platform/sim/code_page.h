// An ANSI code page of the simulated machine: which bytes lead a
// double-byte character, and how names are compared without regard to
// letter case the way Windows 98 compares registry and file names.
#ifndef KESTROW_PLATFORM_SIM_CODE_PAGE_H
#define KESTROW_PLATFORM_SIM_CODE_PAGE_H

#include <array>
#include <string>
#include <string_view>

namespace platform::sim {

class CodePage {
public:
    // Code page 1252 (Western): no lead bytes.
    CodePage();

    // The code pages Windows 98 ships: 1250-1258, 874 (single-byte), and
    // the double-byte 932 (Japanese), 936 (Simplified Chinese), 949 (Korean)
    // and 950 (Traditional Chinese). Returns false for any other number.
    static bool IsKnown(unsigned number);
    // A code page by number; an unknown number gives 1252.
    static CodePage ForNumber(unsigned number);

    unsigned Number() const { return number_; }
    bool IsLeadByte(unsigned char byte) const { return lead_[byte]; }

    // The name with ASCII letters upper-cased. A lead byte and its trail
    // byte are copied unchanged, so a trail byte is never taken for a
    // letter; a lead byte at the very end is copied alone.
    std::string FoldCase(std::string_view name) const;
    bool SameName(std::string_view a, std::string_view b) const;
    // The length of text up to the first separator byte that is not the
    // trail byte of a double-byte character (the whole length if none).
    std::size_t NameLength(std::string_view text, char separator) const;
    // Whether the text's last character is the separator byte on its own,
    // not the trail byte of a double-byte character.
    bool EndsWithSeparator(std::string_view text, char separator) const;

private:
    unsigned number_ = 1252;
    std::array<bool, 256> lead_{};
};

}  // namespace platform::sim

#endif
