// What a host file was when it was read: its identity (device, inode), size,
// modification time and a hash of its bytes. Compared again before the
// file is replaced, so that a change another program made meanwhile is
// never overwritten.
#ifndef KESTROW_SIM_HOST_FILE_FINGERPRINT_H
#define KESTROW_SIM_HOST_FILE_FINGERPRINT_H

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrow_sim {

// A 64-bit hash of a byte stream fed in pieces of any size (the value does
// not depend on where the pieces end). It takes eight bytes at a time, so
// that hashing costs little next to reading; it guards against accidental
// change, not against an attacker.
class ContentHash {
public:
    void Update(std::string_view bytes);
    std::uint64_t Value() const;

private:
    void Mix(std::uint64_t word);

    std::uint64_t value_ = 14695981039346656037ull;
    std::uint64_t length_ = 0;
    unsigned char pending_[8] = {};
    std::size_t pendingSize_ = 0;
};

struct FileFingerprint {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    std::uint64_t hash = 0;
    bool taken = false;
};

// The identity part of a stat result.
FileFingerprint IdentityOf(const struct stat& info);
// Device, inode, size and modification time are the same.
bool SameIdentity(const FileFingerprint& a, const FileFingerprint& b);

// Stats and reads the whole file. False, with a message, when it cannot.
bool TakeFingerprint(const std::string& path, FileFingerprint* fingerprint, std::string* error);

// Whether what is at path (a link itself, not what it names) is still the
// file a stat result described, or still nothing when existed is false.
// False when it changed; then *error is empty, or says why the host could
// not tell.
bool Unchanged(const std::string& path, bool existed, const struct stat& old, std::string* error);

}  // namespace kestrow_sim

#endif
