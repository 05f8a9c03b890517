// The installer's application object: all of the run's state, the start-up
// hook with the operating-system gate, and the installation steps.
#ifndef KESTROW_INSTALLER_INSTALLER_APP_H
#define KESTROW_INSTALLER_INSTALLER_APP_H

#include "framework/cstring.h"
#include "framework/cwinapp.h"

class CInstallerApp : public CWinApp {
public:
    CInstallerApp();
    ~CInstallerApp() override;

    // Classifies the system; on Windows 98 SE and Windows Me runs the
    // installation, elsewhere shows the refusal. Returns false on every path.
    bool StartUp() override;

    // Places the driver files, deletes the controller's enumeration key, and
    // ends with the marker file (unattended) or the restart prompt. Either
    // returns to StartUp or ends the process with exit code 0.
    void RunInstallation();

    // Copies <current directory><sourceSuffix> to <Windows directory>
    // <destSuffix>, replacing an existing file. Returns whether the file was
    // copied.
    bool PlaceDriverFile(const char* destSuffix, const char* sourceSuffix);

    // Looks below HKEY_LOCAL_MACHINE\Enum\PCI for the first subkey whose name
    // contains the controller's device ID and keeps its name in
    // m_strControllerKey. Shows its own message on a registry failure.
    bool FindControllerKey();

    // Writes the unattended run's marker file, c:\csb.log.
    void WriteSilentMarker();

    const char* GetControllerKey() const { return m_strControllerKey; }
    const char* GetCurrentDirectoryField() const { return m_szCurDir; }

    // The current directory must fit this field, terminator included.
    static constexpr unsigned CUR_DIR_FIELD_SIZE = 50;

private:
    const char* m_pszCmdTail;
    CString m_strControllerKey;
    const char* m_pszShortDeviceId;
    const char* m_pszFullDeviceId;
    char m_szCurDir[CUR_DIR_FIELD_SIZE];
};

#endif
