#include "sim/machine/recorded_version.h"

#include "sim/formats/machine_settings.h"

namespace kestrow_sim {

namespace {

std::string StringValue(const platform::sim::RegistryKey* key, const char* name) {
    if (key == nullptr) return "";
    const platform::sim::RegistryValue* value = key->FindValue(name);
    if (value == nullptr || value->type != platform::sim::REG_SZ_TYPE) return "";
    std::string text(value->data.begin(), value->data.end());
    std::size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    return text;
}

}  // namespace

RecordedVersion ReadRecordedVersion(platform::sim::RegistryTree& tree) {
    const platform::sim::RegistryKey* key = tree.FindFullPath(kCurrentVersionKey);
    return {StringValue(key, "Version"), StringValue(key, "VersionNumber"),
            StringValue(key, "SubVersionNumber")};
}

bool SystemForVersionNumber(const std::string& versionNumber, std::string* systemName,
                            platform::sim::VersionRecord* record) {
    platform::sim::VersionRecord parsed;
    std::string error;
    if (!ParseVersion(versionNumber, "windows", &parsed, &error)) return false;
    for (const char* name : {"win95", "win98", "win98se", "winme"}) {
        platform::sim::VersionRecord known;
        platform::sim::VersionRecordForSystem(name, &known);
        if (known.majorVersion == parsed.majorVersion &&
            known.minorVersion == parsed.minorVersion &&
            (known.buildNumber & 0xFFFF) == (parsed.buildNumber & 0xFFFF)) {
            *systemName = name;
            *record = known;
            return true;
        }
    }
    systemName->clear();
    *record = parsed;
    return true;
}

}  // namespace kestrow_sim
