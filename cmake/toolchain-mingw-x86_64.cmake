# A 64-bit build of the same sources, for the end-to-end tests under Wine on
# machines that cannot execute 32-bit code. It is never shipped.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTROW_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--disable-high-entropy-va")
