#include "sim/machine/key_deletions.h"

namespace kestrow_sim {

std::unique_ptr<platform::sim::RegistryTree> SnapshotRegistry(platform::sim::RegistryTree& live) {
    auto copy = std::make_unique<platform::sim::RegistryTree>(live.GetCodePage());
    for (const std::string& root : platform::sim::RegistryTree::RootNames()) {
        live.Root(root)->CopyContentsTo(copy->Root(root));
    }
    return copy;
}

std::unique_ptr<platform::sim::RegistryTree> DeletedKeysTree(platform::sim::Machine& machine) {
    auto tree = std::make_unique<platform::sim::RegistryTree>(machine.Registry().GetCodePage());
    const auto& deletions = machine.KeyDeletions();
    // The last deletion first: a key deleted before the key above it goes
    // back below that key's copy.
    for (auto it = deletions.rbegin(); it != deletions.rend(); ++it) {
        if (!it->Deleted()) continue;
        platform::sim::RegistryKey* copy = tree->CreateFullPath(it->path);
        if (copy == nullptr) continue;
        it->subtree->CopyContentsTo(copy);
    }
    return tree;
}

}  // namespace kestrow_sim
