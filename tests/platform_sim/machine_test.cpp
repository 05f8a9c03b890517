// The simulated machine seen through the platform operations, the way the
// program sees it.
#include "platform/sim/machine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/named_systems.h"

namespace platform::sim {
namespace {

using ::testing::ElementsAre;

HKEY Handle(std::uintptr_t value) { return reinterpret_cast<HKEY>(value); }
HWND Window(std::uintptr_t value) { return reinterpret_cast<HWND>(value); }

constexpr LONG kFileNotFound = 2;
constexpr LONG kAccessDenied = 5;
constexpr LONG kInvalidHandle = 6;
constexpr LONG kInvalidParameter = 87;
constexpr LONG kMoreData = 234;
constexpr LONG kNoMoreItems = 259;
constexpr LONG kBadKey = 1010;
constexpr LONG kKeyDeleted = 1018;

class MachineTest : public ::testing::Test {
protected:
    Machine machine;
    Machine::Activation activation{machine};
};

// --- Registry --------------------------------------------------------------------

// HKLM\Enum\PCI with three controllers, created out of alphabetical order,
// the first with two levels below it.
class RegistryTest : public MachineTest {
protected:
    void SetUp() override {
        RegistryTree& tree = machine.Registry();
        tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10B9&DEV_5237\\0000");
        tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10B9&DEV_5237\\0001\\Deep");
        tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD&SUBSYS_24CD8086");
        tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24C2");
    }

    HKEY Open(HKEY parent, const char* path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyA(parent, path, &key), ERROR_SUCCESS) << path;
        return key;
    }

    std::vector<std::string> EnumerateAll(HKEY key) {
        std::vector<std::string> names;
        char name[256];
        DWORD index = 0;
        while (RegEnumKeyA(key, index++, name, sizeof name) == ERROR_SUCCESS) {
            names.emplace_back(name);
        }
        return names;
    }

    DWORD SubkeyCount(HKEY key) {
        DWORD count = 0;
        EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        return count;
    }
};

TEST_F(RegistryTest, LookupIgnoresCaseAndEnumerationKeepsCaseInCreationOrder) {
    HKEY pci = Open(HKEY_LOCAL_MACHINE, "enum\\pci");
    EXPECT_THAT(
        EnumerateAll(pci),
        ElementsAre("VEN_10B9&DEV_5237", "VEN_8086&DEV_24CD&SUBSYS_24CD8086", "VEN_8086&DEV_24C2"));
    char name[256] = "unchanged";
    EXPECT_EQ(RegEnumKeyA(pci, 3, name, sizeof name), kNoMoreItems);
    EXPECT_STREQ(name, "unchanged");
    EXPECT_EQ(RegCloseKey(pci), ERROR_SUCCESS);
}

TEST_F(RegistryTest, EnumeratedNameMustFitWithItsTerminator) {
    struct Case {
        std::size_t nameLength;
        DWORD size;
        LONG status;
    };
    const Case cases[] = {
        {255, 255, kMoreData},  // the longest name Windows 98 allows, 255 bytes offered
        {255, 256, ERROR_SUCCESS}, {5, 5, kMoreData}, {5, 6, ERROR_SUCCESS}, {5, 0, kMoreData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.nameLength) + " chars into " + std::to_string(c.size));
        std::string name(c.nameLength, 'K');
        std::string parentName =
            "Case" + std::to_string(c.nameLength) + "_" + std::to_string(c.size);
        RegistryKey* hklm = machine.Registry().Root("HKEY_LOCAL_MACHINE");
        RegistryKey* parent = hklm->CreateSubkey(parentName);
        parent->CreateSubkey(name);
        HKEY key = Open(HKEY_LOCAL_MACHINE, parent->Name().c_str());

        std::vector<char> buffer(c.size + 8, '#');
        EXPECT_EQ(RegEnumKeyA(key, 0, buffer.data(), c.size), c.status);
        std::string expected = c.status == ERROR_SUCCESS ? name + '\0' : "";
        expected.resize(buffer.size(), '#');
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected);
        RegCloseKey(key);
    }
}

TEST_F(RegistryTest, DeleteRemovesSubtreeAndInvalidatesHandlesBelowIt) {
    HKEY pci = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI", 0, KEY_ALL_ACCESS, &pci), 0);
    HKEY controller = Open(pci, "VEN_10B9&DEV_5237");
    HKEY deep = Open(pci, "VEN_10B9&DEV_5237\\0001\\Deep");
    HKEY sibling = Open(pci, "VEN_8086&DEV_24C2");

    EXPECT_EQ(RegDeleteKeyA(pci, "ven_10b9&dev_5237"), ERROR_SUCCESS);

    EXPECT_EQ(machine.Registry().FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10B9&DEV_5237"),
              nullptr);
    EXPECT_THAT(EnumerateAll(pci),
                ElementsAre("VEN_8086&DEV_24CD&SUBSYS_24CD8086", "VEN_8086&DEV_24C2"));
    DWORD count = 99;
    EXPECT_EQ(RegQueryInfoKeyA(controller, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              kKeyDeleted);
    EXPECT_EQ(count, 99u);
    char name[256];
    EXPECT_EQ(RegEnumKeyA(controller, 0, name, sizeof name), kKeyDeleted);
    HKEY reopened = nullptr;
    EXPECT_EQ(RegOpenKeyA(deep, nullptr, &reopened), kKeyDeleted);
    EXPECT_EQ(RegDeleteKeyA(controller, "0000"), kKeyDeleted);
    EXPECT_EQ(SubkeyCount(sibling), 0u);  // a sibling's handle is unaffected

    EXPECT_EQ(machine.OpenHandleCount(), 4u);
    EXPECT_EQ(RegCloseKey(controller), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(deep), kInvalidHandle);
    RegCloseKey(sibling);
    RegCloseKey(pci);
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, DeleteRefusesWhatItCannotName) {
    HKEY pci = Open(HKEY_LOCAL_MACHINE, "Enum\\PCI");
    EXPECT_EQ(RegDeleteKeyA(pci, "VEN_1033&DEV_00E0"), kFileNotFound);
    EXPECT_EQ(RegDeleteKeyA(pci, nullptr), kBadKey);
    EXPECT_EQ(RegDeleteKeyA(pci, ""), kBadKey);
    EXPECT_EQ(RegDeleteKeyA(pci, "\\"), kBadKey);
    EXPECT_EQ(RegDeleteKeyA(Handle(0x4321), "VEN_8086&DEV_24C2"), kInvalidHandle);
    EXPECT_EQ(SubkeyCount(pci), 3u);
    EXPECT_EQ(SubkeyCount(HKEY_LOCAL_MACHINE), 1u);  // the key itself is still there
    RegCloseKey(pci);
}

TEST_F(RegistryTest, HandlesThatWereNeverOpenOrAreClosedAreInvalid) {
    HKEY closed = Open(HKEY_LOCAL_MACHINE, "Enum");
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    const HKEY performanceData = Handle(0x80000004u);  // not on Windows 98
    const HKEY bad[] = {closed, Handle(0x4321), nullptr, performanceData};
    for (HKEY key : bad) {
        SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(key));
        HKEY result = Handle(0x77);
        char name[256];
        EXPECT_EQ(RegOpenKeyA(key, "PCI", &result), kInvalidHandle);
        EXPECT_EQ(RegOpenKeyExA(key, "PCI", 0, KEY_ALL_ACCESS, &result), kInvalidHandle);
        EXPECT_EQ(result, Handle(0x77));
        EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), kInvalidHandle);
        EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr),
                  kInvalidHandle);
        EXPECT_EQ(RegDeleteKeyA(key, "PCI"), kInvalidHandle);
        EXPECT_EQ(RegCloseKey(key), kInvalidHandle);
    }
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // a root stays usable
    EXPECT_EQ(SubkeyCount(HKEY_LOCAL_MACHINE), 1u);
}

TEST_F(RegistryTest, EveryOpenGivesANewHandleAndUnclosedOnesAreCounted) {
    HKEY first = Open(HKEY_LOCAL_MACHINE, "Enum\\PCI");
    HKEY second = Open(HKEY_LOCAL_MACHINE, "ENUM\\Pci");
    HKEY again = Open(first, nullptr);
    HKEY againEmpty = Open(first, "");
    const HKEY handles[] = {first, second, again, againEmpty};
    for (HKEY key : handles) {
        auto value = reinterpret_cast<std::uintptr_t>(key);
        EXPECT_NE(value, 0u);
        EXPECT_FALSE(value >= 0x80000000u && value <= 0x80000006u) << value;
        EXPECT_EQ(SubkeyCount(key), 3u);  // all refer to Enum\PCI
    }
    EXPECT_NE(first, second);
    EXPECT_NE(first, again);
    EXPECT_NE(again, againEmpty);
    EXPECT_EQ(machine.OpenHandleCount(), 4u);
    RegCloseKey(first);
    RegCloseKey(again);
    RegCloseKey(againEmpty);
    EXPECT_EQ(machine.OpenHandleCount(), 1u);  // `second` leaked
}

TEST_F(RegistryTest, OpeningAMissingKeyFailsWithoutCreatingIt) {
    HKEY result = Handle(0x77);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB", &result), kFileNotFound);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI\\Missing", 0, KEY_ALL_ACCESS, &result),
              kFileNotFound);
    EXPECT_EQ(result, Handle(0x77));
    EXPECT_EQ(machine.Registry().FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\USB"), nullptr);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", nullptr), kInvalidParameter);
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, QueryInfoFillsOnlyTheOutputsAskedFor) {
    RegistryKey* pci = machine.Registry().FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI");
    pci->SetValue("Class", REG_SZ_TYPE, {'U', 'S', 'B', 0});
    pci->SetValue("", REG_DWORD_TYPE, {1, 0, 0, 0});
    HKEY key = Open(HKEY_LOCAL_MACHINE, "Enum\\PCI");

    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                               &values, &maxValueName, &maxValue, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(maxSubKey, std::strlen("VEN_8086&DEV_24CD&SUBSYS_24CD8086"));
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxValueName, 5u);
    EXPECT_EQ(maxValue, 4u);

    char className[8] = "junk";
    DWORD classSize = sizeof className;
    EXPECT_EQ(RegQueryInfoKeyA(key, className, &classSize, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(className, "");
    EXPECT_EQ(classSize, 0u);

    DWORD reserved = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, &reserved, &subKeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              kInvalidParameter);
    RegCloseKey(key);
}

TEST_F(RegistryTest, CodePageChangeKeepsContentsAndOpenHandles) {
    HKEY pci = Open(HKEY_LOCAL_MACHINE, "Enum\\PCI");
    machine.SetCodePage(932);
    EXPECT_EQ(machine.Registry().GetCodePage().Number(), 932u);
    EXPECT_THAT(
        EnumerateAll(pci),
        ElementsAre("VEN_10B9&DEV_5237", "VEN_8086&DEV_24CD&SUBSYS_24CD8086", "VEN_8086&DEV_24C2"));
    // In 932, 0x83 leads a double-byte character, so the letter after it is
    // a trail byte and its case counts.
    RegistryKey* enumKey = machine.Registry().FindFullPath("HKEY_LOCAL_MACHINE\\Enum");
    enumKey->CreateSubkey(
        "\x83"
        "a");
    enumKey->CreateSubkey(
        "\x83"
        "A");
    EXPECT_EQ(enumKey->SubkeyCount(), 3u);
    // A handle opened before the change still acts on the live registry.
    EXPECT_EQ(RegDeleteKeyA(pci, "VEN_8086&DEV_24C2"), ERROR_SUCCESS);
    EXPECT_EQ(machine.Registry().FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24C2"),
              nullptr);
    EXPECT_EQ(RegCloseKey(pci), ERROR_SUCCESS);
    EXPECT_THROW(machine.SetCodePage(437), std::invalid_argument);
}

// --- Version ---------------------------------------------------------------------

TEST(VersionRecordTest, NamedSystemsReportTheirVersionAndAcceptTheirRecordSizes) {
    struct Case {
        const char* name;
        DWORD major, minor, build, platformId;
        const char* csd;
        bool acceptsExtended;
    };
    const Case cases[] = {
        {"win95", 4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS, "", false},
        {"win98", 4, 10, 0x040A07CE, VER_PLATFORM_WIN32_WINDOWS, "", false},
        {"win98se", 4, 10, 0x040A08AE, VER_PLATFORM_WIN32_WINDOWS, " A ", false},
        {"winme", 4, 90, 0x045A0BB8, VER_PLATFORM_WIN32_WINDOWS, "", false},
        {"nt4", 4, 0, 1381, VER_PLATFORM_WIN32_NT, "Service Pack 6", false},
        {"win2000", 5, 0, 2195, VER_PLATFORM_WIN32_NT, "Service Pack 4", true},
        {"xp", 5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3", true},
        {"vista", 6, 0, 6000, VER_PLATFORM_WIN32_NT, "", true},
        {"win7", 6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1", true},
        {"win10", 6, 2, 9200, VER_PLATFORM_WIN32_NT, "", true},
        {"win32s", 3, 10, 0, VER_PLATFORM_WIN32s, "", false},
    };
    for (const Case& c : cases) {
        Machine machine;
        Machine::Activation activation(machine);
        ASSERT_TRUE(VersionRecordForSystem(c.name, &machine.version)) << c.name;
        const DWORD sizes[] = {OSVERSIONINFOEXA_SIZE, OSVERSIONINFOA_SIZE, 0, 152, 157};
        for (DWORD size : sizes) {
            SCOPED_TRACE(std::string(c.name) + " record of " + std::to_string(size));
            bool accepted =
                size == OSVERSIONINFOA_SIZE || (size == OSVERSIONINFOEXA_SIZE && c.acceptsExtended);
            OSVERSIONINFOEXA info;
            std::memset(&info, 0xCC, sizeof info);
            info.dwOSVersionInfoSize = size;
            OSVERSIONINFOEXA before = info;

            ASSERT_EQ(GetVersionExA(&info), accepted ? 1 : 0);
            if (!accepted) {
                EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
                continue;
            }
            EXPECT_EQ(info.dwOSVersionInfoSize, size);
            EXPECT_EQ(info.dwMajorVersion, c.major);
            EXPECT_EQ(info.dwMinorVersion, c.minor);
            EXPECT_EQ(info.dwBuildNumber, c.build);
            EXPECT_EQ(info.dwPlatformId, c.platformId);
            EXPECT_STREQ(info.szCSDVersion, c.csd);
            const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
            for (std::size_t i = OSVERSIONINFOA_SIZE; i < sizeof info; ++i) {
                EXPECT_EQ(bytes[i], size == OSVERSIONINFOA_SIZE ? 0xCC : 0) << "byte " << i;
            }
        }
    }
    VersionRecord record;
    EXPECT_FALSE(VersionRecordForSystem("win31", &record));
    EXPECT_FALSE(VersionRecordForSystem("WIN98SE", &record));
}

// The report names a run's system by its version when no name was given,
// and a registry's VersionNumber picks a system the same way: no two named
// systems may share a version, and each is found again by its own.
TEST(VersionRecordTest, EachNamedSystemIsFoundAgainByItsVersion) {
    for (const NamedSystem& system : NamedSystems()) {
        SCOPED_TRACE(system.name);
        EXPECT_EQ(FindNamedSystem(system.name), &system);
        EXPECT_EQ(NamedSystemFor(system.Record()), &system);
    }
    VersionRecord unknown;
    unknown.majorVersion = 4;
    unknown.minorVersion = 10;
    unknown.buildNumber = 0x040A08AF;  // 4.10.2223
    EXPECT_EQ(NamedSystemFor(unknown), nullptr);
    unknown.buildNumber = 0x7F7F08AE;  // only the low word is the build: 4.10.2222
    EXPECT_EQ(NamedSystemFor(unknown), FindNamedSystem("win98se"));
    unknown.platformId = VER_PLATFORM_WIN32_NT;
    EXPECT_EQ(NamedSystemFor(unknown), nullptr);
}

TEST_F(MachineTest, DefaultMachineIsWindows98SecondEdition) {
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = OSVERSIONINFOA_SIZE;
    ASSERT_EQ(GetVersionExA(&info), 1);
    EXPECT_EQ(info.dwBuildNumber & 0xFFFF, 2222u);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_EQ(GetVersionExA(nullptr), 0);
}

// --- Directories -------------------------------------------------------------------

TEST_F(MachineTest, DirectoryIsCopiedOnlyWhenItFitsWithItsTerminator) {
    struct Case {
        const char* directory;
        DWORD size;
        DWORD result;
        const char* text;  // null: the buffer is untouched
    };
    const Case cases[] = {
        {"C:\\", 50, 3, "C:\\"},
        {"C:", 50, 3, "C:\\"},  // a drive root always has its backslash
        {"C:\\KESTROW\\SETUP\\", 50, 16, "C:\\KESTROW\\SETUP"},
        {"C:\\KESTROW", 11, 10, "C:\\KESTROW"},
        {"C:\\KESTROW", 10, 11, nullptr},  // too small: the size it needs
        {"C:\\KESTROW", 0, 11, nullptr},
    };
    using Query = std::function<DWORD(Machine&, const char*, DWORD, char*)>;
    const std::pair<const char*, Query> queries[] = {
        {"current",
         [](Machine& m, const char* dir, DWORD size, char* buffer) {
             m.currentDirectory = dir;
             return GetCurrentDirectoryA(size, buffer);
         }},
        {"windows",
         [](Machine& m, const char* dir, DWORD size, char* buffer) {
             m.windowsDirectory = dir;
             return static_cast<DWORD>(GetWindowsDirectoryA(buffer, size));
         }},
    };
    for (const auto& [which, query] : queries) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(which) + " " + c.directory + " in " + std::to_string(c.size));
            std::string buffer(64, '#');
            EXPECT_EQ(query(machine, c.directory, c.size, buffer.data()), c.result);
            std::string expected = c.text == nullptr ? "" : std::string(c.text) + '\0';
            expected.resize(buffer.size(), '#');
            EXPECT_EQ(buffer, expected);
        }
    }
    EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), 11u);
}

// --- Start-up operations ------------------------------------------------------------

TEST_F(MachineTest, CommandLineIsOneStableCopy) {
    machine.commandLine = "KESTROW.EXE -s -f2\"c:\\csb.log\"";
    char* first = GetCommandLineA();
    machine.commandLine = "changed later";
    char* second = GetCommandLineA();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "KESTROW.EXE -s -f2\"c:\\csb.log\"");
}

TEST_F(MachineTest, ModuleFileNameAndStringsAreTruncatedToTheBuffer) {
    machine.modulePath = "C:\\SETUP\\KESTROW.EXE";  // 20 characters
    machine.strings[57344] = "Kestrow";
    struct Case {
        int size;
        int moduleResult;
        const char* moduleText;
        int stringResult;
        const char* stringText;
    };
    const Case cases[] = {
        {0, 0, nullptr, 0, nullptr},
        {1, 0, "", 0, ""},
        {5, 4, "C:\\S", 4, "Kest"},
        {8, 7, "C:\\SETU", 7, "Kestrow"},
        {21, 20, "C:\\SETUP\\KESTROW.EXE", 7, "Kestrow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string buffer(32, '#');
        EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(c.size)),
                  static_cast<DWORD>(c.moduleResult));
        std::string expected = c.moduleText == nullptr ? "" : std::string(c.moduleText) + '\0';
        expected.resize(buffer.size(), '#');
        EXPECT_EQ(buffer, expected);

        buffer.assign(32, '#');
        EXPECT_EQ(LoadStringA(nullptr, 57344, buffer.data(), c.size), c.stringResult);
        expected = c.stringText == nullptr ? "" : std::string(c.stringText) + '\0';
        expected.resize(buffer.size(), '#');
        EXPECT_EQ(buffer, expected);
    }
    char buffer[16] = "junk";
    EXPECT_EQ(LoadStringA(nullptr, 1, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
}

TEST_F(MachineTest, ErrorModeAndActiveWindow) {
    EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS), 0u);
    EXPECT_EQ(SetErrorMode(SEM_NOOPENFILEERRORBOX), SEM_FAILCRITICALERRORS);
    EXPECT_EQ(machine.ErrorMode(), SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(GetActiveWindow(), nullptr);
    machine.activeWindow = Window(0x2A);
    EXPECT_EQ(GetActiveWindow(), Window(0x2A));
}

TEST(CodePageLeadByteTest, LeadBytesFollowTheCodePage) {
    struct Case {
        unsigned codePage;
        BYTE byte;
        bool lead;
    };
    const Case cases[] = {
        {1252, 0x81, false}, {1252, 0xE0, false}, {1252, 0x41, false}, {932, 0x80, false},
        {932, 0x81, true},   {932, 0x9F, true},   {932, 0xA0, false},  {932, 0xDF, false},
        {932, 0xE0, true},   {932, 0xFC, true},   {932, 0xFD, false},  {936, 0x80, false},
        {936, 0x81, true},   {936, 0xFE, true},   {936, 0xFF, false},  {949, 0x80, false},
        {949, 0x81, true},   {949, 0xFE, true},   {949, 0xFF, false},  {950, 0x80, false},
        {950, 0x81, true},   {950, 0xFE, true},   {950, 0x5C, false},
    };
    for (const Case& c : cases) {
        Machine machine;
        Machine::Activation activation(machine);
        machine.SetCodePage(c.codePage);
        EXPECT_EQ(IsDBCSLeadByte(c.byte) != 0, c.lead) << c.codePage << " byte " << int{c.byte};
    }
}

// --- Message boxes and restart ---------------------------------------------------------

TEST_F(MachineTest, BoxesAreAnsweredByScriptThenAnswererAndRecorded) {
    machine.scriptedAnswers = {IDCANCEL, -1};
    std::vector<std::string> seenByAnswerer;
    machine.answerBox = [&seenByAnswerer](const MessageBoxRecord& box) {
        seenByAnswerer.push_back(box.text);
        return IDOK;
    };
    EXPECT_EQ(MessageBoxA(nullptr, "Restart now?", "Kestrow", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(MessageBoxA(nullptr, "Not shown", "Kestrow", MB_OK), 0);  // negative: not shown
    EXPECT_EQ(MessageBoxA(Window(0x10), nullptr, nullptr, MB_OK | MB_ICONEXCLAMATION), IDOK);
    machine.answerBox = nullptr;
    EXPECT_EQ(MessageBoxA(nullptr, "Nobody answers", "Kestrow", MB_OK), 0);

    EXPECT_THAT(seenByAnswerer, ElementsAre(""));
    const std::vector<MessageBoxRecord>& boxes = machine.Boxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0].text, "Restart now?");
    EXPECT_EQ(boxes[0].caption, "Kestrow");
    EXPECT_EQ(boxes[0].type, MB_OKCANCEL);
    EXPECT_EQ(boxes[0].answer, IDCANCEL);
    EXPECT_EQ(boxes[1].answer, 0);
    EXPECT_EQ(boxes[2].owner, Window(0x10));
    EXPECT_EQ(boxes[2].text, "");
    EXPECT_EQ(boxes[2].caption, "Error");  // Windows' title for a box without one
    EXPECT_EQ(boxes[2].type, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(boxes[3].answer, 0);
}

TEST_F(MachineTest, RestartIsRecorded) {
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT, 0), 1);
    ASSERT_EQ(machine.Restarts().size(), 1u);
    EXPECT_EQ(machine.Restarts()[0].flags, EWX_REBOOT);
}

// --- Files and process exit ----------------------------------------------------------------

TEST_F(MachineTest, StreamWritesReachTheDriveAndOpenStreamsAreCounted) {
    FileStream* stream = FileOpen("c:\\csb.log", "wb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(FileWrite("0123456789", 1, 10, stream), 10u);
    EXPECT_EQ(FileWrite("ignored", 1, 0, stream), 0u);
    EXPECT_EQ(machine.OpenStreamCount(), 1u);
    EXPECT_EQ(FileClose(stream), 0);
    EXPECT_EQ(machine.OpenStreamCount(), 0u);
    EXPECT_EQ(machine.Files().ReadFile("C:\\CSB.LOG"), std::optional<std::string>("0123456789"));

    EXPECT_EQ(FileClose(stream), -1);  // already closed
    EXPECT_EQ(FileWrite("x", 1, 1, stream), 0u);
    ASSERT_NE(FileOpen("C:\\leaked.txt", "wb"), nullptr);
    EXPECT_EQ(machine.OpenStreamCount(), 1u);
}

TEST_F(MachineTest, CopyAndDeleteGoThroughTheDrive) {
    machine.Files().AddFile("C:\\owc\\iusb2.inf", "[Version]");
    EXPECT_EQ(CopyFileA("C:\\owc\\iusb2.inf", "C:\\iusb2.inf", 0), 1);
    EXPECT_EQ(machine.Files().ReadFile("C:\\iusb2.inf"), std::optional<std::string>("[Version]"));
    EXPECT_EQ(CopyFileA("C:\\owc\\missing.sys", "C:\\missing.sys", 0), 0);
    EXPECT_EQ(CopyFileA(nullptr, "C:\\x", 0), 0);
    EXPECT_EQ(DeleteFileA("C:\\iusb2.inf"), 1);
    EXPECT_FALSE(machine.Files().IsFile("C:\\iusb2.inf"));
    EXPECT_EQ(DeleteFileA("C:\\iusb2.inf"), 0);
}

TEST_F(MachineTest, ExitEndsTheProcessWithItsCodeEvenWhenFaultsAreSet) {
    machine.FailAlways(Operation::ExitProcessWithCode);
    try {
        ExitProcessWithCode(3);
        FAIL() << "ExitProcessWithCode returned";
    } catch (const ProcessEnded& ended) {
        EXPECT_EQ(ended.exitCode, 3);
    }
    EXPECT_EQ(machine.ExitCode(), std::optional<int>(3));
    ASSERT_EQ(machine.Calls().size(), 1u);
    EXPECT_FALSE(machine.Calls()[0].injectedFault);
}

// --- What happened, as records -----------------------------------------------------------

// Each CopyFileA call is one record: the source as given, the destination
// spelled as stored, and why a copy failed, as the Windows error code or as
// an injected fault.
TEST_F(MachineTest, CopyRecordsTellWhatEachCopyDid) {
    FileSystem& files = machine.Files();
    files.AddFile("C:\\DRV\\owc\\iusb2.inf", "[Version]");
    files.AddFile("C:\\WINDOWS\\INF\\IUSB2.INF", "old");
    files.AddFile("C:\\WINDOWS\\inf\\locked.inf", "old", true);
    std::string error;
    ASSERT_TRUE(files.MapDrive('D', "", true, &error)) << error;
    files.AddDirectory("D:\\owc");
    struct Case {
        const char* source;
        const char* target;
        BOOL failIfExists;
        bool injected;
        const char* destination;
        bool copied;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"C:\\DRV\\owc\\iusb2.inf", "c:\\windows\\inf\\iusb2.inf", 0, false,
         "C:\\WINDOWS\\INF\\IUSB2.INF", true, 0},
        {"C:\\DRV\\owc\\missing.sys", "C:\\WINDOWS\\inf\\x.sys", 0, false,
         "C:\\WINDOWS\\INF\\x.sys", false, kErrorFileNotFound},
        {"C:\\DRV\\owc\\iusb2.inf", "c:\\windows\\nowhere\\x.inf", 0, false,
         "C:\\WINDOWS\\nowhere\\x.inf", false, kErrorPathNotFound},
        {"C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\inf\\LOCKED.INF", 0, false,
         "C:\\WINDOWS\\INF\\locked.inf", false, kErrorAccessDenied},
        {"C:\\DRV\\owc\\iusb2.inf", "D:\\owc\\iusb2.inf", 0, false, "D:\\owc\\iusb2.inf", false,
         kErrorWriteProtect},
        {"C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\inf\\iusb2.inf", 1, false,
         "C:\\WINDOWS\\INF\\IUSB2.INF", false, kErrorFileExists},
        // An injected fault copies nothing and sets no error code.
        {"C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\inf\\new.inf", 0, true,
         "C:\\WINDOWS\\INF\\new.inf", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " -> " + c.target);
        if (c.injected) {
            // Its next call fails.
            machine.FailAtCall(Operation::CopyFileA, machine.CallCount(Operation::CopyFileA) + 1);
        }
        EXPECT_EQ(CopyFileA(c.source, c.target, c.failIfExists), c.copied ? 1 : 0);
        ASSERT_FALSE(machine.Copies().empty());
        const CopyRecord& record = machine.Copies().back();
        EXPECT_EQ(record.source, c.source);
        EXPECT_EQ(record.destination, c.destination);
        EXPECT_EQ(record.copied, c.copied);
        EXPECT_EQ(record.error, c.error);
        EXPECT_EQ(record.injectedFault, c.injected);
    }
    EXPECT_EQ(machine.Copies().size(), std::size(cases));
    EXPECT_FALSE(files.IsFile("C:\\WINDOWS\\inf\\new.inf"));
}

// Each RegDeleteKeyA call is one record: the key's path as the registry
// names it, the status, and the deleted key whole with what was below it.
TEST_F(MachineTest, KeyDeletionRecordsNameTheKeyAndKeepWhatWasDeleted) {
    RegistryTree& tree = machine.Registry();
    RegistryKey* device = tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD");
    tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD\\0000")
        ->SetValue("DeviceDesc", REG_SZ_TYPE, {'U', 'S', 'B', 0});
    tree.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10B9&DEV_5237");
    ASSERT_NE(device, nullptr);
    HKEY pci = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "enum\\pci", &pci), ERROR_SUCCESS);
    HKEY closed = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &closed), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    // A handle that stands for no open key is named by its value.
    char closedPath[32];
    std::snprintf(closedPath, sizeof closedPath, "0x%llX\\PCI",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(closed)));

    struct Case {
        HKEY key;
        const char* subKey;
        bool injected;
        LONG status;
        const char* path;
    };
    const Case cases[] = {
        // Injected: nothing deleted, the key named as stored all the same.
        {pci, "ven_10b9&dev_5237", true, kAccessDenied,
         "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10B9&DEV_5237"},
        {pci, "ven_8086&dev_24cd", false, ERROR_SUCCESS,
         "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD"},
        {pci, "VEN_GONE", false, kFileNotFound, "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_GONE"},
        {pci, "", false, kBadKey, "HKEY_LOCAL_MACHINE\\Enum\\PCI"},
        {closed, "PCI", false, kInvalidHandle, closedPath},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subKey);
        if (c.injected) {
            // Its next call fails.
            machine.FailAtCall(Operation::RegDeleteKeyA,
                               machine.CallCount(Operation::RegDeleteKeyA) + 1);
        }
        EXPECT_EQ(RegDeleteKeyA(c.key, c.subKey), c.status);
        ASSERT_FALSE(machine.KeyDeletions().empty());
        const KeyDeletionRecord& record = machine.KeyDeletions().back();
        EXPECT_EQ(record.path, c.path);
        EXPECT_EQ(record.status, c.status);
        EXPECT_EQ(record.injectedFault, c.injected);
        EXPECT_EQ(record.Deleted(), c.status == ERROR_SUCCESS);
    }
    ASSERT_EQ(machine.KeyDeletions().size(), std::size(cases));
    EXPECT_NE(tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10B9&DEV_5237"), nullptr);
    EXPECT_EQ(tree.FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD"), nullptr);

    // The deleted key survives a change of code page, which rebuilds the
    // registry and the code page its names follow.
    machine.SetCodePage(950);
    const RegistryKey* deleted = machine.KeyDeletions()[1].subtree.get();
    ASSERT_NE(deleted, nullptr);
    EXPECT_EQ(deleted->Name(), "VEN_8086&DEV_24CD");
    ASSERT_EQ(deleted->SubkeyCount(), 1u);
    const RegistryValue* description = deleted->FindSubkey("0000")->FindValue("devicedesc");
    ASSERT_NE(description, nullptr);
    EXPECT_EQ(std::string(description->data.begin(), description->data.end()),
              std::string("USB", 4));
    RegCloseKey(pci);
}

// Each file written through a C runtime stream is one record, ok only when
// it opened, every write handed over all of its bytes and it closed: the
// unattended run's marker counts as written only then.
TEST(StreamWriteRecordTest, AStreamIsOkOnlyWhenOpenedWrittenWholeAndClosed) {
    struct Case {
        const char* name;
        Operation failing;  // ExitProcessWithCode for none (it never fails)
        bool close;
        bool ok;
        const char* bytes;
    };
    const Case cases[] = {
        {"written", Operation::ExitProcessWithCode, true, true, "c:\\csb.log"},
        {"not opened", Operation::FileOpen, true, false, ""},
        {"write failed", Operation::FileWrite, true, false, ""},
        {"close failed", Operation::FileClose, true, false, "c:\\csb.log"},
        {"never closed", Operation::ExitProcessWithCode, false, false, "c:\\csb.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        Machine::Activation activation(machine);
        machine.Files().AddFile("C:\\CSB.LOG", "old");
        if (c.failing != Operation::ExitProcessWithCode) machine.FailAlways(c.failing);
        FileStream* stream = FileOpen("c:\\csb.log", "wb");
        std::size_t written = FileWrite("c:\\csb.log", 1, 10, stream);
        if (c.close) FileClose(stream);
        EXPECT_EQ(written == 10,
                  c.failing != Operation::FileOpen && c.failing != Operation::FileWrite);
        ASSERT_EQ(machine.StreamWrites().size(), 1u);
        const StreamWriteRecord& record = machine.StreamWrites()[0];
        EXPECT_EQ(record.path, "C:\\CSB.LOG");
        EXPECT_EQ(record.ok, c.ok);
        EXPECT_EQ(record.bytes, c.bytes);
    }
}

// --- Faults ------------------------------------------------------------------------------------

TEST_F(MachineTest, FaultAtNthCallFailsOnlyThatCall) {
    machine.Registry().CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI");
    machine.FailAtCall(Operation::RegOpenKeyA, 2);
    std::vector<LONG> statuses;
    for (int i = 0; i < 3; ++i) {
        HKEY key = Handle(0x77);
        statuses.push_back(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\PCI", &key));
        if (statuses.back() == ERROR_SUCCESS) RegCloseKey(key);
        if (i == 1) {
            EXPECT_EQ(key, Handle(0x77));
        }
    }
    EXPECT_THAT(statuses, ElementsAre(ERROR_SUCCESS, kAccessDenied, ERROR_SUCCESS));
    EXPECT_EQ(machine.CallCount(Operation::RegOpenKeyA), 3u);
    std::vector<bool> injected;
    for (const Call& call : machine.Calls()) {
        if (call.op == Operation::RegOpenKeyA) injected.push_back(call.injectedFault);
    }
    EXPECT_THAT(injected, ElementsAre(false, true, false));

    machine.FailAtCall(Operation::RegOpenKeyA, 4);
    machine.FailAtCall(Operation::RegOpenKeyA, 0);  // cleared again
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\PCI", &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(MachineTest, EveryOperationHasAFailureForm) {
    machine.activeWindow = Window(0x2A);
    machine.scriptedAnswers = {IDOK};
    machine.strings[1] = "text";
    machine.Files().AddFile("C:\\source.txt", "data");
    machine.Registry().CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD");
    SetErrorMode(SEM_FAILCRITICALERRORS);
    HKEY pci = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\PCI", &pci), ERROR_SUCCESS);
    FileStream* stream = FileOpen("C:\\out.bin", "wb");
    ASSERT_NE(stream, nullptr);
    std::size_t callsBefore = machine.Calls().size();
    for (int op = 0; op < kOperationCount; ++op) machine.FailAlways(static_cast<Operation>(op));

    char buffer[64] = "untouched";
    auto untouched = [&buffer] { return std::string(buffer) == "untouched"; };
    struct Case {
        Operation op;
        std::function<long long()> call;
        long long failure;
    };
    auto n = [](auto value) { return static_cast<long long>(value); };
    const Case cases[] = {
        {Operation::GetCommandLineA, [&] { return n(std::strlen(GetCommandLineA())); }, 0},
        {Operation::SetErrorMode, [&] { return n(SetErrorMode(0)); }, 0},
        {Operation::GetModuleFileNameA, [&] { return n(GetModuleFileNameA(nullptr, buffer, 64)); },
         0},
        {Operation::LoadStringA, [&] { return n(LoadStringA(nullptr, 1, buffer, 64)); }, 0},
        {Operation::GetActiveWindow, [&] { return n(GetActiveWindow() != nullptr); }, 0},
        {Operation::IsDBCSLeadByte, [&] { return n(IsDBCSLeadByte(0x41)); }, 0},
        {Operation::GetVersionExA,
         [&] {
             OSVERSIONINFOEXA info{};
             info.dwOSVersionInfoSize = OSVERSIONINFOA_SIZE;
             BOOL result = GetVersionExA(&info);
             return n(result != 0 || info.dwMajorVersion != 0);
         },
         0},
        {Operation::MessageBoxA, [&] { return n(MessageBoxA(nullptr, "t", "c", MB_OK)); }, 0},
        {Operation::ExitWindowsEx, [&] { return n(ExitWindowsEx(EWX_REBOOT, 0)); }, 0},
        {Operation::GetCurrentDirectoryA, [&] { return n(GetCurrentDirectoryA(64, buffer)); }, 0},
        {Operation::GetWindowsDirectoryA, [&] { return n(GetWindowsDirectoryA(buffer, 64)); }, 0},
        {Operation::CopyFileA, [&] { return n(CopyFileA("C:\\source.txt", "C:\\copy.txt", 0)); },
         0},
        {Operation::DeleteFileA, [&] { return n(DeleteFileA("C:\\source.txt")); }, 0},
        {Operation::RegOpenKeyA,
         [&] {
             HKEY key = nullptr;
             return n(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &key));
         },
         kAccessDenied},
        {Operation::RegOpenKeyExA,
         [&] {
             HKEY key = nullptr;
             return n(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_ALL_ACCESS, &key));
         },
         kAccessDenied},
        {Operation::RegQueryInfoKeyA,
         [&] {
             DWORD count = 0;
             return n(RegQueryInfoKeyA(pci, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
         },
         kAccessDenied},
        {Operation::RegEnumKeyA, [&] { return n(RegEnumKeyA(pci, 0, buffer, 64)); }, kAccessDenied},
        {Operation::RegDeleteKeyA, [&] { return n(RegDeleteKeyA(pci, "VEN_8086&DEV_24CD")); },
         kAccessDenied},
        {Operation::RegCloseKey, [&] { return n(RegCloseKey(pci)); }, kAccessDenied},
        {Operation::FileOpen, [&] { return n(FileOpen("C:\\other.bin", "wb") != nullptr); }, 0},
        {Operation::FileWrite, [&] { return n(FileWrite("abc", 1, 3, stream)); }, 0},
        {Operation::FileClose, [&] { return n(FileClose(stream)); }, -1},
    };
    ASSERT_EQ(std::size(cases), static_cast<std::size_t>(kOperationCount - 1));  // all but exit
    for (const Case& c : cases) {
        SCOPED_TRACE(OperationName(c.op));
        EXPECT_EQ(c.call(), c.failure);
        EXPECT_TRUE(untouched());
        ASSERT_EQ(machine.Calls().back().op, c.op);
        EXPECT_TRUE(machine.Calls().back().injectedFault);
    }
    EXPECT_EQ(machine.Calls().size(), callsBefore + std::size(cases));

    // Nothing happened: no box, no restart, no file or key change; the
    // failed close still released the stream, the failed key close did not.
    EXPECT_TRUE(machine.Boxes().empty());
    EXPECT_TRUE(machine.Restarts().empty());
    EXPECT_EQ(machine.scriptedAnswers.size(), 1u);
    EXPECT_EQ(machine.ErrorMode(), SEM_FAILCRITICALERRORS);
    EXPECT_TRUE(machine.Files().IsFile("C:\\source.txt"));
    EXPECT_FALSE(machine.Files().IsFile("C:\\copy.txt"));
    EXPECT_NE(machine.Registry().FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD"),
              nullptr);
    EXPECT_EQ(machine.OpenStreamCount(), 0u);
    EXPECT_EQ(machine.OpenHandleCount(), 1u);

    machine.ClearFaults();
    EXPECT_EQ(RegCloseKey(pci), ERROR_SUCCESS);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OK), IDOK);
}

// --- The call log --------------------------------------------------------------------------------

TEST_F(MachineTest, CallLogRecordsArgumentsResultsAndOutputs) {
    machine.Registry().CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD");
    machine.scriptedAnswers = {IDOK};
    machine.FailAtCall(Operation::RegCloseKey, 1);

    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = OSVERSIONINFOEXA_SIZE;
    GetVersionExA(&info);
    info.dwOSVersionInfoSize = OSVERSIONINFOA_SIZE;
    GetVersionExA(&info);
    HKEY key = nullptr;
    RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\PCI", &key);
    char name[256];
    RegEnumKeyA(key, 0, name, 255);
    RegCloseKey(key);
    char directory[50];
    GetCurrentDirectoryA(sizeof directory, directory);
    MessageBoxA(nullptr, "Done \"now\"", nullptr, MB_OK);
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB", 0, KEY_ALL_ACCESS, &key);

    std::vector<std::string> lines;
    for (const Call& call : machine.Calls()) lines.push_back(call.ToString());
    EXPECT_THAT(lines,
                ElementsAre("GetVersionExA(156) = 0",
                            "GetVersionExA(148) = 1 -> 4.10 build 0x040A08AE platform 1 \" A \"",
                            "RegOpenKeyA(0x80000002, \"Enum\\PCI\", ...) = 0 -> 0x1000",
                            "RegEnumKeyA(0x1000, 0, ..., 255) = 0 -> \"VEN_8086&DEV_24CD\"",
                            "RegCloseKey(0x1000) = 5 [injected fault]",
                            "GetCurrentDirectoryA(50, ...) = 3 -> \"C:\\\"",
                            "MessageBoxA(NULL, \"Done \\x22now\\x22\", NULL, 0x0) = 1",
                            "RegOpenKeyExA(0x80000002, \"Enum\\USB\", 0x0, 0xF003F, ...) = 2"));
    // The recorded arguments are the bytes themselves.
    EXPECT_THAT(machine.Calls()[2].arguments, ElementsAre("0x80000002", "Enum\\PCI", "..."));
    EXPECT_EQ(machine.CallCount(Operation::GetVersionExA), 2u);
    EXPECT_EQ(machine.CallCount(Operation::DeleteFileA), 0u);
}

TEST(OperationNameTest, NamesRoundTripInAnyLetterCase) {
    for (int i = 0; i < kOperationCount; ++i) {
        auto op = static_cast<Operation>(i);
        std::string name = OperationName(op);
        EXPECT_EQ(OperationByName(name), op) << name;
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(OperationByName(name), op) << name;
    }
    EXPECT_EQ(OperationByName("RegOpenKey"), std::nullopt);
    EXPECT_EQ(OperationByName(""), std::nullopt);
}

// --- Activation ---------------------------------------------------------------------------

TEST(ActivationTest, OperationsNeedExactlyOneActiveMachine) {
    EXPECT_THROW(GetActiveWindow(), std::logic_error);
    Machine first;
    Machine second;
    {
        Machine::Activation activation(first);
        EXPECT_EQ(&Machine::Active(), &first);
        EXPECT_THROW(Machine::Activation{second}, std::logic_error);
        SetErrorMode(SEM_FAILCRITICALERRORS);
    }
    EXPECT_THROW(Machine::Active(), std::logic_error);
    Machine::Activation activation(second);
    EXPECT_EQ(SetErrorMode(0), 0u);  // the second machine has its own state
    EXPECT_EQ(first.ErrorMode(), SEM_FAILCRITICALERRORS);
}

}  // namespace
}  // namespace platform::sim
