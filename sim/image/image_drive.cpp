#include "sim/image/image_drive.h"

#include <vector>

#include "platform/sim/file_system.h"
#include "sim/formats/msdos_sys.h"
#include "sim/image/disk_image.h"

namespace kestrow_sim {

namespace {

using platform::sim::DiskImage;
using platform::sim::ImagePartition;

// Why the partition holds no Windows installation; empty when it holds one.
std::string MissingWindows(const DiskImage& image, const ImagePartition& partition,
                           const platform::sim::CodePage& codePage) {
    if (!partition.problem.empty()) return partition.problem;
    if (partition.fileSystem.empty()) return "no FAT file system";
    std::string error;
    std::unique_ptr<platform::sim::DriveBackend> drive = image.OpenDrive(partition.number, &error);
    if (!drive) return error;
    platform::sim::FileSystem files(&codePage);
    files.MountDrive('C', std::move(drive), true);
    if (!files.IsFile("C:\\MSDOS.SYS")) return "no MSDOS.SYS in its root";
    std::optional<std::string> text = files.ReadFile("C:\\MSDOS.SYS");
    if (!text) return "MSDOS.SYS cannot be read";
    MsdosSysPaths paths;
    if (!ParseMsdosSys(*text, codePage, &paths, &error)) return "MSDOS.SYS: " + error;
    std::string windows = paths.winDir.empty() ? "C:\\WINDOWS" : paths.winDir;
    if (windows.size() < 2 || (windows[0] != 'C' && windows[0] != 'c')) {
        return "MSDOS.SYS puts Windows on another drive (" + windows + ")";
    }
    if (!files.IsDirectory(windows)) return "no Windows folder " + windows;
    if (!files.IsFile(windows + "\\SYSTEM.DAT")) return "no " + windows + "\\SYSTEM.DAT";
    return std::string();
}

}  // namespace

bool OpenImageDrive(const std::string& imageFile, std::optional<unsigned> partition,
                    const platform::sim::CodePage& codePage, ImageDrive* opened,
                    std::string* error) {
    std::unique_ptr<DiskImage> image = DiskImage::Open(imageFile, error);
    if (!image) return false;
    const std::vector<ImagePartition>& partitions = image->Partitions();

    const ImagePartition* chosen = nullptr;
    if (partition) {
        for (const ImagePartition& candidate : partitions) {
            if (candidate.number == *partition) chosen = &candidate;
        }
    } else {
        std::vector<const ImagePartition*> holding;
        std::string listing;
        for (const ImagePartition& candidate : partitions) {
            std::string missing = MissingWindows(*image, candidate, codePage);
            if (missing.empty()) holding.push_back(&candidate);
            listing += "\n  " + candidate.Describe() +
                       (missing.empty() ? ": holds Windows" : ": " + missing);
        }
        if (holding.size() != 1) {
            std::string found = partitions.empty() ? "\n  no partitions at all" : listing;
            *error = imageFile + " (" + image->Format() + " image): " +
                     (holding.empty()
                          ? std::string("no FAT partition holds a Windows 98/Me installation "
                                        "(MSDOS.SYS and a Windows folder with SYSTEM.DAT)")
                          : std::to_string(holding.size()) +
                                " partitions hold a Windows installation; choose one with "
                                "--partition N") +
                     "; found:" + found +
                     (holding.empty() ? "\n(--partition N takes a partition all the same)" : "");
            return false;
        }
        chosen = holding.front();
    }

    unsigned number = chosen ? chosen->number : *partition;
    std::unique_ptr<platform::sim::DriveBackend> drive = image->OpenDrive(number, error);
    if (!drive) return false;
    opened->drive = std::move(drive);
    opened->imageFile = imageFile;
    opened->format = image->Format();
    opened->partition = number;
    opened->offset = chosen->offset;
    return true;
}

}  // namespace kestrow_sim
