// Speed and memory of --apply on a large registry file: a copy of the
// default sample machine whose registry.reg is padded to the size asked
// for with Enum-like keys after its own (the controller key stays in it).
//
//   apply_bench KESTROW_SIM [MB]     (default: 50)
//
// Prints, each measured in a child process of its own (wall time and peak
// resident size from wait4):
//   - a plain copy of the file (read once, write once, fsync): the floor;
//   - the minimal edit alone (registry_file_edit), the same read and write;
//   - kestrow-sim without --apply (load the registry, run the installer,
//     report), and with it (also write the drive files and edit the
//     registry file);
//   - the --apply step alone, timed inside a process, with the growth of
//     the peak resident size it causes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/sim/code_page.h"
#include "platform/sim/machine.h"
#include "sim/apply/apply_changes.h"
#include "sim/apply/registry_file_edit.h"
#include "sim/machine/installer_run.h"
#include "sim/machine/key_deletions.h"
#include "sim/machine/machine_loader.h"

namespace {

namespace fs = std::filesystem;
constexpr double kMegabyte = 1024.0 * 1024.0;
constexpr char kControllerKey[] =
    "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD&SUBSYS_24CD8086&REV_02";

void Pad(const fs::path& registry, std::size_t targetBytes) {
    std::ofstream out(registry, std::ios::binary | std::ios::app);
    std::size_t size = fs::file_size(registry);
    char line[256];
    for (unsigned device = 0; size < targetBytes; ++device) {
        int length = std::snprintf(
            line, sizeof line,
            "[HKEY_LOCAL_MACHINE\\Enum\\ROOT\\*PNP%04X\\%08u]\r\n"
            "\"DeviceDesc\"=\"Padding device %u\"\r\n\"ConfigFlags\"=hex:00,00,00,00\r\n"
            "\"BootConfig\"=hex:01,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\r\n"
            "  00,00,00,00,00,00,00,00,00,00\r\n\r\n",
            device % 0xffff, device, device);
        out.write(line, length);
        size += static_cast<std::size_t>(length);
    }
}

struct Measured {
    double seconds = 0;
    double peakBytes = 0;
    int status = 0;
};

Measured InChild(const std::function<int()>& work) {
    auto start = std::chrono::steady_clock::now();
    std::fflush(nullptr);  // or the child writes what is buffered again
    pid_t child = ::fork();
    if (child == 0) ::_exit(work());
    Measured measured;
    rusage usage{};
    ::wait4(child, &measured.status, 0, &usage);
    measured.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measured.peakBytes = static_cast<double>(usage.ru_maxrss) * 1024.0;
    return measured;
}

void Print(const char* what, const Measured& measured, double fileBytes) {
    std::printf("%-38s %7.3f s  %7.1f MB/s  peak %7.1f MB (%.2f x the file)%s\n", what,
                measured.seconds, fileBytes / kMegabyte / measured.seconds,
                measured.peakBytes / kMegabyte, measured.peakBytes / fileBytes,
                measured.status == 0 ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: apply_bench KESTROW_SIM [MB]\n");
        return 2;
    }
    std::string tool = argv[1];
    double megabytes = argc > 2 ? std::atof(argv[2]) : 50;
    char pattern[] = "/tmp/kestrow-apply-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    fs::path root = pattern;
    fs::path machine = root / "m";
    fs::copy(fs::path(KESTROW_SOURCE_DIR) / "sim/machines/win98se", machine,
             fs::copy_options::recursive);
    fs::path registry = machine / "registry.reg";
    Pad(registry, static_cast<std::size_t>(megabytes * kMegabyte));
    double fileBytes = static_cast<double>(fs::file_size(registry));
    std::printf("registry file: %.1f MB\n", fileBytes / kMegabyte);

    fs::path out = root / "out.reg";
    Measured copy = InChild([&] {
        int in = ::open(registry.c_str(), O_RDONLY);
        int to = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        static char buffer[1 << 20];
        for (ssize_t got; (got = ::read(in, buffer, sizeof buffer)) > 0;) {
            if (::write(to, buffer, static_cast<std::size_t>(got)) != got) return 1;
        }
        return ::fsync(to) == 0 && ::close(to) == 0 ? 0 : 1;
    });
    Print("plain copy (read, write, fsync)", copy, fileBytes);

    Measured edit = InChild([&] {
        int in = ::open(registry.c_str(), O_RDONLY);
        int to = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        kestrow_sim::RegistrySectionFilter filter({kControllerKey},
                                                  platform::sim::CodePage::ForNumber(1252));
        std::string removed, lineEnd, error;
        kestrow_sim::ContentHash hash;
        if (!kestrow_sim::EditRegistryFile(in, registry, to, out, &filter, &removed, &hash,
                                           &lineEnd, &error) ||
            removed.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        return ::fsync(to) == 0 && ::close(to) == 0 ? 0 : 1;
    });
    Print("minimal edit (read, write, fsync)", edit, fileBytes);

    auto runTool = [&](bool apply) {
        return InChild([&] {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::execl(tool.c_str(), tool.c_str(), "--machine", machine.c_str(), "--answer", "ok",
                    apply ? "--apply" : static_cast<char*>(nullptr), static_cast<char*>(nullptr));
            return 127;
        });
    };
    Measured dryRun = runTool(false);
    Print("kestrow-sim without --apply", dryRun, fileBytes);

    // The --apply step alone, timed inside one process: the registry
    // file's fingerprint (taken before loading) and ApplyChanges.
    fs::path original = root / "original.reg";
    fs::copy_file(registry, original);
    Measured step = InChild([&] {
        using Clock = std::chrono::steady_clock;
        kestrow_sim::MachineDescription description;
        std::string error;
        if (!kestrow_sim::DescribeMachineFolder(machine.string(), &description, &error)) return 1;
        auto start = Clock::now();
        kestrow_sim::FileFingerprint read;
        if (!kestrow_sim::TakeFingerprint(description.registryFile, &read, &error)) return 1;
        double fingerprint = std::chrono::duration<double>(Clock::now() - start).count();
        platform::sim::Machine simulated;
        if (!kestrow_sim::LoadMachine(description, &simulated, &error)) return 1;
        simulated.scriptedAnswers = {1};
        auto before = kestrow_sim::SnapshotRegistry(simulated.Registry());
        kestrow_sim::RunInstaller(simulated);
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        double peakBefore = static_cast<double>(usage.ru_maxrss) * 1024.0;
        start = Clock::now();
        auto report = kestrow_sim::ApplyChanges(simulated, *before, description, &read);
        double applying = std::chrono::duration<double>(Clock::now() - start).count();
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("%-38s %7.3f s  %7.1f MB/s  peak +%.1f MB; fingerprint at load %.3f s\n",
                    "--apply step alone (ApplyChanges)", applying, fileBytes / kMegabyte / applying,
                    (static_cast<double>(usage.ru_maxrss) * 1024.0 - peakBefore) / kMegabyte,
                    fingerprint);
        std::fflush(stdout);
        return report.ok ? 0 : 1;
    });
    fs::copy_file(original, registry, fs::copy_options::overwrite_existing);
    fs::remove_all(machine / "drive_c/WINDOWS/inf/iusb2.inf");
    fs::remove(machine / "registry.undo.reg");

    Measured apply = runTool(true);
    Print("kestrow-sim --apply (whole run)", apply, fileBytes);
    fs::remove_all(root);
    return copy.status == 0 && edit.status == 0 && dryRun.status == 0 && step.status == 0 &&
                   apply.status == 0
               ? 0
               : 1;
}
