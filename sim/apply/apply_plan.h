// What --apply is going to write, worked out and checked before anything is
// written: each drive file's host path, the registry file (a symbolic link
// followed to the file it names), the undo file and the folder for backups
// of replaced files. The checks refuse, with the target and the reason, a
// target that cannot be written: a bundled sample machine, a registry path
// that is not a regular file, a folder that is missing or not writable, a
// file that is both read by the run and written by it, a file owned by
// someone else when not running as root, a registry file that changed
// since it was read.
#ifndef KESTROW_SIM_APPLY_APPLY_PLAN_H
#define KESTROW_SIM_APPLY_APPLY_PLAN_H

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"
#include "sim/host/file_fingerprint.h"
#include "sim/machine/machine_loader.h"

namespace kestrow_sim {

// Temporary files of --apply start with this, in the folder of the file
// they replace, so that a later run knows them for leftovers.
constexpr char kTemporaryPrefix[] = ".kestrow-tmp.";

struct DriveTarget {
    std::string windowsPath;                 // C:\WINDOWS\inf\iusb2.inf
    std::string hostPath;                    // its host file
    std::string folder;                      // the host folder that holds it
    std::vector<std::string> foldersToMake;  // missing folders above it, outermost first
    bool deletion = false;                   // the run deleted the file
    bool exists = false;                     // there is a file to replace or delete
    struct stat old {};                      // that file, when it exists
    std::string newBytes;
};

struct ApplyPlan {
    std::vector<DriveTarget> drives;
    // The registry file is rewritten only when keys were deleted.
    std::vector<std::string> deletedKeys;  // full paths as the registry spells them
    std::string registryFile;              // as given
    std::string registryReal;              // the regular file it is or links to
    bool registryIsLink = false;           // registryFile is a symbolic link
    struct stat registryOld {};
    std::string undoFile;
    std::string backupFolder;  // beside the undo file; made only when a file is replaced
    platform::sim::CodePage codePage;

    bool WritesRegistry() const { return !deletedKeys.empty(); }
    bool ReplacesFiles() const;
    // "registry file X", or "registry file X (the file Y it links to)".
    std::string RegistryName() const;
    std::string DriveName(const DriveTarget& target) const;
};

// The backup folder's name for an undo file: registry.undo.reg ->
// registry.undo.files.
std::string BackupFolderName(const std::string& undoFile);

// Works out the plan and runs every check. registryRead, when taken, is
// the registry file as it was read; a change since is refused.
bool PlanApply(platform::sim::Machine& machine, platform::sim::RegistryTree& before,
               const MachineDescription& description, const FileFingerprint& registryRead,
               ApplyPlan* plan, std::string* error);

}  // namespace kestrow_sim

#endif
