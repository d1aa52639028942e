# nlfit.tcl --
#
#	kardum::nlfit: a Levenberg-Marquardt fit driven through KDdataNLinLSq
#	to convergence, optionally within bounds.  Its internals live in
#	::kardum::fit; the shared checks of kardum.tcl are reached through the
#	namespace path.  A fit's state lives in a command of its own
#	(::kardum::fit::Open, fit/NlinFitCmd.cpp) that every step is handed;
#	the slots of KDdataNLinLSq's work array are read by the names
#	::kardum::fit::Slots gives them.  Sourced by kardum.tcl.

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

    # The arrays of KDdataNLinLSq, in this frame; a bounded parameter
    # enters as its unbounded counterpart.
    set i 0
    foreach y [dict get $s ys] sigma [dict get $s sigmas] {
        set V($i) $y
        set SiG($i) $sigma
        incr i
    }
    for {set j 0} {$j < $m} {incr j} {
        set Par($j) [fit::Inner [lindex [dict get $s bounds] $j] [lindex [dict get $s params] $j]]
        set iPar($j) [lindex [dict get $s flags] $j]
    }
    fit::ClearWork Work $slots [dict get $s lambda]

    # The fit's state, read by the model callback, which runs in the frame
    # of ::kardum::fit::Step.
    set fit [fit::Open ::kardum::fit::fit[incr ::kardum::fit::Serial]]
    try {
        $fit set model $model
        $fit set level #[expr {[info level] - 1}]
        $fit set x $xs
        $fit set flags [dict get $s flags]
        $fit set bounds [dict get $s bounds]
        $fit set numeric [dict get $s numeric]
        $fit set mapped [lsearch -all -not -exact [dict get $s bounds] {}]
        set arrays {V SiG Par iPar Work}
        set outcome [fit::Iterate $fit $s $slots $arrays]
        if {[$fit get failed]} {
            fit::Rethrow $fit
        }
        dict with outcome {}
        set chi2 $Work([dict get $slots best])
        if {!($chi2 < Inf)} {
            set failure notfinite
        }
        set best [dict create parameters [fit::Outer [dict get $s bounds] [array get Par] $m] \
                      chisquare $chi2 steps $steps \
                      reason [expr {$failure ne {} ? $failure : $reason}]]
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
                "$cmd: no convergence within [Count [dict get $s maxSteps] step steps]\
                 (chi-square $chi2, lambda $Work([dict get $slots lambda]))"
        }
        try {
            set result [fit::Finish $cmd $fit $s $slots $arrays $outcome]
        } trap {KARDUM SINGULAR} {message} {
            if {$bestName ne {}} {
                dict set best reason singular
                set bestVar $best
            }
            return -code error -errorcode {KARDUM SINGULAR} $message
        }
    } finally {
        if {[namespace which $fit] ne {}} {
            rename $fit {}
        }
    }
    if {[dict get $s residuals]} {
        set fitted {}
        set differences {}
        foreach x $xs y [dict get $s ys] {
            set answer [uplevel 1 [linsert $model end $x [dict get $result parameters]]]
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

# Reads and checks the words of kardum::nlfit, in the order a user reads
# them; returns a dict of the settings.
proc ::kardum::fit::Setup {cmd model xs ys params words} {
    set o [Options $cmd {-sigma {} -hold {} -bounds {} -maxsteps 10000 -tol 1e-12
                         -xtol 1e-10 -gtol 1e-10 -lambda 0.001
                         -derivatives analytic -residuals 0 -best {}} $words]
    if {[catch {llength $model} length] || $length == 0} {
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
    set residuals [Boolean $cmd -residuals [dict get $o -residuals]]
    set sigmas [expr {$absolute ? $sigma : [lrepeat $n 1.0]}]
    dict create n $n m $m xs $xs ys $ys params $params sigma $sigma sigmas $sigmas \
        absolute $absolute flags $flags bounds $bounds maxSteps $maxSteps tol $tol \
        xtol $xtol gtol $gtol lambda $lambda numeric $numeric residuals $residuals \
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
# the names of its five arrays in the caller's frame) until it converges,
# fails or a model fails.  Returns a dict: steps, reason, failure, pinned
# and flags.
proc ::kardum::fit::Iterate {fit s slots arrays} {
    lassign $arrays v sig par ipar work
    upvar 1 $v V $sig SiG $par Par $ipar iPar $work Work
    set arrays {V SiG Par iPar Work}
    dict with s {}
    set lambdaSlot [dict get $slots lambda]
    set bestSlot [dict get $slots best]
    set callback [expr {$numeric ? [list ::kardum::fit::NumericPoint $fit]
                        : "$fit point \$Work([dict get $slots point])"}]
    # The size of the data in chi-square's units.
    set scale2 0.0
    foreach y $ys s_i $sigmas {
        set scale2 [expr {$scale2 + ($y / $s_i) ** 2}]
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
        set previous [Outer $bounds [array get Par] $m]
        set start $steps
        while {$reason eq {}} {
            if {$steps >= $maxSteps} {
                set failure maxsteps
                break
            }
            set before $Work($bestSlot)
            set lambdaBefore [expr {$steps > $start ? $Work($lambdaSlot) : $lambda}]
            Step $n $m $callback $arrays
            if {[$fit get failed]} {
                return [dict create failed 1]
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
            foreach j [Inward $fit $pinned $released $bounds [array get Par] $m \
                           $xs $ys $sigma $absolute $gtol] {
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
    dict create failed 0 steps $steps reason $reason failure $failure pinned $pinned \
        flags $flags
}

# The finishing call for the covariance, then the result of the fit
# (without fitted values and residuals); raises KARDUM SINGULAR when the
# covariance cannot be formed.
proc ::kardum::fit::Finish {cmd fit s slots arrays outcome} {
    lassign $arrays v sig par ipar work
    upvar 1 $v V $sig SiG $par Par $ipar iPar $work Work
    set arrays {V SiG Par iPar Work}
    dict with s {}
    dict with outcome {}
    set chi2 $Work([dict get $slots best])
    set covariance [dict get $slots covariance]
    set callback [expr {$numeric ? [list ::kardum::fit::NumericPoint $fit]
                        : "$fit point \$Work([dict get $slots point])"}]
    set free [expr [join $flags +]]
    if {$free} {
        set Work([dict get $slots lambda]) 0.0
        Step $n $m $callback $arrays
    }
    if {$failure eq "stalled"} {
        # A curvature matrix that cannot be inverted rejects every step.
        for {set k $covariance} {$k < $covariance + $m * $m} {incr k} {
            if {[Answer $Work($k)] eq {}} {
                Singular $cmd {}
            }
        }
        return -code error -level 2 -errorcode {KARDUM NOCONVERGE stalled} \
            "$cmd: no step lowers chi-square $chi2 any more, yet its gradient is\
             not negligible (after [Count $steps step steps]; are the derivatives right?)"
    }

    # The covariance of the inner parameters (pinned ones held), then
    # through the Jacobian of the change of variables onto the user's.
    lassign [OuterFactors $bounds [array get Par] $m] parameters factors
    set dof [expr {$n - $free}]
    set scale [expr {!$absolute && $dof > 0 ? $chi2 / $dof : 1.0}]
    set errors {}
    set rows {}
    for {set j 0} {$j < $m} {incr j} {
        set row {}
        for {set k 0} {$k < $m} {incr k} {
            set c [expr {$free ? [Answer $Work([expr {$covariance + $j * $m + $k}])] : 0.0}]
            if {$c eq {}} {
                Singular $cmd {}
            }
            lappend row [expr {$scale * [lindex $factors $j] * [lindex $factors $k] * $c}]
        }
        lappend rows $row
        set variance [lindex $row $j]
        if {$variance < 0} {
            Singular $cmd " (parameter $j has the variance $variance)"
        }
        lappend errors [expr {sqrt($variance)}]
    }
    set result [dict create parameters $parameters errors $errors chisquare $chi2 \
                    covariance $rows dof $dof steps $steps reason $reason]
    if {$boundsGiven} {
        dict set result atbound [lsort -integer $pinned]
    }
    return $result
}

# One call of KDdataNLinLSq on the arrays named in `arrays`, from a frame
# that holds little else: the model callback looks its variables up by
# name once per point.
proc ::kardum::fit::Step {n m callback arrays} {
    lassign $arrays v sig par ipar work
    upvar 1 $v V $sig SiG $par Par $ipar iPar $work Work
    KDdataNLinLSq V SiG $n Par iPar $m $callback Work
}

# The failure a model left in the fit, raised as the error of the helper.
proc ::kardum::fit::Rethrow {fit} {
    set options [$fit get options]
    dict unset options -level
    dict unset options -code
    return -code error -level 2 {*}$options [$fit get message]
}

proc ::kardum::fit::Singular {cmd detail} {
    return -code error -level 2 -errorcode {KARDUM SINGULAR} \
        "$cmd: the curvature matrix is singular$detail: the data do not\
         determine every fitted parameter"
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
proc ::kardum::fit::Inward {fit pinned released bounds pairs m xs ys sigma absolute gtol} {
    set candidates {}
    foreach j $pinned {
        if {$j ni $released} {
            lappend candidates $j
        }
    }
    if {$candidates eq {}} {
        return {}
    }
    set model [$fit get model]
    set level [$fit get level]
    set numeric [$fit get numeric]
    set p [Outer $bounds $pairs $m]
    set chi2 0.0
    foreach j $candidates {
        set g($j) 0.0
        set a($j) 0.0
    }
    set i 0
    foreach x $xs y $ys {
        set s [expr {$absolute ? [lindex $sigma $i] : 1.0}]
        set answer [uplevel $level [linsert $model end $x $p]]
        set value [lindex $answer 0]
        foreach j $candidates {
            if {$numeric} {
                # Inward from a lower bound up, from an upper one down.
                lassign [lindex $bounds $j] kind lo hi
                set pj [lindex $p $j]
                set inward [expr {$pj == $lo ? 1.0 : -1.0}]
                set h [expr {$inward * 6.055454452393343e-06 * ($pj == 0.0 ? 1.0 : abs($pj))}]
                set moved [uplevel $level [linsert $model end $x [lreplace $p $j $j [expr {$pj + $h}]]]]
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
#     set FuncRet [ ::kardum::fit::NumericPoint $fit nPar dYdA Work ]
# Takes the point and the parameters from the work array, calls the user's
# model 2f + 1 times and sets dYdA(0 ... nPar-1).  (Models with
# derivatives go through `$fit point`, the same steps in C++.)
proc ::kardum::fit::NumericPoint {fit nPar dYdA work} {
    variable Header
    upvar 1 $dYdA d $work w
    if {[$fit get failed]} {
        return [Zero $nPar d]
    }
    set point $w([dict get $Header point])
    if {$point == 0} {
        Pass $fit $nPar w
    }
    return [Numeric $fit [lindex [$fit get x] $point] $nPar d]
}

# At the first point of a pass: the user's parameters the pass is made at,
# and the derivatives dp/du of the change of variables, from the trial
# parameters of the work array named `work`, into the fit.
proc ::kardum::fit::Pass {fit nPar work} {
    variable Header
    upvar 1 $work w
    set trial [dict get $Header trial]
    set inner {}
    for {set j 0} {$j < $nPar} {incr j} {
        lappend inner $j $w([expr {$j + $trial}])
    }
    lassign [OuterFactors [$fit get bounds] $inner $nPar] p factors
    $fit set p $p
    $fit set factors $factors
}

# Keeps the failure of a model (code, message, return options).
proc ::kardum::fit::Record {fit code answer options} {
    ModelFailed $fit $code $answer $options
}

# Words the complaint about an answer that is not the value and nPar
# derivatives.
proc ::kardum::fit::Check {fit x answer nPar} {
    if {[catch {llength $answer} length] || $length != $nPar + 1} {
        set message "kardum::nlfit: the model returned \"$answer\" at x = $x; it must\
            return its value and [Count $nPar derivative derivatives] (or use\
            -derivatives numeric)"
    } else {
        set message "kardum::nlfit: the model returned \"$answer\" at x = $x, not a\
            list of numbers"
    }
    $fit fail $message {-errorcode {KARDUM VALUE}}
}

# After a failure: the derivatives in the array named dYdA 0, value 0.
proc ::kardum::fit::Zero {nPar dYdA} {
    upvar 1 $dYdA d
    for {set j 0} {$j < $nPar} {incr j} {
        set d($j) 0.0
    }
    return 0.0
}

# Records a model that ended with an error or an unusual code.
proc ::kardum::fit::ModelFailed {fit code answer options} {
    if {$code != 1} {
        set how [expr {$code == 3 ? "break" : $code == 4 ? "continue" : "code $code"}]
        set answer "[$fit get model] ended with $how, not with a result"
        set options {-errorcode {KARDUM VALUE}}
    }
    $fit fail $answer $options
}

# Central differences, with a step relative to each parameter, for the
# point x at the parameters of the pass (one-sided where a step would
# cross a bound); sets the array named dYdA and returns the value.
proc ::kardum::fit::Numeric {fit x nPar dYdA} {
    upvar 1 $dYdA d
    set p [$fit get p]
    set flags [$fit get flags]
    set bounds [$fit get bounds]
    set factors [$fit get factors]
    if {[set y [Value $fit $x $p]] eq {}} {
        return 0.0
    }
    for {set j 0} {$j < $nPar} {incr j} {
        set d($j) 0.0
        if {![lindex $flags $j]} {
            continue
        }
        set pj [lindex $p $j]
        set h [expr {6.055454452393343e-06 * ($pj == 0.0 ? 1.0 : abs($pj))}]
        set up [expr {$pj + $h}]
        set down [expr {$pj - $h}]
        if {[set bound [lindex $bounds $j]] ne {}} {
            # Within the bounds: one-sided next to one.
            lassign $bound - lo hi
            set up [expr {min($up, $hi)}]
            set down [expr {max($down, $lo)}]
        }
        if {[set yUp [Value $fit $x [lreplace $p $j $j $up]]] eq {}
                || [set yDown [Value $fit $x [lreplace $p $j $j $down]]] eq {}} {
            return 0.0
        }
        set d($j) [expr {($yUp - $yDown) / ($up - $down) * [lindex $factors $j]}]
    }
    return $y
}

# The model's value alone (-derivatives numeric), or "" after a failure.
proc ::kardum::fit::Value {fit x p} {
    set code [catch {uplevel [$fit get level] [linsert [$fit get model] end $x $p]} \
                  answer options]
    if {$code != 0 && $code != 2} {
        ModelFailed $fit $code $answer $options
        return {}
    }
    set number [Answer $answer]
    if {$number eq {}} {
        $fit fail "kardum::nlfit: the model returned \"$answer\"\
            at x = $x, not a number" {-errorcode {KARDUM VALUE}}
    }
    return $number
}
