#include "sim/formats/regedit4.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace kestrow_sim {
namespace {

using platform::sim::CodePage;
using platform::sim::REG_BINARY_TYPE;
using platform::sim::REG_DWORD_TYPE;
using platform::sim::REG_EXPAND_SZ_TYPE;
using platform::sim::REG_MULTI_SZ_TYPE;
using platform::sim::REG_NONE_TYPE;
using platform::sim::REG_SZ_TYPE;
using platform::sim::RegistryKey;
using platform::sim::RegistryTree;
using platform::sim::RegistryValue;

// The tree as text, independent of the writer under test: each key that is
// not a root as [path], each value as name=type:data. Strings (types 1, 2
// and 7) show printable bytes as they are and others as <xx>; other types
// show hex bytes.
void DumpKey(const RegistryKey& key, const std::string& path, bool isRoot, std::string* out) {
    if (!isRoot || !key.Values().empty()) *out += "[" + path + "]\n";
    for (const RegistryValue& value : key.Values()) {
        *out += value.name.empty() ? "@" : value.name;
        *out += "=" + std::to_string(value.type) + ":";
        bool text = value.type == 1 || value.type == 2 || value.type == 7;
        char buffer[8];
        for (std::size_t i = 0; i < value.data.size(); ++i) {
            unsigned char c = value.data[i];
            if (text && c >= 0x20 && c < 0x7f) {
                *out += static_cast<char>(c);
            } else {
                std::snprintf(buffer, sizeof buffer, text ? "<%02x>" : (i ? " %02x" : "%02x"), c);
                *out += buffer;
            }
        }
        *out += "\n";
    }
    for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
        const RegistryKey& subkey = *key.SubkeyAt(i);
        DumpKey(subkey, path + "\\" + subkey.Name(), false, out);
    }
}

std::string Dump(RegistryTree& tree) {
    std::string out;
    for (const std::string& root : RegistryTree::RootNames()) {
        DumpKey(*tree.Root(root), root, true, &out);
    }
    return out;
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// A file body after the header and its blank line, so its first line is
// line 3 of the file.
std::string Reg(std::string_view body) { return "REGEDIT4\r\n\r\n" + std::string(body); }

struct ReadCase {
    const char* name;
    std::string input;
    std::string expected;
};

const ReadCase kReadCases[] = {
    {"LfLineEnds", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"n\"=\"v\"\n",
     "[HKEY_LOCAL_MACHINE\\A]\nn=1:v<00>\n"},
    {"CrLfLineEnds", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"n\"=\"v\"\r\n",
     "[HKEY_LOCAL_MACHINE\\A]\nn=1:v<00>\n"},
    {"MixedLineEndsAndNoFinalLineEnd",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\r\n\"n\"=\"v\"\n\"m\"=dword:2",
     "[HKEY_LOCAL_MACHINE\\A]\nn=1:v<00>\nm=4:02 00 00 00\n"},
    {"HeaderWithTrailingBlanksAndNothingElse", "REGEDIT4 \t\r\n", ""},
    {"CommentsAndBlankLines",
     Reg("; a comment\r\n   ; indented\r\n\t\r\n[HKEY_LOCAL_MACHINE\\A]\r\n;\"x\"=\"y\"\r\n"
         "  \r\n\"n\"=\"v\"\r\n"),
     "[HKEY_LOCAL_MACHINE\\A]\nn=1:v<00>\n"},
    {"AllSixRootsAnyCaseWithParentsCreated",
     Reg("[hkey_classes_root\\a]\n[HKEY_CURRENT_USER\\b]\n[HKEY_LOCAL_MACHINE\\c\\d\\e]\n"
         "[HKEY_USERS\\f]\n[HKEY_CURRENT_CONFIG\\g]\n[HKEY_DYN_DATA\\h]\n"),
     "[HKEY_CLASSES_ROOT\\a]\n[HKEY_CURRENT_USER\\b]\n[HKEY_LOCAL_MACHINE\\c]\n"
     "[HKEY_LOCAL_MACHINE\\c\\d]\n[HKEY_LOCAL_MACHINE\\c\\d\\e]\n[HKEY_USERS\\f]\n"
     "[HKEY_CURRENT_CONFIG\\g]\n[HKEY_DYN_DATA\\h]\n"},
    {"ValuesOnARootKey", Reg("[HKEY_USERS]\n@=\"r\"\n"), "[HKEY_USERS]\n@=1:r<00>\n"},
    {"KeyReopenedInOtherCaseKeepsFirstSpelling",
     Reg("[HKEY_LOCAL_MACHINE\\Foo]\n\"a\"=\"1\"\n[HKEY_LOCAL_MACHINE\\Bar]\n"
         "[HKEY_LOCAL_MACHINE\\FOO]\n\"A\"=\"2\"\n\"b\"=\"3\"\n"),
     "[HKEY_LOCAL_MACHINE\\Foo]\na=1:2<00>\nb=1:3<00>\n[HKEY_LOCAL_MACHINE\\Bar]\n"},
    {"EmptyPathComponentsAreNoNames", Reg("[HKEY_LOCAL_MACHINE\\A\\\\B\\]\n"),
     "[HKEY_LOCAL_MACHINE\\A]\n[HKEY_LOCAL_MACHINE\\A\\B]\n"},
    {"KeyNameHoldingBracketsAndBlanksAfterTheClosingOne", Reg("[HKEY_LOCAL_MACHINE\\[x] y]] \t\n"),
     "[HKEY_LOCAL_MACHINE\\[x] y]]\n"},
    {"Escapes", Reg(R"reg([HKEY_LOCAL_MACHINE\A]
"q\"n\\"="a\\b\"c\nd\\"
"path"="C:\WINDOWS\\INF"
)reg"),
     "[HKEY_LOCAL_MACHINE\\A]\nq\"n\\=1:a\\b\"c\\nd\\<00>\npath=1:C:\\WINDOWS\\INF<00>\n"},
    {"EmptyStringAndBytesKeptAsTheyAre",
     Reg("[HKEY_LOCAL_MACHINE\\A]\n\"e\"=\"\"\n\"t\"=\"\tx\xe9\"\n"),
     "[HKEY_LOCAL_MACHINE\\A]\ne=1:<00>\nt=1:<09>x<e9><00>\n"},
    {"DefaultValueByAtOrEmptyName", Reg("[HKEY_LOCAL_MACHINE\\A]\n@=\"x\"\n\"\"=\"y\"\n"),
     "[HKEY_LOCAL_MACHINE\\A]\n@=1:y<00>\n"},
    {"BlanksAroundTheEqualsSign", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"n\" =\t\"v\"  \n@ = dword:1\n"),
     "[HKEY_LOCAL_MACHINE\\A]\nn=1:v<00>\n@=4:01 00 00 00\n"},
    {"Dwords",
     Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:0000001f\n\"b\"=dword:1F\n\"c\"=dword:ffffffff\n"
         "\"d\"=DWORD:0\n\"e\"=dword:12345678 \n"),
     "[HKEY_LOCAL_MACHINE\\A]\na=4:1f 00 00 00\nb=4:1f 00 00 00\nc=4:ff ff ff ff\n"
     "d=4:00 00 00 00\ne=4:78 56 34 12\n"},
    {"HexLists",
     Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,02,ff\n\"b\"=hex:\n\"c\"=hex:01, 02 ,\t03\n"
         "\"d\"=hex:1,a,0B\n\"e\"=hex:01,02,\n\"f\"=HEX:0a\n"),
     "[HKEY_LOCAL_MACHINE\\A]\na=3:01 02 ff\nb=3:\nc=3:01 02 03\nd=3:01 0a 0b\ne=3:01 02\n"
     "f=3:0a\n"},
    {"HexWithType",
     Reg("[HKEY_LOCAL_MACHINE\\A]\n\"z\"=hex(0):\n\"x\"=hex(2):25,41,25,00\n"
         "\"m\"=hex(7):61,00,62,00,00\n\"s\"=hex(1):61\n\"t\"=hex(a):01\n\"u\"=hex(FFFFFFFF):\n"
         "\"b\"=hex(3):01\n\"d\"=hex(4):01,02\n"),
     "[HKEY_LOCAL_MACHINE\\A]\nz=0:\nx=2:%A%<00>\nm=7:a<00>b<00><00>\ns=1:a\nt=10:01\n"
     "u=4294967295:\nb=3:01\nd=4:01 02\n"},
    {"ContinuedHexLists",
     Reg("[HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=hex:01,02,\\\r\n  03,04\r\n\"b\"=hex:\\\n01\n"
         "\"c\"=hex(2):41,\\  \t\n\t42,\\\n  00\n\"d\"=hex:01,\\\n  02,\n"),
     "[HKEY_LOCAL_MACHINE\\A]\na=3:01 02 03 04\nb=3:01\nc=2:AB<00>\nd=3:01 02\n"},
    {"ValueDeletion",
     Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"1\"\n\"b\"=\"2\"\n@=\"3\"\n\"A\"=-\n@=- \n\"none\"=-\n"),
     "[HKEY_LOCAL_MACHINE\\A]\nb=1:2<00>\n"},
    {"KeyDeletion",
     Reg("[HKEY_LOCAL_MACHINE\\A\\B\\C]\n[HKEY_LOCAL_MACHINE\\A\\D]\n[-HKEY_LOCAL_MACHINE\\a\\b]\n"
         "[-HKEY_LOCAL_MACHINE\\None\\Such]\n[HKEY_LOCAL_MACHINE\\A\\D]\n\"v\"=\"1\"\n"),
     "[HKEY_LOCAL_MACHINE\\A]\n[HKEY_LOCAL_MACHINE\\A\\D]\nv=1:1<00>\n"},
    {"KeyDeletedThenRecreated",
     Reg("[HKEY_LOCAL_MACHINE\\A]\n\"old\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\A]\n"
         "[HKEY_LOCAL_MACHINE\\A]\n\"new\"=\"2\"\n"),
     "[HKEY_LOCAL_MACHINE\\A]\nnew=1:2<00>\n"},
};

// Test names and failure messages show the case by its name.
void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class Regedit4ReadCase : public testing::TestWithParam<ReadCase> {};

TEST_P(Regedit4ReadCase, AppliesTheFile) {
    RegistryTree tree;
    Regedit4Error error;
    ASSERT_TRUE(ReadRegedit4(GetParam().input, &tree, &error)) << error.Format("case");
    EXPECT_EQ(Dump(tree), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Regedit4ReadCase, testing::ValuesIn(kReadCases),
                         [](const testing::TestParamInfo<ReadCase>& info) {
                             return std::string(info.param.name);
                         });

std::string DeepPath(std::size_t levels) {
    std::string path = "[HKEY_LOCAL_MACHINE";
    for (std::size_t i = 0; i < levels; ++i) path += "\\k";
    return path + "]\n";
}

struct ErrorCase {
    const char* name;
    std::string input;
    std::size_t line;
    const char* message;  // a part of the message
};

const ErrorCase kErrorCases[] = {
    {"EmptyFile", "", 1, "empty file"},
    {"BlankLineBeforeHeader", "\r\nREGEDIT4\r\n", 1, "the first line must be REGEDIT4"},
    {"NoHeader", "[HKEY_LOCAL_MACHINE\\A]\r\n", 1, "the first line must be REGEDIT4"},
    {"IndentedHeader", " REGEDIT4\r\n", 1, "the first line must be REGEDIT4"},
    {"OtherVersion", "REGEDIT5\r\n", 1, "the first line must be REGEDIT4 in 'REGEDIT5'"},
    {"CrOnlyLineEnds", "REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\A]\r\"a\"=\"1\"\r", 1,
     "lines end in CR alone"},
    {"UnicodeExportHeader", "Windows Registry Editor Version 5.00\r\n\r\n", 1,
     "Windows 2000/XP export"},
    {"Utf16Text", std::string("\xff\xfeW\0i\0n\0", 8), 1, "UTF-16 text"},
    {"Utf8ByteOrderMark", "\xef\xbb\xbfREGEDIT4\r\n", 1, "byte order mark"},
    {"NulByte", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"x") + std::string(1, '\0') + "\"\n", 4,
     "binary file"},
    {"ValueBeforeAnyKey", Reg("\"a\"=\"1\"\n"), 3, "value line before any key line"},
    {"ValueAfterKeyDeletion",
     Reg("[HKEY_LOCAL_MACHINE\\A]\n[-HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"1\"\n"), 5,
     "after a key deletion"},
    {"UnknownRoot", Reg("[HKEY_LOCAL_MASHINE\\A]\n"), 3, "unknown root key 'HKEY_LOCAL_MASHINE'"},
    {"AbbreviatedRoot", Reg("[HKLM\\A]\n"), 3, "unknown root key 'HKLM'"},
    {"PathStartingWithBackslash", Reg("[\\HKEY_LOCAL_MACHINE\\A]\n"), 3, "unknown root key ''"},
    {"EmptyKeyLine", Reg("[]\n"), 3, "unknown root key"},
    {"KeyLineWithoutClosingBracket", Reg("[HKEY_LOCAL_MACHINE\\A\n"), 3, "without closing ']'"},
    {"TextAfterClosingBracket", Reg("[HKEY_LOCAL_MACHINE\\A] x\n"), 3,
     "text after ']' of a key line at column 24"},
    {"RootDeletion", Reg("[-HKEY_LOCAL_MACHINE\\]\n"), 3, "a root key cannot be deleted"},
    {"UnknownLine", Reg("[HKEY_LOCAL_MACHINE\\A]\nname=value\n"), 4,
     "not a key, value or comment line at column 1 in 'name=value'"},
    {"UnterminatedString", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"abc\n"), 4, "unterminated string"},
    {"StringEndingInEscapedQuote", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"abc\\\"\n"), 4,
     "unterminated string"},
    {"UnterminatedName", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"abc=\"1\"\n"), 4, "missing '='"},
    {"UnterminatedNameAtLineEnd", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"abc\n"), 4,
     "unterminated value name"},
    {"MissingEquals", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\" \"b\"\n"), 4,
     "missing '=' after the value name at column 5"},
    {"MissingEqualsAfterAt", Reg("[HKEY_LOCAL_MACHINE\\A]\n@\"b\"\n"), 4, "missing '='"},
    {"TextAfterClosingQuote", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"c\n"), 4,
     "text after the closing quote at column 8"},
    {"LetterAfterHexDigit", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,0g\n"), 4,
     "expected ',' after a hex byte at column 13"},
    {"NotAHexByte", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,x1\n"), 4,
     "bad hex digit at column 12"},
    {"EmptyHexItem", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,,02\n"), 4, "bad hex digit"},
    {"HexBytesWithoutComma", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01 02\n"), 4,
     "expected ',' after a hex byte"},
    {"HexByteTooLong", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:123\n"), 4,
     "hex byte with more than two digits"},
    {"DwordTooLong", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:000000001\n"), 4,
     "dword value longer than 8 hex digits"},
    {"DwordBadDigit", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:12x4\n"), 4,
     "bad hex digit in dword value at column 13"},
    {"DwordWithoutDigits", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:\n"), 4,
     "dword value without hex digits"},
    {"UnknownValueType", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=qword:1\n"), 4, "unknown value type"},
    {"BareNumber", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=1\n"), 4, "unknown value type"},
    {"NoData", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\n"), 4, "unknown value type"},
    {"BadHexType", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(g):01\n"), 4,
     "bad type number in hex(...)"},
    {"EmptyHexType", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex():01\n"), 4, "bad type number"},
    {"HexTypeTooLong", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(123456789):01\n"), 4,
     "bad type number"},
    {"HexTypeWithoutColon", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(2)01\n"), 4,
     "missing ':' after hex(...)"},
    {"ContinuationAtEndOfFile", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\"), 4,
     "hex data continues past the end of the file"},
    {"ContinuationIntoBlankLine", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n\n\"b\"=\"1\"\n"),
     5, "empty line after a '\\' continuation"},
    {"TextAfterContinuation", Reg("[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\ 02\n"), 4,
     "text after a '\\' continuation at column 14"},
    {"BadDigitOnThirdLineOfAValue",
     Reg("[HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=hex:01,\\\r\n  02,\\\r\n  0x\r\n"), 6,
     "expected ',' after a hex byte at column 4 in '  0x'"},
    {"KeyPathTooDeep", Reg(DeepPath(513)), 3, "key path deeper than 512 levels"},
    {"ErrorAfterChangesOnTheLastLine",
     Reg("[-HKEY_LOCAL_MACHINE\\Base]\n[HKEY_LOCAL_MACHINE\\New]\n\"a\"=\"1\"\n"
         "[HKEY_LOCAL_MACHINE\\Base\\Sub]\n\"v\"=-\n\"b\"=hex:zz"),
     8, "bad hex digit"},
};

// Every bad file leaves a tree that already holds keys exactly as it was,
// and names the line and the fault.
// Test names and failure messages show the case by its name.
void PrintTo(const ErrorCase& c, std::ostream* out) { *out << c.name; }

class Regedit4ErrorCase : public testing::TestWithParam<ErrorCase> {};

TEST_P(Regedit4ErrorCase, RejectsTheFileAndLeavesTheTreeUnchanged) {
    const ErrorCase& param = GetParam();
    RegistryTree tree;
    ASSERT_TRUE(ReadRegedit4(Reg("[HKEY_LOCAL_MACHINE\\Base\\Sub]\n\"v\"=\"1\"\n"
                                 "[HKEY_LOCAL_MACHINE\\A]\n\"keep\"=dword:1\n"),
                             &tree, nullptr));
    std::string before = Dump(tree);
    Regedit4Error error;
    EXPECT_FALSE(ReadRegedit4(param.input, &tree, &error));
    EXPECT_EQ(error.line, param.line) << error.message;
    EXPECT_NE(error.message.find(param.message), std::string::npos) << error.message;
    EXPECT_EQ(Dump(tree), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, Regedit4ErrorCase, testing::ValuesIn(kErrorCases),
                         [](const testing::TestParamInfo<ErrorCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Regedit4Read, DeepestAllowedPathIsAccepted) {
    RegistryTree tree;
    Regedit4Error error;
    EXPECT_TRUE(ReadRegedit4(Reg(DeepPath(512)), &tree, &error)) << error.message;
}

TEST(Regedit4Read, ErrorFormatNamesTheFile) {
    EXPECT_EQ((Regedit4Error{12, "bad"}).Format("pci.reg"), "pci.reg:12: bad");
    EXPECT_EQ((Regedit4Error{0, "cannot open"}).Format("pci.reg"), "pci.reg: cannot open");
}

TEST(Regedit4Read, ExcerptIsShortAndEscaped) {
    RegistryTree tree;
    Regedit4Error error;
    ASSERT_FALSE(ReadRegedit4(
        Reg("[HKEY_LOCAL_MACHINE\\A]\n\"\x01\xe9\"=junk and more text here, and more\n"), &tree,
        &error));
    EXPECT_EQ(error.message,
              "unknown value type at column 6 in "
              "'\"\\x01\\xe9\"=junk and more text here, and ...'");
}

// A line of megabytes is read in one pass, and its error stays short.
TEST(Regedit4Read, MegabyteLines) {
    std::string hex = "\"big\"=hex:";
    for (int i = 0; i < 1000000; ++i) hex += "ab,";
    hex += "cd";
    RegistryTree tree;
    Regedit4Error error;
    ASSERT_TRUE(ReadRegedit4(Reg("[HKEY_LOCAL_MACHINE\\A]\n" + hex + "\n"), &tree, &error))
        << error.message;
    EXPECT_EQ(tree.FindFullPath("HKEY_LOCAL_MACHINE\\A")->FindValue("big")->data.size(), 1000001u);

    for (const std::string& bad : {hex + ",zz", "\"s\"=\"" + std::string(3000000, 'x')}) {
        ASSERT_FALSE(ReadRegedit4(Reg("[HKEY_LOCAL_MACHINE\\A]\n" + bad + "\n"), &tree, &error));
        EXPECT_EQ(error.line, 4u);
        EXPECT_LT(error.message.size(), 120u) << error.message;
    }
}

TEST(Regedit4Read, FilesLayerOnOneAnother) {
    RegistryTree tree;
    ASSERT_TRUE(ReadRegedit4(Reg("[HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev1]\n\"Class\"=\"USB\"\n"
                                 "\"Flags\"=dword:1\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev2]\n"
                                 "\"Class\"=\"Net\"\n"),
                             &tree, nullptr));
    ASSERT_TRUE(ReadRegedit4(Reg("[-HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev2]\n"
                                 "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\DEV1]\n\"flags\"=-\n"
                                 "\"Class\"=\"Hub\"\n\"Driver\"=\"USB\\\\0000\"\n"
                                 "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev3]\n"),
                             &tree, nullptr));
    EXPECT_EQ(Dump(tree),
              "[HKEY_LOCAL_MACHINE\\Enum]\n[HKEY_LOCAL_MACHINE\\Enum\\PCI]\n"
              "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev1]\nClass=1:Hub<00>\nDriver=1:USB\\0000<00>\n"
              "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev3]\n");
}

// Code page 950: 0x5C ('\') is the trail byte of many characters, and must
// neither split a key path nor escape anything.
TEST(Regedit4Read, DoubleByteNamesStayWholeInCodePage950) {
    const std::string xu = "\xb3\x5c";    // a character whose trail byte is '\'
    const std::string gong = "\xa5\x5c";  // another
    const std::string keyLine = "[HKEY_LOCAL_MACHINE\\Enum\\" + xu + gong + "\\" + xu + "a]\r\n";
    const std::string text = Reg(keyLine + "\"" + xu + "\"=\"" + gong + "\"\r\n\r\n");
    RegistryTree tree(CodePage::ForNumber(950));
    Regedit4Error error;
    ASSERT_TRUE(ReadRegedit4(text, &tree, &error)) << error.message;
    RegistryKey* enumKey = tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum");
    ASSERT_EQ(enumKey->SubkeyCount(), 1u);
    RegistryKey* outer = enumKey->SubkeyAt(0);
    EXPECT_EQ(outer->Name(), xu + gong);
    ASSERT_EQ(outer->SubkeyCount(), 1u);
    RegistryKey* inner = outer->SubkeyAt(0);
    EXPECT_EQ(inner->Name(), xu + "a");
    ASSERT_EQ(inner->Values().size(), 1u);
    EXPECT_EQ(inner->Values()[0].name, xu);
    EXPECT_EQ(inner->Values()[0].data, Bytes(gong + std::string(1, '\0')));
    // The letter after a double-byte character still folds.
    ASSERT_TRUE(ReadRegedit4(Reg("[HKEY_LOCAL_MACHINE\\Enum\\" + xu + gong + "\\" + xu + "A]\n"),
                             &tree, &error));
    EXPECT_EQ(outer->SubkeyCount(), 1u);

    EXPECT_EQ(
        WriteRegedit4Subtree(*tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum"), tree.GetCodePage()),
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\" + xu +
            gong + "]\r\n\r\n" + text.substr(12));

    // The same bytes in code page 1252 are single-byte characters and
    // backslashes: the key path splits, and the value line escapes its
    // closing quotes.
    RegistryTree western;
    EXPECT_FALSE(ReadRegedit4(text, &western, &error));
    EXPECT_NE(error.message.find("missing '='"), std::string::npos) << error.message;
    ASSERT_TRUE(ReadRegedit4(Reg(keyLine), &western, &error)) << error.message;
    EXPECT_EQ(western.FindFullPath("HKEY_LOCAL_MACHINE\\Enum")->SubkeyAt(0)->Name(), "\xb3");
}

// Writes a test file's bytes, whole.
void WriteTestFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(Regedit4Files, ReadsAndReportsFileProblems) {
    std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "regedit4_files";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::string path = (dir / "pci.reg").string();
    RegistryTree tree;
    Regedit4Error error;

    EXPECT_FALSE(ReadRegedit4File(path, &tree, &error));
    EXPECT_EQ(error.Format("pci.reg"), "pci.reg: cannot open: No such file or directory");
    EXPECT_FALSE(ReadRegedit4File(dir.string(), &tree, &error));
    EXPECT_EQ(error.message, "cannot read: Is a directory");

    const std::string text = Reg("[HKEY_LOCAL_MACHINE\\A]\r\n\"n\"=\"v\"\r\n\r\n");
    WriteTestFile(path, text);
    ASSERT_TRUE(ReadRegedit4File(path, &tree, &error)) << error.message;
    EXPECT_EQ(WriteRegedit4NonEmptyRoots(tree),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n" + text.substr(12));

    {
        std::ofstream binary(path, std::ios::binary);
        binary << Reg("[HKEY_LOCAL_MACHINE\\B]\n") << '\0' << "\n";
    }
    EXPECT_FALSE(ReadRegedit4File(path, &tree, &error));
    EXPECT_EQ(error.line, 4u);
    EXPECT_NE(error.message.find("binary file"), std::string::npos);
    std::filesystem::remove_all(dir);
}

// Files are read a piece at a time: what lies across or beyond a piece
// boundary must read as it does from memory.
TEST(Regedit4Files, PieceBoundariesChangeNothing) {
    std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "regedit4_pieces";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "big.reg").string();
    auto writeFile = [&](const std::string& text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    };
    const std::string longValue(600 * 1024, 'x');  // longer than a piece
    const std::string text =
        Reg("[HKEY_LOCAL_MACHINE\\A]\r\n\"long\"=\"" + longValue + "\"\r\n\"after\"=dword:1\r\n");
    writeFile(text);
    RegistryTree fromFile;
    RegistryTree fromMemory;
    Regedit4Error error;
    ASSERT_TRUE(ReadRegedit4File(path, &fromFile, &error)) << error.message;
    ASSERT_TRUE(ReadRegedit4(text, &fromMemory, &error)) << error.message;
    EXPECT_EQ(Dump(fromFile), Dump(fromMemory));

    // A NUL far past the first piece: an error, and an empty tree stays empty.
    writeFile(text + std::string(1, '\0') + "\r\n");
    RegistryTree empty;
    EXPECT_FALSE(ReadRegedit4File(path, &empty, &error));
    EXPECT_EQ(error.line, 6u);
    EXPECT_NE(error.message.find("binary file"), std::string::npos);
    EXPECT_EQ(WriteRegedit4NonEmptyRoots(empty), "REGEDIT4\r\n\r\n");

    // And a tree that held keys keeps exactly them.
    RegistryTree filled;
    ASSERT_TRUE(ReadRegedit4(Reg("[HKEY_LOCAL_MACHINE\\Kept]\r\n"), &filled, &error));
    const std::string before = Dump(filled);
    EXPECT_FALSE(ReadRegedit4File(path, &filled, &error));
    EXPECT_EQ(Dump(filled), before);
    std::filesystem::remove_all(dir);
}

// The streamed writers hand the text over in pieces; put together, the
// pieces are the text writers' text, and a sink that stops the stream is
// handed nothing more.
TEST(Regedit4Write, StreamedWritersMatchTheTextWriters) {
    RegistryTree tree;
    Regedit4Error error;
    std::string body;
    for (int i = 0; i < 5000; ++i) {  // several pieces of output
        body +=
            "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\DEV_" + std::to_string(i) +
            "]\r\n\"DeviceDesc\"=\"Stand-in device\"\r\n\"ConfigFlags\"=hex:00,00,00,00\r\n\r\n";
    }
    ASSERT_TRUE(ReadRegedit4(Reg(body), &tree, &error)) << error.message;
    std::string streamed;
    std::size_t pieces = 0;
    auto collect = [&](std::string_view piece) {
        streamed.append(piece);
        ++pieces;
        return true;
    };

    ASSERT_TRUE(StreamRegedit4NonEmptyRoots(tree, collect));
    EXPECT_EQ(streamed, WriteRegedit4NonEmptyRoots(tree));
    EXPECT_GT(pieces, 1u);

    const RegistryKey* pci = tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI");
    std::vector<const RegistryKey*> keys = {pci->SubkeyAt(3), pci->SubkeyAt(4000)};
    streamed.clear();
    ASSERT_TRUE(StreamRegedit4Subtrees(keys, tree.GetCodePage(), collect));
    EXPECT_EQ(streamed, WriteRegedit4Subtrees(keys, tree.GetCodePage()));

    pieces = 0;
    EXPECT_FALSE(StreamRegedit4NonEmptyRoots(tree, [&](std::string_view) {
        ++pieces;
        return false;  // a full disk, say
    }));
    EXPECT_EQ(pieces, 1u);
}

// --- Writing ---

TEST(Regedit4Write, EachKindOfValue) {
    RegistryTree tree;
    RegistryKey* key = tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\A");
    key->SetValue("", REG_SZ_TYPE, Bytes(std::string("default\0", 8)));
    key->SetValue("Quote\"And\\Slash", REG_SZ_TYPE, Bytes(std::string("C:\\\"x\"\0", 7)));
    key->SetValue("Empty", REG_SZ_TYPE, Bytes(std::string("\0", 1)));
    key->SetValue("NoNul", REG_SZ_TYPE, Bytes("ab"));
    key->SetValue("NoData", REG_SZ_TYPE, {});
    key->SetValue("InnerNul", REG_SZ_TYPE, Bytes(std::string("a\0b\0", 4)));
    key->SetValue("TwoNuls", REG_SZ_TYPE, Bytes(std::string("a\0\0", 3)));
    key->SetValue("LineBreak", REG_SZ_TYPE, Bytes(std::string("a\r\nb\0", 5)));
    key->SetValue("Dword", REG_DWORD_TYPE, {0x1f, 0x00, 0x00, 0x80});
    key->SetValue("ShortDword", REG_DWORD_TYPE, {0x01, 0x02});
    key->SetValue("Binary", REG_BINARY_TYPE, {0x00, 0xff, 0x10});
    key->SetValue("NoBytes", REG_BINARY_TYPE, {});
    key->SetValue("Expand", REG_EXPAND_SZ_TYPE, Bytes(std::string("%A%\0", 4)));
    key->SetValue("Multi", REG_MULTI_SZ_TYPE, Bytes(std::string("a\0\0", 3)));
    key->SetValue("None", REG_NONE_TYPE, {0x01});
    key->SetValue("BigType", 0x12345, {});
    key->CreateSubkey("Sub");
    tree.CreateFullPath("HKEY_DYN_DATA\\X");

    EXPECT_EQ(WriteRegedit4NonEmptyRoots(tree),
              "REGEDIT4\r\n\r\n"
              "[HKEY_LOCAL_MACHINE]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Enum\\A]\r\n"
              "@=\"default\"\r\n"
              "\"Quote\\\"And\\\\Slash\"=\"C:\\\\\\\"x\\\"\"\r\n"
              "\"Empty\"=\"\"\r\n"
              "\"NoNul\"=hex(1):61,62\r\n"
              "\"NoData\"=hex(1):\r\n"
              "\"InnerNul\"=hex(1):61,00,62,00\r\n"
              "\"TwoNuls\"=hex(1):61,00,00\r\n"
              "\"LineBreak\"=hex(1):61,0d,0a,62,00\r\n"
              "\"Dword\"=dword:8000001f\r\n"
              "\"ShortDword\"=hex(4):01,02\r\n"
              "\"Binary\"=hex:00,ff,10\r\n"
              "\"NoBytes\"=hex:\r\n"
              "\"Expand\"=hex(2):25,41,25,00\r\n"
              "\"Multi\"=hex(7):61,00,00\r\n"
              "\"None\"=hex(0):01\r\n"
              "\"BigType\"=hex(12345):\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\Enum\\A\\Sub]\r\n\r\n"
              "[HKEY_DYN_DATA]\r\n\r\n"
              "[HKEY_DYN_DATA\\X]\r\n\r\n");
}

TEST(Regedit4Write, WholeTreeWritesEveryRoot) {
    RegistryTree tree;
    EXPECT_EQ(WriteRegedit4(tree),
              "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT]\r\n\r\n[HKEY_CURRENT_USER]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE]\r\n\r\n[HKEY_USERS]\r\n\r\n[HKEY_CURRENT_CONFIG]\r\n\r\n"
              "[HKEY_DYN_DATA]\r\n\r\n");
    EXPECT_EQ(WriteRegedit4NonEmptyRoots(tree), "REGEDIT4\r\n\r\n");
}

TEST(Regedit4Write, SubtreesAreHeadedByTheirFullPath) {
    RegistryTree tree;
    tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev\\Inst")
        ->SetValue("Class", REG_SZ_TYPE, Bytes(std::string("USB\0", 4)));
    tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\Root");
    RegistryKey* dev = tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev");
    RegistryKey* root = tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\Root");
    const std::string devText =
        "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\Dev\\Inst]\r\n\"Class\"=\"USB\"\r\n\r\n";
    EXPECT_EQ(WriteRegedit4Subtree(*dev, tree.GetCodePage()), "REGEDIT4\r\n\r\n" + devText);
    EXPECT_EQ(WriteRegedit4Subtrees({dev, root}, tree.GetCodePage()),
              "REGEDIT4\r\n\r\n" + devText + "[HKEY_LOCAL_MACHINE\\Enum\\Root]\r\n\r\n");
}

// With the name "Data" the first line holds 22 bytes and every further
// line 25, and no line is longer than 78 bytes.
TEST(Regedit4Write, LongHexDataWrapsAsRegeditDoes) {
    RegistryTree tree;
    RegistryKey* key = tree.CreateFullPath("HKEY_LOCAL_MACHINE\\A");
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 48; ++i) data.push_back(static_cast<std::uint8_t>(i));
    key->SetValue("Data", REG_BINARY_TYPE, data);
    key->SetValue("Fits", REG_BINARY_TYPE, {data.begin(), data.begin() + 22});
    key->SetValue("Wrap", REG_BINARY_TYPE, {data.begin(), data.begin() + 23});
    EXPECT_EQ(
        WriteRegedit4Subtree(*key, tree.GetCodePage()),
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
        "\"Data\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
        "  2f\r\n"
        "\"Fits\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15\r\n"
        "\"Wrap\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        "  16\r\n"
        "\r\n");
}

// A string whose bytes read back differently from a quoted string is hex(1);
// in code page 950 a trail byte '\' is not escaped.
TEST(Regedit4Write, StringsFollowTheCodePage) {
    for (unsigned number : {1252u, 950u}) {
        RegistryTree tree(CodePage::ForNumber(number));
        RegistryKey* key = tree.CreateFullPath("HKEY_LOCAL_MACHINE\\A");
        key->SetValue("Trail", REG_SZ_TYPE, Bytes(std::string("\xb3\\\0", 3)));
        key->SetValue("LeadLast", REG_SZ_TYPE, Bytes(std::string("x\xb3\0", 3)));
        key->SetValue("LeadQuote", REG_SZ_TYPE, Bytes(std::string("\xb3\"\0", 3)));
        std::string expected = number == 950 ? "\"Trail\"=\"\xb3\\\"\r\n"
                                               "\"LeadLast\"=\"x\xb3\"\r\n"
                                               "\"LeadQuote\"=hex(1):b3,22,00\r\n"
                                             : "\"Trail\"=\"\xb3\\\\\"\r\n"
                                               "\"LeadLast\"=\"x\xb3\"\r\n"
                                               "\"LeadQuote\"=\"\xb3\\\"\"\r\n";
        std::string text = WriteRegedit4Subtree(*key, tree.GetCodePage());
        EXPECT_EQ(text, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n" + expected + "\r\n")
            << number;
        RegistryTree back(CodePage::ForNumber(number));
        ASSERT_TRUE(ReadRegedit4(text, &back, nullptr)) << number;
        EXPECT_EQ(Dump(back), Dump(tree)) << number;
    }
}

// --- Round trips ---

// What Windows 98's regedit writes for a PCI branch: read and written
// again, it comes out byte for byte the same.
const char kEnumSample[] =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01"
    "\\BUS_00&DEV_07&FUNC_02]\r\n"
    "\"Class\"=\"USB\"\r\n"
    "\"HardwareID\"=\"PCI\\\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01,"
    "PCI\\\\VEN_1234&DEV_5678\"\r\n"
    "\"DeviceDesc\"=\"Stand-in USB Universal Host Controller\"\r\n"
    "\"ConfigFlags\"=hex:00,00,00,00\r\n"
    "\"Driver\"=\"USB\\\\0000\"\r\n"
    "\"Mfg\"=\"Stand-in\"\r\n"
    "\"BootConfig\"=hex:00,04,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\r\n"
    "  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\r\n"
    "  00,00,00,00,00,00,01,00,00,00,09,00,00,00\r\n"
    "\"InfName\"=\"MACHINE.INF\"\r\n"
    "\"UINumber\"=dword:00000007\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1234&DEV_5678&SUBSYS_00000000&REV_01"
    "\\BUS_00&DEV_07&FUNC_02\\LogConfig]\r\n"
    "\"0000\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,00\r\n"
    "\"Names\"=hex(7):61,00,62,00,00\r\n"
    "\r\n";

TEST(Regedit4RoundTrip, RegeditExportComesBackIdentical) {
    RegistryTree tree;
    Regedit4Error error;
    ASSERT_TRUE(ReadRegedit4(kEnumSample, &tree, &error)) << error.message;
    EXPECT_EQ(WriteRegedit4Subtree(*tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI"),
                                   tree.GetCodePage()),
              kEnumSample);
}

// A hand-written file in other spellings reads to a tree that the writer
// writes and the reader reads back to the same tree.
TEST(Regedit4RoundTrip, LooseSpellingsKeepTheTree) {
    const std::string loose =
        Reg("; made by hand\n"
            "[hkey_local_machine\\Enum\\PCI\\Dev]\n"
            "\"Bin\"=hex(3):1,2, 3,\\\n\t4\n"
            "\"Word\"=dword:1F\n"
            "@=hex(1):61,62\n"
            "\"Path\"=\"C:\\WINDOWS\\\\SYSTEM\"\n");
    RegistryTree tree;
    ASSERT_TRUE(ReadRegedit4(loose, &tree, nullptr));
    std::string written = WriteRegedit4(tree);
    RegistryTree back;
    ASSERT_TRUE(ReadRegedit4(written, &back, nullptr));
    EXPECT_EQ(Dump(back), Dump(tree));
    EXPECT_EQ(WriteRegedit4(back), written);
}

// Random trees with names and data full of quotes, backslashes, high bytes,
// NULs and line breaks, of every size around the wrap points: written, read
// back and written again, they keep the tree and the text exactly.
class Regedit4RandomRoundTrip : public testing::TestWithParam<unsigned> {};

TEST_P(Regedit4RandomRoundTrip, KeepsTreeAndText) {
    const CodePage codePage = CodePage::ForNumber(GetParam());
    std::mt19937 random(GetParam());
    auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const std::string alphabet = "aB\\\"]; =@[-\t\xb3\x81\xe9\x5c";
    // A name of whole characters: in a double-byte code page each lead byte
    // gets a trail byte, which may be '\' or ']'.
    auto name = [&](bool isKey) {
        std::string text;
        std::size_t length = 1 + pick(12);
        while (text.size() < length) {
            char c = alphabet[pick(alphabet.size())];
            if (codePage.IsLeadByte(static_cast<unsigned char>(c))) {
                text += c;
                text += "\\]a\xa1"[pick(4)];
            } else if (!(isKey && c == '\\')) {
                text += c;
            }
        }
        return text;
    };
    const std::uint32_t types[] = {0, 1, 1, 1, 2, 3, 4, 4, 7, 0x20};
    auto data = [&](std::uint32_t type) {
        std::vector<std::uint8_t> bytes(pick(3) == 0 ? pick(120) : pick(8));
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(pick(6) == 0 ? pick(256)
                                                       : alphabet[pick(alphabet.size())]);
        }
        if (type == 1 && pick(4) != 0) bytes.push_back(0);
        if (type == 4 && pick(4) != 0) bytes.resize(4);
        return bytes;
    };

    RegistryTree tree(codePage);
    std::vector<RegistryKey*> keys;
    for (const std::string& root : RegistryTree::RootNames()) keys.push_back(tree.Root(root));
    for (int i = 0; i < 300; ++i) {
        RegistryKey* key = keys[pick(keys.size())]->CreateSubkey(name(true));
        keys.push_back(key);
        for (std::size_t v = pick(5); v > 0; --v) {
            std::uint32_t type = types[pick(std::size(types))];
            key->SetValue(pick(8) == 0 ? "" : name(false), type, data(type));
        }
    }

    std::string text = WriteRegedit4(tree);
    RegistryTree back(codePage);
    Regedit4Error error;
    ASSERT_TRUE(ReadRegedit4(text, &back, &error)) << error.Format("written");
    EXPECT_EQ(Dump(back), Dump(tree));
    EXPECT_EQ(WriteRegedit4(back), text);

    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  ", 0) == 0) {
            EXPECT_LE(line.size(), 79u) << line;  // with its CR
        }
    }
}

INSTANTIATE_TEST_SUITE_P(CodePages, Regedit4RandomRoundTrip, testing::Values(1252u, 932u, 950u));

}  // namespace
}  // namespace kestrow_sim
