#include "sim/apply/apply_outcome.h"

namespace kestrow_sim {

namespace {

// What the machine's files hold after a failed run.
std::string MachineState(const ApplyPlan& plan, const ApplyProgress& progress,
                         const ApplyReport& report) {
    std::string state;
    std::size_t drivesPlaced = 0;
    for (const DriveStep& step : progress.steps) drivesPlaced += step.placed ? 1 : 0;
    if (!progress.AnythingPlaced()) {
        state = report.rolledBack.empty()
                    ? "everything as it was (nothing was written)"
                    : "everything as it was (what was written has been rolled back)";
    } else {
        if (drivesPlaced == 0) {
            state = "every drive file as it was; ";
        } else if (drivesPlaced < progress.steps.size()) {
            state =
                "the new version of each drive file listed as written and the old version "
                "of the others; ";
        } else {
            state = "every new drive file; ";
        }
        if (!plan.WritesRegistry()) {
            state += "the registry file unchanged (no key was deleted)";
        } else if (progress.registryPlaced) {
            state +=
                "the registry file without the deleted key, and the undo file " + plan.undoFile;
        } else if (progress.undoPlaced) {
            state +=
                "the registry file unchanged (the deleted key is still in it), and the "
                "undo file " +
                plan.undoFile + " for a rewrite that did not happen";
        } else {
            state += "the registry file unchanged (the deleted key is still in it)";
        }
    }
    bool backupsKept = false;
    for (const DriveStep& step : progress.steps) backupsKept |= !step.backup.empty();
    if (!progress.backupsRemoved && backupsKept) {
        state += "; copies of the replaced files in " + plan.backupFolder;
    }
    for (const std::string& left : progress.leftBehind) state += "; " + left;
    return state;
}

}  // namespace

std::vector<std::string> UndoComments(const ApplyPlan& plan) {
    std::vector<std::string> comments = {
        "Written by kestrow-sim --apply: importing this file with regedit puts back the",
        "keys it removed from " + plan.registryReal + "."};
    if (plan.ReplacesFiles()) {
        comments.push_back("The drive files it replaced are kept in " + plan.backupFolder +
                           " (a folder per drive letter).");
    }
    std::string added;
    for (const DriveTarget& target : plan.drives) {
        if (!target.exists && !target.deletion) added += " " + target.windowsPath;
    }
    if (!added.empty()) comments.push_back("Files it added:" + added);
    return comments;
}

ApplyReport TransactionOutcome(const ApplyPlan& plan, const ApplyProgress& progress, bool ok) {
    ApplyReport report;
    report.ok = ok;
    report.removedLeftovers = progress.removedLeftovers;
    if (!progress.backupsRemoved) {
        for (const DriveStep& step : progress.steps) {
            if (step.backup.empty()) continue;
            report.written.push_back("backup of " + step.target->windowsPath + " (" + step.backup +
                                     ")");
        }
    }
    auto add = [&](const std::string& name, bool placed, bool rolledBack) {
        if (placed) {
            report.written.push_back(name);
        } else {
            (rolledBack ? report.rolledBack : report.notWritten).push_back(name);
        }
    };
    for (const DriveStep& step : progress.steps) {
        add(plan.DriveName(*step.target), step.placed, step.rolledBack);
    }
    if (plan.WritesRegistry()) {
        add("undo file " + plan.undoFile, progress.undoPlaced, progress.undoRolledBack);
        add(plan.RegistryName(), progress.registryPlaced, false);
    }
    if (ok) return report;
    report.error = progress.failure;
    if (!progress.rollBackFailures.empty()) {
        report.error += "; putting back what was written failed too:";
        for (const std::string& failure : progress.rollBackFailures) report.error += " " + failure;
    }
    report.machineState = MachineState(plan, progress, report);
    return report;
}

ApplyReport RefusedOutcome(const std::string& refusal, platform::sim::Machine& machine,
                           const MachineDescription& description) {
    ApplyReport report;
    report.ok = false;
    report.error = refusal;
    for (const auto& change : machine.Files().Changes()) report.notWritten.push_back(change.path);
    for (const platform::sim::KeyDeletionRecord& deletion : machine.KeyDeletions()) {
        if (deletion.Deleted()) {
            report.notWritten.push_back("registry file " + description.registryFile);
            break;
        }
    }
    report.machineState = "everything as it was (nothing was written)";
    return report;
}

}  // namespace kestrow_sim
