# Runs every tests/*.test file in its own interpreter against the library
# in the build tree and exits non-zero when a test fails or a file does not
# finish.  Arguments are passed to tcltest in each file (-match, -verbose …).

set dir [file dirname [file normalize [info script]]]
set shell [info nameofexecutable]
set totals [dict create passed 0 failed 0 skipped 0]
set broken {}

foreach file [lsort [glob -directory $dir *.test]] {
    set code [catch {exec $shell $file {*}$argv 2>@1} output]
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
