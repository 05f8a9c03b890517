#include "sim/report/machine_report.h"

#include <nlohmann/json.hpp>

#include "installer/installer_paths.h"
#include "sim/machine/recorded_version.h"
#include "sim/report/text_encoding.h"

namespace kestrow_sim {

namespace {

// A trail byte that equals a backslash is part of its character.
std::string WithoutTrailingBackslash(std::string path, const platform::sim::CodePage& codePage) {
    if (path.size() > 3 && codePage.EndsWithSeparator(path, '\\')) path.pop_back();
    return path;
}

std::string Bytes(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

}  // namespace

MachineReport BuildMachineReport(platform::sim::Machine& machine, const std::string& folder,
                                 const MachineOrigin& origin) {
    const unsigned codePage = machine.GetCodePage().Number();
    auto utf8 = [codePage](const std::string& text) { return CodePageToUtf8(text, codePage); };
    MachineReport report;
    report.folder = folder;
    report.registryFormat = RegistryFormatName(origin.registryFormat);
    report.registryFile = origin.registryHostFile.empty() ? utf8(origin.registryMachinePath)
                                                          : origin.registryHostFile;
    report.registryDriveFolder = origin.registryDriveFolder;
    if (origin.registryHostFile.empty()) {  // read from the image, not given on the host
        report.imageFile = origin.imageFile;
        report.partition = origin.partition;
        report.partitionOffset = origin.partitionOffset;
    }
    report.windowsDirectory = utf8(machine.windowsDirectory);
    report.windowsDirectoryFrom = utf8(origin.windowsDirectoryFrom);
    RecordedVersion recorded = ReadRecordedVersion(machine.Registry());
    report.recordedVersion = utf8(recorded.version);
    report.recordedVersionNumber = utf8(recorded.versionNumber);
    report.recordedSubVersionNumber = utf8(recorded.subVersionNumber);
    report.systemFrom = utf8(origin.systemFrom);

    platform::sim::FileSystem& files = machine.Files();
    const std::string current =
        WithoutTrailingBackslash(machine.currentDirectory, machine.GetCodePage());
    const std::string windows =
        WithoutTrailingBackslash(machine.windowsDirectory, machine.GetCodePage());
    for (const installer::DriverFile& file : installer::DRIVER_FILES) {
        DriverFileState state;
        std::string source = current + file.sourceSuffix;
        std::string destination = windows + file.destSuffix;
        state.source = utf8(files.CanonicalPath(source));
        state.destination = utf8(files.CanonicalPath(destination));
        std::optional<std::string> sourceBytes =
            files.IsFile(source) ? files.ReadFile(source) : std::nullopt;
        std::optional<std::string> installed =
            files.IsFile(destination) ? files.ReadFile(destination) : std::nullopt;
        state.sourceSize = sourceBytes ? sourceBytes->size() : 0;
        state.installedSize = installed ? installed->size() : 0;
        if (!installed) {
            state.state = "absent";
        } else if (!sourceBytes) {
            state.state = "no source";
        } else {
            state.state = *installed == *sourceBytes ? "in place" : "different";
        }
        report.driverFiles.push_back(state);
    }
    return report;
}

std::string FormatMachineText(const MachineReport& report) {
    std::string out;
    auto line = [&out](const std::string& text) { out += VisibleText(text) + "\n"; };
    line("Machine as found:");
    std::string registry = report.registryFile;
    if (!report.imageFile.empty()) {
        registry += " in " + report.imageFile + ", partition " + std::to_string(report.partition) +
                    " at byte " + std::to_string(report.partitionOffset);
    } else if (!report.registryDriveFolder.empty()) {
        registry += " (drive folder " + report.registryDriveFolder + ")";
    }
    line("  Registry file:    " + registry + ", " + report.registryFormat);
    line("  Windows folder:   " + report.windowsDirectory + " (from " +
         report.windowsDirectoryFrom + ")");
    if (report.recordedVersionNumber.empty() && report.recordedVersion.empty()) {
        line("  Recorded version: none (no Version or VersionNumber in CurrentVersion)");
    } else {
        line("  Recorded version: Version \"" + report.recordedVersion + "\", VersionNumber \"" +
             report.recordedVersionNumber + "\", SubVersionNumber \"" +
             report.recordedSubVersionNumber + "\"");
    }
    line("  System from:      " + report.systemFrom);
    line("  Driver files before the run:");
    for (const DriverFileState& file : report.driverFiles) {
        std::string detail;
        if (file.state == "in place") {
            detail =
                "in place (" + Bytes(file.installedSize) + ", the same as " + file.source + ")";
        } else if (file.state == "different") {
            detail = "different (" + Bytes(file.installedSize) + "; " + file.source + " has " +
                     Bytes(file.sourceSize) + ")";
        } else if (file.state == "no source") {
            detail = "present (" + Bytes(file.installedSize) + "), but there is no " + file.source;
        } else {
            detail = "absent";
        }
        line("    " + file.destination + ": " + detail);
    }
    return out;
}

nlohmann::ordered_json MachineJson(const MachineReport& report) {
    using Json = nlohmann::ordered_json;
    Json driverFiles = Json::array();
    for (const DriverFileState& file : report.driverFiles) {
        driverFiles.push_back({{"source", file.source},
                               {"destination", file.destination},
                               {"state", file.state},
                               {"source_size", file.sourceSize},
                               {"installed_size", file.installedSize}});
    }
    Json registry = {{"file", report.registryFile},
                     {"format", report.registryFormat},
                     {"drive_folder", report.registryDriveFolder}};
    if (!report.imageFile.empty()) {
        registry["image"] = report.imageFile;
        registry["partition"] = report.partition;
        registry["partition_offset"] = report.partitionOffset;
    }
    return {{"folder", report.folder},
            {"registry", registry},
            {"windows_directory", report.windowsDirectory},
            {"windows_directory_from", report.windowsDirectoryFrom},
            {"recorded_version",
             {{"version", report.recordedVersion},
              {"version_number", report.recordedVersionNumber},
              {"sub_version_number", report.recordedSubVersionNumber}}},
            {"system_from", report.systemFrom},
            {"driver_files", driverFiles}};
}

}  // namespace kestrow_sim
