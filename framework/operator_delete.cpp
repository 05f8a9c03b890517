// The global operator delete of Kestrow.exe, which links no C++ library.
// The compiler refers to it from the deleting destructors of classes with
// virtual destructors (the application class chain); the program creates
// no object with new, so it is never called, and would give the memory
// back to the process heap (free, platform/win32) if it were.
#include <cstddef>
#include <cstdlib>
#include <new>

void operator delete(void* block) noexcept { std::free(block); }

void operator delete(void* block, std::size_t) noexcept { std::free(block); }
