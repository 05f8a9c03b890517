// A whole-disk image (raw, VHD or VMDK), opened read-only through The Sleuth
// Kit: its MBR partitions, or the one FAT volume an image without a
// partition table holds, and each FAT partition as a drive of the simulated
// machine. Only the blocks asked for are read; nothing is ever written.
#ifndef KESTROW_SIM_IMAGE_DISK_IMAGE_H
#define KESTROW_SIM_IMAGE_DISK_IMAGE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/drive_backend.h"

namespace platform::sim {

struct ImagePartition {
    // 1-4 for the primary entries of the MBR, 5 and up for logical ones in
    // the order they lie on the disk; 0 for an image that is one FAT volume
    // without a partition table.
    unsigned number = 0;
    std::uint64_t offset = 0;  // in bytes from the image's start
    std::uint64_t size = 0;    // in bytes
    std::string entryType;     // the MBR entry's type, e.g. "Win95 FAT32 (0x0c)"
    std::string fileSystem;    // "FAT12", "FAT16", "FAT32"; empty when none was found
    std::string label;         // the volume label, empty when there is none
    std::string problem;       // why it cannot be used as a drive; empty when it can

    // e.g. "partition 1 (offset 1048576, 64.0 MB, FAT16, label WIN98)".
    std::string Describe() const;
};

class DiskImage {
public:
    // Null, with a message naming the file, when it cannot be opened or
    // holds neither an MBR partition table nor a FAT volume.
    static std::unique_ptr<DiskImage> Open(const std::string& path, std::string* error);
    ~DiskImage();
    DiskImage(const DiskImage&) = delete;
    DiskImage& operator=(const DiskImage&) = delete;

    const std::string& Path() const { return path_; }
    const std::string& Format() const { return format_; }  // "raw", "VHD", "VMDK"
    std::uint64_t Size() const;
    // Every partition the table lists (and the bare volume), FAT or not.
    const std::vector<ImagePartition>& Partitions() const { return partitions_; }

    // The partition as a drive, which keeps the image open as long as it
    // lives. Null, with a message naming the image and the partition, when
    // there is no such partition or it holds no readable FAT volume.
    std::unique_ptr<DriveBackend> OpenDrive(unsigned number, std::string* error) const;

private:
    struct Handles;
    DiskImage() = default;

    std::string path_;
    std::string format_;
    std::shared_ptr<Handles> handles_;
    std::vector<ImagePartition> partitions_;
};

// The version of The Sleuth Kit the program runs with, e.g. "4.11.1".
std::string DiskImageLibraryVersion();

}  // namespace platform::sim

#endif
