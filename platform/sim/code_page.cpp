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
    {932, 0x81, 0x9F}, {932, 0xE0, 0xFC},
    {936, 0x81, 0xFE},
    {949, 0x81, 0xFE},
    {950, 0x81, 0xFE},
};

constexpr unsigned kKnown[] = {874, 932, 936, 949, 950, 1250, 1251, 1252,
                               1253, 1254, 1255, 1256, 1257, 1258};

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
    return a.size() == b.size() && FoldCase(a) == FoldCase(b);
}

}  // namespace platform::sim
