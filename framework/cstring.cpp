#include "framework/cstring.h"

#include <cstdlib>
#include <cstring>

char CString::s_szEmpty[1] = {0};

CString::CString() : m_pszData(s_szEmpty), m_nLength(0) {}

CString::CString(const char* text) : CString() { *this = text; }

CString::CString(const CString& other) : CString() { Assign(other.m_pszData, other.m_nLength); }

CString& CString::operator=(const CString& other) {
    if (this != &other) Assign(other.m_pszData, other.m_nLength);
    return *this;
}

CString& CString::operator=(const char* text) {
    if (text == nullptr) {
        Empty();
    } else if (text != m_pszData) {
        Assign(text, std::strlen(text));
    }
    return *this;
}

CString::~CString() { Empty(); }

void CString::Empty() {
    if (m_pszData != s_szEmpty) std::free(m_pszData);
    m_pszData = s_szEmpty;
    m_nLength = 0;
}

void CString::Assign(const char* text, std::size_t length) {
    if (length == 0) {
        Empty();
        return;
    }
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    Empty();
    m_pszData = copy;
    m_nLength = length;
}
