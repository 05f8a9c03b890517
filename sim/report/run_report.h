// What one simulated run of Kestrow did, gathered from the machine after
// the run, and told as text for a person or as one JSON document.
//
// The report keeps every text as the bytes it was: the machine's texts
// (names, values, message box texts, the command line) in the machine's
// ANSI code page, host paths as the host gives them. The formatters convert
// them: to UTF-8 with control characters escaped for a terminal, and in
// JSON to UTF-8 text plus a "..._bytes" twin that keeps every byte.
#ifndef KESTROW_SIM_REPORT_RUN_REPORT_H
#define KESTROW_SIM_REPORT_RUN_REPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"
#include "sim/apply/apply_report.h"
#include "sim/machine/machine_description.h"
#include "sim/report/machine_report.h"

namespace kestrow_sim {

struct BoxReport {
    std::string title;
    std::string icon;
    std::string text;
    unsigned type = 0;
    std::vector<std::string> buttons;
    int answerId = 0;
    std::string answer;
};

// One CopyFileA call of the program.
struct FilePlacement {
    std::string source;
    std::string destination;  // as stored on the drive when it was copied
    bool copied = false;
    std::uint64_t size = 0;
    std::string change;  // "new" or "replaced" when copied
    std::string error;   // why not, when not copied
};

// A change to the drives that is no copy of the program's, e.g. the marker.
struct FileChangeReport {
    std::string path;
    std::string change;  // "new", "replaced" or "deleted"
    std::uint64_t size = 0;
};

struct KeyReport {
    std::string path;
    bool deleted = false;
    std::string status;             // the registry status of the call
    std::size_t subkeys = 0;        // below the key, at any depth
    std::size_t values = 0;         // in the key and below it
    std::string deviceDescription;  // DeviceDesc of its first instance key, if any
};

struct RunReport {
    std::string systemName;         // win98se, ...; empty when the version came as numbers
    std::string systemDescription;  // "Windows 98 SE"
    std::string versionText;        // "4.10.2222"
    unsigned platformId = 0;
    unsigned codePage = 0;
    std::string codePageSource;  // "machine.ini", "--codepage" or "default"
    std::string codePageOrigin;  // "<machine.ini path>:<line>" or "--codepage"; empty: default
    std::string machineFolder;
    std::string registryFile;
    std::string commandLine;
    std::string commandTail;
    std::vector<BoxReport> boxes;
    std::vector<FilePlacement> placements;
    std::vector<FileChangeReport> otherFileChanges;
    std::vector<KeyReport> keys;
    bool restartRequested = false;
    bool markerWritten = false;
    std::string markerContents;
    std::optional<int> exitCode;
    bool traced = false;
    std::vector<std::string> trace;  // Call::ToString of every call, in order
    bool applyRequested = false;
    std::optional<ApplyReport> applied;
    // The machine as found before the run; set by the caller.
    std::optional<MachineReport> machine;
};

// Gathers the report. registryBefore is a snapshot taken before the run;
// it tells what the deleted keys held.
RunReport BuildRunReport(platform::sim::Machine& machine,
                         platform::sim::RegistryTree& registryBefore,
                         const MachineDescription& description, bool withTrace);

std::string FormatTextReport(const RunReport& report);
std::string FormatJsonReport(const RunReport& report);

}  // namespace kestrow_sim

#endif
