// Which registry keys the program asked to delete, by full path, worked out
// from the call log: RegDeleteKeyA names a subkey of an open handle, and the
// handle comes from an earlier RegOpenKeyA or RegOpenKeyExA.
#ifndef KESTROW_SIM_MACHINE_KEY_DELETIONS_H
#define KESTROW_SIM_MACHINE_KEY_DELETIONS_H

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"

namespace kestrow_sim {

struct KeyDeletion {
    // Full path, e.g. HKEY_LOCAL_MACHINE\Enum\PCI\VEN_...; when the handle
    // cannot be traced, the handle and the subkey name as given.
    std::string path;
    bool deleted = false;  // the call succeeded
    std::string status;    // the call's result, as logged
};

std::vector<KeyDeletion> KeyDeletions(const platform::sim::Machine& machine);

// A copy of the whole registry, to tell afterwards what a deleted key held.
std::unique_ptr<platform::sim::RegistryTree> SnapshotRegistry(platform::sim::RegistryTree& live);

// After a run: the keys it deleted, each whole at its own path, in a tree
// of their own. For the report and --apply this is the registry as it was
// before the run (they look only at deleted keys), at the cost of those
// keys alone instead of a second copy of the whole registry.
std::unique_ptr<platform::sim::RegistryTree> DeletedKeysTree(platform::sim::Machine& machine);

}  // namespace kestrow_sim

#endif
