// The "machine" part of kestrow-sim's report: what the machine is before
// the run, as read from its files: where the registry came from, the
// Windows folder, the version the registry records, the system simulated
// and why, and whether the driver files are already in place.
#ifndef KESTROW_SIM_REPORT_MACHINE_REPORT_H
#define KESTROW_SIM_REPORT_MACHINE_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/sim/machine.h"
#include "sim/machine/machine_origin.h"

namespace kestrow_sim {

// One driver file Kestrow places, compared with the one in owc.
struct DriverFileState {
    std::string source;       // e.g. C:\DRV\owc\iusb2.inf
    std::string destination;  // e.g. C:\WINDOWS\inf\iusb2.inf, as stored when it exists
    // "in place" (same size and bytes as the source), "different", "absent";
    // "no source" when owc lacks the file.
    std::string state;
    std::uint64_t sourceSize = 0;
    std::uint64_t installedSize = 0;  // 0 when absent
};

struct MachineReport {
    std::string folder;  // the machine folder (machine.ini)
    std::string registryFormat;
    std::string registryFile;  // host path, or the path on the machine's drive
    std::string registryDriveFolder;
    std::string imageFile;
    unsigned partition = 0;
    std::uint64_t partitionOffset = 0;
    std::string windowsDirectory;
    std::string windowsDirectoryFrom;
    // As recorded in HKLM\Software\Microsoft\Windows\CurrentVersion, UTF-8.
    std::string recordedVersion;
    std::string recordedVersionNumber;
    std::string recordedSubVersionNumber;
    std::string systemFrom;
    std::vector<DriverFileState> driverFiles;
};

// Gathers the part from the machine as loaded, before the program runs.
MachineReport BuildMachineReport(platform::sim::Machine& machine, const std::string& folder,
                                 const MachineOrigin& origin);

std::string FormatMachineText(const MachineReport& report);
nlohmann::ordered_json MachineJson(const MachineReport& report);

}  // namespace kestrow_sim

#endif
