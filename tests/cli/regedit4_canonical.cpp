// Test helper: reads REGEDIT4 files, in order, into one registry (each
// layered over the ones before, as importing them one after another does)
// and prints the result as REGEDIT4 with subkeys and values sorted by name,
// so two registries with the same contents print the same text whatever
// order their keys were created in.
//
//   regedit4_canonical CODEPAGE FILE...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/sim/code_page.h"
#include "platform/sim/registry_tree.h"
#include "sim/formats/regedit4.h"

namespace {

using platform::sim::RegistryKey;

void CopySorted(const RegistryKey& from, RegistryKey* to) {
    std::vector<const platform::sim::RegistryValue*> values;
    for (const auto& value : from.Values()) values.push_back(&value);
    std::sort(values.begin(), values.end(),
              [](const auto* a, const auto* b) { return a->name < b->name; });
    for (const auto* value : values) to->SetValue(value->name, value->type, value->data);
    std::vector<const RegistryKey*> keys;
    for (std::size_t i = 0; i < from.SubkeyCount(); ++i) keys.push_back(from.SubkeyAt(i));
    std::sort(keys.begin(), keys.end(),
              [](const RegistryKey* a, const RegistryKey* b) { return a->Name() < b->Name(); });
    for (const RegistryKey* key : keys) CopySorted(*key, to->CreateSubkey(key->Name()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: regedit4_canonical CODEPAGE FILE...\n");
        return 2;
    }
    auto codePage = platform::sim::CodePage::ForNumber(static_cast<unsigned>(std::atoi(argv[1])));
    platform::sim::RegistryTree tree(codePage);
    for (int i = 2; i < argc; ++i) {
        kestrow_sim::Regedit4Error error;
        if (!kestrow_sim::ReadRegedit4File(argv[i], &tree, &error)) {
            std::fprintf(stderr, "%s\n", error.Format(argv[i]).c_str());
            return 1;
        }
    }
    platform::sim::RegistryTree sorted(codePage);
    for (const std::string& root : platform::sim::RegistryTree::RootNames()) {
        CopySorted(*tree.Root(root), sorted.Root(root));
    }
    std::string text = kestrow_sim::WriteRegedit4NonEmptyRoots(sorted);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
