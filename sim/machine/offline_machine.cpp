#include "sim/machine/offline_machine.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "sim/formats/creg_reader.h"
#include "sim/formats/msdos_sys.h"
#include "sim/host/bounded_read.h"

namespace kestrow_sim {

namespace {

using platform::sim::CodePage;
using platform::sim::FileSystem;

// The components of a full machine path (C:\WINDOWS\SYSTEM.DAT: WINDOWS and
// SYSTEM.DAT), split at each backslash that is no trail byte.
std::vector<std::string> Components(std::string_view path, const CodePage& codePage) {
    std::vector<std::string> parts;
    std::string_view rest = path.size() > 3 ? path.substr(3) : std::string_view();
    while (!rest.empty()) {
        std::size_t length = codePage.NameLength(rest, '\\');
        if (length > 0) parts.emplace_back(rest.substr(0, length));
        rest.remove_prefix(std::min(length + 1, rest.size()));
    }
    return parts;
}

// What a host path that does not count as the file or folder looked for
// is: "a named pipe (FIFO), not a file", "a symbolic link leading out of
// /mnt/c (to /etc/passwd), which is not followed".
std::string Describe(const std::string& path, const std::string& hostFolder, bool folder) {
    std::string what = DescribeHostPath(path, hostFolder);
    if (HostFileKindOf(path, false) == HostFileKind::Symlink) return what;
    return what + (folder ? ", not a folder" : ", not a file");
}

// How far a machine path leads in a drive's host folder, its names found the
// way the drive finds them (letter case ignored; of two names that fold
// alike, the first in byte order).
struct HostPlace {
    std::string path;         // the host path of the components found
    std::string machinePath;  // the same on the machine, spelled as stored
    bool whole = false;       // every component was found
    // When a component before the last is there but is no folder the drive
    // follows: what it is.
    std::string notFolder;
};

HostPlace FindOnHost(const std::string& hostFolder, char drive,
                     const std::vector<std::string>& components, const CodePage& codePage) {
    HostPlace place;
    place.path = hostFolder;
    place.machinePath = std::string(1, drive) + ":";
    for (std::size_t i = 0; i < components.size(); ++i) {
        std::vector<std::string> names;
        if (!ListHostFolder(place.path, &names)) return place;
        auto match = std::find_if(names.begin(), names.end(), [&](const std::string& name) {
            return codePage.SameName(name, components[i]);
        });
        if (match == names.end()) return place;
        std::string next = place.path + "/" + *match;
        std::string nextOnMachine = place.machinePath + "\\" + *match;
        if (i + 1 < components.size() && !IsFolderInside(next, hostFolder)) {
            place.notFolder = nextOnMachine + " is " + Describe(next, hostFolder, true);
            return place;
        }
        place.path = std::move(next);
        place.machinePath = std::move(nextOnMachine);
    }
    place.whole = true;
    return place;
}

// The files of the installation, read for finding its registry.
class Installation {
public:
    Installation(const FileSystem& files, const CodePage& codePage)
        : files_(files), codePage_(codePage) {}

    // When the path is not the file (or folder) looked for: what stands
    // there instead on a drive that is a host folder ("C:\WINDOWS is a named
    // pipe (FIFO), not a folder"); empty when nothing does.
    std::string WhatStandsThere(const std::string& path, bool folder) const {
        std::string hostFolder = files_.HostFolder(path[0]);
        if (hostFolder.empty()) return std::string();
        HostPlace place = FindOnHost(hostFolder, path[0], Components(path, codePage_), codePage_);
        if (!place.notFolder.empty()) return place.notFolder;
        if (!place.whole) return std::string();
        HostFileKind kind = HostFileKindOf(place.path, false);
        if (kind == (folder ? HostFileKind::Folder : HostFileKind::Regular)) {
            return std::string();  // changed since the drive looked
        }
        return place.machinePath + " is " + Describe(place.path, hostFolder, folder);
    }

    // Reads a file of at most `limit` bytes. On a host folder the file is
    // read from the host, and refused unless it is a regular file inside the
    // drive's folder no larger than the limit, before it is read.
    bool Read(const std::string& path, std::uint64_t limit, std::string (*tooLarge)(std::uint64_t),
              std::string* bytes, std::string* error) const {
        const std::string name = files_.CanonicalPath(path);
        std::string hostFolder = files_.HostFolder(path[0]);
        if (hostFolder.empty()) {
            std::optional<std::string> text = files_.ReadFile(path);
            if (!text) {
                *error = name + ": cannot be read";
                return false;
            }
            if (text->size() > limit) {
                *error = name + ": " + tooLarge(text->size());
                return false;
            }
            *bytes = std::move(*text);
            return true;
        }
        HostPlace place = FindOnHost(hostFolder, path[0], Components(path, codePage_), codePage_);
        if (!place.whole) {
            *error = name + ": cannot be found in " + hostFolder + " any more";
            return false;
        }
        BoundedFile file;
        std::string message;
        if (!file.Open(place.path, hostFolder, &message)) {
            *error = name + ": " + message;
            return false;
        }
        if (file.Size() > limit) {
            *error = name + ": " + tooLarge(file.Size());
            return false;
        }
        std::string read;
        if (!file.ReadRest(limit, &read, &message)) {
            *error = name + ": " + message;
            return false;
        }
        *bytes = std::move(read);
        return true;
    }

private:
    const FileSystem& files_;
    const CodePage& codePage_;
};

std::string MsdosSysTooLarge(std::uint64_t size) {
    return std::to_string(size) + " bytes, more than an MSDOS.SYS can be (at most " +
           std::to_string(kMaxMsdosSysBytes >> 10) + " KiB is read)";
}

}  // namespace

bool FindOfflineRegistry(const FileSystem& files, const CodePage& codePage, char bootDrive,
                         OfflineRegistry* found, std::string* error) {
    const std::string drive(1,
                            static_cast<char>(std::toupper(static_cast<unsigned char>(bootDrive))));
    const std::string msdosSys = drive + ":\\MSDOS.SYS";
    const Installation installation(files, codePage);
    OfflineRegistry result;
    std::string windowsDirectory;
    if (files.IsFile(msdosSys)) {
        std::string text;
        if (!installation.Read(msdosSys, kMaxMsdosSysBytes, MsdosSysTooLarge, &text, error)) {
            return false;
        }
        MsdosSysPaths paths;
        std::string message;
        if (!ParseMsdosSys(text, codePage, &paths, &message)) {
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
        std::string there = installation.WhatStandsThere(msdosSys, false);
        if (!there.empty()) {
            *error = there + "; where Windows is cannot be told";
            return false;
        }
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
        std::string there = installation.WhatStandsThere(windowsDirectory, true);
        *error = there.empty() ? "there is no Windows folder " + windowsDirectory + " (from " +
                                     result.windowsDirectoryFrom +
                                     "; --registry FILE runs with another registry)"
                               : "the Windows folder " + windowsDirectory + " (from " +
                                     result.windowsDirectoryFrom + ") cannot be used: " + there;
        return false;
    }
    result.windowsDirectory = files.CanonicalPath(windowsDirectory);
    const std::string registry = result.windowsDirectory + "\\SYSTEM.DAT";
    if (!files.IsFile(registry)) {
        std::string there = installation.WhatStandsThere(registry, false);
        *error = "no registry: " + (there.empty() ? registry + " is missing" : there) +
                 " (--registry FILE runs with another registry)";
        return false;
    }
    std::string bytes;
    if (!installation.Read(registry, kMaxCregFileBytes, CregTooLargeText, &bytes, error)) {
        return false;
    }
    result.registryPath = files.CanonicalPath(registry);
    result.bytes = std::move(bytes);
    *found = std::move(result);
    return true;
}

}  // namespace kestrow_sim
