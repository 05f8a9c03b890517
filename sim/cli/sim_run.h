// One whole run of kestrow-sim, step by step: prepare (describe the machine
// from the options, take the registry file's fingerprint for --apply), load,
// run the installer, report, apply. main(), --bench and the tests that need
// a whole run all go through it, so the steps and their order are written
// once.
#ifndef KESTROW_SIM_CLI_SIM_RUN_H
#define KESTROW_SIM_CLI_SIM_RUN_H

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/sim/machine.h"
#include "platform/sim/registry_tree.h"
#include "sim/apply/apply_plan.h"
#include "sim/cli/cli_options.h"
#include "sim/host/file_fingerprint.h"
#include "sim/machine/machine_description.h"
#include "sim/machine/machine_origin.h"
#include "sim/report/machine_report.h"
#include "sim/report/run_report.h"

namespace kestrow_sim {

// kestrow-sim's exit codes.
constexpr int kExitRan = 0;
constexpr int kExitApplyFailed = 1;
constexpr int kExitReportNotWritten = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitInternalError = 3;

class SimRun {
public:
    explicit SimRun(const CliOptions& options);

    // Each step returns false when the run cannot go on; ExitCode() and
    // Error() then say why. Steps run in the order declared here.

    // The machine described from the machine folder and the options, and
    // what --apply refuses before anything is loaded.
    bool Prepare();
    // The machine loaded (nothing on the host changes), what --apply refuses
    // once the registry file is known, and the report's machine part, taken
    // before the run.
    bool Load();
    // The installer run once. answerBox answers the boxes that the options'
    // answers leave (a negative answer: the box could not be shown).
    void Run(std::function<int(const platform::sim::MessageBoxRecord&)> answerBox);
    // What the run did; withTrace adds every call of the call log.
    RunReport& Report(bool withTrace);
    // With --apply, the run's changes written to the host; the report says
    // how it went.
    void Apply();

    int ExitCode() const { return exitCode_; }
    const std::string& Error() const { return error_; }
    // The refusal is of the command line: the usage text goes with it.
    bool ShowUsage() const { return showUsage_; }

    const CliOptions& Options() const { return options_; }
    const MachineDescription& Description() const { return description_; }
    platform::sim::Machine& Machine() { return *machine_; }

private:
    bool Fail(int exitCode, const std::string& message);
    // True (with the step failed) when --apply is refused at this stage.
    bool RefuseApply(ApplyStage stage);

    const CliOptions& options_;
    MachineDescription description_;
    FileFingerprint registryRead_;
    ApplyCheck applyCheck_;
    std::unique_ptr<platform::sim::Machine> machine_;
    MachineOrigin origin_;
    std::optional<MachineReport> machinePart_;
    // The keys the run deleted, whole: the registry as it was, as far as
    // the report and --apply look at it.
    std::unique_ptr<platform::sim::RegistryTree> before_;
    RunReport report_;
    int exitCode_ = kExitRan;
    std::string error_;
    bool showUsage_ = false;
};

}  // namespace kestrow_sim

#endif
