// A simulated drive that is a folder on the host: a copy of a Windows
// partition, or a mounted one.
//
// Only regular files and folders count; anything else (a device, a socket, a
// dangling link) is absent. A symbolic link counts only when the place it
// leads to lies inside the drive's folder, so no path can reach outside it.
// A file is read-only when its owner may not write it. Folder listings and
// what a name leads to are kept once seen.
#ifndef KESTROW_PLATFORM_SIM_HOST_FOLDER_DRIVE_H
#define KESTROW_PLATFORM_SIM_HOST_FOLDER_DRIVE_H

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/drive_backend.h"

namespace platform::sim {

class HostFolderDrive : public DriveBackend {
public:
    // Null, with a message naming the folder, when it does not exist or is
    // not a folder.
    static std::unique_ptr<HostFolderDrive> Open(const std::string& folder, std::string* error);

    std::optional<Node> Find(NodeId folder, std::string_view folded,
                             const CodePage& codePage) override;
    std::optional<std::string> Read(NodeId file) override;
    std::string HostFolder() const override { return folder_; }

    // The folder with links resolved.
    const std::string& RealFolder() const { return real_; }

private:
    // What a name in a host folder leads to.
    struct HostEntry {
        std::string name;     // the matching entry's name; empty when nothing matches
        bool counts = false;  // a file or folder that counts (see above)
        bool directory = false;
        bool readOnly = false;
        std::string real;  // the place it names, links resolved
    };

    HostFolderDrive(std::string folder, std::string real);

    struct Seen {
        std::string real;  // host path, links resolved
        bool listed = false;
        FolderNames names;
        // What each name leads to, once looked at; absent entries stay
        // absent.
        std::vector<std::optional<std::optional<Node>>> children;
    };

    HostEntry Classify(const std::string& folder, const std::string& name) const;
    bool List(Seen* seen);

    std::string folder_;
    std::string real_;
    std::vector<Seen> seen_;  // by NodeId
};

}  // namespace platform::sim

#endif
