# Romberg integration of a Tcl procedure with KDintegTrap.
#
#   tclsh examples/romberg.tcl          (after `make`)
#
# KDintegTrap computes one refinement stage of the trapezoidal rule at a
# time; the script drives the stages, Richardson-extrapolates them into a
# Romberg table and stops once the diagonal agrees to the tolerance.
#
# The integrand receives its abscissae formatted with seven significant
# digits, so tolerances much below 1e-7 relative are met only where the
# points are exact in that form (as they are here: dyadic fractions of an
# interval of length 1 or 2, up to 128 intervals).

source [file join [file dirname [info script]] loadlib.tcl]

# Point mode: one call per abscissa, the value is the procedure's result.
proc quarterCircle {x h k i} {
    expr {4.0 / (1.0 + $x * $x)}
}

# Vector mode: one call per stage fills OuT(0) ... OuT(k-1) in the caller.
proc quarterCircleVec {x0 h k flag out} {
    upvar 1 $out o
    for {set i 0} {$i < $k} {incr i} {
        set x [expr {$x0 + $i * $h}]
        set o($i) [expr {4.0 / (1.0 + $x * $x)}]
    }
}

proc expo {x h k i} {
    expr {exp($x)}
}

# Integrates fun over [a, b] to the relative tolerance tol.  Returns the
# estimate, the number of stages used and the trapezoid value of the last
# stage.  vec 1 selects vector mode.
proc romberg {fun a b tol {vec 0} {maxStage 20}} {
    set trap [KDintegTrap $fun $a $b 1 0.0 $vec]
    set row [list $trap]
    for {set n 2} {$n <= $maxStage} {incr n} {
        set trap [KDintegTrap $fun $a $b $n $trap $vec]
        # Richardson extrapolation: each column removes the next even
        # power of the spacing from the error.
        set next [list $trap]
        set f 1.0
        for {set m 1} {$m < $n} {incr m} {
            set f [expr {4.0 * $f}]
            set fine [lindex $next end]
            set coarse [lindex $row [expr {$m - 1}]]
            lappend next [expr {$fine + ($fine - $coarse) / ($f - 1.0)}]
        }
        set estimate [lindex $next end]
        set change [expr {abs($estimate - [lindex $row end])}]
        set row $next
        # Early stages can agree by chance; insist on a few of them.
        if {$n >= 4 && $change <= $tol * max(1.0, abs($estimate))} {
            return [list $estimate $n $trap]
        }
    }
    error "romberg: $fun did not converge to $tol within $maxStage stages"
}

set pi 3.14159265358979323846
set cases [list \
    quarterCircle    0 1 0 $pi \
    quarterCircleVec 0 1 1 $pi \
    expo             0 2 0 [expr {exp(2.0) - 1.0}]]
set tol 1e-10

puts [format "%-17s %-8s %6s %20s %20s %10s" integrand interval stages romberg trapezoid error]
foreach {fun a b vec exact} $cases {
    lassign [romberg $fun $a $b $tol $vec] estimate stages trap
    puts [format "%-17s %-8s %6d %20.15f %20.15f %10.2e" $fun "\[$a, $b\]" \
              $stages $estimate $trap [expr {$estimate - $exact}]]
    set Result($fun) [list $estimate $exact $stages]
}

if {[lsearch $argv --test] >= 0} {
    # Self-check when run by the test suite.
    foreach fun [array names Result] {
        lassign $Result($fun) estimate exact stages
        if {abs($estimate - $exact) > 10 * $tol * abs($exact)} {
            error "$fun: Romberg estimate $estimate, exact $exact"
        }
        if {$stages > 8} {
            error "$fun: took $stages stages, Romberg needs far fewer"
        }
    }
    set point [lindex $Result(quarterCircle) 0]
    set vector [lindex $Result(quarterCircleVec) 0]
    if {$point != $vector} {
        error "point mode gave $point, vector mode $vector"
    }
}
