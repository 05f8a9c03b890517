// The options of kestrow-sim.
#ifndef KESTROW_SIM_CLI_CLI_OPTIONS_H
#define KESTROW_SIM_CLI_CLI_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "sim/formats/machine_settings.h"

namespace kestrow_sim {

struct FaultOption {
    platform::sim::Operation operation;
    unsigned nth = 0;  // 0: every call
};

struct CliOptions {
    bool help = false;
    bool version = false;
    std::string machine = "win98se";
    std::string system;        // empty: as machine.ini says
    std::string registryFile;  // empty: the machine's registry.reg
    std::vector<DriveSetting> drives;
    std::string imageFile;              // empty: drive C: as the machine has it
    std::optional<unsigned> partition;  // of the image; none: the one holding Windows
    std::string currentDirectory;
    unsigned codePage = 0;  // 0: as machine.ini says
    // One per message box, in order: 1 OK, 2 Cancel, 0 not shown.
    std::vector<int> answers;
    std::vector<FaultOption> faults;
    bool json = false;
    bool trace = false;
    bool apply = false;
    std::string commandTail;
    unsigned benchRuns = 0;  // hidden: time this many whole runs
};

// Parses argv[1..]. On a bad option, returns false with a one-line reason.
bool ParseCliOptions(int argc, const char* const* argv, CliOptions* options, std::string* error);

// The --help text.
std::string UsageText();

// The --version text: the program's version, then one line per library it
// reads machines with: its name, the version it runs with and what it reads.
std::string VersionText();

}  // namespace kestrow_sim

#endif
