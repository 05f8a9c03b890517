#include "sim/host/host_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrow_sim {

namespace {

HostCallHook* g_hook = nullptr;

// Runs the hook; true when the call may go ahead, else errno is set.
bool Allowed(HostCall call, const std::string& path) {
    if (g_hook == nullptr) return true;
    int failure = g_hook->Before(call, path);
    if (failure == 0) return true;
    errno = failure;
    return false;
}

}  // namespace

const char* HostCallName(HostCall call) {
    switch (call) {
        case HostCall::Open:
            return "open";
        case HostCall::Read:
            return "read";
        case HostCall::Write:
            return "write";
        case HostCall::Fsync:
            return "fsync";
        case HostCall::Close:
            return "close";
        case HostCall::Rename:
            return "rename";
        case HostCall::Unlink:
            return "unlink";
        case HostCall::Chown:
            return "chown";
        case HostCall::Chmod:
            return "chmod";
        case HostCall::Mkdir:
            return "mkdir";
        case HostCall::Rmdir:
            return "rmdir";
        case HostCall::Symlink:
            return "symlink";
    }
    return "?";
}

void SetHostCallHook(HostCallHook* hook) { g_hook = hook; }

std::string HostErrorText(int code) { return std::strerror(code); }

namespace host {

int Open(const std::string& path, int flags, mode_t mode) {
    if (!Allowed(HostCall::Open, path)) return -1;
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

ssize_t Read(int fd, void* buffer, std::size_t size, const std::string& path) {
    if (!Allowed(HostCall::Read, path)) return -1;
    ssize_t got;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

bool WriteAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        if (!Allowed(HostCall::Write, path)) return false;
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

int Fsync(int fd, const std::string& path) {
    if (!Allowed(HostCall::Fsync, path)) return -1;
    return ::fsync(fd);
}

int Close(int fd, const std::string& path) {
    if (!Allowed(HostCall::Close, path)) {
        int failure = errno;
        ::close(fd);  // the descriptor is gone either way
        errno = failure;
        return -1;
    }
    return ::close(fd);
}

int Rename(const std::string& from, const std::string& to) {
    if (!Allowed(HostCall::Rename, to)) return -1;
    return ::rename(from.c_str(), to.c_str());
}

int Unlink(const std::string& path) {
    if (!Allowed(HostCall::Unlink, path)) return -1;
    return ::unlink(path.c_str());
}

int Fchown(int fd, uid_t owner, gid_t group, const std::string& path) {
    if (!Allowed(HostCall::Chown, path)) return -1;
    return ::fchown(fd, owner, group);
}

int Chown(const std::string& path, uid_t owner, gid_t group) {
    if (!Allowed(HostCall::Chown, path)) return -1;
    return ::chown(path.c_str(), owner, group);
}

int Fchmod(int fd, mode_t mode, const std::string& path) {
    if (!Allowed(HostCall::Chmod, path)) return -1;
    return ::fchmod(fd, mode);
}

int Mkdir(const std::string& path, mode_t mode) {
    if (!Allowed(HostCall::Mkdir, path)) return -1;
    return ::mkdir(path.c_str(), mode);
}

int Rmdir(const std::string& path) {
    if (!Allowed(HostCall::Rmdir, path)) return -1;
    return ::rmdir(path.c_str());
}

int Symlink(const std::string& contents, const std::string& path) {
    if (!Allowed(HostCall::Symlink, path)) return -1;
    return ::symlink(contents.c_str(), path.c_str());
}

int SyncFolder(const std::string& folder) {
    int fd = Open(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -1;
    int result = Fsync(fd, folder);
    int failure = errno;
    ::close(fd);
    errno = failure;
    return result;
}

}  // namespace host

}  // namespace kestrow_sim
