// CString: the framework's owned, growable 8-bit string, in the small form
// the installer needs. It never throws; when memory runs out it keeps its
// old text.
#ifndef KESTROW_FRAMEWORK_CSTRING_H
#define KESTROW_FRAMEWORK_CSTRING_H

#include <cstddef>

class CString {
public:
    CString();
    CString(const char* text);  // NOLINT: converts like the framework's CString
    CString(const CString& other);
    CString& operator=(const CString& other);
    CString& operator=(const char* text);
    ~CString();

    operator const char*() const { return m_pszData; }  // NOLINT
    std::size_t GetLength() const { return m_nLength; }
    bool IsEmpty() const { return m_nLength == 0; }
    void Empty();

private:
    void Assign(const char* text, std::size_t length);

    char* m_pszData;  // never null; points at s_szEmpty when empty
    std::size_t m_nLength;
    static char s_szEmpty[1];
};

#endif
