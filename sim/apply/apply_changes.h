// --apply: writes what a simulated run changed back to the machine's host
// files, in the program's own order: every drive file first, and the
// registry file only when all of them are in place (the program leaves the
// controller key alone when a driver file cannot be copied).
//
// Before anything is written, every target is checked (see apply_plan.h).
// Temporary files of an earlier run that was killed are removed. Then the
// run goes in two stages, so that the machine ends as it was or as it is
// to be, never in between. First every file that is to be replaced is
// saved into a backup folder beside the undo file, and every new file is
// written to a temporary file in its target's folder, named
// .kestrow-tmp.<name>, flushed and given the target's owner, group and
// mode. Only then is each renamed over its target. When any step fails,
// what the run already put in place is put back and everything it made is
// removed; a kill at any moment leaves every target as it was or as it is
// to be. The registry file is edited, not written out again
// (registry_file_edit.h); the removed sections go to an undo file, and the
// registry file is checked again just before the rename, so that a change
// another program made to it is never lost.
#ifndef KESTROW_SIM_APPLY_APPLY_CHANGES_H
#define KESTROW_SIM_APPLY_APPLY_CHANGES_H

#include <string>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"
#include "sim/apply/apply_report.h"
#include "sim/host/file_fingerprint.h"
#include "sim/machine/machine_loader.h"

namespace kestrow_sim {

// The undo file's name for a registry file: registry.reg -> registry.undo.reg,
// or registry.undo-2.reg, -3, ... when that name or its backup folder's
// name (registry.undo.files, ...) is taken. False, with a message, when the
// host cannot tell.
bool FreeUndoFileName(const std::string& registryFile, std::string* undoFile, std::string* error);

// Writes the run's changes. registryRead, when given, is the registry file
// as it was when the machine was loaded; the file must still be that file.
// The report lists, in the order done, what was written and what was not,
// what was rolled back, and after a failure what the machine holds now.
ApplyReport ApplyChanges(platform::sim::Machine& machine, platform::sim::RegistryTree& before,
                         const MachineDescription& description,
                         const FileFingerprint* registryRead = nullptr);

}  // namespace kestrow_sim

#endif
