#include "sim/file_fingerprint.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "sim/host_files.h"

namespace kestrow_sim {

void ContentHash::Update(std::string_view bytes) {
    std::uint64_t value = value_;
    for (char c : bytes) {
        value ^= static_cast<unsigned char>(c);
        value *= 1099511628211ull;
    }
    value_ = value;
}

FileFingerprint IdentityOf(const struct stat& info) {
    FileFingerprint fingerprint;
    fingerprint.device = info.st_dev;
    fingerprint.inode = info.st_ino;
    fingerprint.size = info.st_size;
    fingerprint.modified = info.st_mtim;
    fingerprint.taken = true;
    return fingerprint;
}

bool SameIdentity(const FileFingerprint& a, const FileFingerprint& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

bool TakeFingerprint(const std::string& path, FileFingerprint* fingerprint, std::string* error) {
    int fd = host::Open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        *error = path + ": cannot open: " + HostErrorText(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = path + ": " +
                 (S_ISFIFO(info.st_mode)                           ? "a FIFO"
                  : S_ISDIR(info.st_mode)                          ? "a folder"
                  : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? "a device"
                                                                   : "not a file") +
                 ", not a regular file; --apply rewrites only a regular file";
        ::close(fd);
        return false;
    }
    *fingerprint = IdentityOf(info);
    ContentHash hash;
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::unique_ptr<char[]> buffer(new char[kPiece]);
    for (;;) {
        ssize_t got = host::Read(fd, buffer.get(), kPiece, path);
        if (got < 0) {
            *error = path + ": cannot read: " + HostErrorText(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        hash.Update(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    }
    ::close(fd);
    fingerprint->hash = hash.Value();
    return true;
}

}  // namespace kestrow_sim
