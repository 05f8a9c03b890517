#include "platform/sim/file_system.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/sim/host_folder_drive.h"
#include "platform/sim/memory_drive.h"

// How paths are read
// ------------------
// A path is split at '\' and '/' (a trail byte of a double-byte character is
// never a separator), empty components are skipped, "." and ".." are resolved
// by text alone (".." at a root stays there) and trailing dots and blanks of
// a component are dropped. The choices where Windows 98 leaves room:
// - A drive letter that is not mapped: kErrorPathNotFound, for every
//   operation.
// - A path beginning with two separators (a network name): kErrorPathNotFound.
// - A component with < > : " | ? * or a byte below 32, or one that is left
//   empty by dropping its trailing dots and blanks (" ", "...", ".. "):
//   kErrorInvalidName.
// - A component longer than 255 bytes: kErrorInvalidName. A path longer than
//   259 bytes, as given or once made absolute: kErrorPathNotFound.
// - "D:x" names x in the current directory when that is on D:, otherwise in
//   the root of D: (only one current directory is kept).
//
// Files in use
// ------------
// A file open in a stream cannot be deleted or copied over, and one open for
// writing cannot be copied from: kErrorSharingViolation, as Windows gives
// for the share modes the C runtime and CopyFile use. Copying a file onto
// itself fails the same way.
//
// Drives
// ------
// What a drive held before the program ran comes from its backend (a host
// folder, memory, a disk image; see drive_backend.h), which keeps what it
// has seen for the run. Nothing here writes to a backend or to the host:
// Changes() lists what the program changed, and writing that back to a
// host folder is kestrow-sim's --apply (sim/apply), which looks at the host
// afresh.

namespace platform::sim {

namespace {

constexpr std::size_t kMaxPathLength = 259;  // MAX_PATH without the terminator
constexpr std::size_t kMaxComponentLength = 255;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsInvalidNameByte(unsigned char c) {
    return c < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
           c == '*';
}

char UpperDrive(char letter) {
    return (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 'a' + 'A') : letter;
}

bool IsDriveLetter(char letter) {
    char upper = UpperDrive(letter);
    return upper >= 'A' && upper <= 'Z';
}

// An absolute path: a drive letter and its components, each as given.
struct ParsedPath {
    char drive = 'C';
    std::vector<std::string> components;
};

std::string JoinSpelled(char drive, const std::vector<std::string>& components, std::size_t count) {
    std::string text{drive, ':'};
    if (count == 0) return text + "\\";
    for (std::size_t i = 0; i < count; ++i) text += "\\" + components[i];
    return text;
}

}  // namespace

struct FileSystem::State {
    enum class Kind { Missing, File, Directory };

    struct Drive {
        std::unique_ptr<DriveBackend> backend;
        bool readOnly = false;
    };

    // The machine as it was set up. A file whose bytes are unset takes its
    // contents from the drive's backend (SetReadOnly on a stored file only
    // changes the attribute).
    struct BaseNode {
        std::string name;     // the last component, as stored
        std::string spelled;  // the whole path, as stored
        bool directory = false;
        std::optional<std::string> bytes;
        bool readOnly = false;
    };

    // A change made by the program: a file's new contents, or its deletion.
    struct OverlayNode {
        std::string name;
        std::string spelled;
        bool deleted = false;
        std::string bytes;
        bool readOnly = false;
        std::uint64_t sequence = 0;  // when it was first changed
    };

    enum class Access { Read, Truncate, Append, Update };
    struct Stream {
        std::string spelled;
        Access access = Access::Read;
        bool text = false;
        std::size_t position = 0;
    };

    // What a path names, found through the layers.
    struct Entry {
        std::uint32_t error = 0;  // set when the path cannot name anything
        char drive = 'C';
        Kind kind = Kind::Missing;
        std::string key;      // folded whole path
        std::string spelled;  // stored spelling where it exists, given spelling elsewhere
        std::string name;     // the last component, spelled the same way
        const OverlayNode* overlay = nullptr;
        const BaseNode* base = nullptr;
        DriveBackend* backend = nullptr;
        std::optional<DriveBackend::Node> stored;  // what the backend holds there
        bool readOnly = false;
        bool driveReadOnly = false;
    };

    explicit State(const CodePage* page) : codePage(page ? page : &ownCodePage) {
        foldedWith = codePage->Number();
    }

    CodePage ownCodePage;
    const CodePage* codePage;
    unsigned foldedWith = 0;
    std::map<char, Drive> drives;
    ParsedPath current;
    std::map<std::string, BaseNode> base;        // by Key()
    std::map<std::string, OverlayNode> overlay;  // by Key()
    std::uint64_t nextSequence = 1;
    std::map<int, Stream> streams;
    int nextStream = 1;

    // --- Names ------------------------------------------------------------

    std::string Key(std::string_view spelled) const {
        std::string key = codePage->FoldCase(spelled);
        if (!key.empty()) key[0] = UpperDrive(key[0]);
        return key;
    }

    // The maps are keyed by folded names; when the code page changes, a
    // name may fold differently, so they are keyed again.
    void Refold() {
        if (foldedWith == codePage->Number()) return;
        foldedWith = codePage->Number();
        std::map<std::string, BaseNode> newBase;
        for (auto& [key, node] : base) newBase.emplace(Key(node.spelled), std::move(node));
        base = std::move(newBase);
        std::map<std::string, OverlayNode> newOverlay;
        for (auto& [key, node] : overlay) newOverlay.emplace(Key(node.spelled), std::move(node));
        overlay = std::move(newOverlay);
    }

    // Splits the text after the drive into components, double-byte aware,
    // onto `into`; returns 0 or the error the path gives.
    std::uint32_t AddComponents(std::string_view text, std::vector<std::string>* into) const {
        std::size_t i = 0;
        while (i <= text.size()) {
            std::string part;
            bool invalid = false;
            while (i < text.size() && !IsSeparator(text[i])) {
                unsigned char c = static_cast<unsigned char>(text[i]);
                if (codePage->IsLeadByte(c) && i + 1 < text.size()) {
                    part += text.substr(i, 2);
                    i += 2;
                    continue;
                }
                if (IsInvalidNameByte(c)) invalid = true;
                part += text[i];
                ++i;
            }
            ++i;  // past the separator (or the end)
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                if (!into->empty()) into->pop_back();
                continue;
            }
            if (invalid) return kErrorInvalidName;
            // Drop trailing dots and blanks; a trail byte is never one of them.
            std::size_t keep = 0;
            for (std::size_t j = 0; j < part.size();) {
                bool lead = codePage->IsLeadByte(static_cast<unsigned char>(part[j])) &&
                            j + 1 < part.size();
                std::size_t width = lead ? 2 : 1;
                if (lead || (part[j] != '.' && part[j] != ' ')) keep = j + width;
                j += width;
            }
            part.resize(keep);
            if (part.empty() || part.size() > kMaxComponentLength) return kErrorInvalidName;
            into->push_back(std::move(part));
        }
        return 0;
    }

    std::uint32_t Parse(std::string_view path, ParsedPath* parsed) const {
        if (path.empty() || path.size() > kMaxPathLength) return kErrorPathNotFound;
        ParsedPath result;
        std::string_view rest = path;
        if (path.size() >= 2 && path[1] == ':' && IsDriveLetter(path[0])) {
            result.drive = UpperDrive(path[0]);
            rest = path.substr(2);
            if ((rest.empty() || !IsSeparator(rest[0])) && result.drive == current.drive) {
                result.components = current.components;  // "C:x" is relative
            }
        } else if (IsSeparator(path[0])) {
            if (path.size() >= 2 && IsSeparator(path[1])) return kErrorPathNotFound;  // network
            result.drive = current.drive;
        } else {
            result = current;
        }
        if (std::uint32_t error = AddComponents(rest, &result.components)) return error;
        std::size_t length = 2;  // "C:", then "\name" for each component
        for (const std::string& c : result.components) length += 1 + c.size();
        if (length > kMaxPathLength) return kErrorPathNotFound;
        *parsed = std::move(result);
        return 0;
    }

    // --- Finding things -----------------------------------------------------

    // What the first `count` components of the path name. A missing drive or
    // a missing folder on the way sets kErrorPathNotFound.
    Entry Resolve(const ParsedPath& path, std::size_t count, bool withOverlay) {
        Entry entry;
        entry.drive = path.drive;
        auto drive = drives.find(path.drive);
        if (drive == drives.end()) {
            entry.error = kErrorPathNotFound;
            return entry;
        }
        entry.driveReadOnly = drive->second.readOnly;
        entry.backend = drive->second.backend.get();
        entry.kind = Kind::Directory;
        entry.key = std::string{path.drive, ':'};
        entry.spelled = entry.key;
        // The backend's folder at this depth, while the backend has one there.
        DriveBackend::NodeId storedFolder = DriveBackend::kRoot;
        bool inStoredFolder = true;

        for (std::size_t i = 0; i < count; ++i) {
            if (entry.kind != Kind::Directory) {
                entry.error = kErrorPathNotFound;
                entry.kind = Kind::Missing;
                return entry;
            }
            const std::string& given = path.components[i];
            std::string folded = codePage->FoldCase(given);
            entry.key += "\\" + folded;
            entry.overlay = nullptr;
            entry.base = nullptr;
            entry.stored.reset();
            entry.readOnly = false;
            entry.kind = Kind::Missing;
            entry.name = given;
            if (inStoredFolder) entry.stored = entry.backend->Find(storedFolder, folded, *codePage);

            auto changed = withOverlay ? overlay.find(entry.key) : overlay.end();
            auto setUp = base.find(entry.key);
            if (changed != overlay.end()) {
                entry.overlay = &changed->second;
                if (!changed->second.deleted) {
                    entry.kind = Kind::File;
                    entry.name = changed->second.name;
                    entry.readOnly = changed->second.readOnly;
                }
            } else if (setUp != base.end()) {
                entry.base = &setUp->second;
                entry.name = setUp->second.name;
                entry.kind = setUp->second.directory ? Kind::Directory : Kind::File;
                entry.readOnly = setUp->second.readOnly;
            } else if (entry.stored) {
                entry.name = entry.stored->name;
                entry.kind = entry.stored->directory ? Kind::Directory : Kind::File;
                entry.readOnly = entry.stored->readOnly;
            }
            entry.spelled += "\\" + entry.name;
            // Stored folders below count only where the backend has this folder too.
            inStoredFolder =
                entry.kind == Kind::Directory && entry.stored && entry.stored->directory;
            if (inStoredFolder) storedFolder = entry.stored->id;
        }
        if (count == 0) entry.spelled += "\\";
        return entry;
    }

    Entry Resolve(std::string_view text, bool withOverlay = true) {
        Refold();
        ParsedPath path;
        if (std::uint32_t error = Parse(text, &path)) {
            Entry entry;
            entry.error = error;
            return entry;
        }
        return Resolve(path, path.components.size(), withOverlay);
    }

    std::optional<std::string> Bytes(const Entry& entry) {
        if (entry.kind != Kind::File) return std::nullopt;
        if (entry.overlay) return entry.overlay->bytes;
        if (entry.base && entry.base->bytes) return entry.base->bytes;
        if (entry.stored && !entry.stored->directory) return entry.backend->Read(entry.stored->id);
        return std::nullopt;
    }

    // Whether the file existed before the program changed anything.
    bool ExistedBefore(const std::string& spelled) {
        return Resolve(spelled, false).kind == Kind::File;
    }

    bool OpenInStream(const std::string& key, bool writingOnly) const {
        for (const auto& [id, stream] : streams) {
            if (writingOnly && stream.access == Access::Read) continue;
            if (Key(stream.spelled) == key) return true;
        }
        return false;
    }

    // --- Changing things ------------------------------------------------------

    OverlayNode& Change(const Entry& entry) {
        auto [it, added] = overlay.try_emplace(entry.key);
        OverlayNode& node = it->second;
        if (added) node.sequence = nextSequence++;
        node.name = entry.name;
        node.spelled = entry.spelled;
        node.deleted = false;
        return node;
    }

    void WriteFile(const Entry& entry, std::string bytes, bool readOnly) {
        OverlayNode& node = Change(entry);
        node.bytes = std::move(bytes);
        node.readOnly = readOnly;
    }

    // The overlay node that holds a stream's file, made from the file's
    // current contents when the program has not changed it yet.
    // Null when the stream's drive is no longer there.
    OverlayNode* StreamFile(const Stream& stream) {
        Entry entry = Resolve(stream.spelled);
        if (entry.error) return nullptr;
        if (entry.overlay && !entry.overlay->deleted) return &overlay[entry.key];
        std::string bytes = Bytes(entry).value_or(std::string());
        bool readOnly = entry.readOnly;
        WriteFile(entry, std::move(bytes), readOnly);
        return &overlay[entry.key];
    }

    // Base folders for the first `count` components; false when a file is
    // in the way or the path names no drive.
    bool AddBaseFolders(const ParsedPath& path, std::size_t count) {
        for (std::size_t i = 1; i <= count; ++i) {
            Entry entry = Resolve(path, i, true);
            if (entry.error || entry.kind == Kind::File) return false;
            if (entry.kind == Kind::Missing) {
                BaseNode& node = base[entry.key];
                node = BaseNode();
                node.name = entry.name;
                node.spelled = entry.spelled;
                node.directory = true;
            }
        }
        return true;
    }
};

FileSystem::FileSystem(const CodePage* codePage) : state_(std::make_unique<State>(codePage)) {}

FileSystem::~FileSystem() = default;

bool FileSystem::MapDrive(char letter, const std::string& hostFolder, bool readOnly,
                          std::string* error) {
    if (hostFolder.empty() || !IsDriveLetter(letter)) {
        return MountDrive(letter, std::make_unique<MemoryDrive>(), readOnly, error);
    }
    std::string message;
    std::unique_ptr<HostFolderDrive> host = HostFolderDrive::Open(hostFolder, &message);
    if (!host) {
        if (error)
            *error = std::string("Cannot map drive ") + UpperDrive(letter) + ": to " + message;
        return false;
    }
    return MountDrive(letter, std::move(host), readOnly, error);
}

bool FileSystem::MountDrive(char letter, std::unique_ptr<DriveBackend> backend, bool readOnly,
                            std::string* error) {
    if (!IsDriveLetter(letter) || !backend) {
        if (error) *error = std::string("Cannot map drive '") + letter + "': not a drive letter";
        return false;
    }
    char drive = UpperDrive(letter);
    State::Drive mapped;
    mapped.readOnly = readOnly;
    mapped.backend = std::move(backend);
    // A drive mapped again starts afresh.
    std::string prefix{drive, ':'};
    auto onDrive = [&prefix](const std::string& key) { return key.compare(0, 2, prefix) == 0; };
    for (auto it = state_->base.begin(); it != state_->base.end();) {
        it = onDrive(it->first) ? state_->base.erase(it) : std::next(it);
    }
    for (auto it = state_->overlay.begin(); it != state_->overlay.end();) {
        it = onDrive(it->first) ? state_->overlay.erase(it) : std::next(it);
    }
    state_->drives[drive] = std::move(mapped);
    return true;
}

bool FileSystem::HasDrive(char letter) const {
    return state_->drives.count(UpperDrive(letter)) != 0;
}

std::string FileSystem::HostFolder(char letter) const {
    auto drive = state_->drives.find(UpperDrive(letter));
    return drive == state_->drives.end() ? std::string() : drive->second.backend->HostFolder();
}

void FileSystem::SetCurrentDirectory(const std::string& path) {
    ParsedPath parsed;
    // A path that cannot be read leaves the current directory as it was.
    if (state_->Parse(path, &parsed) == 0) state_->current = std::move(parsed);
}

void FileSystem::AddDirectory(std::string_view path) {
    state_->Refold();
    ParsedPath parsed;
    if (state_->Parse(path, &parsed) != 0) return;
    state_->AddBaseFolders(parsed, parsed.components.size());
}

void FileSystem::AddFile(std::string_view path, std::string_view bytes, bool readOnly) {
    State& s = *state_;
    s.Refold();
    ParsedPath parsed;
    if (s.Parse(path, &parsed) != 0 || parsed.components.empty()) return;
    if (!s.AddBaseFolders(parsed, parsed.components.size() - 1)) return;
    State::Entry entry = s.Resolve(parsed, parsed.components.size(), true);
    if (entry.error || entry.kind == State::Kind::Directory) return;
    State::BaseNode& node = s.base[entry.key];
    node.name = entry.name;
    node.spelled = entry.spelled;
    node.directory = false;
    node.bytes = std::string(bytes);
    node.readOnly = readOnly;
}

void FileSystem::SetReadOnly(std::string_view path, bool readOnly) {
    State& s = *state_;
    State::Entry entry = s.Resolve(path, false);
    if (entry.error || entry.kind != State::Kind::File) return;
    auto [it, added] = s.base.try_emplace(entry.key);
    if (added) {  // a host file: only its attribute is set up here
        it->second.name = entry.name;
        it->second.spelled = entry.spelled;
    }
    it->second.readOnly = readOnly;
}

bool FileSystem::IsFile(std::string_view path) const {
    return state_->Resolve(path).kind == State::Kind::File;
}

bool FileSystem::IsDirectory(std::string_view path) const {
    return state_->Resolve(path).kind == State::Kind::Directory;
}

bool FileSystem::IsReadOnly(std::string_view path) const {
    State::Entry entry = state_->Resolve(path);
    return entry.kind == State::Kind::File && entry.readOnly;
}

std::optional<std::string> FileSystem::ReadFile(std::string_view path) const {
    return state_->Bytes(state_->Resolve(path));
}

std::string FileSystem::CanonicalPath(std::string_view path) const {
    State& s = *state_;
    s.Refold();
    ParsedPath parsed;
    if (s.Parse(path, &parsed) != 0) return std::string(path);
    std::vector<std::string> spelled;
    for (std::size_t i = 1; i <= parsed.components.size(); ++i) {
        State::Entry entry = s.Resolve(parsed, i, true);
        if (entry.error || entry.kind == State::Kind::Missing) break;
        spelled.push_back(entry.name);
    }
    for (std::size_t i = spelled.size(); i < parsed.components.size(); ++i) {
        spelled.push_back(parsed.components[i]);
    }
    return JoinSpelled(parsed.drive, spelled, spelled.size());
}

// Checks in the order Windows 98 meets them: the source is opened first,
// then the target; a write-protected disk is only noticed once something
// would be written.
std::uint32_t FileSystem::Copy(std::string_view source, std::string_view target,
                               bool failIfExists) {
    State& s = *state_;
    State::Entry from = s.Resolve(source);
    if (from.error) return from.error;
    if (from.kind == State::Kind::Missing) return kErrorFileNotFound;
    if (from.kind == State::Kind::Directory) return kErrorAccessDenied;
    if (s.OpenInStream(from.key, true)) return kErrorSharingViolation;
    std::optional<std::string> bytes = s.Bytes(from);
    if (!bytes) return kErrorAccessDenied;

    State::Entry to = s.Resolve(target);
    if (to.error) return to.error;
    if (to.kind == State::Kind::Directory) return kErrorAccessDenied;
    if (to.kind == State::Kind::File) {
        if (failIfExists) return kErrorFileExists;
        if (to.readOnly) return kErrorAccessDenied;
        if (to.key == from.key || s.OpenInStream(to.key, false)) return kErrorSharingViolation;
    }
    if (to.driveReadOnly) return kErrorWriteProtect;
    s.WriteFile(to, std::move(*bytes), from.readOnly);
    return 0;
}

// As with Copy, a write-protected disk is noticed last.
std::uint32_t FileSystem::Delete(std::string_view path) {
    State& s = *state_;
    State::Entry entry = s.Resolve(path);
    if (entry.error) return entry.error;
    if (entry.kind == State::Kind::Missing) return kErrorFileNotFound;
    if (entry.kind == State::Kind::Directory || entry.readOnly) return kErrorAccessDenied;
    if (s.OpenInStream(entry.key, false)) return kErrorSharingViolation;
    if (entry.driveReadOnly) return kErrorWriteProtect;
    if (s.ExistedBefore(entry.spelled)) {
        State::OverlayNode& node = s.Change(entry);
        node.deleted = true;
        node.bytes.clear();
        node.readOnly = false;
    } else {
        s.overlay.erase(entry.key);  // made by the program and gone again: no change
    }
    return 0;
}

// Modes as MSVCRT's fopen takes them: r, w or a, then any of b, t and +
// (and its c, n, S, R, T, D hints, which change nothing here). "r" opens
// an existing file that cannot be written through the stream; "r+" writes
// from the start without truncating; "w" truncates at once; "a" writes at
// the end. Opening for append or update changes nothing until a write.
std::uint32_t FileSystem::OpenStream(std::string_view path, std::string_view mode, int* stream) {
    State& s = *state_;
    if (mode.empty() || !stream) return kErrorInvalidParameter;
    State::Stream opened;
    bool plus = false;
    opened.text = true;
    for (char flag : mode.substr(1)) {
        if (flag == 'b') {
            opened.text = false;
        } else if (flag == 't') {
            opened.text = true;
        } else if (flag == '+') {
            plus = true;
        } else if (std::strchr("cnSRTD", flag) == nullptr || flag == '\0') {
            return kErrorInvalidParameter;
        }
    }
    switch (mode[0]) {
        case 'r':
            opened.access = plus ? State::Access::Update : State::Access::Read;
            break;
        case 'w':
            opened.access = State::Access::Truncate;
            break;
        case 'a':
            opened.access = State::Access::Append;
            break;
        default:
            return kErrorInvalidParameter;
    }

    State::Entry entry = s.Resolve(path);
    if (entry.error) return entry.error;
    if (entry.kind == State::Kind::Directory) return kErrorAccessDenied;
    bool reading = mode[0] == 'r';
    if (reading && entry.kind == State::Kind::Missing) return kErrorFileNotFound;
    if (opened.access != State::Access::Read) {
        if (entry.readOnly) return kErrorAccessDenied;
        if (entry.driveReadOnly) return kErrorWriteProtect;
        // The file exists, empty, from the moment it is opened.
        if (opened.access == State::Access::Truncate || entry.kind == State::Kind::Missing) {
            s.WriteFile(entry, std::string(), false);
        }
    }
    opened.spelled = entry.spelled;
    *stream = s.nextStream++;
    s.streams.emplace(*stream, std::move(opened));
    return 0;
}

std::uint32_t FileSystem::WriteStream(int stream, const void* data, std::size_t bytes) {
    State& s = *state_;
    s.Refold();
    auto found = s.streams.find(stream);
    if (found == s.streams.end()) return kErrorInvalidHandle;
    State::Stream& open = found->second;
    if (open.access == State::Access::Read) return kErrorAccessDenied;
    if (bytes == 0) return 0;
    if (!data) return kErrorInvalidParameter;
    std::string_view raw(static_cast<const char*>(data), bytes);
    std::string text;
    if (open.text) {
        for (char c : raw) {
            if (c == '\n') text += '\r';
            text += c;
        }
        raw = text;
    }
    State::OverlayNode* file = s.StreamFile(open);
    if (!file) return kErrorPathNotFound;
    std::string& contents = file->bytes;
    if (open.access == State::Access::Append || open.position > contents.size()) {
        open.position = contents.size();
    }
    contents.replace(open.position, std::min(raw.size(), contents.size() - open.position), raw);
    open.position += raw.size();
    return 0;
}

std::uint32_t FileSystem::CloseStream(int stream) {
    return state_->streams.erase(stream) != 0 ? 0 : kErrorInvalidHandle;
}

std::size_t FileSystem::OpenStreamCount() const { return state_->streams.size(); }

std::vector<FileSystem::Change> FileSystem::Changes() const {
    State& s = *state_;
    s.Refold();
    std::vector<const State::OverlayNode*> nodes;
    for (const auto& [key, node] : s.overlay) nodes.push_back(&node);
    std::sort(nodes.begin(), nodes.end(),
              [](const auto* a, const auto* b) { return a->sequence < b->sequence; });
    std::vector<Change> changes;
    for (const State::OverlayNode* node : nodes) {
        bool existed = s.ExistedBefore(node->spelled);
        if (node->deleted) {
            if (existed) changes.push_back({node->spelled, ChangeKind::Deleted, 0});
        } else {
            changes.push_back({node->spelled, existed ? ChangeKind::Replaced : ChangeKind::Created,
                               node->bytes.size()});
        }
    }
    return changes;
}

}  // namespace platform::sim
