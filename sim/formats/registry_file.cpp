#include "sim/formats/registry_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/formats/creg_reader.h"
#include "sim/formats/regedit4.h"

namespace kestrow_sim {

const char* RegistryFormatName(RegistryFormat format) {
    return format == RegistryFormat::Creg ? "Windows registry file (CREG)" : "REGEDIT4";
}

bool ReadRegistryFile(const std::string& path, platform::sim::RegistryTree* tree,
                      RegistryFormat* format, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be opened: " + std::strerror(errno);
        return false;
    }
    char signature[4] = {};
    in.read(signature, sizeof signature);
    if (!kestrow_sim::HasCregSignature(std::string_view(signature, in.gcount()))) {
        in.close();
        *format = RegistryFormat::Regedit4;
        kestrow_sim::Regedit4Error registryError;
        if (!kestrow_sim::ReadRegedit4File(path, tree, &registryError)) {
            *error = registryError.Format(path);
            return false;
        }
        return true;
    }
    *format = RegistryFormat::Creg;
    in.seekg(0);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = path + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    std::string message;
    if (!kestrow_sim::ReadCreg(bytes, tree, &message)) {
        *error = path + ": " + message;
        return false;
    }
    return true;
}

}  // namespace kestrow_sim
