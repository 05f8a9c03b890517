#include "sim/formats/msdos_sys.h"

#include <cctype>

#include "sim/formats/machine_settings.h"

namespace kestrow_sim {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

bool SameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseMsdosSys(std::string_view text, const platform::sim::CodePage& codePage,
                   MsdosSysPaths* paths, std::string* error) {
    MsdosSysPaths found;
    bool inPaths = false;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            inPaths =
                close != std::string_view::npos && SameWord(line.substr(1, close - 1), "Paths");
            continue;
        }
        std::size_t equals = line.find('=');
        if (!inPaths || equals == std::string_view::npos) continue;
        if (!SameWord(Trim(line.substr(0, equals)), "WinDir")) continue;
        std::string value(Trim(line.substr(equals + 1)));
        if (!IsAbsoluteWindowsPath(value)) {
            *error = "line " + std::to_string(lineNumber) + ": WinDir=" + value +
                     " is not a full Windows path such as C:\\WINDOWS";
            return false;
        }
        if (value.size() > 3 && codePage.EndsWithSeparator(value, '\\')) value.pop_back();
        found.winDir = value;
        found.winDirLine = lineNumber;
        break;
    }
    *paths = found;
    return true;
}

}  // namespace kestrow_sim
