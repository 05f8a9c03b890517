// Runs Kestrow's installer once on a simulated machine described by a folder
// (machine.ini, registry.reg, a folder per drive) and prints every platform
// call it made, for the Wine tests to set beside the calls the real program
// made under Wine.
//
// Usage: kestrow_sim_call_trace --machine DIR [--record-sizes N,N...]
//                               [--answer N]... [--tail TEXT]
//
//   --record-sizes  the version record sizes GetVersionExA accepts, replacing
//                   the machine's (Wine accepts 148 and 156 whatever version
//                   it reports)
//   --answer        the answer to the next message box (1 OK, 2 Cancel);
//                   boxes beyond the answers given count as not shown
//   --tail          the command-line tail after the program path
//
// Output: one JSON array per call, in order,
//   ["RegEnumKeyA", ["0x1000", "0", "...", "255"], "0"]
// with the arguments and the result as the machine's call log notes them
// (text as its bytes, each byte >= 0x80 written as \u00XX), then one line
// {"exit": N, "ended_by_call": true|false}: the program's exit code and
// whether it ended through ExitProcessWithCode rather than by returning.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "sim/cli/cli_options.h"
#include "sim/cli/sim_run.h"

namespace {

constexpr int kBadUsage = 2;

std::string JsonString(const std::string& bytes) {
    std::string json = "\"";
    for (unsigned char byte : bytes) {
        if (byte == '"' || byte == '\\') {
            json += '\\';
            json += static_cast<char>(byte);
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            json += escaped;
        } else {
            json += static_cast<char>(byte);
        }
    }
    return json + "\"";
}

bool ParseSizes(const std::string& text, std::vector<platform::DWORD>* sizes) {
    sizes->clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string part = text.substr(start, comma == std::string::npos ? comma : comma - start);
        char* end = nullptr;
        unsigned long size = std::strtoul(part.c_str(), &end, 10);
        if (part.empty() || *end != '\0' || size > 0xFFFF) return false;
        sizes->push_back(static_cast<platform::DWORD>(size));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return !sizes->empty();
}

int Usage(const std::string& problem) {
    std::fprintf(stderr,
                 "kestrow_sim_call_trace: %s\nusage: kestrow_sim_call_trace --machine DIR "
                 "[--record-sizes N,N...] [--answer N]... [--tail TEXT]\n",
                 problem.c_str());
    return kBadUsage;
}

int Main(int argc, char** argv) {
    std::string folder;
    std::string tail;
    std::vector<int> answers;
    std::vector<platform::DWORD> recordSizes;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) return Usage(option + " needs a value");
        std::string value = argv[++i];
        if (option == "--machine") {
            folder = value;
        } else if (option == "--tail") {
            tail = value;
        } else if (option == "--answer") {
            answers.push_back(std::atoi(value.c_str()));
        } else if (option == "--record-sizes") {
            if (!ParseSizes(value, &recordSizes)) return Usage("bad --record-sizes " + value);
        } else {
            return Usage("unknown option " + option);
        }
    }
    if (folder.empty()) return Usage("--machine is required");

    kestrow_sim::CliOptions options;
    options.machine = folder;
    options.commandTail = tail;
    options.answers = answers;
    kestrow_sim::SimRun run(options);
    if (!run.Prepare() || !run.Load()) return Usage(run.Error());
    platform::sim::Machine& machine = run.Machine();
    if (!recordSizes.empty()) machine.version.acceptedSizes = recordSizes;
    run.Run([](const platform::sim::MessageBoxRecord&) { return -1; });
    int exitCode = machine.ExitCode().value_or(-1);

    bool endedByCall = false;
    for (const platform::sim::Call& call : machine.Calls()) {
        std::string line = "[" + JsonString(platform::sim::OperationName(call.op)) + ", [";
        for (std::size_t i = 0; i < call.arguments.size(); ++i) {
            if (i > 0) line += ", ";
            line += JsonString(call.arguments[i]);
        }
        line += "], " + JsonString(call.result) + "]\n";
        std::fputs(line.c_str(), stdout);
        endedByCall = call.op == platform::sim::Operation::ExitProcessWithCode;
    }
    std::printf("{\"exit\": %d, \"ended_by_call\": %s}\n", exitCode,
                endedByCall ? "true" : "false");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "kestrow_sim_call_trace: %s\n", failure.what());
        return 3;
    }
}
