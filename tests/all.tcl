# Runs tests/*.test files, each in its own interpreter, against the library
# in the build tree and exits non-zero when a test fails or a file does not
# finish.  -file and -notfile take glob patterns of file names, as in
# tcltest (default: every file); all other options go to tcltest in each
# file (-match, -skip, -verbose ...).  Examples:
#     tclsh tests/all.tcl -file gridfill.test -match gridfill-2.*
#     make test TESTFLAGS="-file gridfill.test -match gridfill-2.*"

set dir [file dirname [file normalize [info script]]]
set shell [info nameofexecutable]
set totals [dict create passed 0 failed 0 skipped 0]
set broken {}

set include {*.test}
set exclude {}
set passOn {}
foreach {option value} $argv {
    switch -- $option {
        -file {set include $value}
        -notfile {set exclude $value}
        default {lappend passOn $option $value}
    }
}

set files {}
foreach file [lsort [glob -nocomplain -directory $dir *.test]] {
    set name [file tail $file]
    set wanted 0
    foreach pattern $include {
        if {[string match $pattern $name]} {set wanted 1}
    }
    foreach pattern $exclude {
        if {[string match $pattern $name]} {set wanted 0}
    }
    if {$wanted} {lappend files $file}
}
if {[llength $files] == 0} {
    puts "no test file matches -file {$include} -notfile {$exclude}"
    exit 1
}

foreach file $files {
    set code [catch {exec $shell $file {*}$passOn 2>@1} output]
    puts $output
    if {[regexp {Total\s+(\d+)\s+Passed\s+(\d+)\s+Skipped\s+(\d+)\s+Failed\s+(\d+)} \
            $output -> total passed skipped failed]} {
        dict incr totals passed $passed
        dict incr totals skipped $skipped
        dict incr totals failed $failed
        if {$failed > 0} {lappend broken [file tail $file]}
    } else {
        lappend broken [file tail $file]
        dict incr totals failed
        puts "[file tail $file] did not finish (exit status: $code)"
    }
}

if {[llength $broken]} {
    puts "Files with failures: [join $broken {, }]"
}
puts "tcltest: [dict get $totals passed] passed, [dict get $totals failed] failed, [dict get $totals skipped] skipped"
exit [expr {[llength $broken] > 0}]
