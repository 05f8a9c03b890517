#include "sim/formats/creg_reader.h"

#include <libbfio.h>
#include <libcreg.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

// How a file is read
// ------------------
// libcreg opens the file (from memory, through a libbfio memory range, so
// no file and no /proc are needed): its reading of the file header, the key
// navigation block and the list of data blocks must succeed. The keys are
// not read through libcreg: it finds a key's name entry by going through
// the entries of the key's data block one by one, and a whole registry read
// that way takes time that grows with keys times keys per block (minutes
// for a real machine's registry). Instead one pass over every data block
// indexes its entries by block and identifier, checking each entry and each
// of its values the way libcreg's own reading of a block does and more
// strictly (an entry or value that runs past where it must end, entries
// that do not fill their block exactly, two entries with one identifier),
// and one walk over the key hierarchy from the root checks every link it
// follows (see CheckHierarchy). Only then is the tree given the file; each
// key is taken out of it when the run first looks at it, which cannot fail
// any more.

namespace kestrow_sim {

using platform::sim::CodePage;
using platform::sim::KeySource;
using platform::sim::RegistryKey;

namespace {

constexpr std::size_t kHeaderSize = 0x20;
constexpr std::size_t kNavigationHeaderSize = 0x20;
constexpr std::size_t kDataBlockHeaderSize = 0x20;
constexpr std::size_t kNameEntryHeaderSize = 20;
constexpr std::size_t kValueHeaderSize = 12;
// A hierarchy entry: its fields, by offset.
constexpr std::uint32_t kHierarchyEntrySize = 28;
constexpr std::size_t kParentLink = 12;
constexpr std::size_t kFirstSubkeyLink = 16;
constexpr std::size_t kNextSiblingLink = 20;
constexpr std::size_t kNameIdentifier = 24;
constexpr std::size_t kNameBlock = 26;
constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
constexpr std::uint16_t kNoName = 0xFFFF;     // a root's block number
constexpr std::uint16_t kFreeSpace = 0xFFFF;  // a name entry's identifier
// Windows 98 keeps paths far shallower; a deeper tree is a damaged file
// (and a tree that deep would be walked recursively by the simulation).
constexpr int kMaxDepth = 512;

std::uint32_t Read32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::uint16_t Read16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// A name as stored: it ends at the first NUL byte, if any.
std::string_view StoredName(std::string_view bytes) {
    return bytes.substr(0, std::min(bytes.find('\0'), bytes.size()));
}

// libcreg's message for an error: the innermost cause, without the name
// of the libcreg function that reports it.
std::string LibcregMessage(libcreg_error_t* error) {
    if (error == nullptr) return "unknown error";
    std::vector<char> text(4096, '\0');
    libcreg_error_backtrace_sprint(error, text.data(), text.size());
    std::string message(text.data());
    std::size_t lineEnd = message.find_first_of("\r\n");
    if (lineEnd != std::string::npos) message.resize(lineEnd);
    std::size_t colon = message.find(": ");
    if (colon != std::string::npos && message.compare(0, 8, "libcreg_") == 0) {
        message.erase(0, colon + 2);
    }
    while (!message.empty() && (message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "unknown error" : message;
}

// Opens the bytes with libcreg, as a check that the library reads the
// file's header and blocks too. No file is made: libbfio reads the bytes
// where they are.
bool LibcregOpens(std::string_view bytes, std::string* error) {
    libbfio_handle_t* range = nullptr;
    if (libbfio_memory_range_initialize(&range, nullptr) != 1) {
        *error = "libcreg cannot start: no memory for a libbfio range";
        return false;
    }
    // libbfio takes the range as writable, but a handle opened for reading
    // only reads it.
    auto* start = reinterpret_cast<std::uint8_t*>(const_cast<char*>(bytes.data()));
    bool ok = libbfio_memory_range_set(range, start, bytes.size(), nullptr) == 1;
    libcreg_file_t* file = nullptr;
    libcreg_error_t* raw = nullptr;
    if (!ok) {
        *error = "libcreg cannot start: the bytes cannot be given to libbfio";
    } else if (libcreg_file_initialize(&file, &raw) != 1) {
        *error = "libcreg cannot start: " + LibcregMessage(raw);
        ok = false;
    } else if (libcreg_file_open_file_io_handle(file, range, LIBCREG_OPEN_READ, &raw) != 1) {
        *error = "corrupt registry file: " + LibcregMessage(raw);
        ok = false;
    } else {
        libcreg_file_close(file, nullptr);
    }
    if (raw != nullptr) libcreg_error_free(&raw);
    if (file != nullptr) libcreg_file_free(&file, nullptr);
    libbfio_handle_free(&range, nullptr);
    return ok;
}

// Where the parts of a checked file are.
struct Layout {
    std::string_view navigation;        // the key navigation block (RGKN), header included
    std::uint32_t root = 0;             // the root's entry, as an offset in it
    std::vector<std::uint32_t> blocks;  // each data block's file offset
    // Every key name entry (free space left out), by block and identifier
    // (block << 16 | identifier), sorted, with its file offset.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> names;

    static std::uint32_t NameKey(std::uint16_t block, std::uint16_t identifier) {
        return static_cast<std::uint32_t>(block) << 16 | identifier;
    }
    // The file offset of a name entry; 0 when there is none.
    std::uint32_t NameEntry(std::uint16_t block, std::uint16_t identifier) const {
        std::uint32_t key = NameKey(block, identifier);
        auto found = std::lower_bound(names.begin(), names.end(), key,
                                      [](const std::pair<std::uint32_t, std::uint32_t>& a,
                                         std::uint32_t b) { return a.first < b; });
        return found != names.end() && found->first == key ? found->second : 0;
    }
};

// Checks the file header, the key navigation block's header and the chain
// of data blocks, so that a file cut short or not a registry file at all
// gets a message a person can act on.
bool CheckBlocks(std::string_view bytes, Layout* layout, std::string* error) {
    if (!HasCregSignature(bytes)) {
        *error = "not a Windows 98/Me registry file (no \"CREG\" signature at its start)";
        return false;
    }
    if (bytes.size() < kHeaderSize + kNavigationHeaderSize) {
        *error = "truncated: " + std::to_string(bytes.size()) +
                 " bytes, too short for the registry file's headers";
        return false;
    }
    if (bytes.size() > kMaxCregFileBytes) {
        *error = CregTooLargeText(bytes.size());
        return false;
    }
    if (bytes.substr(kHeaderSize, 4) != "RGKN") {
        *error = "corrupt header: no key navigation block (\"RGKN\") at offset 0x20";
        return false;
    }
    std::uint32_t firstDataBlock = Read32(bytes, 8);
    std::uint32_t navigationSize = Read32(bytes, kHeaderSize + 4);
    if (navigationSize < kNavigationHeaderSize || navigationSize > bytes.size() - kHeaderSize) {
        *error = "corrupt or truncated: the key navigation block claims " +
                 std::to_string(navigationSize) + " bytes, the file has " +
                 std::to_string(bytes.size() - kHeaderSize) + " after the header";
        return false;
    }
    if (firstDataBlock < kHeaderSize + navigationSize || firstDataBlock >= bytes.size()) {
        *error = "corrupt or truncated: the header puts the first data block at offset " +
                 Hex(firstDataBlock) + ", the file is " + std::to_string(bytes.size()) +
                 " bytes long";
        return false;
    }
    layout->navigation = bytes.substr(kHeaderSize, navigationSize);
    // The data blocks follow one another, each headed by its size, up to
    // the end of the file (libcreg reads them that way, whatever the
    // header counts).
    std::size_t blockCount = Read16(bytes, 16);
    std::size_t offset = firstDataBlock;
    for (std::size_t block = 0; block < blockCount; ++block) {
        std::string which = "data block " + std::to_string(block) + " (the " +
                            std::to_string(block + 1) + ". of " + std::to_string(blockCount) +
                            ", at offset " + Hex(offset) + ")";
        if (bytes.size() - offset < kDataBlockHeaderSize) {
            *error = "truncated: " + which + " is missing, the file is " +
                     std::to_string(bytes.size()) + " bytes long";
            return false;
        }
        if (bytes.substr(offset, 4) != "RGDB") {
            *error = "corrupt: " + which + " has no \"RGDB\" signature";
            return false;
        }
        std::uint32_t size = Read32(bytes, offset + 4);
        if (size < kDataBlockHeaderSize || size > bytes.size() - offset) {
            *error = (size < kDataBlockHeaderSize ? "corrupt: " : "truncated: ") + which +
                     " claims " + std::to_string(size) + " bytes, the file has " +
                     std::to_string(bytes.size() - offset) + " from there on";
            return false;
        }
        std::uint16_t number = Read16(bytes, offset + 14);
        if (number != block) {
            *error = "corrupt: " + which + " calls itself data block " + std::to_string(number);
            return false;
        }
        layout->blocks.push_back(static_cast<std::uint32_t>(offset));
        offset += size;
    }
    if (offset != bytes.size()) {
        *error = "corrupt: the header counts " + std::to_string(blockCount) +
                 " data blocks, which end at offset " + Hex(offset) + ", but the file goes on to " +
                 Hex(bytes.size()) + (bytes.substr(offset, 4) == "RGDB" ? " with another one" : "");
        return false;
    }
    return true;
}

// Checks every entry of every data block and indexes the key name entries.
bool CheckDataBlocks(std::string_view bytes, Layout* layout, std::string* error) {
    for (std::size_t block = 0; block < layout->blocks.size(); ++block) {
        const std::size_t start = layout->blocks[block];
        const std::size_t end = start + Read32(bytes, start + 4);
        auto which = [&] {
            return "data block " + std::to_string(block) + " (at offset " + Hex(start) + ")";
        };
        std::size_t at = start + kDataBlockHeaderSize;
        while (at < end) {
            auto entry = [&] { return "the key name entry at offset " + Hex(at); };
            if (end - at < kNameEntryHeaderSize) {
                *error = "corrupt: " + which() + " ends with " + std::to_string(end - at) +
                         " bytes at offset " + Hex(at) + ", too few for a key name entry";
                return false;
            }
            std::uint32_t size = Read32(bytes, at);
            if (size < kNameEntryHeaderSize || size > end - at) {
                *error = "corrupt: " + which() + ": " + entry() + " claims " +
                         std::to_string(size) + " bytes, " + std::to_string(end - at) +
                         " are left in the block";
                return false;
            }
            std::uint16_t identifier = Read16(bytes, at + 4);
            if (identifier != kFreeSpace) {
                std::uint32_t used = Read32(bytes, at + 8);
                std::uint16_t nameSize = Read16(bytes, at + 12);
                std::uint16_t valueCount = Read16(bytes, at + 14);
                if (used < kNameEntryHeaderSize || used > size) {
                    *error = "corrupt: " + which() + ": " + entry() + " uses " +
                             std::to_string(used) + " of its " + std::to_string(size) + " bytes";
                    return false;
                }
                if (nameSize > used - kNameEntryHeaderSize) {
                    *error = "corrupt: " + which() + ": the name of " + entry() + " (" +
                             std::to_string(nameSize) + " bytes) runs past the entry's end";
                    return false;
                }
                std::size_t value = at + kNameEntryHeaderSize + nameSize;
                const std::size_t valuesEnd = at + used;
                for (std::uint16_t i = 0; i < valueCount; ++i) {
                    std::size_t valueSize = kValueHeaderSize;
                    if (valuesEnd - value >= kValueHeaderSize) {
                        valueSize +=
                            Read16(bytes, value + 8) + std::size_t{Read16(bytes, value + 10)};
                    }
                    if (valueSize > valuesEnd - value) {
                        *error = "corrupt: " + which() + ": value " + std::to_string(i + 1) +
                                 " of " + std::to_string(valueCount) + " of " + entry() +
                                 " (at offset " + Hex(value) + ") runs past the entry's end";
                        return false;
                    }
                    value += valueSize;
                }
                layout->names.emplace_back(
                    Layout::NameKey(static_cast<std::uint16_t>(block), identifier),
                    static_cast<std::uint32_t>(at));
            }
            at += size;
        }
    }
    std::sort(layout->names.begin(), layout->names.end());
    for (std::size_t i = 1; i < layout->names.size(); ++i) {
        if (layout->names[i].first == layout->names[i - 1].first) {
            std::uint32_t key = layout->names[i].first;
            *error = "corrupt: data block " + std::to_string(key >> 16) + " (at offset " +
                     Hex(layout->blocks[key >> 16]) +
                     ") holds two key name entries with identifier " +
                     std::to_string(key & 0xFFFF) + ", at offsets " +
                     Hex(layout->names[i - 1].second) + " and " + Hex(layout->names[i].second);
            return false;
        }
    }
    return true;
}

// A hierarchy entry, read from the key navigation block.
struct HierarchyEntry {
    std::uint32_t parent, firstSubkey, nextSibling;
    std::uint16_t identifier, block;
};

HierarchyEntry ReadEntry(std::string_view navigation, std::uint32_t at) {
    return {Read32(navigation, at + kParentLink), Read32(navigation, at + kFirstSubkeyLink),
            Read32(navigation, at + kNextSiblingLink), Read16(navigation, at + kNameIdentifier),
            Read16(navigation, at + kNameBlock)};
}

// The key's name as its name entry stores it.
std::string_view KeyName(std::string_view bytes, std::uint32_t nameEntry) {
    return StoredName(
        bytes.substr(nameEntry + kNameEntryHeaderSize, Read16(bytes, nameEntry + 12)));
}

// Walks the key hierarchy from the root along its first-subkey and
// next-sibling links, the way the keys are read, and checks each entry it
// reaches: it lies whole in the key navigation block, on an entry boundary
// (entries are 28 bytes from offset 0x20; one off the boundary overlaps
// two); it is reached once (a second time is a loop, or two keys sharing an
// entry); it names as its parent the key it is linked below (the root: no
// parent); it has a key name entry that is there, with a name that is not
// empty, holds no backslash and is not its sibling's; and it is nested no
// deeper than kMaxDepth.
class HierarchyCheck {
public:
    HierarchyCheck(std::string_view bytes, Layout* layout, const CodePage& codePage,
                   std::string* error)
        : bytes_(bytes), layout_(layout), codePage_(codePage), error_(error) {}

    bool Run() {
        std::string_view navigation = layout_->navigation;
        seen_.assign(navigation.size() / kHierarchyEntrySize + 1, false);
        std::uint32_t root = Read32(navigation, 8);
        if (!CheckPlace(root, [] {
                return std::string("the key navigation block's first entry offset");
            })) {
            return false;
        }
        HierarchyEntry entry = ReadEntry(navigation, root);
        if (entry.parent != kNoEntry) {
            return Fail("the first key entry, at offset " + Hex(root) +
                        " of the key navigation block, is no root: it names the entry at " +
                        Hex(entry.parent) + " as its parent");
        }
        if (entry.block != kNoName && !NameEntryOf(root, entry)) return false;
        seen_[(root - kNavigationHeaderSize) / kHierarchyEntrySize] = true;
        layout_->root = root;
        std::vector<std::pair<std::uint32_t, int>> pending = {{root, 0}};
        while (!pending.empty()) {
            auto [key, depth] = pending.back();
            pending.pop_back();
            if (!CheckSubkeys(key, depth, &pending)) return false;
        }
        return true;
    }

private:
    bool Fail(const std::string& message) {
        *error_ = "corrupt: " + message;
        return false;
    }

    // Checks that an entry offset names a whole entry on an entry boundary.
    template <class From>
    bool CheckPlace(std::uint32_t at, From from) {
        std::string_view navigation = layout_->navigation;
        if (at < kNavigationHeaderSize || at > navigation.size() ||
            navigation.size() - at < kHierarchyEntrySize) {
            return Fail(from() + " points to offset " + Hex(at) +
                        ", outside the key navigation block");
        }
        std::uint32_t misplaced = (at - kNavigationHeaderSize) % kHierarchyEntrySize;
        if (misplaced != 0) {
            return Fail(from() + " points to offset " + Hex(at) +
                        " of the key navigation block, which is no entry boundary: it lies " +
                        std::to_string(misplaced) + " bytes into the entry at " +
                        Hex(at - misplaced));
        }
        return true;
    }

    // The file offset of a key's name entry, checked.
    std::uint32_t NameEntryOf(std::uint32_t at, const HierarchyEntry& entry) {
        auto key = [at] {
            return "the key entry at offset " + Hex(at) + " of the key navigation block";
        };
        if (entry.block >= layout_->blocks.size()) {
            Fail(key() + " names data block " + std::to_string(entry.block) + "; the file has " +
                 std::to_string(layout_->blocks.size()));
            return 0;
        }
        std::uint32_t name = layout_->NameEntry(entry.block, entry.identifier);
        if (name == 0) {
            Fail(key() + " names key name entry " + std::to_string(entry.identifier) +
                 " of data block " + std::to_string(entry.block) + " (at offset " +
                 Hex(layout_->blocks[entry.block]) +
                 "), which holds no entry with that identifier");
        }
        return name;
    }

    // The key's path, for messages, along the parent links checked so far.
    std::string PathOf(std::uint32_t at) {
        std::vector<std::string_view> names;
        for (std::uint32_t key = at; key != layout_->root;) {
            HierarchyEntry entry = ReadEntry(layout_->navigation, key);
            names.push_back(KeyName(bytes_, layout_->NameEntry(entry.block, entry.identifier)));
            key = entry.parent;
        }
        std::string path = "HKEY_LOCAL_MACHINE";
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            path += '\\';
            path += *name;
        }
        return path;
    }

    bool CheckSubkeys(std::uint32_t parent, int depth,
                      std::vector<std::pair<std::uint32_t, int>>* pending) {
        std::string_view navigation = layout_->navigation;
        std::uint32_t from = parent;
        std::uint32_t at = ReadEntry(navigation, parent).firstSubkey;
        const char* link = "first subkey";
        names_.clear();
        while (at != kNoEntry) {
            if (depth + 1 > kMaxDepth) {
                return Fail("keys nested more than " + std::to_string(kMaxDepth) + " deep below " +
                            PathOf(parent) + " (a loop in the key links?)");
            }
            auto where = [&] {
                return "the " + std::string(link) + " link of the key entry at offset " +
                       Hex(from) + " of the key navigation block";
            };
            if (!CheckPlace(at, where)) return false;
            std::size_t slot = (at - kNavigationHeaderSize) / kHierarchyEntrySize;
            if (seen_[slot]) {
                return Fail("the key links loop back to the key entry at offset " + Hex(at) +
                            " of the key navigation block (" + where() +
                            " reaches it a second time)");
            }
            seen_[slot] = true;
            HierarchyEntry entry = ReadEntry(navigation, at);
            if (entry.parent != parent) {
                return Fail("the key entry at offset " + Hex(at) +
                            " of the key navigation block names the entry at " + Hex(entry.parent) +
                            " as its parent, but is linked below " + PathOf(parent) +
                            " (the entry at " + Hex(parent) + ")");
            }
            std::uint32_t nameEntry = NameEntryOf(at, entry);
            if (nameEntry == 0) return false;
            std::string_view name = KeyName(bytes_, nameEntry);
            if (name.empty() || codePage_.NameLength(name, '\\') != name.size()) {
                return Fail("the key name entry at offset " + Hex(nameEntry) + " (data block " +
                            std::to_string(entry.block) + ") of a subkey of " + PathOf(parent) +
                            " has " + (name.empty() ? "an empty name" : "a backslash in its name"));
            }
            names_.emplace_back(codePage_.FoldCase(name), at);
            pending->emplace_back(at, depth + 1);
            from = at;
            at = entry.nextSibling;
            link = "next sibling";
        }
        if (names_.size() > 1) {
            std::sort(names_.begin(), names_.end());
            for (std::size_t i = 1; i < names_.size(); ++i) {
                if (names_[i].first == names_[i - 1].first) {
                    return Fail(PathOf(parent) + " has two subkeys named \"" + names_[i].first +
                                "\" (the key entries at offsets " + Hex(names_[i - 1].second) +
                                " and " + Hex(names_[i].second) + " of the key navigation block)");
                }
            }
        }
        return true;
    }

    std::string_view bytes_;
    Layout* layout_;
    const CodePage& codePage_;
    std::string* error_;
    std::vector<bool> seen_;                                    // by entry slot
    std::vector<std::pair<std::string, std::uint32_t>> names_;  // one key's subkeys, folded
};

// A checked registry file that fills keys as they are first looked at.
class CregSource : public KeySource, public std::enable_shared_from_this<CregSource> {
public:
    CregSource(std::string bytes, Layout layout)
        : bytes_(std::move(bytes)), layout_(std::move(layout)) {
        layout_.navigation =
            std::string_view(bytes_).substr(kHeaderSize, layout_.navigation.size());
    }

    std::uint32_t Root() const { return layout_.root; }

    void Fill(std::uint32_t id, RegistryKey* key) const override {
        std::string_view bytes = bytes_;
        HierarchyEntry entry = ReadEntry(layout_.navigation, id);
        if (entry.block != kNoName) {
            std::uint32_t name = layout_.NameEntry(entry.block, entry.identifier);
            std::size_t value = name + kNameEntryHeaderSize + Read16(bytes, name + 12);
            std::uint16_t count = Read16(bytes, name + 14);
            key->ReserveValues(key->Values().size() + count);
            for (std::uint16_t i = 0; i < count; ++i) {
                std::uint32_t type = Read32(bytes, value);
                std::size_t nameSize = Read16(bytes, value + 8);
                std::size_t dataSize = Read16(bytes, value + 10);
                std::size_t data = value + kValueHeaderSize + nameSize;
                key->SetValue(StoredName(bytes.substr(value + kValueHeaderSize, nameSize)), type,
                              std::vector<std::uint8_t>(bytes.begin() + data,
                                                        bytes.begin() + data + dataSize));
                value = data + dataSize;
            }
        }
        std::shared_ptr<const CregSource> self = shared_from_this();
        for (std::uint32_t at = entry.firstSubkey; at != kNoEntry;) {
            HierarchyEntry subkey = ReadEntry(layout_.navigation, at);
            std::uint32_t name = layout_.NameEntry(subkey.block, subkey.identifier);
            key->CreateSubkey(KeyName(bytes, name))->SetSource(self, at);
            at = subkey.nextSibling;
        }
    }

private:
    std::string bytes_;
    Layout layout_;
};

}  // namespace

std::string CregTooLargeText(std::uint64_t size) {
    return std::to_string(size) + " bytes, more than the " +
           std::to_string(kMaxCregFileBytes >> 20) +
           " MiB a registry file is read up to (the format's offsets are 32-bit, and a real "
           "SYSTEM.DAT is a few MB)";
}

bool HasCregSignature(std::string_view bytes) { return bytes.substr(0, 4) == "CREG"; }

std::string CregLibraryVersion() { return libcreg_get_version(); }

bool ReadCreg(std::string bytes, RegistryTree* tree, std::string* error) {
    std::string message;
    Layout layout;
    if (!CheckBlocks(bytes, &layout, &message) || !CheckDataBlocks(bytes, &layout, &message) ||
        !HierarchyCheck(bytes, &layout, tree->GetCodePage(), &message).Run() ||
        !LibcregOpens(bytes, &message)) {
        if (error) *error = message;
        return false;
    }
    auto source = std::make_shared<CregSource>(std::move(bytes), std::move(layout));
    tree->Root("HKEY_LOCAL_MACHINE")->SetSource(source, source->Root());
    return true;
}

}  // namespace kestrow_sim
