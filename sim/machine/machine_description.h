// What a machine is made of before it is loaded: its folder, settings,
// registry file, drives and command line, with the command line's overrides
// applied.
#ifndef KESTROW_SIM_MACHINE_MACHINE_DESCRIPTION_H
#define KESTROW_SIM_MACHINE_MACHINE_DESCRIPTION_H

#include <optional>
#include <string>

#include "sim/formats/machine_settings.h"

namespace kestrow_sim {

// What the machine is made of, settings overrides applied.
struct MachineDescription {
    std::string folder;
    std::string settingsFile;  // host path of machine.ini
    MachineSettings settings;
    std::string registryFile;  // host path of the registry file loaded (REGEDIT4 or CREG)
    std::string commandTail;   // what follows the program path on the command line
    // The registry is instead the Windows registry file on the machine's own
    // drives: the Windows folder is found from the boot drive's MSDOS.SYS,
    // and its SYSTEM.DAT read; the Windows folder setting follows it.
    bool registryFromDrives = false;
    char bootDrive = 'C';
    // The system was named on the command line; it wins over the version
    // a Windows registry file records.
    bool systemGiven = false;
    // Drive C: is this disk image's partition (none given: the one that
    // holds Windows) instead of machine.ini's folder.
    std::string imageFile;
    std::optional<unsigned> imagePartition;
};

}  // namespace kestrow_sim

#endif
