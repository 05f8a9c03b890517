// Reading a host file that may be anything: a file the user named, or one
// found in a machine's drive folder. Before a file is opened for reading it
// must be a regular file, since a named pipe would block the read forever
// and a device may never end; it is read only up to a limit, so that a file
// far larger than it may be (a sparse file of gigabytes) is refused before
// it is read whole; and inside a drive folder, a symbolic link counts only
// when the place it leads to lies inside that folder.
#ifndef KESTROW_SIM_HOST_BOUNDED_READ_H
#define KESTROW_SIM_HOST_BOUNDED_READ_H

#include <cstdint>
#include <string>
#include <vector>

namespace kestrow_sim {

enum class HostFileKind {
    Missing,
    Regular,
    Folder,
    Fifo,
    Socket,
    CharacterDevice,
    BlockDevice,
    Symlink,
    Other,
};

// "a regular file", "a folder", "a named pipe (FIFO)", ...
const char* HostFileKindText(HostFileKind kind);

// What the path is; a final symbolic link is followed when followLink.
HostFileKind HostFileKindOf(const std::string& path, bool followLink);

// What a path is, in words, for a message that says why it was not taken:
// "a named pipe (FIFO)", "a folder", "a symbolic link leading out of
// /mnt/c (to /etc/passwd), which is not followed", "a symbolic link to
// /mnt/c/x, which does not exist", "a symbolic link to /mnt/c/fifo, a named pipe (FIFO)". A link is
// judged by insideFolder (when not empty): where it leads must lie inside.
std::string DescribeHostPath(const std::string& path, const std::string& insideFolder);

// The folder's entries (without "." and ".."), sorted by bytes; false when
// it cannot be listed.
bool ListHostFolder(const std::string& folder, std::vector<std::string>* names);

// The path with every symbolic link resolved; empty when it cannot be.
std::string RealHostPath(const std::string& path);

// Whether the place the path leads to, every link resolved, is a folder
// that lies inside `folder` (or is it).
bool IsFolderInside(const std::string& path, const std::string& folder);

// A regular host file, opened for reading only once it is known to be one.
class BoundedFile {
public:
    BoundedFile() = default;
    ~BoundedFile();
    BoundedFile(const BoundedFile&) = delete;
    BoundedFile& operator=(const BoundedFile&) = delete;

    // Opens the file when it is a regular file: it is looked at first (links
    // followed) and refused by what it is, then opened, and the open file
    // must be the one looked at. With insideFolder, the file's place with
    // every link resolved must lie inside that folder. False with *error
    // saying why, without the path: "it is a named pipe (FIFO), not a
    // regular file", "cannot be opened: Permission denied".
    bool Open(const std::string& path, const std::string& insideFolder, std::string* error);

    // The size the open file had when it was opened.
    std::uint64_t Size() const { return size_; }

    // Reads from the current position to the end of the file onto *bytes.
    // False with *error when it cannot be read, or when the file holds more
    // than maxBytes in all (it grew while being read): nothing past that is
    // read.
    bool ReadRest(std::uint64_t maxBytes, std::string* bytes, std::string* error);

    // Reads up to `count` bytes from the current position (fewer at the
    // end of the file).
    bool ReadSome(std::size_t count, std::string* bytes, std::string* error);

    void Close();

private:
    int fd_ = -1;
    std::string path_;
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
};

}  // namespace kestrow_sim

#endif
