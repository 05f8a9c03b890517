#include "platform/sim/memory_drive.h"

#include <algorithm>

namespace platform::sim {

MemoryDrive::MemoryDrive() {
    entries_.emplace_back();
    entries_.back().node.directory = true;
}

DriveBackend::NodeId MemoryDrive::Add(NodeId folder, Node node, std::string bytes) {
    node.id = entries_.size();
    Entry& parent = entries_.at(folder);
    parent.children.push_back(node.id);
    parent.sorted = false;
    Entry entry;
    entry.node = std::move(node);
    entry.bytes = std::move(bytes);
    entries_.push_back(std::move(entry));
    return entries_.back().node.id;
}

DriveBackend::NodeId MemoryDrive::AddFolder(NodeId folder, std::string name) {
    Node node;
    node.name = std::move(name);
    node.directory = true;
    return Add(folder, std::move(node), std::string());
}

DriveBackend::NodeId MemoryDrive::AddFile(NodeId folder, std::string name, std::string bytes,
                                          bool readOnly) {
    Node node;
    node.name = std::move(name);
    node.readOnly = readOnly;
    return Add(folder, std::move(node), std::move(bytes));
}

std::optional<DriveBackend::Node> MemoryDrive::Find(NodeId folder, std::string_view folded,
                                                    const CodePage& codePage) {
    if (folder >= entries_.size() || !entries_[folder].node.directory) return std::nullopt;
    Entry& parent = entries_[folder];
    if (!parent.sorted) {
        std::sort(parent.children.begin(), parent.children.end(), [this](NodeId a, NodeId b) {
            return entries_[a].node.name < entries_[b].node.name;
        });
        parent.names = FolderNames();
        for (NodeId child : parent.children) parent.names.Add(entries_[child].node.name);
        parent.sorted = true;
    }
    std::optional<std::size_t> index = parent.names.Find(folded, codePage);
    if (!index) return std::nullopt;
    return entries_[parent.children[*index]].node;
}

std::optional<std::string> MemoryDrive::Read(NodeId file) {
    if (file >= entries_.size() || entries_[file].node.directory) return std::nullopt;
    return entries_[file].bytes;
}

}  // namespace platform::sim
