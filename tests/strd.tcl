# Reading NIST StRD linear regression datasets (tests/data/strd) and
# measuring how many significant digits of a certified value a fit got.

namespace eval strd {
    variable dir [file join [file dirname [file normalize [info script]]] data strd]
}

# A dict: coef (certified B0, B1, ...), sd (their standard deviations),
# rss (residual sum of squares), rsd (residual standard deviation) and
# data (the rows in file order, each {y x1 x2 ...}).
proc strd::load {name} {
    variable dir
    set f [open [file join $dir $name.dat]]
    set lines [split [string map {\r {}} [read $f]] \n]
    close $f
    set text [join [lrange $lines 0 10] \n]
    regexp {Certified Values\s+\(lines (\d+) to (\d+)\)} $text -> c0 c1
    regexp {Data\s+\(lines (\d+) to (\d+)\)} $text -> d0 d1
    set coef {}; set sd {}
    foreach line [lrange $lines $c0-1 $c1-1] {
        if {[regexp {^\s*B\d+\s+(\S+)\s+(\S+)\s*$} $line -> b s]} {
            lappend coef $b; lappend sd $s
        } elseif {[regexp {^\s*Standard Deviation\s+(\S+)\s*$} $line -> v]} {
            set rsd $v
        } elseif {[regexp {^\s*Residual\s+\d+\s+(\S+)} $line -> v]} {
            set rss $v
        }
    }
    set data {}
    foreach line [lrange $lines $d0-1 $d1-1] {
        lappend data [regexp -all -inline {\S+} $line]
    }
    dict create coef $coef sd $sd rss $rss rsd $rsd data $data
}

# Number of correct significant digits of each value against its certified
# value (the log relative error, absolute against a certified 0), capped
# at 15 and rounded down to a tenth.
proc strd::digits {got certified} {
    set out {}
    foreach g $got c $certified {
        if {$g == $c} {
            set lre 15.0
        } elseif {$c == 0} {
            set lre [expr {-log10(abs($g))}]
        } else {
            set lre [expr {-log10(abs($g - $c) / abs($c))}]
        }
        lappend out [expr {floor(10 * min(15.0, max(0.0, $lre))) / 10}]
    }
    return $out
}

# Matches when every number of the result is at least the number at the
# same place of the expected (nested) list; words must be equal.
proc strd::atLeast {expected actual} {
    if {[llength $expected] != [llength $actual]} {return 0}
    foreach e $expected a $actual {
        if {[llength $e] > 1 || [llength $a] > 1} {
            if {![atLeast $e $a]} {return 0}
        } elseif {![string is double -strict $e]} {
            if {$e ne $a} {return 0}
        } elseif {![string is double -strict $a] || $a < $e} {
            return 0
        }
    }
    return 1
}
customMatch atLeast strd::atLeast
