#include "sim/host/file_fingerprint.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "sim/host/host_files.h"

namespace kestrow_sim {

void ContentHash::Mix(std::uint64_t word) {
    value_ = (value_ ^ word) * 0x9e3779b97f4a7c15ull;
    value_ ^= value_ >> 29;
}

void ContentHash::Update(std::string_view bytes) {
    length_ += bytes.size();
    while (pendingSize_ > 0 && pendingSize_ < 8 && !bytes.empty()) {
        pending_[pendingSize_++] = static_cast<unsigned char>(bytes.front());
        bytes.remove_prefix(1);
    }
    if (pendingSize_ == 8) {
        std::uint64_t word;
        std::memcpy(&word, pending_, 8);
        Mix(word);
        pendingSize_ = 0;
    }
    while (bytes.size() >= 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data(), 8);
        Mix(word);
        bytes.remove_prefix(8);
    }
    std::memcpy(pending_ + pendingSize_, bytes.data(), bytes.size());
    pendingSize_ += bytes.size();
}

std::uint64_t ContentHash::Value() const {
    ContentHash last = *this;
    std::uint64_t word = 0;
    std::memcpy(&word, pending_, pendingSize_);
    last.Mix(word);
    last.Mix(length_);
    return last.value_;
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
    if (host::Fstat(fd, &info, path) != 0) {
        *error = path + ": cannot look at: " + HostErrorText(errno);
        host::Close(fd, path);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = path + ": " +
                 (S_ISFIFO(info.st_mode)                           ? "a FIFO"
                  : S_ISDIR(info.st_mode)                          ? "a folder"
                  : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? "a device"
                                                                   : "not a file") +
                 ", not a regular file; --apply rewrites only a regular file";
        host::Close(fd, path);
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
            host::Close(fd, path);
            return false;
        }
        if (got == 0) break;
        hash.Update(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    }
    if (host::Close(fd, path) != 0) {
        *error = path + ": cannot close: " + HostErrorText(errno);
        return false;
    }
    fingerprint->hash = hash.Value();
    return true;
}

bool Unchanged(const std::string& path, bool existed, const struct stat& old, std::string* error) {
    error->clear();
    struct stat now {};
    if (host::Lstat(path, &now) == 0) {
        return existed && SameIdentity(IdentityOf(now), IdentityOf(old));
    }
    if (errno == ENOENT) return !existed;
    *error = "cannot look at " + path + ": " + HostErrorText(errno);
    return false;
}

}  // namespace kestrow_sim
