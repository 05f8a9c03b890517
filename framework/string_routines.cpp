// The C library's string routines that the program's code calls (strlen,
// strcmp), as Kestrow.exe's own small functions: it links no C runtime DLL.
//
// This file is compiled with -ffreestanding and
// -fno-tree-loop-distribute-patterns (CMakeLists.txt), so that the compiler
// neither takes these loops for the routines they implement and turns them
// back into calls of the same names, which would call themselves, nor
// replaces a loop with a call to memset or memcpy. The import test
// (tests/pe/kestrow_imports_test.py) and the link, which has no C runtime
// to fall back on, catch any call of the C library that nothing here
// provides.
#include <cstddef>

extern "C" {

std::size_t strlen(const char* text) {
    const char* end = text;
    while (*end != '\0') ++end;
    return static_cast<std::size_t>(end - text);
}

// The bytes compare as unsigned char, as the C standard has it.
int strcmp(const char* left, const char* right) {
    while (*left != '\0' && *left == *right) {
        ++left;
        ++right;
    }
    return static_cast<int>(static_cast<unsigned char>(*left)) -
           static_cast<int>(static_cast<unsigned char>(*right));
}

}  // extern "C"
