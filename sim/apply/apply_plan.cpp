#include "sim/apply/apply_plan.h"

#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <utility>

#include "platform/sim/host_folder_drive.h"
#include "sim/apply/apply_file_names.h"
#include "sim/host/atomic_file.h"
#include "sim/host/host_files.h"
#include "sim/host/host_paths.h"
#include "sim/machine/machine_loader.h"

namespace kestrow_sim {

namespace {

using platform::sim::FileSystem;
using platform::sim::HostFolderAccess;
using platform::sim::HostFolderDrive;

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

// The host calls a drive folder is looked at with for --apply: sim/host's,
// which a test can make fail.
class ApplyFolderAccess : public HostFolderAccess {
public:
    int ListFolder(const std::string& folder, std::vector<std::string>* names) override {
        return host::ListFolder(folder, names);
    }
    int LinkStatus(const std::string& path, struct stat* info) override {
        return host::Lstat(path, info);
    }
    int Status(const std::string& path, struct stat* info) override {
        return host::Stat(path, info);
    }
    int RealPath(const std::string& path, std::string* real) override {
        return host::RealPath(path, real);
    }
    int ReadFile(const std::string& path, std::string* bytes) override {
        std::string error;
        return ReadWhole(path, bytes, &error) ? 0 : -1;
    }
};

// The drive folders, each looked at afresh (not as the run saw them), by
// the rule the simulated drive finds names with.
class DriveFolders {
public:
    // The drive of a letter; null, with a message, when it has no host
    // folder or that cannot be used.
    HostFolderDrive* Drive(FileSystem& files, const std::string& windowsPath, std::string* error) {
        char letter = windowsPath.empty() ? 'C' : windowsPath[0];
        auto found = drives_.find(letter);
        if (found != drives_.end()) return found->second.get();
        std::string folder = files.HostFolder(letter);
        if (folder.empty()) {
            *error = "cannot write " + windowsPath + ": its drive has no host folder";
            return nullptr;
        }
        std::string message;
        std::unique_ptr<HostFolderDrive> drive = HostFolderDrive::Open(folder, &message, access_);
        if (!drive) {
            *error = "cannot write " + windowsPath + ": its drive folder " + message;
            return nullptr;
        }
        return (drives_[letter] = std::move(drive)).get();
    }

private:
    ApplyFolderAccess access_;
    std::map<char, std::unique_ptr<HostFolderDrive>> drives_;
};

// Why a name on the way to a target cannot be used for writing; empty when
// it can.
std::string Unusable(const HostFolderDrive& drive, const HostFolderDrive::HostEntry& entry,
                     const std::string& hostPath, const std::string& windowsPath) {
    using Kind = HostFolderDrive::HostEntry::Kind;
    if (entry.kind == Kind::kHostError) {
        return "cannot write " + windowsPath + ": cannot look at " + entry.errorPath + ": " +
               HostErrorText(entry.error);
    }
    if (entry.kind == Kind::kLinkOutside) {
        return "cannot write " + windowsPath + ": " + hostPath +
               " is a symbolic link that leads out of the drive folder " + drive.HostFolder() +
               " (to " + entry.real + "); --apply writes only inside a drive folder";
    }
    return "";
}

bool PlanDriveTarget(FileSystem& files, DriveFolders* drives, const FileSystem::Change& change,
                     const platform::sim::CodePage& codePage, DriveTarget* target,
                     std::string* error) {
    using Kind = HostFolderDrive::HostEntry::Kind;
    target->windowsPath = change.path;
    target->deletion = change.kind == FileSystem::ChangeKind::Deleted;
    HostFolderDrive* drive = drives->Drive(files, change.path, error);
    if (drive == nullptr) return false;
    std::vector<std::string> names;
    std::string rest = change.path.size() > 3 ? change.path.substr(3) : "";
    for (std::size_t start = 0; start < rest.size();) {
        std::size_t end = start + codePage.NameLength(rest.substr(start), '\\');
        names.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    if (names.empty()) return Refuse(error, "internal: " + change.path + " names no file");
    std::vector<HostFolderDrive::HostEntry> entries = drive->LookUpPath(names, codePage);
    std::string folder = drive->HostFolder();
    bool missing = false;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        const HostFolderDrive::HostEntry* entry = missing ? nullptr : &entries[i];
        std::string next = folder;
        next.append("/").append(entry && !entry->name.empty() ? entry->name : names[i]);
        if (entry == nullptr || entry->kind == Kind::kFolder) {
            // below a folder to make, or a folder
        } else if (std::string why = Unusable(*drive, *entry, next, change.path); !why.empty()) {
            return Refuse(error, why);
        } else if (entry->kind == Kind::kFile || entry->kind == Kind::kOther) {
            return Refuse(error, "cannot write " + change.path + ": " + next + " is " +
                                     KindOf(entry->leadsTo) + ", not a folder");
        } else {                                // absent, or a link leading nowhere
            if (target->deletion) return true;  // nothing there to delete
            missing = true;
            if (!FolderWritable(folder, change.path, error)) return false;
        }
        if (missing) target->foldersToMake.push_back(next);
        folder = next;
    }
    target->folder = folder;
    const HostFolderDrive::HostEntry* last = missing ? nullptr : &entries.back();
    target->hostPath = folder + "/" + (last && !last->name.empty() ? last->name : names.back());
    if (!missing) {
        if (!FolderWritable(folder, change.path + " (" + target->hostPath + ")", error))
            return false;
        if (std::string why = Unusable(*drive, *last, target->hostPath, change.path);
            !why.empty()) {
            return Refuse(error, why);
        }
        if (last->kind != Kind::kAbsent) {
            target->old = last->info;
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

// Works out the plan and runs every check of a target. registryRead, when
// taken, is the registry file as it was read; a change since is refused.
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

    for (const platform::sim::KeyDeletionRecord& deletion : machine.KeyDeletions()) {
        if (deletion.Deleted()) plan->deletedKeys.push_back(deletion.path);
    }
    FileSystem& files = machine.Files();
    DriveFolders drives;
    for (const FileSystem::Change& change : files.Changes()) {
        DriveTarget target;
        if (!PlanDriveTarget(files, &drives, change, plan->codePage, &target, error)) return false;
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

// Why --apply does not write to a machine whose registry is Windows' own
// registry file.
std::string WindowsRegistryRefusal(const MachineOrigin& origin) {
    std::string file =
        origin.registryHostFile.empty() ? origin.registryMachinePath : origin.registryHostFile;
    return "--apply refused: " + file +
           " is the registry file of a real Windows 98/Me, which cannot be changed safely from "
           "here (the format's free lists and checksums are not documented well enough). Run "
           "Kestrow.exe on that machine instead. Nothing was written.";
}

ApplyRefusal Refusal(ApplyRefusal::Shown shown, std::string message) {
    ApplyRefusal refusal;
    refusal.shown = shown;
    refusal.message = std::move(message);
    return refusal;
}

}  // namespace

std::optional<ApplyRefusal> CheckApplyAllowed(const ApplyCheck& check) {
    using Shown = ApplyRefusal::Shown;
    switch (check.stage) {
        case ApplyStage::kOptionsRead:
            if (check.bench) return Refusal(Shown::kWithUsage, "--bench does not go with --apply");
            return std::nullopt;
        case ApplyStage::kDescribed: {
            const MachineDescription& description = *check.description;
            if (!description.imageFile.empty()) {
                return Refusal(Shown::kBadInput,
                               "--apply refused: " + description.imageFile +
                                   " is a disk image, which kestrow-sim only reads. Run "
                                   "Kestrow.exe on that machine instead. Nothing was written.");
            }
            // What the registry file is before it is read: --apply rewrites
            // it only when it is still that file. (A file that is not there
            // is left to the loader, which says so.)
            std::string error;
            if (host::Access(description.registryFile, F_OK) == 0 &&
                !TakeFingerprint(description.registryFile, check.fingerprint, &error)) {
                return Refusal(Shown::kNotWritten, "--apply: " + error + "; nothing was written");
            }
            return std::nullopt;
        }
        case ApplyStage::kLoaded:
            if (check.origin->RegistryIsWindowsFile()) {
                return Refusal(Shown::kBadInput, WindowsRegistryRefusal(*check.origin));
            }
            return std::nullopt;
        case ApplyStage::kRan: {
            FileFingerprint notTaken;
            std::string error;
            if (!PlanApply(*check.machine, *check.before, *check.description,
                           check.registryRead ? *check.registryRead : notTaken, check.plan,
                           &error)) {
                return Refusal(Shown::kInReport, error);
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

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

}  // namespace kestrow_sim
