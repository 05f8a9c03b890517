// The transaction of one --apply run, as a small state machine, so that the
// machine ends as it was or as it is to be, never in between:
//
//   kPlanned --Stage--> kStaged --Commit--> kCommitted
//       |                  |
//       +------------------+--(a step fails)--> kFailed --RollBack--> kRolledBack
//
// Stage: everything that can fail while nothing the user has is changed:
// the temporary files an earlier, killed run left are removed; the edited
// registry file and the undo file are written under temporary names (the
// registry file checked again to be the one read); each file to be replaced
// is saved into the backup folder beside the undo file; the folders to make
// are made; every new drive file is written under its temporary name
// (.kestrow-tmp.<name> in its target's folder), flushed, with the target's
// owner, group and mode.
// Commit: the renames, in the program's own order: every drive file, then
// the undo file, then the registry file (the program leaves the controller
// key alone when a driver file cannot be copied), each target looked at
// again just before, so that a change another program made is never lost.
// RollBack: whatever this run put in place is put back (a replaced file
// from its saved bytes, or its link, through a temporary file and a
// rename; a new file removed), and the temporary files, backups and folders
// it made are removed. Only when that fails too does the machine hold a
// mix, which Progress() tells.
#ifndef KESTROW_SIM_APPLY_APPLY_TRANSACTION_H
#define KESTROW_SIM_APPLY_APPLY_TRANSACTION_H

#include <string>
#include <vector>

#include "sim/apply/apply_plan.h"
#include "sim/host/file_fingerprint.h"

namespace kestrow_sim {

// A drive file on its way: written under its temporary name, then put in
// place, and put back as it was when a later step fails.
struct DriveStep {
    const DriveTarget* target = nullptr;
    std::string temporary;  // written, not yet renamed; empty when none
    std::string oldBytes;   // the replaced file's bytes (of the file a link names)
    std::string oldLink;    // the replaced symbolic link's contents
    std::string backup;     // where the replaced file was saved; empty when not
    bool placed = false;    // the target holds the new file, or is deleted
    bool rolledBack = false;
};

// What a transaction did, step by step, for its outcome.
struct ApplyProgress {
    std::vector<DriveStep> steps;  // one for each drive target, in the plan's order
    std::vector<std::string> removedLeftovers;
    bool backupsRemoved = false;  // by a rollback that left nothing in place
    bool undoPlaced = false;
    bool undoRolledBack = false;
    bool registryPlaced = false;
    std::string failure;  // the first step that failed
    std::vector<std::string> rollBackFailures;
    std::vector<std::string> leftBehind;  // what a rollback could not remove

    bool AnythingPlaced() const;
};

class ApplyTransaction {
public:
    enum class State { kPlanned, kStaged, kCommitted, kFailed, kRolledBack };

    // registryRead, when taken, is the registry file as it was read. The
    // plan and the fingerprint must outlive the transaction.
    ApplyTransaction(const ApplyPlan& plan, const FileFingerprint* registryRead);

    // kPlanned -> kStaged, or kFailed.
    bool Stage();
    // kStaged -> kCommitted, or kFailed.
    bool Commit();
    // kFailed -> kRolledBack.
    void RollBack();
    // Stage, Commit and, when either fails, RollBack: true when committed.
    bool Run();

    State GetState() const { return state_; }
    const ApplyProgress& Progress() const { return progress_; }

private:
    // Something this run made on the host, removed again by a rollback.
    struct Made {
        std::string path;
        bool folder = false;
    };

    bool RemoveLeftovers();
    bool PrepareRegistry();
    bool SaveReplacedFiles();
    bool StageDriveFile(DriveStep& step);
    bool PlaceDriveFile(DriveStep& step);
    bool Place(const std::string& temporary, const std::string& target, bool* placed);
    bool RegistryUnchanged();
    bool MakeFolder(const std::string& folder, std::string* error);
    bool MakeFolders(const std::string& base, const std::string& relative, std::string* error);
    void PutBack(DriveStep& step);
    bool WriteOld(const DriveStep& step, const std::string& temporary, std::string* error);
    void Forget(const std::string& temporary);
    std::string ChangedUnderUs() const;
    bool Fail(const std::string& error);
    void RollBackFailed(const std::string& error);

    const ApplyPlan& plan_;
    const FileFingerprint* registryRead_;
    State state_ = State::kPlanned;
    ApplyProgress progress_;
    std::vector<std::string> temporaries_;  // written, not yet renamed
    std::vector<Made> made_;                // folders and backups, in the order made
    std::string registryTemporary_;
    std::string undoTemporary_;
};

}  // namespace kestrow_sim

#endif
