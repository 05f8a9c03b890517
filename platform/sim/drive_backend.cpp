#include "platform/sim/drive_backend.h"

#include <algorithm>

namespace platform::sim {

void FolderNames::Add(std::string name) {
    names_.push_back(std::move(name));
    indexedFor_ = 0;
}

void FolderNames::Sort() {
    std::sort(names_.begin(), names_.end());
    indexedFor_ = 0;
}

std::optional<std::size_t> FolderNames::Find(std::string_view folded, const CodePage& codePage) {
    if (indexedFor_ != codePage.Number()) {
        byFolded_.clear();
        byFolded_.reserve(names_.size());
        for (std::size_t i = 0; i < names_.size(); ++i) {
            byFolded_.emplace(codePage.FoldCase(names_[i]), i);  // keeps the first
        }
        indexedFor_ = codePage.Number();
    }
    auto found = byFolded_.find(std::string(folded));
    if (found == byFolded_.end()) return std::nullopt;
    return found->second;
}

}  // namespace platform::sim
