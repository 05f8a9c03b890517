// Every operation of platform/platform.h, in the order it declares them, as
// one table. The simulated machine makes from it the Operation enum, the
// operations' names, the members of Machine::Impl and the free functions
// that forward to them, and how the call log shows each call. A new
// operation is one row here, its declaration in platform/platform.h (the
// Windows build reads that one) and its member in operations.cpp.
//
// Each row is
//   X(ReturnType, Name, (parameters), (arguments), Layout(textArguments, textResult, textOutput))
// where the parameters are written as platform/platform.h writes them, the
// arguments are the parameters' names, and the layout says which of the
// call's logged texts are shown quoted: bit i of textArguments for argument
// i, and whether the result or the output is a text. An operation that
// never returns ([[noreturn]]) is a row of NoReturn instead of X, with the
// same columns, since what is made from it differs (a forwarding function
// that returns nothing).
//
// Only for files of platform/sim; the names inside the rows are those of
// namespace platform.
#ifndef KESTROW_PLATFORM_SIM_OPERATION_LIST_H
#define KESTROW_PLATFORM_SIM_OPERATION_LIST_H

// clang-format off
#define KESTROW_PLATFORM_OPERATIONS(X, NoReturn)                                                   \
    /* Process start-up and the framework's needs. */                                              \
    X(char*, GetCommandLineA, (), (), Layout(0, true, false))                                      \
    X(UINT, SetErrorMode, (UINT mode), (mode), Layout(0, false, false))                            \
    X(DWORD, GetModuleFileNameA, (HINSTANCE module, char* buffer, DWORD size),                     \
      (module, buffer, size), Layout(0, false, true))                                              \
    X(int, LoadStringA, (HINSTANCE instance, UINT id, char* buffer, int size),                     \
      (instance, id, buffer, size), Layout(0, false, true))                                        \
    X(HWND, GetActiveWindow, (), (), Layout(0, false, false))                                      \
    X(BOOL, IsDBCSLeadByte, (BYTE byte), (byte), Layout(0, false, false))                          \
    /* System information and user interface. */                                                   \
    X(BOOL, GetVersionExA, (OSVERSIONINFOEXA* info), (info), Layout(0, false, false))              \
    X(int, MessageBoxA, (HWND owner, const char* text, const char* caption, UINT type),            \
      (owner, text, caption, type), Layout(0b0110, false, false))                                  \
    X(BOOL, ExitWindowsEx, (UINT flags, DWORD reserved), (flags, reserved),                        \
      Layout(0, false, false))                                                                     \
    /* Directories and files. */                                                                   \
    X(DWORD, GetCurrentDirectoryA, (DWORD size, char* buffer), (size, buffer),                     \
      Layout(0, false, true))                                                                      \
    X(UINT, GetWindowsDirectoryA, (char* buffer, UINT size), (buffer, size),                       \
      Layout(0, false, true))                                                                      \
    X(BOOL, CopyFileA, (const char* existing, const char* target, BOOL failIfExists),              \
      (existing, target, failIfExists), Layout(0b0011, false, false))                              \
    X(BOOL, DeleteFileA, (const char* path), (path), Layout(0b0001, false, false))                 \
    /* Registry. */                                                                                \
    X(LONG, RegOpenKeyA, (HKEY key, const char* subKey, HKEY* result), (key, subKey, result),      \
      Layout(0b0010, false, false))                                                                \
    X(LONG, RegOpenKeyExA,                                                                         \
      (HKEY key, const char* subKey, DWORD options, DWORD access, HKEY* result),                   \
      (key, subKey, options, access, result), Layout(0b0010, false, false))                        \
    X(LONG, RegQueryInfoKeyA,                                                                      \
      (HKEY key, char* className, DWORD* classNameSize, DWORD* reserved, DWORD* subKeys,           \
       DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values, DWORD* maxValueNameLength,    \
       DWORD* maxValueLength, DWORD* securityDescriptorSize, void* lastWriteTime),                 \
      (key, className, classNameSize, reserved, subKeys, maxSubKeyLength, maxClassLength,          \
       values, maxValueNameLength, maxValueLength, securityDescriptorSize, lastWriteTime),         \
      Layout(0, false, false))                                                                     \
    X(LONG, RegEnumKeyA, (HKEY key, DWORD index, char* name, DWORD size),                          \
      (key, index, name, size), Layout(0, false, true))                                            \
    X(LONG, RegDeleteKeyA, (HKEY key, const char* subKey), (key, subKey),                          \
      Layout(0b0010, false, false))                                                                \
    X(LONG, RegCloseKey, (HKEY key), (key), Layout(0, false, false))                               \
    /* The C runtime's stream output and process exit. */                                          \
    X(FileStream*, FileOpen, (const char* path, const char* mode), (path, mode),                   \
      Layout(0b0011, false, false))                                                                \
    X(std::size_t, FileWrite,                                                                      \
      (const void* data, std::size_t size, std::size_t count, FileStream* stream),                 \
      (data, size, count, stream), Layout(0b0001, false, false))                                   \
    X(int, FileClose, (FileStream* stream), (stream), Layout(0, false, false))                     \
    NoReturn(void, ExitProcessWithCode, (int code), (code), Layout(0, false, false))
// clang-format on

#endif
