#include "sim/image/disk_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tsk/libtsk.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "sim/image/disk_image_drive.h"

namespace platform::sim {

namespace {

// The Sleuth Kit's last error as one line, and the error state cleared.
std::string TskError() {
    const char* text = tsk_error_get();
    std::string message = text ? text : "unknown error";
    tsk_error_reset();
    for (char& c : message) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!message.empty() && message.back() == ' ') message.pop_back();
    return message;
}

std::string FatName(TSK_FS_TYPE_ENUM type) {
    switch (type) {
        case TSK_FS_TYPE_FAT12:
            return "FAT12";
        case TSK_FS_TYPE_FAT16:
            return "FAT16";
        case TSK_FS_TYPE_FAT32:
            return "FAT32";
        default:
            return std::string();
    }
}

std::string SizeText(std::uint64_t bytes) {
    char text[32];
    if (bytes >= (std::uint64_t(1) << 30)) {
        std::snprintf(text, sizeof text, "%.1f GB", bytes / double(std::uint64_t(1) << 30));
    } else if (bytes >= (std::uint64_t(1) << 20)) {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / double(std::uint64_t(1) << 20));
    } else {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    }
    return text;
}

// The label from the root folder's volume label entry.
std::string ReadLabel(TSK_FS_INFO* fs) {
    TSK_FS_DIR* dir = tsk_fs_dir_open_meta(fs, fs->root_inum);
    if (dir == nullptr) {
        tsk_error_reset();
        return std::string();
    }
    std::string label;
    for (std::size_t i = 0; i < tsk_fs_dir_getsize(dir) && label.empty(); ++i) {
        const TSK_FS_NAME* name = tsk_fs_dir_get_name(dir, i);
        if (name == nullptr || name->name == nullptr) continue;
        if ((name->flags & TSK_FS_NAME_FLAG_ALLOC) == 0) continue;
        if (auto found = VolumeLabelOf(name->name, name->shrt_name ? name->shrt_name : "")) {
            label = *found;
        }
    }
    tsk_fs_dir_close(dir);
    return label;
}

// The image's container format, from its signatures: a VHD ends in a
// "conectix" footer (a dynamic one also starts with a copy), a sparse VMDK
// starts with "KDMV", a VMDK descriptor with "# Disk DescriptorFile";
// anything else is taken as raw. Naming the format spares The Sleuth Kit
// trying every library on a raw file, which leaks what the failed tries
// allocated.
TSK_IMG_TYPE_ENUM ContainerType(int fd, std::uint64_t size) {
    char head[32] = {};
    char tail[8] = {};
    ssize_t headBytes = ::pread(fd, head, sizeof head, 0);
    if (headBytes >= 8 && std::memcmp(head, "conectix", 8) == 0) return TSK_IMG_TYPE_VHD_VHD;
    if (size >= 512 && ::pread(fd, tail, sizeof tail, static_cast<off_t>(size - 512)) == 8 &&
        std::memcmp(tail, "conectix", 8) == 0) {
        return TSK_IMG_TYPE_VHD_VHD;
    }
    if (headBytes >= 4 && std::memcmp(head, "KDMV", 4) == 0) return TSK_IMG_TYPE_VMDK_VMDK;
    constexpr std::string_view kDescriptor = "# Disk DescriptorFile";
    if (headBytes >= static_cast<ssize_t>(kDescriptor.size()) &&
        std::string_view(head, kDescriptor.size()) == kDescriptor) {
        return TSK_IMG_TYPE_VMDK_VMDK;
    }
    return TSK_IMG_TYPE_RAW;
}

}  // namespace

struct DiskImage::Handles {
    TSK_IMG_INFO* image = nullptr;
    TSK_VS_INFO* table = nullptr;  // null for a bare volume
    ~Handles() {
        if (table) tsk_vs_close(table);
        if (image) tsk_img_close(image);
    }
};

std::string ImagePartition::Describe() const {
    std::string text = number == 0 ? std::string("the whole image (no partition table)")
                                   : "partition " + std::to_string(number);
    text += " (offset " + std::to_string(offset) + ", " + SizeText(size);
    if (!entryType.empty()) text += ", type " + entryType;
    text += ", " + (fileSystem.empty() ? std::string("no FAT file system") : fileSystem);
    if (!label.empty()) text += ", label " + label;
    text += ")";
    if (!problem.empty()) text += ": " + problem;
    return text;
}

DiskImage::~DiskImage() = default;

std::uint64_t DiskImage::Size() const { return static_cast<std::uint64_t>(handles_->image->size); }

std::unique_ptr<DiskImage> DiskImage::Open(const std::string& path, std::string* error) {
    // The Sleuth Kit's messages for a missing or unreadable file are vague.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        *error = path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
        ::close(fd);
        *error = path + ": not a disk image file";
        return nullptr;
    }
    TSK_IMG_TYPE_ENUM type = ContainerType(fd, static_cast<std::uint64_t>(info.st_size));
    ::close(fd);

    std::unique_ptr<DiskImage> opened(new DiskImage());
    opened->path_ = path;
    opened->handles_ = std::make_shared<Handles>();
    Handles& h = *opened->handles_;
    opened->format_ = type == TSK_IMG_TYPE_VHD_VHD     ? "VHD"
                      : type == TSK_IMG_TYPE_VMDK_VMDK ? "VMDK"
                                                       : "raw";
    h.image = tsk_img_open_utf8_sing(path.c_str(), type, 0);
    if (h.image == nullptr) {
        *error = path + ": a " + opened->format_ + " image that cannot be read: " + TskError();
        return nullptr;
    }
    const std::uint64_t imageSize = static_cast<std::uint64_t>(h.image->size);

    h.table = tsk_vs_open(h.image, 0, TSK_VS_TYPE_DOS);
    if (h.table == nullptr) {
        std::string tableError = TskError();
        // No partition table: perhaps the image is one FAT volume.
        TSK_FS_INFO* fs = tsk_fs_open_img(h.image, 0, TSK_FS_TYPE_FAT_DETECT);
        if (fs == nullptr) {
            tsk_error_reset();
            *error = path + " (" + opened->format_ +
                     " image): neither an MBR partition table nor a FAT volume (" + tableError +
                     ")";
            return nullptr;
        }
        ImagePartition whole;
        whole.number = 0;
        whole.size = imageSize;
        whole.fileSystem = FatName(fs->ftype);
        whole.label = ReadLabel(fs);
        tsk_fs_close(fs);
        opened->partitions_.push_back(whole);
        return opened;
    }

    unsigned logical = 4;
    const std::uint64_t blockSize = h.table->block_size;
    for (TSK_PNUM_T i = 0; i < h.table->part_count; ++i) {
        const TSK_VS_PART_INFO* part = tsk_vs_part_get(h.table, i);
        if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
        ImagePartition entry;
        entry.number = part->table_num == 0 ? static_cast<unsigned>(part->slot_num) + 1 : ++logical;
        entry.offset = static_cast<std::uint64_t>(part->start) * blockSize;
        entry.size = static_cast<std::uint64_t>(part->len) * blockSize;
        entry.entryType = part->desc ? part->desc : "";
        if (entry.offset >= imageSize) {
            entry.problem = "it starts beyond the end of the image (" + std::to_string(imageSize) +
                            " bytes): the image is truncated";
        } else if (entry.offset + entry.size > imageSize) {
            entry.problem = "it ends beyond the end of the image (" + std::to_string(imageSize) +
                            " bytes): the image is truncated";
        }
        if (entry.problem.empty()) {
            if (TSK_FS_INFO* fs = tsk_fs_open_vol(part, TSK_FS_TYPE_FAT_DETECT)) {
                entry.fileSystem = FatName(fs->ftype);
                entry.label = ReadLabel(fs);
                tsk_fs_close(fs);
            } else {
                tsk_error_reset();
            }
        }
        opened->partitions_.push_back(entry);
    }
    return opened;
}

std::unique_ptr<DriveBackend> DiskImage::OpenDrive(unsigned number, std::string* error) const {
    const std::string where = path_ + " partition " + std::to_string(number);
    const ImagePartition* chosen = nullptr;
    for (const ImagePartition& partition : partitions_) {
        if (partition.number == number) chosen = &partition;
    }
    if (chosen == nullptr) {
        std::string known;
        for (const ImagePartition& partition : partitions_) {
            known += (known.empty() ? "" : ", ") + std::to_string(partition.number);
        }
        *error = path_ + ": there is no partition " + std::to_string(number) +
                 (partitions_.empty() ? std::string(" (the partition table lists none)")
                                      : " (there are: " + known + ")");
        return nullptr;
    }
    if (!chosen->problem.empty()) {
        *error = where + ": " + chosen->problem;
        return nullptr;
    }
    TSK_FS_INFO* fs = nullptr;
    if (handles_->table == nullptr) {
        fs = tsk_fs_open_img(handles_->image, 0, TSK_FS_TYPE_FAT_DETECT);
    } else {
        for (TSK_PNUM_T i = 0; i < handles_->table->part_count && fs == nullptr; ++i) {
            const TSK_VS_PART_INFO* part = tsk_vs_part_get(handles_->table, i);
            if (part != nullptr && (part->flags & TSK_VS_PART_FLAG_ALLOC) != 0 &&
                static_cast<std::uint64_t>(part->start) * handles_->table->block_size ==
                    chosen->offset) {
                fs = tsk_fs_open_vol(part, TSK_FS_TYPE_FAT_DETECT);
            }
        }
    }
    if (fs == nullptr) {
        *error = where + ": no FAT file system can be read there" +
                 (chosen->entryType.empty() ? "" : " (its type is " + chosen->entryType + ")") +
                 ": " + TskError();
        return nullptr;
    }
    return std::make_unique<DiskImageDrive>(fs, handles_, where);
}

std::string DiskImageLibraryVersion() { return tsk_version_get_str(); }

}  // namespace platform::sim
