// Writing a host file so that it is, at any moment, either the old file or
// the whole new one: the new bytes go to a temporary file beside the
// target (flushed, with the owner, group and mode the target is to have),
// which is then renamed over it, and the folder flushed. The two halves are
// apart, so that a caller can write every temporary file before the first
// rename. Every call goes through the host call table (host_files.h).
#ifndef KESTROW_SIM_HOST_ATOMIC_FILE_H
#define KESTROW_SIM_HOST_ATOMIC_FILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace kestrow_sim {

// Owner, group and mode a written file gets.
struct Ownership {
    bool keepOwner = false;  // give the file owner and group (as root)
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0644;
};

// The ownership of the file a stat result describes.
Ownership OwnershipOf(const struct stat& info);
// A new file in a folder: as root, it goes to the folder's owner. False,
// with a message, when the folder cannot be looked at.
bool OwnershipForNewFileIn(const std::string& folder, Ownership* ownership, std::string* error);

// Writes the contents of a temporary file to the open descriptor; false,
// with *failure saying why, when it cannot.
using ContentsWriter = std::function<bool(int fd, std::string* failure)>;

// Makes the temporary file (it must not exist yet): open, the writer, owner
// and mode, fsync, close. On failure the temporary file is removed and
// *error says why.
bool WriteTemporary(const std::string& temporary, const Ownership& ownership,
                    const ContentsWriter& write, std::string* error);
bool WriteBytesTemporary(const std::string& temporary, std::string_view bytes,
                         const Ownership& ownership, std::string* error);

enum class Replaced { kNo, kYes, kNotFlushed };

// Renames the temporary file over the target and flushes the folder. Once
// renamed, the target is the new file even when the folder cannot be
// flushed (kNotFlushed, with *error saying so). A temporary file that
// cannot be renamed stays, for the caller to remove.
Replaced Replace(const std::string& temporary, const std::string& target, std::string* error);

// Both halves at once: the target, written through the temporary file,
// keeps the owner, group and mode of the file it replaces (a new one gets
// 0644). False, with a message, when the target is not the whole new file
// on the disk (also when only the flush of its folder failed).
bool WriteFileAtomically(const std::string& target, const std::string& temporary,
                         const ContentsWriter& write, std::string* error);

// A whole file's bytes. False, with a message, when it cannot be read.
bool ReadWhole(const std::string& path, std::string* bytes, std::string* error);

// Makes a folder. As root, it goes to the owner of the folder it is in, so
// that the user whose files these are can remove it. *made tells whether
// the folder was made, also when giving it away failed.
bool MakeFolderLikeItsParent(const std::string& folder, bool* made, std::string* error);

}  // namespace kestrow_sim

#endif
