// --apply: writes what a simulated run changed back to the machine's host
// files. The run's last check (CheckApplyAllowed at ApplyStage::kRan, in
// apply_plan.h) works out the plan and refuses a target that cannot be
// written; then the transaction (apply_transaction.h) stages every file,
// commits them in the program's own order and, when a step fails, rolls
// back what was put in place, so that the machine ends as it was or as it
// is to be; and the outcome (apply_outcome.h) tells what happened. The
// registry file is edited, not written out again (registry_file_edit.h),
// and the removed sections go to an undo file beside it.
#ifndef KESTROW_SIM_APPLY_APPLY_CHANGES_H
#define KESTROW_SIM_APPLY_APPLY_CHANGES_H

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"
#include "sim/apply/apply_report.h"
#include "sim/host/file_fingerprint.h"
#include "sim/machine/machine_description.h"

namespace kestrow_sim {

// Writes the run's changes. registryRead, when given, is the registry file
// as it was when the machine was loaded; the file must still be that file.
// The report lists, in the order done, what was written and what was not,
// what was rolled back, and after a failure what the machine holds now.
ApplyReport ApplyChanges(platform::sim::Machine& machine, platform::sim::RegistryTree& before,
                         const MachineDescription& description,
                         const FileFingerprint* registryRead = nullptr);

}  // namespace kestrow_sim

#endif
