# Shared by the MinGW-w64 toolchain files. The caller sets KESTROW_MINGW_TRIPLE.
#
# The -win32 thread-model compilers are used on purpose: the -posix ones link
# winpthreads, which imports functions Windows 98 does not have.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KESTROW_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${KESTROW_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${KESTROW_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTROW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Small, self-contained, old-Windows-safe code: no exceptions or RTTI (the
# program uses neither), unused functions dropped, the Windows 95/NT 4.0 API
# level, no time stamps so that two builds of one commit are byte-identical.
# No -fdata-sections: in a COFF object each data section has file bytes, so
# zero-filled objects would come out as zeros in the executable instead of
# in .bss, which has none.
set(CMAKE_CXX_FLAGS_INIT "-Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -ffunction-sections -D_WIN32_WINNT=0x0400 -DWINVER=0x0400 -ffile-prefix-map=${CMAKE_CURRENT_LIST_DIR}/..=.")
set(CMAKE_C_FLAGS_INIT "-Os -fno-asynchronous-unwind-tables -ffunction-sections -D_WIN32_WINNT=0x0400 -DWINVER=0x0400")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -s -Wl,--gc-sections -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0 -Wl,--disable-dynamicbase -Wl,--disable-nxcompat -Wl,--disable-reloc-section -Wl,--no-insert-timestamp -Wl,--build-id=none")
set(CMAKE_RC_FLAGS_INIT "--no-use-temp-file")
# Link only the three system libraries the program uses. The compiler would
# add MSVCRT too; the Kestrow target links with -nostdlib, which leaves it out.
set(CMAKE_C_STANDARD_LIBRARIES "-lkernel32 -luser32 -ladvapi32" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "-lkernel32 -luser32 -ladvapi32" CACHE STRING "" FORCE)
