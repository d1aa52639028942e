# Toolchain file: kardum.dll for 64-bit Windows (x86_64) with mingw-w64.
#   cmake -S . -B build-windows-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(KARDUM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
