#include "platform/sim/code_page.h"

namespace platform::sim {

namespace {

struct LeadRange {
    unsigned number;
    unsigned char first;
    unsigned char last;
};

// Lead-byte ranges of the double-byte code pages, as Windows defines them.
constexpr LeadRange kLeadRanges[] = {
    {932, 0x81, 0x9F}, {932, 0xE0, 0xFC}, {936, 0x81, 0xFE}, {949, 0x81, 0xFE}, {950, 0x81, 0xFE},
};

constexpr unsigned kKnown[] = {874,  932,  936,  949,  950,  1250, 1251,
                               1252, 1253, 1254, 1255, 1256, 1257, 1258};

}  // namespace

CodePage::CodePage() = default;

bool CodePage::IsKnown(unsigned number) {
    for (unsigned known : kKnown) {
        if (known == number) return true;
    }
    return false;
}

CodePage CodePage::ForNumber(unsigned number) {
    CodePage page;
    if (!IsKnown(number)) return page;
    page.number_ = number;
    for (const LeadRange& range : kLeadRanges) {
        if (range.number != number) continue;
        for (unsigned b = range.first; b <= range.last; ++b) page.lead_[b] = true;
    }
    return page;
}

std::string CodePage::FoldCase(std::string_view name) const {
    std::string folded(name);
    for (std::size_t i = 0; i < folded.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(folded[i]);
        if (lead_[c]) {
            ++i;  // the trail byte, if any, stays as it is
        } else if (c >= 'a' && c <= 'z') {
            folded[i] = static_cast<char>(c - 'a' + 'A');
        }
    }
    return folded;
}

bool CodePage::SameName(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (lead_[x]) {
            // A double-byte character matches only itself, trail byte included.
            if (x != y) return false;
            if (i + 1 < a.size()) {
                ++i;
                if (a[i] != b[i]) return false;
            }
            continue;
        }
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

std::size_t CodePage::NameLength(std::string_view text, char separator) const {
    std::size_t i = 0;
    while (i < text.size() && text[i] != separator) {
        i += lead_[static_cast<unsigned char>(text[i])] && i + 1 < text.size() ? 2 : 1;
    }
    return i;
}

bool CodePage::EndsWithSeparator(std::string_view text, char separator) const {
    std::size_t last = 0;
    for (std::size_t i = 0; i < text.size();) {
        last = i;
        i += lead_[static_cast<unsigned char>(text[i])] && i + 1 < text.size() ? 2 : 1;
    }
    return !text.empty() && last == text.size() - 1 && text[last] == separator;
}

}  // namespace platform::sim
