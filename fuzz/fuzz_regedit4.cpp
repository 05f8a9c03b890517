// The REGEDIT4 reader and writer on any text, in a Western or a double-byte
// code page. Input: one byte choosing the code page, then the file's bytes.
//
// Checked: a text that reads fails without touching the tree; a text that
// reads is written back, and that file reads back to the same tree and
// writes to the same bytes again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fuzz/registry_tree_equal.h"
#include "platform/sim/code_page.h"
#include "platform/sim/registry_tree.h"
#include "sim/formats/regedit4.h"

using kestrow_sim::ReadRegedit4;
using kestrow_sim::Regedit4Error;
using kestrow_sim::WriteRegedit4;
using platform::sim::CodePage;
using platform::sim::RegistryKey;
using platform::sim::RegistryTree;

namespace {

// What the tree holds before the file is read, so that a file can replace,
// delete and add to something, and a failed read has something to spoil.
void FillWithExistingKeys(RegistryTree* tree) {
    RegistryKey* pci = tree->CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev1");
    pci->SetValue("Class", platform::sim::REG_SZ_TYPE, {'U', 'S', 'B', 0});
    pci->SetValue("", platform::sim::REG_SZ_TYPE, {'H', 'o', 's', 't', 0});
    pci->SetValue("Flags", platform::sim::REG_DWORD_TYPE, {1, 0, 0, 0});
    RegistryKey* software = tree->CreateFullPath("HKEY_CURRENT_USER\\Software\\Kestrow");
    software->SetValue("Bytes", platform::sim::REG_BINARY_TYPE, {0x00, 0x5c, 0x22, 0xff});
    tree->CreateFullPath("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USB");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    CodePage codePage = CodePage::ForNumber(kestrow_fuzz::CodePageFromByte(data[0]));
    kestrow_fuzz::ExactBytes text = kestrow_fuzz::ExactBytes::Text(data + 1, size - 1);

    RegistryTree tree(codePage);
    FillWithExistingKeys(&tree);
    Regedit4Error error;
    if (!ReadRegedit4(text.view(), &tree, &error)) {
        RegistryTree before(codePage);
        FillWithExistingKeys(&before);
        FUZZ_REQUIRE(kestrow_fuzz::SameTrees(tree, before));
        FUZZ_REQUIRE(!error.message.empty());
        std::size_t lines = 1 + std::count(text.begin(), text.end(), '\n');
        FUZZ_REQUIRE(error.line <= lines);
        return 0;
    }

    std::string written = WriteRegedit4(tree);
    RegistryTree back(codePage);
    Regedit4Error backError;
    FUZZ_REQUIRE(ReadRegedit4(written, &back, &backError));
    FUZZ_REQUIRE(kestrow_fuzz::SameTrees(tree, back));
    FUZZ_REQUIRE(WriteRegedit4(back) == written);
    return 0;
}
