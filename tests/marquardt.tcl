# Shared by the tests of KDdataMqCoef and KDdataNLinLSq: work arrays, model
# procedures in the callback protocol, a driver of the fitting loop and a
# reader for NIST's reference datasets.  The models take their abscissae
# from the global array ::X, the point from element 4 of the work array
# and the parameters from elements 5 and up.

# A zero-filled work array for nPar parameters in the caller's frame.
proc newWork {name nPar} {
    upvar 1 $name w
    unset -nocomplain w
    for {set i 0} {$i < 4*$nPar*$nPar + 2*$nPar + 5} {incr i} {set w($i) 0}
}

# Fills X, V and SiG (σ = 1 unless given) from a list of x y pairs.
proc setData {pairs {sigma 1}} {
    upvar 1 X x V v SiG s
    unset -nocomplain x v s
    set i 0
    foreach {xi yi} $pairs {
        set x($i) $xi; set v($i) $yi; set s($i) $sigma
        incr i
    }
    return $i
}

# Polynomial a0 + a1 x + a2 x^2 + ... with as many terms as parameters.
proc poly {nPar dYdA work} {
    upvar 1 $dYdA d $work w
    set x $::X($w(4))
    set y 0.0
    set p 1.0
    for {set j 0} {$j < $nPar} {incr j} {
        set d($j) $p
        set y [expr {$y + $w([expr {5 + $j}]) * $p}]
        set p [expr {$p * $x}]
    }
    return $y
}

# a0 exp(-x / a1) + a2
proc decay {nPar dYdA work} {
    upvar 1 $dYdA d $work w
    set x $::X($w(4))
    lassign [list $w(5) $w(6) $w(7)] a t c
    set e [expr {exp(-$x / $t)}]
    set d(0) $e
    set d(1) [expr {$a * $e * $x / ($t * $t)}]
    set d(2) 1.0
    return [expr {$a * $e + $c}]
}

# a0 exp(-((x - a1) / a2)^2 / 2) + a3 + a4 x
proc peak {nPar dYdA work} {
    upvar 1 $dYdA d $work w
    set x $::X($w(4))
    lassign [list $w(5) $w(6) $w(7) $w(8) $w(9)] h c s b0 b1
    set u [expr {($x - $c) / $s}]
    set g [expr {exp(-0.5 * $u * $u)}]
    set d(0) $g
    set d(1) [expr {$h * $g * $u / $s}]
    set d(2) [expr {$h * $g * $u * $u / $s}]
    set d(3) 1.0
    set d(4) $x
    return [expr {$h * $g + $b0 + $b1 * $x}]
}

# Runs the fitting loop: starts with λ = 0.001, steps until the
# best chi-square has stopped falling (relative change below tol on an
# accepted step, or λ above 1e10), then makes the finishing call.  Returns
# the number of calls; Par holds the fit and Work the covariance.
proc fitLoop {model nPar {tol 1e-15} {maxCalls 500}} {
    upvar 1 Par par iPar ipar Work w V v SiG s
    set np [array size v]
    newWork w $nPar
    set w(0) -1
    set calls 0
    set best Inf
    while {$calls < $maxCalls} {
        KDdataNLinLSq v s $np par ipar $nPar $model w
        incr calls
        if {$w(2) < $best} {
            set change [expr {$best - $w(2)}]
            set best $w(2)
            if {$change <= $tol * $best} break
        }
        if {$w(0) > 1e10} break
    }
    if {$calls >= $maxCalls} {error "$model: no convergence in $calls calls"}
    set w(0) 0
    KDdataNLinLSq v s $np par ipar $nPar $model w
    return $calls
}

source [file join [file dirname [file normalize [info script]]] nlstrd.tcl]

# Reads a NIST StRD nonlinear dataset from tests/data/strd: a dict with the
# keys start1, start2, certified, sd (lists over the parameters), rss and
# data (a flat list of x y pairs).
proc readStrd {name} {
    set d [nlstrd::read $name]
    set data {}
    foreach x [dict get $d xs] y [dict get $d ys] {
        lappend data $x $y
    }
    dict set d data $data
    return [dict remove $d xs ys]
}
