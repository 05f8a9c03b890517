// The platform operations on real Windows: each passes straight to the ANSI
// Win32 API or to MSVCRT, with the caller's arguments unchanged.
//
// platform.h comes first: several of its constants are macros in
// <windows.h>. Below the include of <windows.h> those names are never used;
// the handle values and flags are the same numbers on both sides.
#include "platform/platform.h"

#include <stdio.h>
#include <stdlib.h>
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

FileStream* FileOpen(const char* path, const char* mode) {
    return reinterpret_cast<FileStream*>(::fopen(path, mode));
}

std::size_t FileWrite(const void* data, std::size_t size, std::size_t count, FileStream* stream) {
    return ::fwrite(data, size, count, reinterpret_cast<::FILE*>(stream));
}

int FileClose(FileStream* stream) { return ::fclose(reinterpret_cast<::FILE*>(stream)); }

void ExitProcessWithCode(int code) { ::exit(code); }

}  // namespace platform
