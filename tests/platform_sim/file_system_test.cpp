#include "platform/sim/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform::sim {
namespace {

namespace fs = std::filesystem;

using Kind = FileSystem::ChangeKind;

// A host folder made for one test and removed afterwards.
class HostFolder {
public:
    HostFolder() {
        char name[] = "/tmp/kestrow-fs-test-XXXXXX";
        if (::mkdtemp(name) == nullptr) std::abort();
        path_ = name;
    }
    ~HostFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    HostFolder(const HostFolder&) = delete;
    HostFolder& operator=(const HostFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

    void Write(const std::string& relative, const std::string& bytes, mode_t mode = 0644) const {
        fs::path file = fs::path(path_) / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
        ::chmod(file.c_str(), mode);
    }
    std::string Read(const std::string& relative) const {
        std::ifstream in(fs::path(path_) / relative, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    mode_t Mode(const std::string& relative) const {
        struct stat info {};
        ::lstat((path_ + "/" + relative).c_str(), &info);
        return info.st_mode & 07777;
    }

private:
    std::string path_;
};

// Everything below a host folder: each entry's kind, mode and contents (or
// link target), to tell that nothing was touched.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> entries;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        ::lstat(item.path().c_str(), &info);
        std::string description = std::to_string(info.st_mode) + " ";
        if (item.is_symlink()) {
            description += "-> " + fs::read_symlink(item.path()).string();
        } else if (item.is_regular_file()) {
            std::ifstream in(item.path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            description += bytes.str();
        }
        entries[fs::relative(item.path(), root).string()] = description;
    }
    return entries;
}

class FileSystemTest : public ::testing::Test {
protected:
    FileSystemTest() : files(&codePage) {}

    // An in-memory C: with a small Windows tree and a read-only D:.
    void SetUpMemoryDrives() {
        std::string error;
        ASSERT_TRUE(files.MapDrive('c', "", false, &error)) << error;
        ASSERT_TRUE(files.MapDrive('D', "", true, &error)) << error;
        files.AddDirectory("C:\\WINDOWS\\inf");
        files.AddDirectory("C:\\WINDOWS\\system32\\drivers");
        files.AddFile("C:\\DRV\\owc\\iusb2.inf", "new inf");
        files.AddFile("C:\\DRV\\owc\\iusbehci.sys", "new sys");
        files.AddFile("C:\\WINDOWS\\inf\\IUSB2.INF", "old inf");
        files.AddFile("C:\\WINDOWS\\inf\\locked.inf", "locked", true);
        files.AddFile("D:\\owc\\iusb2.inf", "cd inf");
        files.SetCurrentDirectory("C:\\");
    }

    CodePage codePage;
    FileSystem files;
};

// --- Paths -------------------------------------------------------------------

TEST_F(FileSystemTest, PathsAreReadTheWayWindowsReadsThem) {
    SetUpMemoryDrives();
    struct Case {
        const char* currentDirectory;
        const char* path;
        const char* canonical;
        bool isFile;
    };
    const Case cases[] = {
        // Letter case is ignored; the stored spelling is kept.
        {"C:\\", "c:\\windows\\INF\\iusb2.Inf", "C:\\WINDOWS\\inf\\IUSB2.INF", true},
        {"C:\\", "C:/WINDOWS/inf/iusb2.inf", "C:\\WINDOWS\\inf\\IUSB2.INF", true},
        // A root current directory followed by "\owc\..." doubles the backslash.
        {"C:\\", "C:\\\\DRV\\\\owc\\iusb2.inf", "C:\\DRV\\owc\\iusb2.inf", true},
        {"C:\\DRV", "owc\\iusb2.inf", "C:\\DRV\\owc\\iusb2.inf", true},
        {"C:\\DRV\\owc", "C:iusb2.inf", "C:\\DRV\\owc\\iusb2.inf", true},
        {"C:\\DRV", "\\windows\\inf\\iusb2.inf", "C:\\WINDOWS\\inf\\IUSB2.INF", true},
        {"C:\\DRV", "..\\Windows\\.\\inf\\iusb2.inf", "C:\\WINDOWS\\inf\\IUSB2.INF", true},
        {"C:\\", "C:\\..\\..\\DRV\\owc\\iusb2.inf", "C:\\DRV\\owc\\iusb2.inf", true},
        // Trailing dots and blanks of a component are dropped.
        {"C:\\", "C:\\DRV.\\owc  \\iusb2.inf. .", "C:\\DRV\\owc\\iusb2.inf", true},
        {"D:\\", "owc\\IUSB2.INF", "D:\\owc\\iusb2.inf", true},
        // Missing components keep the spelling given.
        {"C:\\", "c:\\windows\\Missing\\x.TXT", "C:\\WINDOWS\\Missing\\x.TXT", false},
        {"C:\\", "c:\\drv\\owc\\iusb2.inf\\more", "C:\\DRV\\owc\\iusb2.inf\\more", false},
        {"C:\\", "c:\\windows", "C:\\WINDOWS", false},
        {"C:\\", "c:", "C:\\", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.currentDirectory) + " + " + c.path);
        files.SetCurrentDirectory(c.currentDirectory);
        EXPECT_EQ(files.CanonicalPath(c.path), c.canonical);
        EXPECT_EQ(files.IsFile(c.path), c.isFile);
        EXPECT_EQ(files.ReadFile(c.path).has_value(), c.isFile);
    }
    EXPECT_TRUE(files.IsDirectory("c:\\windows\\system32\\DRIVERS"));
    EXPECT_TRUE(files.IsDirectory("C:\\"));
    EXPECT_FALSE(files.IsDirectory("C:\\DRV\\owc\\iusb2.inf"));
}

TEST_F(FileSystemTest, PathsThatNameNothingAreRefused) {
    SetUpMemoryDrives();
    const std::string longName(256, 'a');
    const std::string longPath = "C:\\" + std::string(200, 'a') + "\\" + std::string(60, 'b');
    struct Case {
        std::string path;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"C:\\DRV\\a<b.txt", kErrorInvalidName},
        {"C:\\DRV\\a>b", kErrorInvalidName},
        {"C:\\DRV\\a\"b", kErrorInvalidName},
        {"C:\\DRV\\a|b", kErrorInvalidName},
        {"C:\\DRV\\a?b", kErrorInvalidName},
        {"C:\\DRV\\a*", kErrorInvalidName},
        {"C:\\DRV\\a:b", kErrorInvalidName},
        {"C:\\DRV\\a\tb", kErrorInvalidName},
        {"C:\\owc\\x\x01", kErrorInvalidName},
        {"C:\\DRV\\...", kErrorInvalidName},
        {"C:\\DRV\\ \\x", kErrorInvalidName},
        {"C:\\" + longName, kErrorInvalidName},
        {"C:\\" + std::string(255, 'a'), kErrorFileNotFound},
        {longPath, kErrorPathNotFound},
        // Short as given, too long once the current directory is put in front.
        {std::string(250, 'c'), kErrorPathNotFound},
        {"Q:\\x.txt", kErrorPathNotFound},
        {"\\\\server\\share\\x", kErrorPathNotFound},
        {"", kErrorPathNotFound},
    };
    files.SetCurrentDirectory("C:\\DRV\\owc");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const bool valid = c.error == kErrorFileNotFound;  // a good name for a missing file
        EXPECT_EQ(files.Delete(c.path), c.error);
        EXPECT_EQ(files.Copy(c.path, "C:\\x.txt", false), c.error);
        EXPECT_EQ(files.Copy("C:\\DRV\\owc\\iusb2.inf", c.path, false), valid ? 0 : c.error);
        EXPECT_EQ(files.IsFile(c.path), valid);
    }
}

TEST_F(FileSystemTest, DoubleByteNamesAreSplitAndFoldedByCharacter) {
    codePage = CodePage::ForNumber(932);
    SetUpMemoryDrives();
    // 0x95 0x5C is one character whose trail byte is a backslash; 0x82 0x61
    // is one whose trail byte is an 'a' that must not be folded to 'A'.
    const std::string folder = "C:\\\x95\x5C";
    files.AddFile(folder + "\\\x82\x61.txt", "wide a");
    files.AddFile(folder + "\\\x82\x41.txt", "wide A");
    files.AddFile(folder + "\\\x95\x7C.txt", "bar trail");

    EXPECT_TRUE(files.IsDirectory(folder));
    EXPECT_EQ(files.ReadFile(folder + "\\\x82\x61.TXT"), "wide a");
    EXPECT_EQ(files.ReadFile(folder + "\\\x82\x41.TXT"), "wide A");
    EXPECT_EQ(files.ReadFile(folder + "\\\x95\x7C.txt"), "bar trail");
    EXPECT_EQ(files.CanonicalPath(folder + "\\\x82\x61.TXT"), folder + "\\\x82\x61.txt");
    EXPECT_EQ(files.Copy(folder + "\\\x82\x61.txt", folder + "\\\x82\x62.txt", false), 0u);
    ASSERT_EQ(files.Changes().size(), 1u);
    EXPECT_EQ(files.Changes()[0].path, folder + "\\\x82\x62.txt");
}

TEST_F(FileSystemTest, NamesAreFoundAgainAfterTheCodePageChanges) {
    SetUpMemoryDrives();
    files.AddFile("C:\\\x82\x61.txt", "wide a");  // in 1252 the 'a' folds
    codePage = CodePage::ForNumber(932);
    EXPECT_EQ(files.ReadFile("C:\\\x82\x61.TXT"), "wide a");
    EXPECT_FALSE(files.IsFile("C:\\\x82\x41.TXT"));
}

// --- Copy and Delete ----------------------------------------------------------

TEST_F(FileSystemTest, CopyFailsWithTheErrorsOfWindows98) {
    SetUpMemoryDrives();
    struct Case {
        const char* source;
        const char* target;
        bool failIfExists;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"C:\\DRV\\owc\\missing.inf", "C:\\WINDOWS\\inf\\x.inf", false, kErrorFileNotFound},
        {"C:\\DRV\\owc", "C:\\WINDOWS\\inf\\x.inf", false, kErrorAccessDenied},
        {"C:\\DRV\\nowhere\\iusb2.inf", "C:\\WINDOWS\\inf\\x.inf", false, kErrorPathNotFound},
        {"C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\nowhere\\x.inf", false, kErrorPathNotFound},
        {"C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\inf\\iusb2.inf", true, kErrorFileExists},
        {"C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\inf\\locked.inf", false, kErrorAccessDenied},
        {"C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\inf", false, kErrorAccessDenied},
        {"C:\\DRV\\owc\\iusb2.inf", "C:\\", false, kErrorAccessDenied},
        {"C:\\DRV\\owc\\iusb2.inf", "D:\\owc\\new.inf", false, kErrorWriteProtect},
        {"C:\\DRV\\owc\\iusb2.inf", "D:\\owc\\iusb2.inf", false, kErrorWriteProtect},
        {"C:\\DRV\\owc\\iusb2.inf", "c:\\drv\\OWC\\IUSB2.INF", false, kErrorSharingViolation},
        {"C:\\DRV\\owc\\iusb2.inf", "c:\\drv\\OWC\\IUSB2.INF", true, kErrorFileExists},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " -> " + c.target);
        EXPECT_EQ(files.Copy(c.source, c.target, c.failIfExists), c.error);
    }
    EXPECT_TRUE(files.Changes().empty());
    EXPECT_EQ(files.ReadFile("C:\\WINDOWS\\inf\\iusb2.inf"), "old inf");
    EXPECT_EQ(files.ReadFile("D:\\owc\\iusb2.inf"), "cd inf");
}

TEST_F(FileSystemTest, CopyReplacesKeepingTheTargetsSpellingAndTakesTheSourcesAttribute) {
    SetUpMemoryDrives();
    ASSERT_EQ(files.Copy("C:\\DRV\\owc\\iusb2.inf", "c:\\windows\\inf\\iusb2.inf", false), 0u);
    EXPECT_EQ(files.ReadFile("C:\\WINDOWS\\inf\\IUSB2.INF"), "new inf");
    EXPECT_EQ(files.CanonicalPath("c:\\windows\\inf\\iusb2.inf"), "C:\\WINDOWS\\inf\\IUSB2.INF");
    EXPECT_FALSE(files.IsReadOnly("C:\\WINDOWS\\inf\\iusb2.inf"));

    // A new file gets the name as written, and a read-only source gives a
    // read-only copy, which cannot be copied over afterwards.
    ASSERT_EQ(files.Copy("C:\\WINDOWS\\inf\\locked.inf", "C:\\WINDOWS\\Copy.INF", false), 0u);
    EXPECT_EQ(files.CanonicalPath("C:\\windows\\copy.inf"), "C:\\WINDOWS\\Copy.INF");
    EXPECT_TRUE(files.IsReadOnly("C:\\WINDOWS\\copy.inf"));
    EXPECT_EQ(files.Copy("C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\copy.inf", false),
              kErrorAccessDenied);
    EXPECT_EQ(files.Delete("C:\\WINDOWS\\copy.inf"), kErrorAccessDenied);

    // Read-only drives can still be read from.
    ASSERT_EQ(files.Copy("D:\\owc\\iusb2.inf", "C:\\cd.inf", false), 0u);
    EXPECT_EQ(files.ReadFile("C:\\cd.inf"), "cd inf");
}

TEST_F(FileSystemTest, DeleteFailsWithTheErrorsOfWindows98) {
    SetUpMemoryDrives();
    struct Case {
        const char* path;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"C:\\WINDOWS\\inf\\missing.inf", kErrorFileNotFound},
        {"C:\\WINDOWS\\inf", kErrorAccessDenied},
        {"C:\\WINDOWS\\inf\\locked.inf", kErrorAccessDenied},
        {"D:\\owc\\iusb2.inf", kErrorWriteProtect},
        {"C:\\WINDOWS\\nowhere\\iusb2.inf", kErrorPathNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(files.Delete(c.path), c.error);
    }
    EXPECT_TRUE(files.Changes().empty());

    EXPECT_EQ(files.Delete("c:\\windows\\INF\\iusb2.inf"), 0u);
    EXPECT_FALSE(files.IsFile("C:\\WINDOWS\\inf\\IUSB2.INF"));
    EXPECT_EQ(files.Delete("C:\\WINDOWS\\inf\\IUSB2.INF"), kErrorFileNotFound);
}

// --- Streams ------------------------------------------------------------------

TEST_F(FileSystemTest, StreamsWriteLikeTheCRuntime) {
    SetUpMemoryDrives();
    int binary = 0;
    ASSERT_EQ(files.OpenStream("C:\\csb.log", "wb", &binary), 0u);
    // The file exists from the moment it is opened, holding what is written.
    EXPECT_EQ(files.ReadFile("C:\\CSB.LOG"), "");
    ASSERT_EQ(files.WriteStream(binary, "a\nb", 3), 0u);
    EXPECT_EQ(files.ReadFile("C:\\csb.log"), "a\nb");
    EXPECT_EQ(files.OpenStreamCount(), 1u);
    EXPECT_EQ(files.Delete("C:\\csb.log"), kErrorSharingViolation);
    EXPECT_EQ(files.CloseStream(binary), 0u);
    EXPECT_EQ(files.OpenStreamCount(), 0u);

    int text = 0;
    ASSERT_EQ(files.OpenStream("C:\\csb.log", "a", &text), 0u);
    ASSERT_EQ(files.WriteStream(text, "c\n", 2), 0u);
    ASSERT_EQ(files.CloseStream(text), 0u);
    EXPECT_EQ(files.ReadFile("C:\\csb.log"), "a\nbc\r\n");

    int truncating = 0;
    ASSERT_EQ(files.OpenStream("c:\\CSB.log", "w", &truncating), 0u);
    EXPECT_EQ(files.ReadFile("C:\\csb.log"), "");
    ASSERT_EQ(files.CloseStream(truncating), 0u);
    EXPECT_EQ(files.CanonicalPath("c:\\CSB.LOG"), "C:\\csb.log");

    int reading = 0;
    ASSERT_EQ(files.OpenStream("C:\\DRV\\owc\\iusb2.inf", "rb", &reading), 0u);
    EXPECT_EQ(files.WriteStream(reading, "x", 1), kErrorAccessDenied);
    EXPECT_EQ(files.CloseStream(reading), 0u);

    EXPECT_EQ(files.CloseStream(truncating), kErrorInvalidHandle);
    EXPECT_EQ(files.WriteStream(truncating, "x", 1), kErrorInvalidHandle);
    EXPECT_EQ(files.WriteStream(12345, "x", 1), kErrorInvalidHandle);
}

TEST_F(FileSystemTest, StreamsAreRefusedWhereWindowsRefusesThem) {
    SetUpMemoryDrives();
    struct Case {
        const char* path;
        const char* mode;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"C:\\WINDOWS\\inf\\locked.inf", "wb", kErrorAccessDenied},
        {"C:\\WINDOWS\\inf\\locked.inf", "ab", kErrorAccessDenied},
        {"C:\\WINDOWS\\inf", "wb", kErrorAccessDenied},
        {"C:\\nowhere\\csb.log", "wb", kErrorPathNotFound},
        {"C:\\missing.log", "rb", kErrorFileNotFound},
        {"D:\\csb.log", "wb", kErrorWriteProtect},
        {"D:\\owc\\iusb2.inf", "ab", kErrorWriteProtect},
        {"C:\\csb.log", "xb", kErrorInvalidParameter},
        {"C:\\csb.log", "", kErrorInvalidParameter},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.mode);
        int stream = -1;
        EXPECT_EQ(files.OpenStream(c.path, c.mode, &stream), c.error);
    }
    EXPECT_EQ(files.OpenStreamCount(), 0u);
    EXPECT_TRUE(files.Changes().empty());
    int stream = 0;
    ASSERT_EQ(files.OpenStream("D:\\owc\\iusb2.inf", "r", &stream), 0u);  // reading is fine
    EXPECT_EQ(files.CloseStream(stream), 0u);
}

// --- Changes --------------------------------------------------------------------

TEST_F(FileSystemTest, ChangesListWhatDiffersFromBeforeInFirstChangeOrder) {
    SetUpMemoryDrives();
    // Replaced, even with the same bytes: it was written.
    files.AddFile("C:\\same.txt", "new inf");
    ASSERT_EQ(files.Copy("C:\\DRV\\owc\\iusb2.inf", "C:\\same.txt", false), 0u);
    ASSERT_EQ(files.Copy("C:\\DRV\\owc\\iusb2.inf", "C:\\WINDOWS\\inf\\iusb2.inf", false), 0u);
    ASSERT_EQ(files.Copy("C:\\DRV\\owc\\iusbehci.sys",
                         "C:\\WINDOWS\\system32\\drivers\\"
                         "iusbehci.sys",
                         false),
              0u);
    // Created and deleted again: no change at all.
    ASSERT_EQ(files.Copy("C:\\DRV\\owc\\iusb2.inf", "C:\\temp.inf", false), 0u);
    ASSERT_EQ(files.Delete("C:\\temp.inf"), 0u);
    ASSERT_EQ(files.Delete("C:\\DRV\\owc\\iusbehci.sys"), 0u);
    // Deleted and made again: replaced, in the place of its first change.
    ASSERT_EQ(files.Delete("C:\\DRV\\owc\\iusb2.inf"), 0u);
    ASSERT_EQ(files.Copy("C:\\same.txt", "C:\\DRV\\owc\\iusb2.inf", false), 0u);
    // A second change of a file keeps its first place.
    ASSERT_EQ(files.Copy("C:\\DRV\\owc\\iusb2.inf", "C:\\same.txt", false), 0u);
    int stream = 0;
    ASSERT_EQ(files.OpenStream("C:\\csb.log", "wb", &stream), 0u);
    ASSERT_EQ(files.WriteStream(stream, "0123456789", 10), 0u);
    ASSERT_EQ(files.CloseStream(stream), 0u);

    struct Expected {
        const char* path;
        Kind kind;
        std::uint64_t size;
    };
    const Expected expected[] = {
        {"C:\\same.txt", Kind::Replaced, 7},
        {"C:\\WINDOWS\\inf\\IUSB2.INF", Kind::Replaced, 7},
        {"C:\\WINDOWS\\system32\\drivers\\iusbehci.sys", Kind::Created, 7},
        {"C:\\DRV\\owc\\iusbehci.sys", Kind::Deleted, 0},
        {"C:\\DRV\\owc\\iusb2.inf", Kind::Replaced, 7},
        {"C:\\csb.log", Kind::Created, 10},
    };
    std::vector<FileSystem::Change> changes = files.Changes();
    ASSERT_EQ(changes.size(), std::size(expected));
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(changes[i].path, expected[i].path);
        EXPECT_EQ(changes[i].kind, expected[i].kind);
        EXPECT_EQ(changes[i].size, expected[i].size);
    }
}

// --- Host folders -------------------------------------------------------------

TEST_F(FileSystemTest, MapDriveNeedsAnExistingHostFolder) {
    HostFolder host;
    host.Write("file.txt", "x");
    std::string error;
    EXPECT_FALSE(files.MapDrive('E', host / "missing", false, &error));
    EXPECT_NE(error.find(host / "missing"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(files.MapDrive('E', host / "file.txt", false, &error));
    EXPECT_NE(error.find(host / "file.txt"), std::string::npos) << error;
    EXPECT_FALSE(files.HasDrive('e'));

    ASSERT_TRUE(files.MapDrive('e', host.Path(), false, &error)) << error;
    EXPECT_TRUE(files.HasDrive('E'));
    EXPECT_EQ(files.HostFolder('E'), host.Path());
    EXPECT_EQ(files.ReadFile("e:\\FILE.TXT"), "x");
}

TEST_F(FileSystemTest, HostFilesAreFoundWithoutRegardToCaseAndReadOnlyByModeBits) {
    HostFolder host;
    host.Write("Windows/INF/usb.inf", "host inf");
    host.Write("Windows/INF/locked.inf", "locked", 0444);
    host.Write("dup/readme.txt", "lower");
    host.Write("dup/README.TXT", "upper");
    std::string error;
    ASSERT_TRUE(files.MapDrive('C', host.Path(), false, &error)) << error;
    const auto before = Snapshot(host.Path());

    EXPECT_EQ(files.ReadFile("c:\\WINDOWS\\inf\\USB.INF"), "host inf");
    EXPECT_EQ(files.CanonicalPath("c:\\WINDOWS\\inf\\USB.INF"), "C:\\Windows\\INF\\usb.inf");
    // Two host names that fold alike: the first in byte order wins.
    EXPECT_EQ(files.ReadFile("C:\\dup\\Readme.Txt"), "upper");
    EXPECT_TRUE(files.IsReadOnly("C:\\windows\\inf\\locked.inf"));
    EXPECT_FALSE(files.IsReadOnly("C:\\windows\\inf\\usb.inf"));
    EXPECT_EQ(files.Copy("C:\\windows\\inf\\usb.inf", "C:\\windows\\inf\\locked.inf", false),
              kErrorAccessDenied);
    EXPECT_EQ(files.Delete("C:\\windows\\inf\\locked.inf"), kErrorAccessDenied);

    // Set-up can override a host file's attribute without touching it.
    files.SetReadOnly("C:\\windows\\inf\\usb.inf", true);
    EXPECT_TRUE(files.IsReadOnly("C:\\windows\\inf\\usb.inf"));
    EXPECT_EQ(files.ReadFile("C:\\windows\\inf\\usb.inf"), "host inf");

    // Changes stay in memory: the host folder is as it was.
    EXPECT_EQ(files.Copy("C:\\dup\\readme.txt", "C:\\windows\\inf\\new.inf", false), 0u);
    EXPECT_EQ(files.Delete("C:\\dup\\README.txt"), 0u);
    int stream = 0;
    ASSERT_EQ(files.OpenStream("C:\\csb.log", "wb", &stream), 0u);
    ASSERT_EQ(files.WriteStream(stream, "x", 1), 0u);
    ASSERT_EQ(files.CloseStream(stream), 0u);
    EXPECT_EQ(files.ReadFile("C:\\WINDOWS\\INF\\NEW.INF"), "upper");
    EXPECT_EQ(Snapshot(host.Path()), before);
}

TEST_F(FileSystemTest, ReadOnlyHostDriveRefusesChanges) {
    HostFolder host;
    host.Write("owc/iusb2.inf", "inf");
    std::string error;
    ASSERT_TRUE(files.MapDrive('D', host.Path(), true, &error)) << error;
    ASSERT_TRUE(files.MapDrive('C', "", false, &error)) << error;
    EXPECT_EQ(files.Copy("C:\\nothing", "D:\\x", false), kErrorFileNotFound);
    EXPECT_EQ(files.Copy("D:\\OWC\\IUSB2.INF", "D:\\owc\\copy.inf", false), kErrorWriteProtect);
    EXPECT_EQ(files.Delete("D:\\owc\\iusb2.inf"), kErrorWriteProtect);
    EXPECT_EQ(files.Copy("D:\\OWC\\IUSB2.INF", "C:\\iusb2.inf", false), 0u);
    EXPECT_EQ(files.ReadFile("C:\\iusb2.inf"), "inf");
}

TEST_F(FileSystemTest, NoPathReachesOutsideTheHostFolder) {
    HostFolder sandbox;
    sandbox.Write("outside/secret.txt", "secret");
    sandbox.Write("drive/real.txt", "real");
    sandbox.Write("drive/sub/deep.txt", "deep");
    const std::string drive = sandbox / "drive";
    fs::create_directory_symlink("../outside", drive + "/out");
    fs::create_symlink("../outside/secret.txt", drive + "/secret.lnk");
    fs::create_symlink("real.txt", drive + "/inside.lnk");
    fs::create_directory_symlink("sub", drive + "/sublink");
    std::string error;
    ASSERT_TRUE(files.MapDrive('C', drive, false, &error)) << error;
    files.SetCurrentDirectory("C:\\sub");
    const auto before = Snapshot(sandbox.Path());

    // Links that stay inside are followed.
    EXPECT_EQ(files.ReadFile("C:\\inside.lnk"), "real");
    EXPECT_EQ(files.ReadFile("C:\\SUBLINK\\deep.txt"), "deep");
    // Links leading out, and ".." past the root, find nothing.
    struct Case {
        const char* path;
        std::uint32_t deleteError;
    };
    const Case cases[] = {
        {"C:\\out\\secret.txt", kErrorPathNotFound},
        {"C:\\secret.lnk", kErrorFileNotFound},
        {"..\\..\\outside\\secret.txt", kErrorPathNotFound},
        {"C:\\..\\outside\\secret.txt", kErrorPathNotFound},
        {"\\..\\..\\outside\\secret.txt", kErrorPathNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(files.IsFile(c.path));
        EXPECT_FALSE(files.ReadFile(c.path).has_value());
        EXPECT_EQ(files.Delete(c.path), c.deleteError);
    }
    EXPECT_FALSE(files.IsDirectory("C:\\out"));
    EXPECT_EQ(files.Copy("C:\\real.txt", "C:\\out\\new.txt", false), kErrorPathNotFound);
    EXPECT_EQ(files.Copy("C:\\real.txt", "..\\..\\outside\\secret.txt", false), kErrorPathNotFound);
    // Where an outward link stands the program finds nothing, and makes a
    // file of its own there; like every change, it stays in the machine.
    EXPECT_EQ(files.Copy("C:\\real.txt", "C:\\secret.lnk", false), 0u);
    EXPECT_EQ(files.ReadFile("C:\\secret.lnk"), "real");
    EXPECT_EQ(files.Copy("C:\\real.txt", "C:\\sublink\\deep.txt", false), 0u);
    EXPECT_EQ(Snapshot(sandbox.Path()), before);
}

// A folder of a few thousand files: listing the host folder again for every
// lookup makes this test take tens of seconds instead of well under one.
TEST_F(FileSystemTest, FoldersOfThousandsOfFilesStayQuick) {
    HostFolder host;
    const int count = 2000;
    for (int i = 0; i < count; ++i) host.Write("big/file" + std::to_string(i) + ".sys", "x");
    std::string error;
    ASSERT_TRUE(files.MapDrive('C', host.Path(), false, &error)) << error;
    for (int i = 0; i < count; ++i) {
        std::string name = "C:\\BIG\\FILE" + std::to_string(i) + ".SYS";
        ASSERT_TRUE(files.IsFile(name)) << name;
        files.AddFile("C:\\MEM\\file" + std::to_string(i), "y");
    }
    for (int i = 0; i < count; i += 7) {
        ASSERT_EQ(files.Copy("C:\\big\\file" + std::to_string(i) + ".sys",
                             "C:\\mem\\FILE" + std::to_string(i), false),
                  0u);
    }
    EXPECT_EQ(files.Changes().size(), static_cast<std::size_t>((count + 6) / 7));
}

}  // namespace
}  // namespace platform::sim
