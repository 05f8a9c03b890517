#include "sim/machine/library_versions.h"

#include "sim/formats/creg_reader.h"
#include "sim/image/disk_image.h"

namespace kestrow_sim {

std::vector<LibraryVersion> ReadingLibraryVersions() {
    // A library that reads one more kind of input is one more line here.
    return {
        {"libcreg", CregLibraryVersion(), "Windows 98/Me registry files (SYSTEM.DAT)"},
        {"libtsk", platform::sim::DiskImageLibraryVersion(),
         "disk images (raw, VHD, VMDK) and their FAT file systems"},
    };
}

}  // namespace kestrow_sim
