#include "platform/sim/host_folder_drive.h"

#include <dirent.h>
#include <fcntl.h>
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

// The failures that mean "nothing is there", not "the host cannot tell".
bool NothingThere(int code) { return code == ENOENT || code == ENOTDIR; }

class DirectAccess : public HostFolderAccess {
public:
    int ListFolder(const std::string& folder, std::vector<std::string>* names) override {
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return -1;
        while (struct dirent* item = ::readdir(dir)) {
            std::string_view name = item->d_name;
            if (name != "." && name != "..") names->emplace_back(name);
        }
        ::closedir(dir);
        return 0;
    }
    int LinkStatus(const std::string& path, struct stat* info) override {
        return ::lstat(path.c_str(), info);
    }
    int Status(const std::string& path, struct stat* info) override {
        return ::stat(path.c_str(), info);
    }
    int RealPath(const std::string& path, std::string* real) override {
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved)) return -1;
        *real = resolved;
        return 0;
    }
    int ReadFile(const std::string& path, std::string* bytes) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return -1;
        struct stat info;
        if (::fstat(fd, &info) == 0 && info.st_size > 0) {
            bytes->reserve(static_cast<std::size_t>(info.st_size));
        }
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) continue;
                int failure = errno;
                ::close(fd);
                errno = failure;
                return -1;
            }
            if (n == 0) break;
            bytes->append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return 0;
    }
};

}  // namespace

HostFolderAccess& DirectHostFolderAccess() {
    static DirectAccess access;
    return access;
}

std::unique_ptr<HostFolderDrive> HostFolderDrive::Open(const std::string& folder,
                                                       std::string* error,
                                                       HostFolderAccess& access) {
    struct stat info;
    if (access.Status(folder, &info) != 0) {
        *error = folder + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISDIR(info.st_mode)) {
        *error = folder + ": it is not a folder";
        return nullptr;
    }
    std::string resolved;
    if (access.RealPath(folder, &resolved) != 0) {
        *error = folder + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<HostFolderDrive>(new HostFolderDrive(folder, resolved, access));
}

HostFolderDrive::HostFolderDrive(std::string folder, std::string real, HostFolderAccess& access)
    : folder_(std::move(folder)), real_(std::move(real)), access_(access) {
    seen_.emplace_back();  // the root
    seen_.back().real = real_;
}

HostFolderDrive::HostEntry HostFolderDrive::Classify(const std::string& folder,
                                                     const std::string& name) const {
    using Kind = HostEntry::Kind;
    HostEntry entry;
    std::string path = folder + "/" + name;
    auto failed = [&](const std::string& on) {
        if (NothingThere(errno)) return entry;  // gone since it was listed: absent
        entry.kind = Kind::kHostError;
        entry.error = errno;
        entry.errorPath = on;
        return entry;
    };
    if (access_.LinkStatus(path, &entry.info) != 0) return failed(path);
    entry.name = name;
    entry.leadsTo = entry.info.st_mode;
    struct stat target = entry.info;
    if (S_ISLNK(entry.info.st_mode)) {
        // Followed only while it stays inside the drive's folder.
        std::string resolved;
        if (access_.RealPath(path, &resolved) != 0) {
            if (NothingThere(errno) || errno == ELOOP) {
                entry.kind = Kind::kBrokenLink;
                return entry;
            }
            return failed(path);
        }
        entry.real = resolved;
        if (!Inside(resolved, real_)) {
            entry.kind = Kind::kLinkOutside;
            return entry;
        }
        if (access_.Status(resolved, &target) != 0) {
            if (!NothingThere(errno)) return failed(resolved);
            entry.kind = Kind::kBrokenLink;
            return entry;
        }
        entry.leadsTo = target.st_mode;
        path = std::move(resolved);
    }
    if (S_ISDIR(target.st_mode)) {
        entry.kind = Kind::kFolder;
    } else if (S_ISREG(target.st_mode)) {
        entry.kind = Kind::kFile;
        // The owner's write bit, not access(): root may write anything.
        entry.readOnly = (target.st_mode & S_IWUSR) == 0;
    } else {
        entry.kind = Kind::kOther;
    }
    entry.real = std::move(path);
    return entry;
}

void HostFolderDrive::List(Seen* seen) {
    if (seen->listed) return;
    seen->listed = true;
    std::vector<std::string> names;
    if (access_.ListFolder(seen->real, &names) != 0) {
        if (!NothingThere(errno)) {
            HostEntry failure;
            failure.kind = HostEntry::Kind::kHostError;
            failure.error = errno;
            failure.errorPath = seen->real;
            seen->listFailure = std::move(failure);
        }
        names.clear();
    }
    for (std::string& name : names) seen->names.Add(std::move(name));
    seen->names.Sort();
    seen->children.assign(seen->names.Size(), std::nullopt);
}

const HostFolderDrive::HostEntry& HostFolderDrive::Entry(NodeId folder, std::string_view folded,
                                                         const CodePage& codePage) {
    static const HostEntry absent;
    if (folder >= seen_.size()) return absent;
    List(&seen_[folder]);
    if (seen_[folder].listFailure) return *seen_[folder].listFailure;
    std::optional<std::size_t> index = seen_[folder].names.Find(folded, codePage);
    if (!index) return absent;
    auto& child = seen_[folder].children[*index];
    if (!child) {
        HostEntry entry = Classify(seen_[folder].real, seen_[folder].names.Name(*index));
        if (entry.kind == HostEntry::Kind::kFile || entry.kind == HostEntry::Kind::kFolder) {
            entry.id = seen_.size();
            Seen next;
            next.real = entry.real;
            seen_.push_back(std::move(next));  // `child` may have moved with it
        }
        seen_[folder].children[*index] = std::move(entry);
    }
    return *seen_[folder].children[*index];
}

HostFolderDrive::HostEntry HostFolderDrive::LookUp(NodeId folder, std::string_view folded,
                                                   const CodePage& codePage) {
    return Entry(folder, folded, codePage);
}

std::vector<HostFolderDrive::HostEntry> HostFolderDrive::LookUpPath(
    const std::vector<std::string>& names, const CodePage& codePage) {
    std::vector<HostEntry> entries;
    NodeId folder = kRoot;
    for (const std::string& name : names) {
        entries.push_back(LookUp(folder, codePage.FoldCase(name), codePage));
        if (entries.back().kind != HostEntry::Kind::kFolder) break;
        folder = entries.back().id;
    }
    return entries;
}

std::optional<DriveBackend::Node> HostFolderDrive::Find(NodeId folder, std::string_view folded,
                                                        const CodePage& codePage) {
    const HostEntry& entry = Entry(folder, folded, codePage);
    if (entry.kind != HostEntry::Kind::kFile && entry.kind != HostEntry::Kind::kFolder) {
        return std::nullopt;
    }
    Node node;
    node.name = entry.name;
    node.directory = entry.kind == HostEntry::Kind::kFolder;
    node.readOnly = entry.readOnly;
    node.id = entry.id;
    return node;
}

std::optional<std::string> HostFolderDrive::Read(NodeId file) {
    if (file >= seen_.size()) return std::nullopt;
    std::string bytes;
    if (access_.ReadFile(seen_[file].real, &bytes) != 0) return std::nullopt;
    return bytes;
}

}  // namespace platform::sim
