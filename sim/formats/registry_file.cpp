#include "sim/formats/registry_file.h"

#include "sim/formats/creg_reader.h"
#include "sim/formats/regedit4.h"
#include "sim/host/bounded_read.h"

namespace kestrow_sim {

const char* RegistryFormatName(RegistryFormat format) {
    return format == RegistryFormat::Creg ? "Windows registry file (CREG)" : "REGEDIT4";
}

bool ReadRegistryFile(const std::string& path, platform::sim::RegistryTree* tree,
                      RegistryFormat* format, std::string* error) {
    // Looked at before it is opened: a named pipe given as the registry
    // would block the read forever, and a device may never end.
    BoundedFile file;
    std::string message;
    if (!file.Open(path, std::string(), &message)) {
        *error = path + ": " + message + "; a registry file must be a regular file";
        return false;
    }
    std::string bytes;
    if (!file.ReadSome(4, &bytes, &message)) {
        *error = path + ": " + message;
        return false;
    }
    if (!HasCregSignature(bytes)) {
        file.Close();
        *format = RegistryFormat::Regedit4;
        Regedit4Error registryError;
        if (!ReadRegedit4File(path, tree, &registryError)) {
            *error = registryError.Format(path);
            return false;
        }
        return true;
    }
    *format = RegistryFormat::Creg;
    if (file.Size() > kMaxCregFileBytes) {
        *error = path + ": " + CregTooLargeText(file.Size());
        return false;
    }
    if (!file.ReadRest(kMaxCregFileBytes, &bytes, &message)) {
        *error = path + ": " + message;
        return false;
    }
    file.Close();
    if (!ReadCreg(std::move(bytes), tree, &message)) {
        *error = path + ": " + message;
        return false;
    }
    return true;
}

}  // namespace kestrow_sim
