#include "sim/report/run_report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "installer/installer_paths.h"
#include "platform/sim/named_systems.h"
#include "sim/report/message_box_text.h"
#include "sim/report/text_encoding.h"

namespace kestrow_sim {

namespace {

using platform::sim::FileSystem;
using platform::sim::FindNamedSystem;
using platform::sim::Machine;
using platform::sim::NamedSystem;
using platform::sim::NamedSystemFor;
using platform::sim::VersionText;

// A failed copy's Windows error code, with the name a person knows.
std::string ErrorName(std::uint32_t code) {
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
        case 0:
            return "failed";
        default:
            return "error " + std::to_string(code);
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

// JSON text with DEL and the C1 controls (U+0080-U+009F), which the
// serializer writes as they are, written as \u escapes instead, so that the
// document shown on a terminal cannot act on it. Outside strings JSON is
// plain ASCII, so these bytes only occur inside strings; 0xC2 is always the
// lead byte of a two-byte sequence in valid UTF-8.
std::string EscapeRawControls(const std::string& json) {
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(json[i]);
        unsigned char next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0;
        char escape[8];
        if (c == 0x7F) {
            out += "\\u007f";
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", next);
            out += escape;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The code page's number and where it came from.
std::string CodePageLine(const RunReport& report) {
    std::string line = std::to_string(report.codePage);
    if (report.codePageOrigin.empty()) return line + " (the default: machine.ini names none)";
    return line + " (from " + report.codePageOrigin + ")";
}

// Blanks at the end of a command line change what the program does (the
// unattended switch must end the line) but cannot be seen: say so.
std::string TrailingBlanksNote(const std::string& commandLine) {
    std::size_t end = commandLine.find_last_not_of(' ');
    std::size_t blanks = commandLine.size() - (end == std::string::npos ? 0 : end + 1);
    if (blanks == 0) return "";
    return "   (ends in " + Plural(blanks, "blank", "blanks") + ")";
}

}  // namespace

RunReport BuildRunReport(Machine& machine, platform::sim::RegistryTree& registryBefore,
                         const MachineDescription& description, bool withTrace) {
    RunReport report;
    const platform::sim::CodePage& names = machine.GetCodePage();

    report.systemName = description.settings.systemName;
    // The system named for the run, else the one with the run's version.
    const NamedSystem* named = FindNamedSystem(report.systemName);
    if (named == nullptr) named = NamedSystemFor(machine.version);
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
    report.codePage = names.Number();
    const SettingOrigin& codePageOrigin = description.settings.codePageOrigin;
    report.codePageOrigin = codePageOrigin.Describe(description.settingsFile);
    switch (codePageOrigin.source) {
        case SettingOrigin::Source::kSettingsFile:
            report.codePageSource = "machine.ini";
            break;
        case SettingOrigin::Source::kOption:
            report.codePageSource = codePageOrigin.option;
            break;
        default:
            report.codePageSource = "default";
            break;
    }
    report.machineFolder = description.folder;
    report.registryFile = description.registryFile;
    report.commandLine = machine.commandLine;
    report.commandTail = description.commandTail;

    for (const platform::sim::MessageBoxRecord& box : machine.Boxes()) {
        BoxReport shown;
        shown.title = box.caption;
        shown.icon = BoxIconName(box.type);
        shown.text = box.text;
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
    for (const platform::sim::CopyRecord& copy : machine.Copies()) {
        FilePlacement placement;
        placement.source = copy.source;
        const std::string& destination = copy.destination;
        placement.destination = destination;
        placement.copied = copy.copied;
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
            placement.error = copy.injectedFault ? "injected fault" : ErrorName(copy.error);
        }
        report.placements.push_back(placement);
    }
    // The marker is written when the program's last stream to it got every
    // byte and closed, and the file is still there. A marker left behind by
    // a write that failed (the program could not remove it either) is no
    // marker: it is told as another change of the drive.
    const std::string markerPath = files.CanonicalPath(installer::MARKER_PATH);
    for (const platform::sim::StreamWriteRecord& write : machine.StreamWrites()) {
        if (!names.SameName(write.path, markerPath)) continue;
        report.markerWritten = write.ok && files.IsFile(markerPath);
        report.markerContents = report.markerWritten ? write.bytes : "";
    }
    int marker = findChange(markerPath);
    if (report.markerWritten && marker >= 0) changeExplained[marker] = true;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (changeExplained[i]) continue;
        report.otherFileChanges.push_back(
            {changes[i].path, ChangeName(changes[i].kind), changes[i].size});
    }

    for (const platform::sim::KeyDeletionRecord& deletion : machine.KeyDeletions()) {
        KeyReport key;
        key.path = deletion.path;
        key.deleted = deletion.Deleted();
        key.status = std::to_string(deletion.status);
        if (const platform::sim::RegistryKey* before = registryBefore.FindFullPath(deletion.path)) {
            key.path = before->FullPath();
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
                key.deviceDescription = text;
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
    // Every line goes to a terminal: no byte of a name, value or path may
    // act on it (an escape sequence in a DeviceDesc could otherwise paint
    // over the lines below).
    auto line = [&out](const std::string& text) { out += VisibleText(text) + "\n"; };
    auto ansi = [&report](const std::string& text) {
        return CodePageToUtf8(text, report.codePage);
    };
    line("Kestrow on a simulated " + report.systemDescription + " " + report.versionText +
         ", platform " + std::to_string(report.platformId) + ", code page " +
         std::to_string(report.codePage));
    line("Machine:      " + report.machineFolder);
    line("Registry:     " + report.registryFile);
    line("Code page:    " + CodePageLine(report));
    line("Command line: " + ansi(report.commandLine) + TrailingBlanksNote(report.commandLine));
    if (report.machine) out += "\n" + FormatMachineText(*report.machine);

    line("");
    line("Message boxes: " +
         (report.boxes.empty() ? std::string("none") : std::to_string(report.boxes.size())));
    for (std::size_t i = 0; i < report.boxes.size(); ++i) {
        const BoxReport& box = report.boxes[i];
        std::string buttons;
        for (const std::string& button : box.buttons)
            buttons += (buttons.empty() ? "" : ", ") + button;
        line("  " + std::to_string(i + 1) + ". [" + ansi(box.title) + "] " + ansi(box.text));
        line("     icon: " + box.icon + ", buttons: " + buttons + ", answer: " + box.answer);
    }

    line("");
    line(report.placements.empty() ? "Files placed: none" : "Files placed:");
    for (const FilePlacement& placement : report.placements) {
        if (placement.copied) {
            line("  " + ansi(placement.source) + " -> " + ansi(placement.destination) + " (" +
                 Plural(placement.size, "byte", "bytes") + ", " + placement.change + ")");
        } else {
            line("  " + ansi(placement.source) + " -> " + ansi(placement.destination) +
                 ": not copied, " + placement.error);
        }
    }
    if (!report.otherFileChanges.empty()) {
        line("Other file changes:");
        for (const FileChangeReport& change : report.otherFileChanges) {
            line("  " + ansi(change.path) + " (" + change.change +
                 (change.change == "deleted" ? "" : ", " + Plural(change.size, "byte", "bytes")) +
                 ")");
        }
    }

    line("");
    if (report.keys.empty()) line("Registry key deleted: none");
    for (const KeyReport& key : report.keys) {
        if (key.deleted) {
            line("Registry key deleted: " + ansi(key.path));
            line("  with " + Plural(key.subkeys, "subkey", "subkeys") + " and " +
                 Plural(key.values, "value", "values") + " below it" +
                 (key.deviceDescription.empty() ? "" : "; device: " + ansi(key.deviceDescription)));
        } else {
            line("Registry key NOT deleted: " + ansi(key.path) + " (status " + key.status + ")");
        }
    }
    line("Restart requested: " + std::string(report.restartRequested ? "yes" : "no"));
    line(std::string("Marker ") + installer::MARKER_PATH + ": " +
         (report.markerWritten ? "written (\"" + ansi(report.markerContents) + "\", " +
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
        for (const std::string& leftover : applied.removedLeftovers)
            line("  removed leftover of an earlier run: " + leftover);
        for (const std::string& written : applied.written) line("  written: " + written);
        for (const std::string& rolledBack : applied.rolledBack)
            line("  rolled back: " + rolledBack);
        for (const std::string& notWritten : applied.notWritten)
            line("  NOT written: " + notWritten);
        if (applied.ok && applied.written.empty()) line("  nothing to write");
        if (!applied.machineState.empty()) line("The machine now holds: " + applied.machineState);
    }
    return out;
}

std::string FormatJsonReport(const RunReport& report) {
    using Json = nlohmann::ordered_json;
    auto ansi = [&report](const std::string& text) {
        return CodePageToUtf8(text, report.codePage);
    };
    Json boxes = Json::array();
    for (const BoxReport& box : report.boxes) {
        boxes.push_back({{"title", ansi(box.title)},
                         {"title_bytes", BytesAsLatin1(box.title)},
                         {"text", ansi(box.text)},
                         {"text_bytes", BytesAsLatin1(box.text)},
                         {"icon", box.icon},
                         {"type", box.type},
                         {"buttons", box.buttons},
                         {"answer", box.answer},
                         {"answer_id", box.answerId}});
    }
    Json placements = Json::array();
    for (const FilePlacement& placement : report.placements) {
        placements.push_back({{"source", ansi(placement.source)},
                              {"source_bytes", BytesAsLatin1(placement.source)},
                              {"destination", ansi(placement.destination)},
                              {"destination_bytes", BytesAsLatin1(placement.destination)},
                              {"copied", placement.copied},
                              {"size", placement.size},
                              {"change", placement.change},
                              {"error", placement.error}});
    }
    Json otherChanges = Json::array();
    for (const FileChangeReport& change : report.otherFileChanges) {
        otherChanges.push_back({{"path", ansi(change.path)},
                                {"path_bytes", BytesAsLatin1(change.path)},
                                {"change", change.change},
                                {"size", change.size}});
    }
    Json keys = Json::array();
    for (const KeyReport& key : report.keys) {
        keys.push_back({{"path", ansi(key.path)},
                        {"path_bytes", BytesAsLatin1(key.path)},
                        {"deleted", key.deleted},
                        {"status", key.status},
                        {"subkeys", key.subkeys},
                        {"values", key.values},
                        {"device", ansi(key.deviceDescription)},
                        {"device_bytes", BytesAsLatin1(key.deviceDescription)}});
    }

    Json json = {
        {"system",
         {{"name", report.systemName},
          {"description", report.systemDescription},
          {"version", report.versionText},
          {"platform_id", report.platformId},
          {"code_page", report.codePage},
          {"code_page_source", report.codePageSource},
          {"code_page_origin", report.codePageOrigin}}},
        {"machine", report.machineFolder},
        {"machine_bytes", BytesAsLatin1(report.machineFolder)},
        {"registry_file", report.registryFile},
        {"registry_file_bytes", BytesAsLatin1(report.registryFile)},
        {"command_line", ansi(report.commandLine)},
        {"command_line_bytes", BytesAsLatin1(report.commandLine)},
        {"command_tail", ansi(report.commandTail)},
        {"command_tail_bytes", BytesAsLatin1(report.commandTail)},
        {"boxes", boxes},
        {"files_placed", placements},
        {"other_file_changes", otherChanges},
        {"keys_deleted", keys},
        {"restart_requested", report.restartRequested},
        {"marker",
         {{"path", installer::MARKER_PATH},
          {"written", report.markerWritten},
          {"contents", ansi(report.markerContents)},
          {"contents_bytes", BytesAsLatin1(report.markerContents)}}},
    };
    if (report.machine) json["machine"] = MachineJson(*report.machine);
    json["exit_code"] = report.exitCode ? Json(*report.exitCode) : Json(nullptr);
    json["dry_run"] = !report.applyRequested;
    if (report.applied) {
        // The lists name host paths and the machine's own paths, in
        // whatever bytes they have: each list has its "_bytes" twin too.
        auto bytesOf = [](const std::vector<std::string>& texts) {
            Json list = Json::array();
            for (const std::string& text : texts) list.push_back(BytesAsLatin1(text));
            return list;
        };
        const ApplyReport& applied = *report.applied;
        json["applied"] = {{"ok", applied.ok},
                           {"error", applied.error},
                           {"error_bytes", BytesAsLatin1(applied.error)},
                           {"written", applied.written},
                           {"written_bytes", bytesOf(applied.written)},
                           {"not_written", applied.notWritten},
                           {"not_written_bytes", bytesOf(applied.notWritten)},
                           {"rolled_back", applied.rolledBack},
                           {"rolled_back_bytes", bytesOf(applied.rolledBack)},
                           {"removed_leftovers", applied.removedLeftovers},
                           {"removed_leftovers_bytes", bytesOf(applied.removedLeftovers)},
                           {"machine_now", applied.machineState},
                           {"machine_now_bytes", BytesAsLatin1(applied.machineState)}};
    } else {
        json["applied"] = nullptr;
    }
    if (report.traced) json["trace"] = report.trace;
    // Machine texts are UTF-8 already; a host path that is not gets U+FFFD
    // for its bad bytes (its "_bytes" twin keeps them), never invalid JSON.
    return EscapeRawControls(json.dump(2, ' ', false, Json::error_handler_t::replace)) + "\n";
}

}  // namespace kestrow_sim
