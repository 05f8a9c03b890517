// The registry as it was before a run, as far as the report and --apply
// need it: the keys the run deleted, taken from the machine's records of
// its RegDeleteKeyA calls.
#ifndef KESTROW_SIM_MACHINE_KEY_DELETIONS_H
#define KESTROW_SIM_MACHINE_KEY_DELETIONS_H

#include <memory>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"

namespace kestrow_sim {

// A copy of the whole registry, to tell afterwards what a deleted key held.
std::unique_ptr<platform::sim::RegistryTree> SnapshotRegistry(platform::sim::RegistryTree& live);

// After a run: the keys it deleted, each whole at its own path, in a tree
// of their own. For the report and --apply this is the registry as it was
// before the run (they look only at deleted keys), at the cost of those
// keys alone instead of a second copy of the whole registry.
std::unique_ptr<platform::sim::RegistryTree> DeletedKeysTree(platform::sim::Machine& machine);

}  // namespace kestrow_sim

#endif
