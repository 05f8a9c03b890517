#include "sim/apply_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "sim/apply_plan.h"
#include "sim/host_files.h"
#include "sim/key_deletions.h"
#include "sim/registry_file_edit.h"

namespace kestrow_sim {

namespace {

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TemporaryFor(const std::string& path) {
    return FolderOf(path) + "/" + kTemporaryPrefix + BaseName(path);
}

// Owner, group and mode a written file gets.
struct Ownership {
    bool keepOwner = false;  // give the file owner and group (as root)
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0644;
};

Ownership OwnershipOf(const struct stat& info) {
    Ownership ownership;
    ownership.owner = info.st_uid;
    ownership.group = info.st_gid;
    ownership.mode = info.st_mode & 07777;
    ownership.keepOwner = true;
    return ownership;
}

// A new file in a folder: as root, it goes to the folder's owner.
Ownership OwnershipForNewFileIn(const std::string& folder) {
    Ownership ownership;
    struct stat info {};
    if (::geteuid() == 0 && ::stat(folder.c_str(), &info) == 0) {
        ownership.owner = info.st_uid;
        ownership.group = info.st_gid;
        ownership.keepOwner = true;
    }
    return ownership;
}

// Writes a temporary file beside a target: open, write, owner and mode,
// fsync, close. The writer gets the open descriptor. On failure the
// temporary file is removed and *error says why.
template <class Writer>
bool WriteTemporary(const std::string& temporary, const Ownership& ownership, Writer&& write,
                    std::string* error) {
    int fd = host::Open(temporary, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        *error = "cannot create " + temporary + ": " + HostErrorText(errno);
        return false;
    }
    std::string failure;
    auto fail = [&](const std::string& what) {
        failure = what + " " + temporary + ": " + HostErrorText(errno);
        return false;
    };
    bool ok = write(fd, &failure);
    if (ok && ownership.keepOwner) {
        bool root = ::geteuid() == 0;
        uid_t owner = root ? ownership.owner : static_cast<uid_t>(-1);
        struct stat info {};
        bool differs = ::fstat(fd, &info) != 0 || info.st_gid != ownership.group || root;
        if (differs && host::Fchown(fd, owner, ownership.group, temporary) != 0) {
            ok = fail("cannot give the owner and group of the file it replaces to");
        }
    }
    if (ok && host::Fchmod(fd, ownership.mode, temporary) != 0) ok = fail("cannot set the mode of");
    if (ok && host::Fsync(fd, temporary) != 0) ok = fail("cannot flush");
    if (host::Close(fd, temporary) != 0 && ok) ok = fail("cannot close");
    if (!ok) {
        host::Unlink(temporary);
        *error = failure;
    }
    return ok;
}

bool WriteBytesTemporary(const std::string& temporary, std::string_view bytes,
                         const Ownership& ownership, std::string* error) {
    return WriteTemporary(
        temporary, ownership,
        [&](int fd, std::string* failure) {
            if (host::WriteAll(fd, bytes, temporary)) return true;
            *failure = "cannot write " + temporary + ": " + HostErrorText(errno);
            return false;
        },
        error);
}

bool ReadWhole(const std::string& path, std::string* bytes, std::string* error) {
    int fd = host::Open(path, O_RDONLY);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + HostErrorText(errno);
        return false;
    }
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = host::Read(fd, buffer, sizeof buffer, path);
        if (got < 0) {
            *error = "cannot read " + path + ": " + HostErrorText(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        bytes->append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return true;
}

enum class Replaced { kNo, kYes, kNotFlushed };

// Renames the temporary file over the target and flushes the folder. Once
// renamed, the target is the new file even when the folder cannot be
// flushed (kNotFlushed, with *error saying so).
Replaced Replace(const std::string& temporary, const std::string& target, std::string* error) {
    if (host::Rename(temporary, target) != 0) {
        *error = "cannot rename " + temporary + " to " + target + ": " + HostErrorText(errno);
        host::Unlink(temporary);
        return Replaced::kNo;
    }
    if (host::SyncFolder(FolderOf(target)) != 0) {
        *error = target + " was written, but its folder could not be flushed to the disk: " +
                 HostErrorText(errno);
        return Replaced::kNotFlushed;
    }
    return Replaced::kYes;
}

// Whether the file at path is still the one planned (or still absent).
bool Unchanged(const std::string& path, bool existed, const struct stat& old) {
    struct stat now {};
    if (::lstat(path.c_str(), &now) != 0) return !existed && errno == ENOENT;
    return existed && SameIdentity(IdentityOf(now), IdentityOf(old));
}

// Removes the temporary files a killed run left in the folders written to.
bool RemoveLeftovers(const std::vector<std::string>& folders, std::vector<std::string>* removed,
                     std::string* error) {
    const std::string prefix = ".kestrow-tmp";  // also the older .kestrow-tmp-XXXXXX
    for (const std::string& folder : folders) {
        std::vector<std::string> found;
        if (DIR* listing = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(listing)) {
                std::string name = entry->d_name;
                if (name.compare(0, prefix.size(), prefix) == 0) {
                    std::string path = folder;
                    path.append("/").append(name);
                    found.push_back(std::move(path));
                }
            }
            ::closedir(listing);
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

// Makes a folder. As root, it goes to the owner of the folder it is in, so
// that the user whose files these are can remove it.
bool MakeFolder(const std::string& folder, std::string* error) {
    if (host::Mkdir(folder, 0755) != 0) {
        *error = "cannot make the folder " + folder + ": " + HostErrorText(errno);
        return false;
    }
    struct stat parent {};
    if (::geteuid() == 0 && ::stat(FolderOf(folder).c_str(), &parent) == 0 &&
        host::Chown(folder, parent.st_uid, parent.st_gid) != 0) {
        *error = "cannot give the folder " + folder + " to the owner of " + FolderOf(folder) +
                 ": " + HostErrorText(errno);
        return false;
    }
    return true;
}

// Makes each folder of a path below base that does not exist yet.
bool MakeFolders(const std::string& base, const std::string& relative, std::string* error) {
    std::string folder = base;
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) break;  // the last part is the file
        folder += "/" + relative.substr(start, end - start);
        start = end + 1;
        if (!Exists(folder) && !MakeFolder(folder, error)) return false;
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

class Applier {
public:
    Applier(ApplyPlan& plan, const FileFingerprint* registryRead, ApplyReport* report)
        : plan_(plan), registryRead_(registryRead), report_(report) {}

    bool Run() {
        for (const DriveTarget& target : plan_.drives) pending_.push_back(plan_.DriveName(target));
        if (plan_.WritesRegistry()) {
            pending_.push_back("undo file " + plan_.undoFile);
            pending_.push_back(plan_.RegistryName());
        }
        std::vector<std::string> folders;
        if (!plan_.registryReal.empty()) folders.push_back(FolderOf(plan_.registryReal));
        for (const DriveTarget& target : plan_.drives) {
            if (target.foldersToMake.empty()) folders.push_back(target.folder);
        }
        std::string error;
        if (!RemoveLeftovers(folders, &report_->removedLeftovers, &error)) return Fail(error);
        // The new registry file and the undo file are made first, under
        // their temporary names, so that a registry file changed since it
        // was read is found before any drive file is touched; they take
        // their places only after every drive file has.
        if (plan_.WritesRegistry() && !PrepareRegistry()) return false;
        bool ok = (!plan_.ReplacesFiles() || SaveReplacedFiles());
        for (std::size_t i = 0; ok && i < plan_.drives.size(); ++i) {
            ok = WriteDriveFile(plan_.drives[i]);
        }
        if (!ok) {
            DropRegistryTemporaries();
            return false;
        }
        return !plan_.WritesRegistry() || CommitRegistry();
    }

private:
    bool SaveReplacedFiles() {
        std::string error;
        if (!MakeFolder(plan_.backupFolder, &error)) return Fail(error);
        for (const DriveTarget& target : plan_.drives) {
            if (!target.exists) continue;
            std::string relative = BackupPath(target);
            std::string saved = plan_.backupFolder + "/" + relative;
            std::string bytes;
            if (!MakeFolders(plan_.backupFolder, relative, &error) ||
                !ReadWhole(target.hostPath, &bytes, &error)) {
                return Fail(error);
            }
            std::string temporary =
                FolderOf(plan_.registryReal) + "/" + kTemporaryPrefix + "backup";
            struct stat saving = target.old;  // a link's backup is the file it names
            if (S_ISLNK(saving.st_mode) && ::stat(target.hostPath.c_str(), &saving) != 0) {
                return Fail("cannot save " + target.hostPath + ": " + HostErrorText(errno));
            }
            if (!WriteBytesTemporary(temporary, bytes, OwnershipOf(saving), &error)) {
                return Fail(error);
            }
            Replaced replaced = Replace(temporary, saved, &error);
            if (replaced != Replaced::kNo) {
                report_->written.push_back("backup of " + target.windowsPath + " (" + saved + ")");
            }
            if (replaced != Replaced::kYes) return Fail(error);
        }
        return true;
    }

    // C:\WINDOWS\inf\x.inf -> C/WINDOWS/inf/x.inf
    static std::string BackupPath(const DriveTarget& target) {
        std::string path = target.windowsPath;
        if (path.size() >= 3 && path[1] == ':') path = path.substr(0, 1) + path.substr(2);
        for (char& c : path) {
            if (c == '\\') c = '/';
        }
        return path;
    }

    bool WriteDriveFile(const DriveTarget& target) {
        std::string error;
        for (const std::string& folder : target.foldersToMake) {
            if (Exists(folder)) continue;
            if (!MakeFolder(folder, &error))
                return Fail(error + " (for " + target.windowsPath + ")");
        }
        if (target.deletion) {
            if (host::Unlink(target.hostPath) != 0 && errno != ENOENT) {
                return Fail("cannot delete " + target.hostPath + ": " + HostErrorText(errno));
            }
            if (host::SyncFolder(target.folder) != 0) {
                Done();  // deleted, if not yet for certain on the disk
                return Fail(target.hostPath +
                            " was deleted, but its folder could not be flushed "
                            "to the disk: " +
                            HostErrorText(errno));
            }
            return Done();
        }
        std::string temporary = TemporaryFor(target.hostPath);
        Ownership ownership = target.exists && S_ISREG(target.old.st_mode)
                                  ? OwnershipOf(target.old)
                                  : OwnershipForNewFileIn(target.folder);
        if (!WriteBytesTemporary(temporary, target.newBytes, ownership, &error)) {
            return Fail(target.windowsPath + " could not be written: " + error);
        }
        if (!Unchanged(target.hostPath, target.exists, target.old)) {
            host::Unlink(temporary);
            return Fail(target.hostPath + " changed while --apply ran; it was not replaced");
        }
        return Finish(Replace(temporary, target.hostPath, &error), error);
    }

    // Writes the edited registry file and the undo file to their
    // temporary files, checking that the registry file is still the one
    // read (identity, then the hash of every byte).
    bool PrepareRegistry() {
        const std::string& real = plan_.registryReal;
        int in = host::Open(real, O_RDONLY);
        if (in < 0) return Fail("cannot open " + real + ": " + HostErrorText(errno));
        struct stat info {};
        if (::fstat(in, &info) != 0 ||
            !SameIdentity(IdentityOf(info), IdentityOf(plan_.registryOld))) {
            ::close(in);
            return Fail(ChangedUnderUs());
        }
        registryTemporary_ = TemporaryFor(real);
        std::string removed, lineEnd, error;
        ContentHash hash;
        RegistrySectionFilter filter(plan_.deletedKeys, plan_.codePage);
        bool written = WriteTemporary(
            registryTemporary_, OwnershipOf(plan_.registryOld),
            [&](int out, std::string* failure) {
                return EditRegistryFile(in, real, out, registryTemporary_, &filter, &removed, &hash,
                                        &lineEnd, failure);
            },
            &error);
        ::close(in);
        if (!written) {
            registryTemporary_.clear();
            return Fail(error);
        }
        if (registryRead_ != nullptr && registryRead_->taken &&
            registryRead_->hash != hash.Value()) {
            DropRegistryTemporaries();
            return Fail(ChangedUnderUs());
        }
        std::string undoTemporary = TemporaryFor(plan_.undoFile);
        if (!WriteBytesTemporary(undoTemporary, UndoFileText(removed, UndoComments(), lineEnd),
                                 OwnershipOf(plan_.registryOld), &error)) {
            DropRegistryTemporaries();
            return Fail(error);
        }
        undoTemporary_ = undoTemporary;
        return true;
    }

    void DropRegistryTemporaries() {
        if (!registryTemporary_.empty()) host::Unlink(registryTemporary_);
        if (!undoTemporary_.empty()) host::Unlink(undoTemporary_);
        registryTemporary_.clear();
        undoTemporary_.clear();
    }

    // Puts the undo file and then the registry file in place.
    bool CommitRegistry() {
        // The last look before the rename: the registry file must still be
        // the one read, or a change made to it meanwhile would be lost.
        const std::string& real = plan_.registryReal;
        if (!Unchanged(real, true, plan_.registryOld) || Exists(plan_.undoFile)) {
            DropRegistryTemporaries();
            return Fail(Exists(plan_.undoFile) ? plan_.undoFile + " appeared while --apply ran"
                                               : ChangedUnderUs());
        }
        std::string error;
        if (!Finish(Replace(undoTemporary_, plan_.undoFile, &error), error)) {
            undoTemporary_.clear();
            DropRegistryTemporaries();
            return false;
        }
        undoTemporary_.clear();
        bool ok = Finish(Replace(registryTemporary_, real, &error), error);
        registryTemporary_.clear();
        return ok;
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

    // Records a replaced target as written; a failure after the rename
    // still fails the run.
    bool Finish(Replaced replaced, const std::string& error) {
        if (replaced != Replaced::kNo) Done();
        return replaced == Replaced::kYes || Fail(error);
    }

    bool Done() {
        report_->written.push_back(pending_[done_++]);
        return true;
    }

    bool Fail(const std::string& error) {
        report_->ok = false;
        report_->error = error;
        report_->notWritten.assign(pending_.begin() + static_cast<long>(done_), pending_.end());
        std::size_t drivesDone = std::min(done_, plan_.drives.size());
        std::string state;
        if (drivesDone == 0) {
            state = "every drive file as it was; ";
        } else if (drivesDone < plan_.drives.size()) {
            state =
                "the new version of each drive file listed as written and the old version of "
                "the others; ";
        } else {
            state = "every new drive file; ";
        }
        std::size_t undoAt = plan_.drives.size();  // then the registry file
        if (!plan_.WritesRegistry()) {
            state += "the registry file unchanged (no key was deleted)";
        } else if (done_ <= undoAt) {
            state += "the registry file unchanged (the deleted key is still in it)";
        } else if (done_ == undoAt + 1) {
            state +=
                "the registry file unchanged (the deleted key is still in it), and the "
                "undo file " +
                plan_.undoFile + " for a rewrite that did not happen";
        } else {
            state +=
                "the registry file without the deleted key, and the undo file " + plan_.undoFile;
        }
        if (!report_->written.empty() && report_->written.front().rfind("backup of ", 0) == 0) {
            state += "; copies of the replaced files in " + plan_.backupFolder;
        }
        report_->machineState = state;
        return false;
    }

    ApplyPlan& plan_;
    const FileFingerprint* registryRead_;
    ApplyReport* report_;
    std::vector<std::string> pending_;
    std::size_t done_ = 0;
    std::string registryTemporary_;  // made, not yet in place
    std::string undoTemporary_;
};

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
    for (int number = 2; Exists(name) || Exists(BackupFolderName(name)); ++number) {
        name = stem + ".undo-" + std::to_string(number) + ".reg";
    }
    return name;
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
