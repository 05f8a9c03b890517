// What kestrow-sim shows on a terminal: no byte of a name, value, path or
// message box may act on the terminal, and every message blames the place
// a setting came from.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/sim/machine.h"
#include "sim/cli/box_prompt.h"
#include "sim/formats/machine_settings.h"
#include "sim/report/text_encoding.h"

namespace {

using kestrow_sim::MachineSettings;
using kestrow_sim::SettingOrigin;

// True when the text holds no byte or character a terminal acts on: C0
// controls other than the line feed, DEL, the C1 controls in UTF-8, and
// bytes of no valid UTF-8 sequence (a lone 0x9B is CSI to an 8-bit terminal).
bool IsInert(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
        if (c == 0xC2 && i + 1 < text.size()) {
            unsigned char next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) return false;
        }
    }
    // Every byte is part of valid UTF-8: nothing changes when shown.
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        if (kestrow_sim::VisibleText(line) != line) return false;
        start = end + 1;
    }
    return true;
}

TEST(VisibleTextTest, EscapesWhatActsOnATerminal) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"C:\\DRV\\KESTROW.EXE -s", "C:\\DRV\\KESTROW.EXE -s"},
        {"\x1b[2K\x1b[1ARestart requested: yes", "\\x1B[2K\\x1B[1ARestart requested: yes"},
        {"tail\n", "tail\\x0A"},
        {"a\rb\bc\x7f", "a\\x0Db\\x08c\\x7F"},
        {std::string_view("nul\0here", 8), "nul\\x00here"},
        {"\xc2\x9b"
         "31m",
         "\\x9B31m"},                                      // C1 CSI as UTF-8
        {"\xc2\xa0\xe5\xa2\x9e", "\xc2\xa0\xe5\xa2\x9e"},  // NBSP and 增 stay
        {"\x9b\xff", "\\x9B\\xFF"},                        // not UTF-8
        {"\xc0\x9b", "\\xC0\\x9B"},                        // overlong ESC-like form
        {"\xe5\xa2", "\\xE5\\xA2"},                        // cut off
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},               // a surrogate
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},          // four bytes
    };
    for (const auto& [text, shown] : cases) {
        SCOPED_TRACE(std::string(shown));
        EXPECT_EQ(kestrow_sim::VisibleText(text), shown);
        EXPECT_TRUE(IsInert(kestrow_sim::VisibleText(text)));
    }
}

TEST(VisibleTextTest, BytesAsLatin1KeepsEveryByte) {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    std::string latin1 = kestrow_sim::BytesAsLatin1(bytes);
    // Decoding the UTF-8 gives back the byte values one for one.
    std::string decoded;
    for (std::size_t i = 0; i < latin1.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(latin1[i]);
        if (c < 0x80) {
            decoded += static_cast<char>(c);
        } else {
            ASSERT_LT(i + 1, latin1.size());
            decoded += static_cast<char>((c & 0x03) << 6 | (latin1[++i] & 0x3F));
        }
    }
    EXPECT_EQ(decoded, bytes);
}

// The box drawn and the answers echoed, as the terminal gets them.
std::string Prompt(const platform::sim::MessageBoxRecord& box, unsigned codePage,
                   const std::string& typed, int* answer) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fputs(typed.c_str(), in);
    std::rewind(in);
    *answer = kestrow_sim::PromptBox(box, codePage, in, out);
    std::string shown;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;) shown += static_cast<char>(c);
    std::fclose(in);
    std::fclose(out);
    return shown;
}

TEST(BoxPromptTest, NothingOfTheBoxOrTheAnswerActsOnTheTerminal) {
    platform::sim::MessageBoxRecord box;
    box.caption = "KES\x1b]0;owned\x07TROW";
    box.text = "first\r\n\x1b[2Jsecond\x80";  // 0x80 is U+0080, a C1 control, in 950
    box.type = platform::MB_OKCANCEL;
    int answer = 0;
    std::string shown = Prompt(box, 950, "\x1b[31m\nok\n", &answer);
    EXPECT_EQ(answer, platform::IDOK);
    EXPECT_TRUE(IsInert(shown)) << shown;
    EXPECT_NE(shown.find("KES\\x1B]0;owned\\x07TROW"), std::string::npos) << shown;
    EXPECT_NE(shown.find("|  \\x1B[2Jsecond\\x80"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\"\\x1B[31m\" is none of the buttons"), std::string::npos) << shown;
}

// A directory on a drive that no folder maps: the message names where the
// directory was given.
TEST(CheckMachineSettingsTest, UnmappedDriveBlamesWhereTheDirectoryCameFrom) {
    struct Case {
        SettingOrigin::Source source;
        const char* message;
    };
    const Case cases[] = {
        {SettingOrigin::Source::kOption,
         "--cwd Q:\\DRV: no folder is mapped to drive Q: (map it with --drive Q=FOLDER"},
        {SettingOrigin::Source::kSettingsFile,
         "m.ini:3: the current directory Q:\\DRV is on drive Q:, which [drives] does not map"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.message);
        MachineSettings settings;
        std::string error;
        ASSERT_TRUE(
            kestrow_sim::ParseMachineSettings("[machine]\nsystem=win98se\n[drives]\nC=drive_c\n",
                                              "m.ini", "/base", &settings, &error))
            << error;
        settings.currentDirectory = "Q:\\DRV";
        settings.currentDirectoryOrigin.source = test.source;
        settings.currentDirectoryOrigin.line = 3;
        settings.currentDirectoryOrigin.option = "--cwd";
        EXPECT_FALSE(kestrow_sim::CheckMachineSettings(settings, "m.ini", &error));
        EXPECT_EQ(error.rfind(test.message, 0), 0u) << error;
    }
    // The Windows directory nobody gave is the default's fault.
    MachineSettings settings;
    std::string error;
    ASSERT_TRUE(kestrow_sim::ParseMachineSettings(
        "[machine]\nsystem=win98se\ncurrent_directory=D:\\DRV\n[drives]\nD=drive_d\n", "m.ini",
        "/base", &settings, &error))
        << error;
    EXPECT_FALSE(kestrow_sim::CheckMachineSettings(settings, "m.ini", &error));
    EXPECT_EQ(error,
              "m.ini: the Windows directory C:\\WINDOWS (the default) is on drive C:, which "
              "[drives] does not map to a folder");
}

}  // namespace
