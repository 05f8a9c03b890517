// The whole unattended run on a simulated machine whose Enum\PCI key holds
// many subkeys, the controller last: time and platform calls per run. The
// search is one pass, so both grow linearly with the number of subkeys.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/machine/installer_run.h"
#include "tests/installer/machine_fixture.h"

int main(int argc, char** argv) {
    std::vector<int> sizes = {1000, 2500, 5000, 10000};
    if (argc > 1) sizes = {std::atoi(argv[1])};
    std::printf("%10s %12s %14s %16s\n", "subkeys", "calls/run", "ms/run", "us/subkey");
    for (int size : sizes) {
        std::vector<std::string> names;
        for (int i = 0; i < size - 1; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "VEN_10EC&DEV_%04X&SUBSYS_%08X&REV_%02X", i & 0xFFFF,
                          i * 7919u, i & 0xFF);
            names.push_back(name);
        }
        names.push_back(kestrow_test::kControllerKey);
        const int runs = size >= 5000 ? 3 : 10;
        double totalMs = 0;
        std::size_t calls = 0;
        for (int r = 0; r < runs; ++r) {
            platform::sim::Machine machine;
            kestrow_test::SetUpWindows98Se(machine, names);
            machine.commandLine = std::string("KESTROW.EXE ") + kestrow_test::kUnattendedTail;
            auto start = std::chrono::steady_clock::now();
            kestrow_sim::RunInstaller(machine);
            auto end = std::chrono::steady_clock::now();
            totalMs += std::chrono::duration<double, std::milli>(end - start).count();
            calls = machine.Calls().size();
            if (!machine.Boxes().empty() ||
                machine.Files().ReadFile("C:\\csb.log") == std::nullopt) {
                std::fprintf(stderr, "run did not succeed\n");
                return 1;
            }
        }
        double ms = totalMs / runs;
        std::printf("%10d %12zu %14.3f %16.3f\n", size, calls, ms, ms * 1000.0 / size);
    }
    return 0;
}
