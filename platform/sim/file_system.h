// The drives of a simulated Windows machine.
//
// A drive letter is mapped onto a backend: a host folder (a copy of a
// Windows partition, or a mounted one), memory, or a partition of a disk
// image. Names are looked up the way FAT with long names does it: letter
// case is ignored and kept as written. Nothing the simulated program does
// touches a host folder, and nothing here ever writes a host file: every
// change lands in an overlay that reads see first, and Changes() tells what
// the program changed. Writing that back to the host is kestrow-sim's
// --apply (sim/apply), the one writer of host files.
#ifndef KESTROW_PLATFORM_SIM_FILE_SYSTEM_H
#define KESTROW_PLATFORM_SIM_FILE_SYSTEM_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/code_page.h"
#include "platform/sim/drive_backend.h"

namespace platform::sim {

// Win32 error codes the simulated file operations report.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotReady = 21;
constexpr std::uint32_t kErrorWriteProtect = 19;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorFileExists = 80;
constexpr std::uint32_t kErrorInvalidName = 123;

class FileSystem {
public:
    explicit FileSystem(const CodePage* codePage);
    ~FileSystem();
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // --- Setting the machine up ------------------------------------------
    // Maps a drive letter (either case) onto a host folder, or onto an empty
    // in-memory drive when hostFolder is empty. A read-only drive refuses
    // every change with kErrorWriteProtect. Returns false, with a message,
    // when the host folder does not exist or is not a folder.
    bool MapDrive(char letter, const std::string& hostFolder, bool readOnly, std::string* error);
    // Maps a drive letter onto any backend (a disk image's partition, a
    // drive built in memory). Returns false, with a message, for a letter
    // that is not a drive letter.
    bool MountDrive(char letter, std::unique_ptr<DriveBackend> backend, bool readOnly,
                    std::string* error = nullptr);
    bool HasDrive(char letter) const;
    std::string HostFolder(char letter) const;  // empty unless the drive is a host folder
    // The current directory is where relative paths start.
    void SetCurrentDirectory(const std::string& path);

    // Set-up helpers: they describe the machine as it was before the program
    // ran (they are not changes, and Changes() does not list them), create
    // missing folders on the way, and ignore read-only drives and attributes.
    void AddDirectory(std::string_view path);
    void AddFile(std::string_view path, std::string_view bytes, bool readOnly = false);
    void SetReadOnly(std::string_view path, bool readOnly);

    // --- Looking at it -----------------------------------------------------
    bool IsFile(std::string_view path) const;
    bool IsDirectory(std::string_view path) const;
    bool IsReadOnly(std::string_view path) const;
    std::optional<std::string> ReadFile(std::string_view path) const;
    // The path with every existing component spelled as stored, e.g.
    // c:\windows\INF -> C:\WINDOWS\inf; components that do not exist are
    // kept as given.
    std::string CanonicalPath(std::string_view path) const;

    // --- The operations, with Windows 98 rules -----------------------------
    // Each returns 0 on success or a Win32 error code.
    std::uint32_t Copy(std::string_view source, std::string_view target, bool failIfExists);
    std::uint32_t Delete(std::string_view path);
    // C runtime streams: mode as fopen takes it ("wb", "w", "ab", "a").
    // Without 'b', "\n" is written as "\r\n", as MSVCRT's text mode does.
    std::uint32_t OpenStream(std::string_view path, std::string_view mode, int* stream);
    std::uint32_t WriteStream(int stream, const void* data, std::size_t bytes);
    std::uint32_t CloseStream(int stream);
    std::size_t OpenStreamCount() const;

    // --- What changed --------------------------------------------------------
    enum class ChangeKind { Created, Replaced, Deleted };
    struct Change {
        std::string path;  // as stored, e.g. C:\WINDOWS\inf\iusb2.inf
        ChangeKind kind;
        std::uint64_t size;  // new size; 0 for a deletion
    };
    // Changes against what the drives held, in the order they were first
    // made. A file created and then deleted again is no change.
    std::vector<Change> Changes() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform::sim

#endif
