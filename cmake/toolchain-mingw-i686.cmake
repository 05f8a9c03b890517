# The real program: 32-bit Windows, for Windows 98 SE and Windows Me.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTROW_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
