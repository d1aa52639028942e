# Finds the Tcl to build for, 8.6 or 9.0, through its tclConfig.sh.
#
#   KARDUM_TCL_VERSION  8.6 or 9.0 (`make TCL_VERSION=9.0`); empty: the Tcl
#                       this machine has (the one `tclsh` runs when both are
#                       installed).
#   KARDUM_TCL_CONFIG   a tclConfig.sh to use instead of searching (a Tcl
#                       built from source, another prefix).
#
# Sets, for the rest of the build:
#   TCL_VERSION, TCL_MAJOR_VERSION   of the Tcl found
#   TCL_INCLUDE_PATH                 its headers
#   TCL_STUB_LIBRARY                 the stub library the extension links
#   TCL_LIBRARY                      the Tcl library itself, for the programs
#                                    that embed Tcl (test shell, unit tests)
#   TCL_TCLSH                        its tclsh
#   KARDUM_TCL_FILE_STEM             kardum (Tcl 8) or tcl9kardum (Tcl 9)

set(KARDUM_TCL_VERSION "" CACHE STRING "Tcl to build for: 8.6, 9.0, or empty for the machine's")
set(KARDUM_TCL_CONFIG "" CACHE FILEPATH "tclConfig.sh of the Tcl to build for (overrides the search)")

# A new choice of Tcl forgets what was found for the previous one.
if(NOT "${KARDUM_TCL_VERSION}|${KARDUM_TCL_CONFIG}" STREQUAL "${_KARDUM_TCL_CHOICE}")
  unset(TCL_LIBRARY CACHE)
  unset(TCL_TCLSH CACHE)
  unset(_KARDUM_TCL_CONFIG_FOUND CACHE)
  set(_KARDUM_TCL_CHOICE "${KARDUM_TCL_VERSION}|${KARDUM_TCL_CONFIG}" CACHE INTERNAL "")
endif()

# tclConfig.sh for one version: the architecture's own copy first, since
# Debian's /usr/lib/tclX.Y/tclConfig.sh only forwards to it through
# dpkg-architecture, which a minimal system lacks.
function(_kardum_tcl_config_for version out)
  set(dirs)
  if(CMAKE_LIBRARY_ARCHITECTURE)
    list(APPEND dirs /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/tcl${version}
                     /usr/local/lib/${CMAKE_LIBRARY_ARCHITECTURE}/tcl${version})
  endif()
  list(APPEND dirs /usr/local/lib/tcl${version} /usr/lib/tcl${version}
                   /usr/lib64/tcl${version} /usr/local/lib /usr/lib64 /usr/lib)
  foreach(dir ${dirs})
    if(EXISTS ${dir}/tclConfig.sh)
      file(STRINGS ${dir}/tclConfig.sh line REGEX "^TCL_VERSION='${version}'")
      if(line)
        set(${out} ${dir}/tclConfig.sh PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

if(KARDUM_TCL_CONFIG)
  if(NOT EXISTS "${KARDUM_TCL_CONFIG}")
    message(FATAL_ERROR "KARDUM_TCL_CONFIG: no file ${KARDUM_TCL_CONFIG}")
  endif()
  set(_kardum_tcl_config ${KARDUM_TCL_CONFIG})
elseif(KARDUM_TCL_VERSION)
  if(NOT KARDUM_TCL_VERSION MATCHES "^(8\\.6|9\\.[0-9]+)$")
    message(FATAL_ERROR "TCL_VERSION must be 8.6 or 9.x, got '${KARDUM_TCL_VERSION}'")
  endif()
  _kardum_tcl_config_for(${KARDUM_TCL_VERSION} _kardum_tcl_config)
  if(NOT _kardum_tcl_config)
    message(FATAL_ERROR "no tclConfig.sh of Tcl ${KARDUM_TCL_VERSION} found "
      "(apt-get install tcl${KARDUM_TCL_VERSION}-dev, or give its path as KARDUM_TCL_CONFIG)")
  endif()
else()
  set(_kardum_found_versions)
  foreach(version 9.0 8.6)
    _kardum_tcl_config_for(${version} config)
    if(config)
      list(APPEND _kardum_found_versions ${version})
      set(_kardum_config_${version} ${config})
    endif()
  endforeach()
  if(NOT _kardum_found_versions)
    message(FATAL_ERROR "no Tcl 8.6 or 9.0 with headers found (tools/deps.sh build "
      "installs it; or give a tclConfig.sh as KARDUM_TCL_CONFIG)")
  endif()
  list(GET _kardum_found_versions 0 _kardum_version)
  list(LENGTH _kardum_found_versions _kardum_count)
  if(_kardum_count GREATER 1)
    # Both: the one that plain `tclsh` runs.
    find_program(_KARDUM_PLAIN_TCLSH tclsh)
    if(_KARDUM_PLAIN_TCLSH)
      execute_process(COMMAND ${CMAKE_COMMAND} -E echo "puts [info tclversion]"
                      COMMAND ${_KARDUM_PLAIN_TCLSH}
                      OUTPUT_VARIABLE _kardum_plain OUTPUT_STRIP_TRAILING_WHITESPACE
                      ERROR_QUIET)
      if(_kardum_plain IN_LIST _kardum_found_versions)
        set(_kardum_version ${_kardum_plain})
      endif()
    endif()
  endif()
  set(_kardum_tcl_config ${_kardum_config_${_kardum_version}})
endif()

# The values tclConfig.sh defines, read by the shell that it is written for.
set(_kardum_read_config [=[. "$1" && printf '%s\n' "$TCL_VERSION" "$TCL_MAJOR_VERSION" \
    "$TCL_INCLUDE_SPEC" "$TCL_STUB_LIB_PATH" "$TCL_LIB_SPEC" "$TCL_LIB_FILE" "$TCL_EXEC_PREFIX"]=])
execute_process(
  COMMAND sh -c ${_kardum_read_config} sh ${_kardum_tcl_config}
  OUTPUT_VARIABLE _kardum_tcl_values
  RESULT_VARIABLE _kardum_tcl_status)
if(NOT _kardum_tcl_status EQUAL 0)
  message(FATAL_ERROR "could not read ${_kardum_tcl_config}")
endif()
string(REPLACE "\n" ";" _kardum_tcl_values "${_kardum_tcl_values}")
list(GET _kardum_tcl_values 0 TCL_VERSION)
list(GET _kardum_tcl_values 1 TCL_MAJOR_VERSION)
list(GET _kardum_tcl_values 2 _kardum_include_spec)
list(GET _kardum_tcl_values 3 TCL_STUB_LIBRARY)
list(GET _kardum_tcl_values 4 _kardum_lib_spec)
list(GET _kardum_tcl_values 5 _kardum_lib_file)
list(GET _kardum_tcl_values 6 _kardum_exec_prefix)

if(NOT TCL_MAJOR_VERSION MATCHES "^(8|9)$" OR TCL_VERSION VERSION_LESS 8.6)
  message(FATAL_ERROR "${_kardum_tcl_config} is Tcl ${TCL_VERSION}; kardum needs 8.6 or 9")
endif()

# The values of the words of a compiler or linker spec that begin with a
# flag, in order: flag -I of "-I/usr/include/tcl8.6 -DX" gives
# /usr/include/tcl8.6.
function(_kardum_flag_values spec flag out)
  separate_arguments(words UNIX_COMMAND "${spec}")
  set(values)
  foreach(word ${words})
    if(word MATCHES "^${flag}(.+)$")
      list(APPEND values ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} ${values} PARENT_SCOPE)
endfunction()

# Headers: the -I words of TCL_INCLUDE_SPEC.
_kardum_flag_values("${_kardum_include_spec}" -I TCL_INCLUDE_PATH)
if(NOT EXISTS "${TCL_INCLUDE_PATH}/tcl.h")
  find_path(_KARDUM_TCL_H tcl.h PATHS ${TCL_INCLUDE_PATH} /usr/include/tcl${TCL_VERSION}
            NO_CACHE NO_DEFAULT_PATH)
  if(NOT _KARDUM_TCL_H)
    message(FATAL_ERROR "tcl.h of Tcl ${TCL_VERSION} not found (apt-get install tcl${TCL_VERSION}-dev)")
  endif()
  set(TCL_INCLUDE_PATH ${_KARDUM_TCL_H})
endif()

if(NOT EXISTS "${TCL_STUB_LIBRARY}")
  message(FATAL_ERROR "the stub library of Tcl ${TCL_VERSION} (${TCL_STUB_LIBRARY}) is missing")
endif()

# The Tcl library itself: the -L folders of TCL_LIB_SPEC.
_kardum_flag_values("${_kardum_lib_spec}" -L _kardum_lib_dirs)
find_library(TCL_LIBRARY NAMES ${_kardum_lib_file} tcl${TCL_VERSION}
             HINTS ${_kardum_lib_dirs})
find_program(TCL_TCLSH NAMES tclsh${TCL_VERSION} HINTS ${_kardum_exec_prefix}/bin)
if(NOT TCL_LIBRARY OR NOT TCL_TCLSH)
  message(FATAL_ERROR "Tcl ${TCL_VERSION}: library (${TCL_LIBRARY}) or tclsh${TCL_VERSION} "
    "(${TCL_TCLSH}) missing (apt-get install tcl${TCL_VERSION})")
endif()

# Tcl 9's convention for a package folder that holds builds for both
# Tcl 8 and Tcl 9: the Tcl 9 build carries the prefix tcl9.
if(TCL_MAJOR_VERSION EQUAL 8)
  set(KARDUM_TCL_FILE_STEM kardum)
else()
  set(KARDUM_TCL_FILE_STEM tcl${TCL_MAJOR_VERSION}kardum)
endif()

# Read by the Makefile, so that tools/deps.sh checks for this Tcl's packages.
set(KARDUM_TCL_BUILT_FOR ${TCL_VERSION} CACHE INTERNAL "")

if(NOT "${_KARDUM_TCL_CONFIG_FOUND}" STREQUAL "${_kardum_tcl_config}")
  message(STATUS "Tcl ${TCL_VERSION}: ${_kardum_tcl_config} (stubs: ${TCL_STUB_LIBRARY})")
  set(_KARDUM_TCL_CONFIG_FOUND "${_kardum_tcl_config}" CACHE INTERNAL "")
endif()
