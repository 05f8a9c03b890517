/*
 * Starts a program with an exact command line, which Wine's own loader
 * cannot do: it rebuilds the command line from its arguments and quotes
 * those that hold blanks or quotes.
 *
 * Usage: launcher.exe [--desktop] <file>
 * The file holds the whole command line, program name included, byte for
 * byte (no line end is added or removed). The launcher prints "pid <n>"
 * (decimal) once the program runs and "exit <code>" when it has ended, and
 * returns the program's exit code. Its own failures are reported on stderr
 * with exit codes 250 and above, and no "exit" line.
 *
 * With --desktop the launcher first waits until Wine's desktop is ready
 * for windows, and prints "desktop <milliseconds>". The first window of a
 * prefix makes Wine start its desktop process (explorer.exe /desktop),
 * which connects to the display, loads the X11 driver (seconds under the
 * emulator), records it in the registry and then creates the desktop
 * window, tagged with the display device's GUID; a program finds its own
 * display driver through that tag, and one that finds none gets a driver
 * that refuses every window (MessageBoxA returns -1, no box). Started only
 * once the tag is there, the program's first window never races the
 * desktop's start-up, however slow the machine.
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#define DESKTOP_TIMEOUT_MS 120000
/* The window property in which Wine's desktop window holds the atom of its
 * display device's GUID. */
#define DISPLAY_DEVICE_TAG "__wine_display_device_guid"

static char command_line[32768];

/* GetDesktopWindow starts the desktop process when there is none, and
 * waits up to 10 s for it. */
static int wait_for_desktop(void) {
    DWORD started = GetTickCount();
    HWND desktop;
    while ((desktop = GetDesktopWindow()) == NULL ||
           GetPropA(desktop, DISPLAY_DEVICE_TAG) == NULL) {
        if (GetTickCount() - started > DESKTOP_TIMEOUT_MS) return 0;
        Sleep(100);
    }
    printf("desktop %lu\n", (unsigned long)(GetTickCount() - started));
    fflush(stdout);
    return 1;
}

int main(int argc, char** argv) {
    int desktop = argc == 3 && strcmp(argv[1], "--desktop") == 0;
    if (argc != 2 && !desktop) {
        fprintf(stderr, "launcher: usage: launcher.exe [--desktop] <command-line file>\n");
        return 250;
    }
    const char* path = argv[argc - 1];
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        fprintf(stderr, "launcher: cannot open %s\n", path);
        return 251;
    }
    size_t length = fread(command_line, 1, sizeof command_line - 1, file);
    int too_long = fgetc(file) != EOF;
    fclose(file);
    if (too_long) {
        fprintf(stderr, "launcher: %s is longer than %u bytes\n", path,
                (unsigned)(sizeof command_line - 1));
        return 252;
    }
    if (desktop && !wait_for_desktop()) {
        fprintf(stderr, "launcher: Wine's desktop not ready for windows after %u s\n",
                (unsigned)(DESKTOP_TIMEOUT_MS / 1000));
        return 255;
    }
    command_line[length] = '\0';

    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, command_line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "launcher: cannot start [%s]: error %lu\n", command_line,
                (unsigned long)GetLastError());
        return 253;
    }
    printf("pid %lu\n", (unsigned long)process.dwProcessId);
    fflush(stdout);

    DWORD exit_code = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &exit_code)) {
        fprintf(stderr, "launcher: lost the program: error %lu\n", (unsigned long)GetLastError());
        return 254;
    }
    printf("exit %lu\n", (unsigned long)exit_code);
    fflush(stdout);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)exit_code;
}
