// The process entry point of Kestrow.exe, in place of the C runtime's
// start-up code, which brings thread-local storage, critical sections,
// pseudo-relocation processing, unwind tables and command-line splitting
// that this program never uses, and with them imports that a Windows 98
// loader must all find before the program can show anything.
//
// It does what the program needs of a start-up: the module handle, the
// static constructors (the application object) before WinMain, WinMain,
// and the C runtime's exit path with WinMain's result: exit handlers and
// static destructors, then the C runtime's streams flushed and closed.
#include "platform/platform.h"

extern "C" int __stdcall WinMain(platform::HINSTANCE instance, platform::HINSTANCE previous,
                                 char* commandTail, int showCommand);

namespace {

using StaticFunction = void (*)();
using ExitHandler = int (*)();

// SW_SHOWDEFAULT: the program shows no window of its own.
constexpr int SHOW_DEFAULT = 10;

// The framework finds the command-line tail itself (CWinApp::Run), from the
// same GetCommandLineA text, so WinMain gets an empty one rather than a
// second call to the system.
char g_noTail[] = "";

}  // namespace

extern "C" {

// MSVCRT's exit path and its table of exit handlers, declared here rather
// than taken from <stdlib.h>, where only Windows' C runtime has _onexit.
[[noreturn]] void exit(int code);
ExitHandler _onexit(ExitHandler handler);

// Set by the linker: the image's first byte, which is its module handle,
// and the list of static constructors, laid out as -1, the constructors,
// then a null entry.
extern char __ImageBase;
extern StaticFunction __CTOR_LIST__[];

// The compiler registers each static object's destructor with atexit. The C
// runtime DLL's own table of exit handlers, which its exit() runs, is filled
// through _onexit (which ignores what a handler returns); the C runtime's
// start-up code that this entry point replaces would otherwise provide
// atexit.
int atexit(StaticFunction function) {
    return _onexit(reinterpret_cast<ExitHandler>(function)) != nullptr ? 0 : -1;
}

// The linker's entry point. It never returns: exit() ends the process. The
// loader's stack may be aligned to 4 bytes only.
__attribute__((force_align_arg_pointer, noreturn)) void ProcessEntry() {
    std::size_t count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
    // The last registered first, as the C runtime runs them.
    for (std::size_t i = count; i > 0; --i) __CTOR_LIST__[i]();

    auto* instance = reinterpret_cast<platform::HINSTANCE>(&__ImageBase);
    exit(WinMain(instance, nullptr, g_noTail, SHOW_DEFAULT));
}

}  // extern "C"
