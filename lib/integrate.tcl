# integrate.tcl --
#
#	kardum::integrate: an integral with its error, from the trapezoid stages
#	of KDintegTrap over the double-exponential substitution, or with
#	Romberg's extrapolation.  Its internals live in ::kardum::quad (a
#	namespace of its own, apart from the public procedure); the shared
#	checks of kardum.tcl are reached through the namespace path.  Sourced
#	by kardum.tcl.

namespace eval ::kardum::quad {
    namespace path ::kardum
}

# --- kardum::integrate -------------------------------------------------

# kardum::integrate command a b ?option value ...?
#
#	Integrates the command prefix `command` (called with one abscissa,
#	returning the integrand's value) from a to b; either limit may be
#	infinite.  By default the range is mapped onto the t axis so that the
#	integrand decays double-exponentially in t (tanh-sinh on a finite
#	range, exp-sinh on a half-infinite one, sinh-sinh on the whole line),
#	and KDintegTrap sums the trapezoid rule in t, stage by stage; the
#	helper computes every node itself from the stage and the index (the
#	words KDintegTrap passes carry only seven digits).  With -method
#	romberg the trapezoid stages run in x and are extrapolated.  Either way
#	the helper stops once its error estimate is within
#	max(-tol * |estimate|, -abstol), or fails with the best estimate and
#	its error.  With -vector 1 the command is called once per stage with
#	the list of the stage's abscissae and returns the list of values.
proc ::kardum::integrate {command a b args} {
    set cmd kardum::integrate
    set o [Options $cmd {-method tanh-sinh -tol 1e-10 -abstol 1e-12 -minstages {}
                         -maxstages {} -vector 0 -error {} -info {}} $args]
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
        set maxStages [expr {max($minStages, $romberg ? 20 : 16)}]
    }
    set maxStages [Integer $cmd -maxstages $maxStages $minStages 32]
    set vector [Boolean $cmd -vector [dict get $o -vector]]
    if {[catch {llength $command} words] || $words == 0} {
        Invalid $cmd "the integrand must be a command prefix, got \"$command\""
    }
    set infinite [expr {abs($a) == Inf || abs($b) == Inf}]
    if {$romberg && $infinite} {
        Invalid $cmd "-method romberg needs finite limits, got \[$a, $b\]"
    }
    foreach option {-error -info} {
        if {[set name [dict get $o $option]] ne {}} {
            upvar 1 $name [string range $option 1 end]Var
            if {[array exists [string range $option 1 end]Var]} {
                Invalid $cmd "$option must name a scalar variable, \"$name\" is an array"
            }
        }
    }

    # Read by the callbacks, which run one frame below this one.
    array set Integrand [list command $command stage 1 failed 0 frame [info level] \
                             evaluations 0 romberg $romberg a $a b $b]
    set sign 1.0
    if {$a > $b} {
        lassign [list $b $a -1.0] Integrand(a) Integrand(b) sign
    }
    set method romberg
    if {$a == $b} {
        set method [lindex {tanh-sinh romberg} $romberg]
        set result {0.0 0.0 0 1}
    } elseif {$romberg} {
        set result [quad::Romberg Integrand $vector $tol $abstol $minStages $maxStages]
    } else {
        # The map: 0 tanh-sinh, 1 exp-sinh up from a, 2 exp-sinh down from
        # b, 3 sinh-sinh.
        set kind [expr {!$infinite ? 0 : abs($Integrand(a)) != Inf ? 1
                        : abs($Integrand(b)) != Inf ? 2 : 3}]
        set method [lindex {tanh-sinh exp-sinh exp-sinh sinh-sinh} $kind]
        set Integrand(kind) $kind
        set Integrand(half) [expr {0.5 * $Integrand(b) - 0.5 * $Integrand(a)}]
        set result [quad::DoubleExponential Integrand $vector $tol $abstol $minStages $maxStages]
    }
    lassign $result estimate error stages met
    set estimate [expr {$sign * $estimate}]
    if {[dict get $o -error] ne {}} {
        set errorVar $error
    }
    if {[dict get $o -info] ne {}} {
        set infoVar [dict create estimate $estimate error $error \
                         evaluations $Integrand(evaluations) stages $stages method $method]
    }
    if {!$met} {
        set wanted [expr {max($tol * abs($estimate), $abstol)}]
        return -code error -errorcode [list KARDUM NOCONVERGE $estimate $error] \
            "$cmd: no convergence within $maxStages stages: best estimate\
             $estimate, estimated error $error (tolerance $wanted)"
    }
    return $estimate
}

# One trapezoid stage of KDintegTrap from lo to hi through the integrand's
# adapter, the integrand's own failure rethrown; returns the stage's sum.
proc ::kardum::quad::Stage {stateVar lo hi n previous vector} {
    # The adapters find the state one frame up, under this name.
    upvar 1 $stateVar Integrand
    set Integrand(stage) $n
    set adapter [expr {$vector ? "::kardum::quad::Vector" : "::kardum::quad::Point"}]
    set code [catch {KDintegTrap $adapter $lo $hi $n $previous $vector} sum options]
    if {$Integrand(failed)} {
        Rethrow Integrand
    }
    if {$code} {
        return -options $options $sum
    }
    if {!(abs($sum) < Inf)} {
        Invalid kardum::integrate "the integrand is not finite on\
            \[$Integrand(a), $Integrand(b)\] (stage $n gave $sum)"
    }
    return $sum
}

# Romberg: the trapezoid stages in x and their Richardson extrapolation,
# the error being the last change of the diagonal.  Returns {estimate error
# stages met}.
proc ::kardum::quad::Romberg {stateVar vector tol abstol minStages maxStages} {
    upvar 1 $stateVar Integrand
    set trap 0.0
    set row {}
    for {set n 1} {$n <= $maxStages} {incr n} {
        set trap [Stage Integrand $Integrand(a) $Integrand(b) $n $trap $vector]
        # Column m removes the error term of order h^(2m) from the one before.
        set next [list $trap]
        set f 1.0
        for {set m 1} {$m < $n} {incr m} {
            set f [expr {4.0 * $f}]
            set fine [lindex $next end]
            set coarse [lindex $row [expr {$m - 1}]]
            lappend next [expr {$fine + ($fine - $coarse) / ($f - 1.0)}]
        }
        set estimate [lindex $next end]
        set error Inf
        if {$n > 1} {
            set error [expr {abs($estimate - [lindex $row end])}]
            if {$n >= $minStages && $error <= max($tol * abs($estimate), $abstol)} {
                return [list $estimate $error $n 1]
            }
        }
        set row $next
    }
    return [list $estimate $error $maxStages 0]
}

# The double-exponential rule: trapezoid stages in t over [-T, T].  The
# error of a stage is estimated from the changes d of the last two stages:
# once they shrink (the digits double from stage to stage) by d^2 / d_prev,
# otherwise by d; never below the rounding of the sum, and with the
# integrand's size at the outermost nodes added for what lies beyond T.
# From stage 5 on, the nodes beyond the last one on each side whose
# contribution is far below the tolerance are no longer evaluated (the
# integrand decays double-exponentially there).  Returns {estimate error
# stages met}.
proc ::kardum::quad::DoubleExponential {stateVar vector tol abstol minStages maxStages} {
    upvar 1 $stateVar Integrand
    # |t| of the outermost nodes: the weights there are below 1e-30 of
    # those at the centre, the nodes within 1e-37 of a finite limit.
    set reach [expr {$Integrand(kind) == 0 ? 4.0 : 4.5}]
    array set Integrand [list reach $reach cut [list $reach $reach] nodes {} \
                             absSum 0.0 outer {0.0 0.0 0.0 0.0}]
    set sum 0.0
    set change {}
    for {set n 1} {$n <= $maxStages} {incr n} {
        set before $sum
        set sum [Stage Integrand -$reach $reach $n $sum $vector]
        set h [expr {2.0 * $reach / (1 << ($n - 1))}]
        set l1 [expr {$h * $Integrand(absSum)}]
        set error Inf
        if {$n > 1} {
            set previous $change
            set change [expr {abs($sum - $before)}]
            set error $change
            if {$previous ne {} && $change < $previous && $previous <= 0.1 * $l1} {
                set error [expr {$change * $change / $previous}]
            }
            lassign $Integrand(outer) - gLeft - gRight
            set error [expr {max($error, 1e-14 * $l1) + $gLeft + $gRight}]
        }
        set wanted [expr {max($tol * abs($sum), $abstol)}]
        if {$n >= max($minStages, 3) && $error <= $wanted} {
            return [list $sum $error $n 1]
        }
        if {$n >= 5} {
            Cut Integrand [expr {1e-3 * $wanted}]
        }
    }
    return [list $sum $error $maxStages 0]
}

# Narrows the range of t in which later stages evaluate the integrand: on
# each side, past the outermost node whose |f w| exceeds `small`, nodes
# beyond the next one out are skipped.
proc ::kardum::quad::Cut {stateVar small} {
    upvar 1 $stateVar s
    if {$small <= 0.0} {
        return
    }
    set cut {}
    foreach side {-1 1} limit $s(cut) {
        set beyond $limit
        foreach {t g} [lsort -real -stride 2 -index 0 \
                           -[expr {$side < 0 ? "increasing" : "decreasing"}] $s(nodes)] {
            if {$t * $side <= 0.0} {
                break
            }
            if {$g > $small} {
                break
            }
            set beyond [expr {abs($t)}]
        }
        lappend cut [expr {min($limit, $beyond)}]
    }
    set s(cut) $cut
}

# Abscissa and weight of the node at t of the double-exponential map, or
# "" for a node that rounds onto a limit or lies beyond the doubles.
proc ::kardum::quad::Node {s t} {
    upvar 1 $s state
    set v [expr {1.5707963267948966 * sinh($t)}]
    switch -- $state(kind) {
        0 {
            # x = centre + half tanh(v), measured from the nearer limit.
            set e [expr {exp(-2.0 * abs($v))}]
            set gap [expr {$state(half) * 2.0 * $e / (1.0 + $e)}]
            set x [expr {$t < 0 ? $state(a) + $gap : $state(b) - $gap}]
            if {$x <= $state(a) || $x >= $state(b)} {
                return {}
            }
            set w [expr {$state(half) * 1.5707963267948966 * cosh($t)
                         * 4.0 * $e / ((1.0 + $e) * (1.0 + $e))}]
        }
        1 - 2 {
            if {$v > 700.0} {
                return {}
            }
            set e [expr {exp($v)}]
            set x [expr {$state(kind) == 1 ? $state(a) + $e : $state(b) - $e}]
            if {$x == $state(a) || $x == $state(b)} {
                return {}
            }
            set w [expr {1.5707963267948966 * cosh($t) * $e}]
        }
        default {
            if {abs($v) > 700.0} {
                return {}
            }
            set x [expr {sinh($v)}]
            set w [expr {1.5707963267948966 * cosh($t) * cosh($v)}]
        }
    }
    list $x $w
}

# Node i of the k nodes of stage n: its t, or "" when it is skipped.
proc ::kardum::quad::NodeT {s n k i} {
    upvar 1 $s state
    set reach $state(reach)
    if {$n == 1} {
        return [expr {$i == 0 ? -$reach : $reach}]
    }
    set t [expr {$reach * ((2.0 * $i + 1.0) / $k - 1.0)}]
    lassign $state(cut) left right
    if {$t < -$left || $t > $right} {
        return {}
    }
    return $t
}

# Records the term g = f w found at t: the sum of |g|, the outermost term
# on each side, the node list of Cut.
proc ::kardum::quad::Record {s t g} {
    upvar 1 $s state
    set g [expr {abs($g)}]
    set state(absSum) [expr {$state(absSum) + $g}]
    lappend state(nodes) $t $g
    lassign $state(outer) tLeft gLeft tRight gRight
    if {$t < 0.0 && $t <= $tLeft} {
        set state(outer) [list $t $g $tRight $gRight]
    } elseif {$t > 0.0 && $t >= $tRight} {
        set state(outer) [list $tLeft $gLeft $t $g]
    }
}

# Abscissa i of stage n (k points) of the Romberg stages, computed in full
# precision.
proc ::kardum::quad::Abscissa {a b n k i} {
    if {$n == 1} {
        return [expr {$i == 0 ? $a : $b}]
    }
    return [expr {$a + ($b - $a) * ((2.0 * $i + 1.0) / (2.0 * $k))}]
}

# The integrand's value at x as a number, or "" after a failure.
proc ::kardum::quad::Value {x} {
    upvar 2 Integrand s
    incr s(evaluations)
    if {![Call Integrand $s(frame) $s(command) [list $x] value]} {
        return {}
    }
    set number [Answer $value]
    if {$number eq {}} {
        NotNumber $s(frame) $value $x
    }
    return $number
}

proc ::kardum::quad::NotNumber {frame value x} {
    Failed Integrand $frame "kardum::integrate: the integrand returned\
        \"$value\" at x = $x, not a number" {-errorcode {KARDUM VALUE}}
}

# Point mode: set InTg [::kardum::quad::Point x h k i]
proc ::kardum::quad::Point {x h k i} {
    upvar 1 Integrand s
    if {$s(failed)} {
        return 0.0
    }
    if {$s(romberg)} {
        set f [Value [Abscissa $s(a) $s(b) $s(stage) $k $i]]
        return [expr {$f eq {} ? 0.0 : $f}]
    }
    set t [NodeT s $s(stage) $k $i]
    if {$t eq {} || [set node [Node s $t]] eq {}} {
        return 0.0
    }
    lassign $node x w
    set f [Value $x]
    if {$f eq {}} {
        return 0.0
    }
    set g [expr {$f * $w}]
    Record s $t $g
    return $g
}

# Vector mode: set InTg [::kardum::quad::Vector x0 h k -1 OuT]; fills OuT.
proc ::kardum::quad::Vector {x0 h k flag out} {
    upvar 1 Integrand s $out o
    for {set i 0} {$i < $k} {incr i} {
        set o($i) 0.0
    }
    if {$s(failed)} {
        return
    }
    set xs {}
    set places {}
    for {set i 0} {$i < $k} {incr i} {
        if {$s(romberg)} {
            lappend xs [Abscissa $s(a) $s(b) $s(stage) $k $i]
            lappend places $i 1.0 {}
        } elseif {[set t [NodeT s $s(stage) $k $i]] ne {} && [set node [Node s $t]] ne {}} {
            lappend xs [lindex $node 0]
            lappend places $i [lindex $node 1] $t
        }
    }
    if {$xs eq {}} {
        return
    }
    incr s(evaluations) [llength $xs]
    if {![Call Integrand $s(frame) $s(command) [list $xs] values]} {
        return
    }
    if {[catch {llength $values} length] || $length != [llength $xs]} {
        Failed Integrand $s(frame) "kardum::integrate: the integrand returned\
            [expr {[string is integer -strict $length] ? $length : "no list of"}]\
            values for [Count [llength $xs] abscissa abscissae]" {-errorcode {KARDUM VALUE}}
        return
    }
    foreach value $values x $xs {i w t} $places {
        set number [Answer $value]
        if {$number eq {}} {
            NotNumber $s(frame) $value $x
            return
        }
        set o($i) [expr {$number * $w}]
        if {$t ne {}} {
            Record s $t $o($i)
        }
    }
}
