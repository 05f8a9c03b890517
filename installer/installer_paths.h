// The installer's fixed names that anyone telling what it does needs too:
// the driver files it places, the key below which it deletes the
// controller's key, and the unattended run's marker. kestrow-sim's report
// reads them from here, so that it tells what the program does.
#ifndef KESTROW_INSTALLER_INSTALLER_PATHS_H
#define KESTROW_INSTALLER_INSTALLER_PATHS_H

namespace installer {

// Below HKEY_LOCAL_MACHINE: the controllers' Plug and Play keys.
const char PCI_ENUM_KEY[] = "Enum\\PCI";

// The unattended run's marker file, written when it succeeded. It holds its
// own path, without a terminator (ten bytes).
const char MARKER_PATH[] = "c:\\csb.log";
constexpr const char* MARKER_CONTENTS = MARKER_PATH;

struct DriverFile {
    const char* destSuffix;    // below the Windows directory
    const char* sourceSuffix;  // below the current directory
};

// The INF file first, then the two drivers, in the order they are placed.
const DriverFile DRIVER_FILES[] = {
    {"\\inf\\iusb2.inf", "\\owc\\iusb2.inf"},
    {"\\system32\\drivers\\iusbehci.sys", "\\owc\\iusbehci.sys"},
    {"\\system32\\drivers\\iusb2hub.sys", "\\owc\\iusb2hub.sys"},
};

}  // namespace installer

#endif
