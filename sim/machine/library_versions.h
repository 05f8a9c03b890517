// The libraries kestrow-sim reads machines with, and the versions it runs
// with, for --version.
#ifndef KESTROW_SIM_MACHINE_LIBRARY_VERSIONS_H
#define KESTROW_SIM_MACHINE_LIBRARY_VERSIONS_H

#include <string>
#include <vector>

namespace kestrow_sim {

struct LibraryVersion {
    std::string name;     // e.g. "libcreg"
    std::string version;  // the version loaded at run time
    std::string reads;    // what the program reads with it
};

// One entry per library, in the order a machine's parts are read.
std::vector<LibraryVersion> ReadingLibraryVersions();

}  // namespace kestrow_sim

#endif
