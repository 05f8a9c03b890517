// kestrow-sim: runs Kestrow's installer once on a simulated Windows machine
// described by a folder, and reports what it did (and, with --apply, writes
// the changes back to that folder).
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <string>

#include "platform/sim/machine.h"
#include "sim/cli/box_prompt.h"
#include "sim/cli/cli_options.h"
#include "sim/cli/sim_run.h"
#include "sim/report/run_report.h"
#include "sim/report/text_encoding.h"

namespace {

using kestrow_sim::CliOptions;

using kestrow_sim::kExitBadInput;
using kestrow_sim::kExitInternalError;
using kestrow_sim::kExitRan;
using kestrow_sim::kExitReportNotWritten;
using kestrow_sim::SimRun;

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

// Who answers the boxes the options leave: a person at a terminal, or no
// one (the box could not be shown).
std::function<int(const platform::sim::MessageBoxRecord&)> BoxAnswerer(const CliOptions& options,
                                                                       unsigned codePage) {
    if (options.benchRuns == 0 && ::isatty(STDIN_FILENO)) {
        return [codePage](const platform::sim::MessageBoxRecord& box) {
            return kestrow_sim::PromptBox(box, codePage, stdin, stderr);
        };
    }
    return [](const platform::sim::MessageBoxRecord&) { return -1; };
}

// Times whole runs (load, run, report) without the process start.
int Bench(const CliOptions& options) {
    using Clock = std::chrono::steady_clock;
    Clock::duration load{}, run{}, report{};
    std::size_t reportBytes = 0;
    std::string benched;
    for (unsigned i = 0; i < options.benchRuns; ++i) {
        SimRun simRun(options);
        if (!simRun.Prepare()) {
            PrintError(simRun.Error());
            return simRun.ExitCode();
        }
        auto start = Clock::now();
        // Loading takes the report's machine part too, as a run without
        // --bench does; it counts as loading.
        if (!simRun.Load()) {
            PrintError(simRun.Error());
            return simRun.ExitCode();
        }
        auto loaded = Clock::now();
        simRun.Run(BoxAnswerer(options, 0));
        auto ran = Clock::now();
        kestrow_sim::RunReport& result = simRun.Report(options.trace);
        reportBytes += (options.json ? kestrow_sim::FormatJsonReport(result)
                                     : kestrow_sim::FormatTextReport(result))
                           .size();
        auto reported = Clock::now();
        load += loaded - start;
        run += ran - loaded;
        report += reported - ran;
        benched = simRun.Description().folder;
    }
    auto micros = [&](Clock::duration total) {
        return std::chrono::duration<double, std::micro>(total).count() / options.benchRuns;
    };
    if (!options.imageFile.empty()) benched += " with drive C: from " + options.imageFile;
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
    if (options.benchRuns > 0) return Bench(options);

    SimRun simRun(options);
    if (!simRun.Prepare() || !simRun.Load()) {
        PrintError(simRun.Error());
        if (simRun.ShowUsage()) std::fprintf(stderr, "\n%s", kestrow_sim::UsageText().c_str());
        return simRun.ExitCode();
    }
    simRun.Run(BoxAnswerer(options, simRun.Machine().GetCodePage().Number()));
    kestrow_sim::RunReport& report = simRun.Report(options.trace && options.json);
    if (options.trace && !options.json) {
        std::size_t number = 0;
        for (const platform::sim::Call& call : simRun.Machine().Calls()) {
            std::fprintf(stderr, "%4zu %s\n", ++number,
                         kestrow_sim::VisibleText(call.ToString()).c_str());
        }
    }
    simRun.Apply();
    std::string text = options.json ? kestrow_sim::FormatJsonReport(report)
                                    : kestrow_sim::FormatTextReport(report);
    if (!WriteStandardOutput(text)) {
        if (report.applied) {
            PrintError(report.applied->ok ? "--apply wrote every change; only the report is missing"
                                          : "--apply could not finish: " + report.applied->error);
        }
        return kExitReportNotWritten;
    }
    return simRun.ExitCode();
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
