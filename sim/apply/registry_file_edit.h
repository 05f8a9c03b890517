// Removing deleted keys from a REGEDIT4 file by editing its bytes, not by
// writing the registry out again: the new file is the old one with exactly
// the sections of the deleted keys taken out, and every other byte kept as
// it was (comments, blank lines, "[-key]" and "name"=- lines, line ends,
// names and values in whatever code page they were written).
//
// A section is a "[key]" line and the lines after it up to the next key
// line: its value lines (hex continuation lines included) and blank lines.
// A section goes when its key is a deleted key or lies below one; its
// comment lines stay where they are. A "[-key]" line of such a key goes
// too, so that the undo file gives back the key as the old file left it. Key lines are read with
// the reader's own rules (blanks, the closing bracket, empty names, the lead bytes of the code page
// the registry was read in), so a section is taken for the same key the reader took it for,
// whatever code page the file's names are really in.
#ifndef KESTROW_SIM_APPLY_REGISTRY_FILE_EDIT_H
#define KESTROW_SIM_APPLY_REGISTRY_FILE_EDIT_H

#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/code_page.h"
#include "sim/host/file_fingerprint.h"

namespace kestrow_sim {

// Tells, line by line, whether a line of a REGEDIT4 file goes.
class RegistrySectionFilter {
public:
    // Keys by full path, e.g. HKEY_LOCAL_MACHINE\Enum\PCI\VEN_1
    RegistrySectionFilter(const std::vector<std::string>& deletedKeys,
                          const platform::sim::CodePage& codePage);

    // The next line of the file, with or without its line end. True when it
    // belongs to a deleted key's section.
    bool Removes(std::string_view line);

private:
    struct KeyPath {
        std::size_t root = 0;
        std::vector<std::string> names;
    };
    bool ParseKeyPath(std::string_view path, std::size_t* root,
                      std::vector<std::string_view>* names) const;
    bool IsDeleted(std::size_t root, const std::vector<std::string_view>& names) const;

    platform::sim::CodePage codePage_;
    std::vector<KeyPath> deleted_;
    bool inDeletedSection_ = false;
    bool firstLine_ = true;
    std::vector<std::string_view> names_;
};

// The file's bytes split in two: what stays and what goes, each in the
// file's order.
struct RegistryTextSplit {
    std::string kept;
    std::string removed;
};
RegistryTextSplit SplitRegistryText(std::string_view text,
                                    const std::vector<std::string>& deletedKeys,
                                    const platform::sim::CodePage& codePage);

// The same, reading the open file inFd a piece at a time and writing what
// stays to outFd as it goes; what goes is appended to *removed, and *hash
// is fed every byte read. False, with a message, when a read or write
// fails. *lineEnd gets the line end of the file's first line ("\r\n" or
// "\n").
bool EditRegistryFile(int inFd, const std::string& inPath, int outFd, const std::string& outPath,
                      RegistrySectionFilter* filter, std::string* removed, ContentHash* hash,
                      std::string* lineEnd, std::string* error,
                      std::size_t pieceBytes = std::size_t{1} << 20);

// The undo file: a REGEDIT4 header, the comment lines given (each without
// ';'; a line break in one is shown as '?'), a blank line, and the removed
// sections' bytes as they were.
std::string UndoFileText(std::string_view removed, const std::vector<std::string>& comments,
                         std::string_view lineEnd);

}  // namespace kestrow_sim

#endif
