// A simulated drive that is a folder on the host: a copy of a Windows
// partition, or a mounted one.
//
// The one rule by which a Windows name is found in a drive folder, for the
// simulated program and for kestrow-sim's --apply alike (LookUp):
//   - Letter case is ignored, as the machine's code page folds it; when two
//     host names fold alike, the first in byte order wins.
//   - A symbolic link is followed only when the place it leads to lies
//     inside the drive's folder, so no path can reach outside it; a link
//     leading out, or nowhere, is told apart from what it would name.
//   - For the simulated program only regular files and folders count;
//     anything else (a device, a socket, a link leading out or nowhere) is
//     absent. A file is read-only when its owner may not write it.
// Folder listings and what a name leads to are kept once seen.
//
// The drive only reads the host, through a HostFolderAccess: the simulated
// machine's drives make the calls directly, and --apply, which looks at a
// drive folder afresh before it writes, through its own host calls, which a
// test can make fail.
#ifndef KESTROW_PLATFORM_SIM_HOST_FOLDER_DRIVE_H
#define KESTROW_PLATFORM_SIM_HOST_FOLDER_DRIVE_H

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/drive_backend.h"

namespace platform::sim {

// The host calls a host folder drive reads with. Each returns 0, or -1
// with errno set, as the POSIX call does.
class HostFolderAccess {
public:
    virtual ~HostFolderAccess() = default;
    // The names in a folder, without "." and "..".
    virtual int ListFolder(const std::string& folder, std::vector<std::string>* names) = 0;
    virtual int LinkStatus(const std::string& path, struct stat* info) = 0;  // lstat
    virtual int Status(const std::string& path, struct stat* info) = 0;      // stat
    virtual int RealPath(const std::string& path, std::string* real) = 0;
    virtual int ReadFile(const std::string& path, std::string* bytes) = 0;
};

// The calls made directly on the host.
HostFolderAccess& DirectHostFolderAccess();

class HostFolderDrive : public DriveBackend {
public:
    // Null, with a message naming the folder, when it does not exist or is
    // not a folder. The access must outlive the drive.
    static std::unique_ptr<HostFolderDrive> Open(
        const std::string& folder, std::string* error,
        HostFolderAccess& access = DirectHostFolderAccess());

    std::optional<Node> Find(NodeId folder, std::string_view folded,
                             const CodePage& codePage) override;
    std::optional<std::string> Read(NodeId file) override;
    std::string HostFolder() const override { return folder_; }

    // The folder with links resolved.
    const std::string& RealFolder() const { return real_; }

    // What a name in a folder of the drive leads to.
    struct HostEntry {
        enum class Kind {
            kAbsent,       // no name folds to it
            kFile,         // a regular file, or a link inside the drive to one
            kFolder,       // a folder, or a link inside the drive to one
            kOther,        // a device, FIFO or socket, or a link inside the drive to one
            kLinkOutside,  // a symbolic link leading out of the drive's folder
            kBrokenLink,   // a symbolic link leading nowhere (dangling, a loop)
            kHostError,    // the host could not tell: see error and errorPath
        };
        Kind kind = Kind::kAbsent;
        std::string name;     // the host name; empty when absent
        std::string real;     // where it leads, links resolved (a link leading out too)
        struct stat info {};  // the entry itself, a link as a link (lstat)
        mode_t leadsTo = 0;   // the type and mode of what it leads to, links followed
        bool readOnly = false;
        NodeId id = kRoot;      // kFile, kFolder: the node to read or to look in
        int error = 0;          // kHostError: the errno of the call that failed
        std::string errorPath;  // and the path it failed on
    };
    // The entry of `folder` whose name folds to `folded` (see the rule
    // above), by what it is now or was when first seen.
    HostEntry LookUp(NodeId folder, std::string_view folded, const CodePage& codePage);
    // A relative path, name by name, each looked up in the folder the one
    // before it leads to: an entry for each name, ending early after one
    // that is not a folder.
    std::vector<HostEntry> LookUpPath(const std::vector<std::string>& names,
                                      const CodePage& codePage);

private:
    HostFolderDrive(std::string folder, std::string real, HostFolderAccess& access);

    struct Seen {
        std::string real;  // host path, links resolved
        bool listed = false;
        std::optional<HostEntry> listFailure;  // when the host could not list it
        FolderNames names;
        // What each name leads to, once looked at.
        std::vector<std::optional<HostEntry>> children;
    };

    const HostEntry& Entry(NodeId folder, std::string_view folded, const CodePage& codePage);
    HostEntry Classify(const std::string& folder, const std::string& name) const;
    void List(Seen* seen);

    std::string folder_;
    std::string real_;
    HostFolderAccess& access_;
    std::vector<Seen> seen_;  // by NodeId
};

}  // namespace platform::sim

#endif
