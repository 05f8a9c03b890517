// Where a loaded machine's registry, Windows folder and system came from,
// for the report and for what --apply may do.
#ifndef KESTROW_SIM_MACHINE_MACHINE_ORIGIN_H
#define KESTROW_SIM_MACHINE_MACHINE_ORIGIN_H

#include <cstdint>
#include <string>

#include "sim/formats/registry_file.h"

namespace kestrow_sim {

struct MachineOrigin {
    RegistryFormat registryFormat = RegistryFormat::Regedit4;
    // The host file the registry was read from; empty when it was read
    // through the machine's own drives.
    std::string registryHostFile;
    // The registry file on the machine, e.g. C:\WINDOWS\SYSTEM.DAT, when
    // it was read through the machine's drives, and that drive's host folder
    // (empty for a drive that is no host folder).
    std::string registryMachinePath;
    std::string registryDriveFolder;
    // For a drive read out of a disk image: the image, the partition's
    // number (1-based) and its byte offset in the image. Set by the code
    // that maps such a drive; partition 0 means "no image".
    std::string imageFile;
    unsigned partition = 0;
    std::uint64_t partitionOffset = 0;

    std::string windowsDirectory;
    std::string windowsDirectoryFrom;  // e.g. "C:\MSDOS.SYS [Paths] WinDir", "machine.ini"
    // Which system the run simulates, and why: "--system", "machine.ini",
    // or "the registry's VersionNumber 4.10.2222"; with the last, the named
    // system it stands for (empty for numbers no named system has).
    std::string systemFrom;
    bool systemFromRegistry = false;
    std::string systemName;

    // The registry is a real Windows registry file (SYSTEM.DAT), which
    // --apply must never rewrite.
    bool RegistryIsWindowsFile() const { return registryFormat == RegistryFormat::Creg; }
};

}  // namespace kestrow_sim

#endif
