# run.tcl --
#
#	Times each job of the library side by side with a comparator doing the
#	same work, in one run, and prints one table: the median of several
#	repetitions for each side, the two sides alternating repetition by
#	repetition so that a change of load on the machine hits both.  Times
#	are CPU time of the benchmarking thread.
#
#	ratio    = kardum time / comparator time (below 1: kardum is faster)
#	speed-up = comparator time / kardum time
#
#	Usage (make bench sets the environment):
#	    KARDUM_LIBRARY=build/libkardum.so \
#	    KARDUM_BENCHEXT=build/libkardum_benchext.so tclsh bench/run.tcl ?-quick? ?-only pattern?

load $env(KARDUM_LIBRARY)
load $env(KARDUM_BENCHEXT) Kardumbench

set quick [expr {"-quick" in $argv}]
set only *
if {[set i [lsearch $argv -only]] >= 0} {set only [lindex $argv [expr {$i + 1}]]}
set haveTcllib [expr {![catch {package require math::linearalgebra}]}]

set rows {}

proc median {values} {
    set s [lsort -real $values]
    set n [llength $s]
    if {$n % 2} {return [lindex $s [expr {$n / 2}]]}
    expr {([lindex $s [expr {$n / 2 - 1}]] + [lindex $s [expr {$n / 2}]]) / 2.0}
}

# Microseconds of CPU time taken by one evaluation of a script at global
# level (CPU time, so that waiting for a core on a shared machine does not
# count).
proc clocked {script} {
    set t0 [KDbenchCpuTime]
    uplevel #0 $script
    expr {[KDbenchCpuTime] - $t0}
}

# job name target kardumScript comparatorName comparatorScript reps ?setup?
#   target: the largest acceptable ratio, or "-" for none.
#   setup:  a script run (untimed) before every timed evaluation.
#   A script may also be {native procName ...}: a command that times itself
#   and returns microseconds (used for the solvers in C).
proc job {name target kdScript compName compScript reps {setup {}} {warmup 1}} {
    global rows only
    if {![string match $only $name]} return
    set kd {}
    set cmp {}
    # An untimed warm-up of each side (unless the job is long), then alternate.
    for {set r [expr {$warmup ? -1 : 0}]} {$r < $reps} {incr r} {
        foreach side {kd cmp} script [list $kdScript $compScript] {
            if {$setup ne ""} {uplevel #0 $setup}
            if {[lindex $script 0] eq "native"} {
                set t [uplevel #0 [lrange $script 1 end]]
            } else {
                set t [clocked $script]
            }
            if {$r >= 0} {lappend $side $t}
        }
    }
    set k [median $kd]
    set c [median $cmp]
    lappend rows [list $name $k $compName $c $target]
    set ::lastJob [list $k $c]
    puts stderr [format "  %-34s %12s  %-30s %12s" $name [fmt $k] $compName [fmt $c]]
}

proc fmt {us} {
    if {$us >= 1e6} {return [format "%.3g s" [expr {$us / 1e6}]]}
    if {$us >= 1e3} {return [format "%.3g ms" [expr {$us / 1e3}]]}
    return [format "%.3g us" $us]
}

# --- Data -------------------------------------------------------------------

set nSqrt [expr {$quick ? 20000 : 100000}]
for {set i 0} {$i < $nSqrt} {incr i} {
    set X($i) [expr {$i * 0.5 + 1.0}]
    set Z($i) 0.0
}

# A reproducible, diagonally dominant matrix of order n into array name
# (row-major) and the list of rows into listVar; one right-hand side.
proc makeSystem {n arrayName listVar rhsName rhsListVar} {
    upvar #0 $arrayName A $listVar L $rhsName B $rhsListVar BL
    expr {srand(42)}
    set L {}
    for {set r 0} {$r < $n} {incr r} {
        set row {}
        for {set c 0} {$c < $n} {incr c} {
            set v [expr {rand() * 2.0 - 1.0 + ($r == $c ? $n : 0)}]
            set A([expr {$r * $n + $c}]) $v
            lappend row $v
        }
        lappend L $row
    }
    set BL {}
    for {set r 0} {$r < $n} {incr r} {
        set v [expr {rand()}]
        set B($r) $v
        lappend BL $v
    }
}

# --- Element-wise arithmetic -------------------------------------------------

proc kdSqrt {n} {
    global X Z
    KDarrayMath X SQRT 0 Z $n
}
proc tclSqrt {n} {
    global X Z
    for {set i 0} {$i < $n} {incr i} {
        set Z($i) [expr {sqrt($X($i))}]
    }
}
proc floorCopy {n} {
    global X Z
    KDbenchFloor X Z $n
}

set reps [expr {$quick ? 3 : 7}]
job "KDarrayMath SQRT $nSqrt (in a proc)" 0.5 \
    [list kdSqrt $nSqrt] "Tcl loop in a proc" [list tclSqrt $nSqrt] $reps
job "KDarrayMath SQRT $nSqrt (top level)" 0.5 \
    [list KDarrayMath X SQRT 0 Z $nSqrt] "Tcl loop in a proc" [list tclSqrt $nSqrt] $reps
job "KDarrayMath SQRT $nSqrt (in a proc)" 1.3 \
    [list kdSqrt $nSqrt] "marshalling floor (in a proc)" [list floorCopy $nSqrt] $reps

# --- Matrix inversion and solving --------------------------------------------

makeSystem 100 M0 ML R0 RL
proc kdSolve {} {
    global M R
    KDmatrixInv 100 M 0 1 R
}
proc resetSystem {} {
    global M R M0 R0
    array unset M
    array unset R
    array set M [array get M0]
    array set R [array get R0]
}
proc floorSystem {} {
    global M R M2 R2
    KDbenchFloor M M2 10000
    KDbenchFloor R R2 100
}
if {$haveTcllib} {
    job "KDmatrixInv 100, 1 rhs" 0.005 \
        kdSolve "math::linearalgebra::solveGauss" \
        {math::linearalgebra::solveGauss $ML $RL} [expr {$quick ? 2 : 3}] resetSystem
}
job "KDmatrixInv 100, 1 rhs" 1.3 \
    kdSolve "marshalling floor (in a proc)" floorSystem [expr {$quick ? 3 : 9}] resetSystem

# --- Matrix products ----------------------------------------------------------

proc kdMatmul {} {
    global M0 M2 P
    KDmatrixMath M0 * M0 P 100 100 100 100
}
if {$haveTcllib} {
    job "KDmatrixMath * 100x100" - \
        kdMatmul "math::linearalgebra::matmul" \
        {math::linearalgebra::matmul $ML $ML} [expr {$quick ? 2 : 3}]
    proc kdTranspose {} {
        global M0 P
        KDmatrixMath M0 T M0 P 100 100 100 100
    }
    job "KDmatrixMath T 100x100" - \
        kdTranspose "math::linearalgebra::transpose" \
        {math::linearalgebra::transpose $ML} $reps
}

# --- Polynomial evaluation in a loop -----------------------------------------

set nPoly [expr {$quick ? 2000 : 10000}]
array set PC {0 1.5 1 -2.0 2 0.25 3 0.125 4 -0.0625}
proc kdPoly {n} {
    global PC
    set s 0.0
    for {set i 0} {$i < $n} {incr i} {
        set s [expr {$s + [KDpolyExp1D [expr {$i * 0.001}] 5 PC]}]
    }
    return $s
}
proc tclPoly {n} {
    global PC
    set s 0.0
    for {set i 0} {$i < $n} {incr i} {
        set x [expr {$i * 0.001}]
        set p 1.0
        set v $PC(0)
        for {set k 1} {$k < 5} {incr k} {
            set p [expr {$p * $x}]
            set v [expr {$PC($k) * $p + $v}]
        }
        set s [expr {$s + $v}]
    }
    return $s
}
job "KDpolyExp1D in a loop, $nPoly x" - \
    [list kdPoly $nPoly] "Tcl loop" [list tclPoly $nPoly] $reps

# --- Linear least squares with a script basis ---------------------------------

# The basis 1, x, x^2, ... as many as asked for, set in the caller's array.
proc basis {x arr n} {
    upvar 1 $arr t
    set p 1.0
    for {set i 0} {$i < $n} {incr i} {
        set t($i) $p
        set p [expr {$p * $x}]
    }
}
set nFit [expr {$quick ? 1000 : 5000}]
for {set i 0} {$i < $nFit} {incr i} {
    set FX($i) [expr {$i * 0.001}]
    set FY($i) [expr {1.0 + 2.0 * $FX($i) + 0.5 * $FX($i) ** 2 + 0.01 * sin($i)}]
}
array set FI {0 1 1 1 2 1 3 1}
proc kdFit {n} {
    global FX FY FC FI FCov
    KDdataLSq1D FX FY $n 0 FC FI 4 FCov basis
}
# The same fit in plain Tcl: the basis called on the same "%f" text, the
# normal equations accumulated in Tcl, solved by math::linearalgebra.
proc tclFit {n} {
    global FX FY
    set nc 4
    for {set j 0} {$j < $nc} {incr j} {
        set b($j) 0.0
        for {set k 0} {$k < $nc} {incr k} {set A($j,$k) 0.0}
    }
    for {set i 0} {$i < $n} {incr i} {
        basis [format %f $FX($i)] tC $nc
        for {set j 0} {$j < $nc} {incr j} {
            for {set k 0} {$k <= $j} {incr k} {
                set A($j,$k) [expr {$A($j,$k) + $tC($j) * $tC($k)}]
            }
            set b($j) [expr {$b($j) + $FY($i) * $tC($j)}]
        }
    }
    set M {}
    set B {}
    for {set j 0} {$j < $nc} {incr j} {
        set row {}
        for {set k 0} {$k < $nc} {incr k} {
            lappend row [expr {$k <= $j ? $A($j,$k) : $A($k,$j)}]
        }
        lappend M $row
        lappend B $b($j)
    }
    set c [math::linearalgebra::solveGauss $M $B]
    set chi2 0.0
    for {set i 0} {$i < $n} {incr i} {
        basis [format %f $FX($i)] tC $nc
        set f 0.0
        for {set j 0} {$j < $nc} {incr j} {set f [expr {$f + [lindex $c $j] * $tC($j)}]}
        set chi2 [expr {$chi2 + ($FY($i) - $f) ** 2}]
    }
    return $chi2
}
# The basis procedure's own run time: called from a loop on the texts the
# fit hands it (fresh text objects, twice per point as in the fit's two
# passes).
proc basisTexts {n} {
    global FX BT1 BT2
    set BT1 {}
    set BT2 {}
    for {set i 0} {$i < $n} {incr i} {
        lappend BT1 [format %f $FX($i)]
        lappend BT2 [format %f $FX($i)]
    }
}
proc basisAlone {} {
    global BT1 BT2
    foreach v $BT1 {basis $v tC 4}
    foreach v $BT2 {basis $v tC 4}
}
if {$haveTcllib} {
    job "KDdataLSq1D 4 coef, $nFit points" 0.5 \
        [list kdFit $nFit] "plain Tcl fit + solveGauss" [list tclFit $nFit] $reps
}
job "KDdataLSq1D 4 coef, $nFit points" [list overhead [expr {2 * $nFit}] 0.4] \
    [list kdFit $nFit] "basis proc alone, 2 calls/point" basisAlone $reps \
    [list basisTexts $nFit]

# --- Compute limit: MatrixInv_C against the reference LAPACK ---------------

foreach n [expr {$quick ? {100 300} : {100 300 1000}}] {
    job "MatrixInv_C order $n" 2 \
        [list native KDbenchInverse kardum $n] "LAPACK dgetrf+dgetri" \
        [list native KDbenchInverse lapack $n] [expr {$n >= 1000 ? 3 : 7}]
}

# --- The table ----------------------------------------------------------------

set line [string repeat - 118]
puts $line
puts [format "%-36s %10s  %-32s %10s %9s %9s %8s" job kardum comparator time ratio speed-up target]
puts $line
foreach row $rows {
    lassign $row name k cname c target
    set ratio [expr {double($k) / $c}]
    set verdict ""
    if {[lindex $target 0] eq "overhead"} {
        # Time per callback beyond the comparator's (the callback's own).
        lassign $target - count limit
        set per [expr {double($k - $c) / $count}]
        set verdict [expr {$per <= $limit ? "met" : "MISSED"}]
        set target [format "+%.2fus/pt <= %s" $per $limit]
    } elseif {$target ne "-"} {
        set verdict [expr {$ratio <= $target ? "met" : "MISSED"}]
        set target "<= $target"
    }
    puts [format "%-36s %10s  %-32s %10s %9.4g %9.4g %8s %s" \
              $name [fmt $k] $cname [fmt $c] $ratio [expr {1.0 / $ratio}] $target $verdict]
}
puts $line
puts "ratio = kardum / comparator (medians of the repetitions); target: largest acceptable ratio"
