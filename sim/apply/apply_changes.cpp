#include "sim/apply/apply_changes.h"

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "sim/apply/apply_plan.h"
#include "sim/apply/registry_file_edit.h"
#include "sim/host/atomic_file.h"
#include "sim/host/host_files.h"
#include "sim/host/host_paths.h"
#include "sim/machine/key_deletions.h"

namespace kestrow_sim {

namespace {

std::string TemporaryFor(const std::string& path) {
    return FolderOf(path) + "/" + kTemporaryPrefix + BaseName(path);
}

// Removes the temporary files a killed run left in the folders written to.
bool RemoveLeftovers(const std::vector<std::string>& folders, std::vector<std::string>* removed,
                     std::string* error) {
    const std::string prefix = ".kestrow-tmp";  // also the older .kestrow-tmp-XXXXXX
    for (const std::string& folder : folders) {
        std::vector<std::string> names;
        if (host::ListFolder(folder, &names) != 0) {
            *error = "cannot list the folder " + folder +
                     " for files left by an earlier run: " + HostErrorText(errno);
            return false;
        }
        std::vector<std::string> found;
        for (const std::string& name : names) {
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            std::string path = folder;
            found.push_back(path.append("/").append(name));
        }
        for (const std::string& path : found) {
            if (host::Unlink(path) != 0) {
                *error =
                    "cannot remove " + path + ", left by an earlier run: " + HostErrorText(errno);
                return false;
            }
            removed->push_back(path);
        }
        if (!found.empty() && host::SyncFolder(folder) != 0) {
            *error = "cannot flush the folder " + folder + ": " + HostErrorText(errno);
            return false;
        }
    }
    return true;
}

// Something this run made on the host, removed again by a rollback.
struct Made {
    std::string path;
    bool folder = false;
};

// Makes a folder and adds it to *made.
bool MakeFolder(const std::string& folder, std::vector<Made>* made, std::string* error) {
    bool madeIt = false;
    bool ok = MakeFolderLikeItsParent(folder, &madeIt, error);
    if (madeIt) made->push_back({folder, true});
    return ok;
}

// Makes each folder of a path below base that does not exist yet.
bool MakeFolders(const std::string& base, const std::string& relative, std::vector<Made>* made,
                 std::string* error) {
    std::string folder = base;
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) break;  // the last part is the file
        folder += "/" + relative.substr(start, end - start);
        start = end + 1;
        bool exists = false;
        if (!PathExists(folder, &exists, error)) return false;
        if (!exists && !MakeFolder(folder, made, error)) return false;
    }
    return true;
}

// The names of everything --apply may write, for a refusal before any.
std::vector<std::string> TargetNames(platform::sim::Machine& machine,
                                     const MachineDescription& description) {
    std::vector<std::string> names;
    for (const auto& change : machine.Files().Changes()) names.push_back(change.path);
    for (const KeyDeletion& deletion : KeyDeletions(machine)) {
        if (deletion.deleted) {
            names.push_back("registry file " + description.registryFile);
            break;
        }
    }
    return names;
}

// A drive file on its way: written under its temporary name, then put in
// place, and put back as it was when a later step fails.
struct DriveStep {
    const DriveTarget* target = nullptr;
    std::string temporary;  // written, not yet renamed; empty when none
    std::string oldBytes;   // the replaced file's bytes (of the file a link names)
    std::string oldLink;    // the replaced symbolic link's contents
    bool placed = false;    // the target holds the new file, or is deleted
    bool rolledBack = false;
};

// Runs --apply in two stages, so that the machine ends as before or as
// after, never in between:
//  1. Everything that can fail while nothing is in place yet: the backups
//     of the files to replace, the folders to make, and every new file
//     (drive files, the edited registry file, the undo file) under its
//     temporary name, flushed.
//  2. The renames: every drive file, then the undo file, then the
//     registry file.
// When a step fails, whatever this run put in place is put back (a
// replaced file from its saved bytes, through a temporary file and a
// rename, with its owner and mode; a new file removed), and the
// temporary files, backups and folders this run made are removed. Only
// when that fails too does the machine hold a mix, and the report says
// which one, and where the backups are.
class Applier {
public:
    Applier(ApplyPlan& plan, const FileFingerprint* registryRead, ApplyReport* report)
        : plan_(plan), registryRead_(registryRead), report_(report) {}

    void Run() {
        for (const DriveTarget& target : plan_.drives) {
            DriveStep step;
            step.target = &target;
            steps_.push_back(step);
        }
        std::vector<std::string> folders;
        if (!plan_.registryReal.empty()) folders.push_back(FolderOf(plan_.registryReal));
        for (const DriveTarget& target : plan_.drives) {
            if (target.foldersToMake.empty()) folders.push_back(target.folder);
        }
        std::string error;
        bool ok = RemoveLeftovers(folders, &report_->removedLeftovers, &error) || Fail(error);
        ok = ok && Stage() && Commit();
        if (!ok) RollBack();
        Report(ok);
    }

private:
    // Stage 1: nothing the user has is changed yet.
    bool Stage() {
        // The new registry file and the undo file are made first, so that a
        // registry file changed since it was read is found before anything
        // else is written.
        if (plan_.WritesRegistry() && !PrepareRegistry()) return false;
        if (plan_.ReplacesFiles() && !SaveReplacedFiles()) return false;
        for (DriveStep& step : steps_) {
            if (!StageDriveFile(step)) return false;
        }
        return true;
    }

    // Stage 2: the renames, in the program's order.
    bool Commit() {
        for (DriveStep& step : steps_) {
            if (!PlaceDriveFile(step)) return false;
        }
        if (!plan_.WritesRegistry()) return true;
        // The last looks before the renames: the registry file must still
        // be the one read, or a change made to it meanwhile would be lost.
        const std::string& real = plan_.registryReal;
        std::string error;
        bool undoExists = false;
        if (!PathExists(plan_.undoFile, &undoExists, &error)) return Fail(error);
        if (undoExists) return Fail(plan_.undoFile + " appeared while --apply ran");
        if (!RegistryUnchanged()) return false;
        if (!Place(undoTemporary_, plan_.undoFile, &undoPlaced_)) return false;
        if (!RegistryUnchanged()) return false;
        return Place(registryTemporary_, real, &registryPlaced_);
    }

    // Whether the registry file is still the one read; a failure when not.
    bool RegistryUnchanged() {
        std::string error;
        if (Unchanged(plan_.registryReal, true, plan_.registryOld, &error)) return true;
        return Fail(error.empty() ? ChangedUnderUs() : error);
    }

    bool SaveReplacedFiles() {
        std::string error;
        if (!MakeFolder(plan_.backupFolder, &made_, &error)) return Fail(error);
        for (DriveStep& step : steps_) {
            const DriveTarget& target = *step.target;
            if (!target.exists) continue;
            std::string relative = BackupPath(target);
            std::string saved = plan_.backupFolder + "/" + relative;
            if (!MakeFolders(plan_.backupFolder, relative, &made_, &error) ||
                !ReadWhole(target.hostPath, &step.oldBytes, &error)) {
                return Fail(error);
            }
            struct stat saving = target.old;  // a link's backup is the file it names
            if (S_ISLNK(saving.st_mode)) {
                if (host::ReadLink(target.hostPath, &step.oldLink) != 0 ||
                    host::Stat(target.hostPath, &saving) != 0) {
                    return Fail("cannot save " + target.hostPath + ": " + HostErrorText(errno));
                }
            }
            std::string temporary =
                FolderOf(plan_.registryReal) + "/" + kTemporaryPrefix + "backup";
            if (!WriteBytesTemporary(temporary, step.oldBytes, OwnershipOf(saving), &error)) {
                return Fail(error);
            }
            temporaries_.push_back(temporary);
            Replaced replaced = Replace(temporary, saved, &error);
            if (replaced != Replaced::kNo) {
                Forget(temporary);
                made_.push_back({saved, false});
                backups_.push_back("backup of " + target.windowsPath + " (" + saved + ")");
            }
            if (replaced != Replaced::kYes) return Fail(error);
        }
        return true;
    }

    // C:\WINDOWS\inf\x.inf -> C/WINDOWS/inf/x.inf
    static std::string BackupPath(const DriveTarget& target) {
        std::string path = target.windowsPath;
        if (path.size() >= 3 && path[1] == ':') path.erase(1, 1);
        for (char& c : path) {
            if (c == '\\') c = '/';
        }
        return path;
    }

    bool StageDriveFile(DriveStep& step) {
        const DriveTarget& target = *step.target;
        std::string error;
        for (const std::string& folder : target.foldersToMake) {
            bool exists = false;
            if (!PathExists(folder, &exists, &error) ||
                (!exists && !MakeFolder(folder, &made_, &error))) {
                return Fail(error + " (for " + target.windowsPath + ")");
            }
        }
        if (target.deletion) return true;
        std::string temporary = TemporaryFor(target.hostPath);
        Ownership ownership;
        if (target.exists && S_ISREG(target.old.st_mode)) {
            ownership = OwnershipOf(target.old);
        } else if (!OwnershipForNewFileIn(target.folder, &ownership, &error)) {
            return Fail(target.windowsPath + " could not be written: " + error);
        }
        if (!WriteBytesTemporary(temporary, target.newBytes, ownership, &error)) {
            return Fail(target.windowsPath + " could not be written: " + error);
        }
        temporaries_.push_back(temporary);
        step.temporary = temporary;
        return true;
    }

    bool PlaceDriveFile(DriveStep& step) {
        const DriveTarget& target = *step.target;
        std::string error;
        if (!Unchanged(target.hostPath, target.exists, target.old, &error)) {
            if (!error.empty()) return Fail(error);
            return Fail(target.hostPath + " changed while --apply ran; it was not " +
                        (target.deletion ? "deleted" : "replaced"));
        }
        if (!target.deletion) return Place(step.temporary, target.hostPath, &step.placed);
        if (!target.exists) {
            step.placed = true;  // nothing there to delete
            return true;
        }
        if (host::Unlink(target.hostPath) != 0) {
            return Fail("cannot delete " + target.hostPath + ": " + HostErrorText(errno));
        }
        step.placed = true;  // deleted, if not yet for certain on the disk
        if (host::SyncFolder(target.folder) != 0) {
            return Fail(target.hostPath + " was deleted, but its folder could not be flushed " +
                        "to the disk: " + HostErrorText(errno));
        }
        return true;
    }

    // Renames a temporary file over its target; *placed tells whether the
    // target is now the new file.
    bool Place(const std::string& temporary, const std::string& target, bool* placed) {
        std::string error;
        Replaced replaced = Replace(temporary, target, &error);
        if (replaced != Replaced::kNo) {
            *placed = true;
            Forget(temporary);
        }
        return replaced == Replaced::kYes || Fail(error);
    }

    // Writes the edited registry file and the undo file to their
    // temporary files, checking that the registry file is still the one
    // read (identity, then the hash of every byte).
    bool PrepareRegistry() {
        const std::string& real = plan_.registryReal;
        int in = host::Open(real, O_RDONLY);
        if (in < 0) return Fail("cannot open " + real + ": " + HostErrorText(errno));
        struct stat info {};
        if (host::Fstat(in, &info, real) != 0) {
            Fail("cannot look at " + real + ": " + HostErrorText(errno));
            host::Close(in, real);
            return false;
        }
        if (!SameIdentity(IdentityOf(info), IdentityOf(plan_.registryOld))) {
            host::Close(in, real);
            return Fail(ChangedUnderUs());
        }
        std::string temporary = TemporaryFor(real);
        std::string removed, lineEnd, error;
        ContentHash hash;
        RegistrySectionFilter filter(plan_.deletedKeys, plan_.codePage);
        bool written = WriteTemporary(
            temporary, OwnershipOf(plan_.registryOld),
            [&](int out, std::string* failure) {
                return EditRegistryFile(in, real, out, temporary, &filter, &removed, &hash,
                                        &lineEnd, failure);
            },
            &error);
        if (host::Close(in, real) != 0 && written) {
            error = "cannot close " + real + ": " + HostErrorText(errno);
            host::Unlink(temporary);
            written = false;
        }
        if (!written) return Fail(error);
        temporaries_.push_back(temporary);
        registryTemporary_ = temporary;
        if (registryRead_ != nullptr && registryRead_->taken &&
            registryRead_->hash != hash.Value()) {
            return Fail(ChangedUnderUs());
        }
        std::string undoTemporary = TemporaryFor(plan_.undoFile);
        if (!WriteBytesTemporary(undoTemporary, UndoFileText(removed, UndoComments(), lineEnd),
                                 OwnershipOf(plan_.registryOld), &error)) {
            return Fail(error);
        }
        temporaries_.push_back(undoTemporary);
        undoTemporary_ = undoTemporary;
        return true;
    }

    // After a failure: puts back what this run put in place, then removes
    // its temporary files, and its backups and folders when nothing of the
    // run is left in place.
    void RollBack() {
        // The registry file is renamed last: once it is in place, so is
        // everything, and only the flush of its folder failed.
        if (!registryPlaced_) {
            if (undoPlaced_) {
                if (host::Unlink(plan_.undoFile) != 0) {
                    RollBackFailed("cannot remove " + plan_.undoFile + ": " + HostErrorText(errno));
                } else {
                    undoPlaced_ = false;
                    undoRolledBack_ = true;
                    if (host::SyncFolder(FolderOf(plan_.undoFile)) != 0) {
                        RollBackFailed(plan_.undoFile +
                                       " was removed, but its folder could not "
                                       "be flushed to the disk: " +
                                       HostErrorText(errno));
                    }
                }
            }
            for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
                if (step->placed) PutBack(*step);
            }
        }
        for (const std::string& temporary : temporaries_) {
            if (host::Unlink(temporary) != 0 && errno != ENOENT) {
                leftBehind_.push_back("the temporary file " + temporary +
                                      " (the next run removes it)");
            }
        }
        temporaries_.clear();
        if (AnythingPlaced()) return;  // the backups are needed now
        for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
            if ((made->folder ? host::Rmdir(made->path) : host::Unlink(made->path)) != 0 &&
                errno != ENOENT) {
                leftBehind_.push_back(made->path + ", made by this run (it cannot be removed: " +
                                      HostErrorText(errno) + ")");
            }
        }
        backupsRemoved_ = true;
    }

    // Puts one drive file back as it was: a replaced or deleted file from
    // its saved bytes (or link), a new file removed.
    void PutBack(DriveStep& step) {
        const DriveTarget& target = *step.target;
        if (target.deletion && !target.exists) {
            step.placed = false;
            return;
        }
        std::string error;
        if (!target.exists) {
            if (host::Unlink(target.hostPath) != 0 && errno != ENOENT) {
                RollBackFailed("cannot remove " + target.hostPath + ": " + HostErrorText(errno));
                return;
            }
            step.placed = false;
            step.rolledBack = true;
            if (host::SyncFolder(target.folder) != 0) {
                RollBackFailed(target.hostPath + " was removed, but its folder could not be " +
                               "flushed to the disk: " + HostErrorText(errno));
            }
            return;
        }
        std::string temporary = TemporaryFor(target.hostPath);
        if (!WriteOld(step, temporary, &error)) {
            RollBackFailed(target.hostPath + " could not be put back: " + error);
            return;
        }
        Replaced replaced = Replace(temporary, target.hostPath, &error);
        if (replaced == Replaced::kNo) {
            temporaries_.push_back(temporary);
            RollBackFailed(target.hostPath + " could not be put back: " + error);
            return;
        }
        step.placed = false;
        step.rolledBack = true;
        if (replaced == Replaced::kNotFlushed) RollBackFailed(error);
    }

    // The replaced file under a temporary name: the link, or the bytes
    // with the old owner and mode.
    bool WriteOld(const DriveStep& step, const std::string& temporary, std::string* error) {
        const DriveTarget& target = *step.target;
        if (!S_ISLNK(target.old.st_mode)) {
            return WriteBytesTemporary(temporary, step.oldBytes, OwnershipOf(target.old), error);
        }
        if (host::Symlink(step.oldLink, temporary) != 0) {
            *error = "cannot make the link " + temporary + ": " + HostErrorText(errno);
            return false;
        }
        if (host::EffectiveUser() == 0 &&
            host::Lchown(temporary, target.old.st_uid, target.old.st_gid) != 0) {
            *error = "cannot give the link " + temporary + " its owner: " + HostErrorText(errno);
            host::Unlink(temporary);
            return false;
        }
        return true;
    }

    void Forget(const std::string& temporary) {
        for (auto it = temporaries_.begin(); it != temporaries_.end(); ++it) {
            if (*it == temporary) {
                temporaries_.erase(it);
                return;
            }
        }
    }

    bool AnythingPlaced() const {
        if (undoPlaced_ || registryPlaced_) return true;
        for (const DriveStep& step : steps_) {
            if (step.placed) return true;
        }
        return false;
    }

    std::string ChangedUnderUs() const {
        return "the registry file " + plan_.registryReal +
               " changed after it was read (another program wrote it); it was not rewritten, "
               "run again";
    }

    std::vector<std::string> UndoComments() const {
        std::vector<std::string> comments = {
            "Written by kestrow-sim --apply: importing this file with regedit puts back the",
            "keys it removed from " + plan_.registryReal + "."};
        if (plan_.ReplacesFiles()) {
            comments.push_back("The drive files it replaced are kept in " + plan_.backupFolder +
                               " (a folder per drive letter).");
        }
        std::string added;
        for (const DriveTarget& target : plan_.drives) {
            if (!target.exists && !target.deletion) added += " " + target.windowsPath;
        }
        if (!added.empty()) comments.push_back("Files it added:" + added);
        return comments;
    }

    // Keeps the first failure; the rest of the run is the rollback.
    bool Fail(const std::string& error) {
        if (failure_.empty()) failure_ = error;
        return false;
    }

    void RollBackFailed(const std::string& error) { rollBackFailures_.push_back(error); }

    // Fills the report from what is on the disk now.
    void Report(bool ok) {
        report_->ok = ok;
        if (!backupsRemoved_) report_->written = backups_;
        auto add = [&](const std::string& name, bool placed, bool rolledBack) {
            if (placed) {
                report_->written.push_back(name);
            } else {
                (rolledBack ? report_->rolledBack : report_->notWritten).push_back(name);
            }
        };
        for (const DriveStep& step : steps_) {
            add(plan_.DriveName(*step.target), step.placed, step.rolledBack);
        }
        if (plan_.WritesRegistry()) {
            add("undo file " + plan_.undoFile, undoPlaced_, undoRolledBack_);
            add(plan_.RegistryName(), registryPlaced_, false);
        }
        if (ok) return;
        report_->error = failure_;
        if (!rollBackFailures_.empty()) {
            report_->error += "; putting back what was written failed too:";
            for (const std::string& failure : rollBackFailures_) report_->error += " " + failure;
        }
        report_->machineState = MachineState();
    }

    std::string MachineState() const {
        std::string state;
        std::size_t drivesPlaced = 0;
        for (const DriveStep& step : steps_) drivesPlaced += step.placed ? 1 : 0;
        if (!AnythingPlaced()) {
            state = report_->rolledBack.empty()
                        ? "everything as it was (nothing was written)"
                        : "everything as it was (what was written has been rolled back)";
        } else {
            if (drivesPlaced == 0) {
                state = "every drive file as it was; ";
            } else if (drivesPlaced < steps_.size()) {
                state =
                    "the new version of each drive file listed as written and the old version "
                    "of the others; ";
            } else {
                state = "every new drive file; ";
            }
            if (!plan_.WritesRegistry()) {
                state += "the registry file unchanged (no key was deleted)";
            } else if (registryPlaced_) {
                state += "the registry file without the deleted key, and the undo file " +
                         plan_.undoFile;
            } else if (undoPlaced_) {
                state +=
                    "the registry file unchanged (the deleted key is still in it), and the "
                    "undo file " +
                    plan_.undoFile + " for a rewrite that did not happen";
            } else {
                state += "the registry file unchanged (the deleted key is still in it)";
            }
        }
        if (!backupsRemoved_ && !backups_.empty()) {
            state += "; copies of the replaced files in " + plan_.backupFolder;
        }
        for (const std::string& left : leftBehind_) state += "; " + left;
        return state;
    }

    ApplyPlan& plan_;
    const FileFingerprint* registryRead_;
    ApplyReport* report_;
    std::vector<DriveStep> steps_;
    std::vector<std::string> temporaries_;  // written, not yet renamed
    std::vector<Made> made_;                // folders and backups, in the order made
    std::vector<std::string> backups_;      // their names in the report
    bool backupsRemoved_ = false;
    std::string registryTemporary_;
    std::string undoTemporary_;
    bool undoPlaced_ = false;
    bool registryPlaced_ = false;
    bool undoRolledBack_ = false;
    std::string failure_;
    std::vector<std::string> rollBackFailures_;
    std::vector<std::string> leftBehind_;
};

}  // namespace

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

ApplyReport ApplyChanges(platform::sim::Machine& machine, platform::sim::RegistryTree& before,
                         const MachineDescription& description,
                         const FileFingerprint* registryRead) {
    ApplyReport applied;
    ApplyPlan plan;
    std::string error;
    FileFingerprint notTaken;
    if (!PlanApply(machine, before, description, registryRead ? *registryRead : notTaken, &plan,
                   &error)) {
        applied.ok = false;
        applied.error = error;
        applied.notWritten = TargetNames(machine, description);
        applied.machineState = "everything as it was (nothing was written)";
        return applied;
    }
    Applier(plan, registryRead, &applied).Run();
    return applied;
}

}  // namespace kestrow_sim
