// The framework's start-up before the hook and its message-box presenter.
#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "framework/cwinapp.h"
#include "platform/sim/machine.h"

namespace {

using platform::sim::Machine;
using platform::sim::Operation;

// An application whose hook shows one box of the given type and remembers
// what the framework gave it.
class ProbeApp : public CWinApp {
public:
    explicit ProbeApp(platform::UINT type = 0) : m_type(type) {}
    bool StartUp() override {
        m_tail = GetCommandTail();
        m_answer = ShowMessage("probe", m_type);
        return false;
    }
    platform::UINT m_type;
    std::string m_tail;
    int m_answer = -1;
};

struct TitleCase {
    const char* name;
    unsigned codePage;
    std::string modulePath;
    const char* titleString;  // string 0xE000, or null
    std::string expectedTitle;
};

const TitleCase kTitleCases[] = {
    {"BaseNameWithoutExtension", 1252, "C:\\DRV\\KESTROW.EXE", nullptr, "KESTROW"},
    {"RenamedExecutable", 1252, "C:\\DRV\\Setup USB2.exe", nullptr, "Setup USB2"},
    {"OnlyLastExtensionRemoved", 1252, "C:\\DRV\\name.tar.exe", nullptr, "name.tar"},
    {"DotInFolderOnly", 1252, "C:\\A.B\\KESTROW", nullptr, "KESTROW"},
    {"StringResourceWins", 1252, "C:\\DRV\\KESTROW.EXE", "Driver Setup", "Driver Setup"},
    // 0xB35C in code page 950: its trail byte is a backslash.
    {"TrailByteIsNotAFolderSeparator", 950, "C:\\DRV\\\xB3\x5C.EXE", nullptr, "\xB3\x5C"},
    {"SameBytesInSingleBytePage", 1252, "C:\\DRV\\\xB3\x5C.EXE", nullptr, ""},
};

// Test names and failure messages show the case by its name.
void PrintTo(const TitleCase& c, std::ostream* out) { *out << c.name; }

class TitleTest : public testing::TestWithParam<TitleCase> {};

TEST_P(TitleTest, BoxesCarryTheApplicationTitle) {
    const TitleCase& c = GetParam();
    Machine machine;
    machine.SetCodePage(c.codePage);
    machine.modulePath = c.modulePath;
    if (c.titleString != nullptr) machine.strings[AFX_IDS_APP_TITLE] = c.titleString;
    Machine::Activation active(machine);
    ProbeApp app;
    EXPECT_EQ(AfxWinMain(nullptr), 0);
    ASSERT_EQ(machine.Boxes().size(), 1u);
    EXPECT_EQ(machine.Boxes()[0].caption, c.expectedTitle);
}

INSTANTIATE_TEST_SUITE_P(Paths, TitleTest, testing::ValuesIn(kTitleCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct IconCase {
    platform::UINT type;
    platform::UINT expectedType;
};

// Test names and failure messages show the case by its name.
void PrintTo(const IconCase& c, std::ostream* out) { *out << "type 0x" << std::hex << c.type; }

class IconRuleTest : public testing::TestWithParam<IconCase> {};

TEST_P(IconRuleTest, ExclamationAddedOnlyToPlainQuestionSets) {
    Machine machine;
    Machine::Activation active(machine);
    ProbeApp app(GetParam().type);
    AfxWinMain(nullptr);
    ASSERT_EQ(machine.Boxes().size(), 1u);
    EXPECT_EQ(machine.Boxes()[0].type, GetParam().expectedType);
}

INSTANTIATE_TEST_SUITE_P(Types, IconRuleTest,
                         testing::Values(IconCase{0x0, 0x30},         // OK
                                         IconCase{0x1, 0x31},         // OK/Cancel
                                         IconCase{0x2, 0x2},          // Abort/Retry/Ignore
                                         IconCase{0x3, 0x33},         // Yes/No/Cancel
                                         IconCase{0x4, 0x34},         // Yes/No
                                         IconCase{0x5, 0x5},          // Retry/Cancel
                                         IconCase{0x6, 0x6},          // above the known sets
                                         IconCase{0x10, 0x10},        // has an icon already
                                         IconCase{0x41, 0x41},        // OK/Cancel with asterisk
                                         IconCase{0x1000, 0x1030}));  // other bits kept

TEST(FrameworkTest, AddsTheErrorModeBitsToTheModeItHad) {
    Machine machine;
    Machine::Activation active(machine);
    platform::SetErrorMode(0x0004);
    ProbeApp app;
    AfxWinMain(nullptr);
    EXPECT_EQ(machine.ErrorMode(), 0x8005u);
}

TEST(FrameworkTest, BoxIsOwnedByTheActiveWindowAndTheAnswerPassesThrough) {
    Machine machine;
    machine.activeWindow = reinterpret_cast<platform::HWND>(std::uintptr_t{0x1234});
    machine.scriptedAnswers = {2};
    Machine::Activation active(machine);
    ProbeApp app(platform::MB_OKCANCEL);
    AfxWinMain(nullptr);
    ASSERT_EQ(machine.Boxes().size(), 1u);
    EXPECT_EQ(machine.Boxes()[0].owner, machine.activeWindow);
    EXPECT_EQ(app.m_answer, 2);
}

TEST(FrameworkTest, HandsTheHookTheTailOfTheMachinesCommandLine) {
    Machine machine;
    machine.commandLine = "\"C:\\DRV\\KESTROW.EXE\"   -s x";
    Machine::Activation active(machine);
    ProbeApp app;
    EXPECT_EQ(AfxWinMain(nullptr), 0);
    EXPECT_EQ(app.m_tail, "-s x");
}

TEST(FrameworkTest, UnreadableModuleNameGivesAnEmptyTitleNotGarbage) {
    Machine machine;
    machine.FailAlways(Operation::GetModuleFileNameA);
    Machine::Activation active(machine);
    ProbeApp app;
    AfxWinMain(nullptr);
    ASSERT_EQ(machine.Boxes().size(), 1u);
    EXPECT_EQ(machine.Boxes()[0].caption, "");
}

}  // namespace
