#include "sim/machine/recorded_version.h"

#include "platform/sim/named_systems.h"
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
    // Parsed as the 95/98/Me family's, so only one of that family matches.
    if (const platform::sim::NamedSystem* known = platform::sim::NamedSystemFor(parsed)) {
        *systemName = known->name;
        *record = known->Record();
        return true;
    }
    systemName->clear();
    *record = parsed;
    return true;
}

}  // namespace kestrow_sim
