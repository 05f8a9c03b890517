#include "sim/image/disk_image_drive.h"

#include <iconv.h>
#include <tsk/libtsk.h>

#include <algorithm>
#include <cerrno>

namespace platform::sim {

namespace {

// The largest file read into memory: far above any file a Windows 98
// installation holds that the run reads.
constexpr std::uint64_t kLargestFileRead = std::uint64_t(256) << 20;

constexpr std::string_view kLabelSuffix = " (Volume Label Entry)";

// The Sleuth Kit gives names in UTF-8; the simulated machine keeps them in
// its code page. A name the code page cannot spell stays in UTF-8 (no
// program on that Windows could have named it either).
std::string ToCodePage(const std::string& utf8, unsigned codePage) {
    bool ascii = std::all_of(utf8.begin(), utf8.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return utf8;
    std::string target = "CP" + std::to_string(codePage);
    iconv_t converter = ::iconv_open(target.c_str(), "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return utf8;
    std::string input = utf8;
    std::string output(utf8.size() * 2 + 4, '\0');
    char* in = input.data();
    std::size_t inLeft = input.size();
    char* out = output.data();
    std::size_t outLeft = output.size();
    std::size_t done = ::iconv(converter, &in, &inLeft, &out, &outLeft);
    ::iconv_close(converter);
    if (done == static_cast<std::size_t>(-1) || inLeft != 0) return utf8;
    output.resize(output.size() - outLeft);
    return output;
}

}  // namespace

std::optional<std::string> VolumeLabelOf(std::string_view name, std::string_view shortName) {
    // A real file can carry that suffix only in a long name, and then it
    // has a short name too; the label entry has none.
    if (!shortName.empty() || name.size() < kLabelSuffix.size() ||
        name.substr(name.size() - kLabelSuffix.size()) != kLabelSuffix) {
        return std::nullopt;
    }
    std::string label(name.substr(0, name.size() - kLabelSuffix.size()));
    while (!label.empty() && label.back() == ' ') label.pop_back();
    return label;
}

DiskImageDrive::DiskImageDrive(TSK_FS_INFO* fileSystem, std::shared_ptr<const void> keepAlive,
                               std::string description)
    : fs_(fileSystem), keepAlive_(std::move(keepAlive)), description_(std::move(description)) {}

DiskImageDrive::~DiskImageDrive() { tsk_fs_close(fs_); }

bool DiskImageDrive::List(std::uint64_t address, const CodePage& codePage, Folder* folder) {
    TSK_FS_DIR* dir = tsk_fs_dir_open_meta(fs_, address);
    if (dir == nullptr) {
        tsk_error_reset();
        return false;
    }
    std::vector<std::pair<std::string, Entry>> found;
    std::size_t count = tsk_fs_dir_getsize(dir);
    for (std::size_t i = 0; i < count; ++i) {
        const TSK_FS_NAME* name = tsk_fs_dir_get_name(dir, i);
        if (name == nullptr || name->name == nullptr) continue;
        if ((name->flags & TSK_FS_NAME_FLAG_ALLOC) == 0) continue;  // deleted
        if (name->type != TSK_FS_NAME_TYPE_REG && name->type != TSK_FS_NAME_TYPE_DIR) continue;
        std::string_view text = name->name;
        if (text.empty() || text == "." || text == "..") continue;
        if (VolumeLabelOf(text, name->shrt_name ? name->shrt_name : "")) continue;
        Entry entry;
        entry.name = ToCodePage(std::string(text), codePage.Number());
        entry.address = name->meta_addr;
        entry.directory = name->type == TSK_FS_NAME_TYPE_DIR;
        found.emplace_back(entry.name, entry);
        // The short name of an entry with a long one is another way to it.
        if (name->shrt_name != nullptr && name->shrt_name[0] != '\0' &&
            !codePage.SameName(name->shrt_name, entry.name)) {
            found.emplace_back(name->shrt_name, entry);
        }
    }
    tsk_fs_dir_close(dir);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    folder->names = FolderNames();
    folder->entries.clear();
    for (auto& [name, entry] : found) {
        folder->names.Add(std::move(name));
        folder->entries.push_back(entry);
    }
    folder->listedFor = codePage.Number();
    return true;
}

std::optional<DriveBackend::Node> DiskImageDrive::Find(NodeId folder, std::string_view folded,
                                                       const CodePage& codePage) {
    std::uint64_t address = folder == kRoot ? fs_->root_inum : folder;
    Folder& listing = folders_[address];
    if (listing.listedFor != codePage.Number() && !List(address, codePage, &listing)) {
        return std::nullopt;
    }
    std::optional<std::size_t> index = listing.names.Find(folded, codePage);
    if (!index) return std::nullopt;
    Entry& entry = listing.entries[*index];
    if (!entry.readOnly) {
        // The Sleuth Kit drops the read bits of a FAT entry with the
        // read-only attribute.
        entry.readOnly = false;
        if (TSK_FS_FILE* file = tsk_fs_file_open_meta(fs_, nullptr, entry.address)) {
            if (file->meta) entry.readOnly = (file->meta->mode & TSK_FS_META_MODE_IRUSR) == 0;
            tsk_fs_file_close(file);
        } else {
            tsk_error_reset();
        }
    }
    Node node;
    node.name = entry.name;
    node.directory = entry.directory;
    node.readOnly = !entry.directory && *entry.readOnly;
    node.id = entry.address;
    return node;
}

std::optional<std::string> DiskImageDrive::Read(NodeId file) {
    TSK_FS_FILE* opened = tsk_fs_file_open_meta(fs_, nullptr, file);
    if (opened == nullptr || opened->meta == nullptr || opened->meta->size < 0 ||
        static_cast<std::uint64_t>(opened->meta->size) > kLargestFileRead) {
        if (opened) tsk_fs_file_close(opened);
        tsk_error_reset();
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(opened->meta->size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = tsk_fs_file_read(opened, static_cast<TSK_OFF_T>(done), bytes.data() + done,
                                     bytes.size() - done, TSK_FS_FILE_READ_FLAG_NONE);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    tsk_fs_file_close(opened);
    if (done != bytes.size()) {
        tsk_error_reset();
        return std::nullopt;
    }
    return bytes;
}

}  // namespace platform::sim
