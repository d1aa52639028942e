# kardum.tcl --
#
#	Script-level helpers over the commands of Kardum_C, for what every
#	script would otherwise write by hand:
#
#	kardum::integrate  an integral with its error, from the trapezoid
#	                   stages of KDintegTrap over the double-exponential
#	                   substitution (or Romberg's extrapolation)
#	kardum::nlfit      a Levenberg-Marquardt fit driven through
#	                   KDdataNLinLSq to convergence, optionally within
#	                   bounds
#	kardum::gridfill   records binned and the empty cells filled as
#	                   KDdataGrid and KDgridFill2D do, on C++ buffers,
#	                   with a guard against unsupported values and
#	                   further passes until the grid is complete
#	kardum::readxyz, kardum::gridwrite, kardum::gridimage
#	                   records from a text file, a grid to an ESRI ASCII
#	                   or xyz file, a grid to a PNG picture
#
#	The helpers take Tcl lists and command prefixes, keep no state between
#	calls and leave the caller's variables (::Rnd1Seed among them) as they
#	were, so they nest (an integrand may itself integrate or fit).
#	Errors raised by a user's command stop the helper and come back with
#	their own message and errorInfo.

package require Tcl 8.6-
package require Kardum_C @PROJECT_VERSION@

namespace eval ::kardum {
    namespace export integrate nlfit gridfill readxyz gridwrite gridimage
}

# The C++ commands behind the helpers come from the library file that holds
# Kardum_C: its Kardum_Init registers their entry point, Kardumpkg_Init, with
# Tcl as a static package, which `load {}` reaches in this interpreter.
proc ::kardum::LoadCommands {} {
    if {[catch {load {} Kardumpkg} message]} {
        return -code error -errorcode {KARDUM LOAD} \
            "kardum: cannot load the package commands of Kardum_C: $message"
    }
}
::kardum::LoadCommands
rename ::kardum::LoadCommands {}
package provide kardum @PROJECT_VERSION@

# --- Option and value checks -------------------------------------------

# Reads "-name value" pairs against a dict of defaults; returns the dict.
proc ::kardum::Options {cmd defaults words} {
    set options $defaults
    foreach {name value} $words {
        if {![dict exists $defaults $name]} {
            set names [lsort [dict keys $defaults]]
            set list "[join [lrange $names 0 end-1] {, }] or [lindex $names end]"
            return -code error -errorcode {KARDUM OPTION} \
                "$cmd: unknown option \"$name\", must be $list"
        }
        if {[llength $words] % 2 && $name eq [lindex $words end]} {
            return -code error -errorcode {KARDUM OPTION} \
                "$cmd: option \"$name\" needs a value"
        }
        dict set options $name $value
    }
    return $options
}

proc ::kardum::Invalid {cmd message} {
    return -code error -errorcode {KARDUM VALUE} "$cmd: $message"
}

# A finite number, returned as a double.
proc ::kardum::Real {cmd what value} {
    if {[catch {expr {double($value)}} number] || abs($number) == Inf} {
        Invalid $cmd "$what must be a finite number, got \"$value\""
    }
    return $number
}

proc ::kardum::NonNegative {cmd what value} {
    set number [Real $cmd $what $value]
    if {$number < 0} {
        Invalid $cmd "$what must not be negative, got $value"
    }
    return $number
}

# An integer in [min, max] (max empty: no upper bound).
proc ::kardum::Integer {cmd what value min {max {}}} {
    if {![string is integer -strict $value]
            || $value < $min || ($max ne {} && $value > $max)} {
        set range [expr {$max eq {} ? "at least $min" : "from $min to $max"}]
        Invalid $cmd "$what must be an integer $range, got \"$value\""
    }
    return [expr {int($value)}]
}

proc ::kardum::Boolean {cmd what value} {
    if {![string is boolean -strict $value]} {
        Invalid $cmd "$what must be a boolean, got \"$value\""
    }
    return [expr {$value ? 1 : 0}]
}

# One of a list of words; returns its position.
proc ::kardum::Choice {cmd what value words} {
    set i [lsearch -exact $words $value]
    if {$i < 0} {
        set list "[join [lrange $words 0 end-1] {, }] or [lindex $words end]"
        Invalid $cmd "$what must be $list, got \"$value\""
    }
    return $i
}

# A list of exactly n finite numbers (any length when n is empty).
proc ::kardum::Reals {cmd what values {n {}}} {
    if {[catch {llength $values} length] || ($n ne {} && $length != $n)} {
        set count [string trim "$n numbers"]
        Invalid $cmd "$what must be a list of $count, got \"$values\""
    }
    set out {}
    set i 0
    foreach value $values {
        lappend out [Real $cmd "element $i of $what" $value]
        incr i
    }
    return $out
}

# "1 abscissa", "2 abscissae".
proc ::kardum::Count {n one many} {
    return "$n [expr {$n == 1 ? $one : $many}]"
}

# A value a user's command returned: a number (NaN is not), else "".
proc ::kardum::Answer {value} {
    if {[catch {expr {double($value)}} number]} {
        return {}
    }
    return $number
}

# Calls a user's command prefix with extra words in the frame that called
# the helper whose frame is level `frame`.  Returns 1 with the result in
# `resultVar`, or 0 with the failure recorded in that helper's state array
# `stateVar`, from where the helper rethrows it once the command of the
# library has returned (the library does not look at a callback's code).
proc ::kardum::Call {stateVar frame prefix words resultVar} {
    upvar 1 $resultVar result
    set code [catch {uplevel #[expr {$frame - 1}] [concat [lrange $prefix 0 end] $words]} \
                  result options]
    if {$code == 0 || $code == 2} {
        return 1
    }
    if {$code != 1} {
        set how [expr {$code == 3 ? "break" : $code == 4 ? "continue" : "code $code"}]
        set result "$prefix ended with $how, not with a result"
        set options {-errorcode {KARDUM VALUE}}
    }
    Failed $stateVar $frame $result $options
    return 0
}

# Records the first failure of a callback in the state array of the helper
# whose frame is level `frame`.
proc ::kardum::Failed {stateVar frame message options} {
    upvar #$frame $stateVar state
    if {!$state(failed)} {
        set state(failed) 1
        set state(message) $message
        set state(options) $options
    }
}

proc ::kardum::Rethrow {stateVar} {
    upvar 1 $stateVar state
    set options $state(options)
    dict unset options -level
    dict unset options -code
    return -code error -level 2 {*}$options $state(message)
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
        set result [Romberg Integrand $vector $tol $abstol $minStages $maxStages]
    } else {
        # The map: 0 tanh-sinh, 1 exp-sinh up from a, 2 exp-sinh down from
        # b, 3 sinh-sinh.
        set kind [expr {!$infinite ? 0 : abs($Integrand(a)) != Inf ? 1
                        : abs($Integrand(b)) != Inf ? 2 : 3}]
        set method [lindex {tanh-sinh exp-sinh exp-sinh sinh-sinh} $kind]
        set Integrand(kind) $kind
        set Integrand(half) [expr {0.5 * $Integrand(b) - 0.5 * $Integrand(a)}]
        set result [DoubleExponential Integrand $vector $tol $abstol $minStages $maxStages]
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

# A limit of integration: a number or an infinity, returned as a double.
proc ::kardum::Limit {cmd what value} {
    if {[catch {expr {double($value)}} number] || $number != $number} {
        Invalid $cmd "$what must be a number or an infinity, got \"$value\""
    }
    return $number
}

# One trapezoid stage of KDintegTrap from lo to hi through the integrand's
# adapter, the integrand's own failure rethrown; returns the stage's sum.
proc ::kardum::IntegStage {stateVar lo hi n previous vector} {
    # The adapters find the state one frame up, under this name.
    upvar 1 $stateVar Integrand
    set Integrand(stage) $n
    set adapter [expr {$vector ? "::kardum::IntegVector" : "::kardum::IntegPoint"}]
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
proc ::kardum::Romberg {stateVar vector tol abstol minStages maxStages} {
    upvar 1 $stateVar Integrand
    set trap 0.0
    set row {}
    for {set n 1} {$n <= $maxStages} {incr n} {
        set trap [IntegStage Integrand $Integrand(a) $Integrand(b) $n $trap $vector]
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
proc ::kardum::DoubleExponential {stateVar vector tol abstol minStages maxStages} {
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
        set sum [IntegStage Integrand -$reach $reach $n $sum $vector]
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
            DeCut Integrand [expr {1e-3 * $wanted}]
        }
    }
    return [list $sum $error $maxStages 0]
}

# Narrows the range of t in which later stages evaluate the integrand: on
# each side, past the outermost node whose |f w| exceeds `small`, nodes
# beyond the next one out are skipped.
proc ::kardum::DeCut {stateVar small} {
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
proc ::kardum::DeNode {s t} {
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
proc ::kardum::DeT {s n k i} {
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
# on each side, the node list of DeCut.
proc ::kardum::DeRecord {s t g} {
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
proc ::kardum::Abscissa {a b n k i} {
    if {$n == 1} {
        return [expr {$i == 0 ? $a : $b}]
    }
    return [expr {$a + ($b - $a) * ((2.0 * $i + 1.0) / (2.0 * $k))}]
}

# The integrand's value at x as a number, or "" after a failure.
proc ::kardum::IntegValue {x} {
    upvar 2 Integrand s
    incr s(evaluations)
    if {![Call Integrand $s(frame) $s(command) [list $x] value]} {
        return {}
    }
    set number [Answer $value]
    if {$number eq {}} {
        IntegNotNumber $s(frame) $value $x
    }
    return $number
}

proc ::kardum::IntegNotNumber {frame value x} {
    Failed Integrand $frame "kardum::integrate: the integrand returned\
        \"$value\" at x = $x, not a number" {-errorcode {KARDUM VALUE}}
}

# Point mode: set InTg [::kardum::IntegPoint x h k i]
proc ::kardum::IntegPoint {x h k i} {
    upvar 1 Integrand s
    if {$s(failed)} {
        return 0.0
    }
    if {$s(romberg)} {
        set f [IntegValue [Abscissa $s(a) $s(b) $s(stage) $k $i]]
        return [expr {$f eq {} ? 0.0 : $f}]
    }
    set t [DeT s $s(stage) $k $i]
    if {$t eq {} || [set node [DeNode s $t]] eq {}} {
        return 0.0
    }
    lassign $node x w
    set f [IntegValue $x]
    if {$f eq {}} {
        return 0.0
    }
    set g [expr {$f * $w}]
    DeRecord s $t $g
    return $g
}

# Vector mode: set InTg [::kardum::IntegVector x0 h k -1 OuT]; fills OuT.
proc ::kardum::IntegVector {x0 h k flag out} {
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
        } elseif {[set t [DeT s $s(stage) $k $i]] ne {} && [set node [DeNode s $t]] ne {}} {
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
            IntegNotNumber $s(frame) $value $x
            return
        }
        set o($i) [expr {$number * $w}]
        if {$t ne {}} {
            DeRecord s $t $o($i)
        }
    }
}

# --- kardum::nlfit -----------------------------------------------------

# kardum::nlfit model xs ys params ?option value ...?
#
#	Fits the parameters of `model` to the points (xs, ys) with
#	KDdataNLinLSq, one Levenberg-Marquardt step per call, until an accepted
#	step changes chi-square by at most -tol and every parameter by at most
#	-xtol of its value, or the gradient of chi-square has become negligible
#	(-gtol), or chi-square is 0; then makes the finishing call for the
#	covariance.  The model prefix is called with one element of xs and the
#	list of parameters and returns the model value followed by its m
#	partial derivatives, or with -derivatives numeric the value alone.
#	-bounds maps each bounded parameter onto an unbounded one by a smooth
#	change of variables; the errors and the covariance are mapped back.
#	Returns a dict: parameters, errors, chisquare, covariance (a list of
#	rows), dof, steps, reason, and on request fitted and residuals.
proc ::kardum::nlfit {model xs ys params args} {
    set cmd kardum::nlfit
    set o [Options $cmd {-sigma {} -hold {} -bounds {} -maxsteps 10000 -tol 1e-12
                         -xtol 1e-10 -gtol 1e-10 -lambda 0.001
                         -derivatives analytic -residuals 0 -best {}} $args]
    if {[catch {llength $model} words] || $words == 0} {
        Invalid $cmd "the model must be a command prefix, got \"$model\""
    }
    if {[catch {llength $xs} n]} {
        Invalid $cmd "the abscissae must be a list, got \"$xs\""
    }
    if {$n == 0} {
        Invalid $cmd "there are no data points"
    }
    set ys [Reals $cmd "the values" $ys $n]
    set params [Reals $cmd "the parameters" $params]
    set m [llength $params]
    if {$m == 0} {
        Invalid $cmd "there are no parameters"
    }
    set sigma [dict get $o -sigma]
    set absolute [expr {[llength $sigma] > 0}]
    if {$absolute} {
        set sigma [Reals $cmd -sigma $sigma $n]
        foreach s $sigma {
            if {$s <= 0} {
                Invalid $cmd "-sigma values must be positive, got $s"
            }
        }
    }
    set flags [lrepeat $m 1]
    foreach j [dict get $o -hold] {
        lset flags [Integer $cmd "a -hold index" $j 0 [expr {$m - 1}]] 0
    }
    set f [expr [join $flags +]]
    if {$f == 0} {
        Invalid $cmd "every parameter is held"
    }
    set bounds [NlinBounds $cmd [dict get $o -bounds] $params $flags]
    set maxSteps [Integer $cmd -maxsteps [dict get $o -maxsteps] 1]
    set tol [NonNegative $cmd -tol [dict get $o -tol]]
    set xtol [NonNegative $cmd -xtol [dict get $o -xtol]]
    set gtol [NonNegative $cmd -gtol [dict get $o -gtol]]
    set lambda [Real $cmd -lambda [dict get $o -lambda]]
    if {$lambda <= 0 || $lambda > 0.9} {
        Invalid $cmd "-lambda must lie in (0, 0.9], got [dict get $o -lambda]"
    }
    set numeric [Choice $cmd -derivatives [dict get $o -derivatives] {analytic numeric}]
    set residuals [Boolean $cmd -residuals [dict get $o -residuals]]
    if {[set bestName [dict get $o -best]] ne {}} {
        upvar 1 $bestName bestVar
        if {[array exists bestVar]} {
            Invalid $cmd "-best must name a scalar variable, \"$bestName\" is an array"
        }
    }

    # The arrays of KDdataNLinLSq, named in this frame; a bounded parameter
    # enters as its unbounded counterpart.
    for {set i 0} {$i < $n} {incr i} {
        set V($i) [lindex $ys $i]
        set SiG($i) [expr {$absolute ? [lindex $sigma $i] : 1.0}]
    }
    for {set j 0} {$j < $m} {incr j} {
        set Par($j) [NlinInner [lindex $bounds $j] [lindex $params $j]]
        set iPar($j) [lindex $flags $j]
    }
    set size [expr {4 * $m * $m + 2 * $m + 5}]
    for {set k 0} {$k < $size} {incr k} {
        set Work($k) 0.0
    }
    set Work(0) [expr {-$lambda}]

    # Read by the model callback, which runs in the frame of
    # ::kardum::NlinStep below this one (linked to these arrays).
    set names {}
    for {set j 0} {$j < $m} {incr j} {
        lappend names d($j)
    }
    array set Fit [list model $model x $xs m $m flags $flags bounds $bounds \
                       numeric $numeric failed 0 frame [info level] names $names \
                       level #[expr {[info level] - 1}] \
                       mapped [lsearch -all -not -exact $bounds {}] p {} factors {}]
    NlinState Fit

    set callback [expr {$numeric ? "::kardum::NlinNumericPoint"
                        : "::kardum::NlinPoint \$Fit(state) \$Work(4)"}]
    # The size of the data in chi-square's units.
    set scale2 0.0
    foreach y $ys s [expr {$absolute ? $sigma : [lrepeat $n 1.0]}] {
        set scale2 [expr {$scale2 + ($y / $s) ** 2}]
    }
    set steps 0
    set failure {}
    # Bounded parameters that reached a bound are pinned there and held
    # (the change of variables is flat at a bound, which would stall the
    # others); one that then pulls inward is let go once.
    set pinned {}
    set released {}
    while 1 {
        set reason {}
        set previous [NlinOuter $bounds [array get Par] $m]
        set start $steps
        while {$reason eq {}} {
            if {$steps >= $maxSteps} {
                set failure maxsteps
                break
            }
            set before $Work(2)
            set lambdaBefore [expr {$steps > $start ? $Work(0) : $lambda}]
            NlinStep $n $m $callback
            if {$Fit(failed)} {
                Rethrow Fit
            }
            incr steps
            set after $Work(2)
            if {$Work(0) < $lambdaBefore} {
                # An accepted step.  The first call starts the fit and
                # steps once, so it has no chi-square of its own to compare
                # with.
                if {[set reached [NlinAtBound $bounds [array get Par] $flags]] ne {}} {
                    foreach j $reached {
                        set Par($j) [NlinPin [lindex $bounds $j] $Par($j)]
                        lset flags $j 0
                        set iPar($j) 0
                        lappend pinned $j
                    }
                    set reason restart
                    break
                }
                set now [NlinOuter $bounds [array get Par] $m]
                if {$after == 0.0} {
                    set reason exact
                } elseif {$steps > $start + 1 && $before - $after <= $tol * $after
                          && [NlinSmallStep $previous $now $xtol]} {
                    set reason tolerance
                } elseif {[NlinGradient Work $m $flags] <= $gtol} {
                    set reason gradient
                }
                set previous $now
            } elseif {$Work(0) > 1e10} {
                # No step lowers chi-square any more: a minimum to
                # rounding, unless the gradient says otherwise (residuals
                # at the rounding of the data have no meaningful gradient).
                if {$after == 0.0} {
                    set reason exact
                } elseif {[NlinGradient Work $m $flags] <= sqrt($gtol)
                          || $after <= 1e-20 * $scale2} {
                    set reason rounding
                } else {
                    set failure stalled
                    break
                }
            }
        }
        if {$failure eq {} && $reason ne "restart" && $pinned ne {}} {
            # A pinned parameter whose gradient points inward goes free.
            foreach j [NlinInward $pinned $released $bounds [array get Par] $m \
                           $xs $ys $sigma $absolute $gtol] {
                set Par($j) [NlinUnpin [lindex $bounds $j] $Par($j)]
                lset flags $j 1
                set iPar($j) 1
                lappend released $j
                set pinned [lsearch -all -inline -not -exact $pinned $j]
                set reason restart
            }
        }
        if {$reason ne "restart"} {
            break
        }
        set Fit(flags) $flags
        if {[expr [join $flags +]] == 0} {
            # Every fitted parameter is on a bound.
            set reason bounds
            break
        }
        for {set k 0} {$k < $size} {incr k} {
            set Work($k) 0.0
        }
        set Work(0) [expr {-$lambda}]
    }
    set chi2 $Work(2)
    if {!($chi2 < Inf)} {
        set failure notfinite
    }
    set best [dict create parameters [NlinOuter $bounds [array get Par] $m] \
                  chisquare $chi2 steps $steps reason [expr {$failure ne {} ? $failure : $reason}]]
    if {$bestName ne {}} {
        set bestVar $best
    }
    if {$failure eq "notfinite"} {
        return -code error -errorcode {KARDUM VALUE} \
            "$cmd: chi-square is $chi2 at the best parameters found: the model\
             is not finite there"
    }
    if {$failure eq "maxsteps"} {
        return -code error -errorcode {KARDUM NOCONVERGE maxsteps} \
            "$cmd: no convergence within [Count $maxSteps step steps] (chi-square\
             $chi2, lambda $Work(0))"
    }

    set free [expr [join $flags +]]
    if {$free} {
        set Work(0) 0.0
        NlinStep $n $m $callback
    }
    if {$failure eq "stalled"} {
        # A curvature matrix that cannot be inverted rejects every step.
        for {set k [expr {$m + 5}]} {$k < $m * $m + $m + 5} {incr k} {
            if {[Answer $Work($k)] eq {}} {
                NlinSingular $cmd {}
            }
        }
        return -code error -errorcode {KARDUM NOCONVERGE stalled} \
            "$cmd: no step lowers chi-square $chi2 any more, yet its gradient is\
             not negligible (after [Count $steps step steps]; are the derivatives right?)"
    }

    # The covariance of the inner parameters (pinned ones held), then
    # through the Jacobian of the change of variables onto the user's.
    lassign [NlinOuterFactors $bounds [array get Par] $m] parameters factors
    set dof [expr {$n - $free}]
    set scale [expr {!$absolute && $dof > 0 ? $chi2 / $dof : 1.0}]
    set errors {}
    set rows {}
    for {set j 0} {$j < $m} {incr j} {
        set row {}
        for {set k 0} {$k < $m} {incr k} {
            set c [expr {$free ? [Answer $Work([expr {$m + 5 + $j * $m + $k}])] : 0.0}]
            if {$c eq {}} {
                NlinSingular $cmd {}
            }
            lappend row [expr {$scale * [lindex $factors $j] * [lindex $factors $k] * $c}]
        }
        lappend rows $row
        set variance [lindex $row $j]
        if {$variance < 0} {
            NlinSingular $cmd " (parameter $j has the variance $variance)"
        }
        lappend errors [expr {sqrt($variance)}]
    }
    set result [dict create parameters $parameters errors $errors chisquare $chi2 \
                    covariance $rows dof $dof steps $steps reason $reason]
    if {[dict get $o -bounds] ne {}} {
        dict set result atbound [lsort -integer $pinned]
    }
    if {$residuals} {
        set fitted {}
        set differences {}
        foreach x $xs y $ys {
            set answer [uplevel 1 [linsert $model end $x $parameters]]
            set value [Answer [lindex $answer 0]]
            if {$value eq {}} {
                Invalid $cmd "the model returned \"$answer\" at x = $x, not a number"
            }
            lappend fitted $value
            lappend differences [expr {$y - $value}]
        }
        dict set result fitted $fitted
        dict set result residuals $differences
    }
    return $result
}

# The error of a covariance that cannot be formed, the best fit handed to
# the variable of -best first.
# One call of KDdataNLinLSq on the arrays of kardum::nlfit, from a frame
# that holds little else: the model callback looks its variables up by name
# once per point.
proc ::kardum::NlinStep {n m callback} {
    upvar 1 V V SiG SiG Par Par iPar iPar Work Work Fit Fit
    KDdataNLinLSq V SiG $n Par iPar $m $callback Work
}

proc ::kardum::NlinSingular {cmd detail} {
    upvar 1 bestName bestName best best
    if {$bestName ne {}} {
        upvar 1 bestVar out
        dict set best reason singular
        set out $best
    }
    return -code error -level 2 -errorcode {KARDUM SINGULAR} \
        "$cmd: the curvature matrix is singular$detail: the data do not\
         determine every fitted parameter"
}

# Checks -bounds: empty, or one {lower upper} pair per parameter, either
# infinite; a fitted parameter must start strictly inside its bounds.
# Returns per parameter "" (no change of variables) or {kind lower upper},
# kind 2 for two bounds, 1 for a lower, -1 for an upper one.
proc ::kardum::NlinBounds {cmd bounds params flags} {
    if {$bounds eq {}} {
        return [lrepeat [llength $params] {}]
    }
    set m [llength $params]
    if {[catch {llength $bounds} length] || $length != $m} {
        Invalid $cmd "-bounds must be a list of [Count $m pair pairs] {lower upper},\
            got \"$bounds\""
    }
    set out {}
    set j 0
    foreach pair $bounds p $params flag $flags {
        if {[catch {llength $pair} length] || $length != 2} {
            Invalid $cmd "-bounds of parameter $j must be {lower upper}, got \"$pair\""
        }
        set lo [Limit $cmd "the lower bound of parameter $j" [lindex $pair 0]]
        set hi [Limit $cmd "the upper bound of parameter $j" [lindex $pair 1]]
        if {!($lo < $hi)} {
            Invalid $cmd "-bounds of parameter $j must have its lower bound below\
                its upper one, got \"$pair\""
        }
        if {$flag && !($lo < $p && $p < $hi)} {
            Invalid $cmd "parameter $j must start strictly inside its -bounds\
                \"$pair\", got $p"
        }
        set kind [expr {$lo > -Inf ? ($hi < Inf ? 2 : 1) : ($hi < Inf ? -1 : 0)}]
        lappend out [expr {$kind && $flag ? [list $kind $lo $hi] : {}}]
        incr j
    }
    return $out
}

# The inner (unbounded) value of a parameter p under its bounds.
proc ::kardum::NlinInner {bound p} {
    if {$bound eq {}} {
        return $p
    }
    lassign $bound kind lo hi
    switch -- $kind {
        2 {return [expr {asin(max(-1.0, min(1.0, 2.0 * ($p - $lo) / ($hi - $lo) - 1.0)))}]}
        1 {return [expr {sqrt(($p - $lo + 1.0) ** 2 - 1.0)}]}
        default {return [expr {sqrt(($hi - $p + 1.0) ** 2 - 1.0)}]}
    }
}

# The user's value of an inner one u, and the derivative dp/du.
proc ::kardum::NlinMap {bound u} {
    if {$bound eq {}} {
        return [list $u 1.0]
    }
    lassign $bound kind lo hi
    switch -- $kind {
        2 {
            set p [expr {$lo + ($hi - $lo) * (sin($u) + 1.0) / 2.0}]
            set dp [expr {($hi - $lo) / 2.0 * cos($u)}]
        }
        1 {
            set r [expr {sqrt($u * $u + 1.0)}]
            set p [expr {$lo - 1.0 + $r}]
            set dp [expr {$u / $r}]
        }
        default {
            set r [expr {sqrt($u * $u + 1.0)}]
            set p [expr {$hi + 1.0 - $r}]
            set dp [expr {-$u / $r}]
        }
    }
    # Rounding may carry p onto a bound, never past it.
    list [expr {min($hi, max($lo, $p))}] $dp
}

# The user's parameters and the derivatives dp/du, from an array list of
# the inner ones.
proc ::kardum::NlinOuterFactors {bounds pairs m} {
    array set inner $pairs
    set ps {}
    set factors {}
    for {set j 0} {$j < $m} {incr j} {
        lassign [NlinMap [lindex $bounds $j] $inner($j)] p dp
        lappend ps $p
        lappend factors $dp
    }
    list $ps $factors
}

proc ::kardum::NlinOuter {bounds pairs m} {
    lindex [NlinOuterFactors $bounds $pairs $m] 0
}

# True when no parameter moved by more than xtol of its size.
proc ::kardum::NlinSmallStep {before after xtol} {
    foreach p $before q $after {
        if {abs($q - $p) > $xtol * (abs($q) + $xtol)} {
            return 0
        }
    }
    return 1
}

# The size of chi-square's gradient at the best parameters: the largest
# cosine between the residuals and a fitted parameter's derivatives,
# |beta_r| / sqrt(alpha_rr chi-square) (0 when chi-square is 0).
proc ::kardum::NlinGradient {workVar m flags} {
    upvar 1 $workVar w
    set f [expr [join $flags +]]
    set chi2 $w(2)
    set a [expr {$m * $m + $m + 5}]
    set b [expr {2 * $m * $m + $m + 5}]
    set worst 0.0
    set r 0
    set j 0
    foreach flag $flags {
        if {$flag} {
            set beta [expr {abs($w([expr {$b + $r}]))}]
            set scale [expr {sqrt(abs($w([expr {$a + $r * ($f + 1)}])) * $chi2)}]
            if {!($beta < Inf && $scale < Inf)} {
                # An overflow (or NaN) in the sums: no gradient to speak of.
                return Inf
            }
            if {$beta > 0.0} {
                set worst [expr {$scale > 0.0 ? max($worst, $beta / $scale) : Inf}]
            }
            incr r
        }
        incr j
    }
    return $worst
}

# The fitted parameters that ended on a bound, where the change of
# variables is flat and the data say nothing about the inner value.
proc ::kardum::NlinAtBound {bounds pairs flags} {
    array set inner $pairs
    set out {}
    set j 0
    foreach bound $bounds flag $flags {
        if {$bound ne {} && $flag} {
            set u $inner($j)
            set slope [expr {[lindex $bound 0] == 2 ? abs(cos($u)) : abs($u) / sqrt($u * $u + 1.0)}]
            if {$slope < 1e-3} {
                lappend out $j
            }
        }
        incr j
    }
    return $out
}

# The inner value that puts a bounded parameter exactly on the bound it
# reached.
proc ::kardum::NlinPin {bound u} {
    if {[lindex $bound 0] == 2} {
        return [expr {sin($u) > 0.0 ? 1.5707963267948966 : -1.5707963267948966}]
    }
    return 0.0
}

# The inner value of a point just inside the bound a pinned parameter is on.
proc ::kardum::NlinUnpin {bound u} {
    lassign $bound kind lo hi
    if {$kind == 2} {
        return [expr {$u > 0.0 ? 1.5 : -1.5}]
    }
    return 0.1
}

# The pinned parameters (not released before) whose derivative of
# chi-square points into their bounds by more than sqrt(gtol), from one
# pass of the model at the parameters (numeric derivatives step inward).
proc ::kardum::NlinInward {pinned released bounds pairs m xs ys sigma absolute gtol} {
    set candidates {}
    foreach j $pinned {
        if {$j ni $released} {
            lappend candidates $j
        }
    }
    if {$candidates eq {}} {
        return {}
    }
    upvar 1 Fit fit
    set p [NlinOuter $bounds $pairs $m]
    set chi2 0.0
    foreach j $candidates {
        set g($j) 0.0
        set a($j) 0.0
    }
    set i 0
    foreach x $xs y $ys {
        set s [expr {$absolute ? [lindex $sigma $i] : 1.0}]
        set answer [uplevel 2 [linsert $fit(model) end $x $p]]
        set value [lindex $answer 0]
        foreach j $candidates {
            if {$fit(numeric)} {
                # Inward from a lower bound up, from an upper one down.
                lassign [lindex $bounds $j] kind lo hi
                set pj [lindex $p $j]
                set inward [expr {$pj == $lo ? 1.0 : -1.0}]
                set h [expr {$inward * 6.055454452393343e-06 * ($pj == 0.0 ? 1.0 : abs($pj))}]
                set moved [uplevel 2 [linsert $fit(model) end $x [lreplace $p $j $j [expr {$pj + $h}]]]]
                set dj [expr {([lindex $moved 0] - $value) / $h}]
            } else {
                set dj [lindex $answer [expr {$j + 1}]]
            }
            set g($j) [expr {$g($j) + ($y - $value) * $dj / ($s * $s)}]
            set a($j) [expr {$a($j) + $dj * $dj / ($s * $s)}]
        }
        set chi2 [expr {$chi2 + (($y - $value) / $s) ** 2}]
        incr i
    }
    set out {}
    foreach j $candidates {
        lassign [lindex $bounds $j] kind lo hi
        set inward [expr {[lindex $p $j] == $lo ? 1.0 : -1.0}]
        if {$inward * $g($j) > sqrt($gtol) * sqrt($a($j) * $chi2)} {
            lappend out $j
        }
    }
    return $out
}

# The model callback for -derivatives numeric:
#     set FuncRet [ ::kardum::NlinNumericPoint nPar dYdA Work ]
# Takes the point from Work(4) and the parameters from Work(5 ...), calls
# the user's model 2f + 1 times and sets dYdA(0 ... nPar-1).  (Models with
# derivatives go through ::kardum::NlinPoint, the same steps in C++.)
proc ::kardum::NlinNumericPoint {nPar dYdA work} {
    upvar 1 Fit fit $dYdA d $work w
    if {$fit(failed)} {
        return [NlinZero]
    }
    if {$w(4) == 0} {
        NlinPass fit $nPar w
    }
    return [NlinNumeric [lindex $fit(x) $w(4)] $nPar]
}

# At the first point of a pass (the state in the array fitVar): the user's parameters the pass is made at,
# and the derivatives dp/du of the change of variables, into Fit(p) and
# Fit(factors).
proc ::kardum::NlinPass {fitVar nPar work} {
    upvar 1 $fitVar fit $work w
    set inner {}
    for {set j 0} {$j < $nPar} {incr j} {
        lappend inner $j $w([expr {$j + 5}])
    }
    lassign [NlinOuterFactors $fit(bounds) $inner $nPar] fit(p) fit(factors)
    NlinState fit
}

# The state list ::kardum::NlinPoint reads: {model level xs mapped factors
# p failed uplevel indices}.
proc ::kardum::NlinState {fitVar} {
    upvar 1 $fitVar fit
    set indices {}
    for {set j 0} {$j < $fit(m)} {incr j} {
        lappend indices $j
    }
    set fit(state) [list $fit(model) $fit(level) $fit(x) $fit(mapped) $fit(factors) \
                        $fit(p) $fit(failed) ::uplevel $indices]
}

# Keeps the failure of a model (code, message, return options).
proc ::kardum::NlinRecord {code answer options} {
    upvar 1 Fit fit
    NlinFailed $code $answer $options
    NlinState fit
}

# Words the complaint about an answer that is not the value and nPar
# derivatives.
proc ::kardum::NlinCheck {x answer nPar} {
    upvar 1 Fit fit
    if {[catch {llength $answer} length] || $length != $nPar + 1} {
        set message "kardum::nlfit: the model returned \"$answer\" at x = $x; it must\
            return its value and [Count $nPar derivative derivatives] (or use\
            -derivatives numeric)"
    } else {
        set message "kardum::nlfit: the model returned \"$answer\" at x = $x, not a\
            list of numbers"
    }
    Failed Fit $fit(frame) $message {-errorcode {KARDUM VALUE}}
    NlinState fit
}

# After a failure: derivatives 0, value 0.
proc ::kardum::NlinZero {} {
    upvar 1 fit fit d d
    foreach name $fit(names) {
        set $name 0.0
    }
    return 0.0
}

# Records a model that ended with an error or an unusual code.
proc ::kardum::NlinFailed {code answer options} {
    upvar 1 fit fit
    if {$code != 1} {
        set how [expr {$code == 3 ? "break" : $code == 4 ? "continue" : "code $code"}]
        set answer "$fit(model) ended with $how, not with a result"
        set options {-errorcode {KARDUM VALUE}}
    }
    Failed Fit $fit(frame) $answer $options
}

# Central differences, with a step relative to each parameter, for the
# point x at the parameters of the pass (one-sided where a step would
# cross a bound); sets d and returns the value.
proc ::kardum::NlinNumeric {x nPar} {
    upvar 1 fit fit d d
    set p $fit(p)
    if {[set y [NlinValue $x $p]] eq {}} {
        return 0.0
    }
    for {set j 0} {$j < $nPar} {incr j} {
        set d($j) 0.0
        if {![lindex $fit(flags) $j]} {
            continue
        }
        set pj [lindex $p $j]
        set h [expr {6.055454452393343e-06 * ($pj == 0.0 ? 1.0 : abs($pj))}]
        set up [expr {$pj + $h}]
        set down [expr {$pj - $h}]
        if {[set bound [lindex $fit(bounds) $j]] ne {}} {
            # Within the bounds: one-sided next to one.
            lassign $bound - lo hi
            set up [expr {min($up, $hi)}]
            set down [expr {max($down, $lo)}]
        }
        if {[set yUp [NlinValue $x [lreplace $p $j $j $up]]] eq {}
                || [set yDown [NlinValue $x [lreplace $p $j $j $down]]] eq {}} {
            return 0.0
        }
        set d($j) [expr {($yUp - $yDown) / ($up - $down) * [lindex $fit(factors) $j]}]
    }
    return $y
}

# The model's value alone (-derivatives numeric), or "" after a failure.
proc ::kardum::NlinValue {x p} {
    upvar 2 fit fit
    set code [catch {uplevel $fit(level) [linsert $fit(model) end $x $p]} answer options]
    if {$code != 0 && $code != 2} {
        NlinFailed $code $answer $options
        return {}
    }
    set number [Answer $answer]
    if {$number eq {}} {
        Failed Fit $fit(frame) "kardum::nlfit: the model returned \"$answer\"\
            at x = $x, not a number" {-errorcode {KARDUM VALUE}}
    }
    return $number
}

# --- kardum::gridfill --------------------------------------------------

# kardum::gridfill records ?option value ...?
#
#	Bins records onto a regular grid as KDdataGrid does and fills the
#	empty cells with the fill of KDgridFill2D, from named options, all in
#	C++ on one buffer of doubles (::kardum::GridCompute).  A record is
#	{x y z} (a point) or {x1 x2 y1 y2 z} (a footprint); the records may be
#	a list or what kardum::readxyz returns.  Returns the grid as a list of
#	ny rows of nx values, row iy holding the cells ix = 0 ... nx-1; a cell
#	that stays empty holds the -empty value.  The list is a grid value
#	that keeps its buffer: kardum::gridwrite and kardum::gridimage read
#	it without making its text.
#
#	Sound and complete by default (pkg/GuardedFill.cpp does the work): a
#	filled value outside the range of the values it was fitted from,
#	widened by -guardmargin times their spread, is fitted again at a lower
#	degree (-guard); cells left empty are filled in further passes with a
#	doubled radius, half the quadrants and one degree less each, up to
#	-maxradius (-complete).  The random table comes from -seed, never from
#	::Rnd1Seed.  -report names a variable that receives the counts;
#	-crossvalidate k returns the RMS of the k-fold prediction errors
#	instead of the grid.
proc ::kardum::gridfill {records args} {
    set cmd kardum::gridfill
    set o [Options $cmd {-extent {} -cells {} -binning {} -range {}
                         -ignorezeros 0 -fill 1 -radius 4 -quadrants 4
                         -perquadrant 1 -degree 1 -power 1 -cap none
                         -margins {0 0 0 0} -boundary open -empty {}
                         -guard 1 -guardmargin 0.5 -complete 1 -maxradius {}
                         -seed 566378 -report {} -sources 0
                         -crossvalidate {}} $args]

    if {[dict get $o -extent] eq {}} {
        Invalid $cmd "-extent {x0 x1 y0 y1} is required"
    }
    lassign [Reals $cmd -extent [dict get $o -extent] 4] x0 x1 y0 y1
    if {$x0 == $x1 || $y0 == $y1} {
        Invalid $cmd "-extent must span both axes, got \"[dict get $o -extent]\""
    }
    set cells [dict get $o -cells]
    if {[catch {llength $cells} length] || $length != 2} {
        Invalid $cmd "-cells {nx ny} is required, got \"$cells\""
    }
    set nx [Integer $cmd "nx in -cells" [lindex $cells 0] 1]
    set ny [Integer $cmd "ny in -cells" [lindex $cells 1] 1]
    if {wide($nx) * $ny > 0x7fffffff} {
        Invalid $cmd "the grid of $nx by $ny cells is too large"
    }

    # Records: all points or all footprints, held as one buffer of doubles.
    lassign [Records $records] width records

    set binning [dict get $o -binning]
    if {$binning eq {}} {
        set binning [expr {$width == 3 ? "point" : "area"}]
    }
    if {[llength $binning] == 1} {
        lappend binning [lindex $binning 0]
    }
    if {[llength $binning] != 2} {
        Invalid $cmd "-binning must be one or two of point and area, got \"$binning\""
    }
    set words {}
    foreach axis {x y} word $binning {
        lappend words [lindex {POINT AREA} [Choice $cmd "-binning for $axis" $word {point area}]]
    }

    # The largest double: beyond every value and every search of the fill.
    set huge 1.7976931348623157e308
    set range [dict get $o -range]
    if {$range eq {}} {
        set range [list -$huge $huge]
    }
    lassign [Reals $cmd -range $range 2] lo hi
    if {$lo > $hi} {
        Invalid $cmd "-range must run from its lower to its upper value, got \"$range\""
    }
    set ignore [Boolean $cmd -ignorezeros [dict get $o -ignorezeros]]
    set fill [Boolean $cmd -fill [dict get $o -fill]]

    # The fill settings, checked before any work.
    set radius [Integer $cmd -radius [dict get $o -radius] 0]
    set quadrants [Integer $cmd -quadrants [dict get $o -quadrants] 1 4]
    set perQuadrant [Integer $cmd -perquadrant [dict get $o -perquadrant] 0]
    set degree [Integer $cmd -degree [dict get $o -degree] 0 4]
    set power [Real $cmd -power [dict get $o -power]]
    set cap [lindex {none nearest max} \
                 [Choice $cmd -cap [dict get $o -cap] {none nearest max}]]
    set margins [dict get $o -margins]
    if {[catch {llength $margins} length] || $length != 4} {
        Invalid $cmd "-margins must be {xlo xhi ylo yhi}, got \"$margins\""
    }
    set limits {}
    foreach margin $margins name {xlo xhi ylo yhi} {
        lappend limits [Integer $cmd "$name in -margins" $margin 0]
    }
    set boundary [dict get $o -boundary]
    if {[llength $boundary] == 1} {
        lappend boundary [lindex $boundary 0]
    }
    if {[llength $boundary] != 2} {
        Invalid $cmd "-boundary must be one or two of open, strict and periodic,\
            got \"$boundary\""
    }
    set letters {}
    foreach axis {x y} word $boundary cellCount [list $nx $ny] {
        set letter [lindex {N O Y} [Choice $cmd "-boundary for $axis" $word {open strict periodic}]]
        if {$letter eq "Y" && $radius > $cellCount} {
            Invalid $cmd "-radius $radius exceeds the $cellCount cells of the periodic\
                $axis axis"
        }
        lappend letters $letter
    }
    set guard [Boolean $cmd -guard [dict get $o -guard]]
    set guardMargin [NonNegative $cmd -guardmargin [dict get $o -guardmargin]]
    set complete [Boolean $cmd -complete [dict get $o -complete]]
    set maxRadius [dict get $o -maxradius]
    if {$maxRadius eq {}} {
        set maxRadius [expr {4 * $radius}]
    }
    set maxRadius [Integer $cmd -maxradius $maxRadius $radius]
    set seed [Integer $cmd -seed [dict get $o -seed] -2147483648 2147483647]
    set sources [Boolean $cmd -sources [dict get $o -sources]]
    set folds [dict get $o -crossvalidate]
    if {$folds ne {}} {
        set folds [Integer $cmd -crossvalidate $folds 2]
    }
    set reportVar [dict get $o -report]
    if {$reportVar ne {}} {
        upvar 1 $reportVar report
        if {[array exists report]} {
            Invalid $cmd "-report names the array \"$reportVar\", not a variable"
        }
    }

    # Binning and filling run in C++ on the records' buffer (GridCompute):
    # the arithmetic of KDdataGrid on the descriptor it would be given, cells
    # stored x fastest, then the guarded fill on the binned grid and its
    # weights, unfilled cells marked by a value no fit produces.
    set settings [list -boundary $letters -margins $limits -perquadrant $perQuadrant \
                      -radius $radius -quadrants $quadrants -degree $degree \
                      -power $power -cap $cap -guard $guard -guardmargin $guardMargin \
                      -complete $complete -maxradius $maxRadius -seed $seed]
    if {$folds ne {}} {
        lappend settings -crossvalidate $folds
    } elseif {$fill} {
        lappend settings -sources $sources
    }
    lassign [GridCompute $records $x0 $x1 $y0 $y1 $nx $ny \
                 [expr {[lindex $words 0] eq "AREA"}] [expr {[lindex $words 1] eq "AREA"}] \
                 $ignore $lo $hi [dict get $o -empty] $fill {*}$settings] rows result
    if {$folds ne {}} {
        if {[dict get $result predicted] == 0} {
            Invalid $cmd "-crossvalidate $folds: none of the [dict get $result missed]\
                held-out data cells received a value, so there is no error to measure"
        }
        if {$reportVar ne {}} {
            set report $result
        }
        return [dict get $result rms]
    }
    set size [expr {$nx * $ny}]
    if {$reportVar ne {}} {
        if {$sources && [dict exists $result sources]} {
            set flat [dict get $result sources]
            set grid {}
            for {set start 0} {$start < $size} {incr start $nx} {
                lappend grid [lrange $flat $start [expr {$start + $nx - 1}]]
            }
            dict set result sources $grid
        }
        set report $result
    }
    return $rows
}

# --- Grid files: kardum::readxyz, kardum::gridwrite, kardum::gridimage --

# kardum::readxyz file (C++, pkg/GridIO.cpp)
#
#	Records {x y z} from a text file: one record a line, three numbers
#	separated by blanks, tabs or commas; blank lines and lines starting
#	with # are skipped.  Returns the list of records, ready for
#	kardum::gridfill, held as one buffer of doubles until a script looks
#	at it as text.

# kardum::gridwrite grid file ?option value ...?
#
#	Writes a grid (as kardum::gridfill returns it, or any list of rows of
#	numbers) into a file: an ESRI ASCII grid, which GDAL, QGIS and GMT
#	read, or x y z lines at the centres of the cells that hold a value.
proc ::kardum::gridwrite {grid file args} {
    set cmd kardum::gridwrite
    set o [Options $cmd {-format esri-ascii -extent {} -nodata -9999 -empty {}} $args]
    Choice $cmd -format [dict get $o -format] {esri-ascii xyz}
    WriteGrid $grid $file [dict get $o -format] [dict get $o -extent] \
        [dict get $o -nodata] [dict get $o -empty]
    return $file
}

# kardum::gridimage grid file ?option value ...?
#
#	Writes a grid as a PNG picture with its colour scale; empty cells are
#	grey.
proc ::kardum::gridimage {grid file args} {
    set cmd kardum::gridimage
    set o [Options $cmd {-pixels auto -range {} -empty {}} $args]
    set pixels [dict get $o -pixels]
    if {$pixels eq "auto"} {
        set pixels 0
    } else {
        set pixels [Integer $cmd -pixels $pixels 1 1000]
    }
    set range [dict get $o -range]
    if {$range ne {}} {
        lassign [Reals $cmd -range $range 2] lo hi
        if {$lo > $hi} {
            Invalid $cmd "-range must run from its lower to its upper value, got \"$range\""
        }
    } else {
        lassign {{} {}} lo hi
    }
    WriteImage $grid $file $pixels $lo $hi [dict get $o -empty]
    return $file
}
