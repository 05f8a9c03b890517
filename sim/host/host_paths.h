// Host paths: their parts as text, whether something is at one, and a path
// with its links resolved. Every look at the host goes through the host
// call table (host_files.h).
#ifndef KESTROW_SIM_HOST_HOST_PATHS_H
#define KESTROW_SIM_HOST_HOST_PATHS_H

#include <string>

namespace kestrow_sim {

// The folder part: "." for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string& path);
// The last part.
std::string BaseName(const std::string& path);
// Whether path lies below folder, as text (both resolved); false when the
// folder is empty.
bool IsInside(const std::string& path, const std::string& folder);

// Whether anything is at path, a dangling link included. False, with a
// message, when the host cannot tell.
bool PathExists(const std::string& path, bool* exists, std::string* error);

// The path with every link resolved; empty when nothing is at it (or a
// folder on the way is missing). False, with a message, on any other
// failure.
bool RealPathIfThere(const std::string& path, std::string* real, std::string* error);
// The same for a path that may not exist yet: its folder resolved and its
// name, or the path as given when the folder is missing too.
bool ResolvedPath(const std::string& path, std::string* resolved, std::string* error);

}  // namespace kestrow_sim

#endif
