// kestrow-sim: runs Kestrow's installer once on a simulated Windows machine
// described by a folder, and reports what it did (and, with --apply, writes
// the changes back to that folder).
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "platform/sim/machine.h"
#include "sim/apply/apply_changes.h"
#include "sim/cli/box_prompt.h"
#include "sim/cli/cli_options.h"
#include "sim/host/file_fingerprint.h"
#include "sim/machine/installer_run.h"
#include "sim/machine/key_deletions.h"
#include "sim/machine/machine_loader.h"
#include "sim/report/run_report.h"
#include "sim/report/text_encoding.h"

namespace {

using kestrow_sim::CliOptions;
using kestrow_sim::MachineDescription;

constexpr int kExitRan = 0;
constexpr int kExitApplyFailed = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitInternalError = 3;
constexpr int kExitReportNotWritten = 1;

// Messages name files and quote their contents: shown with VisibleText, a
// NUL cannot cut one short and no byte can act on the terminal.
void PrintError(const std::string& message) {
    std::fprintf(stderr, "kestrow-sim: %s\n", kestrow_sim::VisibleText(message).c_str());
}

// Writes the text to standard output and closes it, checking every step: a
// report that cannot be written (a full disk, a closed pipe) is a failure
// with a message, never a silent success.
bool WriteStandardOutput(const std::string& text) {
    bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    int code = ok ? 0 : errno;
    if (std::fflush(stdout) != 0 && code == 0) code = errno;
    ok = ok && !std::ferror(stdout);
    if (std::fclose(stdout) != 0 && code == 0) code = errno;
    if (ok && code == 0) return true;
    PrintError(std::string("cannot write the report to standard output: ") +
               (code != 0 ? std::strerror(code) : "write error"));
    return false;
}

int BadInput(const std::string& message) {
    PrintError(message);
    return kExitBadInput;
}

kestrow_sim::SettingOrigin OptionOrigin(const char* option) {
    kestrow_sim::SettingOrigin origin;
    origin.source = kestrow_sim::SettingOrigin::Source::kOption;
    origin.option = option;
    return origin;
}

// The machine folder's description with the command line's overrides.
bool Describe(const CliOptions& options, MachineDescription* description, std::string* error) {
    std::string folder;
    if (!kestrow_sim::ResolveMachineFolder(options.machine, &folder, error)) return false;
    if (!kestrow_sim::DescribeMachineFolder(folder, description, error)) return false;
    kestrow_sim::MachineSettings& settings = description->settings;
    if (!options.system.empty()) {
        platform::sim::VersionRecordForSystem(options.system, &settings.version);
        settings.systemName = options.system;
        settings.versionGiven = true;
        description->systemGiven = true;
    }
    for (const kestrow_sim::DriveSetting& drive : options.drives) {
        bool replaced = false;
        for (kestrow_sim::DriveSetting& existing : settings.drives) {
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
    for (const kestrow_sim::DriveSetting& drive : options.drives) {
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

// Why --apply does not write to a machine whose registry is Windows' own
// registry file.
std::string ApplyRefusal(const kestrow_sim::MachineOrigin& origin) {
    std::string file =
        origin.registryHostFile.empty() ? origin.registryMachinePath : origin.registryHostFile;
    return "--apply refused: " + file +
           " is the registry file of a real Windows 98/Me, which cannot be changed safely from "
           "here (the format's free lists and checksums are not documented well enough). Run "
           "Kestrow.exe on that machine instead. Nothing was written.";
}

void SetUpAnswersAndFaults(const CliOptions& options, platform::sim::Machine* machine) {
    machine->scriptedAnswers = options.answers;
    if (options.benchRuns == 0 && ::isatty(STDIN_FILENO)) {
        unsigned codePage = machine->GetCodePage().Number();
        machine->answerBox = [codePage](const platform::sim::MessageBoxRecord& box) {
            return kestrow_sim::PromptBox(box, codePage, stdin, stderr);
        };
    } else {
        machine->answerBox = [](const platform::sim::MessageBoxRecord&) { return -1; };
    }
    for (const kestrow_sim::FaultOption& fault : options.faults) {
        if (fault.nth == 0) {
            machine->FailAlways(fault.operation);
        } else {
            machine->FailAtCall(fault.operation, fault.nth);
        }
    }
}

// Times whole runs (load, run, report) without the process start.
int Bench(const CliOptions& options, const MachineDescription& description) {
    using Clock = std::chrono::steady_clock;
    Clock::duration load{}, run{}, report{};
    std::size_t reportBytes = 0;
    for (unsigned i = 0; i < options.benchRuns; ++i) {
        auto start = Clock::now();
        platform::sim::Machine machine;
        std::string error;
        kestrow_sim::MachineOrigin origin;
        if (!kestrow_sim::LoadMachine(description, &machine, &error, &origin)) {
            return BadInput(error);
        }
        SetUpAnswersAndFaults(options, &machine);
        auto loaded = Clock::now();
        // The report's machine part looks at the drives before the run, as
        // a run without --bench does.
        auto machinePart = kestrow_sim::BuildMachineReport(machine, description.folder, origin);
        auto described = Clock::now();
        kestrow_sim::RunInstaller(machine);
        auto ran = Clock::now();
        auto before = kestrow_sim::DeletedKeysTree(machine);
        auto result = kestrow_sim::BuildRunReport(machine, *before, description, options.trace);
        result.machine = std::move(machinePart);
        reportBytes += (options.json ? kestrow_sim::FormatJsonReport(result)
                                     : kestrow_sim::FormatTextReport(result))
                           .size();
        auto reported = Clock::now();
        load += loaded - start;
        run += ran - described;
        report += (reported - ran) + (described - loaded);
    }
    auto micros = [&](Clock::duration total) {
        return std::chrono::duration<double, std::micro>(total).count() / options.benchRuns;
    };
    std::string benched = description.folder;
    if (!description.imageFile.empty()) benched += " with drive C: from " + description.imageFile;
    std::printf(
        "kestrow-sim bench: %u runs on %s: %.1f us per run "
        "(load machine %.1f us, run %.1f us, report %.1f us; %zu report bytes)\n",
        options.benchRuns, kestrow_sim::VisibleText(benched).c_str(), micros(load + run + report),
        micros(load), micros(run), micros(report), reportBytes / options.benchRuns);
    return kExitRan;
}

int Main(int argc, char** argv) {
    CliOptions options;
    std::string error;
    if (!kestrow_sim::ParseCliOptions(argc, argv, &options, &error)) {
        PrintError(error);
        std::fprintf(stderr, "\n%s", kestrow_sim::UsageText().c_str());
        return kExitBadInput;
    }
    if (options.help) {
        return WriteStandardOutput(kestrow_sim::UsageText()) ? kExitRan : kExitReportNotWritten;
    }
    if (options.version) {
        return WriteStandardOutput(kestrow_sim::VersionText()) ? kExitRan : kExitReportNotWritten;
    }
    MachineDescription description;
    if (!Describe(options, &description, &error)) return BadInput(error);
    if (options.apply && !options.imageFile.empty()) {
        return BadInput("--apply refused: " + options.imageFile +
                        " is a disk image, which kestrow-sim only reads. Run Kestrow.exe on that "
                        "machine instead. Nothing was written.");
    }
    if (options.benchRuns > 0) return Bench(options, description);

    // What the registry file is before it is read: --apply rewrites it only
    // when it is still that file. (A file that is not there is left to the
    // loader, which says so.)
    kestrow_sim::FileFingerprint registryRead;
    if (options.apply && ::access(description.registryFile.c_str(), F_OK) == 0 &&
        !kestrow_sim::TakeFingerprint(description.registryFile, &registryRead, &error)) {
        std::fprintf(stderr, "kestrow-sim: --apply: %s; nothing was written\n", error.c_str());
        return kExitApplyFailed;
    }
    platform::sim::Machine machine;
    kestrow_sim::MachineOrigin origin;
    if (!kestrow_sim::LoadMachine(description, &machine, &error, &origin)) return BadInput(error);
    if (options.apply && origin.RegistryIsWindowsFile()) return BadInput(ApplyRefusal(origin));
    if (origin.systemFromRegistry) description.settings.systemName = origin.systemName;
    kestrow_sim::MachineReport machinePart =
        kestrow_sim::BuildMachineReport(machine, description.folder, origin);
    SetUpAnswersAndFaults(options, &machine);

    kestrow_sim::RunInstaller(machine);
    // What the report and --apply need of the registry as it was: the keys
    // the run deleted.
    auto before = kestrow_sim::DeletedKeysTree(machine);

    kestrow_sim::RunReport report =
        kestrow_sim::BuildRunReport(machine, *before, description, options.trace && options.json);
    if (options.trace && !options.json) {
        std::size_t number = 0;
        for (const platform::sim::Call& call : machine.Calls()) {
            std::fprintf(stderr, "%4zu %s\n", ++number,
                         kestrow_sim::VisibleText(call.ToString()).c_str());
        }
    }
    // The registry read through the machine's drives has no host path.
    if (origin.registryHostFile.empty()) report.registryFile = machinePart.registryFile;
    report.machine = std::move(machinePart);
    report.applyRequested = options.apply;
    if (options.apply) {
        report.applied = kestrow_sim::ApplyChanges(machine, *before, description, &registryRead);
    }
    std::string text = options.json ? kestrow_sim::FormatJsonReport(report)
                                    : kestrow_sim::FormatTextReport(report);
    if (!WriteStandardOutput(text)) {
        if (report.applied) {
            PrintError(report.applied->ok ? "--apply wrote every change; only the report is missing"
                                          : "--apply could not finish: " + report.applied->error);
        }
        return kExitReportNotWritten;
    }
    return report.applied && !report.applied->ok ? kExitApplyFailed : kExitRan;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& failure) {
        PrintError(std::string("internal error: ") + failure.what());
        return kExitInternalError;
    }
}
