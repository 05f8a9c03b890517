// Whether --apply may go ahead, and what it is going to write, worked out
// and checked before anything is written. Every refusal of --apply is made
// here, by CheckApplyAllowed, which a run asks at each stage with what it
// knows by then: the command line (--bench), the machine (a disk image), the
// registry file as it is before it is read (its fingerprint), where the
// registry came from (Windows' own registry file), and last what the run
// changed: the plan, with each drive file's host path (found by the rule
// the simulated drive finds names with), the registry file (a symbolic link
// followed to the file it names), the undo file and the folder for backups
// of replaced files. The plan's checks refuse, with the target and the
// reason, a target that cannot be written: a bundled sample machine, a
// registry path that is not a regular file, a folder that is missing or not
// writable, a link in a drive folder that leads out of it, a file that is
// both read by the run and written by it, a file owned by someone else when
// not running as root, a registry file that changed since it was read.
#ifndef KESTROW_SIM_APPLY_APPLY_PLAN_H
#define KESTROW_SIM_APPLY_APPLY_PLAN_H

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"
#include "sim/host/file_fingerprint.h"
#include "sim/machine/machine_description.h"
#include "sim/machine/machine_origin.h"

namespace kestrow_sim {

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

// Why --apply does not go ahead, and how that is shown.
struct ApplyRefusal {
    enum class Shown {
        kWithUsage,   // a command line that cannot be: the message, then the usage (exit 2)
        kBadInput,    // a machine --apply does not write to: the message (exit 2)
        kNotWritten,  // --apply could not start: the message (exit 1)
        kInReport,    // a target cannot be written: the report tells it (exit 1)
    };
    Shown shown = Shown::kBadInput;
    std::string message;
};

// The stages of a run at which it asks, in order.
enum class ApplyStage {
    kOptionsRead,  // the command line: needs bench
    kDescribed,    // the machine described, not loaded yet: needs description, fingerprint
    kLoaded,       // the machine loaded: needs origin
    kRan,          // the installer ran: needs description, machine, before, plan
};

// What the run knows when it asks.
struct ApplyCheck {
    ApplyStage stage = ApplyStage::kOptionsRead;
    bool bench = false;  // --bench was given too
    const MachineDescription* description = nullptr;
    // kDescribed: the registry file as it is before it is read, taken here
    // (left untaken when there is no file: the loader then says so).
    FileFingerprint* fingerprint = nullptr;
    // kRan: that fingerprint, when taken; the file must still be that file.
    const FileFingerprint* registryRead = nullptr;
    const MachineOrigin* origin = nullptr;
    platform::sim::Machine* machine = nullptr;
    platform::sim::RegistryTree* before = nullptr;  // the registry as it was (its deleted keys)
    ApplyPlan* plan = nullptr;                      // kRan: filled
};

// Every refusal of --apply: checks what the check's stage makes known, and
// returns why --apply must not go ahead, or nothing.
std::optional<ApplyRefusal> CheckApplyAllowed(const ApplyCheck& check);

}  // namespace kestrow_sim

#endif
