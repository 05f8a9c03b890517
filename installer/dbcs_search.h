// Substring search that understands double-byte characters of the system
// code page.
#ifndef KESTROW_INSTALLER_DBCS_SEARCH_H
#define KESTROW_INSTALLER_DBCS_SEARCH_H

// Returns where pattern first occurs in text, or null. The comparison is
// exact and case-sensitive, byte for byte. A match starts only at the start
// of a character: a trail byte never starts one. A lead byte just before the
// terminator is a character of its own and never takes the terminator with
// it. An empty pattern matches at the start.
const char* FindDbcsSubstring(const char* text, const char* pattern);

#endif
