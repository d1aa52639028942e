# kardum.tcl --
#
#	Script-level helpers over the commands of Kardum_C, for what every
#	script would otherwise write by hand:
#
#	kardum::integrate  Romberg integration driven through KDintegTrap
#	kardum::nlfit      a Levenberg-Marquardt fit driven through
#	                   KDdataNLinLSq to convergence
#	kardum::gridfill   records binned with KDdataGrid and the empty cells
#	                   filled with KDgridFill2D, from named options
#
#	The helpers take Tcl lists and command prefixes, build the numbered
#	arrays the commands want in their own frames and keep no state between
#	calls, so they nest (an integrand may itself integrate or fit).
#	Errors raised by a user's command stop the helper and come back with
#	their own message and errorInfo.

package require Tcl 8.5
package require Kardum_C 2.0

namespace eval ::kardum {
    namespace export integrate nlfit gridfill
}

# The C++ commands behind the helpers come from the library file that holds
# Kardum_C, through its second entry point Kardumpkg_Init.  Tcl refuses a
# second prefix for a file name it has loaded already, so the file is named
# with another spelling of the same path ("dir/./file"): the system loader
# matches files, not names, and hands back the copy already in memory.
proc ::kardum::LoadCommands {} {
    foreach loaded [list [info loaded {}] [info loaded]] {
        foreach pair $loaded {
            lassign $pair file prefix
            if {$prefix eq "Kardum" && $file ne {}} {
                set file [file normalize $file]
                load [file dirname $file]/./[file tail $file] Kardumpkg
                return
            }
        }
    }
    return -code error -errorcode {KARDUM LOAD} \
        "kardum: cannot find the library file of Kardum_C to load its package commands"
}
::kardum::LoadCommands
rename ::kardum::LoadCommands {}
package provide kardum 2.0

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
#	step lowers chi-square by at most -tol times its value (or chi-square
#	is 0, or lambda has grown past 1e10: no step lowers it any more), then
#	makes the finishing call for the covariance.  The model prefix is
#	called with one element of xs and the list of parameters and returns
#	the model value followed by its m partial derivatives, or with
#	-derivatives numeric the value alone.  Returns a dict: parameters,
#	errors, chisquare, covariance (a list of rows), dof, steps.
proc ::kardum::nlfit {model xs ys params args} {
    set cmd kardum::nlfit
    set o [Options $cmd {-sigma {} -hold {} -maxsteps 500 -tol 1e-12
                         -lambda 0.001 -derivatives analytic} $args]
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
    set maxSteps [Integer $cmd -maxsteps [dict get $o -maxsteps] 1]
    set tol [NonNegative $cmd -tol [dict get $o -tol]]
    set lambda [Real $cmd -lambda [dict get $o -lambda]]
    if {$lambda <= 0 || $lambda > 0.9} {
        Invalid $cmd "-lambda must lie in (0, 0.9], got [dict get $o -lambda]"
    }
    set numeric [Choice $cmd -derivatives [dict get $o -derivatives] {analytic numeric}]

    # The arrays of KDdataNLinLSq, named in this frame.
    for {set i 0} {$i < $n} {incr i} {
        set V($i) [lindex $ys $i]
        set SiG($i) [expr {$absolute ? [lindex $sigma $i] : 1.0}]
    }
    for {set j 0} {$j < $m} {incr j} {
        set Par($j) [lindex $params $j]
        set iPar($j) [lindex $flags $j]
    }
    set size [expr {4 * $m * $m + 2 * $m + 5}]
    for {set k 0} {$k < $size} {incr k} {
        set Work($k) 0.0
    }
    set Work(0) [expr {-$lambda}]

    # Read by the model callback, which runs one frame below this one.
    array set Fit [list model $model x $xs m $m flags $flags \
                       numeric $numeric failed 0 frame [info level]]

    set steps 0
    while 1 {
        if {$steps >= $maxSteps} {
            return -code error -errorcode {KARDUM NOCONVERGE} \
                "$cmd: no convergence within $maxSteps steps (chi-square\
                 $Work(2), lambda $Work(0))"
        }
        set before $Work(2)
        KDdataNLinLSq V SiG $n Par iPar $m ::kardum::NlinPoint Work
        if {$Fit(failed)} {
            Rethrow Fit
        }
        incr steps
        set after $Work(2)
        # An accepted step shows as a lower best chi-square (the first call,
        # which starts the fit and steps once, finds Work(2) still 0).
        if {$after == 0.0 || $Work(0) > 1e10
                || ($after < $before && $before - $after <= $tol * $after)} {
            break
        }
    }

    set Work(0) 0.0
    KDdataNLinLSq V SiG $n Par iPar $m ::kardum::NlinPoint Work

    set chi2 $Work(2)
    set dof [expr {$n - $f}]
    set scale [expr {!$absolute && $dof > 0 ? $chi2 / $dof : 1.0}]
    set parameters {}
    set errors {}
    set covariance {}
    for {set j 0} {$j < $m} {incr j} {
        lappend parameters $Par($j)
        set row {}
        for {set k 0} {$k < $m} {incr k} {
            set c [Answer $Work([expr {$m + 5 + $j * $m + $k}])]
            if {$c eq {}} {
                return -code error -errorcode {KARDUM SINGULAR} \
                    "$cmd: the curvature matrix is singular: the data do not\
                     determine every fitted parameter"
            }
            lappend row [expr {$scale * $c}]
        }
        lappend covariance $row
        set variance [lindex $row $j]
        if {$variance < 0} {
            return -code error -errorcode {KARDUM SINGULAR} \
                "$cmd: the curvature matrix is singular (parameter $j has the\
                 variance $variance): the data do not determine every fitted\
                 parameter"
        }
        lappend errors [expr {sqrt($variance)}]
    }
    return [dict create parameters $parameters errors $errors chisquare $chi2 \
                covariance $covariance dof $dof steps $steps]
}

# The model callback: set FuncRet [ ::kardum::NlinPoint nPar dYdA Work ].
# Takes the point from Work(4) and the parameters from Work(5 ...), calls
# the user's model and sets dYdA(0 ... nPar-1).
proc ::kardum::NlinPoint {nPar dYdA work} {
    upvar 1 Fit fit $dYdA d $work w
    for {set j 0} {$j < $nPar} {incr j} {
        set d($j) 0.0
    }
    if {$fit(failed)} {
        return 0.0
    }
    set x [lindex $fit(x) $w(4)]
    set p {}
    for {set j 0} {$j < $nPar} {incr j} {
        lappend p $w([expr {$j + 5}])
    }
    if {!$fit(numeric)} {
        if {![Call Fit $fit(frame) $fit(model) [list $x $p] answer]} {
            return 0.0
        }
        if {[catch {llength $answer} length] || $length != $nPar + 1} {
            Failed Fit $fit(frame) "kardum::nlfit: the model returned \"$answer\" at x = $x;\
                it must return its value and $nPar derivatives (or use\
                -derivatives numeric)" {-errorcode {KARDUM VALUE}}
            return 0.0
        }
        set values {}
        foreach value $answer {
            set number [Answer $value]
            if {$number eq {}} {
                Failed Fit $fit(frame) "kardum::nlfit: the model returned \"$answer\" at\
                    x = $x, not a list of numbers" {-errorcode {KARDUM VALUE}}
                return 0.0
            }
            lappend values $number
        }
        for {set j 0} {$j < $nPar} {incr j} {
            set d($j) [lindex $values [expr {$j + 1}]]
        }
        return [lindex $values 0]
    }

    # Central differences, with a step relative to each parameter.
    if {[set y [NlinValue $x $p]] eq {}} {
        return 0.0
    }
    for {set j 0} {$j < $nPar} {incr j} {
        if {![lindex $fit(flags) $j]} {
            continue
        }
        set pj [lindex $p $j]
        set h [expr {6.055454452393343e-06 * ($pj == 0.0 ? 1.0 : abs($pj))}]
        set up [expr {$pj + $h}]
        set down [expr {$pj - $h}]
        if {[set yUp [NlinValue $x [lreplace $p $j $j $up]]] eq {}
                || [set yDown [NlinValue $x [lreplace $p $j $j $down]]] eq {}} {
            return 0.0
        }
        set d($j) [expr {($yUp - $yDown) / ($up - $down)}]
    }
    return $y
}

# The model's value alone (-derivatives numeric), or "" after a failure.
proc ::kardum::NlinValue {x p} {
    upvar 2 Fit fit
    if {![Call Fit $fit(frame) $fit(model) [list $x $p] answer]} {
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
#	Bins records onto a regular grid with KDdataGrid and fills the empty
#	cells with the fill of KDgridFill2D, building the grid descriptor and
#	the fill settings from named options.  A record is {x y z} (a point)
#	or {x1 x2 y1 y2 z} (a footprint).  Returns the grid as a list of ny
#	rows of nx values, row iy holding the cells ix = 0 ... nx-1; a cell
#	that stays empty holds the -empty value.
#
#	Sound and complete by default (::kardum::FillGrid does the work): a
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

    # Records: all points or all footprints.
    if {[catch {llength $records} n]} {
        Invalid $cmd "the records must be a list, got \"$records\""
    }
    set width [expr {$n ? [llength [lindex $records 0]] : 3}]
    if {$width != 3 && $width != 5} {
        Invalid $cmd "record 0 must be {x y z} or {x1 x2 y1 y2 z},\
            got \"[lindex $records 0]\""
    }
    set i 0
    foreach record $records {
        set values [Reals $cmd "record $i" $record $width]
        if {$width == 3} {
            lassign $values X($i) Y($i) Z($i)
        } else {
            lassign $values X1($i) X2($i) Y1($i) Y2($i) Z($i)
        }
        incr i
    }

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
    set seed [Integer $cmd -seed [dict get $o -seed] -0x80000000 0x7fffffff]
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

    # The grid descriptor: cells stored x fastest, unfilled cells marked by
    # a value no fit produces, no cell excluded.
    set empty -$huge
    array set gI [list 0 $x0 1 $x1 2 $y0 3 $y1 4 $nx 5 $ny \
                      6 [lindex $words 0] 7 [lindex $words 1] 8 ROW \
                      9 [expr {$ignore ? "IGNORE" : "KEEP"}] \
                      10 [expr {$n ? "NEW ADD END " : "NEW END "}] \
                      11 $empty 12 $huge 13 $lo 14 $hi \
                      15 [lindex $letters 0] 16 [lindex $letters 1]]
    if {$width == 3} {
        KDdataGrid $n 1 X X 1 Y Y Z Grd Nrm gI
    } else {
        KDdataGrid $n 1 X1 X2 1 Y1 Y2 Z Grd Nrm gI
    }

    set size [expr {$nx * $ny}]
    set values {}
    set weights {}
    for {set k 0} {$k < $size} {incr k} {
        lappend values $Grd($k)
        lappend weights $Nrm($k)
    }
    set settings [list -weight $weights -empty $empty -excluded $huge \
                      -boundary $letters -margins $limits -perquadrant $perQuadrant \
                      -radius $radius -quadrants $quadrants -degree $degree \
                      -power $power -cap $cap -guard $guard -guardmargin $guardMargin \
                      -complete $complete -maxradius $maxRadius -seed $seed]
    if {$folds ne {}} {
        set result [FillGrid $values $nx $ny {*}$settings -crossvalidate $folds]
        if {$reportVar ne {}} {
            set report $result
        }
        return [dict get $result rms]
    }
    if {$fill} {
        set result [FillGrid $values $nx $ny {*}$settings -sources $sources]
        set values [dict get $result grid]
        dict unset result grid
    } else {
        set data 0
        foreach weight $weights {
            if {$weight != 0.0} {incr data}
        }
        set result [dict create data $data excluded 0 empty [expr {$size - $data}] \
                        passes {}]
    }

    set marker [dict get $o -empty]
    set rows {}
    set k 0
    for {set iy 0} {$iy < $ny} {incr iy} {
        set row {}
        for {set ix 0} {$ix < $nx} {incr ix} {
            set value [lindex $values $k]
            if {[lindex $weights $k] == 0.0 && $value == $empty} {
                lappend row $marker
            } else {
                lappend row $value
            }
            incr k
        }
        lappend rows $row
    }
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
