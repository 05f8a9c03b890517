// WinMain of Kestrow.exe. The process entry point (process_entry.cpp) calls
// it after the static constructors have run; its return value becomes the
// exit code.
#include "framework/cwinapp.h"

extern "C" int __stdcall WinMain(platform::HINSTANCE instance, platform::HINSTANCE, char*, int) {
    return AfxWinMain(instance);
}
