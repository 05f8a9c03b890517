// The working part of the simulated machine: the state the operations keep
// between calls (registry handles, open streams, fault rules, call counts)
// and one member for each platform operation. platform/sim/operations.cpp
// forwards the free functions of platform/platform.h here.
#ifndef KESTROW_PLATFORM_SIM_MACHINE_IMPL_H
#define KESTROW_PLATFORM_SIM_MACHINE_IMPL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "platform/sim/operation_list.h"
#include "platform/sim/registry_tree.h"

namespace platform::sim {

// Registry status codes the simulated registry returns, with Windows' values.
constexpr LONG kRegFileNotFound = 2;
constexpr LONG kRegAccessDenied = 5;
constexpr LONG kRegInvalidHandle = 6;
constexpr LONG kRegInvalidParameter = 87;
constexpr LONG kRegMoreData = 234;
constexpr LONG kRegNoMoreItems = 259;
constexpr LONG kRegBadKey = 1010;
constexpr LONG kRegKeyDeleted = 1018;

struct Machine::Impl {
    explicit Impl(Machine& owner);

    // --- The operations, with the signatures of platform/platform.h ------
#define KESTROW_OPERATION_MEMBER(ReturnType, Name, parameters, arguments, layout) \
    ReturnType Name parameters;
#define KESTROW_NO_RETURN_MEMBER(ReturnType, Name, parameters, arguments, layout) \
    [[noreturn]] ReturnType Name parameters;
    KESTROW_PLATFORM_OPERATIONS(KESTROW_OPERATION_MEMBER, KESTROW_NO_RETURN_MEMBER)
#undef KESTROW_OPERATION_MEMBER
#undef KESTROW_NO_RETURN_MEMBER

    // --- For Machine --------------------------------------------------------
    struct FaultRule {
        unsigned nth = 0;  // the Nth call fails; 0 for none
        bool always = false;
    };
    void SetFault(Operation op, FaultRule rule);
    std::size_t CallCount(Operation op) const;
    std::size_t OpenHandleCount() const { return handles_.size(); }
    std::size_t OpenStreamCount() const { return streams_.size(); }
    // Moves the registry's contents into a tree that follows the machine's
    // current code page; open handles move with the keys they refer to.
    void RebuildRegistry();

private:
    // Starts the log entry of a call and decides whether a fault is due.
    // Entries are addressed by index: a message box's answerer may make
    // calls of its own while the box is up.
    std::size_t BeginCall(Operation op, std::vector<std::string> arguments);
    Call& Logged(std::size_t entry) { return machine_.calls_[entry]; }
    LONG FinishRegistryCall(std::size_t entry, LONG status);

    // Registry handles: the key a handle refers to, or null once that key
    // (or a key above it) was deleted.
    LONG ResolveKey(HKEY handle, RegistryKey** key);
    HKEY NewHandle(RegistryKey* key);
    LONG OpenKey(HKEY parent, const char* subKey, HKEY* result, std::string* output);
    void InvalidateSubtree(const RegistryKey* top);
    // The full path a RegDeleteKeyA call names (KeyDeletionRecord::path).
    std::string KeyPath(HKEY key, const char* subKey);
    // RegDeleteKeyA's work; *deleted gets the key it removed.
    LONG DeleteKey(HKEY key, const char* subKey, std::unique_ptr<RegistryKey>* deleted);

    // The current directory as Windows reports it.
    std::string CurrentDirectoryText() const;
    void SyncCurrentDirectory();

    Machine& machine_;
    std::array<FaultRule, kOperationCount> faults_{};
    std::array<std::size_t, kOperationCount> callCounts_{};

    std::map<std::uintptr_t, RegistryKey*> handles_;
    std::uintptr_t nextHandle_ = 0x1000;

    // An open C runtime stream: the file system's stream, its record in
    // Machine::StreamWrites() and whether a write of it fell short.
    struct OpenStream {
        int stream = 0;
        std::size_t record = 0;
        bool failed = false;
    };
    std::map<std::uintptr_t, OpenStream> streams_;  // by FileStream* value
    std::uintptr_t nextStream_ = 0x00F00000;

    bool commandLineTaken_ = false;
    std::string commandLineCopy_;
    char emptyText_[1] = {'\0'};
};

}  // namespace platform::sim

#endif
