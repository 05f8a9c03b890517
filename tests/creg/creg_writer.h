// A writer of Windows 98/Me registry files (CREG, e.g. SYSTEM.DAT), for test
// fixtures only: it lays a key tree out the way the format is read (a key
// navigation block RGKN and data blocks RGDB), with the few variations the
// tests need. It writes no free lists or checksums beyond what readers need,
// so its files are for reading, never for a real Windows.
#ifndef KESTROW_TESTS_CREG_CREG_WRITER_H
#define KESTROW_TESTS_CREG_CREG_WRITER_H

#include <cstddef>
#include <string>

#include "platform/sim/registry_tree.h"

namespace creg_test {

struct CregLayout {
    // A data block is closed, and the next one started, once its key
    // entries reach this many bytes; a small number spreads the keys over
    // several blocks.
    std::size_t blockDataBytes = 0x8000;
    // Puts the remains of a deleted key into the first data block, before
    // the first key: a name entry marked as free space (identifier 0xFFFF)
    // that still holds a name and a value, and a hierarchy entry that no
    // key links to.
    bool withDeletedKey = false;
};

// The file for one registry root: its values are ignored (the root of a
// CREG file has no name entry), its subkeys become the file's top keys.
std::string WriteCreg(const platform::sim::RegistryKey& root, const CregLayout& layout = {});

}  // namespace creg_test

#endif
