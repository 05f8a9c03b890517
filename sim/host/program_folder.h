// Where the running kestrow-sim lies, so that an installed copy finds the
// files installed beside it (<prefix>/share/... next to <prefix>/bin).
#ifndef KESTROW_SIM_HOST_PROGRAM_FOLDER_H
#define KESTROW_SIM_HOST_PROGRAM_FOLDER_H

#include <string>

namespace kestrow_sim {

// The folder that holds the running program's executable, symbolic links
// resolved (e.g. "/usr/bin"); empty when the system does not tell it.
std::string RunningProgramFolder();

// The folder a relative path leads to from an absolute folder, resolved by
// name: ("/usr/bin", "../share/x") is "/usr/share/x". An absolute path is
// returned as it is.
std::string FolderFrom(const std::string& folder, const std::string& relative);

}  // namespace kestrow_sim

#endif
