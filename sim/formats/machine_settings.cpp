#include "sim/formats/machine_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/sim/named_systems.h"

namespace kestrow_sim {

namespace {

using platform::sim::VersionRecord;
using platform::sim::VersionText;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool ParseUnsigned(std::string_view text, unsigned long max, unsigned long* value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number > max) return false;
    *value = number;
    return true;
}

std::string JoinHostPath(const std::string& base, const std::string& path) {
    if (path.empty() || path.front() == '/' || base.empty()) return path;
    return base.back() == '/' ? base + path : base + "/" + path;
}

const char* PlatformName(platform::DWORD platformId) {
    switch (platformId) {
        case platform::VER_PLATFORM_WIN32s:
            return "win32s";
        case platform::VER_PLATFORM_WIN32_WINDOWS:
            return "windows";
        default:
            return "nt";
    }
}

// The [machine] settings that are one value each: how the value is checked
// and stored, and where its origin is kept. system=, version= and platform=
// decide the version together and are read apart (SettingsParser::Build).
struct SimpleSetting {
    const char* key;
    bool (*parse)(const std::string& value, MachineSettings* settings);
    SettingOrigin MachineSettings::*origin;  // null: the origin is not kept
    // The message for a value that does not parse: problem, the value
    // quoted when listsValues, then hint.
    const char* problem;
    bool listsValues;
    const char* hint;
};

bool ParseCodePage(const std::string& value, MachineSettings* settings) {
    unsigned long number = 0;
    if (!ParseUnsigned(value, 65535, &number) ||
        !platform::sim::CodePage::IsKnown(static_cast<unsigned>(number))) {
        return false;
    }
    settings->codePage = static_cast<unsigned>(number);
    return true;
}

template <std::string MachineSettings::*Field>
bool ParseFullPath(const std::string& value, MachineSettings* settings) {
    if (!IsAbsoluteWindowsPath(value)) return false;
    settings->*Field = value;
    return true;
}

const SimpleSetting kSimpleSettings[] = {
    {"codepage", ParseCodePage, &MachineSettings::codePageOrigin, "unknown code page", true,
     "(known: 874, 932, 936, 949, 950, 1250 to 1258)"},
    {"current_directory", ParseFullPath<&MachineSettings::currentDirectory>,
     &MachineSettings::currentDirectoryOrigin, "current_directory must be a full path", false,
     " such as C:\\DRV"},
    {"windows_directory", ParseFullPath<&MachineSettings::windowsDirectory>,
     &MachineSettings::windowsDirectoryOrigin, "windows_directory must be a full path", false,
     " such as C:\\WINDOWS"},
    {"program", ParseFullPath<&MachineSettings::program>, nullptr, "program must be a full path",
     false, " such as C:\\DRV\\KESTROW.EXE"},
};

// The keys that decide the version, then the simple ones, in the order the
// "unknown setting" message lists them.
const char* const kVersionKeys[] = {"system", "version", "platform"};

bool IsMachineKey(const std::string& key) {
    for (const char* name : kVersionKeys) {
        if (key == name) return true;
    }
    for (const SimpleSetting& setting : kSimpleSettings) {
        if (key == setting.key) return true;
    }
    return false;
}

std::string KnownKeys() {
    std::string known;
    for (const char* name : kVersionKeys) known += (known.empty() ? "" : ", ") + std::string(name);
    for (const SimpleSetting& setting : kSimpleSettings) known += ", " + std::string(setting.key);
    return known;
}

struct Entry {
    std::string value;
    std::size_t line = 0;
};

// Collects the [machine] entries, then turns them into settings.
class SettingsParser {
public:
    SettingsParser(const std::string& fileName, const std::string& baseFolder,
                   MachineSettings* settings, std::string* error)
        : fileName_(fileName), baseFolder_(baseFolder), settings_(settings), error_(error) {}

    bool Parse(std::string_view text) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") {
            return Fail(1,
                        "the file starts with a UTF-8 byte order mark (BOM); save it as plain "
                        "text without the BOM");
        }
        std::size_t lineNumber = 0;
        std::string section;
        while (!text.empty()) {
            std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            ++lineNumber;
            std::size_t nul = line.find('\0');
            if (nul != std::string_view::npos) {
                return Fail(lineNumber, "NUL at column " + std::to_string(nul + 1) +
                                            " (a byte 0, which a text file does not hold)");
            }
            line = Trim(line);
            if (line.empty() || line.front() == ';' || line.front() == '#') continue;
            if (line.front() == '[') {
                if (line.back() != ']') return Fail(lineNumber, "a section line must end in ']'");
                section = Lower(Trim(line.substr(1, line.size() - 2)));
                if (section != "machine" && section != "drives") {
                    return Fail(lineNumber, "unknown section [" +
                                                std::string(line.substr(1, line.size() - 2)) +
                                                "] (known: [machine], [drives])");
                }
                continue;
            }
            std::size_t equals = line.find('=');
            if (equals == std::string_view::npos) {
                return Fail(lineNumber, "expected key=value, found \"" + std::string(line) + "\"");
            }
            std::string key = Lower(Trim(line.substr(0, equals)));
            std::string value(Trim(line.substr(equals + 1)));
            if (key.empty()) return Fail(lineNumber, "a key name is missing before '='");
            if (section.empty()) {
                return Fail(lineNumber, "\"" + key + "\" stands before any section");
            }
            if (!Add(section, key, value, lineNumber)) return false;
        }
        return Build();
    }

private:
    bool Fail(std::size_t line, const std::string& message) {
        *error_ =
            fileName_ + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message;
        return false;
    }

    bool Add(const std::string& section, const std::string& key, const std::string& value,
             std::size_t line) {
        if (section == "machine") {
            if (!IsMachineKey(key)) {
                return Fail(line, "unknown setting \"" + key +
                                      "\" in [machine] (known: " + KnownKeys() + ")");
            }
        } else if (key.size() != 1 || !std::isalpha(static_cast<unsigned char>(key[0]))) {
            return Fail(line, "a drive is named by one letter, found \"" + key + "\"");
        }
        auto& entries = section == "machine" ? machine_ : drives_;
        auto found = entries.find(key);
        if (found != entries.end()) {
            if (found->second.value != value) {
                return Fail(line, "\"" + key + "\" is given again with another value (line " +
                                      std::to_string(found->second.line) + " says \"" +
                                      found->second.value + "\")");
            }
            return true;
        }
        entries[key] = Entry{value, line};
        if (section == "drives") driveOrder_.push_back(key);
        return true;
    }

    const Entry* Find(const char* key) const {
        auto found = machine_.find(key);
        return found == machine_.end() ? nullptr : &found->second;
    }

    static SettingOrigin FromFile(const Entry& entry) {
        SettingOrigin origin;
        origin.source = SettingOrigin::Source::kSettingsFile;
        origin.line = entry.line;
        return origin;
    }

    bool Build() {
        const Entry* system = Find("system");
        const Entry* version = Find("version");
        const Entry* platformEntry = Find("platform");
        if (system != nullptr) {
            if (!platform::sim::VersionRecordForSystem(Lower(system->value), &settings_->version)) {
                return Fail(system->line, "unknown system \"" + system->value + "\" (known: " +
                                              platform::sim::NamedSystemList() + ")");
            }
            settings_->systemName = Lower(system->value);
            settings_->versionGiven = true;
        }
        if (version != nullptr) {
            if (platformEntry == nullptr && system == nullptr) {
                return Fail(version->line, "version= needs platform= (windows, nt or win32s)");
            }
            std::string platformName = platformEntry != nullptr
                                           ? platformEntry->value
                                           : PlatformName(settings_->version.platformId);
            VersionRecord record;
            std::string message;
            if (!ParseVersion(version->value, platformName, &record, &message)) {
                return Fail(
                    platformEntry != nullptr && message.find("platform") != std::string::npos
                        ? platformEntry->line
                        : version->line,
                    message);
            }
            if (system != nullptr) {
                if (VersionText(record) != VersionText(settings_->version) ||
                    record.platformId != settings_->version.platformId) {
                    return Fail(version->line,
                                "version=" + version->value + " contradicts system=" +
                                    system->value + " (line " + std::to_string(system->line) +
                                    "), which is " + VersionText(settings_->version) +
                                    " on platform " + PlatformName(settings_->version.platformId));
                }
            } else {
                settings_->version = record;
                settings_->versionGiven = true;
            }
        } else if (platformEntry != nullptr) {
            if (system == nullptr) {
                return Fail(platformEntry->line, "platform= is only used with version=");
            }
            if (Lower(platformEntry->value) != PlatformName(settings_->version.platformId)) {
                return Fail(platformEntry->line, "platform=" + platformEntry->value +
                                                     " contradicts system=" + system->value +
                                                     " (line " + std::to_string(system->line) +
                                                     "), which runs on platform " +
                                                     PlatformName(settings_->version.platformId));
            }
        }
        for (const SimpleSetting& setting : kSimpleSettings) {
            const Entry* entry = Find(setting.key);
            if (entry == nullptr) continue;
            if (!setting.parse(entry->value, settings_)) {
                std::string shown = setting.listsValues ? " \"" + entry->value + "\" " : "";
                return Fail(entry->line, setting.problem + shown + setting.hint);
            }
            if (setting.origin != nullptr) settings_->*setting.origin = FromFile(*entry);
        }
        for (const std::string& letter : driveOrder_) {
            const Entry& entry = drives_.at(letter);
            DriveSetting drive;
            drive.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
            drive.origin = fileName_ + ":" + std::to_string(entry.line);
            std::string folder = entry.value;
            std::size_t comma = folder.rfind(',');
            if (comma != std::string::npos) {
                std::string flag = Lower(Trim(std::string_view(folder).substr(comma + 1)));
                if (flag != "readonly") {
                    return Fail(entry.line,
                                "unknown drive flag \"" + flag + "\" (known: readonly)");
                }
                drive.readOnly = true;
                folder = std::string(Trim(std::string_view(folder).substr(0, comma)));
            }
            if (folder.empty()) {
                return Fail(entry.line, std::string("drive ") + drive.letter + ": names no folder");
            }
            drive.hostFolder = JoinHostPath(baseFolder_, folder);
            settings_->drives.push_back(drive);
        }
        return true;
    }

    const std::string& fileName_;
    const std::string& baseFolder_;
    MachineSettings* settings_;
    std::string* error_;
    std::map<std::string, Entry> machine_;
    std::map<std::string, Entry> drives_;
    std::vector<std::string> driveOrder_;
};

// Reads the whole file; on failure the message names the file and the
// operating system's reason.
bool ReadSettingsFile(const std::string& path, std::string* text, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int code = errno;
        *error = path + ": cannot be opened: " + std::strerror(code) +
                 (code == ENOENT ? " (a machine folder holds a machine.ini)" : "");
        return false;
    }
    struct stat info {};
    bool ok = true;
    if (::fstat(fd, &info) != 0) {
        *error = path + ": cannot be read: " + std::strerror(errno);
        ok = false;
    } else if (S_ISDIR(info.st_mode)) {
        *error = path + ": is a directory, not a settings file";
        ok = false;
    }
    char buffer[4096];
    while (ok) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            *error = path + ": cannot be read: " + std::strerror(errno);
            ok = false;
        } else if (count == 0) {
            break;
        } else {
            text->append(buffer, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

std::string SettingOrigin::Describe(const std::string& settingsFile) const {
    switch (source) {
        case Source::kSettingsFile:
            return settingsFile + ":" + std::to_string(line);
        case Source::kOption:
            return option;
        default:
            return "";
    }
}

bool IsAbsoluteWindowsPath(std::string_view path) {
    return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
           path[1] == ':' && path[2] == '\\';
}

bool ParseVersion(std::string_view version, std::string_view platformName, VersionRecord* record,
                  std::string* error) {
    std::string name = Lower(platformName);
    VersionRecord parsed;
    if (name == "windows") {
        parsed.platformId = platform::VER_PLATFORM_WIN32_WINDOWS;
    } else if (name == "nt") {
        parsed.platformId = platform::VER_PLATFORM_WIN32_NT;
    } else if (name == "win32s") {
        parsed.platformId = platform::VER_PLATFORM_WIN32s;
    } else {
        *error =
            "unknown platform \"" + std::string(platformName) + "\" (known: windows, nt, win32s)";
        return false;
    }
    unsigned long numbers[3] = {0, 0, 0};
    std::size_t count = 0;
    std::string_view rest = version;
    while (count < 3) {
        std::size_t dot = rest.find('.');
        std::string_view part = rest.substr(0, dot);
        unsigned long limit = count == 2 ? 0xFFFFFFFFul : 255;
        if (!ParseUnsigned(part, limit, &numbers[count])) break;
        ++count;
        if (dot == std::string_view::npos) {
            rest = {};
            break;
        }
        rest.remove_prefix(dot + 1);
    }
    if (count != 3 || !rest.empty()) {
        *error = "version \"" + std::string(version) +
                 "\" is not major.minor.build in decimal numbers, e.g. 4.10.2222";
        return false;
    }
    parsed.majorVersion = static_cast<platform::DWORD>(numbers[0]);
    parsed.minorVersion = static_cast<platform::DWORD>(numbers[1]);
    if (parsed.platformId == platform::VER_PLATFORM_WIN32_WINDOWS) {
        if (numbers[2] > 0xFFFF) {
            *error = "the build number of Windows 95, 98 and Me fits 16 bits (at most 65535)";
            return false;
        }
        // The 9x family carries major and minor in the build field's high word.
        parsed.buildNumber =
            static_cast<platform::DWORD>(numbers[0] << 24 | numbers[1] << 16 | numbers[2]);
    } else {
        parsed.buildNumber = static_cast<platform::DWORD>(numbers[2]);
    }
    parsed.csdVersion = "";
    // Windows 2000 and later also accept the extended version record.
    bool extended =
        parsed.platformId == platform::VER_PLATFORM_WIN32_NT && parsed.majorVersion >= 5;
    parsed.acceptedSizes = {platform::OSVERSIONINFOA_SIZE};
    if (extended) parsed.acceptedSizes.push_back(platform::OSVERSIONINFOEXA_SIZE);
    *record = parsed;
    return true;
}

bool ParseMachineSettings(std::string_view text, const std::string& fileName,
                          const std::string& baseFolder, MachineSettings* settings,
                          std::string* error) {
    MachineSettings parsed;
    SettingsParser parser(fileName, baseFolder, &parsed, error);
    if (!parser.Parse(text)) return false;
    *settings = std::move(parsed);
    return true;
}

bool ReadMachineSettings(const std::string& path, MachineSettings* settings, std::string* error) {
    std::string text;
    if (!ReadSettingsFile(path, &text, error)) return false;
    std::size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? "." : path.substr(0, slash);
    return ParseMachineSettings(text, path, base, settings, error);
}

bool CheckMachineSettings(const MachineSettings& settings, const std::string& settingsName,
                          std::string* error) {
    if (!settings.versionGiven) {
        *error = settingsName +
                 ": no system is named: give system= (e.g. win98se) or version= "
                 "with platform= in [machine], or --system";
        return false;
    }
    if (settings.currentDirectory.empty()) {
        *error = settingsName +
                 ": no current directory: give current_directory= in [machine] "
                 "(e.g. C:\\DRV), or --cwd";
        return false;
    }
    auto hasDrive = [&](char letter) {
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
        for (const DriveSetting& drive : settings.drives) {
            if (drive.letter == letter) return true;
        }
        return false;
    };
    struct Needed {
        const char* what;
        const std::string* path;
        const SettingOrigin* origin;
    };
    const Needed needed[] = {
        {"current directory", &settings.currentDirectory, &settings.currentDirectoryOrigin},
        {"Windows directory", &settings.windowsDirectory, &settings.windowsDirectoryOrigin},
    };
    for (const Needed& path : needed) {
        const char letter =
            static_cast<char>(std::toupper(static_cast<unsigned char>((*path.path)[0])));
        if (hasDrive(letter)) continue;
        const std::string drive = std::string(1, letter) + ":";
        std::string message;
        if (path.origin->source == SettingOrigin::Source::kOption) {
            // Given on the command line: blame the option, not machine.ini.
            message = path.origin->option;
            message += " " + *path.path + ": no folder is mapped to drive " + drive;
            message += " (map it with --drive " + std::string(1, letter) + "=FOLDER, or in ";
            message += "[drives] of " + settingsName + ")";
        } else {
            const bool fromFile = path.origin->source == SettingOrigin::Source::kSettingsFile;
            message = fromFile ? path.origin->Describe(settingsName) : settingsName;
            message += std::string(": the ") + path.what + " " + *path.path;
            message += fromFile ? "" : " (the default)";
            message += " is on drive " + drive + ", which [drives] does not map to a folder";
        }
        *error = message;
        return false;
    }
    return true;
}

}  // namespace kestrow_sim
