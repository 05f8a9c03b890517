// What --apply tells, in words: the comment at the top of the undo file,
// and the outcome of a run for the report (what was written, what was not,
// what was rolled back, and after a failure what the machine holds now).
#ifndef KESTROW_SIM_APPLY_APPLY_OUTCOME_H
#define KESTROW_SIM_APPLY_APPLY_OUTCOME_H

#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "sim/apply/apply_plan.h"
#include "sim/apply/apply_report.h"
#include "sim/apply/apply_transaction.h"
#include "sim/machine/machine_loader.h"

namespace kestrow_sim {

// The undo file's comment lines: what it puts back, where the replaced
// files are kept, which files the run added.
std::vector<std::string> UndoComments(const ApplyPlan& plan);

// The outcome of a transaction that was run: in the order done, what is in
// place, what was never put in place, what was put back.
ApplyReport TransactionOutcome(const ApplyPlan& plan, const ApplyProgress& progress, bool ok);

// The outcome of a run refused before anything was written: every target
// it would have written, as not written.
ApplyReport RefusedOutcome(const std::string& refusal, platform::sim::Machine& machine,
                           const MachineDescription& description);

}  // namespace kestrow_sim

#endif
