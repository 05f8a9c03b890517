#include "sim/cli/sim_run.h"

#include <utility>

#include "sim/apply/apply_changes.h"
#include "sim/apply/apply_plan.h"
#include "sim/machine/installer_run.h"
#include "sim/machine/key_deletions.h"
#include "sim/machine/machine_loader.h"

namespace kestrow_sim {

namespace {

SettingOrigin OptionOrigin(const char* option) {
    SettingOrigin origin;
    origin.source = SettingOrigin::Source::kOption;
    origin.option = option;
    return origin;
}

// The machine folder's description with the command line's overrides.
bool Describe(const CliOptions& options, MachineDescription* description, std::string* error) {
    std::string folder;
    if (!ResolveMachineFolder(options.machine, &folder, error)) return false;
    if (!DescribeMachineFolder(folder, description, error)) return false;
    MachineSettings& settings = description->settings;
    if (!options.system.empty()) {
        platform::sim::VersionRecordForSystem(options.system, &settings.version);
        settings.systemName = options.system;
        settings.versionGiven = true;
        description->systemGiven = true;
    }
    for (const DriveSetting& drive : options.drives) {
        bool replaced = false;
        for (DriveSetting& existing : settings.drives) {
            if (existing.letter == drive.letter) {
                existing = drive;
                replaced = true;
            }
        }
        if (!replaced) settings.drives.push_back(drive);
    }
    if (!options.currentDirectory.empty()) {
        settings.currentDirectory = options.currentDirectory;
        settings.currentDirectoryOrigin = OptionOrigin("--cwd");
    }
    if (options.codePage != 0) {
        settings.codePage = options.codePage;
        settings.codePageOrigin = OptionOrigin("--codepage");
    }
    if (!options.registryFile.empty()) description->registryFile = options.registryFile;
    // A C: drive given without a registry is a Windows installation: its
    // own SYSTEM.DAT is the registry.
    for (const DriveSetting& drive : options.drives) {
        if (drive.letter == 'C' && options.registryFile.empty()) {
            description->registryFromDrives = true;
        }
        if (drive.letter == 'C' && !options.imageFile.empty()) {
            *error = "--image gives drive C:; " + drive.origin + " cannot go with it";
            return false;
        }
    }
    if (!options.imageFile.empty()) {
        description->imageFile = options.imageFile;
        description->imagePartition = options.partition;
        description->registryFromDrives = options.registryFile.empty();
    }
    description->commandTail = options.commandTail;
    return true;
}

}  // namespace

SimRun::SimRun(const CliOptions& options) : options_(options) {}

bool SimRun::Fail(int exitCode, const std::string& message) {
    exitCode_ = exitCode;
    error_ = message;
    return false;
}

// Every refusal of --apply comes from one check, asked at each stage (the
// command line's by ParseCliOptions, the last by ApplyChanges).
bool SimRun::RefuseApply(ApplyStage stage) {
    if (!options_.apply) return false;
    applyCheck_.stage = stage;
    std::optional<ApplyRefusal> refusal = CheckApplyAllowed(applyCheck_);
    if (!refusal) return false;
    using Shown = ApplyRefusal::Shown;
    showUsage_ = refusal->shown == Shown::kWithUsage;
    bool badInput = refusal->shown == Shown::kWithUsage || refusal->shown == Shown::kBadInput;
    Fail(badInput ? kExitBadInput : kExitApplyFailed, refusal->message);
    return true;
}

bool SimRun::Prepare() {
    std::string error;
    if (!Describe(options_, &description_, &error)) return Fail(kExitBadInput, error);
    // The check takes the registry file's fingerprint here, before it is
    // read: --apply rewrites it only when it is still that file.
    applyCheck_.description = &description_;
    applyCheck_.fingerprint = &registryRead_;
    return !RefuseApply(ApplyStage::kDescribed);
}

bool SimRun::Load() {
    machine_ = std::make_unique<platform::sim::Machine>();
    std::string error;
    if (!LoadMachine(description_, machine_.get(), &error, &origin_)) {
        return Fail(kExitBadInput, error);
    }
    applyCheck_.origin = &origin_;
    if (RefuseApply(ApplyStage::kLoaded)) return false;
    if (origin_.systemFromRegistry) description_.settings.systemName = origin_.systemName;
    machinePart_ = BuildMachineReport(*machine_, description_.folder, origin_);
    return true;
}

void SimRun::Run(std::function<int(const platform::sim::MessageBoxRecord&)> answerBox) {
    platform::sim::Machine& machine = *machine_;
    machine.scriptedAnswers = options_.answers;
    machine.answerBox = std::move(answerBox);
    for (const FaultOption& fault : options_.faults) {
        if (fault.nth == 0) {
            machine.FailAlways(fault.operation);
        } else {
            machine.FailAtCall(fault.operation, fault.nth);
        }
    }
    RunInstaller(machine);
    before_ = DeletedKeysTree(machine);
}

RunReport& SimRun::Report(bool withTrace) {
    report_ = BuildRunReport(*machine_, *before_, description_, withTrace);
    // The registry read through the machine's drives has no host path.
    if (origin_.registryHostFile.empty()) report_.registryFile = machinePart_->registryFile;
    report_.machine = machinePart_;
    report_.applyRequested = options_.apply;
    return report_;
}

void SimRun::Apply() {
    if (!options_.apply) return;
    report_.applied = ApplyChanges(*machine_, *before_, description_, &registryRead_);
    if (!report_.applied->ok) exitCode_ = kExitApplyFailed;
}

}  // namespace kestrow_sim
