#include "platform/sim/registry_tree.h"

#include <algorithm>

namespace platform::sim {

namespace {

// Splits off the first component of a backslash path. A trail byte equal to
// a backslash belongs to its character and splits nothing.
std::string_view NextComponent(std::string_view* path, const CodePage& codePage) {
    std::size_t slash = codePage.NameLength(*path, '\\');
    std::string_view head = path->substr(0, slash);
    *path = slash >= path->size() ? std::string_view() : path->substr(slash + 1);
    return head;
}

// Keys with more subkeys or values than this keep an index of their names;
// smaller ones are searched in order, which costs less memory and time.
constexpr std::size_t kIndexThreshold = 16;

struct RootEntry {
    const char* name;
    std::uint32_t handle;
};

constexpr RootEntry kRoots[] = {
    {"HKEY_CLASSES_ROOT", 0x80000000u},   {"HKEY_CURRENT_USER", 0x80000001u},
    {"HKEY_LOCAL_MACHINE", 0x80000002u},  {"HKEY_USERS", 0x80000003u},
    {"HKEY_CURRENT_CONFIG", 0x80000005u}, {"HKEY_DYN_DATA", 0x80000006u},
};

}  // namespace

RegistryKey::RegistryKey(std::string name, RegistryKey* parent, const CodePage* codePage)
    : name_(std::move(name)), parent_(parent), codePage_(codePage) {}

RegistryKey* RegistryKey::SubkeyAt(std::size_t index) const {
    return index < subkeys_.size() ? subkeys_[index].get() : nullptr;
}

RegistryKey* RegistryKey::FindSubkey(std::string_view name) const {
    if (!index_.empty()) {
        auto it = index_.find(codePage_->FoldCase(name));
        return it == index_.end() ? nullptr : it->second;
    }
    for (const auto& key : subkeys_) {
        if (codePage_->SameName(key->name_, name)) return key.get();
    }
    return nullptr;
}

RegistryKey* RegistryKey::CreateSubkey(std::string_view name) {
    if (RegistryKey* existing = FindSubkey(name)) return existing;
    subkeys_.push_back(std::make_unique<RegistryKey>(std::string(name), this, codePage_));
    RegistryKey* key = subkeys_.back().get();
    if (!index_.empty()) {
        index_.emplace(codePage_->FoldCase(name), key);
    } else if (subkeys_.size() > kIndexThreshold) {
        RebuildSubkeyIndex();
    }
    return key;
}

bool RegistryKey::RemoveSubkey(std::string_view name) {
    RegistryKey* key = FindSubkey(name);
    if (key == nullptr) return false;
    if (!index_.empty()) index_.erase(codePage_->FoldCase(key->name_));
    subkeys_.erase(
        std::find_if(subkeys_.begin(), subkeys_.end(),
                     [key](const std::unique_ptr<RegistryKey>& k) { return k.get() == key; }));
    if (subkeys_.size() <= kIndexThreshold) index_.clear();
    return true;
}

void RegistryKey::RebuildSubkeyIndex() {
    index_.clear();
    if (subkeys_.size() <= kIndexThreshold) return;
    index_.reserve(subkeys_.size());
    for (const auto& key : subkeys_) index_.emplace(codePage_->FoldCase(key->name_), key.get());
}

RegistryKey* RegistryKey::FindPath(std::string_view path) {
    RegistryKey* key = this;
    while (key != nullptr && !path.empty()) {
        std::string_view part = NextComponent(&path, *codePage_);
        if (!part.empty()) key = key->FindSubkey(part);
    }
    return key;
}

RegistryKey* RegistryKey::CreatePath(std::string_view path) {
    RegistryKey* key = this;
    while (!path.empty()) {
        std::string_view part = NextComponent(&path, *codePage_);
        if (!part.empty()) key = key->CreateSubkey(part);
    }
    return key;
}

std::size_t RegistryKey::ValuePosition(std::string_view name) const {
    if (!valueIndex_.empty()) {
        auto it = valueIndex_.find(codePage_->FoldCase(name));
        return it == valueIndex_.end() ? values_.size() : it->second;
    }
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (codePage_->SameName(values_[i].name, name)) return i;
    }
    return values_.size();
}

void RegistryKey::RebuildValueIndex() {
    valueIndex_.clear();
    if (values_.size() <= kIndexThreshold) return;
    for (std::size_t i = 0; i < values_.size(); ++i) {
        valueIndex_.emplace(codePage_->FoldCase(values_[i].name), i);
    }
}

const RegistryValue* RegistryKey::FindValue(std::string_view name) const {
    std::size_t position = ValuePosition(name);
    return position < values_.size() ? &values_[position] : nullptr;
}

void RegistryKey::SetValue(std::string_view name, std::uint32_t type,
                           std::vector<std::uint8_t> data) {
    std::size_t position = ValuePosition(name);
    if (position < values_.size()) {
        values_[position].type = type;
        values_[position].data = std::move(data);
        return;
    }
    // Keys hold a handful of values: grow by small steps rather than doubling.
    if (values_.size() == values_.capacity()) {
        values_.reserve(values_.size() + std::max<std::size_t>(4, values_.size() / 4));
    }
    values_.push_back(RegistryValue{std::string(name), type, std::move(data)});
    if (!valueIndex_.empty()) {
        valueIndex_.emplace(codePage_->FoldCase(name), values_.size() - 1);
    } else if (values_.size() > kIndexThreshold) {
        RebuildValueIndex();
    }
}

bool RegistryKey::RemoveValue(std::string_view name) {
    std::size_t position = ValuePosition(name);
    if (position >= values_.size()) return false;
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
    if (!valueIndex_.empty()) RebuildValueIndex();
    return true;
}

std::size_t RegistryKey::CountSubtreeKeys() const {
    std::size_t count = subkeys_.size();
    for (const auto& key : subkeys_) count += key->CountSubtreeKeys();
    return count;
}

std::size_t RegistryKey::CountSubtreeValues() const {
    std::size_t count = 0;
    for (const auto& key : subkeys_) count += key->values_.size() + key->CountSubtreeValues();
    return count;
}

std::string RegistryKey::FullPath() const {
    return parent_ == nullptr ? name_ : parent_->FullPath() + "\\" + name_;
}

void RegistryKey::CopyContentsTo(RegistryKey* target) const {
    for (const RegistryValue& value : values_) target->SetValue(value.name, value.type, value.data);
    for (const auto& key : subkeys_) key->CopyContentsTo(target->CreateSubkey(key->name_));
}

RegistryTree::RegistryTree(const CodePage& codePage)
    : codePage_(std::make_unique<CodePage>(codePage)) {
    for (const RootEntry& root : kRoots) {
        roots_.push_back(std::make_unique<RegistryKey>(root.name, nullptr, codePage_.get()));
    }
}

const std::vector<std::string>& RegistryTree::RootNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const RootEntry& root : kRoots) list.emplace_back(root.name);
        return list;
    }();
    return names;
}

bool RegistryTree::RootHandleValue(std::string_view name, std::uint32_t* value) {
    CodePage ascii;
    for (const RootEntry& root : kRoots) {
        if (ascii.SameName(root.name, name)) {
            *value = root.handle;
            return true;
        }
    }
    return false;
}

RegistryKey* RegistryTree::Root(std::string_view name) const {
    std::uint32_t handle = 0;
    return RootHandleValue(name, &handle) ? Root(handle) : nullptr;
}

RegistryKey* RegistryTree::Root(std::uint32_t handleValue) const {
    for (std::size_t i = 0; i < std::size(kRoots); ++i) {
        if (kRoots[i].handle == handleValue) return roots_[i].get();
    }
    return nullptr;
}

RegistryKey* RegistryTree::FindFullPath(std::string_view path) {
    std::string_view rest = path;
    RegistryKey* root = Root(NextComponent(&rest, *codePage_));
    return root == nullptr ? nullptr : root->FindPath(rest);
}

RegistryKey* RegistryTree::CreateFullPath(std::string_view path) {
    std::string_view rest = path;
    RegistryKey* root = Root(NextComponent(&rest, *codePage_));
    return root == nullptr ? nullptr : root->CreatePath(rest);
}

}  // namespace platform::sim
