// The classification of the version record into an OsType code.
#include <gtest/gtest.h>

#include <ostream>

#include "installer/os_type.h"
#include "platform/sim/machine.h"

namespace {

using platform::DWORD;
using platform::sim::Machine;

struct ClassificationCase {
    const char* name;
    DWORD platformId;
    DWORD major;
    DWORD minor;
    DWORD build;
    int expectedResult;
    OsType expectedCode;
    const char* expectedBoxTitle;  // null: no box
};

constexpr DWORD kAnyBuild = 0;

const ClassificationCase kCases[] = {
    {"Win32s", 0, 3, 10, 0, 1, OS_WIN32S, nullptr},
    {"Windows95", 1, 4, 0, 0x040003B6, 1, OS_WIN95, nullptr},
    {"Windows95BelowFour", 1, 3, 95, 950, 1, OS_WIN95, nullptr},
    {"Windows98", 1, 4, 10, 1998, 1, OS_WIN98, nullptr},
    {"Windows98Build2221", 1, 4, 10, 2221, 1, OS_WIN98, nullptr},
    {"Windows98SE", 1, 4, 10, 2222, 1, OS_WIN98SE, nullptr},
    {"Windows98SEVersionInHighWord", 1, 4, 10, 0x040A08AE, 1, OS_WIN98SE, nullptr},
    {"Build2223IsMe", 1, 4, 10, 2223, 1, OS_WINME, nullptr},
    {"WindowsMe", 1, 4, 90, 0x045A0BB8, 1, OS_WINME, nullptr},
    {"NineXMajorFiveMinorZero", 1, 5, 0, 2222, 1, OS_WIN98SE, nullptr},
    {"WindowsNT351", 2, 3, 51, 1057, 1, OS_WINNT4, nullptr},
    {"WindowsNT4", 2, 4, 0, 1381, 1, OS_WINNT4, nullptr},
    {"Windows2000", 2, 5, 0, 2195, 1, OS_WIN2000, nullptr},
    {"NtFiveBuild2222", 2, 5, 2, 2222, 1, OS_WIN2000, nullptr},
    {"WindowsXP", 2, 5, 1, 2600, 1, OS_WINXP, nullptr},
    // On NT all 32 bits of the build count: a high word makes it large.
    {"NtFiveHighWordBuild", 2, 5, 0, 0x00010000, 1, OS_WINXP, nullptr},
    {"WindowsVista", 2, 6, 0, 6000, 1, OS_UNKNOWN, nullptr},
    {"Windows10", 2, 10, 0, 19045, 1, OS_UNKNOWN, nullptr},
    {"UnknownPlatform3", 3, 4, 10, 2222, 0, OS_UNKNOWN, "Unknown OS type !"},
    {"UnknownPlatformHuge", 0xFFFFFFFF, 0, 0, kAnyBuild, 0, OS_UNKNOWN, "Unknown OS type !"},
};

// Test names and failure messages show the case by its name.
void PrintTo(const ClassificationCase& c, std::ostream* out) { *out << c.name; }

class ClassificationTest : public testing::TestWithParam<ClassificationCase> {};

TEST_P(ClassificationTest, YieldsTheCodeOfItsRow) {
    const ClassificationCase& c = GetParam();
    Machine machine;
    machine.version.platformId = c.platformId;
    machine.version.majorVersion = c.major;
    machine.version.minorVersion = c.minor;
    machine.version.buildNumber = c.build;
    Machine::Activation active(machine);

    OsType code = 0xAB;
    EXPECT_EQ(GetOsType(&code), c.expectedResult);
    EXPECT_EQ(code, c.expectedCode);
    if (c.expectedBoxTitle == nullptr) {
        EXPECT_TRUE(machine.Boxes().empty());
    } else {
        ASSERT_EQ(machine.Boxes().size(), 1u);
        const auto& box = machine.Boxes()[0];
        EXPECT_EQ(box.caption, c.expectedBoxTitle);
        EXPECT_EQ(box.text, "Message");
        EXPECT_EQ(box.type, 0u);
        EXPECT_EQ(box.owner, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, ClassificationTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct RecordSizeCase {
    const char* name;
    std::vector<DWORD> accepted;
    std::vector<DWORD> expectedSizesAsked;
    int expectedResult;
};

// Test names and failure messages show the case by its name.
void PrintTo(const RecordSizeCase& c, std::ostream* out) { *out << c.name; }

class RecordSizeTest : public testing::TestWithParam<RecordSizeCase> {};

TEST_P(RecordSizeTest, AsksForTheLongRecordThenTheShortOne) {
    const RecordSizeCase& c = GetParam();
    Machine machine;
    ASSERT_TRUE(platform::sim::VersionRecordForSystem("win98se", &machine.version));
    machine.version.acceptedSizes = c.accepted;
    Machine::Activation active(machine);

    OsType code = 0xAB;
    EXPECT_EQ(GetOsType(&code), c.expectedResult);

    std::vector<DWORD> asked;
    for (const auto& call : machine.Calls()) {
        if (call.op == platform::sim::Operation::GetVersionExA) {
            ASSERT_FALSE(call.arguments.empty());
            asked.push_back(static_cast<DWORD>(std::stoul(call.arguments[0], nullptr, 0)));
        }
    }
    EXPECT_EQ(asked, c.expectedSizesAsked);
    if (c.expectedResult == 1) {
        EXPECT_EQ(code, OS_WIN98SE);
        EXPECT_TRUE(machine.Boxes().empty());
    } else {
        EXPECT_EQ(code, 0xAB) << "a failed read leaves the code unwritten";
        ASSERT_EQ(machine.Boxes().size(), 1u);
        EXPECT_EQ(machine.Boxes()[0].caption, "Check OS type Error !");
        EXPECT_EQ(machine.Boxes()[0].text, "Message");
        EXPECT_EQ(machine.Boxes()[0].type, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordSizeTest,
                         testing::Values(RecordSizeCase{"LongAccepted", {156, 148}, {156}, 1},
                                         RecordSizeCase{"OnlyShortAccepted", {148}, {156, 148}, 1},
                                         RecordSizeCase{"NoneAccepted", {}, {156, 148}, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
