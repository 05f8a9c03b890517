#include "sim/machine/offline_machine.h"

#include <gtest/gtest.h>

#include "sim/formats/msdos_sys.h"

namespace kestrow_sim {
namespace {

TEST(MsdosSysTest, FindsWinDirAsTheStartupCodeReadsIt) {
    struct Case {
        const char* name;
        std::string text;
        const char* winDir;  // null: an error is expected
        std::size_t line;
        unsigned codePage = 1252;
    };
    const Case cases[] = {
        {"Windows 98 layout", "[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\n",
         "C:\\WINDOWS", 2},
        {"letter case and blanks", "; comment\n[paths]\n  windir = D:\\Win98\\  \n", "D:\\Win98",
         3},
        {"first one counts", "[Paths]\nWinDir=C:\\A\nWinDir=C:\\B\n", "C:\\A", 2},
        {"other sections ignored", "[Options]\nWinDir=C:\\NO\n[Paths]\nWinBootDir=C:\\X\n", "", 0},
        {"binary MS-DOS 6 file", std::string("\xeb\x3c\x90MSDOS\0\0[Paths", 15), "", 0},
        {"empty", "", "", 0},
        {"not a full path", "[Paths]\nWinDir=WINDOWS\n", nullptr, 0},
        // A last character whose trail byte is 0x5C keeps it; a backslash
        // after it goes.
        {"code page 932 trail byte", "[Paths]\nWinDir=C:\\\x83\x5c\n", "C:\\\x83\x5c", 2, 932},
        {"code page 932 and a backslash", "[Paths]\nWinDir=C:\\\x83\x5c\\\n", "C:\\\x83\x5c", 2,
         932},
        {"code page 950 trail byte", "[Paths]\nWinDir=C:\\W\\\xa5\x5c\n", "C:\\W\\\xa5\x5c", 2,
         950},
        {"the same bytes in code page 1252", "[Paths]\nWinDir=C:\\\x83\x5c\n", "C:\\\x83", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MsdosSysPaths paths;
        std::string error;
        bool ok =
            ParseMsdosSys(c.text, platform::sim::CodePage::ForNumber(c.codePage), &paths, &error);
        if (c.winDir == nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error,
                      "line 2: WinDir=WINDOWS is not a full Windows path such as C:\\WINDOWS");
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(paths.winDir, c.winDir);
        EXPECT_EQ(paths.winDirLine, c.line);
    }
}

// The installation is found through the simulated file system alone, so an
// in-memory drive (like a drive read out of a disk image) works as a host
// folder does.
TEST(OfflineMachineTest, ReadsThroughTheSimulatedDrives) {
    platform::sim::CodePage codePage;
    platform::sim::FileSystem files(&codePage);
    std::string error;
    ASSERT_TRUE(files.MapDrive('C', "", true, &error)) << error;
    files.AddFile("C:\\msdos.sys", "[Paths]\r\nWinDir=C:\\WIN98\r\n");
    files.AddFile("C:\\Win98\\System.dat", "CREG-bytes");

    OfflineRegistry found;
    ASSERT_TRUE(FindOfflineRegistry(files, codePage, 'c', &found, &error)) << error;
    EXPECT_EQ(found.windowsDirectory, "C:\\Win98");
    EXPECT_EQ(found.registryPath, "C:\\Win98\\System.dat");
    EXPECT_EQ(found.bytes, "CREG-bytes");
    EXPECT_EQ(found.windowsDirectoryFrom, "C:\\msdos.sys [Paths] WinDir (line 2)");
}

TEST(OfflineMachineTest, SaysWhatIsMissing) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> files;
        const char* error;
    };
    const Case cases[] = {
        {"no Windows folder",
         {},
         "there is no Windows folder C:\\WINDOWS (from the default; there is no C:\\MSDOS.SYS; "
         "--registry FILE runs with another registry)"},
        {"no SYSTEM.DAT",
         {{"C:\\WINDOWS\\WIN.INI", ""}},
         "no registry: C:\\WINDOWS\\SYSTEM.DAT is missing (--registry FILE runs with another "
         "registry)"},
        {"Windows on an unmapped drive",
         {{"C:\\MSDOS.SYS", "[Paths]\nWinDir=E:\\WINDOWS\n"}},
         "the Windows folder E:\\WINDOWS (from C:\\MSDOS.SYS [Paths] WinDir (line 2)) is on drive "
         "E:, which is not mapped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::sim::CodePage codePage;
        platform::sim::FileSystem files(&codePage);
        std::string error;
        ASSERT_TRUE(files.MapDrive('C', "", true, &error)) << error;
        for (const auto& [path, bytes] : c.files) files.AddFile(path, bytes);
        OfflineRegistry found;
        EXPECT_FALSE(FindOfflineRegistry(files, codePage, 'C', &found, &error));
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
}  // namespace kestrow_sim
