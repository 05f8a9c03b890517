// The host file calls of kestrow-sim's --apply and of the code it uses,
// behind one seam: one table of calls, each row a call that a hook can make
// fail (or end the process right before it), so that a test can check what
// any one failing call leaves on the host. Nothing in sim/apply, and nothing
// that --apply calls, reaches the host's file system except through here.
#ifndef KESTROW_SIM_HOST_HOST_FILES_H
#define KESTROW_SIM_HOST_HOST_FILES_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrow_sim {

// The table: each row is a host call, its name as the hook and a test see
// it. A row is one kind of call; every single call asks the hook first.
#define KESTROW_HOST_CALLS(X) \
    X(Open, "open")           \
    X(Read, "read")           \
    X(Write, "write")         \
    X(Fsync, "fsync")         \
    X(Close, "close")         \
    X(Rename, "rename")       \
    X(Unlink, "unlink")       \
    X(Chown, "chown")         \
    X(Lchown, "lchown")       \
    X(Chmod, "chmod")         \
    X(Mkdir, "mkdir")         \
    X(Rmdir, "rmdir")         \
    X(Symlink, "symlink")     \
    X(Lstat, "lstat")         \
    X(Stat, "stat")           \
    X(Fstat, "fstat")         \
    X(Readlink, "readlink")   \
    X(Opendir, "opendir")     \
    X(Readdir, "readdir")     \
    X(Closedir, "closedir")   \
    X(Realpath, "realpath")   \
    X(Access, "access")

enum class HostCall {
#define KESTROW_HOST_CALL_ENUM(name, text) name,
    KESTROW_HOST_CALLS(KESTROW_HOST_CALL_ENUM)
#undef KESTROW_HOST_CALL_ENUM
};

// Every row, in the table's order.
const std::vector<HostCall>& AllHostCalls();
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
// The descriptor is closed even when the call fails.
int Close(int fd, const std::string& path);
int Rename(const std::string& from, const std::string& to);
int Unlink(const std::string& path);
int Fchown(int fd, uid_t owner, gid_t group, const std::string& path);
int Chown(const std::string& path, uid_t owner, gid_t group);
// The owner of a symbolic link itself.
int Lchown(const std::string& path, uid_t owner, gid_t group);
int Fchmod(int fd, mode_t mode, const std::string& path);
int Mkdir(const std::string& path, mode_t mode);
int Rmdir(const std::string& path);
// Makes a symbolic link at path holding contents.
int Symlink(const std::string& contents, const std::string& path);
int Lstat(const std::string& path, struct stat* info);
int Stat(const std::string& path, struct stat* info);
int Fstat(int fd, struct stat* info, const std::string& path);
// A symbolic link's contents, whole (ENAMETOOLONG when longer than 4095).
int ReadLink(const std::string& path, std::string* contents);
// The names in a folder, "." and ".." left out, in the order the host
// lists them: one opendir, a readdir for each entry and one more for the
// end, one closedir. On failure *names is unchanged.
int ListFolder(const std::string& folder, std::vector<std::string>* names);
// The path with every link, "." and ".." resolved; the path must exist.
int RealPath(const std::string& path, std::string* real);
int Access(const std::string& path, int mode);

// Flushes a folder's entries (after a rename or unlink in it): open,
// fsync and close, each failing the whole.
int SyncFolder(const std::string& folder);

// The effective user id (a question, not a file call: it cannot fail).
uid_t EffectiveUser();

}  // namespace host

// The text of an errno value, e.g. "Permission denied".
std::string HostErrorText(int code);

}  // namespace kestrow_sim

#endif
