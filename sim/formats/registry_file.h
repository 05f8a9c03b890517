// A registry file given on the host: a REGEDIT4 export or a Windows 98/Me
// registry file (SYSTEM.DAT), told apart by the file's first bytes.
#ifndef KESTROW_SIM_FORMATS_REGISTRY_FILE_H
#define KESTROW_SIM_FORMATS_REGISTRY_FILE_H

#include <string>

#include "platform/sim/registry_tree.h"

namespace kestrow_sim {

enum class RegistryFormat {
    Regedit4,  // the text regedit exports and imports
    Creg,      // the registry file Windows itself keeps (SYSTEM.DAT)
};

// "REGEDIT4" or "Windows registry file (CREG)", for reports.
const char* RegistryFormatName(RegistryFormat format);

// Reads the file at a host path into the tree: a file that starts with
// "CREG" as a Windows registry file, any other as REGEDIT4. On error the
// tree is unchanged (see ReadRegedit4File for the one exception) and *error
// names the file and says what is wrong.
bool ReadRegistryFile(const std::string& path, platform::sim::RegistryTree* tree,
                      RegistryFormat* format, std::string* error);

}  // namespace kestrow_sim

#endif
