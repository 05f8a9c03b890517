// The command-line tail: what follows the program name on the process's
// command line.
#ifndef KESTROW_FRAMEWORK_COMMAND_TAIL_H
#define KESTROW_FRAMEWORK_COMMAND_TAIL_H

// Returns a pointer into commandLine just past the program name and the
// blanks and control characters after it. A name that begins with a double
// quote runs to the next double quote (which is skipped too) or to the end;
// any other name runs up to the first byte of code 32 or less. A lead byte
// of the system code page takes its trail byte with it, but never the
// terminator. The rest, trailing blanks included, is returned unchanged.
// Never reads past the terminator.
const char* FindCommandTail(const char* commandLine);

#endif
