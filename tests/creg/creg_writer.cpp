#include "tests/creg/creg_writer.h"

#include <cstdint>
#include <vector>

namespace creg_test {

namespace {

using platform::sim::RegistryKey;
using platform::sim::RegistryValue;

constexpr std::uint32_t kNone32 = 0xFFFFFFFF;
constexpr std::uint16_t kNone16 = 0xFFFF;
constexpr std::size_t kFileHeaderSize = 0x20;
constexpr std::size_t kBlockHeaderSize = 0x20;
constexpr std::size_t kHierarchyEntrySize = 28;
constexpr std::size_t kNameEntryHeaderSize = 20;
constexpr std::size_t kValueHeaderSize = 12;
constexpr std::size_t kPage = 4096;

void Put16(std::string* out, std::size_t at, std::uint16_t value) {
    (*out)[at] = static_cast<char>(value & 0xFF);
    (*out)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string* out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::size_t RoundUp(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

// The key's name hash: the bytes below 0x80 of the upper-cased name, added.
std::uint32_t NameHash(const std::string& name) {
    std::uint32_t hash = 0;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 'a' && byte <= 'z') byte = static_cast<unsigned char>(byte - 'a' + 'A');
        if (byte < 0x80) hash += byte;
    }
    return hash;
}

// A key name entry with its values; identifier 0xFFFF marks free space.
std::string NameEntry(const std::string& name, const std::vector<RegistryValue>& values,
                      std::uint16_t identifier, std::uint16_t blockNumber) {
    std::size_t size = kNameEntryHeaderSize + name.size();
    for (const RegistryValue& value : values)
        size += kValueHeaderSize + value.name.size() + value.data.size();
    std::string entry(kNameEntryHeaderSize, '\0');
    Put32(&entry, 0, static_cast<std::uint32_t>(size));
    Put16(&entry, 4, identifier);
    Put16(&entry, 6, blockNumber);
    Put32(&entry, 8, static_cast<std::uint32_t>(size));
    Put16(&entry, 12, static_cast<std::uint16_t>(name.size()));
    Put16(&entry, 14, static_cast<std::uint16_t>(values.size()));
    entry += name;
    for (const RegistryValue& value : values) {
        std::string header(kValueHeaderSize, '\0');
        Put32(&header, 0, value.type);
        Put16(&header, 8, static_cast<std::uint16_t>(value.name.size()));
        Put16(&header, 10, static_cast<std::uint16_t>(value.data.size()));
        entry += header + value.name + std::string(value.data.begin(), value.data.end());
    }
    return entry;
}

struct PlacedKey {
    const RegistryKey* key;
    std::size_t parent;  // index in the list; the root's is its own
    std::size_t firstSubkey = 0;
    std::size_t nextSibling = 0;
    std::uint16_t identifier = kNone16;
    std::uint16_t block = kNone16;
};

// Every key in depth-first order, the root first, so that a key's subkeys
// come in their stored order.
void PlaceKeys(const RegistryKey& key, std::size_t parent, std::vector<PlacedKey>* placed) {
    std::size_t self = placed->size();
    placed->push_back({&key, parent});
    std::size_t previous = 0;
    for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
        std::size_t child = placed->size();
        if (i == 0) {
            (*placed)[self].firstSubkey = child;
        } else {
            (*placed)[previous].nextSibling = child;
        }
        PlaceKeys(*key.SubkeyAt(i), self, placed);
        previous = child;
    }
}

struct DataBlock {
    std::string entries;
    std::uint16_t count = 0;
};

std::string BlockBytes(const DataBlock& block, std::uint16_t number) {
    // Windows keeps data blocks a whole number of pages long; the room after
    // the last entry is one free-space entry.
    std::size_t used = kBlockHeaderSize + block.entries.size();
    std::size_t size = RoundUp(used + kNameEntryHeaderSize, kPage);
    std::string bytes(kBlockHeaderSize, '\0');
    bytes.replace(0, 4, "RGDB");
    Put32(&bytes, 4, static_cast<std::uint32_t>(size));
    Put32(&bytes, 8, static_cast<std::uint32_t>(size - used));
    Put16(&bytes, 14, number);
    Put32(&bytes, 16, static_cast<std::uint32_t>(block.entries.size()));
    bytes += block.entries;
    std::string free(size - used, '\0');
    Put32(&free, 0, static_cast<std::uint32_t>(free.size()));
    Put16(&free, 4, kNone16);
    Put16(&free, 6, number);
    return bytes + free;
}

}  // namespace

std::string WriteCreg(const RegistryKey& root, const CregLayout& layout) {
    std::vector<PlacedKey> keys;
    PlaceKeys(root, 0, &keys);

    std::vector<DataBlock> blocks(1);
    if (layout.withDeletedKey) {
        RegistryValue gone{"Driver", platform::sim::REG_SZ_TYPE, {'u', 's', 'b', 0}};
        blocks[0].entries += NameEntry("Removed Device", {gone}, kNone16, 0);
    }
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const RegistryKey& key = *keys[i].key;
        std::string probe = NameEntry(key.Name(), key.Values(), 0, 0);
        if (!blocks.back().entries.empty() &&
            blocks.back().entries.size() + probe.size() > layout.blockDataBytes) {
            blocks.emplace_back();
        }
        DataBlock& block = blocks.back();
        keys[i].block = static_cast<std::uint16_t>(blocks.size() - 1);
        keys[i].identifier = block.count++;
        block.entries += NameEntry(key.Name(), key.Values(), keys[i].identifier, keys[i].block);
    }

    auto entryOffset = [](std::size_t index) {
        return static_cast<std::uint32_t>(0x20 + index * kHierarchyEntrySize);
    };
    std::size_t hierarchyEntries = keys.size() + (layout.withDeletedKey ? 1 : 0);
    std::size_t navigationSize = RoundUp(entryOffset(hierarchyEntries) + kBlockHeaderSize, kPage);
    std::string navigation(navigationSize, '\0');
    navigation.replace(0, 4, "RGKN");
    Put32(&navigation, 4, static_cast<std::uint32_t>(navigationSize));
    Put32(&navigation, 8, 0x20);
    Put32(&navigation, 12, entryOffset(hierarchyEntries));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const PlacedKey& placed = keys[i];
        std::size_t at = entryOffset(i);
        Put32(&navigation, at + 4, i == 0 ? 0 : NameHash(placed.key->Name()));
        Put32(&navigation, at + 8, kNone32);
        Put32(&navigation, at + 12, i == 0 ? kNone32 : entryOffset(placed.parent));
        Put32(&navigation, at + 16, placed.firstSubkey ? entryOffset(placed.firstSubkey) : kNone32);
        Put32(&navigation, at + 20, placed.nextSibling ? entryOffset(placed.nextSibling) : kNone32);
        Put16(&navigation, at + 24, placed.identifier);
        Put16(&navigation, at + 26, placed.block);
    }
    if (layout.withDeletedKey) {
        std::size_t at = entryOffset(keys.size());
        Put32(&navigation, at + 4, NameHash("Removed Device"));
        Put32(&navigation, at + 8, kNone32);
        Put32(&navigation, at + 12, entryOffset(0));
        Put32(&navigation, at + 16, kNone32);
        Put32(&navigation, at + 20, kNone32);
        Put16(&navigation, at + 24, kNone16);
        Put16(&navigation, at + 26, 0);
    }

    std::string file(kFileHeaderSize, '\0');
    file.replace(0, 4, "CREG");
    Put16(&file, 4, 0);
    Put16(&file, 6, 1);
    Put32(&file, 8, static_cast<std::uint32_t>(kFileHeaderSize + navigation.size()));
    Put16(&file, 16, static_cast<std::uint16_t>(blocks.size()));
    file += navigation;
    for (std::size_t i = 0; i < blocks.size(); ++i)
        file += BlockBytes(blocks[i], static_cast<std::uint16_t>(i));
    return file;
}

}  // namespace creg_test
