// --apply: writes what a simulated run changed back to the machine's host
// files. Before the registry file is rewritten, an undo file beside it
// records every deleted key in full, in REGEDIT4 that Windows 98 imports.
#ifndef KESTROW_SIM_APPLY_CHANGES_H
#define KESTROW_SIM_APPLY_CHANGES_H

#include <string>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"
#include "sim/machine_loader.h"
#include "sim/run_report.h"  // ApplyReport

namespace kestrow_sim {

// The undo file's name for a registry file: registry.reg -> registry.undo.reg,
// or registry.undo-2.reg, -3, ... when that name is taken.
std::string FreeUndoFileName(const std::string& registryFile);

// The registry file's new text: the same part of the registry the file held
// before (for a regedit export of one key, that key and everything below
// it), as it is after the run.
std::string RegistryFileText(platform::sim::RegistryTree& after,
                             platform::sim::RegistryTree& before);

// Writes, in this order: the undo file (when keys were deleted), the
// registry file (when keys were deleted), the changed files on the drives.
// Stops at the first failure; the report says what was and was not written.
ApplyReport ApplyChanges(platform::sim::Machine& machine, platform::sim::RegistryTree& before,
                         const MachineDescription& description);

}  // namespace kestrow_sim

#endif
