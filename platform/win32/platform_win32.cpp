// The platform operations on real Windows: each passes straight to the ANSI
// Win32 API, with the caller's arguments unchanged; the marker file's stream
// output and the process exit, which platform.h names after the C runtime's,
// are done with the kernel's own calls.
//
// Kestrow.exe links no C runtime DLL (the first Windows 95 releases and
// Windows NT 3.51 have no msvcrt.dll, and their loader would refuse the
// program before it could show its own refusal). Besides the operations of platform.h this
// file therefore holds the parts of the C library that need the kernel: the
// heap behind malloc and free, and _exit, which ends the process. The
// framework holds the rest (process_entry.cpp: atexit and exit; the string
// routines in string_routines.cpp).
//
// platform.h comes first: several of its constants are macros in
// <windows.h>. Below the include of <windows.h> those names are never used;
// the handle values and flags are the same numbers on both sides.
#include "platform/platform.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace platform {

namespace {

::HKEY Native(HKEY key) { return reinterpret_cast<::HKEY>(key); }
::HKEY* Native(HKEY* key) { return reinterpret_cast<::HKEY*>(key); }
::HWND Native(HWND window) { return reinterpret_cast<::HWND>(window); }
::HINSTANCE Native(HINSTANCE instance) { return reinterpret_cast<::HINSTANCE>(instance); }
::DWORD* Native(DWORD* value) { return reinterpret_cast<::DWORD*>(value); }

}  // namespace

char* GetCommandLineA() { return ::GetCommandLineA(); }
UINT SetErrorMode(UINT mode) { return ::SetErrorMode(mode); }

DWORD GetModuleFileNameA(HINSTANCE module, char* buffer, DWORD size) {
    return ::GetModuleFileNameA(Native(module), buffer, size);
}

int LoadStringA(HINSTANCE instance, UINT id, char* buffer, int size) {
    return ::LoadStringA(Native(instance), id, buffer, size);
}

HWND GetActiveWindow() { return reinterpret_cast<HWND>(::GetActiveWindow()); }
BOOL IsDBCSLeadByte(BYTE byte) { return ::IsDBCSLeadByte(byte); }

BOOL GetVersionExA(OSVERSIONINFOEXA* info) {
    return ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(info));
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
    return ::MessageBoxA(Native(owner), text, caption, type);
}

BOOL ExitWindowsEx(UINT flags, DWORD reserved) { return ::ExitWindowsEx(flags, reserved); }

DWORD GetCurrentDirectoryA(DWORD size, char* buffer) {
    return ::GetCurrentDirectoryA(size, buffer);
}
UINT GetWindowsDirectoryA(char* buffer, UINT size) { return ::GetWindowsDirectoryA(buffer, size); }

BOOL CopyFileA(const char* existing, const char* target, BOOL failIfExists) {
    return ::CopyFileA(existing, target, failIfExists);
}

BOOL DeleteFileA(const char* path) { return ::DeleteFileA(path); }

LONG RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) {
    return ::RegOpenKeyA(Native(key), subKey, Native(result));
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, DWORD access, HKEY* result) {
    return ::RegOpenKeyExA(Native(key), subKey, options, access, Native(result));
}

LONG RegQueryInfoKeyA(HKEY key, char* className, DWORD* classNameSize, DWORD* reserved,
                      DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                      DWORD* maxValueNameLength, DWORD* maxValueLength,
                      DWORD* securityDescriptorSize, void* lastWriteTime) {
    return ::RegQueryInfoKeyA(Native(key), className, Native(classNameSize), Native(reserved),
                              Native(subKeys), Native(maxSubKeyLength), Native(maxClassLength),
                              Native(values), Native(maxValueNameLength), Native(maxValueLength),
                              Native(securityDescriptorSize),
                              static_cast<::FILETIME*>(lastWriteTime));
}

LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD size) {
    return ::RegEnumKeyA(Native(key), index, name, size);
}

LONG RegDeleteKeyA(HKEY key, const char* subKey) { return ::RegDeleteKeyA(Native(key), subKey); }
LONG RegCloseKey(HKEY key) { return ::RegCloseKey(Native(key)); }

// The stream is the kernel's file handle. Only the mode the program uses,
// "wb", is taken: the file is created, or truncated when it exists
// (CREATE_ALWAYS), for writing, shared as the C runtime's fopen shares it.
// Every write goes straight to the file, unbuffered and untranslated, as one
// WriteFile call. Any other mode fails, as an invalid one does with fopen.
FileStream* FileOpen(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr || ::strcmp(mode, "wb") != 0) return nullptr;
    ::HANDLE file = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<FileStream*>(file);
}

// As fwrite: the number of whole items written; 0 for nothing to write, for
// a size * count that does not fit, and when WriteFile fails.
std::size_t FileWrite(const void* data, std::size_t size, std::size_t count, FileStream* stream) {
    if (size == 0 || count == 0 || count > MAXDWORD / size) return 0;
    ::DWORD written = 0;
    if (!::WriteFile(reinterpret_cast<::HANDLE>(stream), data, static_cast<::DWORD>(size * count),
                     &written, nullptr)) {
        return 0;
    }
    return written / size;
}

// As fclose: 0, or -1 (EOF) when the handle could not be closed.
int FileClose(FileStream* stream) {
    return ::CloseHandle(reinterpret_cast<::HANDLE>(stream)) ? 0 : -1;
}

// exit() is the framework's (process_entry.cpp): it runs the exit handlers,
// which destroy the static objects, and then ends the process with _exit.
void ExitProcessWithCode(int code) { ::exit(code); }

}  // namespace platform

// --- The C library's heap and process end, on the kernel ------------------------

extern "C" {

// The process's own heap, which every Win32 system has from the start.
void* malloc(std::size_t size) { return ::HeapAlloc(::GetProcessHeap(), 0, size); }

void free(void* block) {
    if (block != nullptr) ::HeapFree(::GetProcessHeap(), 0, block);
}

// Ends the process at once, without exit handlers: the last step of exit().
void _exit(int code) { ::ExitProcess(static_cast<::UINT>(code)); }

}  // extern "C"
