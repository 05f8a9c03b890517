// Whole runs of the installer on Windows 98 SE and Me: each ending, each
// failure with its boxes in order, and what changed and what did not.
#include <gtest/gtest.h>

#include <ostream>

#include <functional>
#include <optional>

#include "sim/machine/installer_run.h"
#include "tests/installer/machine_fixture.h"

namespace {

using kestrow_test::BoxSummaries;
using kestrow_test::kControllerKey;
using kestrow_test::kMarkerPath;
using kestrow_test::kUnattendedTail;
using platform::sim::Machine;
using platform::sim::Operation;

const std::string kReboot = "KESTROW|Install finished,You need to reboot !!|49";
const std::string kCopyFail = "KESTROW|Copy driver file fail !!|48";
const std::string kGetDelKeyFail = "KESTROW|Get del key fail !!|48";
const std::string kGetKeyCountFail = "KESTROW|Get keyCount fail !!|48";
const std::string kOpenKeyFailSearch = "KESTROW|Open key fail !!|48";
const std::string kOpenKeyFailDelete = "KESTROW|Open Key Fail!!|48";
const std::string kEnumKeyFail = "KESTROW|Enum Key Fail !!|48";
const std::string kDeleteKeyFail = "KESTROW|Delete Key Fail!!|48";

const std::vector<std::string> kDefaultPci = {"VEN_10B9&DEV_5237", kControllerKey,
                                              "VEN_8086&DEV_24C2"};
const std::vector<std::string> kPciWithoutController = {"VEN_10B9&DEV_5237", "VEN_8086&DEV_24C2"};

enum class Files { Placed, NotAllPlaced };

struct Scenario {
    const char* name;
    std::vector<std::string> pci = kDefaultPci;
    std::string tail;
    std::vector<int> answers;
    std::function<void(Machine&)> prepare;
    // Expected:
    std::vector<std::string> boxes;
    Files files = Files::Placed;
    std::vector<std::string> pciAfter;  // the PCI subkeys left
    bool restart = false;
    std::optional<std::string> marker;  // contents of c:\csb.log, if any
};

// One scenario a line or two, laid out as a table.
// clang-format off
std::vector<Scenario> Scenarios() {
    std::vector<Scenario> list;
    auto add = [&](Scenario s) { list.push_back(std::move(s)); };
    const std::vector<std::string> deleted = kPciWithoutController;

    add({"UnattendedSuccess", kDefaultPci, kUnattendedTail, {}, nullptr,
         {}, Files::Placed, deleted, false, "c:\\csb.log"});
    add({"UnattendedOnWindowsMe", kDefaultPci, kUnattendedTail, {},
         [](Machine& m) { kestrow_test::SetSystem(m, "winme"); },
         {}, Files::Placed, deleted, false, "c:\\csb.log"});
    add({"InteractiveOkRestarts", kDefaultPci, "", {1}, nullptr,
         {kReboot}, Files::Placed, deleted, true, std::nullopt});
    add({"InteractiveCancelDoesNotRestart", kDefaultPci, "", {2}, nullptr,
         {kReboot}, Files::Placed, deleted, false, std::nullopt});
    add({"BoxNotShownDoesNotRestart", kDefaultPci, "", {}, nullptr,
         {kReboot}, Files::Placed, deleted, false, std::nullopt});
    add({"UpperCaseTailIsInteractive", kDefaultPci, "-S -F2\"C:\\CSB.LOG\"", {1}, nullptr,
         {kReboot}, Files::Placed, deleted, true, std::nullopt});
    add({"TailWithTrailingBlankIsInteractive", kDefaultPci, std::string(kUnattendedTail) + " ",
         {2}, nullptr, {kReboot}, Files::Placed, deleted, false, std::nullopt});
    add({"ExistingMarkerReplacedByTenBytes", kDefaultPci, kUnattendedTail, {},
         [](Machine& m) { m.Files().AddFile(kMarkerPath, std::string(100, 'x')); },
         {}, Files::Placed, deleted, false, "c:\\csb.log"});
    add({"ShortIdMatches", {"VEN_10B9&DEV_5237", "VEN_8086&DEV_24CD&SUBSYS_80891043&REV_02"},
         kUnattendedTail, {}, nullptr, {}, Files::Placed, {"VEN_10B9&DEV_5237"}, false,
         "c:\\csb.log"});
    add({"FirstMatchWins", {"VEN_8086&DEV_24CD&SUBSYS_80891043&REV_02", kControllerKey},
         kUnattendedTail, {}, nullptr, {}, Files::Placed, {kControllerKey}, false,
         "c:\\csb.log"});
    add({"MatchAnywhereInTheName", {"XVEN_8086&DEV_24CDX"}, kUnattendedTail, {}, nullptr,
         {}, Files::Placed, {}, false, "c:\\csb.log"});

    // No controller: the files are placed, the registry is left as it was.
    add({"LowerCaseIdsDoNotMatch", {"ven_8086&dev_24cd&subsys_24cd8086&rev_02"}, "", {}, nullptr,
         {kGetDelKeyFail}, Files::Placed, {"ven_8086&dev_24cd&subsys_24cd8086&rev_02"}, false, std::nullopt});
    add({"NoControllerKey", kPciWithoutController, kUnattendedTail, {}, nullptr,
         {kGetDelKeyFail}, Files::Placed, kPciWithoutController, false, std::nullopt});
    add({"EmptyPciKey", {}, "", {}, nullptr, {kGetDelKeyFail}, Files::Placed, {}, false, std::nullopt});
    add({"NoEnumPciKey", {}, "", {},
         [](Machine& m) {
             m.Registry().FindFullPath("HKEY_LOCAL_MACHINE\\Enum")->RemoveSubkey("PCI");
         },
         {kGetKeyCountFail, kGetDelKeyFail}, Files::Placed, {}, false, std::nullopt});
    add({"LongNameBeforeController", {std::string(255, 'A'), kControllerKey}, "", {}, nullptr,
         {kEnumKeyFail, kGetDelKeyFail}, Files::Placed, {std::string(255, 'A'), kControllerKey}, false, std::nullopt});
    add({"LongestNameThatFits", {std::string(254, 'A'), kControllerKey}, kUnattendedTail, {},
         nullptr, {}, Files::Placed, {std::string(254, 'A')}, false, "c:\\csb.log"});

    // Driver files that cannot be placed stop the run before the registry.
    add({"MissingDriverFile", kDefaultPci, kUnattendedTail, {},
         [](Machine& m) { m.Files().Delete("C:\\DRV\\owc\\iusbehci.sys"); },
         {kCopyFail}, Files::NotAllPlaced, kDefaultPci, false, std::nullopt});
    add({"StartedFromTheWrongFolder", kDefaultPci, "", {1},
         [](Machine& m) { m.currentDirectory = "C:\\WINDOWS"; },
         {kCopyFail}, Files::NotAllPlaced, kDefaultPci, false, std::nullopt});
    add({"MissingDriversFolder", kDefaultPci, "", {1},
         [](Machine& m) {
             m.windowsDirectory = "C:\\WIN98";
             m.Files().AddDirectory("C:\\WIN98\\inf");
         },
         {kCopyFail}, Files::NotAllPlaced, kDefaultPci, false, std::nullopt});
    add({"ReadOnlyDestination", kDefaultPci, "", {1},
         [](Machine& m) {
             m.Files().AddFile("C:\\WINDOWS\\system32\\drivers\\iusb2hub.sys", "old", true);
         },
         {kCopyFail}, Files::NotAllPlaced, kDefaultPci, false, std::nullopt});
    add({"CurrentDirectoryOfFiftyCharacters", kDefaultPci, kUnattendedTail, {},
         [](Machine& m) {
             std::string dir = "C:\\" + std::string(47, 'D');  // 50 characters
             for (const char* n : {"iusb2.inf", "iusbehci.sys", "iusb2hub.sys"}) {
                 m.Files().AddFile(dir + "\\owc\\" + n, kestrow_test::DriverFileContents(n));
             }
             m.currentDirectory = dir;
         },
         {kCopyFail}, Files::NotAllPlaced, kDefaultPci, false, std::nullopt});
    add({"CurrentDirectoryOfFortyNineCharacters", kDefaultPci, kUnattendedTail, {},
         [](Machine& m) {
             std::string dir = "C:\\" + std::string(46, 'D');  // 49 characters
             for (const char* n : {"iusb2.inf", "iusbehci.sys", "iusb2hub.sys"}) {
                 m.Files().AddFile(dir + "\\owc\\" + n, kestrow_test::DriverFileContents(n));
             }
             m.currentDirectory = dir;
         },
         {}, Files::Placed, kPciWithoutController, false, "c:\\csb.log"});
    add({"StartedFromTheRootOfTheDrive", kDefaultPci, kUnattendedTail, {},
         [](Machine& m) {
             for (const char* n : {"iusb2.inf", "iusbehci.sys", "iusb2hub.sys"}) {
                 m.Files().AddFile(std::string("C:\\owc\\") + n,
                                   kestrow_test::DriverFileContents(n));
             }
             m.currentDirectory = "C:\\";
         },
         {}, Files::Placed, kPciWithoutController, false, "c:\\csb.log"});

    // Registry failures after the search.
    add({"FullAccessOpenFailsBeforeDelete", kDefaultPci, kUnattendedTail, {},
         [](Machine& m) { m.FailAtCall(Operation::RegOpenKeyExA, 2); },
         {kOpenKeyFailDelete}, Files::Placed, kDefaultPci, false, std::nullopt});
    add({"DeleteFails", kDefaultPci, "", {1},
         [](Machine& m) { m.FailAlways(Operation::RegDeleteKeyA); },
         {kDeleteKeyFail}, Files::Placed, kDefaultPci, false, std::nullopt});
    add({"FullAccessOpenFailsInSearch", kDefaultPci, "", {1},
         [](Machine& m) { m.FailAtCall(Operation::RegOpenKeyExA, 1); },
         {kOpenKeyFailSearch, kGetDelKeyFail}, Files::Placed, kDefaultPci, false, std::nullopt});
    add({"MarkerCannotBeCreated", kDefaultPci, kUnattendedTail, {},
         [](Machine& m) { m.FailAlways(Operation::FileOpen); },
         {}, Files::Placed, kPciWithoutController, false, std::nullopt});
    return list;
}
// clang-format on

// Test names and failure messages show the case by its name.
void PrintTo(const Scenario& c, std::ostream* out) { *out << c.name; }

class InstallationTest : public testing::TestWithParam<Scenario> {};

TEST_P(InstallationTest, EndsAsExpected) {
    const Scenario& s = GetParam();
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine, s.pci);
    machine.commandLine = "C:\\DRV\\KESTROW.EXE" + (s.tail.empty() ? "" : " " + s.tail);
    machine.scriptedAnswers = s.answers;
    if (s.prepare) s.prepare(machine);

    EXPECT_EQ(kestrow_sim::RunInstaller(machine), 0);
    EXPECT_EQ(BoxSummaries(machine), s.boxes);
    EXPECT_EQ(kestrow_test::DriverFilesPlaced(machine), s.files == Files::Placed);
    EXPECT_EQ(kestrow_test::PciSubkeys(machine), s.pciAfter);
    ASSERT_EQ(machine.Restarts().size(), s.restart ? 1u : 0u);
    if (s.restart) {
        EXPECT_EQ(machine.Restarts()[0].flags, 2u);
    }
    EXPECT_EQ(machine.Files().ReadFile(kMarkerPath), s.marker);
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
    EXPECT_EQ(machine.OpenStreamCount(), 0u);
    for (const auto& box : machine.Boxes()) EXPECT_EQ(box.owner, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Runs, InstallationTest, testing::ValuesIn(Scenarios()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InstallationTest, DeletingTheKeyTakesItsInstanceKeysWithIt) {
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine);
    machine.commandLine = std::string("KESTROW.EXE ") + kUnattendedTail;
    kestrow_sim::RunInstaller(machine);
    EXPECT_EQ(machine.Registry().FindFullPath(std::string("HKEY_LOCAL_MACHINE\\Enum\\PCI\\") +
                                              kControllerKey + "\\BUS_00&DEV_1D&FUNC_07"),
              nullptr);
}

TEST(InstallationTest, RootOfDriveSourceHasADoubledBackslash) {
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine);
    machine.currentDirectory = "C:\\";
    kestrow_sim::RunInstaller(machine);
    std::vector<std::string> sources;
    for (const auto& call : machine.Calls()) {
        if (call.op == Operation::CopyFileA) sources.push_back(call.arguments.at(0));
    }
    EXPECT_EQ(sources, (std::vector<std::string>{"C:\\\\owc\\iusb2.inf", "C:\\\\owc\\iusbehci.sys",
                                                 "C:\\\\owc\\iusb2hub.sys"}));
}

TEST(InstallationTest, CopiesGoInTableOrderAndReplaceExistingFiles) {
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine);
    machine.Files().AddFile("C:\\WINDOWS\\inf\\IUSB2.INF", "an older driver");
    machine.scriptedAnswers = {2};
    kestrow_sim::RunInstaller(machine);
    std::vector<std::string> copies;
    for (const auto& call : machine.Calls()) {
        if (call.op == Operation::CopyFileA) {
            copies.push_back(call.arguments.at(0) + " -> " + call.arguments.at(1) + " " +
                             call.arguments.at(2));
        }
    }
    EXPECT_EQ(copies,
              (std::vector<std::string>{"C:\\DRV\\owc\\iusb2.inf -> C:\\WINDOWS\\inf\\iusb2.inf 0",
                                        "C:\\DRV\\owc\\iusbehci.sys -> "
                                        "C:\\WINDOWS\\system32\\drivers\\iusbehci.sys 0",
                                        "C:\\DRV\\owc\\iusb2hub.sys -> "
                                        "C:\\WINDOWS\\system32\\drivers\\iusb2hub.sys 0"}));
    EXPECT_TRUE(kestrow_test::DriverFilesPlaced(machine));
}

TEST(InstallationTest, AFailedCopyStillTriesTheOthers) {
    Machine machine;
    kestrow_test::SetUpWindows98Se(machine);
    machine.Files().Delete("C:\\DRV\\owc\\iusb2.inf");
    kestrow_sim::RunInstaller(machine);
    EXPECT_EQ(machine.CallCount(Operation::CopyFileA), 3u);
    EXPECT_EQ(machine.Files().ReadFile("C:\\WINDOWS\\system32\\drivers\\iusb2hub.sys"),
              kestrow_test::DriverFileContents("iusb2hub.sys"));
    EXPECT_EQ(machine.CallCount(Operation::RegOpenKeyA), 0u);
}

}  // namespace
