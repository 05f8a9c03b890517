#include "sim/machine/offline_machine.h"

#include <cctype>

#include "sim/formats/msdos_sys.h"

namespace kestrow_sim {

bool FindOfflineRegistry(const platform::sim::FileSystem& files, char bootDrive,
                         OfflineRegistry* found, std::string* error) {
    const std::string drive(1,
                            static_cast<char>(std::toupper(static_cast<unsigned char>(bootDrive))));
    const std::string msdosSys = drive + ":\\MSDOS.SYS";
    OfflineRegistry result;
    std::string windowsDirectory;
    if (files.IsFile(msdosSys)) {
        std::optional<std::string> text = files.ReadFile(msdosSys);
        if (!text) {
            *error = files.CanonicalPath(msdosSys) + ": cannot be read";
            return false;
        }
        MsdosSysPaths paths;
        std::string message;
        if (!ParseMsdosSys(*text, &paths, &message)) {
            *error = files.CanonicalPath(msdosSys) + ": " + message;
            return false;
        }
        if (!paths.winDir.empty()) {
            windowsDirectory = paths.winDir;
            result.windowsDirectoryFrom = files.CanonicalPath(msdosSys) + " [Paths] WinDir (line " +
                                          std::to_string(paths.winDirLine) + ")";
        } else {
            result.windowsDirectoryFrom =
                "the default; " + files.CanonicalPath(msdosSys) + " names no [Paths] WinDir";
        }
    } else {
        result.windowsDirectoryFrom = "the default; there is no " + msdosSys;
    }
    if (windowsDirectory.empty()) windowsDirectory = drive + ":\\WINDOWS";

    char windowsDrive =
        static_cast<char>(std::toupper(static_cast<unsigned char>(windowsDirectory[0])));
    if (!files.HasDrive(windowsDrive)) {
        *error = "the Windows folder " + windowsDirectory + " (from " +
                 result.windowsDirectoryFrom + ") is on drive " + std::string(1, windowsDrive) +
                 ":, which is not mapped";
        return false;
    }
    if (!files.IsDirectory(windowsDirectory)) {
        *error = "there is no Windows folder " + windowsDirectory + " (from " +
                 result.windowsDirectoryFrom + "; --registry FILE runs with another registry)";
        return false;
    }
    result.windowsDirectory = files.CanonicalPath(windowsDirectory);
    const std::string registry = result.windowsDirectory + "\\SYSTEM.DAT";
    if (!files.IsFile(registry)) {
        *error =
            "no registry: " + registry + " is missing (--registry FILE runs with another registry)";
        return false;
    }
    std::optional<std::string> bytes = files.ReadFile(registry);
    if (!bytes) {
        *error = files.CanonicalPath(registry) + ": cannot be read";
        return false;
    }
    result.registryPath = files.CanonicalPath(registry);
    result.bytes = std::move(*bytes);
    *found = std::move(result);
    return true;
}

}  // namespace kestrow_sim
