#include "sim/formats/creg_reader.h"

// libcreg's headers include libbfio's for the functions that read through
// a libbfio handle, which this reader does not use; Debian's libcreg-dev does
// not bring those headers, so the handle functions are left out.
#include <libcreg/features.h>
#undef LIBCREG_HAVE_BFIO
#include <libcreg.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace kestrow_sim {

using platform::sim::RegistryKey;
using platform::sim::RegistryValue;

namespace {

constexpr std::size_t kHeaderSize = 0x20;
constexpr std::size_t kNavigationHeaderSize = 0x20;
constexpr std::size_t kDataBlockHeaderSize = 0x20;
constexpr std::size_t kHierarchyEntrySize = 28;
constexpr std::size_t kFirstSubkeyLink = 16;  // offsets in a hierarchy entry
constexpr std::size_t kNextSiblingLink = 20;
constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
// Windows 98 keeps paths far shallower; a deeper tree is a damaged file.
constexpr int kMaxDepth = 512;

std::uint32_t Read32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
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

struct ErrorDeleter {
    void operator()(libcreg_error_t* error) const { libcreg_error_free(&error); }
};
struct FileDeleter {
    void operator()(libcreg_file_t* file) const {
        libcreg_file_close(file, nullptr);
        libcreg_file_free(&file, nullptr);
    }
};
struct KeyDeleter {
    void operator()(libcreg_key_t* key) const { libcreg_key_free(&key, nullptr); }
};
struct ValueDeleter {
    void operator()(libcreg_value_t* value) const { libcreg_value_free(&value, nullptr); }
};
using KeyHandle = std::unique_ptr<libcreg_key_t, KeyDeleter>;
using ValueHandle = std::unique_ptr<libcreg_value_t, ValueDeleter>;

// Checks the header fields that tell where the blocks are, so that a file
// cut short or not a registry file at all gets a message a person can act on.
bool CheckHeader(std::string_view bytes, std::string* error) {
    if (!HasCregSignature(bytes)) {
        *error = "not a Windows 98/Me registry file (no \"CREG\" signature at its start)";
        return false;
    }
    if (bytes.size() < kHeaderSize + kNavigationHeaderSize) {
        *error = "truncated: " + std::to_string(bytes.size()) +
                 " bytes, too short for the registry file's headers";
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
    // The data blocks follow one another, each headed by its size.
    std::size_t blockCount = static_cast<unsigned char>(bytes[16]) |
                             static_cast<std::size_t>(static_cast<unsigned char>(bytes[17])) << 8;
    std::size_t offset = firstDataBlock;
    for (std::size_t block = 0; block < blockCount; ++block) {
        std::string which = "data block " + std::to_string(block + 1) + " of " +
                            std::to_string(blockCount) + " (offset " + Hex(offset) + ")";
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
        offset += size;
    }
    return true;
}

// Walks the key hierarchy from the root along its first-subkey and
// next-sibling links. libcreg follows those links without looking back, so
// a link out of the block or back to a key already seen (a loop) would have
// it read past its data or forever; either is a damaged file.
bool CheckKeyLinks(std::string_view bytes, std::string* error) {
    std::string_view navigation = bytes.substr(kHeaderSize, Read32(bytes, kHeaderSize + 4));
    std::vector<bool> seen(navigation.size(), false);
    std::vector<std::uint32_t> pending = {Read32(navigation, 8)};
    while (!pending.empty()) {
        std::uint32_t entry = pending.back();
        pending.pop_back();
        if (entry < kNavigationHeaderSize || entry > navigation.size() ||
            navigation.size() - entry < kHierarchyEntrySize) {
            *error = "corrupt: a key link points to offset " + Hex(entry) +
                     ", outside the key navigation block";
            return false;
        }
        if (seen[entry]) {
            *error = "corrupt: the key links loop back to the key at offset " + Hex(entry) +
                     " of the key navigation block";
            return false;
        }
        seen[entry] = true;
        for (std::size_t link : {kNextSiblingLink, kFirstSubkeyLink}) {
            std::uint32_t target = Read32(navigation, entry + link);
            if (target != kNoEntry) pending.push_back(target);
        }
    }
    return true;
}

// The bytes as a file libcreg can open by name: an anonymous memory file,
// reached through /proc, so nothing is written to any disk.
class MemoryFile {
public:
    explicit MemoryFile(std::string_view bytes) {
        fd_ = ::memfd_create("creg", MFD_CLOEXEC);
        if (fd_ < 0) return;
        std::size_t written = 0;
        while (written < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
            if (n <= 0) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
            written += static_cast<std::size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool Ok() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

class TreeReader {
public:
    explicit TreeReader(std::string* error) : error_(error) {}
    ~TreeReader() { ClearError(); }
    TreeReader(const TreeReader&) = delete;
    TreeReader& operator=(const TreeReader&) = delete;

    bool CopyKey(libcreg_key_t* source, RegistryKey* target, int depth) {
        if (depth > kMaxDepth) {
            return Fail("keys nested more than " + std::to_string(kMaxDepth) + " deep below " +
                        target->FullPath() + " (a loop in the key links?)");
        }
        int valueCount = 0;
        if (libcreg_key_get_number_of_values(source, &valueCount, Out()) != 1) {
            return Fail("the values of " + target->FullPath() + " cannot be read");
        }
        for (int i = 0; i < valueCount; ++i) {
            libcreg_value_t* raw = nullptr;
            if (libcreg_key_get_value_by_index(source, i, &raw, Out()) != 1) {
                return Fail("value " + std::to_string(i + 1) + " of " + target->FullPath() +
                            " cannot be read");
            }
            ValueHandle value(raw);
            std::string name;
            std::uint32_t type = 0;
            std::vector<std::uint8_t> data;
            if (!ValueName(value.get(), &name) ||
                libcreg_value_get_value_type(value.get(), &type, Out()) != 1 ||
                !ValueData(value.get(), &data)) {
                return Fail("value " + std::to_string(i + 1) + " of " + target->FullPath() +
                            " cannot be read");
            }
            target->SetValue(name, type, std::move(data));
        }
        int subkeyCount = 0;
        if (libcreg_key_get_number_of_sub_keys(source, &subkeyCount, Out()) != 1) {
            return Fail("the subkeys of " + target->FullPath() + " cannot be read");
        }
        for (int i = 0; i < subkeyCount; ++i) {
            libcreg_key_t* raw = nullptr;
            if (libcreg_key_get_sub_key_by_index(source, i, &raw, Out()) != 1) {
                return Fail("subkey " + std::to_string(i + 1) + " of " + target->FullPath() +
                            " cannot be read");
            }
            KeyHandle subkey(raw);
            std::string name;
            if (!KeyName(subkey.get(), &name)) {
                return Fail("the name of subkey " + std::to_string(i + 1) + " of " +
                            target->FullPath() + " cannot be read");
            }
            if (name.empty() || name.find('\\') != std::string::npos) {
                return Fail("subkey " + std::to_string(i + 1) + " of " + target->FullPath() +
                            " has " + (name.empty() ? "an empty name" : "a backslash in its name"));
            }
            if (!CopyKey(subkey.get(), target->CreateSubkey(name), depth + 1)) return false;
        }
        return true;
    }

    bool Fail(const std::string& message) {
        *error_ = message;
        if (raw_ != nullptr) *error_ += ": " + LibcregMessage(raw_);
        return false;
    }

private:
    bool KeyName(libcreg_key_t* key, std::string* name) {
        std::size_t size = 0;
        if (libcreg_key_get_name_size(key, &size, Out()) != 1) return false;
        std::vector<std::uint8_t> buffer(size + 1, 0);
        if (size > 0 && libcreg_key_get_name(key, buffer.data(), buffer.size(), Out()) != 1) {
            return false;
        }
        *name = Terminated(buffer, size);
        return true;
    }

    bool ValueName(libcreg_value_t* value, std::string* name) {
        std::size_t size = 0;
        if (libcreg_value_get_name_size(value, &size, Out()) != 1) return false;
        std::vector<std::uint8_t> buffer(size + 1, 0);
        if (size > 0 && libcreg_value_get_name(value, buffer.data(), buffer.size(), Out()) != 1) {
            return false;
        }
        *name = Terminated(buffer, size);
        return true;
    }

    bool ValueData(libcreg_value_t* value, std::vector<std::uint8_t>* data) {
        std::size_t size = 0;
        if (libcreg_value_get_value_data_size(value, &size, Out()) != 1) return false;
        data->assign(size, 0);
        if (size > 0 && libcreg_value_get_value_data(value, data->data(), size, Out()) != 1) {
            return false;
        }
        return true;
    }

    // A name as stored: libcreg's size counts a terminating NUL.
    static std::string Terminated(const std::vector<std::uint8_t>& buffer, std::size_t size) {
        std::string name(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
        std::size_t end = name.find('\0');
        if (end != std::string::npos) name.resize(end);
        return name;
    }

    // Where the next libcreg call leaves its error; the last one is kept
    // for the message.
    libcreg_error_t** Out() {
        ClearError();
        return &raw_;
    }
    void ClearError() {
        if (raw_ != nullptr) libcreg_error_free(&raw_);
        raw_ = nullptr;
    }

    std::string* error_;
    libcreg_error_t* raw_ = nullptr;
};

// Adds the source key's values and subkeys to the target, recursively.
void MergeKey(const RegistryKey& source, RegistryKey* target) {
    for (const RegistryValue& value : source.Values())
        target->SetValue(value.name, value.type, value.data);
    for (std::size_t i = 0; i < source.SubkeyCount(); ++i) {
        const RegistryKey& subkey = *source.SubkeyAt(i);
        MergeKey(subkey, target->CreateSubkey(subkey.Name()));
    }
}

}  // namespace

bool HasCregSignature(std::string_view bytes) { return bytes.substr(0, 4) == "CREG"; }

std::string CregLibraryVersion() { return libcreg_get_version(); }

bool ReadCreg(std::string_view bytes, RegistryTree* tree, std::string* error) {
    std::string message;
    if (!CheckHeader(bytes, &message) || !CheckKeyLinks(bytes, &message)) {
        if (error) *error = message;
        return false;
    }
    MemoryFile memory(bytes);
    if (!memory.Ok()) {
        if (error) *error = std::string("cannot hold the file in memory: ") + std::strerror(errno);
        return false;
    }

    libcreg_file_t* rawFile = nullptr;
    libcreg_error_t* rawError = nullptr;
    if (libcreg_file_initialize(&rawFile, &rawError) != 1) {
        std::unique_ptr<libcreg_error_t, ErrorDeleter> owned(rawError);
        if (error) *error = "libcreg cannot start: " + LibcregMessage(rawError);
        return false;
    }
    std::unique_ptr<libcreg_file_t, FileDeleter> file(rawFile);
    libcreg_file_set_ascii_codepage(rawFile, tree->GetCodePage().Number(), nullptr);
    if (libcreg_file_open(rawFile, memory.Path().c_str(), LIBCREG_OPEN_READ, &rawError) != 1) {
        std::unique_ptr<libcreg_error_t, ErrorDeleter> owned(rawError);
        if (error) *error = "corrupt registry file: " + LibcregMessage(rawError);
        return false;
    }

    libcreg_key_t* rawRoot = nullptr;
    int found = libcreg_file_get_root_key(rawFile, &rawRoot, &rawError);
    if (found != 1) {
        std::unique_ptr<libcreg_error_t, ErrorDeleter> owned(rawError);
        if (error) {
            *error = found == 0 ? "corrupt registry file: it has no root key"
                                : "corrupt registry file: the root key cannot be read: " +
                                      LibcregMessage(rawError);
        }
        return false;
    }
    KeyHandle root(rawRoot);

    // The keys go to a tree of their own first, so that a file that fails
    // half-way leaves the machine's registry as it was.
    RegistryTree staging(tree->GetCodePage());
    RegistryKey* machineRoot = staging.Root("HKEY_LOCAL_MACHINE");
    TreeReader reader(&message);
    if (!reader.CopyKey(root.get(), machineRoot, 0)) {
        if (error) *error = "corrupt registry file: " + message;
        return false;
    }
    MergeKey(*machineRoot, tree->Root("HKEY_LOCAL_MACHINE"));
    return true;
}

}  // namespace kestrow_sim
