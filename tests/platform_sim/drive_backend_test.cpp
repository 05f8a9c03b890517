// The drive backends answer the same lookups the same way: a host folder,
// a drive built in memory, and a FAT volume in a disk image (made with
// mkfs.fat and mtools, no mount), each holding the same files.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sim/file_system.h"
#include "platform/sim/host_folder_drive.h"
#include "platform/sim/memory_drive.h"
#include "sim/image/disk_image.h"

namespace platform::sim {
namespace {

namespace fs = std::filesystem;

// Names in code page 1252; the host folder and the image hold them in
// UTF-8, as Linux and FAT long names do.
const std::string kCafeCp1252 = "Caf\xe9.txt";
const std::string kCafeUtf8 = "Caf\xc3\xa9.txt";

struct StoredFile {
    std::string path;  // '/'-separated, host and image spelling
    std::string bytes;
    bool readOnly = false;
};

const StoredFile kFiles[] = {
    {"WINDOWS/INF/usb.inf", "host inf"},
    {"WINDOWS/INF/locked.inf", "locked", true},
    {"WINDOWS/SYSTEM/README.TXT", "system"},
    {"Long Folder Name/Mixed Case.Text", "long"},
    {kCafeUtf8, "cafe"},
};

std::string Shell(const std::string& command) {
    // mkfs.fat lives in /usr/sbin, which is not on every user's PATH.
    return "{ set -e; PATH=\"$PATH:/usr/sbin:/sbin\"; " + command + "; } >/dev/null 2>&1";
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

class DriveBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/kestrow-drive-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        tmp_ = name;
        host_ = tmp_ + "/host";
        for (const StoredFile& file : kFiles) {
            fs::path path = fs::path(host_) / file.path;
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << file.bytes;
            if (file.readOnly) ::chmod(path.c_str(), 0444);
        }
        image_ = tmp_ + "/volume.img";
        std::string img = Quoted(image_);
        std::string command =
            "truncate -s 16M " + img + "; mkfs.fat -F 16 -n KESTROW " + img +
            "; LC_ALL=C.UTF-8 mcopy -s -i " + img + " " + Quoted(host_) + "/* ::; mattrib -i " +
            img + " +r ::WINDOWS/INF/locked.inf; mcopy -i " + img + " " +
            Quoted(host_ + "/WINDOWS/INF/usb.inf") + " ::gone.txt; mdel -i " + img + " ::gone.txt";
        ASSERT_EQ(std::system(Shell(command).c_str()), 0) << command;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(host_ + "/WINDOWS/INF/locked.inf", fs::perms::owner_all, ignored);
        fs::remove_all(tmp_, ignored);
    }

    std::unique_ptr<DriveBackend> Memory() const {
        auto drive = std::make_unique<MemoryDrive>();
        auto windows = drive->AddFolder(DriveBackend::kRoot, "WINDOWS");
        auto inf = drive->AddFolder(windows, "INF");
        drive->AddFile(inf, "usb.inf", "host inf");
        drive->AddFile(inf, "locked.inf", "locked", true);
        drive->AddFile(drive->AddFolder(windows, "SYSTEM"), "README.TXT", "system");
        drive->AddFile(drive->AddFolder(DriveBackend::kRoot, "Long Folder Name"), "Mixed Case.Text",
                       "long");
        drive->AddFile(DriveBackend::kRoot, kCafeCp1252, "cafe");
        return drive;
    }

    std::string tmp_, host_, image_;
    CodePage codePage_ = CodePage::ForNumber(1252);
};

TEST_F(DriveBackendTest, EveryBackendFindsTheSameFiles) {
    std::string error;
    std::unique_ptr<DiskImage> image = DiskImage::Open(image_, &error);
    ASSERT_NE(image, nullptr) << error;
    ASSERT_EQ(image->Partitions().size(), 1u);
    EXPECT_EQ(image->Partitions()[0].Describe(),
              "the whole image (no partition table) (offset 0, 16.0 MB, FAT16, label KESTROW)");

    struct Backend {
        const char* name;
        std::unique_ptr<DriveBackend> drive;
        bool hostNames;  // names outside ASCII are UTF-8 on the host
    };
    std::vector<Backend> backends;
    backends.push_back({"memory", Memory(), false});
    backends.push_back({"host folder", HostFolderDrive::Open(host_, &error), true});
    backends.push_back({"disk image", image->OpenDrive(0, &error), false});

    struct Case {
        const char* path;
        std::optional<std::string> bytes;  // nullopt: absent, "": a folder
        const char* canonical;
        bool readOnly;
    };
    const Case cases[] = {
        {"c:\\windows\\inf\\USB.INF", "host inf", "C:\\WINDOWS\\INF\\usb.inf", false},
        {"C:\\WINDOWS\\inf\\locked.INF", "locked", "C:\\WINDOWS\\INF\\locked.inf", true},
        {"C:\\windows\\system\\readme.txt", "system", "C:\\WINDOWS\\SYSTEM\\README.TXT", false},
        {"C:\\LONG FOLDER NAME\\mixed case.text", "long", "C:\\Long Folder Name\\Mixed Case.Text",
         false},
        {"C:\\long folder name", "", "C:\\Long Folder Name", false},
        {"C:\\CAF\xe9.TXT", "cafe", "C:\\Caf\xe9.txt", false},
        {"C:\\windows\\inf\\missing.inf", std::nullopt, "C:\\WINDOWS\\INF\\missing.inf", false},
        {"C:\\windows\\usb.inf", std::nullopt, "C:\\WINDOWS\\usb.inf", false},
        {"C:\\gone.txt", std::nullopt, "C:\\gone.txt", false},  // deleted on the image
        {"C:\\KESTROW", std::nullopt, "C:\\KESTROW", false},    // the image's volume label
        {"C:\\$MBR", std::nullopt, "C:\\$MBR", false},          // the Sleuth Kit's own
    };
    for (Backend& backend : backends) {
        SCOPED_TRACE(backend.name);
        ASSERT_NE(backend.drive, nullptr) << error;
        FileSystem files(&codePage_);
        ASSERT_TRUE(files.MountDrive('C', std::move(backend.drive), false, &error)) << error;
        for (const Case& c : cases) {
            std::string path = c.path;
            std::string canonical = c.canonical;
            if (backend.hostNames && path == "C:\\CAF\xe9.TXT") {
                // A host name is bytes: its UTF-8 spelling is what matches.
                path = "C:\\" + kCafeUtf8;
                canonical = path;
            }
            SCOPED_TRACE(path);
            bool folder = c.bytes && c.bytes->empty();
            EXPECT_EQ(files.IsFile(path), c.bytes && !folder);
            EXPECT_EQ(files.IsDirectory(path), folder);
            EXPECT_EQ(files.ReadFile(path), folder ? std::nullopt : c.bytes);
            EXPECT_EQ(files.IsReadOnly(path), c.readOnly);
            EXPECT_EQ(files.CanonicalPath(path), canonical);
        }
        // The program's changes stay in the overlay, whatever the backend.
        EXPECT_EQ(files.Copy("C:\\windows\\inf\\usb.inf", "C:\\windows\\new.inf", false), 0u);
        EXPECT_EQ(files.ReadFile("C:\\WINDOWS\\NEW.INF"), "host inf");
    }
}

TEST_F(DriveBackendTest, AnImageFindsEntriesByTheirShortNamesToo) {
    std::string error;
    std::unique_ptr<DiskImage> image = DiskImage::Open(image_, &error);
    ASSERT_NE(image, nullptr) << error;
    FileSystem files(&codePage_);
    ASSERT_TRUE(files.MountDrive('C', image->OpenDrive(0, &error), false, &error)) << error;
    EXPECT_EQ(files.ReadFile("C:\\longfo~1\\MIXEDC~1.TEX"), "long");
    EXPECT_EQ(files.CanonicalPath("C:\\LONGFO~1\\MIXEDC~1.TEX"),
              "C:\\Long Folder Name\\Mixed Case.Text");
    EXPECT_FALSE(files.IsFile("C:\\LONGFO~2\\MIXEDC~1.TEX"));
}

TEST_F(DriveBackendTest, AHostFolderIsListedOnceARunHasSeenIt) {
    std::string error;
    std::unique_ptr<HostFolderDrive> drive = HostFolderDrive::Open(host_, &error);
    ASSERT_NE(drive, nullptr) << error;
    HostFolderDrive* host = drive.get();
    auto find = [&](const char* name) {
        return host->Find(DriveBackend::kRoot, codePage_.FoldCase(name), codePage_);
    };
    ASSERT_TRUE(find("windows"));
    EXPECT_FALSE(find("added.txt"));
    std::ofstream(host_ + "/added.txt") << "added";
    // What the run has seen stands for the whole run.
    EXPECT_FALSE(find("added.txt"));
    EXPECT_TRUE(find("windows"));
}

// The one rule a drive folder's names are found by, for the simulated
// program and for --apply: what each kind of entry is told as. A host error
// is told as one, never as an absent name (--apply would then make a new
// file beside the one it could not see).
TEST(HostFolderLookUp, TellsWhatEachNameLeadsTo) {
    using Kind = HostFolderDrive::HostEntry::Kind;
    char name[] = "/tmp/kestrow-lookup-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const fs::path root = name;
    const fs::path drive = root / "drive";
    fs::create_directories(drive / "dir");
    fs::create_directories(root / "outside");
    std::ofstream(drive / "File.txt") << "file";
    std::ofstream(drive / "CASE") << "upper";
    std::ofstream(drive / "case") << "lower";
    fs::create_symlink("File.txt", drive / "in.lnk");
    fs::create_directory_symlink("dir", drive / "dir.lnk");
    fs::create_directory_symlink("../outside", drive / "out.lnk");
    fs::create_symlink("missing", drive / "dangling.lnk");
    fs::create_symlink("loop.lnk", drive / "loop.lnk");
    ASSERT_EQ(::mkfifo((drive / "fifo").c_str(), 0600), 0);

    // Fails the lstat of one name, as a failing disk would.
    class FailingAccess : public HostFolderAccess {
    public:
        int ListFolder(const std::string& folder, std::vector<std::string>* names) override {
            return DirectHostFolderAccess().ListFolder(folder, names);
        }
        int LinkStatus(const std::string& path, struct stat* info) override {
            if (path.size() >= 7 && path.compare(path.size() - 7, 7, "/broken") == 0) {
                errno = EIO;
                return -1;
            }
            return DirectHostFolderAccess().LinkStatus(path, info);
        }
        int Status(const std::string& path, struct stat* info) override {
            return DirectHostFolderAccess().Status(path, info);
        }
        int RealPath(const std::string& path, std::string* real) override {
            return DirectHostFolderAccess().RealPath(path, real);
        }
        int ReadFile(const std::string& path, std::string* bytes) override {
            return DirectHostFolderAccess().ReadFile(path, bytes);
        }
    } access;
    std::ofstream(drive / "broken") << "on a failing disk";

    const std::string real = fs::canonical(drive).string();
    struct Case {
        const char* name;
        Kind kind;
        const char* hostName;
        std::string leadsTo;  // the real path; "" when none
    };
    const Case cases[] = {
        {"file.TXT", Kind::kFile, "File.txt", real + "/File.txt"},
        {"DIR", Kind::kFolder, "dir", real + "/dir"},
        {"in.lnk", Kind::kFile, "in.lnk", real + "/File.txt"},
        {"dir.lnk", Kind::kFolder, "dir.lnk", real + "/dir"},
        {"Case", Kind::kFile, "CASE", real + "/CASE"},  // the first in byte order
        {"out.lnk", Kind::kLinkOutside, "out.lnk", fs::canonical(root / "outside").string()},
        {"dangling.lnk", Kind::kBrokenLink, "dangling.lnk", ""},
        {"loop.lnk", Kind::kBrokenLink, "loop.lnk", ""},
        {"fifo", Kind::kOther, "fifo", real + "/fifo"},
        {"missing", Kind::kAbsent, "", ""},
        {"broken", Kind::kHostError, "", ""},
    };
    std::string error;
    std::unique_ptr<HostFolderDrive> host = HostFolderDrive::Open(drive.string(), &error, access);
    ASSERT_NE(host, nullptr) << error;
    CodePage codePage;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostFolderDrive::HostEntry entry =
            host->LookUp(DriveBackend::kRoot, codePage.FoldCase(c.name), codePage);
        EXPECT_EQ(entry.kind, c.kind);
        EXPECT_EQ(entry.name, c.hostName);
        EXPECT_EQ(entry.real, c.leadsTo);
        EXPECT_EQ(entry.error, c.kind == Kind::kHostError ? EIO : 0);
        if (c.kind == Kind::kHostError) {
            EXPECT_EQ(entry.errorPath, drive.string() + "/broken");
        }
        // The simulated program sees files and folders only.
        bool seen = c.kind == Kind::kFile || c.kind == Kind::kFolder;
        EXPECT_EQ(host->Find(DriveBackend::kRoot, codePage.FoldCase(c.name), codePage).has_value(),
                  seen);
    }
    // A path is looked up name by name, and ends after a name that is not
    // a folder.
    auto path = host->LookUpPath({"DIR.LNK", "nothing", "below"}, codePage);
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path[0].kind, Kind::kFolder);
    EXPECT_EQ(path[1].kind, Kind::kAbsent);
    fs::remove_all(root);
}

}  // namespace
}  // namespace platform::sim
