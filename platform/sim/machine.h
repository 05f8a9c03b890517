// A simulated Windows machine: everything the platform operations act on
// when Kestrow is built against platform/sim.
//
// It is a real implementation of the operations, not a script of canned
// answers: its registry has Windows 98's rules, its drives hold files, its
// message boxes are answered by whoever drives the machine. Every operation
// is recorded, in order, with its arguments and result, and any operation
// can be made to fail at its Nth call or always. It reads host folders that
// stand for drives, but never writes a host file: what the program changed
// stays in the machine (FileSystem::Changes) until kestrow-sim's --apply
// writes it back.
#ifndef KESTROW_PLATFORM_SIM_MACHINE_H
#define KESTROW_PLATFORM_SIM_MACHINE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/code_page.h"
#include "platform/sim/file_system.h"
#include "platform/sim/operation_list.h"
#include "platform/sim/registry_tree.h"

namespace platform::sim {

// Every operation of platform/platform.h, in the order it declares them
// (platform/sim/operation_list.h).
#define KESTROW_OPERATION_ENUMERATOR(ReturnType, Name, parameters, arguments, layout) Name,
enum class Operation {
    KESTROW_PLATFORM_OPERATIONS(KESTROW_OPERATION_ENUMERATOR, KESTROW_OPERATION_ENUMERATOR)
};
#undef KESTROW_OPERATION_ENUMERATOR
#define KESTROW_COUNT_OPERATION(...) +1  // NOLINT(bugprone-macro-parentheses): a term of a sum
constexpr int kOperationCount =
    0 KESTROW_PLATFORM_OPERATIONS(KESTROW_COUNT_OPERATION, KESTROW_COUNT_OPERATION);
#undef KESTROW_COUNT_OPERATION

const char* OperationName(Operation op);
// Accepts the names OperationName gives, in any letter case.
std::optional<Operation> OperationByName(std::string_view name);

// One recorded call. Text arguments are kept as their bytes; numbers as
// decimal, flags and handles as 0x-prefixed hexadecimal; null pointers as
// "NULL". `result` is the return value in the same notation; `output` holds
// what the call wrote back (a buffer's text, a returned handle), if any.
struct Call {
    Operation op;
    std::vector<std::string> arguments;
    std::string result;
    std::string output;
    bool injectedFault = false;
    // One line: RegOpenKeyA(0x80000002, "Enum\PCI", ...) = 0 -> 0x1001
    std::string ToString() const;
};

// What GetVersionExA reports and which record sizes it accepts.
struct VersionRecord {
    DWORD majorVersion = 4;
    DWORD minorVersion = 10;
    DWORD buildNumber = 0x040A08AE;  // 4.10.2222: high word holds the version
    DWORD platformId = VER_PLATFORM_WIN32_WINDOWS;
    std::string csdVersion = " A ";
    std::vector<DWORD> acceptedSizes = {
        OSVERSIONINFOA_SIZE};  // Windows 98 knows only the old record
};

// Named systems with the version records their real counterparts report
// (platform/sim/named_systems.h). Returns false for any other name.
bool VersionRecordForSystem(std::string_view name, VersionRecord* record);

struct MessageBoxRecord {
    HWND owner = nullptr;
    std::string text;
    std::string caption;
    UINT type = 0;
    int answer = 0;  // what the box returned: 1 OK, 2 Cancel, 0 not shown
};

struct RestartRequest {
    UINT flags = 0;
    DWORD reserved = 0;
};

// What happened, as data beside the call log: the report and --apply read
// these records, never the log's text.

// One CopyFileA call.
struct CopyRecord {
    std::string source;       // as the program named it
    std::string destination;  // the target, spelled as stored on the drive after the call
    bool copied = false;
    // The Windows error code of a copy that failed; 0 when it was copied or
    // when the failure was an injected fault (which sets no code).
    std::uint32_t error = 0;
    bool injectedFault = false;
};

// One RegDeleteKeyA call.
struct KeyDeletionRecord {
    // The key's full path as the registry names it: as stored when the key
    // exists, else the open key's path and the subkey name as the program
    // gave it; a handle that stands for no open key is shown as its value.
    std::string path;
    LONG status = ERROR_SUCCESS;
    bool injectedFault = false;
    // The deleted key, whole with everything that was below it when it was
    // deleted, so that what a run deleted can be told afterwards without a
    // copy of the whole registry made before the run. Null unless the call
    // deleted the key.
    std::unique_ptr<RegistryKey> subtree;
    bool Deleted() const { return subtree != nullptr; }
};

// One file the program wrote through a C runtime stream (FileOpen,
// FileWrite, FileClose), e.g. the unattended run's marker.
struct StreamWriteRecord {
    std::string path;   // spelled as stored on the drive, or as given when it was not opened
    std::string bytes;  // what the program's completed writes handed over, in order
    // Opened, every write complete and closed without an error: the file
    // holds what the program meant to write.
    bool ok = false;
};

// Thrown by ExitProcessWithCode on the simulated machine; whoever runs the
// program catches it. Nothing in the program catches it.
struct ProcessEnded {
    int exitCode;
};

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // --- What the machine is -------------------------------------------
    VersionRecord version;
    std::string commandLine = "KESTROW.EXE";
    std::string modulePath = "C:\\KESTROW.EXE";
    std::string currentDirectory = "C:\\";
    std::string windowsDirectory = "C:\\WINDOWS";
    // String resources of the running program, by identifier.
    std::map<UINT, std::string> strings;
    // The thread's active window; null for a program without windows.
    HWND activeWindow = nullptr;

    // Changes the ANSI code page; the registry's name rules follow it.
    void SetCodePage(unsigned number);
    const CodePage& GetCodePage() const { return codePage_; }

    RegistryTree& Registry() { return *registry_; }
    FileSystem& Files() { return files_; }

    // Answers the next message box. Unset, or returning a negative number,
    // means the box could not be shown: MessageBoxA returns 0.
    std::function<int(const MessageBoxRecord&)> answerBox;
    // Answers for the next boxes, in order; used before answerBox.
    std::vector<int> scriptedAnswers;

    // --- Faults -----------------------------------------------------------
    // The Nth call (from 1) of the operation fails; 0 clears it.
    void FailAtCall(Operation op, unsigned nth);
    void FailAlways(Operation op);
    void ClearFaults();

    // --- What happened ----------------------------------------------------
    const std::vector<Call>& Calls() const { return calls_; }
    std::size_t CallCount(Operation op) const;
    const std::vector<MessageBoxRecord>& Boxes() const { return boxes_; }
    const std::vector<RestartRequest>& Restarts() const { return restarts_; }
    // Every CopyFileA, RegDeleteKeyA and stream write, in the order made.
    const std::vector<CopyRecord>& Copies() const { return copies_; }
    const std::vector<KeyDeletionRecord>& KeyDeletions() const { return keyDeletions_; }
    const std::vector<StreamWriteRecord>& StreamWrites() const { return streamWrites_; }
    UINT ErrorMode() const { return errorMode_; }
    std::optional<int> ExitCode() const { return exitCode_; }
    // Registry handles and file streams the program opened and never closed.
    std::size_t OpenHandleCount() const;
    std::size_t OpenStreamCount() const;

    // --- Running a program ------------------------------------------------
    // The platform operations act on the active machine; at most one is
    // active at a time. Makes this machine active until the scope ends.
    class Activation {
    public:
        explicit Activation(Machine& machine);
        ~Activation();
        Activation(const Activation&) = delete;
        Activation& operator=(const Activation&) = delete;
    };
    static Machine& Active();
    // Records that the program ended with this code (ExitProcessWithCode
    // calls it before it throws; a program that returns calls it too).
    void SetExitCode(int code) { exitCode_ = code; }

    // The implementation of every operation; platform/sim/operations.cpp
    // forwards the free functions here.
    struct Impl;
    Impl& GetImpl() { return *impl_; }

private:
    CodePage codePage_;
    std::unique_ptr<RegistryTree> registry_;
    FileSystem files_;
    std::vector<Call> calls_;
    std::vector<MessageBoxRecord> boxes_;
    std::vector<RestartRequest> restarts_;
    std::vector<CopyRecord> copies_;
    std::vector<KeyDeletionRecord> keyDeletions_;
    std::vector<StreamWriteRecord> streamWrites_;
    UINT errorMode_ = 0;
    std::optional<int> exitCode_;
    std::unique_ptr<Impl> impl_;
    friend struct Impl;
};

}  // namespace platform::sim

#endif
