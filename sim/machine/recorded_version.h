// The version of Windows a machine's registry records, in
// HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion, and the
// simulated system that stands for it.
#ifndef KESTROW_SIM_MACHINE_RECORDED_VERSION_H
#define KESTROW_SIM_MACHINE_RECORDED_VERSION_H

#include <string>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"

namespace kestrow_sim {

constexpr char kCurrentVersionKey[] =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion";

// The string values Version ("Windows 98"), VersionNumber ("4.10.2222")
// and SubVersionNumber (" A "), as the machine's code page bytes without
// the terminating NUL; empty when absent or not strings.
struct RecordedVersion {
    std::string version;
    std::string versionNumber;
    std::string subVersionNumber;
};

RecordedVersion ReadRecordedVersion(platform::sim::RegistryTree& tree);

// The system a VersionNumber stands for: 4.00.950 is win95, 4.10.1998
// win98, 4.10.2222 win98se, 4.90.3000 winme (*systemName set, and *record
// as that system reports it). Other numbers of the form major.minor.build
// give a Windows 9x record with those numbers and an empty name. False when
// the text is no version number.
bool SystemForVersionNumber(const std::string& versionNumber, std::string* systemName,
                            platform::sim::VersionRecord* record);

}  // namespace kestrow_sim

#endif
