#include "sim/apply_changes.h"

#include <unistd.h>

#include <cctype>

#include <vector>

#include "sim/key_deletions.h"
#include "sim/regedit4.h"

namespace kestrow_sim {

namespace {

using platform::sim::RegistryKey;
using platform::sim::RegistryTree;

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The one key the registry's contents all lie below, found by walking down
// from the only non-empty root while a key holds no values and just one
// subkey. Null when more than one root holds anything, or none does.
const RegistryKey* ExportedKey(RegistryTree& tree) {
    RegistryKey* found = nullptr;
    for (const std::string& name : RegistryTree::RootNames()) {
        RegistryKey* root = tree.Root(name);
        if (root->SubkeyCount() == 0 && root->Values().empty()) continue;
        if (found != nullptr) return nullptr;
        found = root;
    }
    if (found == nullptr) return nullptr;
    while (found->Values().empty() && found->SubkeyCount() == 1) found = found->SubkeyAt(0);
    return found;
}

// Host path of a changed file: its drive's folder and the rest of the path.
std::string HostPath(platform::sim::FileSystem& files, const std::string& path) {
    std::string folder = files.HostFolder(path.empty() ? 'C' : path[0]);
    std::string rest = path.size() > 3 ? path.substr(3) : "";
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    return folder + "/" + rest;
}

}  // namespace

std::string FreeUndoFileName(const std::string& registryFile) {
    std::string stem = registryFile;
    if (stem.size() > 4) {
        std::string extension = stem.substr(stem.size() - 4);
        for (char& c : extension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension == ".reg") stem.resize(stem.size() - 4);
    }
    std::string name = stem + ".undo.reg";
    for (int number = 2; Exists(name); ++number) {
        name = stem + ".undo-" + std::to_string(number) + ".reg";
    }
    return name;
}

std::string RegistryFileText(RegistryTree& after, RegistryTree& before) {
    if (const RegistryKey* exported = ExportedKey(before)) {
        if (const RegistryKey* now = after.FindFullPath(exported->FullPath())) {
            return platform::sim::WriteRegedit4Subtree(*now, after.GetCodePage());
        }
    }
    return platform::sim::WriteRegedit4NonEmptyRoots(after);
}

ApplyReport ApplyChanges(platform::sim::Machine& machine, RegistryTree& before,
                         const MachineDescription& description) {
    ApplyReport applied;
    // The call log holds the key names as the program's bytes; the report's
    // paths are converted for the terminal.
    std::vector<const RegistryKey*> deletedKeys;
    for (const KeyDeletion& deletion : KeyDeletions(machine)) {
        if (!deletion.deleted) continue;
        if (const RegistryKey* found = before.FindFullPath(deletion.path))
            deletedKeys.push_back(found);
    }

    auto& files = machine.Files();
    const auto changes = files.Changes();
    std::vector<std::string> pending;
    std::string undoFile;
    if (!deletedKeys.empty()) {
        undoFile = FreeUndoFileName(description.registryFile);
        pending.push_back("undo file " + undoFile);
        pending.push_back("registry file " + description.registryFile);
    }
    for (const auto& change : changes) {
        pending.push_back(change.path + " (" + HostPath(files, change.path) + ")");
    }
    auto fail = [&](const std::string& error, std::size_t done) {
        applied.ok = false;
        applied.error = error;
        applied.notWritten.assign(pending.begin() + static_cast<long>(done), pending.end());
        return applied;
    };

    std::size_t done = 0;
    if (!deletedKeys.empty()) {
        platform::sim::Regedit4Error error;
        std::string undoText =
            platform::sim::WriteRegedit4Subtrees(deletedKeys, before.GetCodePage());
        if (!platform::sim::WriteRegedit4File(undoFile, undoText, &error)) {
            return fail(error.Format(undoFile), done);
        }
        applied.written.push_back(pending[done++]);
        std::string registryText = RegistryFileText(machine.Registry(), before);
        if (!platform::sim::WriteRegedit4File(description.registryFile, registryText, &error)) {
            return fail(error.Format(description.registryFile), done);
        }
        applied.written.push_back(pending[done++]);
    }
    if (!changes.empty()) {
        std::string error;
        if (!files.Commit(&error)) {
            // Commit stops at the first failure; which files before it were
            // written cannot be told apart here, so none is claimed.
            return fail(error + " (files of the drives listed below may be partly written)", done);
        }
        while (done < pending.size()) applied.written.push_back(pending[done++]);
    }
    return applied;
}

}  // namespace kestrow_sim
