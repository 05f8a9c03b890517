// The process entry point of Kestrow.exe, in place of the C runtime's
// start-up code, which brings thread-local storage, critical sections,
// pseudo-relocation processing, unwind tables and command-line splitting
// that this program never uses, and with them imports that a Windows 98
// loader must all find before the program can show anything.
//
// It does what the program needs of a start-up: the module handle, the
// static constructors (the application object) before WinMain, WinMain,
// and the exit path with WinMain's result: the exit handlers, which destroy
// the static objects, then the end of the process.
//
// No C runtime DLL is linked: the table of exit handlers is this file's own
// (atexit, exit); the platform layer's Windows side ends the process
// (_exit, platform/win32/platform_win32.cpp).
#include <cstddef>

#include "platform/platform.h"

extern "C" int __stdcall WinMain(platform::HINSTANCE instance, platform::HINSTANCE previous,
                                 char* commandTail, int showCommand);

namespace {

using StaticFunction = void (*)();

// SW_SHOWDEFAULT: the program shows no window of its own.
constexpr int SHOW_DEFAULT = 10;

// The framework finds the command-line tail itself (CWinApp::Run), from the
// same GetCommandLineA text, so WinMain gets an empty one rather than a
// second call to the system.
char g_noTail[] = "";

// The exit handlers, in the order registered. The compiler registers one for
// each static object with a destructor (the application object); 32 is the
// least the C standard asks a runtime to take.
constexpr std::size_t MAX_EXIT_HANDLERS = 32;
StaticFunction g_exitHandlers[MAX_EXIT_HANDLERS];
std::size_t g_exitHandlerCount = 0;

}  // namespace

extern "C" {

// Ends the process at once (platform/win32).
[[noreturn]] void _exit(int code);

// Set by the linker: the image's first byte, which is its module handle,
// and the list of static constructors, laid out as -1, the constructors,
// then a null entry.
extern char __ImageBase;
extern StaticFunction __CTOR_LIST__[];

// The compiler registers each static object's destructor with atexit. A
// full table refuses (-1), as the C standard allows.
int atexit(StaticFunction function) {
    if (g_exitHandlerCount == MAX_EXIT_HANDLERS) return -1;
    g_exitHandlers[g_exitHandlerCount++] = function;
    return 0;
}

// The exit path of the program and of platform::ExitProcessWithCode: the
// exit handlers, the last registered first (so the static objects are
// destroyed in the reverse order of their construction), then the end of
// the process with the code. A handler that calls exit() again does not run
// twice: each is taken off the table before it runs.
[[noreturn]] void exit(int code) {
    while (g_exitHandlerCount > 0) g_exitHandlers[--g_exitHandlerCount]();
    _exit(code);
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
