#include "sim/apply/apply_changes.h"

#include "sim/apply/apply_outcome.h"
#include "sim/apply/apply_plan.h"
#include "sim/apply/apply_transaction.h"

namespace kestrow_sim {

ApplyReport ApplyChanges(platform::sim::Machine& machine, platform::sim::RegistryTree& before,
                         const MachineDescription& description,
                         const FileFingerprint* registryRead) {
    ApplyPlan plan;
    ApplyCheck check;
    check.stage = ApplyStage::kRan;
    check.description = &description;
    check.registryRead = registryRead;
    check.machine = &machine;
    check.before = &before;
    check.plan = &plan;
    if (std::optional<ApplyRefusal> refusal = CheckApplyAllowed(check)) {
        return RefusedOutcome(refusal->message, machine, description);
    }
    ApplyTransaction transaction(plan, registryRead);
    bool ok = transaction.Run();
    return TransactionOutcome(plan, transaction.Progress(), ok);
}

}  // namespace kestrow_sim
