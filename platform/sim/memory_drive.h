// A simulated drive held in memory: empty when mapped, or filled by whoever
// builds it (a test, a fuzzer) before the machine runs.
#ifndef KESTROW_PLATFORM_SIM_MEMORY_DRIVE_H
#define KESTROW_PLATFORM_SIM_MEMORY_DRIVE_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/drive_backend.h"

namespace platform::sim {

class MemoryDrive : public DriveBackend {
public:
    MemoryDrive();

    // Adds an entry below a folder and returns its node; the name is kept as
    // given, in the machine's code page.
    NodeId AddFolder(NodeId folder, std::string name);
    NodeId AddFile(NodeId folder, std::string name, std::string bytes, bool readOnly = false);

    std::optional<Node> Find(NodeId folder, std::string_view folded,
                             const CodePage& codePage) override;
    std::optional<std::string> Read(NodeId file) override;

private:
    struct Entry {
        Node node;
        std::string bytes;
        FolderNames names;             // of a folder, in byte order once looked up
        std::vector<NodeId> children;  // by name, as names holds them
        bool sorted = true;
    };
    NodeId Add(NodeId folder, Node node, std::string bytes);

    std::vector<Entry> entries_;  // by NodeId
};

}  // namespace platform::sim

#endif
