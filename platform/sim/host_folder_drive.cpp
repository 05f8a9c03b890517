#include "platform/sim/host_folder_drive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform::sim {

namespace {

bool Inside(const std::string& real, const std::string& root) {
    if (real == root) return true;
    if (root == "/") return real.size() > 1 && real[0] == '/';
    return real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
           real[root.size()] == '/';
}

// The folder's names in byte order; false when it cannot be listed.
bool ListNames(const std::string& folder, FolderNames* names) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    while (struct dirent* item = ::readdir(dir)) {
        std::string_view name = item->d_name;
        if (name != "." && name != "..") names->Add(std::string(name));
    }
    ::closedir(dir);
    names->Sort();
    return true;
}

}  // namespace

std::unique_ptr<HostFolderDrive> HostFolderDrive::Open(const std::string& folder,
                                                       std::string* error) {
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0) {
        *error = folder + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISDIR(info.st_mode)) {
        *error = folder + ": it is not a folder";
        return nullptr;
    }
    char resolved[PATH_MAX];
    if (!::realpath(folder.c_str(), resolved)) {
        *error = folder + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<HostFolderDrive>(new HostFolderDrive(folder, resolved));
}

HostFolderDrive::HostFolderDrive(std::string folder, std::string real)
    : folder_(std::move(folder)), real_(std::move(real)) {
    seen_.emplace_back();  // the root
    seen_.back().real = real_;
}

HostFolderDrive::HostEntry HostFolderDrive::Classify(const std::string& folder,
                                                     const std::string& name) const {
    HostEntry entry;
    entry.name = name;
    std::string path = folder + "/" + name;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return entry;
    if (S_ISLNK(info.st_mode)) {
        // Followed only while it stays inside the drive's folder.
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved)) return entry;
        path = resolved;
        if (!Inside(path, real_) || ::stat(path.c_str(), &info) != 0) return entry;
    }
    if (S_ISDIR(info.st_mode)) {
        entry.directory = true;
    } else if (S_ISREG(info.st_mode)) {
        // The owner's write bit, not access(): root may write anything.
        entry.readOnly = (info.st_mode & S_IWUSR) == 0;
    } else {
        return entry;
    }
    entry.counts = true;
    entry.real = std::move(path);
    return entry;
}

bool HostFolderDrive::List(Seen* seen) {
    if (!seen->listed) {
        seen->listed = true;
        ListNames(seen->real, &seen->names);
        seen->children.assign(seen->names.Size(), std::nullopt);
    }
    return seen->names.Size() != 0;
}

std::optional<DriveBackend::Node> HostFolderDrive::Find(NodeId folder, std::string_view folded,
                                                        const CodePage& codePage) {
    if (folder >= seen_.size()) return std::nullopt;
    if (!List(&seen_[folder])) return std::nullopt;
    std::optional<std::size_t> index = seen_[folder].names.Find(folded, codePage);
    if (!index) return std::nullopt;
    auto& child = seen_[folder].children[*index];
    if (!child) {
        HostEntry entry = Classify(seen_[folder].real, seen_[folder].names.Name(*index));
        if (!entry.counts) {
            child.emplace(std::nullopt);
        } else {
            Node node;
            node.name = entry.name;
            node.directory = entry.directory;
            node.readOnly = entry.readOnly;
            node.id = seen_.size();
            Seen next;
            next.real = std::move(entry.real);
            seen_.push_back(std::move(next));  // `child` may have moved with it
            seen_[folder].children[*index].emplace(std::move(node));
        }
    }
    return *seen_[folder].children[*index];
}

std::optional<std::string> HostFolderDrive::Read(NodeId file) {
    if (file >= seen_.size()) return std::nullopt;
    int fd = ::open(seen_[file].real.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string bytes;
    struct stat info;
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        bytes.reserve(static_cast<std::size_t>(info.st_size));
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

}  // namespace platform::sim
