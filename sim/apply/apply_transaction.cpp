#include "sim/apply/apply_transaction.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "sim/apply/apply_file_names.h"
#include "sim/apply/apply_outcome.h"
#include "sim/apply/registry_file_edit.h"
#include "sim/host/atomic_file.h"
#include "sim/host/host_files.h"
#include "sim/host/host_paths.h"

namespace kestrow_sim {

bool ApplyProgress::AnythingPlaced() const {
    if (undoPlaced || registryPlaced) return true;
    for (const DriveStep& step : steps) {
        if (step.placed) return true;
    }
    return false;
}

ApplyTransaction::ApplyTransaction(const ApplyPlan& plan, const FileFingerprint* registryRead)
    : plan_(plan), registryRead_(registryRead) {
    for (const DriveTarget& target : plan_.drives) {
        DriveStep step;
        step.target = &target;
        progress_.steps.push_back(step);
    }
}

bool ApplyTransaction::Run() {
    if (Stage() && Commit()) return true;
    RollBack();
    return false;
}

// --- Stage --------------------------------------------------------------------

bool ApplyTransaction::Stage() {
    if (state_ != State::kPlanned) return Fail("internal: --apply staged twice");
    // The new registry file and the undo file are made first, so that a
    // registry file changed since it was read is found before anything
    // else is written.
    bool ok = RemoveLeftovers() && (!plan_.WritesRegistry() || PrepareRegistry()) &&
              (!plan_.ReplacesFiles() || SaveReplacedFiles());
    for (auto step = progress_.steps.begin(); ok && step != progress_.steps.end(); ++step) {
        ok = StageDriveFile(*step);
    }
    if (ok) state_ = State::kStaged;
    return ok;
}

// Removes the temporary files a killed run left in the folders written to.
bool ApplyTransaction::RemoveLeftovers() {
    std::vector<std::string> folders;
    if (!plan_.registryReal.empty()) folders.push_back(FolderOf(plan_.registryReal));
    for (const DriveTarget& target : plan_.drives) {
        if (target.foldersToMake.empty()) folders.push_back(target.folder);
    }
    std::string error;
    for (auto folder = folders.begin(); folder != folders.end(); ++folder) {
        if (std::find(folders.begin(), folder, *folder) != folder) continue;  // seen
        std::vector<std::string> names;
        if (host::ListFolder(*folder, &names) != 0) {
            return Fail("cannot list the folder " + *folder +
                        " for files left by an earlier run: " + HostErrorText(errno));
        }
        std::vector<std::string> found;
        for (const std::string& name : names) {
            if (!IsLeftoverName(name)) continue;
            std::string path = *folder;
            found.push_back(path.append("/").append(name));
        }
        for (const std::string& path : found) {
            if (host::Unlink(path) != 0) {
                return Fail("cannot remove " + path +
                            ", left by an earlier run: " + HostErrorText(errno));
            }
            progress_.removedLeftovers.push_back(path);
        }
        if (!found.empty() && host::SyncFolder(*folder) != 0) {
            return Fail("cannot flush the folder " + *folder + ": " + HostErrorText(errno));
        }
    }
    return true;
}

// Writes the edited registry file and the undo file to their temporary
// files, checking that the registry file is still the one read (identity,
// then the hash of every byte).
bool ApplyTransaction::PrepareRegistry() {
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
            return EditRegistryFile(in, real, out, temporary, &filter, &removed, &hash, &lineEnd,
                                    failure);
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
    if (registryRead_ != nullptr && registryRead_->taken && registryRead_->hash != hash.Value()) {
        return Fail(ChangedUnderUs());
    }
    std::string undoTemporary = TemporaryFor(plan_.undoFile);
    if (!WriteBytesTemporary(undoTemporary, UndoFileText(removed, UndoComments(plan_), lineEnd),
                             OwnershipOf(plan_.registryOld), &error)) {
        return Fail(error);
    }
    temporaries_.push_back(undoTemporary);
    undoTemporary_ = undoTemporary;
    return true;
}

bool ApplyTransaction::SaveReplacedFiles() {
    std::string error;
    if (!MakeFolder(plan_.backupFolder, &error)) return Fail(error);
    for (DriveStep& step : progress_.steps) {
        const DriveTarget& target = *step.target;
        if (!target.exists) continue;
        std::string relative = BackupPath(target.windowsPath);
        std::string saved = plan_.backupFolder + "/" + relative;
        if (!MakeFolders(plan_.backupFolder, relative, &error) ||
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
        std::string temporary = BackupTemporaryIn(FolderOf(plan_.registryReal));
        if (!WriteBytesTemporary(temporary, step.oldBytes, OwnershipOf(saving), &error)) {
            return Fail(error);
        }
        temporaries_.push_back(temporary);
        Replaced replaced = Replace(temporary, saved, &error);
        if (replaced != Replaced::kNo) {
            Forget(temporary);
            made_.push_back({saved, false});
            step.backup = saved;
        }
        if (replaced != Replaced::kYes) return Fail(error);
    }
    return true;
}

bool ApplyTransaction::StageDriveFile(DriveStep& step) {
    const DriveTarget& target = *step.target;
    std::string error;
    for (const std::string& folder : target.foldersToMake) {
        bool exists = false;
        if (!PathExists(folder, &exists, &error) || (!exists && !MakeFolder(folder, &error))) {
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

// Makes a folder and keeps it for a rollback to remove.
bool ApplyTransaction::MakeFolder(const std::string& folder, std::string* error) {
    bool made = false;
    bool ok = MakeFolderLikeItsParent(folder, &made, error);
    if (made) made_.push_back({folder, true});
    return ok;
}

// Makes each folder of a path below base that does not exist yet.
bool ApplyTransaction::MakeFolders(const std::string& base, const std::string& relative,
                                   std::string* error) {
    std::string folder = base;
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) break;  // the last part is the file
        folder += "/" + relative.substr(start, end - start);
        start = end + 1;
        bool exists = false;
        if (!PathExists(folder, &exists, error)) return false;
        if (!exists && !MakeFolder(folder, error)) return false;
    }
    return true;
}

// --- Commit -------------------------------------------------------------------

bool ApplyTransaction::Commit() {
    if (state_ != State::kStaged) return Fail("internal: --apply committed before staging");
    for (DriveStep& step : progress_.steps) {
        if (!PlaceDriveFile(step)) return false;
    }
    if (plan_.WritesRegistry()) {
        // The last looks before the renames: the registry file must still
        // be the one read, or a change made to it meanwhile would be lost.
        std::string error;
        bool undoExists = false;
        if (!PathExists(plan_.undoFile, &undoExists, &error)) return Fail(error);
        if (undoExists) return Fail(plan_.undoFile + " appeared while --apply ran");
        if (!RegistryUnchanged()) return false;
        if (!Place(undoTemporary_, plan_.undoFile, &progress_.undoPlaced)) return false;
        if (!RegistryUnchanged()) return false;
        if (!Place(registryTemporary_, plan_.registryReal, &progress_.registryPlaced)) {
            return false;
        }
    }
    state_ = State::kCommitted;
    return true;
}

bool ApplyTransaction::PlaceDriveFile(DriveStep& step) {
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
bool ApplyTransaction::Place(const std::string& temporary, const std::string& target,
                             bool* placed) {
    std::string error;
    Replaced replaced = Replace(temporary, target, &error);
    if (replaced != Replaced::kNo) {
        *placed = true;
        Forget(temporary);
    }
    return replaced == Replaced::kYes || Fail(error);
}

// Whether the registry file is still the one read; a failure when not.
bool ApplyTransaction::RegistryUnchanged() {
    std::string error;
    if (Unchanged(plan_.registryReal, true, plan_.registryOld, &error)) return true;
    return Fail(error.empty() ? ChangedUnderUs() : error);
}

// --- RollBack -----------------------------------------------------------------

// Puts back what this run put in place, then removes its temporary files,
// and its backups and folders when nothing of the run is left in place.
void ApplyTransaction::RollBack() {
    if (state_ != State::kFailed) return;
    state_ = State::kRolledBack;
    // The registry file is renamed last: once it is in place, so is
    // everything, and only the flush of its folder failed.
    if (!progress_.registryPlaced) {
        if (progress_.undoPlaced) {
            if (host::Unlink(plan_.undoFile) != 0) {
                RollBackFailed("cannot remove " + plan_.undoFile + ": " + HostErrorText(errno));
            } else {
                progress_.undoPlaced = false;
                progress_.undoRolledBack = true;
                if (host::SyncFolder(FolderOf(plan_.undoFile)) != 0) {
                    RollBackFailed(plan_.undoFile +
                                   " was removed, but its folder could not "
                                   "be flushed to the disk: " +
                                   HostErrorText(errno));
                }
            }
        }
        for (auto step = progress_.steps.rbegin(); step != progress_.steps.rend(); ++step) {
            if (step->placed) PutBack(*step);
        }
    }
    for (const std::string& temporary : temporaries_) {
        if (host::Unlink(temporary) != 0 && errno != ENOENT) {
            progress_.leftBehind.push_back("the temporary file " + temporary +
                                           " (the next run removes it)");
        }
    }
    temporaries_.clear();
    if (progress_.AnythingPlaced()) return;  // the backups are needed now
    for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
        if ((made->folder ? host::Rmdir(made->path) : host::Unlink(made->path)) != 0 &&
            errno != ENOENT) {
            progress_.leftBehind.push_back(
                made->path + ", made by this run (it cannot be removed: " + HostErrorText(errno) +
                ")");
        }
    }
    progress_.backupsRemoved = true;
}

// Puts one drive file back as it was: a replaced or deleted file from its
// saved bytes (or link), a new file removed.
void ApplyTransaction::PutBack(DriveStep& step) {
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

// The replaced file under a temporary name: the link, or the bytes with
// the old owner and mode.
bool ApplyTransaction::WriteOld(const DriveStep& step, const std::string& temporary,
                                std::string* error) {
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

// --- Helpers ------------------------------------------------------------------

void ApplyTransaction::Forget(const std::string& temporary) {
    auto found = std::find(temporaries_.begin(), temporaries_.end(), temporary);
    if (found != temporaries_.end()) temporaries_.erase(found);
}

std::string ApplyTransaction::ChangedUnderUs() const {
    return "the registry file " + plan_.registryReal +
           " changed after it was read (another program wrote it); it was not rewritten, "
           "run again";
}

// Keeps the first failure; what follows is the rollback.
bool ApplyTransaction::Fail(const std::string& error) {
    if (progress_.failure.empty()) progress_.failure = error;
    if (state_ == State::kPlanned || state_ == State::kStaged) state_ = State::kFailed;
    return false;
}

void ApplyTransaction::RollBackFailed(const std::string& error) {
    progress_.rollBackFailures.push_back(error);
}

}  // namespace kestrow_sim
