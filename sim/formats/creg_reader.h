// Windows 95/98/Me registry files (SYSTEM.DAT, USER.DAT): the binary form
// Windows keeps its registry in, recognised by the "CREG" signature, read
// into a RegistryTree.
//
// SYSTEM.DAT holds HKEY_LOCAL_MACHINE: the file's top keys (Config, Enum,
// Software, System...) become that root's subkeys. Keys keep the order the
// file links them in, which is Windows' enumeration order; key and value
// names and string data stay bytes in the machine's code page, as the file
// stores them.
//
// The whole file is checked when it is read, and a damaged one is refused
// with the data block and offset of what is wrong; the keys themselves are
// taken out of the file only when the run first looks at them, so that a
// registry of hundreds of thousands of keys costs a run no more than the
// few keys it reads.
#ifndef KESTROW_SIM_FORMATS_CREG_READER_H
#define KESTROW_SIM_FORMATS_CREG_READER_H

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sim/registry_tree.h"

namespace kestrow_sim {

using platform::sim::RegistryTree;

// The largest registry file read. The format's offsets are 32-bit, so a
// file could claim up to 4 GB, but a real SYSTEM.DAT is a few MB; anything
// this large is not one, and is refused before it is read whole.
constexpr std::uint64_t kMaxCregFileBytes = std::uint64_t{64} << 20;

// "N bytes, more than the 64 MiB a registry file can be here (...)", for
// the message that refuses a file of that size.
std::string CregTooLargeText(std::uint64_t size);

// Whether the bytes start with the registry file's signature "CREG".
bool HasCregSignature(std::string_view bytes);

// Reads a whole registry file, given as its bytes (from a host file or from
// a disk image), into the tree below HKEY_LOCAL_MACHINE: keys are added,
// values added or replaced. The tree keeps the bytes for the keys it has
// not looked at yet. On error the tree is unchanged and *error says what is
// wrong with the file (where, for a damaged one), without naming it (the
// caller knows where the bytes came from).
bool ReadCreg(std::string bytes, RegistryTree* tree, std::string* error);

// The version of libcreg the program runs with, e.g. "20200725".
std::string CregLibraryVersion();

}  // namespace kestrow_sim

#endif
