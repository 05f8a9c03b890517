#include "sim/run_report.h"

#include <cstdio>

#include "sim/key_deletions.h"
#include "sim/message_box_text.h"
#include "sim/text_encoding.h"

namespace kestrow_sim {

namespace {

using platform::sim::FileSystem;
using platform::sim::Machine;
using platform::sim::Operation;

struct SystemName {
    const char* name;
    const char* description;
};

constexpr SystemName kSystemNames[] = {
    {"win95", "Windows 95"}, {"win98", "Windows 98"},    {"win98se", "Windows 98 SE"},
    {"winme", "Windows Me"}, {"nt4", "Windows NT 4.0"},  {"win2000", "Windows 2000"},
    {"xp", "Windows XP"},    {"vista", "Windows Vista"}, {"win7", "Windows 7"},
    {"win10", "Windows 10"}, {"win32s", "Win32s"},
};

std::string VersionText(const platform::sim::VersionRecord& version) {
    unsigned long build = version.buildNumber;
    if (version.platformId == platform::VER_PLATFORM_WIN32_WINDOWS) build &= 0xFFFF;
    return std::to_string(version.majorVersion) + "." + std::to_string(version.minorVersion) + "." +
           std::to_string(build);
}

// The named system with this version record, if any.
const SystemName* NamedSystemFor(const platform::sim::VersionRecord& version) {
    for (const SystemName& system : kSystemNames) {
        platform::sim::VersionRecord known;
        if (platform::sim::VersionRecordForSystem(system.name, &known) &&
            known.platformId == version.platformId && VersionText(known) == VersionText(version)) {
            return &system;
        }
    }
    return nullptr;
}

std::string ErrorName(const std::string& output) {
    // The call log says "error N"; give the Win32 name a person knows.
    unsigned long code =
        output.rfind("error ", 0) == 0 ? std::strtoul(output.c_str() + 6, nullptr, 10) : 0;
    switch (code) {
        case platform::sim::kErrorFileNotFound:
            return "source file not found (error 2)";
        case platform::sim::kErrorPathNotFound:
            return "path not found (error 3)";
        case platform::sim::kErrorAccessDenied:
            return "access denied (error 5)";
        case platform::sim::kErrorWriteProtect:
            return "drive is write-protected (error 19)";
        case platform::sim::kErrorNotReady:
            return "drive not ready (error 21)";
        case platform::sim::kErrorSharingViolation:
            return "file in use (error 32)";
        case platform::sim::kErrorFileExists:
            return "file exists (error 80)";
        case platform::sim::kErrorInvalidName:
            return "invalid name (error 123)";
        default:
            return output.empty() ? "failed" : output;
    }
}

const char* ChangeName(FileSystem::ChangeKind kind) {
    switch (kind) {
        case FileSystem::ChangeKind::Created:
            return "new";
        case FileSystem::ChangeKind::Replaced:
            return "replaced";
        default:
            return "deleted";
    }
}

std::string Plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// --- JSON output -------------------------------------------------------------

void AppendJsonString(std::string* out, const std::string& text) {
    *out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                *out += "\\\"";
                break;
            case '\\':
                *out += "\\\\";
                break;
            case '\n':
                *out += "\\n";
                break;
            case '\r':
                *out += "\\r";
                break;
            case '\t':
                *out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    *out += escape;
                } else {
                    *out += static_cast<char>(c);
                }
        }
    }
    *out += '"';
}

// A small writer that keeps commas and indentation right.
class JsonWriter {
public:
    void BeginObject(const char* key = nullptr) { Open(key, '{'); }
    void EndObject() { Close('}'); }
    void BeginArray(const char* key = nullptr) { Open(key, '['); }
    void EndArray() { Close(']'); }
    void String(const char* key, const std::string& value) {
        Key(key);
        AppendJsonString(&out_, value);
    }
    void Number(const char* key, long long value) {
        Key(key);
        out_ += std::to_string(value);
    }
    void Bool(const char* key, bool value) {
        Key(key);
        out_ += value ? "true" : "false";
    }
    void Null(const char* key) {
        Key(key);
        out_ += "null";
    }
    std::string Take() { return out_ + "\n"; }

private:
    void Key(const char* key) {
        if (!first_.empty()) {
            if (!first_.back()) out_ += ',';
            first_.back() = false;
            out_ += '\n';
            out_.append(2 * first_.size(), ' ');
        }
        if (key != nullptr) {
            AppendJsonString(&out_, key);
            out_ += ": ";
        }
    }
    void Open(const char* key, char bracket) {
        Key(key);
        out_ += bracket;
        first_.push_back(true);
    }
    void Close(char bracket) {
        bool empty = first_.back();
        first_.pop_back();
        if (!empty) {
            out_ += '\n';
            out_.append(2 * first_.size(), ' ');
        }
        out_ += bracket;
    }

    std::string out_;
    std::vector<bool> first_;
};

}  // namespace

RunReport BuildRunReport(Machine& machine, platform::sim::RegistryTree& registryBefore,
                         const MachineDescription& description, bool withTrace) {
    RunReport report;
    const unsigned codePage = machine.GetCodePage().Number();
    auto utf8 = [codePage](const std::string& text) { return CodePageToUtf8(text, codePage); };
    const platform::sim::CodePage& names = machine.GetCodePage();

    report.systemName = description.settings.systemName;
    const SystemName* named = NamedSystemFor(machine.version);
    for (const SystemName& system : kSystemNames) {
        if (report.systemName == system.name) named = &system;
    }
    if (named != nullptr) {
        report.systemDescription = named->description;
    } else {
        switch (machine.version.platformId) {
            case platform::VER_PLATFORM_WIN32s:
                report.systemDescription = "Win32s";
                break;
            case platform::VER_PLATFORM_WIN32_WINDOWS:
                report.systemDescription = "Windows (9x family)";
                break;
            default:
                report.systemDescription = "Windows NT";
                break;
        }
    }
    report.versionText = VersionText(machine.version);
    report.platformId = machine.version.platformId;
    report.codePage = codePage;
    report.machineFolder = description.folder;
    report.registryFile = description.registryFile;
    report.commandLine = utf8(machine.commandLine);
    report.commandTail = utf8(description.commandTail);

    for (const platform::sim::MessageBoxRecord& box : machine.Boxes()) {
        BoxReport shown;
        shown.title = utf8(box.caption);
        shown.icon = BoxIconName(box.type);
        shown.text = utf8(box.text);
        shown.type = box.type;
        for (const BoxButton& button : BoxButtons(box.type)) shown.buttons.push_back(button.label);
        shown.answerId = box.answer;
        shown.answer = BoxAnswerName(box.answer);
        report.boxes.push_back(shown);
    }

    FileSystem& files = machine.Files();
    const std::vector<FileSystem::Change> changes = files.Changes();
    std::vector<bool> changeExplained(changes.size(), false);
    auto findChange = [&](const std::string& path) -> int {
        for (std::size_t i = 0; i < changes.size(); ++i) {
            if (names.SameName(changes[i].path, path)) return static_cast<int>(i);
        }
        return -1;
    };
    for (const platform::sim::Call& call : machine.Calls()) {
        if (call.op != Operation::CopyFileA || call.arguments.size() < 2) continue;
        FilePlacement placement;
        placement.source = utf8(call.arguments[0]);
        std::string destination = files.CanonicalPath(call.arguments[1]);
        placement.destination = utf8(destination);
        placement.copied = call.result == "1";
        if (placement.copied) {
            int change = findChange(destination);
            if (change >= 0) {
                changeExplained[change] = true;
                placement.change = ChangeName(changes[change].kind);
                placement.size = changes[change].size;
            } else {
                // Copied and then changed back: not a change of the drive.
                placement.change = "replaced";
                auto contents = files.ReadFile(destination);
                placement.size = contents ? contents->size() : 0;
            }
        } else {
            placement.error = call.injectedFault ? "injected fault" : ErrorName(call.output);
        }
        report.placements.push_back(placement);
    }
    int marker = findChange(files.CanonicalPath(kMarkerPath));
    if (marker >= 0 && changes[marker].kind != FileSystem::ChangeKind::Deleted) {
        report.markerWritten = true;
        report.markerContents = utf8(files.ReadFile(kMarkerPath).value_or(""));
        changeExplained[marker] = true;
    }
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (changeExplained[i]) continue;
        report.otherFileChanges.push_back(
            {utf8(changes[i].path), ChangeName(changes[i].kind), changes[i].size});
    }

    for (const KeyDeletion& deletion : KeyDeletions(machine)) {
        KeyReport key;
        key.path = utf8(deletion.path);
        key.deleted = deletion.deleted;
        key.status = deletion.status;
        if (const platform::sim::RegistryKey* before = registryBefore.FindFullPath(deletion.path)) {
            key.path = utf8(before->FullPath());
            key.subkeys = before->CountSubtreeKeys();
            key.values = before->Values().size() + before->CountSubtreeValues();
            for (std::size_t i = 0; i < before->SubkeyCount() && key.deviceDescription.empty();
                 ++i) {
                const platform::sim::RegistryValue* desc =
                    before->SubkeyAt(i)->FindValue("DeviceDesc");
                if (desc == nullptr || desc->type != platform::sim::REG_SZ_TYPE) continue;
                std::string text(desc->data.begin(), desc->data.end());
                std::size_t end = text.find('\0');
                if (end != std::string::npos) text.resize(end);
                key.deviceDescription = utf8(text);
            }
        }
        report.keys.push_back(key);
    }

    report.restartRequested = !machine.Restarts().empty();
    report.exitCode = machine.ExitCode();
    report.traced = withTrace;
    if (withTrace) {
        for (const platform::sim::Call& call : machine.Calls())
            report.trace.push_back(call.ToString());
    }
    return report;
}

std::string FormatTextReport(const RunReport& report) {
    std::string out;
    auto line = [&out](const std::string& text) { out += text + "\n"; };
    line("Kestrow on a simulated " + report.systemDescription + " " + report.versionText +
         ", platform " + std::to_string(report.platformId) + ", code page " +
         std::to_string(report.codePage));
    line("Machine:      " + report.machineFolder);
    line("Registry:     " + report.registryFile);
    line("Command line: " + report.commandLine);

    line("");
    line("Message boxes: " +
         (report.boxes.empty() ? std::string("none") : std::to_string(report.boxes.size())));
    for (std::size_t i = 0; i < report.boxes.size(); ++i) {
        const BoxReport& box = report.boxes[i];
        std::string buttons;
        for (const std::string& button : box.buttons)
            buttons += (buttons.empty() ? "" : ", ") + button;
        line("  " + std::to_string(i + 1) + ". [" + box.title + "] " + box.text);
        line("     icon: " + box.icon + ", buttons: " + buttons + ", answer: " + box.answer);
    }

    line("");
    line(report.placements.empty() ? "Files placed: none" : "Files placed:");
    for (const FilePlacement& placement : report.placements) {
        if (placement.copied) {
            line("  " + placement.source + " -> " + placement.destination + " (" +
                 Plural(placement.size, "byte", "bytes") + ", " + placement.change + ")");
        } else {
            line("  " + placement.source + " -> " + placement.destination + ": not copied, " +
                 placement.error);
        }
    }
    if (!report.otherFileChanges.empty()) {
        line("Other file changes:");
        for (const FileChangeReport& change : report.otherFileChanges) {
            line("  " + change.path + " (" + change.change +
                 (change.change == "deleted" ? "" : ", " + Plural(change.size, "byte", "bytes")) +
                 ")");
        }
    }

    line("");
    if (report.keys.empty()) line("Registry key deleted: none");
    for (const KeyReport& key : report.keys) {
        if (key.deleted) {
            line("Registry key deleted: " + key.path);
            line("  with " + Plural(key.subkeys, "subkey", "subkeys") + " and " +
                 Plural(key.values, "value", "values") + " below it" +
                 (key.deviceDescription.empty() ? "" : "; device: " + key.deviceDescription));
        } else {
            line("Registry key NOT deleted: " + key.path + " (status " + key.status + ")");
        }
    }
    line("Restart requested: " + std::string(report.restartRequested ? "yes" : "no"));
    line(std::string("Marker ") + kMarkerPath + ": " +
         (report.markerWritten ? "written (\"" + report.markerContents + "\", " +
                                     Plural(report.markerContents.size(), "byte", "bytes") + ")"
                               : std::string("not written")));
    line("Program exit code: " +
         (report.exitCode ? std::to_string(*report.exitCode) : std::string("none")));

    line("");
    if (!report.applyRequested) {
        line("Dry run: nothing on the host was changed (--apply writes the changes).");
    } else if (report.applied) {
        const ApplyReport& applied = *report.applied;
        line(applied.ok ? "Applied:" : "Apply FAILED: " + applied.error);
        for (const std::string& written : applied.written) line("  written: " + written);
        for (const std::string& notWritten : applied.notWritten)
            line("  NOT written: " + notWritten);
        if (applied.ok && applied.written.empty()) line("  nothing to write");
    }
    return out;
}

std::string FormatJsonReport(const RunReport& report) {
    JsonWriter json;
    json.BeginObject();
    json.BeginObject("system");
    json.String("name", report.systemName);
    json.String("description", report.systemDescription);
    json.String("version", report.versionText);
    json.Number("platform_id", report.platformId);
    json.Number("code_page", report.codePage);
    json.EndObject();
    json.String("machine", report.machineFolder);
    json.String("registry_file", report.registryFile);
    json.String("command_line", report.commandLine);
    json.String("command_tail", report.commandTail);
    json.BeginArray("boxes");
    for (const BoxReport& box : report.boxes) {
        json.BeginObject();
        json.String("title", box.title);
        json.String("text", box.text);
        json.String("icon", box.icon);
        json.Number("type", box.type);
        json.BeginArray("buttons");
        for (const std::string& button : box.buttons) json.String(nullptr, button);
        json.EndArray();
        json.String("answer", box.answer);
        json.Number("answer_id", box.answerId);
        json.EndObject();
    }
    json.EndArray();
    json.BeginArray("files_placed");
    for (const FilePlacement& placement : report.placements) {
        json.BeginObject();
        json.String("source", placement.source);
        json.String("destination", placement.destination);
        json.Bool("copied", placement.copied);
        json.Number("size", static_cast<long long>(placement.size));
        json.String("change", placement.change);
        json.String("error", placement.error);
        json.EndObject();
    }
    json.EndArray();
    json.BeginArray("other_file_changes");
    for (const FileChangeReport& change : report.otherFileChanges) {
        json.BeginObject();
        json.String("path", change.path);
        json.String("change", change.change);
        json.Number("size", static_cast<long long>(change.size));
        json.EndObject();
    }
    json.EndArray();
    json.BeginArray("keys_deleted");
    for (const KeyReport& key : report.keys) {
        json.BeginObject();
        json.String("path", key.path);
        json.Bool("deleted", key.deleted);
        json.String("status", key.status);
        json.Number("subkeys", static_cast<long long>(key.subkeys));
        json.Number("values", static_cast<long long>(key.values));
        json.String("device", key.deviceDescription);
        json.EndObject();
    }
    json.EndArray();
    json.Bool("restart_requested", report.restartRequested);
    json.BeginObject("marker");
    json.String("path", kMarkerPath);
    json.Bool("written", report.markerWritten);
    json.String("contents", report.markerContents);
    json.EndObject();
    if (report.exitCode) {
        json.Number("exit_code", *report.exitCode);
    } else {
        json.Null("exit_code");
    }
    json.Bool("dry_run", !report.applyRequested);
    if (report.applied) {
        json.BeginObject("applied");
        json.Bool("ok", report.applied->ok);
        json.String("error", report.applied->error);
        json.BeginArray("written");
        for (const std::string& written : report.applied->written) json.String(nullptr, written);
        json.EndArray();
        json.BeginArray("not_written");
        for (const std::string& notWritten : report.applied->notWritten)
            json.String(nullptr, notWritten);
        json.EndArray();
        json.EndObject();
    } else {
        json.Null("applied");
    }
    if (report.traced) {
        json.BeginArray("trace");
        for (const std::string& call : report.trace) json.String(nullptr, call);
        json.EndArray();
    }
    json.EndObject();
    return json.Take();
}

}  // namespace kestrow_sim
