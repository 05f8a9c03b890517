#include "sim/host/host_paths.h"

#include <sys/stat.h>

#include <cerrno>

#include "sim/host/host_files.h"

namespace kestrow_sim {

namespace {

// The failures that mean "nothing is there", not "the host cannot tell".
bool NothingThere(int code) { return code == ENOENT || code == ENOTDIR; }

}  // namespace

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsInside(const std::string& path, const std::string& folder) {
    return !folder.empty() && path.size() > folder.size() &&
           path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

bool PathExists(const std::string& path, bool* exists, std::string* error) {
    struct stat info {};
    if (host::Lstat(path, &info) == 0) {
        *exists = true;
        return true;
    }
    if (NothingThere(errno)) {
        *exists = false;
        return true;
    }
    *error = "cannot look at " + path + ": " + HostErrorText(errno);
    return false;
}

bool RealPathIfThere(const std::string& path, std::string* real, std::string* error) {
    real->clear();
    if (host::RealPath(path, real) == 0 || NothingThere(errno)) return true;
    *error = "cannot resolve the links of " + path + ": " + HostErrorText(errno);
    return false;
}

bool ResolvedPath(const std::string& path, std::string* resolved, std::string* error) {
    std::string real;
    if (!RealPathIfThere(path, &real, error)) return false;
    if (real.empty()) {
        std::string folder;
        if (!RealPathIfThere(FolderOf(path), &folder, error)) return false;
        real = folder.empty() ? path : folder + "/" + BaseName(path);
    }
    *resolved = std::move(real);
    return true;
}

}  // namespace kestrow_sim
