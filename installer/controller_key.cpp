#include "installer/dbcs_search.h"
#include "installer/installer_app.h"
#include "installer/installer_paths.h"
#include "platform/platform.h"

namespace {

using installer::PCI_ENUM_KEY;

// Subkey names are read into this buffer; one byte less is offered, so a
// name of 255 characters does not fit and its read fails.
constexpr platform::DWORD NAME_BUFFER_SIZE = 256;
constexpr platform::DWORD NAME_SIZE_OFFERED = 255;

}  // namespace

bool CInstallerApp::FindControllerKey() {
    platform::HKEY key = nullptr;
    if (platform::RegOpenKeyA(platform::HKEY_LOCAL_MACHINE, PCI_ENUM_KEY, &key) != 0) {
        ShowMessage("Get keyCount fail !!", platform::MB_OK);
        return false;
    }
    // A failed query leaves the count 0, which the loop below then treats as
    // an empty key.
    platform::DWORD subkeyCount = 0;
    platform::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeyCount, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr);
    platform::RegCloseKey(key);

    if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, PCI_ENUM_KEY, 0,
                                platform::KEY_ALL_ACCESS, &key) != 0) {
        ShowMessage("Open key fail !!", platform::MB_OK);
        return false;
    }
    for (platform::DWORD index = 0; index < subkeyCount; ++index) {
        char name[NAME_BUFFER_SIZE] = {0};
        if (platform::RegEnumKeyA(key, index, name, NAME_SIZE_OFFERED) != 0) {
            ShowMessage("Enum Key Fail !!", platform::MB_OK);
            platform::RegCloseKey(key);
            return false;
        }
        if (FindDbcsSubstring(name, m_pszFullDeviceId) != nullptr ||
            FindDbcsSubstring(name, m_pszShortDeviceId) != nullptr) {
            m_strControllerKey = name;
            platform::RegCloseKey(key);
            return true;
        }
    }
    platform::RegCloseKey(key);
    return false;
}
