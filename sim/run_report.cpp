#include "sim/run_report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

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
        for (const std::string& leftover : applied.removedLeftovers)
            line("  removed leftover of an earlier run: " + leftover);
        for (const std::string& written : applied.written) line("  written: " + written);
        for (const std::string& notWritten : applied.notWritten)
            line("  NOT written: " + notWritten);
        if (applied.ok && applied.written.empty()) line("  nothing to write");
        if (!applied.machineState.empty()) line("The machine now holds: " + applied.machineState);
    }
    return out;
}

std::string FormatJsonReport(const RunReport& report) {
    using Json = nlohmann::ordered_json;
    Json boxes = Json::array();
    for (const BoxReport& box : report.boxes) {
        boxes.push_back({{"title", box.title},
                         {"text", box.text},
                         {"icon", box.icon},
                         {"type", box.type},
                         {"buttons", box.buttons},
                         {"answer", box.answer},
                         {"answer_id", box.answerId}});
    }
    Json placements = Json::array();
    for (const FilePlacement& placement : report.placements) {
        placements.push_back({{"source", placement.source},
                              {"destination", placement.destination},
                              {"copied", placement.copied},
                              {"size", placement.size},
                              {"change", placement.change},
                              {"error", placement.error}});
    }
    Json otherChanges = Json::array();
    for (const FileChangeReport& change : report.otherFileChanges) {
        otherChanges.push_back(
            {{"path", change.path}, {"change", change.change}, {"size", change.size}});
    }
    Json keys = Json::array();
    for (const KeyReport& key : report.keys) {
        keys.push_back({{"path", key.path},
                        {"deleted", key.deleted},
                        {"status", key.status},
                        {"subkeys", key.subkeys},
                        {"values", key.values},
                        {"device", key.deviceDescription}});
    }

    Json json = {
        {"system",
         {{"name", report.systemName},
          {"description", report.systemDescription},
          {"version", report.versionText},
          {"platform_id", report.platformId},
          {"code_page", report.codePage}}},
        {"machine", report.machineFolder},
        {"registry_file", report.registryFile},
        {"command_line", report.commandLine},
        {"command_tail", report.commandTail},
        {"boxes", boxes},
        {"files_placed", placements},
        {"other_file_changes", otherChanges},
        {"keys_deleted", keys},
        {"restart_requested", report.restartRequested},
        {"marker",
         {{"path", kMarkerPath},
          {"written", report.markerWritten},
          {"contents", report.markerContents}}},
    };
    json["exit_code"] = report.exitCode ? Json(*report.exitCode) : Json(nullptr);
    json["dry_run"] = !report.applyRequested;
    if (report.applied) {
        json["applied"] = {{"ok", report.applied->ok},
                           {"error", report.applied->error},
                           {"written", report.applied->written},
                           {"not_written", report.applied->notWritten},
                           {"removed_leftovers", report.applied->removedLeftovers},
                           {"machine_now", report.applied->machineState}};
    } else {
        json["applied"] = nullptr;
    }
    if (report.traced) json["trace"] = report.trace;
    // Texts are UTF-8 already; a byte that is not would be replaced, never
    // written as invalid JSON.
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace kestrow_sim
