#include "sim/host/bounded_read.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "sim/host/host_files.h"

namespace kestrow_sim {

namespace {

HostFileKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return HostFileKind::Regular;
    if (S_ISDIR(mode)) return HostFileKind::Folder;
    if (S_ISFIFO(mode)) return HostFileKind::Fifo;
    if (S_ISSOCK(mode)) return HostFileKind::Socket;
    if (S_ISCHR(mode)) return HostFileKind::CharacterDevice;
    if (S_ISBLK(mode)) return HostFileKind::BlockDevice;
    if (S_ISLNK(mode)) return HostFileKind::Symlink;
    return HostFileKind::Other;
}

bool Inside(const std::string& real, const std::string& root) {
    if (real == root) return true;
    if (root == "/") return real.size() > 1 && real[0] == '/';
    return real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
           real[root.size()] == '/';
}

// What a symbolic link's text names, as an absolute path when it is
// relative to the link's folder.
std::string LinkText(const std::string& path) {
    char target[PATH_MAX];
    ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    if (length < 0) return std::string();
    std::string text(target, static_cast<std::size_t>(length));
    if (!text.empty() && text[0] != '/') {
        std::size_t slash = path.rfind('/');
        text = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + text;
    }
    return text;
}

}  // namespace

const char* HostFileKindText(HostFileKind kind) {
    switch (kind) {
        case HostFileKind::Missing:
            return "missing";
        case HostFileKind::Regular:
            return "a regular file";
        case HostFileKind::Folder:
            return "a folder";
        case HostFileKind::Fifo:
            return "a named pipe (FIFO)";
        case HostFileKind::Socket:
            return "a socket";
        case HostFileKind::CharacterDevice:
            return "a character device";
        case HostFileKind::BlockDevice:
            return "a block device";
        case HostFileKind::Symlink:
            return "a symbolic link";
        case HostFileKind::Other:
            break;
    }
    return "a file of an unknown kind";
}

HostFileKind HostFileKindOf(const std::string& path, bool followLink) {
    struct stat info {};
    int result = followLink ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    return result == 0 ? KindOf(info.st_mode) : HostFileKind::Missing;
}

std::string DescribeHostPath(const std::string& path, const std::string& insideFolder) {
    HostFileKind kind = HostFileKindOf(path, false);
    if (kind != HostFileKind::Symlink) return HostFileKindText(kind);
    std::string real = RealHostPath(path);
    if (real.empty()) {
        return "a symbolic link to " + LinkText(path) + ", which does not exist";
    }
    std::string root = insideFolder.empty() ? std::string() : RealHostPath(insideFolder);
    if (!root.empty() && !Inside(real, root)) {
        return "a symbolic link leading out of " + insideFolder + " (to " + real +
               "), which is not followed";
    }
    return "a symbolic link to " + real + ", " + HostFileKindText(HostFileKindOf(real, true));
}

bool ListHostFolder(const std::string& folder, std::vector<std::string>* names) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    while (const dirent* item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (name != "." && name != "..") names->push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names->begin(), names->end());
    return true;
}

std::string RealHostPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

bool IsFolderInside(const std::string& path, const std::string& folder) {
    std::string real = RealHostPath(path);
    std::string root = RealHostPath(folder);
    return !real.empty() && !root.empty() && Inside(real, root) &&
           HostFileKindOf(real, true) == HostFileKind::Folder;
}

BoundedFile::~BoundedFile() { Close(); }

void BoundedFile::Close() {
    if (fd_ >= 0) host::Close(fd_, path_);
    fd_ = -1;
}

bool BoundedFile::Open(const std::string& path, const std::string& insideFolder,
                       std::string* error) {
    Close();
    std::string place = path;
    if (!insideFolder.empty()) {
        place = RealHostPath(path);
        std::string root = RealHostPath(insideFolder);
        if (place.empty() || root.empty()) {
            *error = "cannot be found: " + HostErrorText(errno);
            return false;
        }
        if (!Inside(place, root)) {
            *error = "it leads out of " + insideFolder + ", to " + place +
                     "; links are followed only inside it";
            return false;
        }
    }
    struct stat before {};
    if (::stat(place.c_str(), &before) != 0) {
        *error = "cannot be opened: " + HostErrorText(errno);
        return false;
    }
    if (!S_ISREG(before.st_mode)) {
        *error = std::string("it is ") + HostFileKindText(KindOf(before.st_mode)) +
                 ", not a regular file";
        return false;
    }
    // O_NONBLOCK: should the file have been swapped for a named pipe since
    // it was looked at, opening it must not wait for a writer.
    int fd = host::Open(place, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = "cannot be opened: " + HostErrorText(errno);
        return false;
    }
    struct stat after {};
    if (::fstat(fd, &after) != 0 || after.st_dev != before.st_dev ||
        after.st_ino != before.st_ino || !S_ISREG(after.st_mode)) {
        host::Close(fd, place);
        *error = "it changed while it was being opened";
        return false;
    }
    fd_ = fd;
    path_ = place;
    size_ = static_cast<std::uint64_t>(after.st_size);
    position_ = 0;
    return true;
}

bool BoundedFile::ReadSome(std::size_t count, std::string* bytes, std::string* error) {
    std::size_t start = bytes->size();
    bytes->resize(start + count);
    std::size_t got = 0;
    while (got < count) {
        ssize_t n = host::Read(fd_, &(*bytes)[start + got], count - got, path_);
        if (n < 0) {
            bytes->resize(start);
            *error = "cannot be read: " + HostErrorText(errno);
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes->resize(start + got);
    position_ += got;
    return true;
}

bool BoundedFile::ReadRest(std::uint64_t maxBytes, std::string* bytes, std::string* error) {
    // What the file held when it was opened is read in one piece, into
    // memory taken once; what it may have gained since, a piece at a time.
    std::uint64_t expected = size_ > position_ ? size_ - position_ : 0;
    if (position_ + expected <= maxBytes &&
        !ReadSome(static_cast<std::size_t>(expected), bytes, error)) {
        return false;
    }
    char piece[65536];
    for (;;) {
        std::uint64_t room = maxBytes > position_ ? maxBytes - position_ : 0;
        // One byte past the limit tells a file that holds more.
        auto want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof piece, room + 1));
        ssize_t got = host::Read(fd_, piece, want, path_);
        if (got < 0) {
            *error = "cannot be read: " + HostErrorText(errno);
            return false;
        }
        if (got == 0) return true;
        position_ += static_cast<std::uint64_t>(got);
        if (position_ > maxBytes) {
            *error = "it holds more than " + std::to_string(maxBytes) +
                     " bytes (it grew while it was read)";
            return false;
        }
        bytes->append(piece, static_cast<std::size_t>(got));
    }
}

}  // namespace kestrow_sim
