# nlfit.tcl --
#
#	kardum::nlfit: a Levenberg-Marquardt fit by the steps of KDdataNLinLSq
#	to convergence, optionally within bounds.  Its internals live in
#	::kardum::fit; the shared checks of kardum.tcl are reached through the
#	namespace path.  A fit's state lives in a command of its own
#	(::kardum::fit::Open, fit/NlinFitCmd.cpp) that takes the steps;
#	the slots of KDdataNLinLSq's work array are read by the names
#	::kardum::fit::Slots gives them, and ::kardum::fit::Conditioning
#	(fit/NlinConditionCmd.cpp) judges a finished fit.  Sourced by
#	kardum.tcl.

namespace eval ::kardum::fit {
    namespace path ::kardum
    # Numbers the commands of the fits in progress.
    variable Serial 0
    # The head of the work array, the same for every number of parameters.
    variable Header [Slots 0]
}

# --- kardum::nlfit -----------------------------------------------------

# kardum::nlfit model xs ys params ?option value ...?
#
#	Fits the parameters of `model` to the points (xs, ys) by the steps of
#	KDdataNLinLSq, taken in C++ by the fit's own command (`$fit step`),
#	until an accepted step changes chi-square by at most -tol and every
#	parameter by at most -xtol of its value (or the undamped step foresees
#	as much), or the gradient of chi-square has become negligible (-gtol),
#	or chi-square is 0; then polishes the minimum with undamped steps and
#	makes the finishing call for the covariance.  The model prefix is
#	called with one element of xs (with -vector 1: all of xs) and the list
#	of parameters and returns the model value followed by its m partial
#	derivatives, or with -derivatives numeric the value alone (with
#	-vector 1 a list of such answers, one per abscissa).  A trial step the
#	model cannot answer (an error, Inf or NaN) is rejected.  -bounds maps
#	each bounded parameter onto an unbounded one by a smooth change of
#	variables; the errors and the covariance are mapped back.  Returns a
#	dict: parameters, errors, chisquare, covariance (a list of rows), dof,
#	steps, reason, condition, correlation, and on request fitted and
#	residuals; raises KARDUM SINGULAR, naming them, when the data do not
#	determine some fitted parameters.
#
#	The steps: fit::Setup reads and checks the words, fit::Iterate steps
#	to convergence, fit::Finish makes the finishing call and the result.
proc ::kardum::nlfit {model xs ys params args} {
    set cmd kardum::nlfit
    set s [fit::Setup $cmd $model $xs $ys $params $args]
    if {[set bestName [dict get $s best]] ne {}} {
        upvar 1 $bestName bestVar
        if {[array exists bestVar]} {
            Invalid $cmd "-best must name a scalar variable, \"$bestName\" is an array"
        }
    }
    set n [dict get $s n]
    set m [dict get $s m]
    set slots [fit::Slots $m]

    # The arrays of the steps, in this frame, laid out as KDdataNLinLSq
    # lays them out; a bounded parameter enters as its unbounded
    # counterpart.
    for {set j 0} {$j < $m} {incr j} {
        set Par($j) [fit::Inner [lindex [dict get $s bounds] $j] [lindex [dict get $s params] $j]]
        set iPar($j) [lindex [dict get $s flags] $j]
    }
    fit::ClearWork Work $slots [dict get $s lambda]

    # The fit's state, in C++: the model, the data and the settings.
    set fit [fit::Open ::kardum::fit::fit[incr ::kardum::fit::Serial]]
    try {
        $fit set model $model
        $fit set level #[expr {[info level] - 1}]
        $fit set x $xs
        $fit set ys [dict get $s ys]
        $fit set sigmas [dict get $s sigmas]
        $fit set flags [dict get $s flags]
        $fit set bounds [dict get $s bounds]
        $fit set numeric [dict get $s numeric]
        $fit set vector [dict get $s vector]
        $fit set mapped [lsearch -all -not -exact [dict get $s bounds] {}]
        set arrays {Par iPar Work}
        set outcome [fit::Iterate $fit $s $slots $arrays]
        dict with outcome {}
        set chi2 $Work([dict get $slots best])
        if {$failed} {
            # The model failed: its error, after the best parameters found
            # (unless no evaluation succeeded, or the interpreter was
            # cancelled or ran out of a limit).
            lassign $error message options
            if {[$fit get answered] > 0 && ![fit::Stopped $options]} {
                if {!($Work([dict get $slots lambda]) > 0)} {
                    # The model failed at the starting parameters.
                    set chi2 NaN
                }
                fit::Best $bestName [fit::BestOf $s $m [array get Par] $chi2 $steps \
                    [expr {[dict get $options -errorcode] eq {KARDUM VALUE NOTFINITE}
                           ? "notfinite" : "error"}]]
            }
            dict unset options -level
            return -options $options $message
        }
        if {!($chi2 < Inf)} {
            set failure notfinite
        }
        set best [fit::BestOf $s $m [array get Par] $chi2 $steps \
                      [expr {$failure ne {} ? $failure : $reason}]]
        fit::Best $bestName $best
        if {$failure eq "notfinite"} {
            return -code error -errorcode {KARDUM VALUE} \
                "$cmd: chi-square is $chi2 at the best parameters found: the model\
                 is not finite there"
        }
        if {$failure eq "maxsteps"} {
            return -code error -errorcode {KARDUM NOCONVERGE maxsteps} \
                "$cmd: no convergence within [Count [dict get $s maxSteps] step steps]\
                 (chi-square $chi2, lambda $Work([dict get $slots lambda]))"
        }
        try {
            set result [fit::Finish $cmd $fit $s $slots $arrays $outcome]
        } trap {KARDUM SINGULAR} {message} {
            dict set best reason singular
            fit::Best $bestName $best
            return -code error -errorcode {KARDUM SINGULAR} $message
        }
        if {[dict get $s residuals]} {
            set fitted {}
            set differences {}
            foreach y [dict get $s ys] answer [$fit evaluate [dict get $result parameters]] {
                set value [lindex $answer 0]
                lappend fitted $value
                lappend differences [expr {$y - $value}]
            }
            dict set result fitted $fitted
            dict set result residuals $differences
        }
    } finally {
        if {[namespace which $fit] ne {}} {
            rename $fit {}
        }
    }
    return $result
}

# Reads and checks the words of kardum::nlfit, in the order a user reads
# them; returns a dict of the settings.
proc ::kardum::fit::Setup {cmd model xs ys params words} {
    set o [Options $cmd {-sigma {} -hold {} -bounds {} -maxsteps 10000 -tol 1e-12
                         -xtol 1e-10 -gtol 1e-10 -lambda 0.001
                         -derivatives analytic -vector 0 -residuals 0 -best {}} $words]
    if {[catch {llength $model} length] || $length == 0} {
        Invalid $cmd "the model must be a command prefix, got \"$model\""
    }
    if {[catch {llength $xs} n]} {
        Invalid $cmd "the abscissae must be a list, got \"$xs\""
    }
    if {$n == 0} {
        Invalid $cmd "there are no data points"
    }
    # A quick look first (the values may be many); Reals words the
    # complaint.
    if {[catch {Finite $ys} bad options]} {
        PassStop $bad $options
        set bad 0
    }
    if {$bad >= 0 || [llength $ys] != $n} {
        set ys [Reals $cmd "the values" $ys $n]
    }
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
    if {[expr [join $flags +]] == 0} {
        Invalid $cmd "every parameter is held"
    }
    set bounds [Bounds $cmd [dict get $o -bounds] $params $flags]
    set maxSteps [Integer $cmd -maxsteps [dict get $o -maxsteps] 1]
    set tol [NonNegative $cmd -tol [dict get $o -tol]]
    set xtol [NonNegative $cmd -xtol [dict get $o -xtol]]
    set gtol [NonNegative $cmd -gtol [dict get $o -gtol]]
    set lambda [Real $cmd -lambda [dict get $o -lambda]]
    if {$lambda <= 0 || $lambda > 0.9} {
        Invalid $cmd "-lambda must lie in (0, 0.9], got [dict get $o -lambda]"
    }
    set numeric [Choice $cmd -derivatives [dict get $o -derivatives] {analytic numeric}]
    set vector [Boolean $cmd -vector [dict get $o -vector]]
    set residuals [Boolean $cmd -residuals [dict get $o -residuals]]
    set sigmas [expr {$absolute ? $sigma : [lrepeat $n 1.0]}]
    dict create n $n m $m xs $xs ys $ys params $params sigma $sigma sigmas $sigmas \
        absolute $absolute flags $flags bounds $bounds maxSteps $maxSteps tol $tol \
        xtol $xtol gtol $gtol lambda $lambda numeric $numeric vector $vector \
        residuals $residuals \
        best [dict get $o -best] boundsGiven [expr {[dict get $o -bounds] ne {}}]
}

# Zeroes the work array named workVar and sets lambda's slot to -lambda,
# which makes the next step start a fit.
proc ::kardum::fit::ClearWork {workVar slots lambda} {
    upvar 1 $workVar Work
    for {set k 0} {$k < [dict get $slots size]} {incr k} {
        set Work($k) 0.0
    }
    set Work([dict get $slots lambda]) [expr {-$lambda}]
}

# Steps the fit whose command is `fit` (settings s, work slots `slots`,
# the names of its three arrays in the caller's frame) until it converges,
# fails or a model fails.  Returns a dict: failed, error (the model's
# message and return options, once failed), steps, reason, failure,
# pinned and flags.
proc ::kardum::fit::Iterate {fit s slots arrays} {
    lassign $arrays par ipar work
    upvar 1 $par Par $ipar iPar $work Work
    dict with s {}
    set lambdaSlot [dict get $slots lambda]
    set bestSlot [dict get $slots best]
    set steps 0
    set failure {}
    # Bounded parameters that reached a bound are pinned there and held
    # (the change of variables is flat at a bound, which would stall the
    # others); one that then pulls inward is let go once.
    set pinned {}
    set released {}
    while 1 {
        set reason {}
        set previous [Outer $bounds [array get Par] $m]
        set start $steps
        while {$reason eq {}} {
            if {$steps >= $maxSteps} {
                set failure maxsteps
                break
            }
            set before $Work($bestSlot)
            set lambdaBefore [expr {$steps > $start ? $Work($lambdaSlot) : $lambda}]
            if {[catch {$fit step Par iPar $m Work} message options]} {
                return [dict create failed 1 error [list $message $options] steps $steps]
            }
            incr steps
            set after $Work($bestSlot)
            if {$Work($lambdaSlot) < $lambdaBefore} {
                # An accepted step.  The first call starts the fit and
                # steps once, so it has no chi-square of its own to compare
                # with.
                if {[set reached [AtBound $bounds [array get Par] $flags]] ne {}} {
                    foreach j $reached {
                        set Par($j) [Pin [lindex $bounds $j] $Par($j)]
                        lset flags $j 0
                        set iPar($j) 0
                        lappend pinned $j
                    }
                    set reason restart
                    break
                }
                set now [Outer $bounds [array get Par] $m]
                if {$after == 0.0} {
                    set reason exact
                } elseif {$steps > $start + 1 && $before - $after <= $tol * $after
                          && [SmallStep $previous $now $xtol]} {
                    set reason tolerance
                } elseif {[lassign [$fit get predicted] decrease change] eq {}
                          && $decrease <= $tol * $after && $change <= $xtol} {
                    # The same, foreseen: the undamped step from here would
                    # change neither by more (the polish below takes it).
                    set reason tolerance
                } elseif {[Gradient Work $slots $flags] <= $gtol} {
                    set reason gradient
                }
                set previous $now
            } elseif {$Work($lambdaSlot) > 1e10} {
                # No step lowers chi-square any more: a minimum to
                # rounding, unless the gradient says otherwise (residuals
                # at the rounding of the data have no meaningful gradient).
                if {$after == 0.0} {
                    set reason exact
                } elseif {[Gradient Work $slots $flags] <= sqrt($gtol)
                          || $after <= 1e-20 * [Size $ys $sigmas]} {
                    set reason rounding
                } else {
                    set failure stalled
                    break
                }
            }
        }
        if {$failure eq {} && $reason ne "restart" && $pinned ne {}} {
            # A pinned parameter whose gradient points inward goes free.
            if {[catch {Inward $fit $pinned $released $bounds [array get Par] $m \
                            $ys $sigma $absolute $gtol} inward options]} {
                return [dict create failed 1 error [list $inward $options] steps $steps]
            }
            foreach j $inward {
                set Par($j) [Unpin [lindex $bounds $j] $Par($j)]
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
        $fit set flags $flags
        if {[expr [join $flags +]] == 0} {
            # Every fitted parameter is on a bound.
            set reason bounds
            break
        }
        ClearWork Work $slots $lambda
    }
    if {$failure eq {} && $reason in {tolerance gradient rounding}} {
        # Polish: chi-square resolves the parameters only to about the
        # square root of its rounding, the gradient far better.  Undamped
        # steps to the minimum of the local quadratic, taken while
        # chi-square does not rise beyond its rounding, put the parameters
        # where the gradient vanishes.
        $fit set polish 1
        set previous [Outer $bounds [array get Par] $m]
        # A step that would move no parameter by more than 1e-9 of its
        # standard error is not worth a pass.
        set unit [expr {$Work($bestSlot) / max(1, $n - [expr [join $flags +]])}]
        for {set k 0} {$k < 4 && $steps < $maxSteps} {incr k} {
            lassign [$fit get predicted] decrease change
            if {$decrease <= 1e-18 * $unit || $change <= 1e-15} {
                break
            }
            set Work($lambdaSlot) 1e-30
            if {[catch {$fit step Par iPar $m Work} message options]} {
                return [dict create failed 1 error [list $message $options] steps $steps]
            }
            incr steps
            if {!($Work($lambdaSlot) < 1e-30)} {
                break
            }
            set now [Outer $bounds [array get Par] $m]
            if {[SmallStep $previous $now 1e-14]} {
                break
            }
            set previous $now
        }
        $fit set polish 0
    }
    dict create failed 0 error {} steps $steps reason $reason failure $failure \
        pinned $pinned flags $flags
}

# The finishing call for the covariance, then the result of the fit
# (without fitted values and residuals); raises KARDUM SINGULAR when the
# covariance cannot be formed.
proc ::kardum::fit::Finish {cmd fit s slots arrays outcome} {
    lassign $arrays par ipar work
    upvar 1 $par Par $ipar iPar $work Work
    dict with s {}
    dict with outcome {}
    set chi2 $Work([dict get $slots best])
    set covariance [dict get $slots covariance]
    set free [expr [join $flags +]]
    if {$free} {
        set Work([dict get $slots lambda]) 0.0
        $fit step Par iPar $m Work
    }

    # The covariance of the inner parameters (pinned ones held), then
    # through the Jacobian of the change of variables onto the user's.
    lassign [OuterFactors $bounds [array get Par] $m] parameters factors
    set dof [expr {$n - $free}]
    set scale [expr {!$absolute && $dof > 0 ? $chi2 / $dof : 1.0}]
    set rows {}
    set alpha {}
    set a [dict get $slots alpha]
    for {set j 0} {$j < $m} {incr j} {
        set row {}
        for {set k 0} {$k < $m} {incr k} {
            set c [expr {$free ? [Answer $Work([expr {$covariance + $j * $m + $k}])] : 0.0}]
            lappend row [expr {$c eq {} ? NaN
                               : $scale * [lindex $factors $j] * [lindex $factors $k] * $c}]
            lappend alpha [expr {$free ? $Work([expr {$a + $j * $m + $k}]) : 0.0}]
        }
        lappend rows $row
    }

    # How well the data determine the parameters: a fit whose curvature
    # matrix is singular to rounding (whatever the derivatives) names the
    # parameters it leaves open.
    set conditioning [Conditioning $m $alpha [concat {*}$rows] $flags]
    set condition [dict get $conditioning condition]
    set open [dict get $conditioning undetermined]
    if {$open eq {}} {
        set j 0
        foreach row $rows flag $flags {
            if {$flag && !([lindex $row $j] >= 0)} {
                # No covariance, or a negative variance: rounding has
                # eaten the matrix.
                lappend open $j
            }
            incr j
        }
    }
    if {$open ne {}} {
        Singular $cmd $condition $open $parameters
    }
    if {$failure eq "stalled"} {
        return -code error -level 2 -errorcode {KARDUM NOCONVERGE stalled} \
            "$cmd: no step lowers chi-square $chi2 any more, yet its gradient is\
             not negligible (after [Count $steps step steps]; are the derivatives right?)"
    }
    set errors {}
    set j 0
    foreach row $rows {
        lappend errors [expr {sqrt([lindex $row $j])}]
        incr j
    }
    set result [dict create parameters $parameters errors $errors chisquare $chi2 \
                    covariance $rows dof $dof steps $steps reason $reason \
                    condition $condition correlation [dict get $conditioning correlation]]
    if {$boundsGiven} {
        dict set result atbound [lsort -integer $pinned]
    }
    return $result
}

# The size of the data in chi-square's units.
proc ::kardum::fit::Size {ys sigmas} {
    set scale2 0.0
    foreach y $ys s_i $sigmas {
        set scale2 [expr {$scale2 + ($y / $s_i) ** 2}]
    }
    return $scale2
}

# The dict -best receives: the user's parameters from an array list of
# the inner ones, chi-square there, the steps made and the reason.
proc ::kardum::fit::BestOf {s m pairs chi2 steps reason} {
    dict create parameters [Outer [dict get $s bounds] $pairs $m] chisquare $chi2 \
        steps $steps reason $reason
}

# Sets the variable -best names in the caller of kardum::nlfit.
proc ::kardum::fit::Best {name value} {
    if {$name ne {}} {
        upvar 2 $name var
        set var $value
    }
}

# True for the return options of an error that says the interpreter was
# cancelled or ran out of a limit: it passes through unchanged.
proc ::kardum::fit::Stopped {options} {
    set code [dict get $options -errorcode]
    expr {[lindex $code 0] eq "TCL" && [lindex $code 1] in {CANCEL LIMIT}}
}

proc ::kardum::fit::Singular {cmd condition open parameters} {
    set named [lmap j $open {format "%d (%s)" $j [lindex $parameters $j]}]
    if {[llength $named] > 1} {
        set named "parameters [join [lrange $named 0 end-1] {, }] and [lindex $named end]"
    } else {
        set named "parameter [lindex $named 0]"
    }
    set shown Inf
    if {$condition < Inf} {
        set shown [format %.3g $condition]
    }
    return -code error -level 2 -errorcode {KARDUM SINGULAR} \
        "$cmd: the curvature matrix is singular (condition number $shown): the data\
         do not determine $named"
}

# Checks -bounds: empty, or one {lower upper} pair per parameter, either
# infinite; a fitted parameter must start strictly inside its bounds.
# Returns per parameter "" (no change of variables) or {kind lower upper},
# kind 2 for two bounds, 1 for a lower, -1 for an upper one.
proc ::kardum::fit::Bounds {cmd bounds params flags} {
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
proc ::kardum::fit::Inner {bound p} {
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
proc ::kardum::fit::Map {bound u} {
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
proc ::kardum::fit::OuterFactors {bounds pairs m} {
    array set inner $pairs
    set ps {}
    set factors {}
    for {set j 0} {$j < $m} {incr j} {
        lassign [Map [lindex $bounds $j] $inner($j)] p dp
        lappend ps $p
        lappend factors $dp
    }
    list $ps $factors
}

proc ::kardum::fit::Outer {bounds pairs m} {
    lindex [OuterFactors $bounds $pairs $m] 0
}

# True when no parameter moved by more than xtol of its size.
proc ::kardum::fit::SmallStep {before after xtol} {
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
proc ::kardum::fit::Gradient {workVar slots flags} {
    upvar 1 $workVar w
    set f [expr [join $flags +]]
    set chi2 $w([dict get $slots best])
    set a [dict get $slots alpha]
    set b [dict get $slots beta]
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
proc ::kardum::fit::AtBound {bounds pairs flags} {
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
proc ::kardum::fit::Pin {bound u} {
    if {[lindex $bound 0] == 2} {
        return [expr {sin($u) > 0.0 ? 1.5707963267948966 : -1.5707963267948966}]
    }
    return 0.0
}

# The inner value of a point just inside the bound a pinned parameter is on.
proc ::kardum::fit::Unpin {bound u} {
    lassign $bound kind lo hi
    if {$kind == 2} {
        return [expr {$u > 0.0 ? 1.5 : -1.5}]
    }
    return 0.1
}

# The pinned parameters (not released before) whose derivative of
# chi-square points into their bounds by more than sqrt(gtol), from one
# pass of the model at the parameters (numeric derivatives step inward).
proc ::kardum::fit::Inward {fit pinned released bounds pairs m ys sigma absolute gtol} {
    set candidates {}
    foreach j $pinned {
        if {$j ni $released} {
            lappend candidates $j
        }
    }
    if {$candidates eq {}} {
        return {}
    }
    set numeric [$fit get numeric]
    set p [Outer $bounds $pairs $m]
    set answers [$fit evaluate $p]
    set chi2 0.0
    foreach j $candidates {
        set g($j) 0.0
        set a($j) 0.0
        if {$numeric} {
            # Inward from a lower bound up, from an upper one down.
            lassign [lindex $bounds $j] kind lo hi
            set pj [lindex $p $j]
            set inward [expr {$pj == $lo ? 1.0 : -1.0}]
            set h($j) [expr {$inward * 6.055454452393343e-06 * ($pj == 0.0 ? 1.0 : abs($pj))}]
            set moved($j) [$fit evaluate [lreplace $p $j $j [expr {$pj + $h($j)}]]]
        }
    }
    set i 0
    foreach y $ys answer $answers {
        set s [expr {$absolute ? [lindex $sigma $i] : 1.0}]
        set value [lindex $answer 0]
        foreach j $candidates {
            if {$numeric} {
                set dj [expr {([lindex $moved($j) $i 0] - $value) / $h($j)}]
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
