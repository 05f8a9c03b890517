// The Windows entry point of Kestrow.exe. The C runtime calls it after the
// static constructors have run; its return value becomes the exit code.
#include "framework/cwinapp.h"

extern "C" int __stdcall WinMain(platform::HINSTANCE instance, platform::HINSTANCE, char*, int) {
    return AfxWinMain(instance);
}
