// The host file calls --apply makes, behind one seam. Every call that reads
// or changes a host file goes through here, so that a test can make any one
// of them fail, or end the process right before it, and check what is left.
#ifndef KESTROW_SIM_HOST_HOST_FILES_H
#define KESTROW_SIM_HOST_HOST_FILES_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrow_sim {

enum class HostCall {
    Open,
    Read,
    Write,
    Fsync,
    Close,
    Rename,
    Unlink,
    Chown,
    Chmod,
    Mkdir,
    Rmdir,
    Symlink
};

const char* HostCallName(HostCall call);

// Asked before every host call; returns 0 to let it run, or an errno value
// the call then fails with (without running).
class HostCallHook {
public:
    virtual ~HostCallHook() = default;
    virtual int Before(HostCall call, const std::string& path) = 0;
};

// Installs a hook (null: none). The hook must outlive its use.
void SetHostCallHook(HostCallHook* hook);

// The calls. Each returns what the POSIX call returns and sets errno, and
// retries on EINTR. A file descriptor's path is only used to tell the hook.
namespace host {

int Open(const std::string& path, int flags, mode_t mode = 0);
ssize_t Read(int fd, void* buffer, std::size_t size, const std::string& path);
// Writes every byte; false with errno on failure.
bool WriteAll(int fd, std::string_view bytes, const std::string& path);
int Fsync(int fd, const std::string& path);
int Close(int fd, const std::string& path);
int Rename(const std::string& from, const std::string& to);
int Unlink(const std::string& path);
int Fchown(int fd, uid_t owner, gid_t group, const std::string& path);
int Chown(const std::string& path, uid_t owner, gid_t group);
int Fchmod(int fd, mode_t mode, const std::string& path);
int Mkdir(const std::string& path, mode_t mode);
int Rmdir(const std::string& path);
// Makes a symbolic link at path holding contents.
int Symlink(const std::string& contents, const std::string& path);

// Flushes a folder's entries (after a rename or unlink in it).
int SyncFolder(const std::string& folder);

}  // namespace host

// The text of an errno value, e.g. "Permission denied".
std::string HostErrorText(int code);

}  // namespace kestrow_sim

#endif
