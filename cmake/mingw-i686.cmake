# Toolchain file: kardum.dll for 32-bit Windows (i686) with mingw-w64.
#   cmake -S . -B build-windows-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(KARDUM_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)

# Doubles in SSE2 registers, as on x86_64: the x87 unit would keep
# intermediates in 80 bits and give results that differ in the last bits
# from every other build.  Tcl calls the command procedures on a stack that
# is only 4-byte aligned, so functions realign it where they need more.
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
