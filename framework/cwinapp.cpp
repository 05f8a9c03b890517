#include "framework/cwinapp.h"

#include <cstring>

#include "framework/command_tail.h"
#include "framework/dbcs.h"

namespace {

CWinApp* g_pApp = nullptr;

// The file name of a path without its folder and its last extension; DBCS
// aware, so a trail byte equal to '\' or '.' is not taken for one.
void CopyBaseName(const char* path, char* out, std::size_t outSize) {
    const char* name = path;
    const char* dot = nullptr;
    for (const char* p = path; *p != '\0'; p = NextChar(p)) {
        if (*p == '\\' || *p == '/' || *p == ':') {
            name = p + 1;
            dot = nullptr;
        } else if (*p == '.') {
            dot = p;
        }
    }
    std::size_t length = dot != nullptr ? static_cast<std::size_t>(dot - name) : std::strlen(name);
    if (length >= outSize) length = outSize - 1;
    std::memcpy(out, name, length);
    out[length] = '\0';
}

}  // namespace

CWinApp::CWinApp(const char* appName)
    : m_hInstance(nullptr), m_lpCmdLine(""), m_pszAppName(appName), m_szTitle{} {
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this) g_pApp = nullptr;
}

CWinApp* AfxGetApp() { return g_pApp; }

bool CWinApp::Enable3dControls() { return true; }

void CWinApp::DeriveTitle() {
    if (m_pszAppName != nullptr) return;
    char text[256] = {0};
    if (platform::LoadStringA(m_hInstance, AFX_IDS_APP_TITLE, text, sizeof text) > 0) {
        text[sizeof text - 1] = '\0';
        std::memcpy(m_szTitle, text, sizeof m_szTitle);
    } else {
        char path[platform::MAX_PATH + 1] = {0};
        platform::GetModuleFileNameA(nullptr, path, platform::MAX_PATH);
        path[platform::MAX_PATH] = '\0';
        CopyBaseName(path, m_szTitle, sizeof m_szTitle);
    }
    m_pszAppName = m_szTitle;
}

int CWinApp::ShowMessage(const char* text, platform::UINT type) {
    platform::HWND owner = platform::GetActiveWindow();
    if ((type & platform::MB_ICONMASK) == 0) {
        switch (type & platform::MB_TYPEMASK) {
            case platform::MB_OK:
            case platform::MB_OKCANCEL:
            case platform::MB_YESNOCANCEL:
            case platform::MB_YESNO:
                type |= platform::MB_ICONEXCLAMATION;
                break;
            default:
                break;
        }
    }
    return platform::MessageBoxA(owner, text, m_pszAppName, type);
}

int CWinApp::Run(platform::HINSTANCE instance) {
    m_hInstance = instance;
    m_lpCmdLine = FindCommandTail(platform::GetCommandLineA());
    platform::SetErrorMode(platform::SetErrorMode(0) | FRAMEWORK_ERROR_MODE);
    DeriveTitle();
    StartUp();
    // StartUp returns false on every path: there is no message loop, and the
    // framework's exit path has nothing to save.
    return 0;
}

int AfxWinMain(platform::HINSTANCE instance) {
    CWinApp* app = AfxGetApp();
    return app == nullptr ? 0 : app->Run(instance);
}
