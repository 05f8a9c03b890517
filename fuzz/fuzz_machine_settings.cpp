// The machine settings reader (machine.ini) on any text. The reader has no
// code page of its own, so the whole input is the file.
//
// Checked: the same text always gives the same answer; a failed parse
// leaves the settings as they were and says where; a successful one gives
// settings that keep the promises the format makes (known code page, full
// Windows paths, one upper-case letter per drive, a folder for each drive).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "platform/sim/code_page.h"
#include "sim/formats/machine_settings.h"

using kestrow_sim::DriveSetting;
using kestrow_sim::MachineSettings;

namespace {

const std::string kFileName = "machine.ini";
const std::string kBaseFolder = "/machines/fuzz";

bool SameVersion(const platform::sim::VersionRecord& a, const platform::sim::VersionRecord& b) {
    return a.majorVersion == b.majorVersion && a.minorVersion == b.minorVersion &&
           a.buildNumber == b.buildNumber && a.platformId == b.platformId &&
           a.csdVersion == b.csdVersion && a.acceptedSizes == b.acceptedSizes;
}

bool SameSettings(const MachineSettings& a, const MachineSettings& b) {
    if (a.drives.size() != b.drives.size()) return false;
    for (std::size_t i = 0; i < a.drives.size(); ++i) {
        const DriveSetting& x = a.drives[i];
        const DriveSetting& y = b.drives[i];
        if (x.letter != y.letter || x.hostFolder != y.hostFolder || x.readOnly != y.readOnly ||
            x.origin != y.origin) {
            return false;
        }
    }
    const std::pair<const kestrow_sim::SettingOrigin*, const kestrow_sim::SettingOrigin*>
        origins[] = {{&a.codePageOrigin, &b.codePageOrigin},
                     {&a.currentDirectoryOrigin, &b.currentDirectoryOrigin},
                     {&a.windowsDirectoryOrigin, &b.windowsDirectoryOrigin}};
    for (const auto& [x, y] : origins) {
        if (x->Describe(kFileName) != y->Describe(kFileName)) return false;
    }
    return a.systemName == b.systemName && SameVersion(a.version, b.version) &&
           a.versionGiven == b.versionGiven && a.codePage == b.codePage &&
           a.currentDirectory == b.currentDirectory && a.windowsDirectory == b.windowsDirectory &&
           a.program == b.program;
}

// Settings no parse would produce, to see whether a failed parse wrote to them.
MachineSettings Untouched() {
    MachineSettings settings;
    settings.systemName = "untouched";
    settings.codePage = 1;
    settings.currentDirectory = "untouched";
    settings.drives.push_back(DriveSetting{'Q', "untouched", true, "untouched"});
    return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrow_fuzz::ExactBytes text = kestrow_fuzz::ExactBytes::Text(data, size);

    MachineSettings settings = Untouched();
    std::string error;
    bool parsed =
        kestrow_sim::ParseMachineSettings(text.view(), kFileName, kBaseFolder, &settings, &error);

    MachineSettings again = Untouched();
    std::string againError;
    bool parsedAgain =
        kestrow_sim::ParseMachineSettings(text.view(), kFileName, kBaseFolder, &again, &againError);
    FUZZ_REQUIRE(parsed == parsedAgain && error == againError && SameSettings(settings, again));

    if (!parsed) {
        FUZZ_REQUIRE(SameSettings(settings, Untouched()));
        FUZZ_REQUIRE(error.compare(0, kFileName.size() + 1, kFileName + ":") == 0);
        FUZZ_REQUIRE(error.size() > kFileName.size() + 2);
        return 0;
    }

    FUZZ_REQUIRE(platform::sim::CodePage::IsKnown(settings.codePage));
    FUZZ_REQUIRE(settings.currentDirectory.empty() ||
                 kestrow_sim::IsAbsoluteWindowsPath(settings.currentDirectory));
    FUZZ_REQUIRE(kestrow_sim::IsAbsoluteWindowsPath(settings.windowsDirectory));
    FUZZ_REQUIRE(settings.program.empty() || kestrow_sim::IsAbsoluteWindowsPath(settings.program));
    if (!settings.systemName.empty()) {
        platform::sim::VersionRecord named;
        FUZZ_REQUIRE(platform::sim::VersionRecordForSystem(settings.systemName, &named));
        FUZZ_REQUIRE(SameVersion(named, settings.version) && settings.versionGiven);
    }
    bool letterSeen[26] = {};
    for (const DriveSetting& drive : settings.drives) {
        FUZZ_REQUIRE(drive.letter >= 'A' && drive.letter <= 'Z');
        FUZZ_REQUIRE(!letterSeen[drive.letter - 'A']);
        letterSeen[drive.letter - 'A'] = true;
        FUZZ_REQUIRE(!drive.hostFolder.empty());
        FUZZ_REQUIRE(drive.origin.compare(0, kFileName.size() + 1, kFileName + ":") == 0);
    }

    std::string checkError;
    if (!kestrow_sim::CheckMachineSettings(settings, kFileName, &checkError)) {
        FUZZ_REQUIRE(!checkError.empty());
    }
    return 0;
}
