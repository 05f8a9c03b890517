#include "sim/formats/creg_reader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/creg/creg_writer.h"

namespace kestrow_sim {
namespace {

using platform::sim::REG_BINARY_TYPE;
using platform::sim::REG_DWORD_TYPE;
using platform::sim::REG_SZ_TYPE;
using platform::sim::RegistryKey;
using platform::sim::RegistryTree;
using platform::sim::RegistryValue;

using creg_test::CregLayout;
using creg_test::WriteCreg;

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Every key below the key as "path" lines and every value as
// "path|name=type:hex" lines, in stored order.
void Dump(const RegistryKey& key, const std::string& path, std::string* out) {
    for (const RegistryValue& value : key.Values()) {
        *out += path + "|" + value.name + "=" + std::to_string(value.type) + ":";
        char hex[4];
        for (std::uint8_t byte : value.data) {
            std::snprintf(hex, sizeof hex, "%02x", byte);
            *out += hex;
        }
        *out += "\n";
    }
    for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
        std::string sub = path + "\\" + key.SubkeyAt(i)->Name();
        *out += sub + "\n";
        Dump(*key.SubkeyAt(i), sub, out);
    }
}

std::string DumpTree(const RegistryTree& tree) {
    std::string out;
    for (const std::string& root : RegistryTree::RootNames()) Dump(*tree.Root(root), root, &out);
    return out;
}

// A machine's registry in small: a PCI controller, names with bytes
// 0x80-0xFF, a key with many subkeys, values of the usual types, the
// version Windows records.
void FillMachine(RegistryKey* machine) {
    RegistryKey* instance =
        machine->CreatePath("Enum\\PCI\\VEN_8086&DEV_24CD&SUBSYS_24CD8086&REV_02\\BUS_00");
    instance->SetValue("DeviceDesc", REG_SZ_TYPE, Bytes(std::string("USB 2.0 Host\0", 13)));
    instance->SetValue("ConfigFlags", REG_BINARY_TYPE, {0, 0, 0, 0});
    instance->SetValue("Capabilities", REG_DWORD_TYPE, {0x14, 0, 0, 0});
    machine->CreatePath("Enum\\PCI\\VEN_1002&DEV_5159");
    RegistryKey* western = machine->CreatePath("Software\\Caf\xe9 \xc4\xd6\xdc\xff");
    western->SetValue("Na\xefve", REG_SZ_TYPE, Bytes(std::string("\xe0 la carte\0", 11)));
    western->SetValue("", REG_SZ_TYPE, Bytes(std::string("default\0", 8)));
    RegistryKey* many = machine->CreatePath("Enum\\Root\\Many");
    for (int i = 0; i < 300; ++i) {
        // Stored order is not sorted order: Windows enumerates as linked.
        many->CreateSubkey("Device" + std::to_string((i * 7) % 300));
    }
    RegistryKey* version = machine->CreatePath("Software\\Microsoft\\Windows\\CurrentVersion");
    version->SetValue("Version", REG_SZ_TYPE, Bytes(std::string("Windows 98\0", 11)));
    version->SetValue("VersionNumber", REG_SZ_TYPE, Bytes(std::string("4.10.2222\0", 10)));
    version->SetValue("SubVersionNumber", REG_SZ_TYPE, Bytes(std::string(" A \0", 4)));
    machine->CreatePath("System\\CurrentControlSet\\Services\\Class\\USB");
}

TEST(CregReaderTest, ReadsWhatTheWriterLaidOutInEveryLayout) {
    struct Case {
        const char* name;
        CregLayout layout;
    };
    const Case cases[] = {
        {"one data block", {}},
        {"many data blocks", {/*blockDataBytes=*/256, /*withDeletedKey=*/false}},
        {"deleted key's free space", {0x8000, true}},
        {"both", {512, true}},
    };
    RegistryTree expected;
    FillMachine(expected.Root("HKEY_LOCAL_MACHINE"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = WriteCreg(*expected.Root("HKEY_LOCAL_MACHINE"), c.layout);
        ASSERT_TRUE(HasCregSignature(file));
        RegistryTree tree;
        std::string error;
        ASSERT_TRUE(ReadCreg(file, &tree, &error)) << error;
        EXPECT_EQ(DumpTree(tree), DumpTree(expected));
    }
}

TEST(CregReaderTest, AddsToWhatTheTreeHolds) {
    RegistryTree source;
    source.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\New")
        ->SetValue("A", REG_DWORD_TYPE, {1, 0, 0, 0});
    RegistryTree tree;
    tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\Old");
    tree.CreateFullPath("HKEY_CURRENT_USER\\Software");
    std::string error;
    ASSERT_TRUE(ReadCreg(WriteCreg(*source.Root("HKEY_LOCAL_MACHINE")), &tree, &error)) << error;
    EXPECT_EQ(DumpTree(tree),
              "HKEY_CURRENT_USER\\Software\n"
              "HKEY_LOCAL_MACHINE\\Enum\n"
              "HKEY_LOCAL_MACHINE\\Enum\\PCI\n"
              "HKEY_LOCAL_MACHINE\\Enum\\PCI\\Old\n"
              "HKEY_LOCAL_MACHINE\\Enum\\PCI\\New\n"
              "HKEY_LOCAL_MACHINE\\Enum\\PCI\\New|A=4:01000000\n");
}

std::uint32_t Read32(const std::string& file, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(file[at + i]);
    return value;
}

std::string Le32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

// The file offset of the name entry of the key with that name (a name no
// other key or value has).
std::size_t NameEntryOf(const std::string& file, const std::string& name) {
    for (std::size_t at = file.find(name); at != std::string::npos; at = file.find(name, at + 1)) {
        if (at >= 20 && (Read32(file, at - 8) & 0xFFFF) == name.size()) return at - 20;
    }
    ADD_FAILURE() << "no key named " << name;
    return 0;
}

TEST(CregReaderTest, RejectsDamagedFilesAndLeavesTheTreeAlone) {
    RegistryTree machine;
    FillMachine(machine.Root("HKEY_LOCAL_MACHINE"));
    const std::string good = WriteCreg(*machine.Root("HKEY_LOCAL_MACHINE"), {512, true});
    const std::size_t firstDataBlock = Read32(good, 8);
    // Block 0 holds the deleted key's free entry (56 bytes), then the name
    // entries of Enum (24 bytes, identifier 0) and PCI (identifier 1).
    const std::size_t enumName = firstDataBlock + 0x20 + 56;
    const std::size_t pciName = enumName + 24;
    // Hierarchy entries in the file: the root at 0x40, Enum (the first top
    // key) at 0x5C.
    const std::size_t rootEntry = 0x20 + 0x20, enumEntry = 0x20 + 0x3C;
    const std::size_t device10 = NameEntryOf(good, "Device10");
    const std::size_t instance = NameEntryOf(good, "BUS_00");
    // The free entry that fills the rest of block 0.
    std::size_t lastEntry = firstDataBlock + 0x20;
    while (lastEntry + Read32(good, lastEntry) < firstDataBlock + Read32(good, firstDataBlock + 4))
        lastEntry += Read32(good, lastEntry);
    auto patched = [&](std::size_t at, std::string bytes) {
        std::string file = good;
        file.replace(at, bytes.size(), bytes);
        return file;
    };
    RegistryTree deep;
    std::string path = "HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 520; ++i) path += "\\K";
    deep.CreateFullPath(path);

    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string file;
        const char* message;  // a part of the error
    };
    const Case cases[] = {
        {"empty", "", "no \"CREG\" signature"},
        {"REGEDIT4 text", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n",
         "no \"CREG\" signature"},
        {"header only", good.substr(0, 0x20), "truncated"},
        {"no key navigation block", patched(0x20, "XXXX"), "no key navigation block"},
        {"navigation block larger than the file", patched(0x24, "\xff\xff\xff\x00"s), "truncated"},
        {"data block beyond the end", patched(8, "\x00\x00\x00\x01"s), "first data block"},
        {"cut inside the key navigation block", good.substr(0, 0x100), "truncated"},
        {"cut inside the data blocks", good.substr(0, good.size() - 5000), "truncated: data block"},
        {"bytes after the last data block", good + std::string(100, '\0'),
         "but the file goes on to"},
        {"data block signature", patched(firstDataBlock, "RGXX"), "no \"RGDB\" signature"},
        {"data block numbered out of turn", patched(firstDataBlock + 14, "\x05\x00"s),
         "data block 0 (the 1. of"},
        // The key navigation block.
        {"first entry inside the root's entry", patched(0x28, Le32(0x24)),
         "first entry offset points to offset 0x24 of the key navigation block, which is no entry "
         "boundary: it lies 4 bytes into the entry at 0x20"},
        {"first entry a key with a parent", patched(0x28, Le32(0x3C)),
         "the first key entry, at offset 0x3C of the key navigation block, is no root"},
        {"subkey link out of the navigation block", patched(rootEntry + 16, "\xf0\xff\xff\x7f"),
         "outside the key navigation block"},
        {"subkey link into the middle of an entry", patched(rootEntry + 16, Le32(0x3C + 8)),
         "lies 8 bytes into the entry at 0x3C"},
        // The first top key's next sibling is itself.
        {"key links in a loop", patched(enumEntry + 20, Le32(0x3C)), "the key links loop back"},
        {"a subkey naming another parent", patched(enumEntry + 12, Le32(0x3C)),
         "names the entry at 0x3C as its parent, but is linked below HKEY_LOCAL_MACHINE"},
        {"name entry in a data block the file lacks", patched(enumEntry + 26, "\xff\x7f"s),
         "names data block 32767; the file has"},
        {"name entry missing", patched(enumName + 4, "\x77\x77"),
         "names key name entry 0 of data block 0 (at offset"},
        {"keys nested too deep", WriteCreg(*deep.Root("HKEY_LOCAL_MACHINE")),
         "keys nested more than 512 deep"},
        // The data blocks' entries.
        {"two name entries with one identifier", patched(pciName + 4, "\x00\x00"s),
         "holds two key name entries with identifier 0"},
        {"name entry larger than its block", patched(enumName, Le32(0x10000)),
         "claims 65536 bytes"},
        {"name entry using more than it has", patched(enumName + 8, Le32(25)),
         "uses 25 of its 24 bytes"},
        {"name longer than its entry", patched(enumName + 12, "\x05\x00"s),
         "(5 bytes) runs past the entry's end"},
        {"value longer than its entry", patched(instance + 20 + 6 + 10, "\xff\xff"),
         "value 1 of 3 of the key name entry at offset"},
        {"entries not filling their block", patched(lastEntry, Le32(Read32(good, lastEntry) - 10)),
         "ends with 10 bytes"},
        // Key names.
        {"empty key name", patched(device10 + 12, "\x00\x00"s), "has an empty name"},
        {"backslash in a key name", patched(device10 + 20 + 6, "\\"), "a backslash in its name"},
        {"two subkeys of one name", patched(device10 + 20 + 6, "2"),
         "HKEY_LOCAL_MACHINE\\Enum\\Root\\Many has two subkeys named \"DEVICE20\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegistryTree tree;
        tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\Old")
            ->SetValue("Kept", REG_SZ_TYPE, Bytes(std::string("yes\0", 4)));
        const std::string before = DumpTree(tree);
        std::string error;
        EXPECT_FALSE(ReadCreg(c.file, &tree, &error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_TRUE(DumpTree(tree) == before) << "the tree was changed";
    }
}

// Key names are bytes in the tree's code page: a trail byte 0x5C is part of
// its character, not a backslash.
TEST(CregReaderTest, SplitsKeyNamesInTheTreesCodePage) {
    const std::string so = "\x83\x5c";  // code page 932: KATAKANA LETTER SO
    RegistryTree source(platform::sim::CodePage::ForNumber(932));
    source.CreateFullPath("HKEY_LOCAL_MACHINE\\Software\\" + so);
    const std::string file = WriteCreg(*source.Root("HKEY_LOCAL_MACHINE"));

    RegistryTree japanese(platform::sim::CodePage::ForNumber(932));
    std::string error;
    ASSERT_TRUE(ReadCreg(file, &japanese, &error)) << error;
    EXPECT_NE(japanese.FindFullPath("HKEY_LOCAL_MACHINE\\Software\\" + so), nullptr);

    RegistryTree western;
    EXPECT_FALSE(ReadCreg(file, &western, &error));
    EXPECT_NE(error.find("a backslash in its name"), std::string::npos) << error;
}

// Keys are taken out of the file when first looked at; one taken out of
// its tree unread still reads after the tree is gone.
TEST(CregReaderTest, KeyTakenOutOfItsTreeKeepsItsContents) {
    RegistryTree machine;
    FillMachine(machine.Root("HKEY_LOCAL_MACHINE"));
    std::string expected;
    Dump(*machine.FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI"), "PCI", &expected);

    std::unique_ptr<RegistryKey> pci;
    {
        auto tree = std::make_unique<RegistryTree>();
        std::string error;
        ASSERT_TRUE(ReadCreg(WriteCreg(*machine.Root("HKEY_LOCAL_MACHINE"), {256, true}),
                             tree.get(), &error))
            << error;
        pci = tree->FindFullPath("HKEY_LOCAL_MACHINE\\Enum")->DetachSubkey("PCI");
        ASSERT_NE(pci, nullptr);
    }
    std::string read;
    Dump(*pci, "PCI", &read);
    EXPECT_EQ(read, expected);
}

// Code page 1252 text as UTF-8; the test's names use only ASCII and bytes
// from 0xA0 up, which 1252 shares with Latin-1.
std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

// What cregexport prints of a key and everything below it: "Key path:"
// lines, and "Value:" and "Data size:" lines for each value.
void ExpectedExport(const RegistryKey& key, const std::string& path, std::string* out) {
    *out += "Key path: " + Latin1ToUtf8(path) + "\n";
    for (std::size_t i = 0; i < key.Values().size(); ++i) {
        const RegistryValue& value = key.Values()[i];
        *out += "Value: " + std::to_string(i) + " " +
                (value.name.empty() ? "(default)" : Latin1ToUtf8(value.name)) + "\n";
        *out += "Data size: " + std::to_string(value.data.size()) + "\n";
    }
    for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
        const RegistryKey& subkey = *key.SubkeyAt(i);
        ExpectedExport(subkey, path.empty() ? subkey.Name() : path + "\\" + subkey.Name(), out);
    }
}

// What creginfo prints of the key tree: each key as "(key:) name" and each
// value as "(value: N) name", indented one blank a level below the root.
void ExpectedInfo(const RegistryKey& key, int depth, std::string* out) {
    const std::string indent(static_cast<std::size_t>(depth), ' ');
    for (std::size_t i = 0; i < key.Values().size(); ++i) {
        const RegistryValue& value = key.Values()[i];
        *out += indent + " (value: " + std::to_string(i) + ") " +
                (value.name.empty() ? "(default)" : Latin1ToUtf8(value.name)) + "\n";
    }
    for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
        const RegistryKey& subkey = *key.SubkeyAt(i);
        *out += indent + " (key:) " + Latin1ToUtf8(subkey.Name()) + "\n";
        ExpectedInfo(subkey, depth + 1, out);
    }
}

// Runs a program on a file; its standard output and error, and whether it
// exited with 0.
bool RunTool(const std::string& program, const std::string& path, std::string* output) {
    std::string command = program + " -c windows-1252 " + path + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
    return ::pclose(pipe) == 0;
}

// The lines of the text that start, after their indentation, with one of
// the prefixes.
std::string LinesStartingWith(const std::string& text, const std::vector<std::string>& prefixes) {
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string unindented = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        for (const std::string& prefix : prefixes) {
            if (unindented.rfind(prefix, 0) == 0) {
                kept += line + "\n";
                break;
            }
        }
        start = end + 1;
    }
    return kept;
}

// libcreg's own tools read the writer's files as written: the same keys,
// in the same order, with the same values.
TEST(CregWriterTest, LibcregToolsReadTheFileBack) {
    RegistryTree machine;
    FillMachine(machine.Root("HKEY_LOCAL_MACHINE"));
    const RegistryKey& root = *machine.Root("HKEY_LOCAL_MACHINE");
    std::string path = ::testing::TempDir() + "creg_writer_test_system.dat";
    {
        std::ofstream out(path, std::ios::binary);
        out << WriteCreg(root, {512, true});
    }
    std::string exported, info;
    ExpectedExport(root, "", &exported);
    ExpectedInfo(root, 0, &info);
    struct Tool {
        const char* program;
        std::vector<std::string> prefixes;  // of the lines compared
        std::string expected;
    };
    const Tool tools[] = {
        {CREGEXPORT_PROGRAM, {"Key path: ", "Value: ", "Data size: "}, exported},
        {CREGINFO_PROGRAM, {"(key:) ", "(value: "}, info},
    };
    bool ran = false;
    for (const Tool& tool : tools) {
        SCOPED_TRACE(tool.program);
        if (std::string(tool.program).empty() || ::access(tool.program, X_OK) != 0) continue;
        ran = true;
        std::string output;
        ASSERT_TRUE(RunTool(tool.program, path, &output)) << output;
        EXPECT_EQ(LinesStartingWith(output, tool.prefixes), tool.expected);
    }
    std::remove(path.c_str());
    if (!ran) GTEST_SKIP() << "creginfo and cregexport (libcreg-utils) are not installed";
}

}  // namespace
}  // namespace kestrow_sim
