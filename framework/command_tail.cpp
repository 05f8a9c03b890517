#include "framework/command_tail.h"

#include "framework/dbcs.h"

namespace {

bool IsBlankOrControl(char c) {
    unsigned char code = static_cast<unsigned char>(c);
    return code >= 1 && code <= 32;
}

}  // namespace

const char* FindCommandTail(const char* commandLine) {
    static const char s_szEmpty[] = "";
    if (commandLine == nullptr) return s_szEmpty;
    const char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') p = NextChar(p);
        if (*p == '"') ++p;
    } else {
        while (static_cast<unsigned char>(*p) > 32) p = NextChar(p);
    }
    while (IsBlankOrControl(*p)) ++p;
    return p;
}
