#include <cstring>

#include "installer/installer_app.h"
#include "platform/platform.h"

namespace {

// Room for a directory of up to MAX_PATH characters and the longest suffix.
constexpr std::size_t PATH_BUFFER_SIZE = platform::MAX_PATH + 64;

// dir + suffix into out; false when it does not fit.
bool JoinPath(char* out, const char* dir, const char* suffix) {
    std::size_t dirLength = std::strlen(dir);
    std::size_t suffixLength = std::strlen(suffix);
    if (dirLength + suffixLength + 1 > PATH_BUFFER_SIZE) return false;
    std::memcpy(out, dir, dirLength);
    std::memcpy(out + dirLength, suffix, suffixLength);
    out[dirLength + suffixLength] = '\0';
    return true;
}

}  // namespace

bool CInstallerApp::PlaceDriverFile(const char* destSuffix, const char* sourceSuffix) {
    // A directory that does not fit the field (the platform then reports the
    // length it needs, 50 or more) or cannot be read (0) is no source: never
    // copy from what the field held before, nor from the drive's root.
    platform::DWORD curLength = platform::GetCurrentDirectoryA(CUR_DIR_FIELD_SIZE, m_szCurDir);
    if (curLength == 0 || curLength >= CUR_DIR_FIELD_SIZE) return false;
    char source[PATH_BUFFER_SIZE];
    if (!JoinPath(source, m_szCurDir, sourceSuffix)) return false;

    char windowsDir[platform::MAX_PATH];
    platform::UINT winLength = platform::GetWindowsDirectoryA(windowsDir, platform::MAX_PATH);
    if (winLength == 0 || winLength >= platform::MAX_PATH) return false;
    char destination[PATH_BUFFER_SIZE];
    if (!JoinPath(destination, windowsDir, destSuffix)) return false;

    return platform::CopyFileA(source, destination, 0) != 0;
}
