# kardum.dll for Windows, cross-compiled with mingw-w64 (the toolchain
# files cmake/mingw-i686.cmake and cmake/mingw-x86_64.cmake; `make windows`
# builds both).  Included by the top-level CMakeLists.txt when the target is
# Windows; uses KARDUM_SOURCES from there.
#
# The DLL links directly against the Tcl DLL, through an import library
# made in the build from the Tcl calls the objects contain, and carries its
# own copy of libgcc and libstdc++, so that it needs nothing at load time
# but the Tcl DLL and Windows' own DLLs.
#
# Targets:
#   kardum                  kardum.dll (checks its imports after linking)
#   check-exports           the DLL's exports against include/kardum.h
#   check-exports-selftest  the export check against a small fixture DLL

if(NOT CMAKE_CROSSCOMPILING OR NOT MINGW)
  message(FATAL_ERROR "kardum.dll is built with the mingw-w64 cross compilers: "
    "configure with -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake or "
    "cmake/mingw-x86_64.cmake (or run `make windows`)")
endif()
foreach(tool CMAKE_NM CMAKE_OBJDUMP KARDUM_DLLTOOL)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} is not set: use the toolchain files in cmake/")
  endif()
endforeach()
find_program(KARDUM_BASH bash REQUIRED)

set(KARDUM_TCL_INCLUDE_DIR /usr/include/tcl8.6 CACHE PATH
    "Tcl headers to compile kardum.dll against")
set(KARDUM_TCL_DLL tcl86.dll CACHE STRING
    "The Tcl DLL that kardum.dll links against (tcl86t.dll for a threaded Tcl)")
if(NOT EXISTS ${KARDUM_TCL_INCLUDE_DIR}/tcl.h)
  message(FATAL_ERROR "no tcl.h in ${KARDUM_TCL_INCLUDE_DIR} "
    "(apt-get install tcl-dev, or set KARDUM_TCL_INCLUDE_DIR)")
endif()

# No warning is tolerated in the cross builds: they are where 32-bit and
# Windows assumptions show up.
add_compile_options(-Werror)

# Only the Tcl headers: the rest of /usr/include is the host's, not Windows'.
add_library(kardum_objects OBJECT ${KARDUM_SOURCES})
target_include_directories(kardum_objects PRIVATE
  ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR} ${KARDUM_TCL_INCLUDE_DIR})

# The import library of the Tcl DLL, from a module-definition file listing
# exactly the Tcl functions the objects call (see cmake/tcl-import-lib.sh).
get_filename_component(KARDUM_TCL_STEM ${KARDUM_TCL_DLL} NAME_WE)
set(KARDUM_TCL_DEF ${CMAKE_BINARY_DIR}/${KARDUM_TCL_STEM}.def)
set(KARDUM_TCL_IMPLIB ${CMAKE_BINARY_DIR}/lib${KARDUM_TCL_STEM}.a)
add_custom_command(
  OUTPUT ${KARDUM_TCL_DEF} ${KARDUM_TCL_IMPLIB}
  COMMAND ${KARDUM_BASH} ${CMAKE_SOURCE_DIR}/cmake/tcl-import-lib.sh
          ${CMAKE_NM} ${KARDUM_DLLTOOL} ${KARDUM_TCL_DLL}
          ${KARDUM_TCL_DEF} ${KARDUM_TCL_IMPLIB}
          $<TARGET_OBJECTS:kardum_objects>
  DEPENDS $<TARGET_OBJECTS:kardum_objects> ${CMAKE_SOURCE_DIR}/cmake/tcl-import-lib.sh
  COMMENT "Listing the Tcl calls of kardum.dll and making lib${KARDUM_TCL_STEM}.a"
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(tcl_import_library DEPENDS ${KARDUM_TCL_DEF} ${KARDUM_TCL_IMPLIB})
add_dependencies(tcl_import_library kardum_objects)

add_library(kardum SHARED $<TARGET_OBJECTS:kardum_objects>)
add_dependencies(kardum tcl_import_library)
target_link_libraries(kardum PRIVATE ${KARDUM_TCL_IMPLIB})
set_target_properties(kardum PROPERTIES
  PREFIX ""
  OUTPUT_NAME kardum
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS ${KARDUM_TCL_IMPLIB})
# -static: libgcc and libstdc++ (and winpthread with the posix flavour) go
# into the DLL.  Only the functions marked KARDUM_API are exported.  The
# release DLL leaves out the debugging sections of those runtime libraries.
target_link_options(kardum PRIVATE -static -Wl,--fatal-warnings
  $<$<NOT:$<CONFIG:Debug,RelWithDebInfo>>:-s>)
add_custom_command(TARGET kardum POST_BUILD
  COMMAND ${KARDUM_BASH} ${CMAKE_SOURCE_DIR}/cmake/check-dll-imports.sh
          ${CMAKE_OBJDUMP} $<TARGET_FILE:kardum> ${KARDUM_TCL_DLL}
  VERBATIM)

# pkgIndex.tcl beside the DLL, as on Linux.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/pkgIndex.tcl CONTENT
"package ifneeded Kardum_C 2.0 [list load [file join $dir kardum.dll]]\n")

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
