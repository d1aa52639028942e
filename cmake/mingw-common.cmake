# Shared part of the mingw-w64 toolchain files (mingw-i686.cmake,
# mingw-x86_64.cmake): cross-compiling kardum.dll on Debian with the
# compilers of g++-mingw-w64-<arch>-win32 (or -posix).
#
# The including file sets KARDUM_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR.

set(CMAKE_SYSTEM_NAME Windows)

# The win32 thread flavour is preferred: the library uses no threads, and
# that flavour's libstdc++ needs no winpthread.  The DLL is linked with
# -static either way (cmake/WindowsDll.cmake), so the posix flavour works
# too.
find_program(CMAKE_CXX_COMPILER
  NAMES ${KARDUM_MINGW_TRIPLE}-g++-win32 ${KARDUM_MINGW_TRIPLE}-g++-posix
        ${KARDUM_MINGW_TRIPLE}-g++
  REQUIRED)

# The binutils the build runs itself: objdump lists the DLL's imports and
# exports.
find_program(CMAKE_AR ${KARDUM_MINGW_TRIPLE}-ar REQUIRED)
find_program(CMAKE_RANLIB ${KARDUM_MINGW_TRIPLE}-ranlib REQUIRED)
find_program(CMAKE_NM ${KARDUM_MINGW_TRIPLE}-nm REQUIRED)
find_program(CMAKE_OBJDUMP ${KARDUM_MINGW_TRIPLE}-objdump REQUIRED)

# Libraries and headers of the target only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KARDUM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
