#include "sim/host/atomic_file.h"

#include <fcntl.h>

#include <cerrno>

#include "sim/host/host_files.h"
#include "sim/host/host_paths.h"

namespace kestrow_sim {

Ownership OwnershipOf(const struct stat& info) {
    Ownership ownership;
    ownership.owner = info.st_uid;
    ownership.group = info.st_gid;
    ownership.mode = info.st_mode & 07777;
    ownership.keepOwner = true;
    return ownership;
}

bool OwnershipForNewFileIn(const std::string& folder, Ownership* ownership, std::string* error) {
    *ownership = Ownership();
    if (host::EffectiveUser() != 0) return true;
    struct stat info {};
    if (host::Stat(folder, &info) != 0) {
        *error = "cannot look at the folder " + folder + ": " + HostErrorText(errno);
        return false;
    }
    ownership->owner = info.st_uid;
    ownership->group = info.st_gid;
    ownership->keepOwner = true;
    return true;
}

bool WriteTemporary(const std::string& temporary, const Ownership& ownership,
                    const ContentsWriter& write, std::string* error) {
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
        bool root = host::EffectiveUser() == 0;
        uid_t owner = root ? ownership.owner : static_cast<uid_t>(-1);
        struct stat info {};
        if (host::Fstat(fd, &info, temporary) != 0) {
            ok = fail("cannot look at");
        } else if ((info.st_gid != ownership.group || root) &&
                   host::Fchown(fd, owner, ownership.group, temporary) != 0) {
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

Replaced Replace(const std::string& temporary, const std::string& target, std::string* error) {
    if (host::Rename(temporary, target) != 0) {
        *error = "cannot rename " + temporary + " to " + target + ": " + HostErrorText(errno);
        return Replaced::kNo;
    }
    if (host::SyncFolder(FolderOf(target)) != 0) {
        *error = target + " was written, but its folder could not be flushed to the disk: " +
                 HostErrorText(errno);
        return Replaced::kNotFlushed;
    }
    return Replaced::kYes;
}

bool WriteFileAtomically(const std::string& target, const std::string& temporary,
                         const ContentsWriter& write, std::string* error) {
    Ownership ownership;
    struct stat old {};
    if (host::Stat(target, &old) == 0) {
        ownership = OwnershipOf(old);
    } else if (errno != ENOENT) {
        *error = "cannot look at " + target + ": " + HostErrorText(errno);
        return false;
    }
    if (!WriteTemporary(temporary, ownership, write, error)) return false;
    Replaced replaced = Replace(temporary, target, error);
    if (replaced == Replaced::kNo) host::Unlink(temporary);
    return replaced == Replaced::kYes;
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
            host::Close(fd, path);
            return false;
        }
        if (got == 0) break;
        bytes->append(buffer, static_cast<std::size_t>(got));
    }
    if (host::Close(fd, path) != 0) {
        *error = "cannot close " + path + ": " + HostErrorText(errno);
        return false;
    }
    return true;
}

bool MakeFolderLikeItsParent(const std::string& folder, bool* made, std::string* error) {
    *made = false;
    if (host::Mkdir(folder, 0755) != 0) {
        *error = "cannot make the folder " + folder + ": " + HostErrorText(errno);
        return false;
    }
    *made = true;
    if (host::EffectiveUser() != 0) return true;
    struct stat parent {};
    if (host::Stat(FolderOf(folder), &parent) != 0) {
        *error = "cannot look at the folder " + FolderOf(folder) + ": " + HostErrorText(errno);
        return false;
    }
    if (host::Chown(folder, parent.st_uid, parent.st_gid) != 0) {
        *error = "cannot give the folder " + folder + " to the owner of " + FolderOf(folder) +
                 ": " + HostErrorText(errno);
        return false;
    }
    return true;
}

}  // namespace kestrow_sim
