// The application framework's stand-in: the class chain of an application
// object and the start-up that runs before the application's own hook.
//
// Exactly one application object exists per run. The framework computes the
// command-line tail, switches off the system's critical-error boxes, derives
// the application title and then calls StartUp; when StartUp returns false
// the run ends with exit code 0.
#ifndef KESTROW_FRAMEWORK_CWINAPP_H
#define KESTROW_FRAMEWORK_CWINAPP_H

#include "platform/platform.h"

class CObject {
public:
    virtual ~CObject() = default;
};

class CCmdTarget : public CObject {};

class CWinThread : public CCmdTarget {};

class CWinApp : public CWinThread {
public:
    // appName is the application title; null lets the framework derive it
    // (string 0xE000, or else the executable's file name).
    explicit CWinApp(const char* appName = nullptr);
    ~CWinApp() override;
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The application's start-up hook, called once. Returning false ends the
    // run instead of entering a message loop.
    virtual bool StartUp() = 0;

    // The message-box presenter: owned by the active window (if any), titled
    // with the application title; OK, OK/Cancel, Yes/No/Cancel and Yes/No
    // boxes that name no icon get the exclamation icon. Returns the
    // platform's answer unchanged (1 OK, 2 Cancel, 0 not shown).
    int ShowMessage(const char* text, platform::UINT type);

    // Draws controls and boxes in three-dimensional style on systems before
    // version 4; on version 4 and later the system does that itself, and
    // every system this program runs on is version 4 or later.
    bool Enable3dControls();

    const char* GetTitle() const { return m_pszAppName; }
    const char* GetCommandTail() const { return m_lpCmdLine; }

    // Framework start-up, the hook and the exit path. Returns the exit code.
    int Run(platform::HINSTANCE instance);

protected:
    platform::HINSTANCE m_hInstance;
    const char* m_lpCmdLine;  // the command-line tail, inside GetCommandLineA's text
    const char* m_pszAppName;

private:
    void DeriveTitle();

    char m_szTitle[256];
};

// The one application object, or null before it is constructed.
CWinApp* AfxGetApp();

// Runs the application object with the framework's start-up. The Windows
// entry point calls it; so does the simulator.
int AfxWinMain(platform::HINSTANCE instance);

// The error-mode bits the framework adds at start-up.
constexpr platform::UINT FRAMEWORK_ERROR_MODE =
    platform::SEM_FAILCRITICALERRORS | platform::SEM_NOOPENFILEERRORBOX;

// The string resource that, when present, holds the application title.
constexpr platform::UINT AFX_IDS_APP_TITLE = 0xE000;

#endif
