// machine.ini: what a simulated machine is, in a few lines of INI text.
//
//   [machine]
//   system=win98se               ; a named system, or instead:
//   ; version=4.10.2222          ; major.minor.build, with
//   ; platform=windows           ; windows, nt or win32s
//   codepage=1252
//   current_directory=C:\DRV
//   windows_directory=C:\WINDOWS
//   program=C:\DRV\KESTROW.EXE   ; default: current_directory\KESTROW.EXE
//   [drives]
//   C=drive_c                    ; relative to the machine folder, or absolute
//   D=/mnt/win98,readonly
//
// Section and key names ignore letter case; values are taken as written,
// without the blanks around them. A key given twice with the same value is
// fine, with different values it is an error.
#ifndef KESTROW_SIM_FORMATS_MACHINE_SETTINGS_H
#define KESTROW_SIM_FORMATS_MACHINE_SETTINGS_H

#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/machine.h"

namespace kestrow_sim {

struct DriveSetting {
    char letter = 'C';  // upper case
    std::string hostFolder;
    bool readOnly = false;
    std::string origin;  // where it was given, e.g. "machine.ini:12" or "--drive"
};

// Where a setting came from: the settings file (at a line), an option of
// the command line, or neither (the default).
struct SettingOrigin {
    enum class Source { kDefault, kSettingsFile, kOption };
    Source source = Source::kDefault;
    std::size_t line = 0;  // with kSettingsFile
    std::string option;    // with kOption, e.g. "--cwd"

    // "machine.ini:4", "--cwd", or "" for the default.
    std::string Describe(const std::string& settingsFile) const;
};

struct MachineSettings {
    // The named system, or empty when the version was given as numbers.
    std::string systemName;
    platform::sim::VersionRecord version;
    bool versionGiven = false;
    unsigned codePage = 1252;
    SettingOrigin codePageOrigin;
    std::string currentDirectory;
    SettingOrigin currentDirectoryOrigin;
    std::string windowsDirectory = "C:\\WINDOWS";
    SettingOrigin windowsDirectoryOrigin;
    std::string program;  // empty: current_directory\KESTROW.EXE
    std::vector<DriveSetting> drives;
};

// Parses settings text. fileName is used in messages ("machine.ini:7: ...");
// relative drive folders are taken relative to baseFolder.
bool ParseMachineSettings(std::string_view text, const std::string& fileName,
                          const std::string& baseFolder, MachineSettings* settings,
                          std::string* error);

// Reads and parses the file at a host path.
bool ReadMachineSettings(const std::string& path, MachineSettings* settings, std::string* error);

// Parses a version given as numbers ("4.10.2222") for a platform name
// (windows, nt, win32s) into a version record.
bool ParseVersion(std::string_view version, std::string_view platformName,
                  platform::sim::VersionRecord* record, std::string* error);

// Checks that the settings describe a machine that can run: a system, a
// current directory, and a drive for the current and the Windows directory.
// settingsName names where they came from, for messages.
bool CheckMachineSettings(const MachineSettings& settings, const std::string& settingsName,
                          std::string* error);

// "C:\DRV" style: a drive letter, a colon and a backslash.
bool IsAbsoluteWindowsPath(std::string_view path);

}  // namespace kestrow_sim

#endif
