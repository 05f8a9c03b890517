#include "sim/cli/cli_options.h"

#include <cctype>
#include <cstring>
#include <optional>

#include "platform/sim/code_page.h"
#include "platform/sim/named_systems.h"
#include "sim/apply/apply_plan.h"
#include "sim/machine/library_versions.h"

#ifndef KESTROW_VERSION
#define KESTROW_VERSION "unknown"
#endif

namespace kestrow_sim {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ParseCount(const std::string& text, unsigned long max, unsigned long* value) {
    if (text.empty() || text.size() > 9) return false;
    unsigned long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number == 0 || number > max) return false;
    *value = number;
    return true;
}

bool ParseAnswers(const std::string& text, std::vector<int>* answers, std::string* error) {
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        std::string word = Lower(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (word == "ok") {
            answers->push_back(1);
        } else if (word == "cancel") {
            answers->push_back(2);
        } else if (word == "none") {
            answers->push_back(0);
        } else {
            *error = "--answer takes ok, cancel or none, found \"" + word + "\"";
            return false;
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool ParseFault(const std::string& text, FaultOption* fault, std::string* error) {
    std::size_t colon = text.find(':');
    std::string name = text.substr(0, colon);
    auto operation = platform::sim::OperationByName(name);
    if (!operation) {
        std::string known;
        for (int i = 0; i < platform::sim::kOperationCount; ++i) {
            known +=
                (i == 0 ? "" : ", ") +
                std::string(platform::sim::OperationName(static_cast<platform::sim::Operation>(i)));
        }
        *error = "--fail: unknown operation \"" + name + "\" (known: " + known + ")";
        return false;
    }
    fault->operation = *operation;
    fault->nth = 0;
    if (colon != std::string::npos) {
        unsigned long nth = 0;
        if (!ParseCount(text.substr(colon + 1), 1000000, &nth)) {
            *error = "--fail " + text +
                     ": the call number after ':' must be a whole number from 1 to 1000000";
            return false;
        }
        fault->nth = static_cast<unsigned>(nth);
    }
    return true;
}

bool ParseCodePage(const std::string& text, unsigned* codePage, std::string* error) {
    unsigned long number = 0;
    if (!ParseCount(text, 65535, &number) ||
        !platform::sim::CodePage::IsKnown(static_cast<unsigned>(number))) {
        *error = "--codepage: the simulated machine has no code page \"" + text +
                 "\" (known: 874, 932, 936, 949, 950, 1250 to 1258)";
        return false;
    }
    *codePage = static_cast<unsigned>(number);
    return true;
}

bool ParseDrive(const std::string& text, DriveSetting* drive, std::string* error) {
    if (text.size() < 3 || !std::isalpha(static_cast<unsigned char>(text[0])) || text[1] != '=') {
        *error = "--drive takes X=FOLDER[,readonly], found \"" + text + "\"";
        return false;
    }
    drive->letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    drive->hostFolder = text.substr(2);
    drive->readOnly = false;
    drive->origin = "--drive " + text;
    std::size_t comma = drive->hostFolder.rfind(',');
    if (comma != std::string::npos) {
        std::string flag = Lower(drive->hostFolder.substr(comma + 1));
        if (flag != "readonly") {
            *error = "--drive " + text + ": unknown flag \"" + flag + "\" (known: readonly)";
            return false;
        }
        drive->readOnly = true;
        drive->hostFolder.resize(comma);
    }
    if (drive->hostFolder.empty()) {
        *error = "--drive " + text + ": no folder given";
        return false;
    }
    return true;
}

}  // namespace

bool ParseCliOptions(int argc, const char* const* argv, CliOptions* options, std::string* error) {
    CliOptions parsed;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            for (int j = i + 1; j < argc; ++j) {
                if (j > i + 1) parsed.commandTail += ' ';
                parsed.commandTail += argv[j];
            }
            break;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            inlineValue = arg.substr(equals + 1);
        }
        auto value = [&](std::string* out) {
            if (inlineValue) {
                *out = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto flag = [&](bool* out) {
            if (inlineValue) {
                *error = name + " takes no value";
                return false;
            }
            *out = true;
            return true;
        };
        std::string text;
        if (name == "-h" || name == "--help") {
            if (!flag(&parsed.help)) return false;
        } else if (name == "--version") {
            if (!flag(&parsed.version)) return false;
        } else if (name == "--machine") {
            if (!value(&parsed.machine)) return false;
        } else if (name == "--system") {
            if (!value(&text)) return false;
            platform::sim::VersionRecord record;
            if (!platform::sim::VersionRecordForSystem(Lower(text), &record)) {
                *error = "--system: unknown system \"" + text +
                         "\" (known: " + platform::sim::NamedSystemList() + ")";
                return false;
            }
            parsed.system = Lower(text);
        } else if (name == "--registry") {
            if (!value(&parsed.registryFile)) return false;
            if (parsed.registryFile.empty()) {
                *error = "--registry needs a file name, found an empty one";
                return false;
            }
        } else if (name == "--codepage") {
            if (!value(&text) || !ParseCodePage(text, &parsed.codePage, error)) return false;
        } else if (name == "--drive") {
            DriveSetting drive;
            if (!value(&text) || !ParseDrive(text, &drive, error)) return false;
            parsed.drives.push_back(drive);
        } else if (name == "--image") {
            if (!value(&parsed.imageFile)) return false;
            if (parsed.imageFile.empty()) {
                *error = "--image needs a disk image file";
                return false;
            }
        } else if (name == "--partition") {
            unsigned long number = 0;
            if (!value(&text) || text.empty() ||
                text.find_first_not_of("0123456789") != std::string::npos || text.size() > 3) {
                if (error->empty()) *error = "--partition takes a partition number, e.g. 1";
                return false;
            }
            number = std::stoul(text);
            parsed.partition = static_cast<unsigned>(number);
        } else if (name == "--cwd") {
            if (!value(&text)) return false;
            if (!IsAbsoluteWindowsPath(text)) {
                *error = "--cwd takes a full Windows path such as C:\\DRV, found \"" + text + "\"";
                return false;
            }
            parsed.currentDirectory = text;
        } else if (name == "--answer") {
            if (!value(&text) || !ParseAnswers(text, &parsed.answers, error)) return false;
        } else if (name == "--fail") {
            FaultOption fault;
            if (!value(&text) || !ParseFault(text, &fault, error)) return false;
            parsed.faults.push_back(fault);
        } else if (name == "--json") {
            if (!flag(&parsed.json)) return false;
        } else if (name == "--trace") {
            if (!flag(&parsed.trace)) return false;
        } else if (name == "--apply") {
            if (!flag(&parsed.apply)) return false;
        } else if (name == "--bench") {
            unsigned long runs = 0;
            if (!value(&text) || !ParseCount(text, 10000000, &runs)) {
                if (error->empty()) *error = "--bench takes a number of runs, 1 or more";
                return false;
            }
            parsed.benchRuns = static_cast<unsigned>(runs);
        } else {
            *error = "unknown option \"" + arg + "\"" +
                     (arg.rfind('-', 0) == 0 ? "" : " (the program's command line goes after --)");
            return false;
        }
    }
    if (parsed.partition && parsed.imageFile.empty()) {
        *error = "--partition goes with --image";
        return false;
    }
    if (parsed.apply) {
        ApplyCheck check;
        check.stage = ApplyStage::kOptionsRead;
        check.bench = parsed.benchRuns > 0;
        if (std::optional<ApplyRefusal> refusal = CheckApplyAllowed(check)) {
            *error = refusal->message;
            return false;
        }
    }
    *options = std::move(parsed);
    return true;
}

namespace {

// The named systems for the usage text: in lines of at most 79 columns,
// below the options' descriptions.
std::string WrappedSystemList() {
    const std::string indent(23, ' ');
    constexpr std::size_t kWidth = 79;
    std::string text;
    std::string line = indent;
    const auto& systems = platform::sim::NamedSystems();
    for (std::size_t i = 0; i < systems.size(); ++i) {
        std::string item = std::string(systems[i].name) + (i + 1 < systems.size() ? "," : "");
        if (line.size() > indent.size() && line.size() + 1 + item.size() > kWidth) {
            text += line + "\n";
            line = indent;
        }
        if (line.size() > indent.size()) line += ' ';
        line += item;
    }
    return text + line;
}

}  // namespace

std::string UsageText() {
    return R"(Usage: kestrow-sim [OPTIONS] [-- COMMAND-LINE TAIL]

Runs Kestrow's installer once on a simulated Windows machine and reports what
it did: message boxes, files placed, the registry key deleted, the restart
and the marker file. By default nothing on this computer is changed: the run
works on the machine in memory and the report says what WOULD change.

Options:
  --machine DIR|NAME   the machine: a folder holding machine.ini, registry.reg
                       and a folder per drive, or the name of a sample machine
                       (win98se, winme, win98se-cp950, xp); default win98se
  --system NAME        run as this system instead of the one machine.ini names:
)" + WrappedSystemList() +
           R"(
  --registry FILE      a REGEDIT4 file (e.g. from `regedit /e pci.reg
                       HKEY_LOCAL_MACHINE\Enum\PCI` on a real machine) or a
                       Windows 98/Me registry file (SYSTEM.DAT) that REPLACES
                       the machine's registry.reg for this run; with --apply
                       a REGEDIT4 file is rewritten, a SYSTEM.DAT never
  --drive X=DIR[,readonly]
                       map drive X: onto a host folder (e.g. a mounted Windows
                       98 partition), replacing machine.ini's folder for X:;
                       may be repeated. A C: drive given without --registry
                       is read as the installation it holds: the registry is
                       its Windows folder's SYSTEM.DAT (the folder named by
                       C:\MSDOS.SYS [Paths] WinDir=, else C:\WINDOWS), the
                       system the version that registry records (unless
                       --system is given), and --apply is refused
  --image FILE [--partition N]
                       drive C: is a partition of a disk image (raw, VHD or
                       VMDK), read-only: partition N of its MBR (0 for an
                       image that is one FAT volume), or else the one FAT
                       partition that holds MSDOS.SYS and a Windows folder
                       with SYSTEM.DAT. The run's changes stay in memory;
                       --apply is refused. Add the driver set with --drive,
                       e.g. --image win98.vhd --drive D=./driverset --cwd D:\
  --cwd PATH           the program's current directory, e.g. C:\DRV (the
                       program reads its driver files from PATH\owc)
  --codepage N         the machine's ANSI code page instead of machine.ini's
                       (874, 932, 936, 949, 950, 1250 to 1258): how the
                       registry file's names are read and how names and
                       values are shown; the report's "Code page:" line says
                       which one was used and where it came from
  --answer ok|cancel|none
                       the answer to the next message box; repeat it or give
                       several separated by commas, one per box in order.
                       A box with no answer given is drawn on the terminal and
                       answered there when standard input is a terminal;
                       otherwise it counts as not shown ("none")
  --fail OP[:N]        make the platform operation OP (e.g. RegDeleteKeyA,
                       CopyFileA, RegOpenKeyExA) fail at its Nth call, or at
                       every call when no N is given; may be repeated
  --json               print the report as one JSON document; each text taken
                       from the machine or the host (names, values, paths,
                       the command line) has a "..._bytes" twin holding its
                       exact bytes, one character U+0000-U+00FF per byte
  --trace              list every platform call in order (on standard error;
                       with --json, in the report's "trace" array)
  --apply              write the changes back: the drive folders' files (a
                       file replaced is saved first in <registry>.undo.files),
                       then the registry file without the deleted key's lines;
                       those are saved first, next to the registry file, as
                       <registry>.undo.reg (REGEDIT4, importable on Windows 98
                       to put the key back). Sample machines are not changed:
                       copy one first (the refusal names its folder)
  -h, --help           show this text
  --version            show the version, and the libraries it reads machines
                       with and their versions
  -- TAIL...           everything after -- is the program's command-line tail,
                       the words joined by single blanks; the program sees
                       "<program path> <tail>". Without --, the tail is empty.
                       The unattended run: -- -s '-f2"c:\csb.log"'

In the text report, control characters (and bytes that are not UTF-8) are
shown as \xNN, so nothing in a name or value can act on the terminal.

Exit codes: 0 the program ran (its own exit code is in the report); 2 bad
options, settings, registry file or drive folders (nothing was changed);
1 --apply could not write everything (the report says what was written), or
the report itself could not be written; 3 an internal error.
)";
}

std::string VersionText() {
    std::string text = "kestrow-sim " KESTROW_VERSION "\n";
    for (const LibraryVersion& library : ReadingLibraryVersions())
        text += library.name + " " + library.version + ": " + library.reads + "\n";
    return text;
}

}  // namespace kestrow_sim
