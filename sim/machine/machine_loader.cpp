#include "sim/machine/machine_loader.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "sim/formats/creg_reader.h"
#include "sim/formats/registry_file.h"
#include "sim/host/program_folder.h"
#include "sim/image/image_drive.h"
#include "sim/machine/offline_machine.h"
#include "sim/machine/recorded_version.h"

// Where the samples are installed: relative to the folder of the program
// (bin/ to share/kestrow-sim/machines), and the same folder by its full
// path for a system that does not tell where the program lies.
#ifndef KESTROW_INSTALLED_SAMPLES_FROM_PROGRAM
#define KESTROW_INSTALLED_SAMPLES_FROM_PROGRAM "../share/kestrow-sim/machines"
#endif
#ifndef KESTROW_INSTALLED_SAMPLES_DIR
#define KESTROW_INSTALLED_SAMPLES_DIR "/usr/local/share/kestrow-sim/machines"
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
    // An installed program finds those installed with it, wherever the
    // installation was put (a DESTDIR, a moved prefix).
    std::string program = RunningProgramFolder();
    if (!program.empty()) {
        std::string installed = FolderFrom(program, KESTROW_INSTALLED_SAMPLES_FROM_PROGRAM);
        if (IsFolder(installed)) return installed;
    }
#ifdef KESTROW_TREE_SAMPLES_DIR
    // A program run from the build tree finds the source tree's own.
    return KESTROW_TREE_SAMPLES_DIR;
#else
    return KESTROW_INSTALLED_SAMPLES_DIR;
#endif
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

namespace {

// Reads the registry the description names into the machine, and records
// where it came from.
bool LoadRegistry(const MachineDescription& description, platform::sim::Machine* machine,
                  MachineOrigin* origin, std::string* error) {
    if (!description.registryFromDrives) {
        origin->registryHostFile = description.registryFile;
        return ReadRegistryFile(description.registryFile, &machine->Registry(),
                                &origin->registryFormat, error);
    }
    auto& files = machine->Files();
    std::string driveName = std::string(1, description.bootDrive) + ":";
    std::string folder = files.HostFolder(description.bootDrive);
    std::string where = "drive " + driveName + (folder.empty() ? "" : " (" + folder + ")");
    if (!origin->imageFile.empty() && description.bootDrive == 'C') {
        where += " (" + origin->imageFile + " partition " + std::to_string(origin->partition) + ")";
    }
    OfflineRegistry found;
    std::string message;
    if (!FindOfflineRegistry(files, machine->GetCodePage(), description.bootDrive, &found,
                             &message)) {
        *error = where + ": " + message;
        return false;
    }
    origin->registryMachinePath = found.registryPath;
    origin->registryDriveFolder = files.HostFolder(found.registryPath[0]);
    origin->windowsDirectory = found.windowsDirectory;
    origin->windowsDirectoryFrom = found.windowsDirectoryFrom;
    machine->windowsDirectory = found.windowsDirectory;
    std::string file = found.registryPath + " on " + where;
    if (!kestrow_sim::HasCregSignature(found.bytes)) {
        *error = file + ": not a Windows 98/Me registry file (no \"CREG\" signature at its start)";
        return false;
    }
    origin->registryFormat = RegistryFormat::Creg;
    if (!kestrow_sim::ReadCreg(std::move(found.bytes), &machine->Registry(), &message)) {
        *error = file + ": " + message;
        return false;
    }
    return true;
}

// With a Windows registry file, the system is the one it records, unless
// the command line names one.
void ChooseSystem(const MachineDescription& description, platform::sim::Machine* machine,
                  MachineOrigin* origin) {
    if (description.systemGiven) {
        origin->systemFrom = "--system";
        return;
    }
    origin->systemFrom = "machine.ini";
    if (!origin->RegistryIsWindowsFile()) return;
    RecordedVersion recorded = ReadRecordedVersion(machine->Registry());
    std::string name;
    platform::sim::VersionRecord record;
    if (recorded.versionNumber.empty()) {
        origin->systemFrom = "machine.ini (the registry records no VersionNumber)";
    } else if (!SystemForVersionNumber(recorded.versionNumber, &name, &record)) {
        origin->systemFrom = "machine.ini (the registry's VersionNumber \"" +
                             recorded.versionNumber + "\" is no version number)";
    } else {
        machine->version = record;
        origin->systemFromRegistry = true;
        origin->systemName = name;
        origin->systemFrom = "the registry's VersionNumber " + recorded.versionNumber;
    }
}

}  // namespace

bool LoadMachine(const MachineDescription& description, platform::sim::Machine* machine,
                 std::string* error, MachineOrigin* origin) {
    const MachineSettings& settings = description.settings;
    if (!CheckMachineSettings(settings, description.settingsFile, error)) return false;
    machine->version = settings.version;
    machine->SetCodePage(settings.codePage);

    auto& files = machine->Files();
    ImageDrive image;
    if (!description.imageFile.empty()) {
        if (!OpenImageDrive(description.imageFile, description.imagePartition,
                            machine->GetCodePage(), &image, error)) {
            return false;
        }
        // Writable for the program; its changes stay in the overlay, as a
        // disk image has no host folder to write them back to.
        files.MountDrive('C', std::move(image.drive), false);
    }
    for (const DriveSetting& drive : settings.drives) {
        if (!description.imageFile.empty() && drive.letter == 'C') continue;
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

    MachineOrigin loaded;
    loaded.windowsDirectory = settings.windowsDirectory;
    loaded.windowsDirectoryFrom = "machine.ini";
    loaded.imageFile = image.imageFile;
    loaded.partition = image.partition;
    loaded.partitionOffset = image.offset;
    if (!LoadRegistry(description, machine, &loaded, error)) return false;
    ChooseSystem(description, machine, &loaded);
    if (origin != nullptr) *origin = std::move(loaded);
    return true;
}

}  // namespace kestrow_sim
