// A simulated Windows 98 SE machine set up the way a user's machine is when
// Kestrow is started from C:\DRV: the driver set in C:\DRV\owc, the Windows
// folders in place, and an Enum\PCI tree holding the controller.
#ifndef KESTROW_TESTS_INSTALLER_MACHINE_FIXTURE_H
#define KESTROW_TESTS_INSTALLER_MACHINE_FIXTURE_H

#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace kestrow_test {

constexpr char kControllerKey[] = "VEN_8086&DEV_24CD&SUBSYS_24CD8086&REV_02";
constexpr char kUnattendedTail[] = "-s -f2\"c:\\csb.log\"";
constexpr char kMarkerPath[] = "C:\\csb.log";

// Stand-in contents for the three driver files.
std::string DriverFileContents(const std::string& name);

// Sets up the machine as described above. The PCI subkeys are created in
// the given order, each with one instance subkey and a value.
void SetUpWindows98Se(platform::sim::Machine& machine,
                      const std::vector<std::string>& pciSubkeys = {
                          "VEN_10B9&DEV_5237", kControllerKey, "VEN_8086&DEV_24C2"});

// Switches the machine to another named system (win98se, winme, xp, ...).
void SetSystem(platform::sim::Machine& machine, const std::string& name);

// The names below HKEY_LOCAL_MACHINE\Enum\PCI, in enumeration order.
std::vector<std::string> PciSubkeys(platform::sim::Machine& machine);

// Texts of the boxes shown, in order, as "caption|text|type".
std::vector<std::string> BoxSummaries(const platform::sim::Machine& machine);

// Whether the three driver files are in the Windows folders with the
// contents of their sources.
bool DriverFilesPlaced(platform::sim::Machine& machine,
                       const std::string& windowsDir = "C:\\WINDOWS");

}  // namespace kestrow_test

#endif
