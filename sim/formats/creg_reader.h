// Windows 95/98/Me registry files (SYSTEM.DAT, USER.DAT): the binary form
// Windows keeps its registry in, recognised by the "CREG" signature, read
// with libcreg into a RegistryTree.
//
// SYSTEM.DAT holds HKEY_LOCAL_MACHINE: the file's top keys (Config, Enum,
// Software, System...) become that root's subkeys. Keys keep the order the
// file links them in, which is Windows' enumeration order; key and value
// names and string data stay bytes in the machine's code page, as the file
// stores them.
#ifndef KESTROW_SIM_FORMATS_CREG_READER_H
#define KESTROW_SIM_FORMATS_CREG_READER_H

#include <string>
#include <string_view>

#include "platform/sim/registry_tree.h"

namespace kestrow_sim {

using platform::sim::RegistryTree;

// Whether the bytes start with the registry file's signature "CREG".
bool HasCregSignature(std::string_view bytes);

// Reads a whole registry file, given as its bytes (from a host file or from
// a disk image), into the tree below HKEY_LOCAL_MACHINE: keys are added,
// values added or replaced. On error the tree is unchanged and *error says
// what is wrong with the file, without naming it (the caller knows where
// the bytes came from).
bool ReadCreg(std::string_view bytes, RegistryTree* tree, std::string* error);

// The version of libcreg the program runs with, e.g. "20200725".
std::string CregLibraryVersion();

}  // namespace kestrow_sim

#endif
