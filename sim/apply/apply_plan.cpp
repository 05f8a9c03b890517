#include "sim/apply/apply_plan.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "sim/apply/apply_changes.h"  // FreeUndoFileName
#include "sim/host/host_files.h"
#include "sim/machine/machine_loader.h"

namespace kestrow_sim {

namespace {

using platform::sim::FileSystem;

bool Refuse(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return "";
    return buffer;
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path with every folder resolved: for a file that does not exist yet,
// its folder's real path and its name.
std::string ResolvedPath(const std::string& path) {
    std::string real = RealPath(path);
    if (!real.empty()) return real;
    std::string folder = RealPath(FolderOf(path));
    return folder.empty() ? path : folder + "/" + BaseName(path);
}

bool IsInside(const std::string& path, const std::string& folder) {
    return !folder.empty() && path.size() > folder.size() &&
           path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

const char* KindOf(mode_t mode) {
    if (S_ISREG(mode)) return "a file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a file";
}

bool FolderWritable(const std::string& folder, const std::string& what, std::string* error) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return Refuse(error, "cannot write " + what + ": its folder " + folder +
                                 " cannot be used: " + HostErrorText(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return Refuse(error, "cannot write " + what + ": " + folder + " is not a folder");
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return Refuse(error, "cannot write " + what + ": its folder " + folder +
                                 " is not writable: " + HostErrorText(errno));
    }
    return true;
}

// A file --apply replaces keeps its owner; only root can give a file to
// someone else.
bool OwnerKept(const struct stat& info, const std::string& what, std::string* error) {
    if (::geteuid() == 0 || info.st_uid == ::geteuid()) return true;
    return Refuse(error, "cannot write " + what + ": it belongs to user id " +
                             std::to_string(info.st_uid) +
                             ", and a rewritten file would belong to this user; run as its "
                             "owner or as root");
}

// The host name in folder that the simulated name stands for: the same
// name, or else one that differs only in letter case.
std::string HostName(const std::string& folder, const std::string& name,
                     const platform::sim::CodePage& codePage) {
    std::string exact = folder + "/" + name;
    struct stat info {};
    if (::lstat(exact.c_str(), &info) == 0) return name;
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return name;
    std::string found = name;
    while (const dirent* entry = ::readdir(listing)) {
        if (codePage.SameName(entry->d_name, name)) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(listing);
    return found;
}

bool PlanDriveTarget(FileSystem& files, const FileSystem::Change& change,
                     const platform::sim::CodePage& codePage, DriveTarget* target,
                     std::string* error) {
    target->windowsPath = change.path;
    target->deletion = change.kind == FileSystem::ChangeKind::Deleted;
    std::string folder = files.HostFolder(change.path.empty() ? 'C' : change.path[0]);
    if (folder.empty()) {
        return Refuse(error, "cannot write " + change.path + ": its drive has no host folder");
    }
    std::vector<std::string> names;
    std::string rest = change.path.size() > 3 ? change.path.substr(3) : "";
    for (std::size_t start = 0; start < rest.size();) {
        std::size_t end = start + codePage.NameLength(rest.substr(start), '\\');
        names.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    bool missing = false;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        std::string next =
            folder + "/" + (missing ? names[i] : HostName(folder, names[i], codePage));
        struct stat info {};
        if (!missing && ::stat(next.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
            return Refuse(error, "cannot write " + change.path + ": " + next + " is " +
                                     KindOf(info.st_mode) + ", not a folder");
        }
        if (!missing && ::stat(next.c_str(), &info) != 0) {
            if (target->deletion) return true;  // nothing there to delete
            missing = true;
            if (!FolderWritable(folder, change.path, error)) return false;
        }
        if (missing) target->foldersToMake.push_back(next);
        folder = next;
    }
    target->folder = folder;
    target->hostPath =
        folder + "/" + (missing ? names.back() : HostName(folder, names.back(), codePage));
    if (!missing) {
        if (!FolderWritable(folder, change.path + " (" + target->hostPath + ")", error))
            return false;
        if (::lstat(target->hostPath.c_str(), &target->old) == 0) {
            // A symbolic link is replaced by the file, never written through.
            if (!S_ISREG(target->old.st_mode) && !S_ISLNK(target->old.st_mode)) {
                return Refuse(error, "cannot write " + change.path + ": " + target->hostPath +
                                         " is " + KindOf(target->old.st_mode));
            }
            target->exists = true;
            if (!OwnerKept(target->old, target->hostPath, error)) return false;
        }
    }
    if (!target->deletion) {
        std::optional<std::string> bytes = files.ReadFile(change.path);
        if (!bytes) return Refuse(error, "internal: the new " + change.path + " cannot be read");
        target->newBytes = std::move(*bytes);
    }
    return true;
}

// Whether the folder or path is one of the bundled sample machines; *name
// gets the sample's folder.
bool InSamples(const std::string& resolved, std::string* sample) {
    std::string samples = RealPath(SampleMachinesFolder());
    if (!IsInside(resolved, samples)) return false;
    std::string rest = resolved.substr(samples.size() + 1);
    *sample = samples + "/" + rest.substr(0, rest.find('/'));
    return true;
}

std::string CopyHint(const std::string& sample) {
    std::string name = BaseName(sample);
    return "copy it first and apply to the copy: cp -r " + sample + " my" + name +
           ", then run again with --machine my" + name + " instead";
}

}  // namespace

bool ApplyPlan::ReplacesFiles() const {
    for (const DriveTarget& target : drives) {
        if (target.exists) return true;
    }
    return false;
}

std::string ApplyPlan::RegistryName() const {
    std::string name = "registry file " + registryFile;
    struct stat info {};
    if (::lstat(registryFile.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        name += " (the file " + registryReal + " it links to)";
    }
    return name;
}

std::string ApplyPlan::DriveName(const DriveTarget& target) const {
    return target.windowsPath + " (" + target.hostPath + ")";
}

std::string BackupFolderName(const std::string& undoFile) {
    std::string stem = undoFile;
    if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".reg") == 0)
        stem.resize(stem.size() - 4);
    return stem + ".files";
}

bool PlanApply(platform::sim::Machine& machine, platform::sim::RegistryTree& before,
               const MachineDescription& description, const FileFingerprint& registryRead,
               ApplyPlan* plan, std::string* error) {
    plan->codePage = before.GetCodePage();
    plan->registryFile = description.registryFile;

    std::string sample;
    if (InSamples(ResolvedPath(description.folder), &sample)) {
        return Refuse(error, "--apply does not change the bundled sample machine " + sample + "; " +
                                 CopyHint(sample));
    }

    for (const platform::sim::KeyDeletionRecord& deletion : machine.KeyDeletions()) {
        if (deletion.Deleted()) plan->deletedKeys.push_back(deletion.path);
    }
    FileSystem& files = machine.Files();
    for (const FileSystem::Change& change : files.Changes()) {
        DriveTarget target;
        if (!PlanDriveTarget(files, change, plan->codePage, &target, error)) return false;
        if (target.hostPath.empty()) continue;  // a deletion of what is not there
        std::string resolved = ResolvedPath(target.hostPath);
        if (InSamples(resolved, &sample)) {
            return Refuse(error, "--apply does not change the bundled sample machine " + sample +
                                     " (" + change.path + " is " + target.hostPath + "); " +
                                     CopyHint(sample));
        }
        plan->drives.push_back(std::move(target));
    }

    bool needsRegistryFolder = plan->WritesRegistry() || plan->ReplacesFiles();
    if (!needsRegistryFolder) return true;

    // The registry file, or the file a link names; the undo file and the
    // backups go beside it.
    if (plan->WritesRegistry()) {
        if (::stat(description.registryFile.c_str(), &plan->registryOld) != 0) {
            return Refuse(error, "cannot rewrite the registry file " + description.registryFile +
                                     ": " + HostErrorText(errno));
        }
        if (!S_ISREG(plan->registryOld.st_mode)) {
            return Refuse(error, "cannot rewrite the registry file " + description.registryFile +
                                     ": it is " + KindOf(plan->registryOld.st_mode) +
                                     "; --apply rewrites only a regular file");
        }
        plan->registryReal = RealPath(description.registryFile);
        if (plan->registryReal.empty()) {
            return Refuse(error, "cannot rewrite the registry file " + description.registryFile +
                                     ": " + HostErrorText(errno));
        }
        if (InSamples(plan->registryReal, &sample)) {
            return Refuse(error,
                          "--apply does not change the registry file of the bundled sample "
                          "machine " +
                              sample + " (" + plan->registryReal + "); " + CopyHint(sample));
        }
        if (registryRead.taken && !SameIdentity(registryRead, IdentityOf(plan->registryOld))) {
            return Refuse(error, "the registry file " + description.registryFile +
                                     " changed after it was read; nothing was written, run again");
        }
        if (!OwnerKept(plan->registryOld, "the registry file " + plan->registryReal, error)) {
            return false;
        }
    } else {
        plan->registryReal = ResolvedPath(description.registryFile);
    }
    std::string folder = FolderOf(plan->registryReal);
    if (!FolderWritable(folder,
                        plan->WritesRegistry() ? plan->RegistryName() : "backups of replaced files",
                        error)) {
        return false;
    }
    plan->undoFile = FreeUndoFileName(plan->registryReal);
    plan->backupFolder = BackupFolderName(plan->undoFile);
    if (InSamples(plan->undoFile, &sample)) {
        return Refuse(error, "--apply does not write into the bundled sample machine " + sample +
                                 "; " + CopyHint(sample));
    }

    // No file may be both read by the run and written by it.
    std::vector<std::pair<std::string, std::string>> inputs = {
        {ResolvedPath(description.registryFile), "the registry file read"},
        {ResolvedPath(description.settingsFile), "the machine's settings file"},
    };
    for (const DriveTarget& target : plan->drives) {
        std::string resolved = ResolvedPath(target.hostPath);
        for (const auto& [input, what] : inputs) {
            struct stat a {
            }, b{};
            bool same = resolved == input ||
                        (::stat(resolved.c_str(), &a) == 0 && ::stat(input.c_str(), &b) == 0 &&
                         a.st_dev == b.st_dev && a.st_ino == b.st_ino);
            if (same) {
                std::string message = "cannot write " + target.windowsPath;
                message.append(": its host file ").append(target.hostPath);
                message.append(" is also ").append(what).append(" (").append(input);
                message.append("); nothing was written");
                return Refuse(error, message);
            }
        }
    }
    return true;
}

}  // namespace kestrow_sim
