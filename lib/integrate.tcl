# integrate.tcl --
#
#	kardum::integrate: an integral with its error, by the double-exponential
#	rule with global adaptive subdivision, or by Romberg's extrapolation.
#	The nodes, weights, sums and the subdivision are computed by the C++
#	command ::kardum::quad::Run (data/IntegrateCmd.cpp); this file checks
#	the words and words the answer.  Sourced by kardum.tcl.

namespace eval ::kardum::quad {
    namespace path ::kardum
}

# --- kardum::integrate -------------------------------------------------

# The smallest relative tolerance asked for without an absolute one: the
# rounding of the integrand's values and of the sum alone is about 100 units
# in the last place of the sum of |f|.
set ::kardum::quad::RoundingFloor [expr {100 * 2.220446049250313e-16}]

# kardum::integrate command a b ?option value ...?
#
#	Integrates the command prefix `command` (called with one abscissa,
#	returning the integrand's value) from a to b; either limit may be
#	infinite.  By default each range between the limits and the
#	breakpoints of -points is mapped so that the integrand decays
#	double-exponentially (tanh-sinh on a finite piece, exp-sinh on a
#	half-infinite one, sinh-sinh on the whole line) and summed with the
#	trapezoid rule, level by level, until two levels agree; pieces that do
#	not converge are halved, the worst first.  With -method romberg the
#	trapezoid stages run in x and are extrapolated.  The helper stops once
#	the summed error is within max(-tol * |estimate|, -abstol), or fails
#	with KARDUM NOCONVERGE, the best estimate and its error.  With
#	-distance 1 the command gets a second word, the signed distance x - c
#	from the nearest limit or breakpoint c, computed without the rounding
#	of x.  With -vector 1 it is called with lists and returns a list.
proc ::kardum::integrate {command a b args} {
    set cmd kardum::integrate
    set o [Options $cmd {-method tanh-sinh -tol 1e-10 -abstol 0 -minstages {}
                         -maxstages {} -maxevals 50000 -points {} -distance 0
                         -vector 0 -error {} -info {}} $args]
    set romberg [Choice $cmd -method [dict get $o -method] {tanh-sinh romberg}]
    set a [Limit $cmd "the lower limit" $a]
    set b [Limit $cmd "the upper limit" $b]
    set tol [NonNegative $cmd -tol [dict get $o -tol]]
    set abstol [NonNegative $cmd -abstol [dict get $o -abstol]]
    set minStages [dict get $o -minstages]
    if {$minStages eq {}} {
        set minStages 4
    }
    set minStages [Integer $cmd -minstages $minStages 2 32]
    set maxStages [dict get $o -maxstages]
    if {$maxStages eq {}} {
        set maxStages [expr {max($minStages, $romberg ? 20 : 8)}]
    }
    set maxStages [Integer $cmd -maxstages $maxStages $minStages 32]
    set maxEvals [Integer $cmd -maxevals [dict get $o -maxevals] 1]
    set points [Reals $cmd -points [dict get $o -points]]
    set vector [Boolean $cmd -vector [dict get $o -vector]]
    set distance [Boolean $cmd -distance [dict get $o -distance]]
    if {[catch {llength $command} words] || $words == 0} {
        Invalid $cmd "the integrand must be a command prefix, got \"$command\""
    }
    set infinite [expr {abs($a) == Inf || abs($b) == Inf}]
    if {$romberg && $infinite} {
        Invalid $cmd "-method romberg needs finite limits, got \[$a, $b\]"
    }
    if {$romberg && abs($b - $a) == Inf} {
        Invalid $cmd "-method romberg needs a range narrower than the largest\
            double, got \[$a, $b\]"
    }
    if {$romberg && [llength $points]} {
        Invalid $cmd "-method romberg takes no -points"
    }
    if {$abstol == 0 && $tol < $quad::RoundingFloor} {
        Invalid $cmd "-tol [dict get $o -tol] is below what rounding allows: the rounding of\
            the values and of their sum alone is about [regsub {e([-+])0(\d\d)$}\
                [format %.1e $quad::RoundingFloor] {e\1\2}]\
            of the integral; ask for at least that, or give -abstol"
    }
    foreach option {-error -info} {
        if {[set name [dict get $o $option]] ne {}} {
            upvar 1 $name [string range $option 1 end]Var
            if {[array exists [string range $option 1 end]Var]} {
                Invalid $cmd "$option must name a scalar variable, \"$name\" is an array"
            }
        }
    }

    set sign 1.0
    if {$a > $b} {
        lassign [list $b $a -1.0] a b sign
    }
    set method [expr {$romberg ? "romberg" : !$infinite ? "tanh-sinh"
                      : abs($a) != Inf || abs($b) != Inf ? "exp-sinh" : "sinh-sinh"}]
    if {$a == $b} {
        set result {0.0 0.0 0 0 0 1}
    } else {
        set inside [lsort -real -unique [lmap p $points {
            if {$p <= $a || $p >= $b} continue
            set p
        }]]
        # The integrand runs in the caller's frame; its errors come back as
        # they are.
        set result [uplevel 1 [list ::kardum::quad::Run $command $a $b $inside $romberg \
                                   $tol $abstol $minStages $maxStages $vector $distance \
                                   $maxEvals]]
    }
    lassign $result estimate error evaluations stages pieces met
    set estimate [expr {$sign * $estimate}]
    if {[dict get $o -error] ne {}} {
        set errorVar $error
    }
    if {[dict get $o -info] ne {}} {
        set infoVar [dict create estimate $estimate error $error evaluations $evaluations \
                         stages $stages pieces $pieces method $method]
    }
    if {!$met} {
        set wanted [expr {max($tol * abs($estimate), $abstol)}]
        return -code error -errorcode [list KARDUM NOCONVERGE $estimate $error] \
            "$cmd: no convergence within $maxStages stages and $maxEvals evaluations:\
             best estimate $estimate, estimated error $error (tolerance $wanted)"
    }
    return $estimate
}
