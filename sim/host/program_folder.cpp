#include "sim/host/program_folder.h"

#include <unistd.h>

#include <vector>

namespace kestrow_sim {

std::string RunningProgramFolder() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return "";
        if (static_cast<std::size_t>(length) < buffer.size()) {
            std::string path(buffer.data(), static_cast<std::size_t>(length));
            std::size_t slash = path.rfind('/');
            if (slash == std::string::npos || path[0] != '/') return "";
            return slash == 0 ? "/" : path.substr(0, slash);
        }
        if (buffer.size() >= 65536) return "";
        buffer.resize(buffer.size() * 2);
    }
}

std::string FolderFrom(const std::string& folder, const std::string& relative) {
    if (!relative.empty() && relative[0] == '/') return relative;
    std::vector<std::string> parts;
    auto add = [&parts](const std::string& path) {
        std::size_t start = 0;
        while (start <= path.size()) {
            std::size_t slash = path.find('/', start);
            if (slash == std::string::npos) slash = path.size();
            std::string part = path.substr(start, slash - start);
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            start = slash + 1;
        }
    };
    add(folder);
    add(relative);
    std::string joined;
    for (const std::string& part : parts) joined += "/" + part;
    return joined.empty() ? "/" : joined;
}

}  // namespace kestrow_sim
