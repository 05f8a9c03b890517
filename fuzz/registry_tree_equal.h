// Whether two registry trees hold the same keys and values: the same names,
// byte for byte (letter case included), types and data, in the same order.
#ifndef KESTROW_FUZZ_REGISTRY_TREE_EQUAL_H
#define KESTROW_FUZZ_REGISTRY_TREE_EQUAL_H

#include <string>

#include "platform/sim/registry_tree.h"

namespace kestrow_fuzz {

inline bool SameKeys(const platform::sim::RegistryKey& a, const platform::sim::RegistryKey& b) {
    if (a.Name() != b.Name() || a.SubkeyCount() != b.SubkeyCount()) return false;
    const auto& valuesA = a.Values();
    const auto& valuesB = b.Values();
    if (valuesA.size() != valuesB.size()) return false;
    for (std::size_t i = 0; i < valuesA.size(); ++i) {
        if (valuesA[i].name != valuesB[i].name || valuesA[i].type != valuesB[i].type ||
            valuesA[i].data != valuesB[i].data) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.SubkeyCount(); ++i) {
        if (!SameKeys(*a.SubkeyAt(i), *b.SubkeyAt(i))) return false;
    }
    return true;
}

inline bool SameTrees(platform::sim::RegistryTree& a, platform::sim::RegistryTree& b) {
    for (const std::string& root : platform::sim::RegistryTree::RootNames()) {
        if (!SameKeys(*a.Root(root), *b.Root(root))) return false;
    }
    return true;
}

}  // namespace kestrow_fuzz

#endif
