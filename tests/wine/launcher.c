/*
 * Starts a program with an exact command line, which Wine's own loader
 * cannot do: it rebuilds the command line from its arguments and quotes
 * those that hold blanks or quotes.
 *
 * Usage: launcher.exe <file>
 * The file holds the whole command line, program name included, byte for
 * byte (no line end is added or removed). The launcher prints "pid <n>"
 * (decimal) once the program runs and "exit <code>" when it has ended, and
 * returns the program's exit code. Its own failures are reported on stderr
 * with exit codes 250 and above, and no "exit" line.
 */
#include <stdio.h>
#include <windows.h>

static char command_line[32768];

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "launcher: usage: launcher.exe <command-line file>\n");
        return 250;
    }
    FILE* file = fopen(argv[1], "rb");
    if (file == NULL) {
        fprintf(stderr, "launcher: cannot open %s\n", argv[1]);
        return 251;
    }
    size_t length = fread(command_line, 1, sizeof command_line - 1, file);
    int too_long = fgetc(file) != EOF;
    fclose(file);
    if (too_long) {
        fprintf(stderr, "launcher: %s is longer than %u bytes\n", argv[1],
                (unsigned)(sizeof command_line - 1));
        return 252;
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
