// The command-line tail: what the framework hands the installer.
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <memory>
#include <string>

#include "framework/command_tail.h"
#include "platform/sim/machine.h"

namespace {

using platform::sim::Machine;

struct TailCase {
    const char* name;
    unsigned codePage;
    std::string commandLine;
    std::string expectedTail;
};

const TailCase kCases[] = {
    {"NoArguments", 1252, "X.EXE", ""},
    {"TwoBlanksThenSwitch", 1252, "X.EXE  -s", "-s"},
    {"QuotedNameAndBlank", 1252, "\"C:\\My Drivers\\X.EXE\" ", ""},
    {"QuotedNameNoBlank", 1252, "\"X.EXE\"-s", "-s"},
    {"UnclosedQuote", 1252, "\"C:\\X.EXE -s", ""},
    {"TrailingBlanksKept", 1252, "X.EXE -s -f2\"c:\\csb.log\"  ", "-s -f2\"c:\\csb.log\"  "},
    {"ControlCharactersSkipped", 1252, "X.EXE\t\x01\x1f -s", "-s"},
    {"EmptyCommandLine", 1252, "", ""},
    {"OnlyBlanks", 1252, "   ", ""},
    {"NameEndsAtControlByte", 1252, "X.EXE\x02tail", "tail"},
    {"UnquotedTailKeepsQuotes", 1252, "X.EXE \"a b\"", "\"a b\""},
    // In code page 950 the byte after a lead byte belongs to it, even a
    // quote or a blank.
    {"LeadByteTakesQuote", 950, "\"\xA5\"X\" -s", "-s"},
    {"LeadByteTakesBlank", 950, "A\xA5 B -s", "-s"},
    {"SameBytesInSingleBytePage", 1252, "A\xA5 B -s", "B -s"},
    // A lead byte just before the end never takes the terminator with it.
    {"LeadByteAtEndOfQuotedName", 950, "\"X\xA5", ""},
    {"LeadByteAtEndOfName", 950, "X\xA5", ""},
    {"TailEndingInLeadByte", 950, "X.EXE -s\xA5", "-s\xA5"},
};

// Test names and failure messages show the case by its name.
void PrintTo(const TailCase& c, std::ostream* out) { *out << c.name; }

class CommandTailTest : public testing::TestWithParam<TailCase> {};

TEST_P(CommandTailTest, SkipsTheProgramNameAndTheBlanksAfterIt) {
    const TailCase& c = GetParam();
    Machine machine;
    machine.SetCodePage(c.codePage);
    Machine::Activation active(machine);
    // An exact-size copy, so that AddressSanitizer sees any read past the end.
    std::unique_ptr<char[]> line(new char[c.commandLine.size() + 1]);
    std::memcpy(line.get(), c.commandLine.c_str(), c.commandLine.size() + 1);
    const char* tail = FindCommandTail(line.get());
    EXPECT_EQ(std::string(tail), c.expectedTail);
    EXPECT_GE(tail, line.get());
    EXPECT_LE(tail, line.get() + c.commandLine.size());
}

INSTANTIATE_TEST_SUITE_P(Lines, CommandTailTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CommandTailTest, NullCommandLineGivesEmptyTail) {
    Machine machine;
    Machine::Activation active(machine);
    EXPECT_STREQ(FindCommandTail(nullptr), "");
}

}  // namespace
