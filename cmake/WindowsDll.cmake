# kardum.dll for Windows, cross-compiled with mingw-w64 (the toolchain
# files cmake/mingw-i686.cmake and cmake/mingw-x86_64.cmake; `make windows`
# builds both).  Included by the top-level CMakeLists.txt when the target is
# Windows; links the objects of kardum_objects from there, adding the
# Windows Tcl's headers and the Windows flags to them.
#
# The DLL uses Tcl's stubs mechanism: it is compiled with USE_TCL_STUBS and
# linked with the stub library of a Windows Tcl built from Tcl's source with
# the same compilers (tests/windows/build-tcl.sh; `make windows` builds it),
# so it imports no Tcl DLL and loads into any Windows Tcl of a suitable
# version, whatever that Tcl calls its DLL.  libgcc and libstdc++ are linked
# in too: the DLL needs nothing at load time but Windows' own DLLs.
#
# For Tcl 9 the file is named after Tcl 9's convention for extensions,
# tcl9kardum.dll, so that one folder can hold the builds for both Tcls.
#
# Targets:
#   kardum                  the DLL (checks its imports after linking)
#   check-exports           the DLL's exports against include/kardum.h
#   check-exports-selftest  the export check against a small fixture DLL
#   check-imports-selftest  the import check against made-up import lists

if(NOT CMAKE_CROSSCOMPILING OR NOT MINGW)
  message(FATAL_ERROR "kardum.dll is built with the mingw-w64 cross compilers: "
    "configure with -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake or "
    "cmake/mingw-x86_64.cmake (or run `make windows`)")
endif()
foreach(tool CMAKE_NM CMAKE_OBJDUMP)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} is not set: use the toolchain files in cmake/")
  endif()
endforeach()
find_program(KARDUM_BASH bash REQUIRED)

# The Windows Tcl whose headers and stub library the DLL is built with: the
# install prefix of tests/windows/build-tcl.sh for the same architecture.
set(KARDUM_WINDOWS_TCL "" CACHE PATH
    "Install prefix of a Windows Tcl built with mingw-w64 (include/tcl.h, lib/libtclstub*.a)")
if(NOT KARDUM_WINDOWS_TCL OR NOT EXISTS ${KARDUM_WINDOWS_TCL}/include/tcl.h)
  message(FATAL_ERROR "KARDUM_WINDOWS_TCL must name a Windows Tcl built from "
    "source for this architecture (no include/tcl.h in '${KARDUM_WINDOWS_TCL}'): "
    "run `make windows`, which builds one with tests/windows/build-tcl.sh")
endif()
file(GLOB KARDUM_TCL_STUB_LIBRARY ${KARDUM_WINDOWS_TCL}/lib/libtclstub*.a)
list(LENGTH KARDUM_TCL_STUB_LIBRARY count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one stub library lib/libtclstub*.a in "
    "${KARDUM_WINDOWS_TCL}, found: '${KARDUM_TCL_STUB_LIBRARY}'")
endif()
file(STRINGS ${KARDUM_WINDOWS_TCL}/include/tcl.h KARDUM_TCL_MAJOR
     REGEX "^#[ \t]*define[ \t]+TCL_MAJOR_VERSION[ \t]+[0-9]+")
string(REGEX REPLACE ".*[ \t]([0-9]+)$" "\\1" KARDUM_TCL_MAJOR "${KARDUM_TCL_MAJOR}")
if(KARDUM_TCL_MAJOR GREATER_EQUAL 9)
  set(KARDUM_DLL_NAME tcl${KARDUM_TCL_MAJOR}kardum)
else()
  set(KARDUM_DLL_NAME kardum)
endif()
message(STATUS "${KARDUM_DLL_NAME}.dll for Tcl ${KARDUM_TCL_MAJOR}, stub library "
        "${KARDUM_TCL_STUB_LIBRARY}")

# No warning is tolerated in the cross builds: they are where 32-bit and
# Windows assumptions show up.
add_compile_options(-Werror)
target_compile_options(kardum_objects PRIVATE -Werror)

# Only the Windows Tcl's headers: the rest of /usr/include is the host's.
# __USE_MINGW_ANSI_STDIO: mingw-w64's own C99 printf family rather than
# msvcrt's, so that every text the library formats ("%e" with a two-digit
# exponent, say) is the same as on Linux.
target_include_directories(kardum_objects PUBLIC ${KARDUM_WINDOWS_TCL}/include)
target_compile_definitions(kardum_objects PRIVATE __USE_MINGW_ANSI_STDIO=1)

add_library(kardum SHARED)
target_link_libraries(kardum PRIVATE kardum_objects ${KARDUM_TCL_STUB_LIBRARY})
set_target_properties(kardum PROPERTIES
  PREFIX ""
  OUTPUT_NAME ${KARDUM_DLL_NAME}
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# -static: libgcc and libstdc++ (and winpthread with the posix flavour) go
# into the DLL.  Only the functions marked KARDUM_API are exported.  The
# release DLL leaves out the debugging sections of those runtime libraries.
target_link_options(kardum PRIVATE -static -Wl,--fatal-warnings
  $<$<NOT:$<CONFIG:Debug,RelWithDebInfo>>:-s>)
add_custom_command(TARGET kardum POST_BUILD
  COMMAND ${KARDUM_BASH} ${CMAKE_SOURCE_DIR}/cmake/check-dll-imports.sh
          ${CMAKE_OBJDUMP} $<TARGET_FILE:kardum>
  VERBATIM)

# pkgIndex.tcl and the package's Tcl files beside the DLL come from the top-level
# CMakeLists.txt, as on Linux: the DLL's folder is a complete package folder.

add_custom_target(check-exports
  COMMAND ${KARDUM_BASH} ${CMAKE_SOURCE_DIR}/cmake/check-dll-exports.sh
          ${CMAKE_OBJDUMP} $<TARGET_FILE:kardum> ${CMAKE_SOURCE_DIR}/include/kardum.h
  DEPENDS kardum
  VERBATIM)

# The export check itself, run against a fixture DLL whose exports are
# known, so that a check that stopped seeing missing or extra names fails.
add_library(export_fixture SHARED EXCLUDE_FROM_ALL
  ${CMAKE_SOURCE_DIR}/tests/windows/export_fixture.cpp)
set_target_properties(export_fixture PROPERTIES
  PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixture)
target_link_options(export_fixture PRIVATE -static)
add_custom_target(check-exports-selftest
  COMMAND ${KARDUM_BASH} ${CMAKE_SOURCE_DIR}/tests/windows/check-exports-test.sh
          ${CMAKE_SOURCE_DIR}/cmake/check-dll-exports.sh
          ${CMAKE_OBJDUMP} $<TARGET_FILE:export_fixture>
          ${CMAKE_BINARY_DIR}/fixture
  DEPENDS export_fixture
  VERBATIM)

# The import check against import lists that do and do not name a Tcl DLL.
add_custom_target(check-imports-selftest
  COMMAND ${KARDUM_BASH} ${CMAKE_SOURCE_DIR}/tests/windows/check-imports-test.sh
          ${CMAKE_SOURCE_DIR}/cmake/check-dll-imports.sh
  VERBATIM)
