#include "platform/sim/named_systems.h"

#include "platform/sim/machine.h"

namespace platform::sim {

const std::vector<NamedSystem>& NamedSystems() {
    static const std::vector<NamedSystem> kSystems = {
        {"win95", "Windows 95", 4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS, "", false},
        {"win98", "Windows 98", 4, 10, 0x040A07CE, VER_PLATFORM_WIN32_WINDOWS, "", false},
        {"win98se", "Windows 98 SE", 4, 10, 0x040A08AE, VER_PLATFORM_WIN32_WINDOWS, " A ", false},
        {"winme", "Windows Me", 4, 90, 0x045A0BB8, VER_PLATFORM_WIN32_WINDOWS, "", false},
        // NT 4.0 is modelled with the old record only, like the 9x family.
        {"nt4", "Windows NT 4.0", 4, 0, 1381, VER_PLATFORM_WIN32_NT, "Service Pack 6", false},
        {"win2000", "Windows 2000", 5, 0, 2195, VER_PLATFORM_WIN32_NT, "Service Pack 4", true},
        {"xp", "Windows XP", 5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3", true},
        {"vista", "Windows Vista", 6, 0, 6000, VER_PLATFORM_WIN32_NT, "", true},
        {"win7", "Windows 7", 6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1", true},
        // Windows 10 tells a program without a compatibility manifest that it
        // is Windows 8 (6.2.9200), and Kestrow has no such manifest.
        {"win10", "Windows 10", 6, 2, 9200, VER_PLATFORM_WIN32_NT, "", true},
        // Win32s on Windows 3.1.
        {"win32s", "Win32s", 3, 10, 0, VER_PLATFORM_WIN32s, "", false},
    };
    return kSystems;
}

VersionRecord NamedSystem::Record() const {
    VersionRecord record;
    record.majorVersion = majorVersion;
    record.minorVersion = minorVersion;
    record.buildNumber = buildNumber;
    record.platformId = platformId;
    record.csdVersion = csdVersion;
    record.acceptedSizes = {OSVERSIONINFOA_SIZE};
    if (knowsExtendedRecord) record.acceptedSizes.push_back(OSVERSIONINFOEXA_SIZE);
    return record;
}

const NamedSystem* FindNamedSystem(std::string_view name) {
    for (const NamedSystem& system : NamedSystems()) {
        if (name == system.name) return &system;
    }
    return nullptr;
}

const NamedSystem* NamedSystemFor(const VersionRecord& record) {
    const std::string text = VersionText(record);
    for (const NamedSystem& system : NamedSystems()) {
        if (system.platformId == record.platformId && VersionText(system.Record()) == text) {
            return &system;
        }
    }
    return nullptr;
}

std::string VersionText(const VersionRecord& record) {
    unsigned long build = record.buildNumber;
    if (record.platformId == VER_PLATFORM_WIN32_WINDOWS) build &= 0xFFFF;
    return std::to_string(record.majorVersion) + "." + std::to_string(record.minorVersion) + "." +
           std::to_string(build);
}

std::string NamedSystemList() {
    std::string list;
    for (const NamedSystem& system : NamedSystems()) {
        if (!list.empty()) list += ", ";
        list += system.name;
    }
    return list;
}

}  // namespace platform::sim
