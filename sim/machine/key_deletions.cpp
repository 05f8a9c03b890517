#include "sim/machine/key_deletions.h"

#include <cstdlib>
#include <map>

namespace kestrow_sim {

using platform::sim::Operation;

std::vector<KeyDeletion> KeyDeletions(const platform::sim::Machine& machine) {
    std::vector<KeyDeletion> deletions;
    // Open handles, by their logged text, and the key path each stands for.
    std::map<std::string, std::string> handles;
    auto pathOf = [&](const std::string& handle) -> std::string {
        auto open = handles.find(handle);
        if (open != handles.end()) return open->second;
        std::uint32_t value = static_cast<std::uint32_t>(std::strtoul(handle.c_str(), nullptr, 16));
        const auto& roots = platform::sim::RegistryTree::RootNames();
        for (const std::string& root : roots) {
            std::uint32_t rootValue = 0;
            if (platform::sim::RegistryTree::RootHandleValue(root, &rootValue) &&
                rootValue == value) {
                return root;
            }
        }
        return handle;
    };
    auto join = [](const std::string& base, const std::string& name) {
        if (name.empty() || name == "NULL") return base;
        return base + "\\" + name;
    };
    for (const platform::sim::Call& call : machine.Calls()) {
        switch (call.op) {
            case Operation::RegOpenKeyA:
            case Operation::RegOpenKeyExA:
                if (call.result == "0" && !call.output.empty() && call.arguments.size() >= 2) {
                    handles[call.output] = join(pathOf(call.arguments[0]), call.arguments[1]);
                }
                break;
            case Operation::RegCloseKey:
                if (call.result == "0" && !call.arguments.empty()) handles.erase(call.arguments[0]);
                break;
            case Operation::RegDeleteKeyA:
                if (call.arguments.size() >= 2) {
                    KeyDeletion deletion;
                    deletion.path = join(pathOf(call.arguments[0]), call.arguments[1]);
                    deletion.deleted = call.result == "0";
                    deletion.status = call.result;
                    deletions.push_back(deletion);
                }
                break;
            default:
                break;
        }
    }
    return deletions;
}

std::unique_ptr<platform::sim::RegistryTree> SnapshotRegistry(platform::sim::RegistryTree& live) {
    auto copy = std::make_unique<platform::sim::RegistryTree>(live.GetCodePage());
    for (const std::string& root : platform::sim::RegistryTree::RootNames()) {
        live.Root(root)->CopyContentsTo(copy->Root(root));
    }
    return copy;
}

std::unique_ptr<platform::sim::RegistryTree> DeletedKeysTree(platform::sim::Machine& machine) {
    auto tree = std::make_unique<platform::sim::RegistryTree>(machine.Registry().GetCodePage());
    const auto& deleted = machine.DeletedKeys();
    // The last deletion first: a key deleted before the key above it goes
    // back below that key's copy.
    for (auto it = deleted.rbegin(); it != deleted.rend(); ++it) {
        platform::sim::RegistryKey* parent = tree->CreateFullPath(it->parentPath);
        if (parent == nullptr) continue;
        platform::sim::RegistryKey* copy = parent->CreateSubkey(it->key->Name());
        it->key->CopyContentsTo(copy);
    }
    return tree;
}

}  // namespace kestrow_sim
