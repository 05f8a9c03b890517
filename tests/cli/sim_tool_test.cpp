// kestrow-sim's parts that the command-line tests cannot reach well: the
// settings rules in detail, and --apply when the host refuses a write.
#include <unistd.h>

#include <gtest/gtest.h>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "sim/apply/apply_changes.h"
#include "sim/formats/machine_settings.h"
#include "sim/formats/regedit4.h"
#include "sim/machine/installer_run.h"
#include "sim/machine/key_deletions.h"
#include "sim/machine/machine_loader.h"
#include "sim/report/run_report.h"

namespace {

namespace fs = std::filesystem;
using kestrow_sim::MachineSettings;

constexpr char kHead[] = "[machine]\ncurrent_directory=C:\\DRV\n";

struct SettingsCase {
    std::string_view text;
    const char* error;  // a part of the message, or null when it parses
};

TEST(MachineSettingsTest, AcceptsAndRefuses) {
    const SettingsCase cases[] = {
        {"; a comment\n[Machine]\nSYSTEM = win98se \n# another\n", nullptr},
        {"[machine]\nsystem=win98se\nsystem=win98se\n", nullptr},
        {"[machine]\nsystem=win98se\nsystem=winme\n", "m.ini:3: \"system\" is given again"},
        {"[machine]\nversion=4.10.2222\n", "m.ini:2: version= needs platform="},
        {"[machine]\nversion=4.10\nplatform=windows\n", "m.ini:2: version \"4.10\""},
        {"[machine]\nversion=4.10.70000\nplatform=windows\n", "m.ini:2: the build number"},
        {"[machine]\nversion=4.10.2222\nplatform=os2\n", "m.ini:3: unknown platform"},
        {"[machine]\nsystem=xp\nversion=5.1.2600\nplatform=nt\n", nullptr},
        {"[machine]\nsystem=xp\nversion=5.1.2600\nplatform=windows\n",
         "m.ini:3: version=5.1.2600 contradicts"},
        {"system=win98se\n", "m.ini:1: \"system\" stands before any section"},
        {"[machine\n", "m.ini:1: a section line must end"},
        {"[network]\n", "m.ini:1: unknown section"},
        {"[machine]\njust text\n", "m.ini:2: expected key=value"},
        {"[machine]\ncurrent_directory=DRV\n", "m.ini:2: current_directory must be a full path"},
        {"[drives]\nCC=drive_c\n", "m.ini:2: a drive is named by one letter"},
        {"[drives]\nC=drive_c,hidden\n", "m.ini:2: unknown drive flag"},
        {"[drives]\nC=,readonly\n", "m.ini:2: drive C: names no folder"},
        {"\xEF\xBB\xBF[machine]\nsystem=win98se\n",
         "m.ini:1: the file starts with a UTF-8 byte "
         "order mark (BOM)"},
        {std::string_view("[machine]\nsystem=win98\0se\n", 26), "m.ini:2: NUL at column 13"},
    };
    for (const SettingsCase& test : cases) {
        SCOPED_TRACE(test.text);
        MachineSettings settings;
        std::string error;
        bool parsed =
            kestrow_sim::ParseMachineSettings(test.text, "m.ini", "/base", &settings, &error);
        if (test.error == nullptr) {
            EXPECT_TRUE(parsed) << error;
        } else {
            EXPECT_FALSE(parsed);
            EXPECT_NE(error.find(test.error), std::string::npos) << error;
        }
    }
}

TEST(MachineSettingsTest, VersionGivenAsNumbersMakesTheSameRecordAsTheNamedSystem) {
    const std::pair<const char*, const char*> cases[] = {
        {"version=4.10.2222\nplatform=windows\n", "win98se"},
        {"version=4.90.3000\nplatform=Windows\n", "winme"},
        {"version=5.1.2600\nplatform=nt\n", "xp"},
        {"version=4.0.1381\nplatform=nt\n", "nt4"},
    };
    for (const auto& [lines, system] : cases) {
        SCOPED_TRACE(system);
        MachineSettings settings;
        std::string error;
        ASSERT_TRUE(kestrow_sim::ParseMachineSettings(std::string(kHead) + lines, "m.ini", "/base",
                                                      &settings, &error))
            << error;
        platform::sim::VersionRecord named;
        ASSERT_TRUE(platform::sim::VersionRecordForSystem(system, &named));
        EXPECT_EQ(settings.version.majorVersion, named.majorVersion);
        EXPECT_EQ(settings.version.minorVersion, named.minorVersion);
        EXPECT_EQ(settings.version.buildNumber, named.buildNumber);
        EXPECT_EQ(settings.version.platformId, named.platformId);
        EXPECT_EQ(settings.version.acceptedSizes, named.acceptedSizes);
        EXPECT_TRUE(settings.systemName.empty());
    }
}

TEST(MachineSettingsTest, DriveFoldersAndFlags) {
    MachineSettings settings;
    std::string error;
    ASSERT_TRUE(kestrow_sim::ParseMachineSettings(
        std::string(kHead) + "system=win98se\n[drives]\nc = drive_c\nd=/mnt/cd , ReadOnly\n",
        "m.ini", "/base", &settings, &error))
        << error;
    ASSERT_EQ(settings.drives.size(), 2u);
    EXPECT_EQ(settings.drives[0].letter, 'C');
    EXPECT_EQ(settings.drives[0].hostFolder, "/base/drive_c");
    EXPECT_FALSE(settings.drives[0].readOnly);
    EXPECT_EQ(settings.drives[0].origin, "m.ini:5");
    EXPECT_EQ(settings.drives[1].hostFolder, "/mnt/cd");
    EXPECT_TRUE(settings.drives[1].readOnly);
    EXPECT_TRUE(kestrow_sim::CheckMachineSettings(settings, "m.ini", &error)) << error;
    settings.windowsDirectory = "E:\\WINDOWS";
    EXPECT_FALSE(kestrow_sim::CheckMachineSettings(settings, "m.ini", &error));
    EXPECT_NE(error.find("drive E:"), std::string::npos) << error;
}

// A run of the default sample machine, copied to a temporary folder, up to
// the point where --apply writes.
class ApplyFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrow-apply-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::copy(fs::path(KESTROW_SOURCE_DIR) / "sim/machines/win98se", root_ / "m",
                 fs::copy_options::recursive);
        std::string error;
        ASSERT_TRUE(
            kestrow_sim::DescribeMachineFolder((root_ / "m").string(), &description_, &error));
        ASSERT_TRUE(kestrow_sim::LoadMachine(description_, &machine_, &error)) << error;
        machine_.scriptedAnswers = {1};
        before_ = kestrow_sim::SnapshotRegistry(machine_.Registry());
        kestrow_sim::RunInstaller(machine_);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string ReadHost(const fs::path& path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    fs::path root_;
    kestrow_sim::MachineDescription description_;
    platform::sim::Machine machine_;
    std::unique_ptr<platform::sim::RegistryTree> before_;
};

TEST_F(ApplyFailureTest, RegistryFolderThatIsMissingStopsEverything) {
    std::string registry = ReadHost(root_ / "m/registry.reg");
    description_.registryFile = (root_ / "gone/registry.reg").string();
    auto applied = kestrow_sim::ApplyChanges(machine_, *before_, description_);
    EXPECT_FALSE(applied.ok);
    EXPECT_TRUE(applied.written.empty());
    EXPECT_EQ(applied.notWritten.size(), 4u);  // three files, the registry
    EXPECT_NE(applied.error.find("gone/registry.reg"), std::string::npos) << applied.error;
    EXPECT_FALSE(fs::exists(root_ / "m/drive_c/WINDOWS/inf/iusb2.inf"));
    EXPECT_EQ(ReadHost(root_ / "m/registry.reg"), registry);
}

// Drive files go first and are checked before anything is written: a drive
// folder that cannot be made leaves the registry (and every file) alone.
TEST_F(ApplyFailureTest, DriveFolderReplacedByAFileFailsBeforeAnythingIsWritten) {
    fs::remove_all(root_ / "m/drive_c/WINDOWS/system32");
    std::ofstream(root_ / "m/drive_c/WINDOWS/system32") << "in the way";
    auto applied = kestrow_sim::ApplyChanges(machine_, *before_, description_);
    EXPECT_FALSE(applied.ok);
    EXPECT_TRUE(applied.written.empty());
    EXPECT_EQ(applied.notWritten.size(), 4u);
    EXPECT_NE(applied.error.find("system32 is a file, not a folder"), std::string::npos)
        << applied.error;
    EXPECT_NE(ReadHost(root_ / "m/registry.reg").find("DEV_24CD"), std::string::npos);
    EXPECT_FALSE(fs::exists(root_ / "m/drive_c/WINDOWS/inf/iusb2.inf"));
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(root_ / "m")) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 3u);  // machine.ini, registry.reg, drive_c
}

// The report and --apply read deleted keys from the keys the run deleted,
// not from a copy of the registry taken before it: both must tell the same.
TEST(DeletedKeysTreeTest, HoldsEveryDeletedKeyAsACopyTakenBeforeTheRunDoes) {
    platform::sim::Machine machine;
    platform::sim::RegistryTree& registry = machine.Registry();
    auto set = [](platform::sim::RegistryKey* key, const char* name, const char* text) {
        key->SetValue(name, platform::sim::REG_SZ_TYPE,
                      std::vector<std::uint8_t>(text, text + std::strlen(text) + 1));
    };
    set(registry.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD"), "HardwareID",
        "PCI\\VEN_8086&DEV_24CD");
    set(registry.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD\\0000"),
        "DeviceDesc", "USB 2.0");
    registry.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD\\0001\\Deep");
    registry.CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10B9&DEV_5237");
    set(registry.CreateFullPath("HKEY_LOCAL_MACHINE\\Software\\Vendor"), "", "kept");
    auto snapshot = kestrow_sim::SnapshotRegistry(registry);

    // Spelled in another case; a key deleted before the key above it; a
    // second root.
    const std::vector<std::pair<const char*, std::string>> deletions = {
        {"enum\\pci\\ven_8086&dev_24cd\\0001",
         "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD\\0001"},
        {"Enum\\PCI\\VEN_8086&DEV_24CD", "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_24CD"},
        {"SOFTWARE\\vendor", "HKEY_LOCAL_MACHINE\\Software\\Vendor"},
    };
    {
        platform::sim::Machine::Activation activation{machine};
        for (const auto& deletion : deletions) {
            ASSERT_EQ(platform::RegDeleteKeyA(platform::HKEY_LOCAL_MACHINE, deletion.first),
                      platform::ERROR_SUCCESS);
        }
    }
    auto deleted = kestrow_sim::DeletedKeysTree(machine);
    for (const auto& deletion : deletions) {
        SCOPED_TRACE(deletion.second);
        platform::sim::RegistryKey* fromSnapshot = snapshot->FindFullPath(deletion.second);
        // Found by the path as the program spelled it, as the report does.
        platform::sim::RegistryKey* fromRun =
            deleted->FindFullPath("HKEY_LOCAL_MACHINE\\" + std::string(deletion.first));
        ASSERT_NE(fromSnapshot, nullptr);
        ASSERT_NE(fromRun, nullptr);
        EXPECT_EQ(fromRun->FullPath(), deletion.second);
        EXPECT_EQ(kestrow_sim::WriteRegedit4Subtree(*fromRun, deleted->GetCodePage()),
                  kestrow_sim::WriteRegedit4Subtree(*fromSnapshot, snapshot->GetCodePage()));
    }
    // Nothing the run left alone is copied.
    EXPECT_EQ(deleted->FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10B9&DEV_5237"), nullptr);
}

}  // namespace
