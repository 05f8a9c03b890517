#include "installer/dbcs_search.h"

#include "framework/dbcs.h"

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
        start = NextChar(start);
    }
}
