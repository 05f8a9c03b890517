#include "installer/os_type.h"

#include <cstring>

#include "platform/platform.h"

OsType g_osType = OS_UNKNOWN;

namespace {

// The 9x family keeps the version in the high word of the build number;
// only the low word is the build.
constexpr platform::DWORD WIN98SE_BUILD = 2222;
// On the NT family the whole field is the build; Windows 2000 shipped below
// this line and Windows XP above it.
constexpr platform::DWORD NT5_BUILD_LINE = 2222;

void ShowPlainBox(const char* title) {
    platform::MessageBoxA(nullptr, "Message", title, platform::MB_OK);
}

}  // namespace

int GetOsType(OsType* out) {
    platform::OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = platform::OSVERSIONINFOEXA_SIZE;
    if (!platform::GetVersionExA(&info)) {
        // Windows 95, 98, Me and NT 4.0 know only the older, shorter record.
        info.dwOSVersionInfoSize = platform::OSVERSIONINFOA_SIZE;
        if (!platform::GetVersionExA(&info)) {
            ShowPlainBox("Check OS type Error !");
            return 0;
        }
    }

    *out = OS_UNKNOWN;
    switch (info.dwPlatformId) {
        case platform::VER_PLATFORM_WIN32s:
            *out = OS_WIN32S;
            return 1;
        case platform::VER_PLATFORM_WIN32_WINDOWS:
            if (info.dwMajorVersion > 4 || (info.dwMajorVersion == 4 && info.dwMinorVersion != 0)) {
                platform::DWORD build = info.dwBuildNumber & 0xFFFF;
                *out = OS_WIN98;
                if (build > WIN98SE_BUILD) {
                    *out = OS_WINME;
                } else if (build == WIN98SE_BUILD) {
                    *out = OS_WIN98SE;
                }
            } else {
                *out = OS_WIN95;
            }
            return 1;
        case platform::VER_PLATFORM_WIN32_NT:
            if (info.dwMajorVersion <= 4) {
                *out = OS_WINNT4;
            } else if (info.dwMajorVersion == 5) {
                *out = info.dwBuildNumber <= NT5_BUILD_LINE ? OS_WIN2000 : OS_WINXP;
            }
            return 1;
        default:
            *out = OS_UNKNOWN;
            ShowPlainBox("Unknown OS type !");
            return 0;
    }
}
