#include "platform/sim/registry_tree.h"

#include <algorithm>
#include <cstdint>

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

// Subkeys or values by name: an open-addressing hash table with linear
// probing, hashed on the name as FoldCase would fold it, but without making
// the folded copy. An entry is a subkey, or a value's position plus one, so
// that a zero entry marks a free slot. Each slot keeps the name's hash, so a
// probe compares names only when the hashes agree, and entries move or go
// without their names being looked at again.
template <class Entry>
class RegistryKey::NameIndex {
public:
    // The entry of an empty slot: a null subkey, or 0 (values are kept as
    // their position plus one).
    static constexpr Entry kNone{};

    static std::uint32_t Hash(std::string_view name, const CodePage& codePage) {
        std::uint32_t hash = 2166136261u;  // FNV-1a
        for (std::size_t i = 0; i < name.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(name[i]);
            if (codePage.IsLeadByte(c)) {
                hash = (hash ^ c) * 16777619u;
                if (++i == name.size()) break;
                c = static_cast<unsigned char>(name[i]);  // the trail byte, unfolded
            } else if (c >= 'a' && c <= 'z') {
                c = static_cast<unsigned char>(c - 'a' + 'A');
            }
            hash = (hash ^ c) * 16777619u;
        }
        return hash;
    }

    // The entry whose name matches, or a zero entry. nameOf(entry) gives an
    // entry's name.
    template <class NameOf>
    Entry Find(std::string_view name, std::uint32_t hash, const CodePage& codePage,
               NameOf nameOf) const {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.entry == kNone) return kNone;
            if (slot.hash == hash && codePage.SameName(nameOf(slot.entry), name)) {
                return slot.entry;
            }
        }
    }

    void Insert(std::uint32_t hash, Entry entry) {
        if ((count_ + 1) * 2 > slots_.size()) Grow();
        Place(Slot{hash, entry});
        ++count_;
    }

    void Erase(std::uint32_t hash, Entry entry) {
        std::size_t mask = slots_.size() - 1;
        std::size_t hole = hash & mask;
        while (slots_[hole].entry != entry) hole = (hole + 1) & mask;
        // Backward-shift deletion: move up each later entry of the probe run
        // whose home slot does not lie between the hole and itself.
        for (std::size_t next = (hole + 1) & mask; slots_[next].entry != kNone;
             next = (next + 1) & mask) {
            std::size_t home = slots_[next].hash & mask;
            if (((next - home) & mask) >= ((next - hole) & mask)) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole].entry = kNone;
        --count_;
    }

    // Lowers every entry above this one by one, as erasing a value from
    // its list moves the values after it.
    void ShiftDownAbove(Entry erased) {
        for (Slot& slot : slots_) {
            if (slot.entry > erased) --slot.entry;
        }
    }

private:
    struct Slot {
        std::uint32_t hash;
        Entry entry;
    };

    void Place(Slot slot) {
        std::size_t mask = slots_.size() - 1;
        std::size_t i = slot.hash & mask;
        while (slots_[i].entry != kNone) i = (i + 1) & mask;
        slots_[i] = slot;
    }

    void Grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{0, kNone});
        for (const Slot& slot : old) {
            if (slot.entry != kNone) Place(slot);
        }
    }

    std::vector<Slot> slots_;  // a power of two in size, at most half full
    std::size_t count_ = 0;
};

RegistryKey::RegistryKey(std::string name, RegistryKey* parent, const CodePage* codePage)
    : name_(std::move(name)), parent_(parent), codePage_(codePage) {}

RegistryKey::~RegistryKey() = default;

RegistryKey* RegistryKey::SubkeyAt(std::size_t index) const {
    Materialize();
    return index < subkeys_.size() ? subkeys_[index].get() : nullptr;
}

RegistryKey* RegistryKey::FindSubkey(std::string_view name) const {
    Materialize();
    if (subkeyIndex_ != nullptr) {
        return subkeyIndex_->Find(
            name, SubkeyIndex::Hash(name, *codePage_), *codePage_,
            [](const RegistryKey* key) -> std::string_view { return key->name_; });
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
    if (subkeyIndex_ != nullptr) {
        subkeyIndex_->Insert(SubkeyIndex::Hash(name, *codePage_), key);
    } else if (subkeys_.size() > kIndexThreshold) {
        subkeyIndex_ = std::make_unique<SubkeyIndex>();
        for (const auto& subkey : subkeys_) {
            subkeyIndex_->Insert(SubkeyIndex::Hash(subkey->name_, *codePage_), subkey.get());
        }
    }
    return key;
}

bool RegistryKey::RemoveSubkey(std::string_view name) { return DetachSubkey(name) != nullptr; }

std::unique_ptr<RegistryKey> RegistryKey::DetachSubkey(std::string_view name) {
    RegistryKey* key = FindSubkey(name);
    if (key == nullptr) return nullptr;
    if (subkeyIndex_ != nullptr) {
        if (subkeys_.size() - 1 <= kIndexThreshold) {
            subkeyIndex_.reset();
        } else {
            subkeyIndex_->Erase(SubkeyIndex::Hash(key->name_, *codePage_), key);
        }
    }
    auto place =
        std::find_if(subkeys_.begin(), subkeys_.end(),
                     [key](const std::unique_ptr<RegistryKey>& k) { return k.get() == key; });
    std::unique_ptr<RegistryKey> detached = std::move(*place);
    subkeys_.erase(place);
    return detached;
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
    Materialize();
    if (valueIndex_ != nullptr) {
        std::uint32_t entry = valueIndex_->Find(
            name, ValueIndex::Hash(name, *codePage_), *codePage_,
            [this](std::uint32_t e) -> std::string_view { return values_[e - 1].name; });
        return entry == 0 ? values_.size() : entry - 1;
    }
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (codePage_->SameName(values_[i].name, name)) return i;
    }
    return values_.size();
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
    if (valueIndex_ != nullptr) {
        valueIndex_->Insert(ValueIndex::Hash(name, *codePage_),
                            static_cast<std::uint32_t>(values_.size()));
    } else if (values_.size() > kIndexThreshold) {
        valueIndex_ = std::make_unique<ValueIndex>();
        for (std::size_t i = 0; i < values_.size(); ++i) {
            valueIndex_->Insert(ValueIndex::Hash(values_[i].name, *codePage_),
                                static_cast<std::uint32_t>(i + 1));
        }
    }
}

bool RegistryKey::RemoveValue(std::string_view name) {
    std::size_t position = ValuePosition(name);
    if (position >= values_.size()) return false;
    if (valueIndex_ != nullptr) {
        if (values_.size() - 1 <= kIndexThreshold) {
            valueIndex_.reset();
        } else {
            auto entry = static_cast<std::uint32_t>(position + 1);
            valueIndex_->Erase(ValueIndex::Hash(values_[position].name, *codePage_), entry);
            valueIndex_->ShiftDownAbove(entry);
        }
    }
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
    return true;
}

void RegistryKey::ReserveValues(std::size_t count) {
    Materialize();
    values_.reserve(count);
}

void RegistryKey::Clear() {
    pending_.reset();
    subkeyIndex_.reset();
    valueIndex_.reset();
    subkeys_.clear();
    values_.clear();
}

std::size_t RegistryKey::CountSubtreeKeys() const {
    std::size_t count = SubkeyCount();
    for (const auto& key : subkeys_) count += key->CountSubtreeKeys();
    return count;
}

std::size_t RegistryKey::CountSubtreeValues() const {
    Materialize();
    std::size_t count = 0;
    for (const auto& key : subkeys_) count += key->Values().size() + key->CountSubtreeValues();
    return count;
}

std::string RegistryKey::FullPath() const {
    return parent_ == nullptr ? name_ : parent_->FullPath() + "\\" + name_;
}

void RegistryKey::CopyContentsTo(RegistryKey* target) const {
    Materialize();
    for (const RegistryValue& value : values_) target->SetValue(value.name, value.type, value.data);
    for (const auto& key : subkeys_) key->CopyContentsTo(target->CreateSubkey(key->name_));
}

void RegistryKey::SetSource(std::shared_ptr<const KeySource> source, std::uint32_t id) {
    Materialize();
    pending_ = std::make_unique<Pending>(Pending{std::move(source), id});
}

void RegistryKey::Fill() const {
    // Taken off first: what Fill adds goes through the key's own functions,
    // which must see the key as no longer waiting.
    std::unique_ptr<Pending> pending = std::move(pending_);
    pending->source->Fill(pending->id, const_cast<RegistryKey*>(this));
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

std::size_t RegistryTree::RootIndex(std::string_view name) {
    CodePage ascii;
    std::size_t index = 0;
    while (index < std::size(kRoots) && !ascii.SameName(kRoots[index].name, name)) ++index;
    return index;
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
