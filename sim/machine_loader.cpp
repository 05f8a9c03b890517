#include "sim/machine_loader.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "sim/regedit4.h"

#ifndef KESTROW_SAMPLE_MACHINES_DIR
#define KESTROW_SAMPLE_MACHINES_DIR "sim/machines"
#endif

namespace kestrow_sim {

namespace {

bool IsFolder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::string SampleMachinesFolder() {
    // KESTROW_MACHINES lets a copied build find the samples elsewhere.
    if (const char* folder = std::getenv("KESTROW_MACHINES")) {
        if (*folder != '\0') return folder;
    }
    return KESTROW_SAMPLE_MACHINES_DIR;
}

std::vector<std::string> SampleMachineNames() {
    std::vector<std::string> names;
    std::string folder = SampleMachinesFolder();
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = ::readdir(listing)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        if (::access(JoinPath(JoinPath(folder, name), "machine.ini").c_str(), F_OK) == 0) {
            names.push_back(name);
        }
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

bool ResolveMachineFolder(const std::string& nameOrFolder, std::string* folder,
                          std::string* error) {
    if (nameOrFolder.empty()) {
        *error = "--machine needs a folder or a sample machine name";
        return false;
    }
    if (IsFolder(nameOrFolder)) {
        *folder = nameOrFolder;
        return true;
    }
    if (nameOrFolder.find('/') != std::string::npos) {
        *error = nameOrFolder + ": no such machine folder";
        return false;
    }
    std::string sample = JoinPath(SampleMachinesFolder(), nameOrFolder);
    if (IsFolder(sample)) {
        *folder = sample;
        return true;
    }
    std::string known;
    for (const std::string& name : SampleMachineNames())
        known += (known.empty() ? "" : ", ") + name;
    *error = "no machine folder or sample machine named \"" + nameOrFolder +
             "\" (samples: " + (known.empty() ? "none found in " + SampleMachinesFolder() : known) +
             ")";
    return false;
}

bool DescribeMachineFolder(const std::string& folder, MachineDescription* description,
                           std::string* error) {
    MachineDescription described;
    described.folder = folder;
    described.settingsFile = JoinPath(folder, "machine.ini");
    described.registryFile = JoinPath(folder, "registry.reg");
    if (!ReadMachineSettings(described.settingsFile, &described.settings, error)) return false;
    *description = std::move(described);
    return true;
}

bool LoadMachine(const MachineDescription& description, platform::sim::Machine* machine,
                 std::string* error) {
    const MachineSettings& settings = description.settings;
    if (!CheckMachineSettings(settings, description.settingsFile, error)) return false;
    machine->version = settings.version;
    machine->SetCodePage(settings.codePage);

    auto& files = machine->Files();
    for (const DriveSetting& drive : settings.drives) {
        std::string message;
        if (!files.MapDrive(drive.letter, drive.hostFolder, drive.readOnly, &message)) {
            *error = drive.origin + ": " + message;
            return false;
        }
        if (::access(drive.hostFolder.c_str(), R_OK | X_OK) != 0) {
            *error = drive.origin + ": drive " + std::string(1, drive.letter) + ": folder " +
                     drive.hostFolder + " cannot be read";
            return false;
        }
    }

    machine->currentDirectory = settings.currentDirectory;
    machine->windowsDirectory = settings.windowsDirectory;
    files.SetCurrentDirectory(settings.currentDirectory);
    std::string program = settings.program;
    if (program.empty()) {
        program = settings.currentDirectory;
        if (program.back() != '\\') program += '\\';
        program += "KESTROW.EXE";
    }
    machine->modulePath = program;
    // Windows puts quotes around a program path that holds a blank.
    std::string commandLine =
        program.find(' ') != std::string::npos ? "\"" + program + "\"" : program;
    if (!description.commandTail.empty()) commandLine += " " + description.commandTail;
    machine->commandLine = commandLine;

    platform::sim::Regedit4Error registryError;
    if (!platform::sim::ReadRegedit4File(description.registryFile, &machine->Registry(),
                                         &registryError)) {
        *error = registryError.Format(description.registryFile);
        return false;
    }
    return true;
}

}  // namespace kestrow_sim
