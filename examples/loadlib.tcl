# Loads the kardum library for the examples: from KARDUM_LIBRARY when set,
# otherwise from the build tree beside this folder, otherwise as an
# installed package.  The folder of the library (a build tree or an
# installed package) also holds the package kardum.
if {[llength [info commands KDarrayMath]] == 0} {
    if {[info exists ::env(KARDUM_LIBRARY)]} {
        load $::env(KARDUM_LIBRARY)
        lappend auto_path [file dirname [file normalize $::env(KARDUM_LIBRARY)]]
    } else {
        set _build [file join [file dirname [file dirname [file normalize [info script]]]] build]
        if {[file exists [file join $_build pkgIndex.tcl]]} {
            lappend auto_path $_build
        }
        package require Kardum_C
    }
}
