// MSDOS.SYS of Windows 95, 98 and Me: the INI text in the boot drive's root
// that tells the startup code where Windows is.
//
//   [Paths]
//   WinDir=C:\WINDOWS
//   WinBootDir=C:\WINDOWS
//   HostWinBootDrv=C
//   [Options]
//   BootMulti=1
//   ;xxxxxxxx...   (padding lines that keep the file over 1024 bytes)
//
// Lines end in CR LF or LF; section and key names ignore letter case;
// values are taken without the blanks around them. Paths are bytes in the
// machine's code page: a backslash that is the trail byte of a double-byte
// character is part of that character, not a separator.
#ifndef KESTROW_SIM_FORMATS_MSDOS_SYS_H
#define KESTROW_SIM_FORMATS_MSDOS_SYS_H

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/sim/code_page.h"

namespace kestrow_sim {

// The largest MSDOS.SYS read: Windows' text one is a few KB (padded to over
// 1024 bytes), MS-DOS 6's binary one about 40 KB.
constexpr std::size_t kMaxMsdosSysBytes = std::size_t{1} << 20;

struct MsdosSysPaths {
    std::string winDir;          // empty when the file names none
    std::size_t winDirLine = 0;  // the 1-based line it is on
};

// Finds [Paths] WinDir= (the first one, as the startup code reads it). A
// file with no such line, including the binary MSDOS.SYS of MS-DOS 6, is
// fine and gives an empty WinDir. A WinDir that is no full Windows path
// such as C:\WINDOWS is an error: "line 3: ...". A trailing backslash is
// dropped (C:\WIN98\ -> C:\WIN98), but not a trail byte that looks like one.
bool ParseMsdosSys(std::string_view text, const platform::sim::CodePage& codePage,
                   MsdosSysPaths* paths, std::string* error);

}  // namespace kestrow_sim

#endif
