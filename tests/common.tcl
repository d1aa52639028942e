# Shared set-up of the script tests: tcltest, the library from the build
# tree, and a few comparison helpers.

package require tcltest 2.5
namespace import -force ::tcltest::*
tcltest::configure {*}$argv

if {![info exists ::env(KARDUM_LIBRARY)]} {
    error "KARDUM_LIBRARY must name the built library (run the tests through ctest)"
}
if {[llength [info commands KDarrayMath]] == 0} {
    load $::env(KARDUM_LIBRARY)
}
# The package kardum from the same build, whose tree holds its index and
# scripts beside the library, whatever the shell's own auto_path (a
# Windows Tcl under Wine has none of ours).
set auto_path [linsert $auto_path 0 [file dirname [file normalize $::env(KARDUM_LIBRARY)]]]

# Relative closeness of two numbers, or of two lists of numbers, element by
# element: |e - a| <= tol * max(1, |e|), with tol 1e-12 unless given.
# Matchers: approx (1e-12), approx9 (1e-9), approx6 (1e-6), and within,
# whose expected list starts with the tolerance: {1e-10 2.0 3.0}.
proc closeTo {expected actual {tol 1e-12}} {
    if {[llength $expected] != [llength $actual]} {return 0}
    foreach e $expected a $actual {
        if {$e eq $a} continue
        if {![string is double -strict $a] || ![string is double -strict $e]} {return 0}
        set scale [expr {max(1.0, abs($e))}]
        if {abs($e - $a) > $tol * $scale} {return 0}
    }
    return 1
}
customMatch approx closeTo
customMatch approx9 {apply {{e a} {closeTo $e $a 1e-9}}}
customMatch approx6 {apply {{e a} {closeTo $e $a 1e-6}}}
customMatch within {apply {{e a} {closeTo [lrange $e 1 end] $a [lindex $e 0]}}}

# Two lists equal element by element, whatever the white space between.
customMatch list {apply {{e a} {expr {[list {*}$e] eq [list {*}$a]}}}}

# Values of elements first .. first+n-1 of an array, "-" for a missing one.
proc elements {arrayName first n} {
    upvar 1 $arrayName a
    set out {}
    for {set i $first} {$i < $first + $n} {incr i} {
        if {[info exists a($i)]} {lappend out $a($i)} else {lappend out -}
    }
    return $out
}

# Fills array elements first, first+1, ... from a list.
proc setElements {arrayName first values} {
    upvar 1 $arrayName a
    set i $first
    foreach v $values {set a($i) $v; incr i}
}
