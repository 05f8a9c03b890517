#include <cstring>

#include "installer/installer_app.h"
#include "installer/installer_paths.h"
#include "platform/platform.h"

namespace {

using installer::DRIVER_FILES;
using installer::DriverFile;
using installer::MARKER_CONTENTS;
using installer::MARKER_PATH;
using installer::PCI_ENUM_KEY;

const char UNATTENDED_TAIL[] = "-s -f2\"c:\\csb.log\"";

}  // namespace

void CInstallerApp::RunInstallation() {
    // Every copy is tried, so that all files that can be placed are; the
    // registry is touched only when all three are in place, because a
    // deleted controller key without the new INF file would have Windows
    // enumerate the controller with the old driver.
    bool allPlaced = true;
    for (const DriverFile& file : DRIVER_FILES) {
        if (!PlaceDriverFile(file.destSuffix, file.sourceSuffix)) allPlaced = false;
    }
    if (!allPlaced) {
        ShowMessage("Copy driver file fail !!", platform::MB_OK);
        platform::ExitProcessWithCode(0);
    }

    if (!FindControllerKey()) {
        ShowMessage("Get del key fail !!", platform::MB_OK);
        platform::ExitProcessWithCode(0);
    }

    platform::HKEY key = nullptr;
    if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, PCI_ENUM_KEY, 0,
                                platform::KEY_ALL_ACCESS, &key) != 0) {
        ShowMessage("Open Key Fail!!", platform::MB_OK);
        platform::ExitProcessWithCode(0);
    }
    if (platform::RegDeleteKeyA(key, m_strControllerKey) != 0) {
        ShowMessage("Delete Key Fail!!", platform::MB_OK);
        platform::RegCloseKey(key);
        platform::ExitProcessWithCode(0);
    }
    platform::RegCloseKey(key);

    if (m_pszCmdTail != nullptr && std::strcmp(m_pszCmdTail, UNATTENDED_TAIL) == 0) {
        WriteSilentMarker();
        platform::ExitProcessWithCode(0);
    }

    int answer = ShowMessage("Install finished,You need to reboot !!",
                             platform::MB_OKCANCEL | platform::MB_ICONEXCLAMATION);
    if (answer == platform::IDOK) {
        platform::ExitWindowsEx(platform::EWX_REBOOT, 0);
    } else if (answer == platform::IDCANCEL) {
        platform::ExitProcessWithCode(0);
    }
}

void CInstallerApp::WriteSilentMarker() {
    platform::DeleteFileA(MARKER_PATH);
    platform::FileStream* stream = platform::FileOpen(MARKER_PATH, "wb");
    if (stream == nullptr) return;
    const std::size_t length = std::strlen(MARKER_CONTENTS);
    std::size_t written = platform::FileWrite(MARKER_CONTENTS, 1, length, stream);
    int closed = platform::FileClose(stream);
    // A deployment tool reads the marker's presence as success: a marker
    // that did not get all ten bytes is removed rather than left behind.
    if (written != length || closed != 0) platform::DeleteFileA(MARKER_PATH);
}
