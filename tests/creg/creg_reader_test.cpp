#include "sim/formats/creg_reader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
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

TEST(CregReaderTest, RejectsDamagedFilesAndLeavesTheTreeAlone) {
    RegistryTree machine;
    FillMachine(machine.Root("HKEY_LOCAL_MACHINE"));
    const std::string good = WriteCreg(*machine.Root("HKEY_LOCAL_MACHINE"), {512, true});
    const std::size_t firstDataBlock = static_cast<unsigned char>(good[8]) |
                                       static_cast<unsigned char>(good[9]) << 8 |
                                       static_cast<unsigned char>(good[10]) << 16;
    auto patched = [&](std::size_t at, std::string bytes) {
        std::string file = good;
        file.replace(at, bytes.size(), bytes);
        return file;
    };
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
        {"data block signature", patched(firstDataBlock, "RGXX"), "no \"RGDB\" signature"},
        {"subkey link out of the navigation block", patched(0x20 + 0x20 + 16, "\xf0\xff\xff\x7f"),
         "outside the key navigation block"},
        // The first top key's next sibling is itself.
        {"key links in a loop", patched(0x20 + 0x3c + 20, "\x3c\x00\x00\x00"s),
         "the key links loop back"},
        {"name entry missing", patched(firstDataBlock + 0x20 + 56 + 4, "\x77\x77"),
         "corrupt registry file"},
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
