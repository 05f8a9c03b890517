#include "tests/installer/machine_fixture.h"

#include <stdexcept>

namespace kestrow_test {

using platform::sim::Machine;

std::string DriverFileContents(const std::string& name) {
    return "Kestrow test stand-in for " + name + "\r\n";
}

void SetUpWindows98Se(Machine& machine, const std::vector<std::string>& pciSubkeys) {
    SetSystem(machine, "win98se");
    machine.commandLine = "C:\\DRV\\KESTROW.EXE";
    machine.modulePath = "C:\\DRV\\KESTROW.EXE";
    machine.currentDirectory = "C:\\DRV";
    machine.windowsDirectory = "C:\\WINDOWS";
    auto& files = machine.Files();
    for (const char* name : {"iusb2.inf", "iusbehci.sys", "iusb2hub.sys"}) {
        files.AddFile(std::string("C:\\DRV\\owc\\") + name, DriverFileContents(name));
    }
    files.AddDirectory("C:\\WINDOWS\\inf");
    files.AddDirectory("C:\\WINDOWS\\system32\\drivers");
    auto* pci = machine.Registry().CreateFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI");
    for (const std::string& name : pciSubkeys) {
        auto* device = pci->CreateSubkey(name);
        auto* instance = device->CreateSubkey("BUS_00&DEV_1D&FUNC_07");
        const std::string desc = "Stand-in device";
        instance->SetValue("DeviceDesc", platform::sim::REG_SZ_TYPE,
                           std::vector<std::uint8_t>(desc.c_str(), desc.c_str() + desc.size() + 1));
    }
}

void SetSystem(Machine& machine, const std::string& name) {
    if (!platform::sim::VersionRecordForSystem(name, &machine.version)) {
        throw std::invalid_argument("unknown system " + name);
    }
}

std::vector<std::string> PciSubkeys(Machine& machine) {
    std::vector<std::string> names;
    auto* pci = machine.Registry().FindFullPath("HKEY_LOCAL_MACHINE\\Enum\\PCI");
    if (pci == nullptr) return names;
    for (std::size_t i = 0; i < pci->SubkeyCount(); ++i) names.push_back(pci->SubkeyAt(i)->Name());
    return names;
}

std::vector<std::string> BoxSummaries(const Machine& machine) {
    std::vector<std::string> boxes;
    for (const auto& box : machine.Boxes()) {
        boxes.push_back(box.caption + "|" + box.text + "|" + std::to_string(box.type));
    }
    return boxes;
}

bool DriverFilesPlaced(Machine& machine, const std::string& windowsDir) {
    const std::pair<const char*, const char*> files[] = {
        {"\\inf\\iusb2.inf", "iusb2.inf"},
        {"\\system32\\drivers\\iusbehci.sys", "iusbehci.sys"},
        {"\\system32\\drivers\\iusb2hub.sys", "iusb2hub.sys"},
    };
    for (const auto& [suffix, name] : files) {
        auto contents = machine.Files().ReadFile(windowsDir + suffix);
        if (!contents || *contents != DriverFileContents(name)) return false;
    }
    return true;
}

}  // namespace kestrow_test
