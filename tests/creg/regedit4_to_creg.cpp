// Test helper: turns REGEDIT4 files into a Windows 98/Me registry file with
// the test-only writer, so that command-line tests can make SYSTEM.DAT
// fixtures from the sample machines' registries.
//
//   regedit4_to_creg [--code-page N] [--block-bytes N] [--deleted-key]
//                    OUT.DAT IN.reg...
//
// The files are layered into one tree; its HKEY_LOCAL_MACHINE becomes the
// file.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/code_page.h"
#include "sim/formats/regedit4.h"
#include "tests/creg/creg_writer.h"

int main(int argc, char** argv) {
    unsigned codePage = 1252;
    creg_test::CregLayout layout;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--code-page" && i + 1 < argc) {
            codePage = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--block-bytes" && i + 1 < argc) {
            layout.blockDataBytes = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--deleted-key") {
            layout.withDeletedKey = true;
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() < 2) {
        std::fprintf(stderr,
                     "usage: regedit4_to_creg [--code-page N] [--block-bytes N] [--deleted-key] "
                     "OUT.DAT IN.reg...\n");
        return 2;
    }
    platform::sim::RegistryTree tree(platform::sim::CodePage::ForNumber(codePage));
    for (std::size_t i = 1; i < files.size(); ++i) {
        kestrow_sim::Regedit4Error error;
        if (!kestrow_sim::ReadRegedit4File(files[i], &tree, &error)) {
            std::fprintf(stderr, "regedit4_to_creg: %s\n", error.Format(files[i]).c_str());
            return 1;
        }
    }
    std::ofstream out(files[0], std::ios::binary);
    out << creg_test::WriteCreg(*tree.Root("HKEY_LOCAL_MACHINE"), layout);
    out.close();
    if (!out) {
        std::fprintf(stderr, "regedit4_to_creg: %s cannot be written\n", files[0].c_str());
        return 1;
    }
    return 0;
}
