// Turns a machine folder (machine.ini, registry.reg, a folder per drive)
// into a simulated Machine ready to run Kestrow.
#ifndef KESTROW_SIM_MACHINE_MACHINE_LOADER_H
#define KESTROW_SIM_MACHINE_MACHINE_LOADER_H

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "sim/formats/machine_settings.h"
#include "sim/machine/machine_description.h"
#include "sim/machine/machine_origin.h"

namespace kestrow_sim {

// The folder that holds the sample machines shipped with the project.
std::string SampleMachinesFolder();
// The sample machines' names, sorted.
std::vector<std::string> SampleMachineNames();

// A machine given on the command line: a folder (a path that exists, or that
// holds a '/'), or else the name of a sample machine.
bool ResolveMachineFolder(const std::string& nameOrFolder, std::string* folder, std::string* error);

// Reads the folder's machine.ini into a description whose registry file is
// the folder's registry.reg.
bool DescribeMachineFolder(const std::string& folder, MachineDescription* description,
                           std::string* error);

// Sets the machine up: version, code page, drives, directories, program
// path and command line, and the registry read from the registry file. The
// machine must be freshly constructed. Nothing on the host is changed.
// With a Windows registry file (SYSTEM.DAT) and no system given on the
// command line, the machine runs as the version that registry records.
// *origin (when not null) says where registry, Windows folder and system
// came from.
bool LoadMachine(const MachineDescription& description, platform::sim::Machine* machine,
                 std::string* error, MachineOrigin* origin = nullptr);

}  // namespace kestrow_sim

#endif
