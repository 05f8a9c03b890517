// A Windows 98/Me installation seen from outside, switched off: its drives
// are mapped into the simulated machine (host folders or a disk image), and
// this finds its Windows folder and its registry file through the
// simulated file system, the way the startup code does.
#ifndef KESTROW_SIM_MACHINE_OFFLINE_MACHINE_H
#define KESTROW_SIM_MACHINE_OFFLINE_MACHINE_H

#include <string>

#include "platform/sim/code_page.h"
#include "platform/sim/file_system.h"

namespace kestrow_sim {

struct OfflineRegistry {
    std::string windowsDirectory;      // as stored on the drive, e.g. C:\WINDOWS
    std::string windowsDirectoryFrom;  // where that was found, for the report
    std::string registryPath;          // e.g. C:\WINDOWS\SYSTEM.DAT, as stored
    std::string bytes;                 // the registry file's contents
};

// Reads <boot drive>:\MSDOS.SYS for [Paths] WinDir= (without one, or
// without the file, the Windows folder is <boot drive>:\WINDOWS) and the
// Windows folder's SYSTEM.DAT; paths are split in the machine's code page.
// False, with a message naming the file, when MSDOS.SYS is malformed, the
// Windows folder or SYSTEM.DAT is missing, or a file cannot be read or is
// larger than it can be. On a drive that is a host folder, files are read
// from the host directly, each only once it is known to be a regular file
// inside the drive's folder, and what stands where a file or folder was
// looked for (a named pipe, a device, a folder, a link leading out of the
// drive folder) is named in the message.
bool FindOfflineRegistry(const platform::sim::FileSystem& files,
                         const platform::sim::CodePage& codePage, char bootDrive,
                         OfflineRegistry* found, std::string* error);

}  // namespace kestrow_sim

#endif
