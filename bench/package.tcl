# package.tcl --
#
#	Benchmarks of the script-level helpers kardum::integrate and
#	kardum::nlfit, sourced by bench/run.tcl (which provides `job`, `reps`
#	and `quick`).
#
#	- kardum::nlfit on 10^4 points with analytic derivatives against the
#	  same fit driven by hand through KDdataNLinLSq (the same number of
#	  steps, the arrays built from the same lists): the helper's overhead.
#	- kardum::nlfit -vector 1 on 10^5 points (the model called once per
#	  step with every abscissa) against the per-point fit KDdataNLinLSq
#	  makes, by hand, with as many steps.
#	- kardum::integrate: evaluations of the integrand against an adaptive
#	  Gauss-Kronrod rule (G7-K15, written here) at the same tolerance, on
#	  smooth integrands; a separate table, in integRows.

# The library run.tcl loaded sits in a build tree, beside the package.
lappend auto_path [file dirname $::env(KARDUM_LIBRARY)]
package require kardum

# --- kardum::nlfit against KDdataNLinLSq by hand ---------------------------

set nlN [expr {$quick ? 2000 : 10000}]
set nlXs {}
set nlYs {}
expr {srand(7)}
for {set i 0} {$i < $nlN} {incr i} {
    set x [expr {$i * 10.0 / $nlN}]
    lappend nlXs $x
    lappend nlYs [expr {3.0 * exp(-$x / 2.5) + 0.5 + 0.01 * (rand() - 0.5)}]
}

# a exp(-x / t) + c with its derivatives, as kardum::nlfit wants it ...
proc nlModel {x p} {
    lassign $p a t c
    set e [expr {exp(-$x / $t)}]
    list [expr {$a * $e + $c}] $e [expr {$a * $e * $x / ($t * $t)}] 1.0
}
# ... and in KDdataNLinLSq's callback protocol.
proc nlHandModel {nPar dYdA work} {
    upvar 1 $dYdA d $work w
    set x [lindex $::nlXs $w(4)]
    set a $w(5)
    set t $w(6)
    set c $w(7)
    set e [expr {exp(-$x / $t)}]
    set d(0) $e
    set d(1) [expr {$a * $e * $x / ($t * $t)}]
    set d(2) 1.0
    expr {$a * $e + $c}
}
proc nlHelper {} {
    kardum::nlfit nlModel $::nlXs $::nlYs {1 1 0}
}
# The same fit by hand: the arrays from the lists, the steps the helper
# took, the finishing call; the abscissae of the model in ::nlXs.
proc nlByHand {steps {ys {}}} {
    if {$ys eq {}} {
        set ys $::nlYs
    }
    set n [llength $ys]
    set i 0
    foreach y $ys {
        set V($i) $y
        set S($i) 1.0
        incr i
    }
    set j 0
    foreach p {1 1 0} {
        set P($j) $p
        set F($j) 1
        incr j
    }
    for {set k 0} {$k < 4 * 9 + 2 * 3 + 5} {incr k} {
        set W($k) 0.0
    }
    set W(0) -0.001
    for {set s 0} {$s < $steps} {incr s} {
        KDdataNLinLSq V S $n P F 3 nlHandModel W
    }
    set W(0) 0
    KDdataNLinLSq V S $n P F 3 nlHandModel W
}
set nlSteps [dict get [nlHelper] steps]
job "kardum::nlfit $nlN points, analytic" 1.3 nlHelper \
    "KDdataNLinLSq by hand, $nlSteps steps" [list nlByHand $nlSteps] [expr {min($reps, 5)}]

# --- kardum::nlfit -vector 1 against the per-point callback -----------------
#
# The same model on 10^5 points, called once per pass with every abscissa
# and answering for all of them, against the per-point fit KDdataNLinLSq
# makes (what the helper ran before it had -vector), by hand with as many
# steps as the helper took.

set nlvN [expr {$quick ? 20000 : 100000}]
set nlvXs {}
set nlvYs {}
expr {srand(11)}
for {set i 0} {$i < $nlvN} {incr i} {
    set x [expr {$i * 10.0 / $nlvN}]
    lappend nlvXs $x
    lappend nlvYs [expr {3.0 * exp(-$x / 2.5) + 0.5 + 0.01 * (rand() - 0.5)}]
}
# What does not change from point to point is worked out once per call.
proc nlVector {xs p} {
    lassign $p a t c
    set r [expr {-1.0 / $t}]
    set k [expr {$a / ($t * $t)}]
    lmap x $xs {
        set e [expr {exp($r * $x)}]
        list [expr {$a * $e + $c}] $e [expr {$k * $e * $x}] 1.0
    }
}
proc nlVectorHelper {} {
    kardum::nlfit nlVector $::nlvXs $::nlvYs {1 1 0} -vector 1
}
proc nlVectorByHand {steps} {
    set saved $::nlXs
    set ::nlXs $::nlvXs
    try {
        nlByHand $steps $::nlvYs
    } finally {
        set ::nlXs $saved
    }
}
set nlvSteps [dict get [nlVectorHelper] steps]
job "kardum::nlfit -vector 1, $nlvN points" 0.2 nlVectorHelper \
    "KDdataNLinLSq by hand, $nlvSteps steps" [list nlVectorByHand $nlvSteps] \
    [expr {min($reps, 3)}]

# --- kardum::integrate against adaptive Gauss-Kronrod ------------------------

namespace eval gk {
    # Kronrod nodes (positive half, the centre last) and weights; the
    # Gauss weights belong to the nodes 1, 3, 5 and 7.
    variable x {0.991455371120812639206854697526329 0.949107912342758524526189684047851
                0.864864423359769072789712788640926 0.741531185599394439863864773280788
                0.586087235467691130294144845693013 0.405845151377397166906606412076961
                0.207784955007898467600689403773245 0.0}
    variable wk {0.022935322010529224963732008058970 0.063092092629978553290700663189204
                 0.104790010322250183839876322541518 0.140653259715525918745189590510238
                 0.169004726639267902826583426598550 0.190350578064785409913256402421014
                 0.204432940075298892414161999234649 0.209482141084727828012999174891714}
    variable wg {0.129484966168869693270611432679082 0.279705391489276667901467771423780
                 0.381830050505118944950369775488975 0.417959183673469387755102040816327}
}

# One 15-point Kronrod estimate on [a, b] with the usual error estimate
# from the embedded 7-point Gauss rule: {estimate error}.
proc gk::rule {f a b} {
    variable x
    variable wk
    variable wg
    set c [expr {0.5 * ($a + $b)}]
    set h [expr {0.5 * ($b - $a)}]
    set values {}
    foreach xi $x {
        if {$xi == 0.0} {
            lappend values [list [{*}$f $c]]
        } else {
            lappend values [list [{*}$f [expr {$c - $h * $xi}]] [{*}$f [expr {$c + $h * $xi}]]]
        }
    }
    set k 0.0
    set g 0.0
    set abs 0.0
    foreach v $values w $wk i {0 1 2 3 4 5 6 7} {
        set sum [expr [join $v +]]
        set k [expr {$k + $w * $sum}]
        foreach fv $v {set abs [expr {$abs + $w * abs($fv)}]}
        if {$i % 2} {
            set g [expr {$g + [lindex $wg [expr {$i / 2}]] * $sum}]
        }
    }
    set mean [expr {0.5 * $k}]
    set asc 0.0
    foreach v $values w $wk {
        foreach fv $v {set asc [expr {$asc + $w * abs($fv - $mean)}]}
    }
    set err [expr {abs(($k - $g) * $h)}]
    set asc [expr {$asc * abs($h)}]
    if {$asc != 0.0 && $err != 0.0} {
        set err [expr {$asc * min(1.0, (200.0 * $err / $asc) ** 1.5)}]
    }
    set err [expr {max($err, 50 * 2.220446049250313e-16 * $abs * abs($h))}]
    list [expr {$k * $h}] $err
}

# Globally adaptive: bisect the interval of the largest error until the sum
# of the errors is within max(tol * |estimate|, abstol).  Returns {estimate
# evaluations}.
proc gk::integrate {f a b tol abstol} {
    set parts [list [list $a $b {*}[rule $f $a $b]]]
    set evaluations 15
    while 1 {
        set total 0.0
        set error 0.0
        foreach part $parts {
            set total [expr {$total + [lindex $part 2]}]
            set error [expr {$error + [lindex $part 3]}]
        }
        if {$error <= max($tol * abs($total), $abstol) || $evaluations > 100000} {
            return [list $total $evaluations]
        }
        set parts [lsort -real -decreasing -index 3 $parts]
        lassign [lindex $parts 0] lo hi
        set mid [expr {0.5 * ($lo + $hi)}]
        set parts [lreplace $parts 0 0 [list $lo $mid {*}[rule $f $lo $mid]] \
                       [list $mid $hi {*}[rule $f $mid $hi]]]
        incr evaluations 30
    }
}

# Each smooth integrand: kardum::integrate at its defaults (tol 1e-10,
# abstol 1e-12) and G7-K15 at the same tolerances; evaluations and errors.
set integRows {}
set pi 3.141592653589793
foreach {name body a b exact} [list \
    "exp(-x^2), 0 .. 1"          {expr {exp(-$x * $x)}}          0  1 0.7468241328124270 \
    "1/(1+25x^2), -1 .. 1"       {expr {1 / (1 + 25 * $x * $x)}} -1 1 [expr {0.4 * atan(5)}] \
    "x sin 30x, 0 .. 2pi"        {expr {$x * sin(30 * $x)}}      0  [expr {2 * $pi}] [expr {-$pi / 15}] \
    "sin x, 0 .. pi"             {expr {sin($x)}}                0  $pi 2.0 \
    "exp x, 0 .. 2"              {expr {exp($x)}}                0  2 [expr {exp(2) - 1}] \
    "4/(1+x^2), 0 .. 1"          {expr {4 / (1 + $x * $x)}}      0  1 $pi] {
    set f [list apply [list x $body]]
    set v [kardum::integrate $f $a $b -info info]
    lassign [gk::integrate $f $a $b 1e-10 1e-12] g gEvaluations
    lappend integRows [list $name [dict get $info evaluations] \
                           [expr {abs($v - $exact) / abs($exact)}] $gEvaluations \
                           [expr {abs($g - $exact) / abs($exact)}]]
}

proc printIntegRows {} {
    global integRows
    puts ""
    puts "kardum::integrate (default: tanh-sinh) against adaptive G7-K15, tol 1e-10, evaluations:"
    puts [format "%-24s %8s %9s %8s %9s %7s %s" integrand kardum "rel err" G7-K15 "rel err" ratio "target <= 2"]
    foreach row $integRows {
        lassign $row name k kErr g gErr
        set ratio [expr {double($k) / $g}]
        puts [format "%-24s %8d %9.1e %8d %9.1e %7.2f %s" $name $k $kErr $g $gErr $ratio \
                  [expr {$ratio <= 2 ? "met" : "MISSED"}]]
    }
}
