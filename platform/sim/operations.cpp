// The platform operations on the simulated machine, with Windows 98's rules.
//
// Every call is logged before it acts, with its arguments; the result and
// what it wrote back are added when it is done. When a fault is due for the
// call, it does nothing at all and returns the operation's failure result.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_impl.h"
#include "platform/sim/operation_list.h"

namespace platform::sim {

namespace {

constexpr const char* kNull = "NULL";
// An output pointer in the log: what it received is in Call::output.
constexpr const char* kOutputPointer = "...";

constexpr std::uintptr_t kFirstPredefinedKey = 0x80000000u;
constexpr std::uintptr_t kLastPredefinedKey = 0x80000006u;

std::string Decimal(long long value) { return std::to_string(value); }

std::string Hex(std::uintmax_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIXMAX, value);
    return text;
}

// A build field in full, since the 9x family packs the version into its high word.
std::string BuildText(DWORD build) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(build));
    return text;
}

template <typename Pointer>
std::string HandleText(Pointer* handle) {
    return handle == nullptr ? kNull : Hex(reinterpret_cast<std::uintptr_t>(handle));
}

std::string Text(const char* text) { return text == nullptr ? kNull : text; }

std::string OutputPointer(const void* pointer) {
    return pointer == nullptr ? kNull : kOutputPointer;
}

bool IsPredefinedKey(std::uintptr_t value) {
    return value >= kFirstPredefinedKey && value <= kLastPredefinedKey;
}

// Copies text and its terminator; the caller has checked that it fits.
void CopyWithTerminator(const std::string& text, char* buffer) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
}

// Windows' answer for a directory asked for with a buffer of `size` bytes:
// the length when it fits with its terminator, else the size it needs.
DWORD ReportDirectory(const std::string& text, char* buffer, DWORD size, std::string* output) {
    if (buffer == nullptr || text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
    CopyWithTerminator(text, buffer);
    *output = text;
    return static_cast<DWORD>(text.size());
}

// A folder the way Windows reports it: a drive root with its backslash
// ("C:\"), any other folder without one ("C:\WINDOWS").
std::string FolderText(std::string folder, const CodePage& codePage) {
    if (folder.size() == 2 && folder[1] == ':') return folder + "\\";
    // A trail byte that equals a backslash is part of its character.
    while (folder.size() > 3 && codePage.EndsWithSeparator(folder, '\\')) folder.pop_back();
    return folder;
}

void CollectSubtree(const RegistryKey* key, std::set<const RegistryKey*>* keys) {
    keys->insert(key);
    for (std::size_t i = 0; i < key->SubkeyCount(); ++i) CollectSubtree(key->SubkeyAt(i), keys);
}

}  // namespace

Machine::Impl::Impl(Machine& owner) : machine_(owner) {}

// --- Bookkeeping -----------------------------------------------------------------

void Machine::Impl::SetFault(Operation op, FaultRule rule) {
    faults_[static_cast<std::size_t>(op)] = rule;
}

std::size_t Machine::Impl::CallCount(Operation op) const {
    return callCounts_[static_cast<std::size_t>(op)];
}

std::size_t Machine::Impl::BeginCall(Operation op, std::vector<std::string> arguments) {
    std::size_t index = static_cast<std::size_t>(op);
    std::size_t count = ++callCounts_[index];
    const FaultRule& rule = faults_[index];
    Call call;
    call.op = op;
    call.arguments = std::move(arguments);
    call.injectedFault = op != Operation::ExitProcessWithCode &&
                         (rule.always || (rule.nth != 0 && rule.nth == count));
    machine_.calls_.push_back(std::move(call));
    return machine_.calls_.size() - 1;
}

std::string Machine::Impl::CurrentDirectoryText() const {
    return FolderText(machine_.currentDirectory, machine_.codePage_);
}

void Machine::Impl::SyncCurrentDirectory() {
    machine_.files_.SetCurrentDirectory(CurrentDirectoryText());
}

// --- Process start-up and the framework's needs -------------------------------------

char* Machine::Impl::GetCommandLineA() {
    std::size_t entry = BeginCall(Operation::GetCommandLineA, {});
    if (Logged(entry).injectedFault) return emptyText_;
    // Windows keeps one copy of the command line for the life of the
    // process, so the pointer stays the same from the first call on.
    if (!commandLineTaken_) {
        commandLineCopy_ = machine_.commandLine;
        commandLineTaken_ = true;
    }
    Logged(entry).result = commandLineCopy_;
    return commandLineCopy_.data();
}

UINT Machine::Impl::SetErrorMode(UINT mode) {
    std::size_t entry = BeginCall(Operation::SetErrorMode, {Hex(mode)});
    if (Logged(entry).injectedFault) {
        Logged(entry).result = Hex(0);
        return 0;
    }
    UINT previous = machine_.errorMode_;
    machine_.errorMode_ = mode;
    Logged(entry).result = Hex(previous);
    return previous;
}

DWORD Machine::Impl::GetModuleFileNameA(HINSTANCE module, char* buffer, DWORD size) {
    std::size_t entry = BeginCall(Operation::GetModuleFileNameA,
                                  {HandleText(module), OutputPointer(buffer), Decimal(size)});
    Call& call = Logged(entry);
    // The process has one module, the program itself, whatever handle the
    // caller names for it.
    if (call.injectedFault || buffer == nullptr || size == 0) {
        call.result = Decimal(0);
        return 0;
    }
    // Windows 98 copies what fits, leaving room for the terminator.
    std::string copied = machine_.modulePath.substr(0, size - 1);
    CopyWithTerminator(copied, buffer);
    call.result = Decimal(static_cast<long long>(copied.size()));
    call.output = copied;
    return static_cast<DWORD>(copied.size());
}

int Machine::Impl::LoadStringA(HINSTANCE instance, UINT id, char* buffer, int size) {
    std::size_t entry = BeginCall(Operation::LoadStringA, {HandleText(instance), Decimal(id),
                                                           OutputPointer(buffer), Decimal(size)});
    Call& call = Logged(entry);
    call.result = Decimal(0);
    if (call.injectedFault || buffer == nullptr || size <= 0) return 0;
    auto found = machine_.strings.find(id);
    if (found == machine_.strings.end()) {
        buffer[0] = '\0';
        return 0;
    }
    std::string copied = found->second.substr(0, static_cast<std::size_t>(size) - 1);
    CopyWithTerminator(copied, buffer);
    call.result = Decimal(static_cast<long long>(copied.size()));
    call.output = copied;
    return static_cast<int>(copied.size());
}

HWND Machine::Impl::GetActiveWindow() {
    std::size_t entry = BeginCall(Operation::GetActiveWindow, {});
    HWND window = Logged(entry).injectedFault ? nullptr : machine_.activeWindow;
    Logged(entry).result = HandleText(window);
    return window;
}

BOOL Machine::Impl::IsDBCSLeadByte(BYTE byte) {
    std::size_t entry = BeginCall(Operation::IsDBCSLeadByte, {Hex(byte)});
    BOOL lead = !Logged(entry).injectedFault && machine_.codePage_.IsLeadByte(byte);
    Logged(entry).result = Decimal(lead);
    return lead;
}

// --- System information and user interface --------------------------------------------

BOOL Machine::Impl::GetVersionExA(OSVERSIONINFOEXA* info) {
    std::size_t entry = BeginCall(Operation::GetVersionExA,
                                  {info == nullptr ? kNull : Decimal(info->dwOSVersionInfoSize)});
    Call& call = Logged(entry);
    call.result = Decimal(0);
    if (call.injectedFault || info == nullptr) return 0;
    const VersionRecord& version = machine_.version;
    DWORD declared = info->dwOSVersionInfoSize;
    const std::vector<DWORD>& accepted = version.acceptedSizes;
    if (std::find(accepted.begin(), accepted.end(), declared) == accepted.end()) return 0;
    // Only fields inside the size the caller declared are written.
    if (declared < OSVERSIONINFOA_SIZE) return 0;
    info->dwMajorVersion = version.majorVersion;
    info->dwMinorVersion = version.minorVersion;
    info->dwBuildNumber = version.buildNumber;
    info->dwPlatformId = version.platformId;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::size_t csdLength = std::min(version.csdVersion.size(), sizeof info->szCSDVersion - 1);
    std::memcpy(info->szCSDVersion, version.csdVersion.data(), csdLength);
    if (declared >= OSVERSIONINFOEXA_SIZE) {
        info->wServicePackMajor = 0;
        info->wServicePackMinor = 0;
        info->wSuiteMask = 0;
        info->wProductType = 0;
        info->wReserved = 0;
    }
    call.result = Decimal(1);
    call.output = std::to_string(version.majorVersion) + "." +
                  std::to_string(version.minorVersion) + " build " +
                  BuildText(version.buildNumber) + " platform " +
                  std::to_string(version.platformId) + " \"" +
                  std::string(info->szCSDVersion, csdLength) + "\"";
    return 1;
}

int Machine::Impl::MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
    std::size_t entry = BeginCall(Operation::MessageBoxA,
                                  {HandleText(owner), Text(text), Text(caption), Hex(type)});
    if (Logged(entry).injectedFault) {
        Logged(entry).result = Decimal(0);
        return 0;
    }
    MessageBoxRecord box;
    box.owner = owner;
    box.text = text == nullptr ? "" : text;
    // Windows titles a box without a caption "Error".
    box.caption = caption == nullptr ? "Error" : caption;
    box.type = type;
    int answer = 0;
    if (!machine_.scriptedAnswers.empty()) {
        answer = machine_.scriptedAnswers.front();
        machine_.scriptedAnswers.erase(machine_.scriptedAnswers.begin());
    } else if (machine_.answerBox) {
        answer = machine_.answerBox(box);
    }
    box.answer = std::max(answer, 0);  // a negative answer: the box was not shown
    machine_.boxes_.push_back(box);
    Logged(entry).result = Decimal(box.answer);
    return box.answer;
}

BOOL Machine::Impl::ExitWindowsEx(UINT flags, DWORD reserved) {
    std::size_t entry = BeginCall(Operation::ExitWindowsEx, {Hex(flags), Decimal(reserved)});
    if (Logged(entry).injectedFault) {
        Logged(entry).result = Decimal(0);
        return 0;
    }
    machine_.restarts_.push_back(RestartRequest{flags, reserved});
    Logged(entry).result = Decimal(1);
    return 1;
}

// --- Directories and files ---------------------------------------------------------------

DWORD Machine::Impl::GetCurrentDirectoryA(DWORD size, char* buffer) {
    std::size_t entry =
        BeginCall(Operation::GetCurrentDirectoryA, {Decimal(size), OutputPointer(buffer)});
    Call& call = Logged(entry);
    DWORD result = 0;
    if (!call.injectedFault) {
        result = ReportDirectory(CurrentDirectoryText(), buffer, size, &call.output);
    }
    call.result = Decimal(result);
    return result;
}

UINT Machine::Impl::GetWindowsDirectoryA(char* buffer, UINT size) {
    std::size_t entry =
        BeginCall(Operation::GetWindowsDirectoryA, {OutputPointer(buffer), Decimal(size)});
    Call& call = Logged(entry);
    UINT result = 0;
    if (!call.injectedFault) {
        result = ReportDirectory(FolderText(machine_.windowsDirectory, machine_.codePage_), buffer,
                                 size, &call.output);
    }
    call.result = Decimal(result);
    return result;
}

BOOL Machine::Impl::CopyFileA(const char* existing, const char* target, BOOL failIfExists) {
    std::size_t entry =
        BeginCall(Operation::CopyFileA, {Text(existing), Text(target), Decimal(failIfExists)});
    SyncCurrentDirectory();
    CopyRecord record;
    record.source = existing == nullptr ? "" : existing;
    record.injectedFault = Logged(entry).injectedFault;
    if (record.injectedFault) {
        Logged(entry).result = Decimal(0);
    } else {
        std::uint32_t error = kErrorPathNotFound;
        if (existing != nullptr && target != nullptr) {
            error = machine_.files_.Copy(existing, target, failIfExists != 0);
        }
        Logged(entry).result = Decimal(error == 0);
        if (error != 0) Logged(entry).output = "error " + Decimal(error);
        record.copied = error == 0;
        record.error = error;
    }
    if (target != nullptr) record.destination = machine_.files_.CanonicalPath(target);
    const bool copied = record.copied;
    machine_.copies_.push_back(std::move(record));
    return copied;
}

BOOL Machine::Impl::DeleteFileA(const char* path) {
    std::size_t entry = BeginCall(Operation::DeleteFileA, {Text(path)});
    if (Logged(entry).injectedFault) {
        Logged(entry).result = Decimal(0);
        return 0;
    }
    std::uint32_t error = kErrorPathNotFound;
    if (path != nullptr) {
        SyncCurrentDirectory();
        error = machine_.files_.Delete(path);
    }
    Logged(entry).result = Decimal(error == 0);
    if (error != 0) Logged(entry).output = "error " + Decimal(error);
    return error == 0;
}

// --- Registry ---------------------------------------------------------------------------------

LONG Machine::Impl::ResolveKey(HKEY handle, RegistryKey** key) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (IsPredefinedKey(value)) {
        // The predefined roots are open from the start; HKEY_PERFORMANCE_DATA
        // does not exist on Windows 98.
        *key = machine_.registry_->Root(static_cast<std::uint32_t>(value));
        return *key == nullptr ? kRegInvalidHandle : ERROR_SUCCESS;
    }
    auto found = handles_.find(value);
    if (found == handles_.end()) return kRegInvalidHandle;
    if (found->second == nullptr) return kRegKeyDeleted;
    *key = found->second;
    return ERROR_SUCCESS;
}

HKEY Machine::Impl::NewHandle(RegistryKey* key) {
    // Handle values are never reused, so a closed handle stays invalid.
    std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = key;
    return reinterpret_cast<HKEY>(value);
}

LONG Machine::Impl::OpenKey(HKEY parent, const char* subKey, HKEY* result, std::string* output) {
    if (result == nullptr) return kRegInvalidParameter;
    RegistryKey* base = nullptr;
    LONG status = ResolveKey(parent, &base);
    if (status != ERROR_SUCCESS) return status;
    // No subkey name opens the parent itself again, under a handle of its own.
    RegistryKey* key = subKey == nullptr ? base : base->FindPath(subKey);
    // On failure Windows 98 leaves *result as it was.
    if (key == nullptr) return kRegFileNotFound;
    *result = NewHandle(key);
    *output = HandleText(*result);
    return ERROR_SUCCESS;
}

LONG Machine::Impl::RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) {
    std::size_t entry =
        BeginCall(Operation::RegOpenKeyA, {HandleText(key), Text(subKey), OutputPointer(result)});
    LONG status = kRegAccessDenied;
    if (!Logged(entry).injectedFault) status = OpenKey(key, subKey, result, &Logged(entry).output);
    Logged(entry).result = Decimal(status);
    return status;
}

LONG Machine::Impl::RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access,
                                  HKEY* result) {
    // Windows 98 has no key security: the access wanted is logged, not checked.
    std::size_t entry = BeginCall(
        Operation::RegOpenKeyExA,
        {HandleText(key), Text(subKey), Hex(options), Hex(access), OutputPointer(result)});
    LONG status = kRegAccessDenied;
    if (!Logged(entry).injectedFault) status = OpenKey(key, subKey, result, &Logged(entry).output);
    Logged(entry).result = Decimal(status);
    return status;
}

// Records a registry call's status as its result and returns it.
LONG Machine::Impl::FinishRegistryCall(std::size_t entry, LONG status) {
    Logged(entry).result = Decimal(status);
    return status;
}

LONG Machine::Impl::RegQueryInfoKeyA(HKEY key, char* className, DWORD* classNameSize,
                                     DWORD* reserved, DWORD* subKeys, DWORD* maxSubKeyLength,
                                     DWORD* maxClassLength, DWORD* values,
                                     DWORD* maxValueNameLength, DWORD* maxValueLength,
                                     DWORD* securityDescriptorSize, void* lastWriteTime) {
    std::size_t entry = BeginCall(
        Operation::RegQueryInfoKeyA,
        {HandleText(key), OutputPointer(className), OutputPointer(classNameSize),
         reserved == nullptr ? kNull : Hex(reinterpret_cast<std::uintptr_t>(reserved)),
         OutputPointer(subKeys), OutputPointer(maxSubKeyLength), OutputPointer(maxClassLength),
         OutputPointer(values), OutputPointer(maxValueNameLength), OutputPointer(maxValueLength),
         OutputPointer(securityDescriptorSize), OutputPointer(lastWriteTime)});
    if (Logged(entry).injectedFault) return FinishRegistryCall(entry, kRegAccessDenied);
    RegistryKey* node = nullptr;
    LONG status = ResolveKey(key, &node);
    if (status != ERROR_SUCCESS) return FinishRegistryCall(entry, status);
    if (reserved != nullptr || (className != nullptr && classNameSize == nullptr)) {
        return FinishRegistryCall(entry, kRegInvalidParameter);
    }

    DWORD longestSubkey = 0;
    for (std::size_t i = 0; i < node->SubkeyCount(); ++i) {
        auto length = static_cast<DWORD>(node->SubkeyAt(i)->Name().size());
        longestSubkey = std::max(longestSubkey, length);
    }
    DWORD longestValueName = 0;
    DWORD longestValueData = 0;
    for (const RegistryValue& value : node->Values()) {
        longestValueName = std::max(longestValueName, static_cast<DWORD>(value.name.size()));
        longestValueData = std::max(longestValueData, static_cast<DWORD>(value.data.size()));
    }

    std::string& output = Logged(entry).output;
    auto put = [&output](DWORD* target, const char* name, DWORD value) {
        if (target == nullptr) return;
        *target = value;
        if (!output.empty()) output += ' ';
        output += std::string(name) + "=" + std::to_string(value);
    };
    // Keys of the simulated registry have no class name, no security
    // descriptor and no last-write time (Windows 98 keeps none of them).
    if (className != nullptr && *classNameSize > 0) className[0] = '\0';
    put(classNameSize, "classLength", 0);
    put(subKeys, "subKeys", static_cast<DWORD>(node->SubkeyCount()));
    put(maxSubKeyLength, "maxSubKeyLength", longestSubkey);
    put(maxClassLength, "maxClassLength", 0);
    put(values, "values", static_cast<DWORD>(node->Values().size()));
    put(maxValueNameLength, "maxValueNameLength", longestValueName);
    put(maxValueLength, "maxValueLength", longestValueData);
    put(securityDescriptorSize, "securityDescriptorSize", 0);
    if (lastWriteTime != nullptr) std::memset(lastWriteTime, 0, 8);  // a FILETIME
    return FinishRegistryCall(entry, ERROR_SUCCESS);
}

LONG Machine::Impl::RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD size) {
    std::size_t entry = BeginCall(Operation::RegEnumKeyA, {HandleText(key), Decimal(index),
                                                           OutputPointer(name), Decimal(size)});
    if (Logged(entry).injectedFault) return FinishRegistryCall(entry, kRegAccessDenied);
    RegistryKey* node = nullptr;
    LONG status = ResolveKey(key, &node);
    if (status != ERROR_SUCCESS) return FinishRegistryCall(entry, status);
    if (index >= node->SubkeyCount()) return FinishRegistryCall(entry, kRegNoMoreItems);
    if (name == nullptr) return FinishRegistryCall(entry, kRegInvalidParameter);
    const std::string& subkeyName = node->SubkeyAt(index)->Name();
    // The terminator must fit too; a name that does not leaves the buffer as it was.
    if (subkeyName.size() + 1 > size) return FinishRegistryCall(entry, kRegMoreData);
    CopyWithTerminator(subkeyName, name);
    Logged(entry).output = subkeyName;
    return FinishRegistryCall(entry, ERROR_SUCCESS);
}

void Machine::Impl::InvalidateSubtree(const RegistryKey* top) {
    std::set<const RegistryKey*> doomed;
    CollectSubtree(top, &doomed);
    for (auto& handle : handles_) {
        if (doomed.count(handle.second) != 0) handle.second = nullptr;
    }
}

std::string Machine::Impl::KeyPath(HKEY key, const char* subKey) {
    std::string name = subKey == nullptr ? "" : subKey;
    RegistryKey* base = nullptr;
    if (ResolveKey(key, &base) != ERROR_SUCCESS) {
        return name.empty() ? HandleText(key) : HandleText(key) + "\\" + name;
    }
    const RegistryKey* found = name.empty() ? nullptr : base->FindPath(name);
    if (found != nullptr && found != base) return found->FullPath();
    return name.empty() ? base->FullPath() : base->FullPath() + "\\" + name;
}

LONG Machine::Impl::DeleteKey(HKEY key, const char* subKey, std::unique_ptr<RegistryKey>* deleted) {
    RegistryKey* base = nullptr;
    LONG status = ResolveKey(key, &base);
    if (status != ERROR_SUCCESS) return status;
    // Without a subkey name Windows 95 and 98 answer ERROR_BADKEY. An empty
    // name, or one of backslashes only, is refused the same way, so the open
    // key itself is never deleted through this call.
    RegistryKey* target = subKey == nullptr ? base : base->FindPath(subKey);
    if (target == base) return kRegBadKey;
    if (target == nullptr) return kRegFileNotFound;
    // Windows 98 removes the key with everything below it. Handles open on
    // any of those keys now refer to a deleted key.
    InvalidateSubtree(target);
    *deleted = target->Parent()->DetachSubkey(target->Name());
    return ERROR_SUCCESS;
}

LONG Machine::Impl::RegDeleteKeyA(HKEY key, const char* subKey) {
    std::size_t entry = BeginCall(Operation::RegDeleteKeyA, {HandleText(key), Text(subKey)});
    KeyDeletionRecord record;
    record.path = KeyPath(key, subKey);
    record.injectedFault = Logged(entry).injectedFault;
    record.status =
        record.injectedFault ? kRegAccessDenied : DeleteKey(key, subKey, &record.subtree);
    const LONG status = record.status;
    machine_.keyDeletions_.push_back(std::move(record));
    return FinishRegistryCall(entry, status);
}

LONG Machine::Impl::RegCloseKey(HKEY key) {
    std::size_t entry = BeginCall(Operation::RegCloseKey, {HandleText(key)});
    if (Logged(entry).injectedFault) return FinishRegistryCall(entry, kRegAccessDenied);
    auto value = reinterpret_cast<std::uintptr_t>(key);
    // Closing a predefined root is allowed and changes nothing.
    if (IsPredefinedKey(value) && machine_.registry_->Root(static_cast<std::uint32_t>(value))) {
        return FinishRegistryCall(entry, ERROR_SUCCESS);
    }
    // A handle to a deleted key is still released.
    if (handles_.erase(value) == 0) return FinishRegistryCall(entry, kRegInvalidHandle);
    return FinishRegistryCall(entry, ERROR_SUCCESS);
}

void Machine::Impl::RebuildRegistry() {
    auto fresh = std::make_unique<RegistryTree>(machine_.codePage_);
    for (const std::string& root : RegistryTree::RootNames()) {
        machine_.registry_->Root(root)->CopyContentsTo(fresh->Root(root));
    }
    // Each open handle follows its key into the new tree, found by the names
    // on the way down from its root.
    for (auto& handle : handles_) {
        if (handle.second == nullptr) continue;
        std::vector<const std::string*> names;
        const RegistryKey* key = handle.second;
        for (; key->Parent() != nullptr; key = key->Parent()) names.push_back(&key->Name());
        RegistryKey* moved = fresh->Root(key->Name());
        for (auto name = names.rbegin(); moved != nullptr && name != names.rend(); ++name) {
            moved = moved->FindSubkey(**name);
        }
        handle.second = moved;
    }
    // Deleted keys name their code page through the tree they came from.
    for (KeyDeletionRecord& deletion : machine_.keyDeletions_) {
        if (!deletion.subtree) continue;
        auto copy =
            std::make_unique<RegistryKey>(deletion.subtree->Name(), nullptr, &fresh->GetCodePage());
        deletion.subtree->CopyContentsTo(copy.get());
        deletion.subtree = std::move(copy);
    }
    machine_.registry_ = std::move(fresh);
}

// --- The C runtime's stream output and process exit -------------------------------------

FileStream* Machine::Impl::FileOpen(const char* path, const char* mode) {
    std::size_t entry = BeginCall(Operation::FileOpen, {Text(path), Text(mode)});
    Logged(entry).result = kNull;
    if (path == nullptr) return nullptr;
    SyncCurrentDirectory();
    int stream = 0;
    bool opened = false;
    if (!Logged(entry).injectedFault && mode != nullptr) {
        std::uint32_t error = machine_.files_.OpenStream(path, mode, &stream);
        if (error != 0) Logged(entry).output = "error " + Decimal(error);
        opened = error == 0;
    }
    // Every attempt is recorded; one that could not open stays not ok.
    StreamWriteRecord record;
    record.path = machine_.files_.CanonicalPath(path);
    machine_.streamWrites_.push_back(std::move(record));
    if (!opened) return nullptr;
    // The FILE pointer the program sees is an opaque value, never dereferenced.
    std::uintptr_t value = nextStream_;
    nextStream_ += 0x20;
    streams_[value] = OpenStream{stream, machine_.streamWrites_.size() - 1, false};
    Logged(entry).result = Hex(value);
    return reinterpret_cast<FileStream*>(value);
}

std::size_t Machine::Impl::FileWrite(const void* data, std::size_t size, std::size_t count,
                                     FileStream* stream) {
    std::size_t bytes = 0;
    bool overflow = size != 0 && count > std::numeric_limits<std::size_t>::max() / size;
    if (!overflow) bytes = size * count;
    std::string shownData =
        data == nullptr ? kNull : std::string(static_cast<const char*>(data), overflow ? 0 : bytes);
    std::size_t entry = BeginCall(Operation::FileWrite,
                                  {shownData, Decimal(size), Decimal(count), HandleText(stream)});
    Logged(entry).result = Decimal(0);
    auto found = streams_.find(reinterpret_cast<std::uintptr_t>(stream));
    if (found == streams_.end()) return 0;
    // A write that hands over less than it was asked to spoils the record.
    OpenStream& open = found->second;
    if (Logged(entry).injectedFault || overflow || bytes == 0 || data == nullptr) {
        if (count != 0) open.failed = true;
        return 0;
    }
    std::uint32_t error = machine_.files_.WriteStream(open.stream, data, bytes);
    if (error != 0) {
        Logged(entry).output = "error " + Decimal(error);
        open.failed = true;
        return 0;
    }
    machine_.streamWrites_[open.record].bytes.append(static_cast<const char*>(data), bytes);
    Logged(entry).result = Decimal(static_cast<long long>(count));
    return count;
}

int Machine::Impl::FileClose(FileStream* stream) {
    constexpr int kEndOfFile = -1;
    std::size_t entry = BeginCall(Operation::FileClose, {HandleText(stream)});
    Logged(entry).result = Decimal(kEndOfFile);
    auto found = streams_.find(reinterpret_cast<std::uintptr_t>(stream));
    if (found == streams_.end()) return kEndOfFile;
    // A close that fails still releases the stream, as MSVCRT's fclose does.
    const OpenStream open = found->second;
    std::uint32_t error = machine_.files_.CloseStream(open.stream);
    streams_.erase(found);
    if (Logged(entry).injectedFault) return kEndOfFile;
    if (error != 0) {
        Logged(entry).output = "error " + Decimal(error);
        return kEndOfFile;
    }
    machine_.streamWrites_[open.record].ok = !open.failed;
    Logged(entry).result = Decimal(0);
    return 0;
}

void Machine::Impl::ExitProcessWithCode(int code) {
    BeginCall(Operation::ExitProcessWithCode, {Decimal(code)});
    machine_.SetExitCode(code);
    throw ProcessEnded{code};
}

}  // namespace platform::sim

// --- The free functions of platform/platform.h ---------------------------------------

namespace platform {

namespace {
sim::Machine::Impl& Active() { return sim::Machine::Active().GetImpl(); }
}  // namespace

#define KESTROW_FORWARD_OPERATION(ReturnType, Name, parameters, arguments, layout) \
    ReturnType Name parameters { return Active().Name arguments; }
#define KESTROW_FORWARD_NO_RETURN(ReturnType, Name, parameters, arguments, layout) \
    ReturnType Name parameters { Active().Name arguments; }
KESTROW_PLATFORM_OPERATIONS(KESTROW_FORWARD_OPERATION, KESTROW_FORWARD_NO_RETURN)
#undef KESTROW_FORWARD_OPERATION
#undef KESTROW_FORWARD_NO_RETURN

}  // namespace platform
