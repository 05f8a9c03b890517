// The registry's contents: name rules and paths in single- and double-byte
// code pages, keys with many values, and keys whose contents come from a
// source when first looked at.
#include <gtest/gtest.h>

#include <memory>
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

// Gives key n one value "From" = n and, below depth 2, subkeys n*10+1 and
// n*10+2 (named "S<id>") with sources of their own; counts its fills.
class CountingSource : public platform::sim::KeySource,
                       public std::enable_shared_from_this<CountingSource> {
public:
    void Fill(std::uint32_t id, platform::sim::RegistryKey* key) const override {
        ++fills;
        key->SetValue("From", platform::sim::REG_DWORD_TYPE, {std::uint8_t(id)});
        if (id >= 10) return;
        for (std::uint32_t child : {id * 10 + 1, id * 10 + 2})
            key->CreateSubkey("S" + std::to_string(child))->SetSource(shared_from_this(), child);
    }
    mutable int fills = 0;
};

TEST(RegistrySourceTest, FillsAKeyOnceWhenFirstLookedAtAndAddsToWhatItHeld) {
    RegistryTree tree;
    auto source = std::make_shared<CountingSource>();
    auto* key = tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Software");
    key->SetValue("Old", platform::sim::REG_SZ_TYPE, {});
    key->SetValue("From", platform::sim::REG_SZ_TYPE, {});
    key->CreateSubkey("S1")->SetValue("Kept", platform::sim::REG_SZ_TYPE, {});
    key->SetSource(source, 0);
    EXPECT_EQ(source->fills, 0);

    ASSERT_EQ(key->SubkeyCount(), 2u);  // S1 is the one it held, S2 is new
    EXPECT_EQ(source->fills, 1);
    EXPECT_EQ(key->SubkeyAt(1)->Name(), "S2");  // a name is known without a fill
    EXPECT_EQ(source->fills, 1);
    ASSERT_EQ(key->Values().size(), 2u);
    EXPECT_EQ(key->Values()[1].type, platform::sim::REG_DWORD_TYPE);  // replaced in place

    auto* s1 = key->FindSubkey("s1");
    ASSERT_EQ(s1->Values().size(), 2u);  // Kept, and From the source
    EXPECT_EQ(source->fills, 2);
    EXPECT_EQ(key->CountSubtreeKeys(), 6u);  // S1, S2 and two below each
    EXPECT_EQ(source->fills, 7);
    EXPECT_EQ(key->CountSubtreeKeys(), 6u);
    EXPECT_EQ(source->fills, 7);
}

TEST(RegistrySourceTest, ASecondSourceComesAfterTheFirstAndClearDropsOne) {
    RegistryTree tree;
    auto first = std::make_shared<CountingSource>();
    auto second = std::make_shared<CountingSource>();
    auto* key = tree.CreateFullPath("HKEY_LOCAL_MACHINE\\A");
    key->SetSource(first, 1);
    key->SetSource(second, 2);
    EXPECT_EQ(first->fills, 1);
    ASSERT_EQ(key->Values().size(), 1u);
    EXPECT_EQ(key->Values()[0].data, std::vector<std::uint8_t>{2});
    EXPECT_EQ(key->SubkeyCount(), 4u);  // S11, S12, S21, S22

    auto* cleared = tree.CreateFullPath("HKEY_LOCAL_MACHINE\\B");
    cleared->SetSource(first, 1);
    cleared->Clear();
    EXPECT_EQ(cleared->SubkeyCount(), 0u);
    EXPECT_EQ(first->fills, 1);
}

}  // namespace
