#include "sim/host/host_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
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

// Runs a call again while a signal interrupts it.
template <class Call>
auto Retried(Call&& call) {
    auto result = call();
    while (result < 0 && errno == EINTR) result = call();
    return result;
}

}  // namespace

const std::vector<HostCall>& AllHostCalls() {
    static const std::vector<HostCall> calls = {
#define KESTROW_HOST_CALL_ROW(name, text) HostCall::name,
        KESTROW_HOST_CALLS(KESTROW_HOST_CALL_ROW)
#undef KESTROW_HOST_CALL_ROW
    };
    return calls;
}

const char* HostCallName(HostCall call) {
    switch (call) {
#define KESTROW_HOST_CALL_NAME(name, text) \
    case HostCall::name:                   \
        return text;
        KESTROW_HOST_CALLS(KESTROW_HOST_CALL_NAME)
#undef KESTROW_HOST_CALL_NAME
    }
    return "?";
}

void SetHostCallHook(HostCallHook* hook) { g_hook = hook; }

std::string HostErrorText(int code) { return std::strerror(code); }

namespace host {

int Open(const std::string& path, int flags, mode_t mode) {
    if (!Allowed(HostCall::Open, path)) return -1;
    return Retried([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
}

ssize_t Read(int fd, void* buffer, std::size_t size, const std::string& path) {
    if (!Allowed(HostCall::Read, path)) return -1;
    return Retried([&] { return ::read(fd, buffer, size); });
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
    return Retried([&] { return ::fsync(fd); });
}

int Close(int fd, const std::string& path) {
    if (!Allowed(HostCall::Close, path)) {
        int failure = errno;
        ::close(fd);  // the descriptor is gone either way
        errno = failure;
        return -1;
    }
    // Never retried: after EINTR the descriptor is already closed on Linux.
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

int Lchown(const std::string& path, uid_t owner, gid_t group) {
    if (!Allowed(HostCall::Lchown, path)) return -1;
    return ::lchown(path.c_str(), owner, group);
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

int Lstat(const std::string& path, struct stat* info) {
    if (!Allowed(HostCall::Lstat, path)) return -1;
    return ::lstat(path.c_str(), info);
}

int Stat(const std::string& path, struct stat* info) {
    if (!Allowed(HostCall::Stat, path)) return -1;
    return ::stat(path.c_str(), info);
}

int Fstat(int fd, struct stat* info, const std::string& path) {
    if (!Allowed(HostCall::Fstat, path)) return -1;
    return ::fstat(fd, info);
}

int ReadLink(const std::string& path, std::string* contents) {
    if (!Allowed(HostCall::Readlink, path)) return -1;
    std::string buffer(4096, '\0');
    ssize_t size = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (size < 0) return -1;
    if (static_cast<std::size_t>(size) == buffer.size()) {
        errno = ENAMETOOLONG;
        return -1;
    }
    buffer.resize(static_cast<std::size_t>(size));
    *contents = std::move(buffer);
    return 0;
}

int ListFolder(const std::string& folder, std::vector<std::string>* names) {
    if (!Allowed(HostCall::Opendir, folder)) return -1;
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return -1;
    std::vector<std::string> found;
    int failure = 0;
    for (;;) {
        if (!Allowed(HostCall::Readdir, folder)) {
            failure = errno;
            break;
        }
        errno = 0;
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) {
            failure = errno;  // 0 at the end of the listing
            break;
        }
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") found.emplace_back(name);
    }
    if (!Allowed(HostCall::Closedir, folder)) {
        if (failure == 0) failure = errno;
        ::closedir(listing);  // the listing is gone either way
    } else if (::closedir(listing) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure != 0) {
        errno = failure;
        return -1;
    }
    *names = std::move(found);
    return 0;
}

int RealPath(const std::string& path, std::string* real) {
    if (!Allowed(HostCall::Realpath, path)) return -1;
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return -1;
    *real = buffer;
    return 0;
}

int Access(const std::string& path, int mode) {
    if (!Allowed(HostCall::Access, path)) return -1;
    return ::access(path.c_str(), mode);
}

int SyncFolder(const std::string& folder) {
    int fd = Open(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -1;
    int result = Fsync(fd, folder);
    int failure = errno;
    if (Close(fd, folder) != 0 && result == 0) return -1;
    errno = failure;
    return result;
}

uid_t EffectiveUser() { return ::geteuid(); }

}  // namespace host

}  // namespace kestrow_sim
