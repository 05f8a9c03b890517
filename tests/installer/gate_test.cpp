// The start-up gate: which systems get the installation and which the
// refusal, with the boxes each run shows and its exit code.
#include <gtest/gtest.h>

#include <ostream>

#include "sim/machine/installer_run.h"
#include "tests/installer/machine_fixture.h"

namespace {

using kestrow_test::BoxSummaries;
using platform::sim::Machine;

const char kRefusal[] = "KESTROW|This program only for 9x-me !!|48";

struct GateCase {
    const char* system;
    bool installs;
};

// Test names and failure messages show the case by its name.
void PrintTo(const GateCase& c, std::ostream* out) { *out << c.system; }

class GateTest : public testing::TestWithParam<GateCase> {};

TEST_P(GateTest, OnlyWindows98SeAndMeInstall) {
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine);
    kestrow_test::SetSystem(machine, GetParam().system);
    machine.commandLine = std::string("C:\\DRV\\KESTROW.EXE ") + kestrow_test::kUnattendedTail;

    EXPECT_EQ(kestrow_sim::RunInstaller(machine), 0);
    EXPECT_EQ(machine.ExitCode(), 0);
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
    if (GetParam().installs) {
        EXPECT_TRUE(BoxSummaries(machine).empty());
        EXPECT_TRUE(kestrow_test::DriverFilesPlaced(machine));
        EXPECT_TRUE(machine.Files().IsFile(kestrow_test::kMarkerPath));
    } else {
        // The unattended command line changes only the ending: the refusal
        // still shows, and nothing else happens.
        EXPECT_EQ(BoxSummaries(machine), std::vector<std::string>{kRefusal});
        EXPECT_TRUE(machine.Files().Changes().empty());
        EXPECT_EQ(kestrow_test::PciSubkeys(machine).size(), 3u);
        EXPECT_TRUE(machine.Restarts().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Systems, GateTest,
                         testing::Values(GateCase{"win98se", true}, GateCase{"winme", true},
                                         GateCase{"win32s", false}, GateCase{"win95", false},
                                         GateCase{"win98", false}, GateCase{"nt4", false},
                                         GateCase{"win2000", false}, GateCase{"xp", false},
                                         GateCase{"vista", false}, GateCase{"win10", false}),
                         [](const auto& info) { return std::string(info.param.system); });

TEST(GateTest, UnreadableVersionGivesTwoBoxesInARow) {
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine);
    machine.version.acceptedSizes = {};
    EXPECT_EQ(kestrow_sim::RunInstaller(machine), 0);
    EXPECT_EQ(BoxSummaries(machine),
              (std::vector<std::string>{"Check OS type Error !|Message|0", kRefusal}));
}

TEST(GateTest, UnknownPlatformGivesTwoBoxesInARow) {
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine);
    machine.version.platformId = 7;
    EXPECT_EQ(kestrow_sim::RunInstaller(machine), 0);
    EXPECT_EQ(BoxSummaries(machine),
              (std::vector<std::string>{"Unknown OS type !|Message|0", kRefusal}));
}

TEST(GateTest, RefusalIsTitledWithTheExecutablesName) {
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine);
    kestrow_test::SetSystem(machine, "xp");
    machine.modulePath = "D:\\TOOLS\\usb2fix.exe";
    kestrow_sim::RunInstaller(machine);
    EXPECT_EQ(BoxSummaries(machine),
              std::vector<std::string>{"usb2fix|This program only for 9x-me !!|48"});
}

}  // namespace
