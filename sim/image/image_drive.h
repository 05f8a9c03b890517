// Drive C: of a simulated machine taken from a disk image: the partition
// named on the command line, or else the one FAT partition that holds a
// Windows 98/Me installation (MSDOS.SYS in its root and a Windows folder
// with SYSTEM.DAT).
#ifndef KESTROW_SIM_IMAGE_IMAGE_DRIVE_H
#define KESTROW_SIM_IMAGE_IMAGE_DRIVE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/sim/code_page.h"
#include "platform/sim/drive_backend.h"

namespace kestrow_sim {

struct ImageDrive {
    std::unique_ptr<platform::sim::DriveBackend> drive;
    std::string imageFile;
    std::string format;  // "raw", "VHD", "VMDK"
    unsigned partition = 0;
    std::uint64_t offset = 0;
};

// Opens the image and the partition. False, with a message naming the
// image and the partition, when the image cannot be read, the partition
// given holds no readable FAT volume, or, without one given, no partition
// or more than one holds a Windows installation; the message then lists
// every partition found.
bool OpenImageDrive(const std::string& imageFile, std::optional<unsigned> partition,
                    const platform::sim::CodePage& codePage, ImageDrive* opened,
                    std::string* error);

}  // namespace kestrow_sim

#endif
