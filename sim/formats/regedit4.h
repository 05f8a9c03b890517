// REGEDIT4 files: the text form of the registry that the regedit of
// Windows 95, 98 and Me exports and imports, read into and written from a
// RegistryTree.
//
// The format, as this reader takes it:
//   - The first line is exactly "REGEDIT4" (trailing blanks allowed).
//   - Lines end in CR LF or LF, mixed; the last line may have no line end.
//     Blank lines and ';' comment lines (leading blanks allowed) are skipped.
//   - "[HKEY_LOCAL_MACHINE\Enum\PCI]" opens a key, creating it and every key
//     above it; the root is one of the six full root names. "[-...]" deletes
//     a key with everything below it. Key names are bytes in the machine's
//     code page: a backslash that is the trail byte of a double-byte
//     character does not separate names. The closing bracket is the last
//     ']' on the line, so a key name may itself contain or end in ']'.
//   - Value lines belong to the key opened last: "name"=data, or @=data for
//     the default value. Data is "string" (REG_SZ, stored with its
//     terminating NUL), dword:1f (one to eight hex digits), hex:01,02
//     (REG_BINARY), hex(N):... (type N, in hex), or - to delete the value.
//     Hex lists may continue on the next line after a backslash. A value
//     line after a "[-...]" line belongs to no key and is an error.
//   - In quoted names and strings, \\ stands for \ and \" for ". A backslash
//     before any other byte is kept together with that byte, as regedit
//     does. The two bytes of a double-byte character are taken as a pair,
//     so a trail byte that is a backslash escapes nothing.
//
// The writer writes what Windows 98's regedit writes: CR LF line ends, every
// key as "[FULL\PATH]" followed by its values and a blank line, subkeys
// depth-first in stored order, values in stored order, lower-case hex. It
// writes a REG_SZ as a quoted string when that reads back to the same bytes,
// and otherwise as hex(1), so a written file always reads back to the same
// tree. Names cannot be written that way: a key or value name holding a
// line break, a key name holding a backslash that is no trail byte, or a
// value name holding a lead byte before a '"', reads back differently; the
// registry API never produces such names.
#ifndef KESTROW_SIM_FORMATS_REGEDIT4_H
#define KESTROW_SIM_FORMATS_REGEDIT4_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/registry_tree.h"

namespace kestrow_sim {

using platform::sim::CodePage;
using platform::sim::RegistryKey;
using platform::sim::RegistryTree;

struct Regedit4Error {
    // The 1-based line the error is on; 0 when it is about the file as a
    // whole (it cannot be opened, for example).
    std::size_t line = 0;
    std::string message;

    // "pci.reg:12: message", or "pci.reg: message" when there is no line.
    std::string Format(std::string_view fileName) const;
};

// Applies a REGEDIT4 text to the tree: keys and values are added or
// replaced, and deletions remove, so several files can be layered. On error
// the tree is unchanged and *error (when not null) says where and why.
bool ReadRegedit4(std::string_view text, RegistryTree* tree, Regedit4Error* error);

// Reads the file at a host path and applies it as ReadRegedit4 does, a
// piece at a time, so that its whole text is never in memory. A file that
// cannot be read, or holds a NUL byte, is an error too. Into a tree that is
// not empty, the file is read twice (once to check it, once to apply it),
// and a read error or a change to the file between the two, which only
// another program writing the file in place can cause, leaves the part
// read before in the tree; the error says so.
bool ReadRegedit4File(const std::string& path, RegistryTree* tree, Regedit4Error* error);

// The whole tree: all six roots, each written even when it is empty.
std::string WriteRegedit4(const RegistryTree& tree);
// The whole tree, leaving out roots that have no subkeys and no values.
std::string WriteRegedit4NonEmptyRoots(const RegistryTree& tree);
// One key and everything below it, headed by the key's full path. The code
// page is the tree's (tree.GetCodePage()): a key does not tell it, and
// escaping must not split a double-byte character.
std::string WriteRegedit4Subtree(const RegistryKey& key, const CodePage& codePage);
// Several subtrees, one after another, in one file.
std::string WriteRegedit4Subtrees(const std::vector<const RegistryKey*>& keys,
                                  const CodePage& codePage);

// Takes each piece of a streamed text, in order; false stops the stream.
using Regedit4Sink = std::function<bool(std::string_view piece)>;
// The same text as WriteRegedit4NonEmptyRoots(tree) or
// WriteRegedit4Subtrees(keys, codePage), handed to the sink a piece at a
// time, so that it is never whole in memory (to write a large file, say).
// False when the sink stopped it.
bool StreamRegedit4NonEmptyRoots(const RegistryTree& tree, const Regedit4Sink& sink);
bool StreamRegedit4Subtrees(const std::vector<const RegistryKey*>& keys, const CodePage& codePage,
                            const Regedit4Sink& sink);

}  // namespace kestrow_sim

#endif
