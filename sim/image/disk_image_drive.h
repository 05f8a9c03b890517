// A FAT partition of a disk image as a drive of the simulated machine,
// read through The Sleuth Kit one folder and one file at a time, as the
// run asks for them. Long file names are the names, and an entry is found
// by its short name (LONGFO~1) too, as Windows finds it; a read-only
// attribute makes a file read-only. A short name without a long one whose
// bytes lie outside ASCII comes as The Sleuth Kit gives it ('^' for each
// such byte), as the file system keeps it in the OEM code page of the DOS
// that wrote it, which the image does not say. Deleted entries, the volume label and the
// Sleuth Kit's own virtual files ($MBR, $FAT1...) are not there.
#ifndef KESTROW_SIM_IMAGE_DISK_IMAGE_DRIVE_H
#define KESTROW_SIM_IMAGE_DISK_IMAGE_DRIVE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/sim/drive_backend.h"

typedef struct TSK_FS_INFO TSK_FS_INFO;

namespace platform::sim {

class DiskImageDrive : public DriveBackend {
public:
    // Takes the file system, which it closes; `keepAlive` holds what the
    // file system reads from (the image, its partition table).
    DiskImageDrive(TSK_FS_INFO* fileSystem, std::shared_ptr<const void> keepAlive,
                   std::string description);
    ~DiskImageDrive() override;
    DiskImageDrive(const DiskImageDrive&) = delete;
    DiskImageDrive& operator=(const DiskImageDrive&) = delete;

    std::optional<Node> Find(NodeId folder, std::string_view folded,
                             const CodePage& codePage) override;
    std::optional<std::string> Read(NodeId file) override;

    // e.g. "win98.vhd partition 1", for messages.
    const std::string& Description() const { return description_; }

private:
    struct Entry {
        std::string name;           // the long name, in the machine's code page
        std::uint64_t address = 0;  // the file system's metadata address
        bool directory = false;
        std::optional<bool> readOnly;  // looked up when first found
    };
    struct Folder {
        unsigned listedFor = 0;      // the code page its names were converted to
        FolderNames names;           // long names and short aliases
        std::vector<Entry> entries;  // in the order of names; an alias's entry holds the long name
    };
    bool List(std::uint64_t address, const CodePage& codePage, Folder* folder);

    TSK_FS_INFO* fs_;
    std::shared_ptr<const void> keepAlive_;
    std::string description_;
    std::unordered_map<std::uint64_t, Folder> folders_;  // by metadata address
};

// The volume label entry of a FAT root folder as The Sleuth Kit names it:
// the label, or nullopt for any other name.
std::optional<std::string> VolumeLabelOf(std::string_view name, std::string_view shortName);

}  // namespace platform::sim

#endif
