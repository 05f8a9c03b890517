// The Windows 98/Me registry file reader (SYSTEM.DAT) on any bytes. Input:
// one byte choosing the code page, then the file's bytes.
//
// Checked: a file that fails to read leaves the tree exactly as it was and
// says why; a file that reads keeps every key and value the tree held, adds
// only below HKEY_LOCAL_MACHINE, and can be looked at whole (its keys are
// taken out of the file only then, by code that trusts the checks made
// when it was read), every key with a name that is not empty and holds no
// backslash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "fuzz/registry_tree_equal.h"
#include "platform/sim/code_page.h"
#include "platform/sim/registry_tree.h"
#include "sim/formats/creg_reader.h"

using platform::sim::CodePage;
using platform::sim::RegistryKey;
using platform::sim::RegistryTree;

namespace {

// Looks at every key below the key, so that each is taken out of the file.
void LookAtEveryKey(const RegistryKey& key, const CodePage& codePage) {
    for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
        const RegistryKey& subkey = *key.SubkeyAt(i);
        FUZZ_REQUIRE(!subkey.Name().empty());
        FUZZ_REQUIRE(codePage.NameLength(subkey.Name(), '\\') == subkey.Name().size());
        FUZZ_REQUIRE(subkey.Values().size() <= 0xFFFF);  // a 16-bit count in the file
        LookAtEveryKey(subkey, codePage);
    }
}

// What the machine's registry holds before the file is read.
void FillWithExistingKeys(RegistryTree* tree) {
    RegistryKey* pci = tree->CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev1");
    pci->SetValue("Class", platform::sim::REG_SZ_TYPE, {'U', 'S', 'B', 0});
    RegistryKey* software = tree->CreateFullPath("HKEY_CURRENT_USER\\Software\\Kestrow");
    software->SetValue("Bytes", platform::sim::REG_BINARY_TYPE, {0x00, 0x5c, 0x22, 0xff});
}

}  // namespace

// libcreg 20200725 itself loses a data block entry on some malformed data
// blocks (its error path in reading a block's entries does not free the
// entry it made). That is no fault of the reader; the suppression names the
// allocating function only, so that a key or value handle the reader
// forgets to free is still reported.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libcreg_data_block_entry_initialize\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    CodePage codePage = CodePage::ForNumber(kestrow_fuzz::CodePageFromByte(data[0]));
    std::string_view file(reinterpret_cast<const char*>(data + 1), size - 1);

    RegistryTree tree(codePage);
    FillWithExistingKeys(&tree);
    RegistryTree before(codePage);
    FillWithExistingKeys(&before);
    std::string error;
    if (!kestrow_sim::ReadCreg(std::string(file), &tree, &error)) {
        FUZZ_REQUIRE(kestrow_fuzz::SameTrees(tree, before));
        FUZZ_REQUIRE(!error.empty());
        return 0;
    }
    FUZZ_REQUIRE(kestrow_sim::HasCregSignature(file));
    // Only HKEY_LOCAL_MACHINE gains keys; what was there stays.
    for (const std::string& root : RegistryTree::RootNames()) {
        if (root == "HKEY_LOCAL_MACHINE") continue;
        FUZZ_REQUIRE(kestrow_fuzz::SameKeys(*tree.Root(root), *before.Root(root)));
    }
    LookAtEveryKey(*tree.Root("HKEY_LOCAL_MACHINE"), codePage);
    const RegistryKey* kept = tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev1");
    FUZZ_REQUIRE(kept != nullptr && kept->FindValue("Class") != nullptr);
    return 0;
}
