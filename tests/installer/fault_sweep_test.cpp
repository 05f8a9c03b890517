// Every platform call of a whole run made to fail in turn, one per run: the
// run still ends with exit code 0, shows exactly the boxes that failure
// calls for, and changes nothing after the failing step.
#include <gtest/gtest.h>

#include <ostream>

#include <map>
#include <optional>

#include "sim/machine/installer_run.h"
#include "tests/installer/machine_fixture.h"

namespace {

using kestrow_test::BoxSummaries;
using platform::sim::Machine;
using platform::sim::Operation;

const std::string kReboot = "KESTROW|Install finished,You need to reboot !!|49";
const std::vector<std::string> kPciBefore = {"VEN_10B9&DEV_5237", kestrow_test::kControllerKey,
                                             "VEN_8086&DEV_24C2"};
const std::vector<std::string> kPciAfter = {"VEN_10B9&DEV_5237", "VEN_8086&DEV_24C2"};

struct Outcome {
    std::vector<std::string> boxes;
    std::vector<std::string> pci;
    bool marker = false;
    bool restart = false;
    bool filesPlaced = true;

    bool operator==(const Outcome& o) const {
        return boxes == o.boxes && pci == o.pci && marker == o.marker && restart == o.restart &&
               filesPlaced == o.filesPlaced;
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    out << "{boxes:";
    for (const auto& b : o.boxes) out << " [" << b << "]";
    out << " pci:" << o.pci.size() << " marker:" << o.marker << " restart:" << o.restart
        << " files:" << o.filesPlaced << "}";
    return out;
}

enum class Mode { Unattended, InteractiveOk };

void Prepare(Machine& machine, Mode mode) {
    kestrow_test::SetUpWindows98Se(machine);
    machine.commandLine = mode == Mode::Unattended
                              ? std::string("KESTROW.EXE ") + kestrow_test::kUnattendedTail
                              : "KESTROW.EXE";
    if (mode == Mode::InteractiveOk) machine.scriptedAnswers = {1};
}

Outcome Observe(Machine& machine) {
    return {BoxSummaries(machine), kestrow_test::PciSubkeys(machine),
            machine.Files().IsFile(kestrow_test::kMarkerPath), !machine.Restarts().empty(),
            kestrow_test::DriverFilesPlaced(machine)};
}

// What a run should end with when the nth call of op fails.
Outcome Expected(Operation op, unsigned nth, Mode mode) {
    const bool unattended = mode == Mode::Unattended;
    const Outcome success{unattended ? std::vector<std::string>{} : std::vector{kReboot}, kPciAfter,
                          unattended, !unattended, true};
    auto registryFailure = [](std::vector<std::string> boxes) {
        return Outcome{std::move(boxes), kPciBefore, false, false, true};
    };
    switch (op) {
        case Operation::GetCommandLineA:
            // No command line, no unattended tail: the restart prompt, which
            // the unattended run has nobody to answer.
            return unattended ? Outcome{{kReboot}, kPciAfter, false, false, true} : success;
        case Operation::GetVersionExA:
            if (nth == 1) return success;  // Windows 98 refuses the long record anyway
            return {
                {"Check OS type Error !|Message|0", "KESTROW|This program only for 9x-me !!|48"},
                kPciBefore,
                false,
                false,
                false};
        case Operation::GetCurrentDirectoryA:
        case Operation::GetWindowsDirectoryA:
        case Operation::CopyFileA:
            return {{"KESTROW|Copy driver file fail !!|48"}, kPciBefore, false, false, false};
        case Operation::RegOpenKeyA:
            return registryFailure(
                {"KESTROW|Get keyCount fail !!|48", "KESTROW|Get del key fail !!|48"});
        case Operation::RegQueryInfoKeyA:
            return registryFailure({"KESTROW|Get del key fail !!|48"});
        case Operation::RegOpenKeyExA:
            if (nth == 1) {
                return registryFailure(
                    {"KESTROW|Open key fail !!|48", "KESTROW|Get del key fail !!|48"});
            }
            return registryFailure({"KESTROW|Open Key Fail!!|48"});
        case Operation::RegEnumKeyA:
            return registryFailure(
                {"KESTROW|Enum Key Fail !!|48", "KESTROW|Get del key fail !!|48"});
        case Operation::RegDeleteKeyA:
            return registryFailure({"KESTROW|Delete Key Fail!!|48"});
        case Operation::FileOpen:
        case Operation::FileWrite:
        case Operation::FileClose:
            return {{}, kPciAfter, false, false, true};
        case Operation::MessageBoxA:
            return {{}, kPciAfter, false, false, true};  // not shown: answer 0
        case Operation::ExitWindowsEx:
            return {{kReboot}, kPciAfter, false, false, true};
        case Operation::GetModuleFileNameA: {
            // No executable name, no title: the boxes are untitled.
            Outcome untitled = success;
            for (auto& box : untitled.boxes) box = box.substr(box.find('|'));
            return untitled;
        }
        default:
            // Calls whose failure changes nothing the user sees: the error
            // mode, the title string, the lead-byte test on a single-byte
            // code page, closing a key, deleting an old marker.
            return success;
    }
}

struct SweepPoint {
    Mode mode;
    Operation op;
    unsigned nth;
};

std::vector<SweepPoint> SweepPoints() {
    std::vector<SweepPoint> points;
    for (Mode mode : {Mode::Unattended, Mode::InteractiveOk}) {
        Machine baseline;
        Prepare(baseline, mode);
        kestrow_sim::RunInstaller(baseline);
        std::map<Operation, unsigned> seen;
        for (const auto& call : baseline.Calls()) {
            if (call.op == Operation::ExitProcessWithCode) continue;
            points.push_back({mode, call.op, ++seen[call.op]});
        }
    }
    return points;
}

// Test names and failure messages show the case by its name.
void PrintTo(const SweepPoint& c, std::ostream* out) {
    *out << platform::sim::OperationName(c.op) << " call " << c.nth;
}

class FaultSweepTest : public testing::TestWithParam<SweepPoint> {};

TEST_P(FaultSweepTest, EndsCleanlyAfterTheFailingCall) {
    const SweepPoint& p = GetParam();
    Machine machine;
    Prepare(machine, p.mode);
    machine.FailAtCall(p.op, p.nth);
    EXPECT_EQ(kestrow_sim::RunInstaller(machine), 0);
    EXPECT_EQ(machine.ExitCode(), 0);
    EXPECT_EQ(Observe(machine), Expected(p.op, p.nth, p.mode));
    if (p.op != Operation::RegCloseKey) {
        EXPECT_EQ(machine.OpenHandleCount(), 0u);
    }
    EXPECT_EQ(machine.OpenStreamCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, FaultSweepTest, testing::ValuesIn(SweepPoints()), [](const auto& info) {
        return std::string(info.param.mode == Mode::Unattended ? "Unattended_" : "Interactive_") +
               platform::sim::OperationName(info.param.op) + "_" + std::to_string(info.param.nth);
    });

TEST(FaultSweepTest, CoversEveryOperationTheInstallationMakes) {
    std::map<Operation, bool> covered;
    for (const auto& p : SweepPoints()) covered[p.op] = true;
    for (Operation op :
         {Operation::GetVersionExA, Operation::GetCurrentDirectoryA,
          Operation::GetWindowsDirectoryA, Operation::CopyFileA, Operation::RegOpenKeyA,
          Operation::RegQueryInfoKeyA, Operation::RegOpenKeyExA, Operation::RegEnumKeyA,
          Operation::RegDeleteKeyA, Operation::RegCloseKey, Operation::DeleteFileA,
          Operation::FileOpen, Operation::FileWrite, Operation::FileClose, Operation::MessageBoxA,
          Operation::ExitWindowsEx}) {
        EXPECT_TRUE(covered[op]) << platform::sim::OperationName(op);
    }
}

}  // namespace
