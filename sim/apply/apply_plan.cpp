#include "sim/apply/apply_plan.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "sim/apply/apply_changes.h"  // FreeUndoFileName
#include "sim/host/host_files.h"
#include "sim/host/host_paths.h"
#include "sim/machine/key_deletions.h"

namespace kestrow_sim {

namespace {

using platform::sim::FileSystem;
using platform::sim::RegistryKey;

bool Refuse(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

// A failure that means nothing is there, not that the host cannot tell.
bool NothingThere(int code) { return code == ENOENT || code == ENOTDIR; }

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
    if (host::Stat(folder, &info) != 0) {
        return Refuse(error, "cannot write " + what + ": its folder " + folder +
                                 " cannot be used: " + HostErrorText(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return Refuse(error, "cannot write " + what + ": " + folder + " is not a folder");
    }
    if (host::Access(folder, W_OK | X_OK) != 0) {
        return Refuse(error, "cannot write " + what + ": its folder " + folder +
                                 " is not writable: " + HostErrorText(errno));
    }
    return true;
}

// A file --apply replaces keeps its owner; only root can give a file to
// someone else.
bool OwnerKept(const struct stat& info, const std::string& what, std::string* error) {
    uid_t user = host::EffectiveUser();
    if (user == 0 || info.st_uid == user) return true;
    return Refuse(error, "cannot write " + what + ": it belongs to user id " +
                             std::to_string(info.st_uid) +
                             ", and a rewritten file would belong to this user; run as its "
                             "owner or as root");
}

// The host name in folder that the simulated name stands for: the same
// name, or else one that differs only in letter case. False, with a
// message, when the host cannot tell.
bool HostName(const std::string& folder, const std::string& name,
              const platform::sim::CodePage& codePage, std::string* found, std::string* error) {
    *found = name;
    std::string exact = folder + "/" + name;
    struct stat info {};
    if (host::Lstat(exact, &info) == 0) return true;
    if (!NothingThere(errno)) {
        return Refuse(error, "cannot look at " + exact + ": " + HostErrorText(errno));
    }
    std::vector<std::string> names;
    if (host::ListFolder(folder, &names) != 0) {
        if (NothingThere(errno)) return true;
        return Refuse(error, "cannot list the folder " + folder + ": " + HostErrorText(errno));
    }
    for (const std::string& entry : names) {
        if (codePage.SameName(entry, name)) {
            *found = entry;
            break;
        }
    }
    return true;
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
        std::string name = names[i];
        if (!missing && !HostName(folder, names[i], codePage, &name, error)) return false;
        std::string next = folder;
        next.append("/").append(name);
        struct stat info {};
        if (missing) {
            // below a folder to make
        } else if (host::Stat(next, &info) == 0) {
            if (!S_ISDIR(info.st_mode)) {
                return Refuse(error, "cannot write " + change.path + ": " + next + " is " +
                                         KindOf(info.st_mode) + ", not a folder");
            }
        } else if (!NothingThere(errno) && errno != ELOOP) {
            return Refuse(error, "cannot look at " + next + ": " + HostErrorText(errno));
        } else {
            if (target->deletion) return true;  // nothing there to delete
            missing = true;
            if (!FolderWritable(folder, change.path, error)) return false;
        }
        if (missing) target->foldersToMake.push_back(next);
        folder = next;
    }
    target->folder = folder;
    std::string name = names.back();
    if (!missing && !HostName(folder, names.back(), codePage, &name, error)) return false;
    target->hostPath = folder + "/" + name;
    if (!missing) {
        if (!FolderWritable(folder, change.path + " (" + target->hostPath + ")", error))
            return false;
        if (host::Lstat(target->hostPath, &target->old) != 0) {
            if (!NothingThere(errno)) {
                return Refuse(error,
                              "cannot look at " + target->hostPath + ": " + HostErrorText(errno));
            }
        } else {
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

// Whether the folder or path is one of the bundled sample machines, whose
// folder, resolved, is samples; *sample gets the sample's folder.
bool InSamples(const std::string& resolved, const std::string& samples, std::string* sample) {
    if (!IsInside(resolved, samples)) return false;
    std::string rest = resolved.substr(samples.size() + 1);
    *sample = samples + "/" + rest.substr(0, rest.find('/'));
    return true;
}

// Whether two paths name one file (the same device and inode); false when
// either is missing. False, with a message, when the host cannot tell.
bool SameFile(const std::string& a, const std::string& b, bool* same, std::string* error) {
    *same = false;
    struct stat infoA {
    }, infoB{};
    for (const auto& [path, info] : {std::pair{&a, &infoA}, std::pair{&b, &infoB}}) {
        if (host::Stat(*path, info) == 0) continue;
        if (NothingThere(errno)) return true;
        return Refuse(error, "cannot look at " + *path + ": " + HostErrorText(errno));
    }
    *same = infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
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
    if (registryIsLink) name += " (the file " + registryReal + " it links to)";
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

    std::string samples, resolved, sample;
    if (!RealPathIfThere(SampleMachinesFolder(), &samples, error) ||
        !ResolvedPath(description.folder, &resolved, error)) {
        return false;
    }
    if (InSamples(resolved, samples, &sample)) {
        return Refuse(error, "--apply does not change the bundled sample machine " + sample + "; " +
                                 CopyHint(sample));
    }

    for (const KeyDeletion& deletion : KeyDeletions(machine)) {
        if (!deletion.deleted) continue;
        if (const RegistryKey* found = before.FindFullPath(deletion.path)) {
            plan->deletedKeys.push_back(found->FullPath());
        }
    }
    FileSystem& files = machine.Files();
    for (const FileSystem::Change& change : files.Changes()) {
        DriveTarget target;
        if (!PlanDriveTarget(files, change, plan->codePage, &target, error)) return false;
        if (target.hostPath.empty()) continue;  // a deletion of what is not there
        if (!ResolvedPath(target.hostPath, &resolved, error)) return false;
        if (InSamples(resolved, samples, &sample)) {
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
        if (host::Stat(description.registryFile, &plan->registryOld) != 0) {
            return Refuse(error, "cannot rewrite the registry file " + description.registryFile +
                                     ": " + HostErrorText(errno));
        }
        if (!S_ISREG(plan->registryOld.st_mode)) {
            return Refuse(error, "cannot rewrite the registry file " + description.registryFile +
                                     ": it is " + KindOf(plan->registryOld.st_mode) +
                                     "; --apply rewrites only a regular file");
        }
        if (host::RealPath(description.registryFile, &plan->registryReal) != 0) {
            return Refuse(error, "cannot rewrite the registry file " + description.registryFile +
                                     ": " + HostErrorText(errno));
        }
        struct stat link {};
        if (host::Lstat(description.registryFile, &link) != 0) {
            return Refuse(error, "cannot rewrite the registry file " + description.registryFile +
                                     ": " + HostErrorText(errno));
        }
        plan->registryIsLink = S_ISLNK(link.st_mode);
        if (InSamples(plan->registryReal, samples, &sample)) {
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
    } else if (!ResolvedPath(description.registryFile, &plan->registryReal, error)) {
        return false;
    }
    std::string folder = FolderOf(plan->registryReal);
    if (!FolderWritable(folder,
                        plan->WritesRegistry() ? plan->RegistryName() : "backups of replaced files",
                        error)) {
        return false;
    }
    if (!FreeUndoFileName(plan->registryReal, &plan->undoFile, error)) return false;
    plan->backupFolder = BackupFolderName(plan->undoFile);
    if (InSamples(plan->undoFile, samples, &sample)) {
        return Refuse(error, "--apply does not write into the bundled sample machine " + sample +
                                 "; " + CopyHint(sample));
    }

    // No file may be both read by the run and written by it.
    std::vector<std::pair<std::string, std::string>> inputs = {
        {description.registryFile, "the registry file read"},
        {description.settingsFile, "the machine's settings file"},
    };
    for (auto& [input, what] : inputs) {
        if (!ResolvedPath(input, &input, error)) return false;
    }
    for (const DriveTarget& target : plan->drives) {
        if (!ResolvedPath(target.hostPath, &resolved, error)) return false;
        for (const auto& [input, what] : inputs) {
            bool same = resolved == input;
            if (!same && !SameFile(resolved, input, &same, error)) return false;
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
