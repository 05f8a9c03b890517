// The substring test of the controller search, on single- and double-byte
// code pages.
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <memory>
#include <string>

#include "installer/dbcs_search.h"
#include "platform/sim/machine.h"
#include "sim/machine/installer_run.h"
#include "tests/installer/machine_fixture.h"

namespace {

using platform::sim::Machine;

struct SearchCase {
    const char* name;
    unsigned codePage;
    std::string text;
    std::string pattern;
    int expectedOffset;  // -1: no match
};

const SearchCase kCases[] = {
    {"Exact", 1252, "VEN_8086&DEV_24CD", "VEN_8086&DEV_24CD", 0},
    {"Inside", 1252, "PCI\\VEN_8086&DEV_24CD&REV_02", "VEN_8086&DEV_24CD", 4},
    {"CaseSensitive", 1252, "ven_8086&dev_24cd", "VEN_8086&DEV_24CD", -1},
    {"PatternLongerThanText", 1252, "VEN_8086", "VEN_8086&DEV_24CD", -1},
    {"EmptyText", 1252, "", "VEN", -1},
    {"EmptyPattern", 1252, "abc", "", 0},
    {"PartialThenFull", 1252, "VEN_VEN_8086", "VEN_8086", 4},
    // 0xA556 in code page 950 is one character whose trail byte is 'V'.
    {"TrailByteNeverStartsAMatch", 950, "\xA5VEN_8086&DEV_24CD", "VEN_8086&DEV_24CD", -1},
    {"MatchAfterADoubleByteCharacter", 950, "\xA5VVEN_8086&DEV_24CD", "VEN_8086&DEV_24CD", 2},
    {"SingleBytePageSeesEveryByte", 1252, "\xA5VEN_8086&DEV_24CD", "VEN_8086&DEV_24CD", 1},
    {"LeadByteAtTheEnd", 950, "VEN\xA5", "VEN\xA5", 0},
    {"LeadByteAtTheEndNoMatch", 950, "ABC\xA5", "X", -1},
};

// Test names and failure messages show the case by its name.
void PrintTo(const SearchCase& c, std::ostream* out) { *out << c.name; }

class DbcsSearchTest : public testing::TestWithParam<SearchCase> {};

TEST_P(DbcsSearchTest, FindsOnlyMatchesThatStartACharacter) {
    const SearchCase& c = GetParam();
    Machine machine;
    machine.SetCodePage(c.codePage);
    Machine::Activation active(machine);
    // Exact-size copies, so that AddressSanitizer sees any read past the end.
    std::unique_ptr<char[]> text(new char[c.text.size() + 1]);
    std::memcpy(text.get(), c.text.c_str(), c.text.size() + 1);
    std::unique_ptr<char[]> pattern(new char[c.pattern.size() + 1]);
    std::memcpy(pattern.get(), c.pattern.c_str(), c.pattern.size() + 1);
    const char* found = FindDbcsSubstring(text.get(), pattern.get());
    EXPECT_EQ(found == nullptr ? -1 : static_cast<int>(found - text.get()), c.expectedOffset);
}

INSTANTIATE_TEST_SUITE_P(Cases, DbcsSearchTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The same on a whole run in code page 950: a subkey whose only match
// begins on a trail byte is not the controller.
TEST(DbcsSearchTest, ControllerSearchOnCodePage950) {
    const std::string trailV = std::string("\xA5") + "VEN_8086&DEV_24CD&SUBSYS_24CD8086";
    const std::string realOne = std::string("\xA5V") + "VEN_8086&DEV_24CD";
    Machine machine;
    machine.SetCodePage(950);
    kestrow_test::SetUpWindows98Se(machine, {trailV, realOne});
    machine.commandLine = std::string("KESTROW.EXE ") + kestrow_test::kUnattendedTail;
    kestrow_sim::RunInstaller(machine);
    EXPECT_TRUE(machine.Boxes().empty());
    EXPECT_EQ(kestrow_test::PciSubkeys(machine), std::vector<std::string>{trailV});
}

}  // namespace
