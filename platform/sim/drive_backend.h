// Where a simulated drive's files come from: a host folder, memory, or a
// partition of a disk image.
//
// A backend holds the drive as it was before the simulated program ran; the
// file system lays its set-up files and the program's changes over it. It
// answers two questions, both by node: which entry of a folder has a given
// name, and what a file holds. Names are found the way FAT with long names
// does it: letter case is ignored (as the code page folds it) and, when two
// stored names fold alike, the first in byte order wins.
//
// A backend may keep what it has seen for as long as it lives: the machine
// that owns it owns the run, and a change made on the host behind its back
// is caught by the checks --apply makes before anything is written. No
// backend ever writes: the simulated machine never writes a host file.
#ifndef KESTROW_PLATFORM_SIM_DRIVE_BACKEND_H
#define KESTROW_PLATFORM_SIM_DRIVE_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/sim/code_page.h"

namespace platform::sim {

class DriveBackend {
public:
    using NodeId = std::uint64_t;
    static constexpr NodeId kRoot = 0;

    struct Node {
        std::string name;  // as stored, in the machine's code page
        bool directory = false;
        bool readOnly = false;
        NodeId id = kRoot;
    };

    virtual ~DriveBackend() = default;

    // The entry of `folder` whose name folds to `folded`; nullopt when there
    // is none, or when what has that name is neither a file nor a folder.
    virtual std::optional<Node> Find(NodeId folder, std::string_view folded,
                                     const CodePage& codePage) = 0;
    // A file's bytes; nullopt when they cannot be read.
    virtual std::optional<std::string> Read(NodeId file) = 0;

    // The host folder the drive is, for writing changes back; empty when
    // the drive cannot be written to (memory, a disk image).
    virtual std::string HostFolder() const { return std::string(); }
};

// The names of one folder with a lookup by folded name, built for one code
// page at a time.
class FolderNames {
public:
    // Names must be added in byte order for the first of two names that fold
    // alike to win; Sort() puts them in that order afterwards.
    void Add(std::string name);
    void Sort();
    std::size_t Size() const { return names_.size(); }
    const std::string& Name(std::size_t index) const { return names_[index]; }
    // The index of the first name that folds to `folded`.
    std::optional<std::size_t> Find(std::string_view folded, const CodePage& codePage);

private:
    std::vector<std::string> names_;
    std::unordered_map<std::string, std::size_t> byFolded_;
    unsigned indexedFor_ = 0;  // the code page byFolded_ was built with; 0: none
};

}  // namespace platform::sim

#endif
