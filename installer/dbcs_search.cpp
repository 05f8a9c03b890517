#include "installer/dbcs_search.h"

#include "platform/platform.h"

const char* FindDbcsSubstring(const char* text, const char* pattern) {
    for (const char* start = text;;) {
        const char* t = start;
        const char* p = pattern;
        while (*p != '\0' && *t == *p) {
            ++t;
            ++p;
        }
        if (*p == '\0') return start;
        if (*start == '\0') return nullptr;
        if (platform::IsDBCSLeadByte(static_cast<platform::BYTE>(*start)) && start[1] != '\0') {
            start += 2;
        } else {
            start += 1;
        }
    }
}
