# check-stubs.cmake --
#
#	The library reaches Tcl through the stub table alone: no NEEDED entry
#	names a Tcl library, no Tcl function is left for the dynamic linker
#	to bind, and the stub library's own symbols stay inside.
#
#	    cmake -DLIB=libkardum.so -DREADELF=readelf -P check-stubs.cmake

if(NOT LIB OR NOT READELF)
  message(FATAL_ERROR "usage: cmake -DLIB=library -DREADELF=readelf -P check-stubs.cmake")
endif()

execute_process(COMMAND ${READELF} -d -W ${LIB} OUTPUT_VARIABLE dynamic
                RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT dynamic MATCHES "\\(NEEDED\\)")
  message(FATAL_ERROR "readelf -d ${LIB} failed or shows no NEEDED entry:\n${dynamic}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${dynamic}")
foreach(entry ${needed})
  if(entry MATCHES "\\[lib(tcl|tk)[0-9.]*\\.so")
    message(FATAL_ERROR "${LIB} needs a Tcl library: ${entry}")
  endif()
endforeach()

execute_process(COMMAND ${READELF} --dyn-syms -W ${LIB} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT symbols MATCHES "Kardum_Init")
  message(FATAL_ERROR "readelf --dyn-syms ${LIB} failed or shows no Kardum_Init")
endif()
string(REGEX MATCHALL "[^\n]* UND Tcl[A-Za-z]*_[^\n]*" unbound "${symbols}")
if(unbound)
  message(FATAL_ERROR "${LIB} leaves Tcl functions to the dynamic linker:\n${unbound}")
endif()
string(REGEX MATCHALL "[^\n]*(GLOBAL|WEAK)[^\n]* [0-9]+ [a-zA-Z]*[sS]tubs[A-Za-z]*\n" leaked "${symbols}")
if(leaked)
  message(FATAL_ERROR "${LIB} exports the stub library's symbols:\n${leaked}")
endif()
list(LENGTH needed count)
message(STATUS "${LIB}: ${count} NEEDED entries, none for Tcl; Tcl reached through stubs only")
