// The one door between Kestrow and Windows.
//
// The installer and the framework call Windows and the C runtime's file
// output and exit only through the operations declared here. Two
// implementations exist and the build links exactly one of them:
// platform/win32 passes every call to the real ANSI Win32 API (the file
// output and the exit too, with the kernel's own calls: Kestrow.exe links no
// C runtime DLL); platform/sim runs it on a simulated Windows machine. The
// caller's code is the same in both.
//
// This header never includes <windows.h>. It carries its own small types,
// with the sizes and layouts the real API uses, and the constants with the
// values Windows gives them. Several of those names are macros in
// <windows.h>, so a translation unit that needs both (only platform/win32)
// must include this header first.
#ifndef KESTROW_PLATFORM_PLATFORM_H
#define KESTROW_PLATFORM_PLATFORM_H

#if defined(_WINDOWS_)
#error "include platform/platform.h before <windows.h>"
#endif

#include <cstddef>
#include <cstdint>

namespace platform {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;

struct HKEY__;
using HKEY = HKEY__*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
// An open output file, as the C runtime's FILE is seen from outside.
struct FileStream;

// The platform's OSVERSIONINFOEXA. Its first 148 bytes are the older
// OSVERSIONINFOA, which is all that Windows 95, 98 and NT 4.0 accept.
struct OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA is 156 bytes");
static_assert(offsetof(OSVERSIONINFOEXA, wServicePackMajor) == 148,
              "OSVERSIONINFOA is the first 148 bytes");

constexpr DWORD OSVERSIONINFOEXA_SIZE = 156;
constexpr DWORD OSVERSIONINFOA_SIZE = 148;

constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

constexpr DWORD MAX_PATH = 260;

// Registry.
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000u});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002u});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003u});
inline HKEY const HKEY_CURRENT_CONFIG = reinterpret_cast<HKEY>(std::uintptr_t{0x80000005u});
inline HKEY const HKEY_DYN_DATA = reinterpret_cast<HKEY>(std::uintptr_t{0x80000006u});
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;
constexpr LONG ERROR_SUCCESS = 0;

// Message boxes: button sets, icons, answers.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_RETRYCANCEL = 0x5;
constexpr UINT MB_TYPEMASK = 0xF;
constexpr UINT MB_ICONHAND = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr UINT MB_ICONASTERISK = 0x40;
constexpr UINT MB_ICONMASK = 0xF0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Error mode, restart.
constexpr UINT SEM_FAILCRITICALERRORS = 0x0001;
constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000;
constexpr UINT EWX_REBOOT = 2;

// Process start-up and the framework's needs.
char* GetCommandLineA();
UINT SetErrorMode(UINT mode);
DWORD GetModuleFileNameA(HINSTANCE module, char* buffer, DWORD size);
int LoadStringA(HINSTANCE instance, UINT id, char* buffer, int size);
HWND GetActiveWindow();
// True when the byte starts a double-byte character in the system's ANSI
// code page.
BOOL IsDBCSLeadByte(BYTE byte);

// System information and user interface.
BOOL GetVersionExA(OSVERSIONINFOEXA* info);
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);
BOOL ExitWindowsEx(UINT flags, DWORD reserved);

// Directories and files.
DWORD GetCurrentDirectoryA(DWORD size, char* buffer);
UINT GetWindowsDirectoryA(char* buffer, UINT size);
BOOL CopyFileA(const char* existing, const char* target, BOOL failIfExists);
BOOL DeleteFileA(const char* path);

// Registry.
LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result);
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access, HKEY* result);
LONG RegQueryInfoKeyA(HKEY key, char* className, DWORD* classNameSize, DWORD* reserved,
                      DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                      DWORD* maxValueNameLength, DWORD* maxValueLength,
                      DWORD* securityDescriptorSize, void* lastWriteTime);
LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD size);
LONG RegDeleteKeyA(HKEY key, const char* subKey);
LONG RegCloseKey(HKEY key);

// File output with the C runtime's stream calls' contract ("wb" files,
// fwrite's and fclose's results), and the process exit.
FileStream* FileOpen(const char* path, const char* mode);
std::size_t FileWrite(const void* data, std::size_t size, std::size_t count, FileStream* stream);
int FileClose(FileStream* stream);
// Runs the static destructors and exit handlers, then ends the process.
[[noreturn]] void ExitProcessWithCode(int code);

}  // namespace platform

#endif
