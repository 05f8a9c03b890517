// Load and save speed and memory of the REGEDIT4 reader and writer, on
// generated files shaped like a Windows 98 Enum export: many keys with a
// handful of strings, a DWORD and a wrapped binary value each.
//
//   regedit4_bench [MB ...]     (default: 5 10 25 50)
//
// Load reads the file into an empty tree (ReadRegedit4File); save writes
// the tree to another file (StreamRegedit4NonEmptyRoots into sim/host's
// WriteFileAtomically: a temporary file, synced, then renamed). Each size runs in a child process,
// so that its peak resident size (getrusage ru_maxrss) is its own. The
// generated text is in the writer's own form, so the saved file must be
// the generated one byte for byte; the exit code is 1 when it is not or
// when loading or saving fails.
#include "sim/formats/regedit4.h"
#include "sim/host/atomic_file.h"
#include "sim/host/host_files.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using kestrow_sim::ReadRegedit4File;
using kestrow_sim::Regedit4Error;
using kestrow_sim::StreamRegedit4NonEmptyRoots;
using platform::sim::RegistryTree;

constexpr double kMegabyte = 1024.0 * 1024.0;

double PeakResidentBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0;  // Linux reports KiB
}

double HeapBytesInUse() { return static_cast<double>(mallinfo2().uordblks); }

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Writes "name"=hex:... wrapped as regedit wraps it.
void AppendHexValue(std::string* out, const std::string& name, const std::vector<int>& bytes) {
    std::string line = "\"" + name + "\"=hex:";
    std::size_t column = line.size();
    *out += line;
    char buffer[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", bytes[i]);
        *out += buffer;
        if (i + 1 == bytes.size()) break;
        *out += ',';
        column += 3;
        if (column >= 77) {
            *out += "\\\r\n  ";
            column = 2;
        }
    }
    *out += "\r\n";
}

// Streams a file of about targetBytes to path, in small pieces.
bool GenerateFile(const char* path, std::size_t targetBytes) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    std::string chunk =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n";
    std::size_t written = 0;
    const char* buses[] = {"PCI", "ROOT", "ISAPNP", "USB", "BIOS"};
    std::vector<int> bootConfig(58, 0);
    unsigned device = 0;
    char id[128];
    for (int bus = 0; bus < 5; ++bus) {
        std::string busPath = std::string("HKEY_LOCAL_MACHINE\\Enum\\") + buses[bus];
        chunk += "[" + busPath + "]\r\n\r\n";
        while (written + chunk.size() < targetBytes * (bus + 1) / 5) {
            ++device;
            std::snprintf(id, sizeof id, "VEN_%04X&DEV_%04X&SUBSYS_%08X&REV_%02X",
                          0x1000 + device % 61, device, device * 7919u, device % 5);
            std::string devicePath = busPath + "\\" + id;
            chunk += "[" + devicePath + "]\r\n\r\n";
            for (unsigned instance = 0; instance <= device % 3; ++instance) {
                std::snprintf(id, sizeof id, "BUS_%02X&DEV_%02X&FUNC_%02X", instance, device % 32,
                              device % 8);
                chunk += "[" + devicePath + "\\" + id + "]\r\n";
                chunk += "\"Class\"=\"USB\"\r\n";
                std::snprintf(id, sizeof id, "%s\\\\VEN_%04X&DEV_%04X", buses[bus],
                              0x1000 + device % 61, device);
                chunk += "\"HardwareID\"=\"" + std::string(id) + "&SUBSYS_00000000&REV_01," + id +
                         "&SUBSYS_00000000," + id + "&REV_01," + id + "\"\r\n";
                chunk += "\"CompatibleIDs\"=\"" + std::string(id) + "&REV_01," + id +
                         ",PCI\\\\CC_0C0300,PCI\\\\CC_0C03\"\r\n";
                chunk += "\"DeviceDesc\"=\"Stand-in USB Universal Host Controller\"\r\n";
                chunk += "\"ConfigFlags\"=hex:00,00,00,00\r\n";
                std::snprintf(id, sizeof id, "\"Driver\"=\"USB\\\\%04u\"\r\n", device % 10000);
                chunk += id;
                chunk += "\"Mfg\"=\"Stand-in Devices\"\r\n";
                bootConfig[1] = static_cast<int>(device & 0xff);
                bootConfig[50] = static_cast<int>(instance);
                AppendHexValue(&chunk, "BootConfig", bootConfig);
                std::snprintf(id, sizeof id, "\"UINumber\"=dword:%08x\r\n", device % 32);
                chunk += id;
                chunk += "\r\n";
            }
            if (chunk.size() > (1 << 16)) {
                written += std::fwrite(chunk.data(), 1, chunk.size(), file);
                chunk.clear();
            }
        }
    }
    written += std::fwrite(chunk.data(), 1, chunk.size(), file);
    return std::fclose(file) == 0;
}

bool SameFiles(const char* pathA, const char* pathB) {
    std::FILE* a = std::fopen(pathA, "rb");
    std::FILE* b = std::fopen(pathB, "rb");
    bool same = a != nullptr && b != nullptr;
    std::vector<char> bufferA(1 << 16);
    std::vector<char> bufferB(1 << 16);
    while (same) {
        std::size_t gotA = std::fread(bufferA.data(), 1, bufferA.size(), a);
        std::size_t gotB = std::fread(bufferB.data(), 1, bufferB.size(), b);
        same = gotA == gotB && std::equal(bufferA.begin(), bufferA.begin() + gotA, bufferB.begin());
        if (gotA == 0) break;
    }
    if (a != nullptr) std::fclose(a);
    if (b != nullptr) std::fclose(b);
    return same;
}

// Runs in the child: loads, saves, prints one line; returns the exit code.
int Measure(const char* path, const char* savedPath) {
    struct stat info {};
    if (stat(path, &info) != 0) return 1;
    double size = static_cast<double>(info.st_size);
    double baseline = PeakResidentBytes();
    double heapBefore = HeapBytesInUse();

    auto start = std::chrono::steady_clock::now();
    RegistryTree tree;
    Regedit4Error error;
    if (!ReadRegedit4File(path, &tree, &error)) {
        std::printf("load failed: %s\n", error.Format(path).c_str());
        return 1;
    }
    double loadSeconds = SecondsSince(start);
    double loadPeak = PeakResidentBytes() - baseline;
    double treeBytes = HeapBytesInUse() - heapBefore;

    start = std::chrono::steady_clock::now();
    std::string saveError;
    bool saved = kestrow_sim::WriteFileAtomically(
        savedPath, std::string(savedPath) + ".tmp",
        [&](int fd, std::string* failure) {
            bool ok = StreamRegedit4NonEmptyRoots(tree, [&](std::string_view piece) {
                return kestrow_sim::host::WriteAll(fd, piece, savedPath);
            });
            if (!ok) {
                *failure = std::string("cannot write ") + savedPath + ": " +
                           kestrow_sim::HostErrorText(errno);
            }
            return ok;
        },
        &saveError);
    if (!saved) {
        std::printf("save failed: %s\n", saveError.c_str());
        return 1;
    }
    double saveSeconds = SecondsSince(start);
    double savePeak = PeakResidentBytes() - baseline;

    bool identical = SameFiles(path, savedPath);
    std::printf("%8.1f %9zu %10.0f %10.0f %10.2f %10.2f %10.2f  %s\n", size / kMegabyte,
                tree.Root("HKEY_LOCAL_MACHINE")->CountSubtreeKeys(), size / kMegabyte / loadSeconds,
                size / kMegabyte / saveSeconds, treeBytes / size, loadPeak / size, savePeak / size,
                identical ? "identical" : "DIFFERS");
    return identical ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atof(argv[i]));
    if (sizes.empty()) sizes = {5, 10, 25, 50};

    char path[] = "/tmp/regedit4_bench_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        std::perror("regedit4_bench: temporary file");
        return 1;
    }
    close(fd);
    std::string savedPath = std::string(path) + ".saved";

    std::printf(
        "Load: file -> empty tree. Save: tree -> file. Memory, per file byte:\n"
        "tree = heap bytes the loaded tree holds; load and save = peak resident\n"
        "bytes added by the step and all before it.\n");
    std::printf("%8s %9s %10s %10s %10s %10s %10s  %s\n", "file MB", "keys", "load MB/s",
                "save MB/s", "tree", "load", "save", "round trip");
    int result = 0;
    for (double megabytes : sizes) {
        if (!GenerateFile(path, static_cast<std::size_t>(megabytes * kMegabyte))) {
            std::perror("regedit4_bench: writing the generated file");
            result = 1;
            break;
        }
        std::fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            int code = Measure(path, savedPath.c_str());
            std::fflush(stdout);
            _exit(code);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) < 0 || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            result = 1;
        }
    }
    unlink(path);
    unlink(savedPath.c_str());
    return result;
}
