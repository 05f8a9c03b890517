#include "installer/installer_app.h"

#include "installer/os_type.h"

CInstallerApp::CInstallerApp()
    : CWinApp(nullptr),
      m_pszCmdTail(nullptr),
      m_pszShortDeviceId("VEN_8086&DEV_24CD"),
      m_pszFullDeviceId("VEN_8086&DEV_24CD&SUBSYS_24CD8086"),
      m_szCurDir{} {}

CInstallerApp::~CInstallerApp() = default;

bool CInstallerApp::StartUp() {
    Enable3dControls();
    m_pszCmdTail = m_lpCmdLine;
    GetOsType(&g_osType);
    if (g_osType == OS_WIN98SE || g_osType == OS_WINME) {
        RunInstallation();
    } else {
        ShowMessage("This program only for 9x-me !!", platform::MB_OK);
    }
    return false;
}
