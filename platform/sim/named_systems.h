// The systems a simulated machine can be, by name (win98se, winme, ...):
// the version record each one's real counterpart reports, and how a person
// calls it. machine.ini's system=, --system, the report and the version a
// registry records all read this one table.
#ifndef KESTROW_PLATFORM_SIM_NAMED_SYSTEMS_H
#define KESTROW_PLATFORM_SIM_NAMED_SYSTEMS_H

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform::sim {

struct VersionRecord;

struct NamedSystem {
    const char* name;         // win98se
    const char* description;  // Windows 98 SE
    DWORD majorVersion;
    DWORD minorVersion;
    // The 95/98/Me family carries the version in the build field's high
    // word (major, minor) and the build in its low word.
    DWORD buildNumber;
    DWORD platformId;
    const char* csdVersion;
    bool knowsExtendedRecord;  // accepts OSVERSIONINFOEXA besides OSVERSIONINFOA

    // The record GetVersionExA gives on this system.
    VersionRecord Record() const;
};

// Every named system, the 95/98/Me family first.
const std::vector<NamedSystem>& NamedSystems();
// By name, exactly as the table spells it; null for any other name.
const NamedSystem* FindNamedSystem(std::string_view name);
// The named system whose record has this platform and version text; null
// when none has.
const NamedSystem* NamedSystemFor(const VersionRecord& record);
// "4.10.2222": major.minor.build, where the 95/98/Me family's build is the
// build field's low word.
std::string VersionText(const VersionRecord& record);
// "win95, win98, ..., win32s", for messages.
std::string NamedSystemList();

}  // namespace platform::sim

#endif
