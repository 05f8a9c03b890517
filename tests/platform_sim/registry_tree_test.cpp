// The registry's contents: name rules and paths in single- and double-byte
// code pages, and keys with many values.
#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "platform/sim/registry_tree.h"

namespace {

using platform::sim::CodePage;
using platform::sim::RegistryTree;

struct PathCase {
    const char* name;
    unsigned codePage;
    std::string created;
    std::string lookedUp;
    std::size_t expectedDepth;  // keys below HKEY_LOCAL_MACHINE after creating
    bool found;
};

const PathCase kPathCases[] = {
    {"CaseIgnored", 1252, "Enum\\PCI\\VEN_1", "enum\\pci\\ven_1", 3, true},
    {"EmptyComponentsSkipped", 1252, "Enum\\\\PCI\\", "Enum\\PCI", 2, true},
    // 0xB35C in code page 950 is one character whose trail byte is '\'.
    {"TrailBackslashSplitsNothing", 950, "Enum\\\xB3\x5C\\X", "ENUM\\\xB3\x5C\\x", 3, true},
    {"SameBytesSplitInSingleBytePage", 1252, "Enum\\\xB3\x5C\\X", "Enum\\\xB3\\X", 3, true},
    // A trail byte that is a letter is not folded.
    {"TrailLetterKeepsItsCase", 950,
     "\xA5"
     "a",
     "\xA5"
     "A",
     1, false},
    {"AsciiLetterAfterCharacterFolded", 950,
     "\xA5"
     "ab",
     "\xA5"
     "aB",
     1, true},
};

// Test names and failure messages show the case by its name.
void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class RegistryPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(RegistryPathTest, SplitsAndComparesByCharacter) {
    const PathCase& c = GetParam();
    RegistryTree tree(CodePage::ForNumber(c.codePage));
    auto* root = tree.Root("HKEY_LOCAL_MACHINE");
    root->CreatePath(c.created);
    EXPECT_EQ(root->CountSubtreeKeys(), c.expectedDepth);
    EXPECT_EQ(root->FindPath(c.lookedUp) != nullptr, c.found);
}

INSTANTIATE_TEST_SUITE_P(Paths, RegistryPathTest, testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RegistryValuesTest, ManyValuesKeepOrderAndFindWithoutCase) {
    RegistryTree tree;
    auto* key = tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Software\\SharedDLLs");
    for (int i = 0; i < 100; ++i) {
        key->SetValue("Value" + std::to_string(i), platform::sim::REG_SZ_TYPE, {std::uint8_t(i)});
    }
    key->SetValue("VALUE7", platform::sim::REG_DWORD_TYPE, {1, 0, 0, 0});  // replaces Value7
    ASSERT_EQ(key->Values().size(), 100u);
    EXPECT_EQ(key->Values()[7].name, "Value7");
    EXPECT_EQ(key->Values()[7].type, platform::sim::REG_DWORD_TYPE);

    EXPECT_TRUE(key->RemoveValue("value0"));
    EXPECT_FALSE(key->RemoveValue("value0"));
    ASSERT_NE(key->FindValue("value99"), nullptr);
    EXPECT_EQ(key->FindValue("value99")->data, std::vector<std::uint8_t>{99});
    EXPECT_EQ(key->Values().front().name, "Value1");
    key->SetValue("Added", platform::sim::REG_SZ_TYPE, {});
    EXPECT_EQ(key->Values().back().name, "Added");
    EXPECT_NE(key->FindValue("ADDED"), nullptr);
}

}  // namespace
