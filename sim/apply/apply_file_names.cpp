#include "sim/apply/apply_file_names.h"

#include <cctype>

#include "sim/host/host_paths.h"

namespace kestrow_sim {

std::string TemporaryFor(const std::string& path) {
    return FolderOf(path) + "/" + kTemporaryPrefix + BaseName(path);
}

std::string BackupTemporaryIn(const std::string& folder) {
    return folder + "/" + kTemporaryPrefix + "backup";
}

bool IsLeftoverName(const std::string& name) {
    static const std::string prefix = ".kestrow-tmp";
    return name.compare(0, prefix.size(), prefix) == 0;
}

bool FreeUndoFileName(const std::string& registryFile, std::string* undoFile, std::string* error) {
    std::string stem = registryFile;
    if (stem.size() > 4) {
        std::string extension = stem.substr(stem.size() - 4);
        for (char& c : extension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension == ".reg") stem.resize(stem.size() - 4);
    }
    std::string name = stem + ".undo.reg";
    for (int number = 2;; ++number) {
        bool taken = false, backupsTaken = false;
        if (!PathExists(name, &taken, error) ||
            !PathExists(BackupFolderName(name), &backupsTaken, error)) {
            return false;
        }
        if (!taken && !backupsTaken) break;
        name = stem + ".undo-" + std::to_string(number) + ".reg";
    }
    *undoFile = std::move(name);
    return true;
}

std::string BackupFolderName(const std::string& undoFile) {
    std::string stem = undoFile;
    if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".reg") == 0)
        stem.resize(stem.size() - 4);
    return stem + ".files";
}

std::string BackupPath(const std::string& windowsPath) {
    std::string path = windowsPath;
    if (path.size() >= 3 && path[1] == ':') path.erase(1, 1);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

}  // namespace kestrow_sim
