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
set nSmall 20000
for {set i 0} {$i < $nSqrt} {incr i} {
    set X($i) [expr {$i * 0.5 + 1.0}]
}
for {set i 0} {$i < $nSqrt} {incr i} {
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
if {$nSqrt > $nSmall} {
    job "KDarrayMath SQRT $nSmall (in a proc)" 0.5 \
        [list kdSqrt $nSmall] "Tcl loop in a proc" [list tclSqrt $nSmall] $reps
    job "KDarrayMath SQRT $nSmall (in a proc)" 1.3 \
        [list kdSqrt $nSmall] "marshalling floor (in a proc)" [list floorCopy $nSmall] $reps
}
job "KDarrayMath SQRT $nSqrt (in a proc)" 0.5 \
    [list kdSqrt $nSqrt] "Tcl loop in a proc" [list tclSqrt $nSqrt] $reps
job "KDarrayMath SQRT $nSqrt (top level)" 0.5 \
    [list KDarrayMath X SQRT 0 Z $nSqrt] "Tcl loop at top level" \
    [list for {set i 0} {$i < $nSqrt} {incr i} {set Z($i) [expr {sqrt($X($i))}]}] $reps
job "KDarrayMath SQRT $nSqrt (in a proc)" 1.3 \
    [list kdSqrt $nSqrt] "marshalling floor (in a proc)" [list floorCopy $nSqrt] $reps

# Reading costs what the array holds: a read of every element against the
# floor reading alone; a missing array and a count of 2^31 - 1 far beyond
# a 40-element array cost about one lookup.
proc kdSum {n} {
    global X
    KDarrayMath X SUM 0 - $n
}
proc floorRead {n} {
    global X
    KDbenchFloor X {} $n
}
proc kdMissing {n} {
    # X is not visible here: every index misses
    KDarrayMath X SQRT 0 Z $n
}
for {set i 0} {$i < 40} {incr i} {set Z40($i) [expr {$i + 0.5}]}
job "KDarrayMath SUM $nSqrt: reading (in a proc)" 1.3 \
    [list kdSum $nSqrt] "reading floor (in a proc)" [list floorRead $nSqrt] $reps
job "KDarrayMath SQRT $nSqrt, missing array" 0.05 \
    [list kdMissing $nSqrt] "reading floor (in a proc)" [list floorRead $nSqrt] $reps
job "KDpolyExp1D count 2^31-1, 40 elements" {under 10000} \
    {KDpolyExp1D 100 2147483647 Z40 -2147483648 2 37} "the same call with count 1" \
    {KDpolyExp1D 100 1 Z40 -2 2 37} $reps

# Every command that takes a count, with 2^31 - 1 on the 40 elements of
# Z40: the loops cost what is there (a run of absent places is taken in
# closed form), against the same call with the count 40.  Commands whose
# count sizes an output or a per-point scratch refuse the call at once
# (caught): the rows show that too costs no walk over the count.
array set F40 {0 1 1 1}
array set W40 {0 -1 3 2}
proc basis40 {x t n} {upvar 1 $t tc; set tc(0) 1.0; set tc(1) $x}
proc model40 {args} {return 1.0}
foreach {label call} {
    "KDdataMxMn <"          {KDdataMxMn Z40 COUNT <}
    "KDdataMxMn > 0"        {KDdataMxMn Z40 COUNT > 0}
    "KDdataMxMn G"          {KDdataMxMn Z40 COUNT G}
    "KDpolyExp1D 0.5"       {KDpolyExp1D 0.5 COUNT Z40}
    "KDpolyExp1D -1"        {KDpolyExp1D -1 COUNT Z40}
    "KDarrayMath SUM"       {KDarrayMath Z40 SUM 0 - COUNT}
    "KDarrayMath AVG"       {KDarrayMath Z40 AVG 0 - COUNT}
    "KDarrayMath V 0.5"     {KDarrayMath Z40 V 0.5 - COUNT}
    "KDvecMath D"           {KDvecMath Z40 D Z40 - 0 0 0 COUNT COUNT}
    "KDvecMath M"           {KDvecMath Z40 M Z40 - 0 0 0 COUNT COUNT}
    "KDarrayMath + (refused)"   {catch {KDarrayMath Z40 + 1 Out40 COUNT}}
    "KDvecMath U (refused)"     {catch {KDvecMath Z40 U Z40 Out40 0 0 0 COUNT COUNT}}
    "KDdataRnd1 (refused)"      {catch {KDdataRnd1 Out40 COUNT P}}
    "KDdataLSq1D (refused)"     {catch {KDdataLSq1D Z40 Z40 COUNT 0 C40 F40 2 V40 basis40}}
    "KDdataLSq2D (refused)"     {catch {KDdataLSq2D Z40 Z40 Z40 COUNT 1 0 C40}}
    "KDdataMqCoef (refused)"    {catch {KDdataMqCoef Z40 Z40 COUNT F40 2 11 15 {} W40}}
    "KDdataNLinLSq (refused)"   {catch {KDdataNLinLSq Z40 Z40 COUNT Z40 F40 2 model40 W40}}
} {
    job "$label, count 2^31-1 on 40 elements" {under 10000} \
        [string map {COUNT 2147483647} $call] "the same call with count 40" \
        [string map {COUNT 40} $call] $reps
}
job "KDpolyExp2D, count 2^31-1 on 40 elements" {under 10000} \
    {KDpolyExp2D 0.5 0.25 2147450880 Z40 65534} "the same call with degree 8" \
    {KDpolyExp2D 0.5 0.25 45 Z40 8} $reps

# The cost per element as the arrays grow: KDarrayMath SQRT, the floor and
# the Tcl loop on fresh arrays X2, Z2 of each size (a separate table).
set sizeRows {}
proc kdSqrt2 {n} {
    global X2 Z2
    KDarrayMath X2 SQRT 0 Z2 $n
}
proc floorCopy2 {n} {
    global X2 Z2
    KDbenchFloor X2 Z2 $n
}
proc tclSqrt2 {n} {
    global X2 Z2
    for {set i 0} {$i < $n} {incr i} {
        set Z2($i) [expr {sqrt($X2($i))}]
    }
}
proc sizeScan {sizes reps} {
    global sizeRows X2 Z2
    foreach n $sizes {
        unset -nocomplain X2 Z2
        for {set i 0} {$i < $n} {incr i} {set X2($i) [expr {$i * 0.5 + 1.0}]}
        for {set i 0} {$i < $n} {incr i} {set Z2($i) 0.0}
        set t {kd {} floor {} loop {}}
        for {set r -1} {$r < $reps} {incr r} {
            foreach side {kd floor loop} cmd {kdSqrt2 floorCopy2 tclSqrt2} {
                set us [clocked [list $cmd $n]]
                if {$r >= 0} {dict lappend t $side $us}
            }
        }
        lappend sizeRows [list $n {*}[lmap side {kd floor loop} {
            expr {[median [dict get $t $side]] * 1000.0 / $n}
        }]]
    }
    unset -nocomplain X2 Z2
}
if {[string match $only "KDarrayMath*"]} {
    sizeScan [expr {$quick ? {10000 50000} : {10000 100000 300000}}] [expr {$quick ? 3 : 5}]
}

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
job "KDmatrixInv 100, 1 rhs" - \
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

# --- Gridding and grid filling ------------------------------------------------

# Point records on an n x n grid over the unit square, about `empty` of the
# cells left without any: each other cell gets one record, the remaining
# records fall on random ones of them.  X, Y, Z into the arrays named.
proc makeRecords {n empty nRec xName yName zName} {
    upvar #0 $xName X $yName Y $zName Z
    expr {srand(11)}
    set data {}
    for {set k 0} {$k < $n * $n} {incr k} {
        if {rand() >= $empty} {lappend data $k}
    }
    set nData [llength $data]
    for {set i 0} {$i < $nRec} {incr i} {
        set k [lindex $data [expr {$i < $nData ? $i : int(rand() * $nData)}]]
        set x [expr {($k % $n + 0.05 + 0.9 * rand()) / $n}]
        set y [expr {($k / $n + 0.05 + 0.9 * rand()) / $n}]
        set X($i) $x
        set Y($i) $y
        set Z($i) [expr {sin(6.0 * $x) * cos(5.0 * $y) + 2.0}]
    }
    expr {$n * $n - $nData}
}

proc descriptor {name n} {
    upvar #0 $name gI
    array set gI [list 0 0.0 1 1.0 2 0.0 3 1.0 4 $n 5 $n 6 POINT 7 POINT \
        8 ROW 9 KEEP 10 "NEW ADD END " 11 -999.0 12 -888.0 13 -1e30 14 1e30 \
        15 N 16 N]
}

# The same point binning in plain Tcl: start, add, finish.
proc tclGrid {nRec n} {
    global GX GY GZ TG TN
    set cells [expr {$n * $n}]
    for {set k 0} {$k < $cells} {incr k} {
        set TG($k) 0.0
        set TN($k) 0.0
    }
    set dx [expr {1.0 / $n}]
    for {set i 0} {$i < $nRec} {incr i} {
        set z $GZ($i)
        set u [expr {(($GX($i) - 0.0) / $dx + ($GX($i) - 0.0) / $dx) / 2.0}]
        set v [expr {(($GY($i) - 0.0) / $dx + ($GY($i) - 0.0) / $dx) / 2.0}]
        if {$u < 0 || $u >= $n || $v < 0 || $v >= $n} continue
        set k [expr {int($v) * $n + int($u)}]
        set TG($k) [expr {$z * 1.0 + $TG($k)}]
        set TN($k) [expr {$TN($k) + 1.0}]
    }
    for {set k 0} {$k < $cells} {incr k} {
        if {$TN($k) > 0} {
            set TG($k) [expr {$TG($k) / $TN($k)}]
        } else {
            set TG($k) -999.0
        }
    }
}

set gridN [expr {$quick ? 300 : 1000}]
set fillRows {}
if {[string match $only "KDdataGrid*"] || [string match $only "KDgridFill2D*"]} {
    set nRec [expr {$gridN == 1000 ? 1000000 : int(1.2 * $gridN * $gridN)}]
    puts stderr "  making $nRec records on a $gridN x $gridN grid ..."
    set nEmpty [makeRecords $gridN 0.3 $nRec GX GY GZ]
    descriptor gI $gridN
    proc kdGrid {nRec} {
        global GX GY GZ Grd Nrm gI
        KDdataGrid $nRec 1 GX GX 1 GY GY GZ Grd Nrm gI
    }
    job "KDdataGrid $nRec records, ${gridN}x$gridN" - \
        [list kdGrid $nRec] \
        "plain Tcl point binning" [list tclGrid $nRec $gridN] \
        [expr {$quick ? 1 : 3}] {unset -nocomplain Grd Nrm TG TN} 0
    if {![info exists Grd]} {
        KDdataGrid $nRec 1 GX GX 1 GY GY GZ Grd Nrm gI
    }
    foreach k {0 1 2 1000 99999} {
        if {[info exists TG($k)] && abs($TG($k) - $Grd($k)) > 1e-12} {
            error "the Tcl binning differs from KDdataGrid at cell $k"
        }
    }
    unset -nocomplain TG TN GX GY GZ

    # Filling: the cells without records, from their neighbours within
    # radius r; a fit of degree 1 in each cell.  Filling again with the
    # same weights refills the same cells from the same data, so every
    # repetition does the same work.
    array set sI {0 2 1 2 2 4 3 0 4 0 5 0 6 0 7 0 8 1.5 9 1}
    proc fill {} {
        global Grd gI Nrm sI
        KDgridFill2D Grd gI Nrm sI
    }
    proc fillFloor {n} {
        global Grd Nrm FG
        KDbenchFloor Grd FG $n
        KDbenchFloor Nrm {} $n
    }
    proc fillJobs {n nEmpty radii reps} {
        global sI fillRows
        foreach r $radii {
            set sI(1) $r
            set name "KDgridFill2D ${n}x$n, r=$r"
            job $name - fill "marshalling floor" [list fillFloor [expr {$n * $n}]] \
                $reps {} 0
            lassign $::lastJob k c
            lappend fillRows [list $n $r $nEmpty $k $c]
        }
    }
    fillJobs $gridN $nEmpty {2 4 8} [expr {$quick ? 1 : 3}]
    unset -nocomplain Grd Nrm FG

    # The same density on a grid of another size.
    set small [expr {$gridN == 1000 ? 300 : 100}]
    set nRec [expr {int(1.2 * $small * $small)}]
    set nEmpty [makeRecords $small 0.3 $nRec GX GY GZ]
    descriptor gI $small
    KDdataGrid $nRec 1 GX GX 1 GY GY GZ Grd Nrm gI
    fillJobs $small $nEmpty {2 4 8} [expr {$quick ? 1 : 3}]
    unset -nocomplain Grd Nrm FG GX GY GZ
}

# --- kardum::gridfill ----------------------------------------------------------

set passRows {}
source [file join [file dirname [info script]] gridfill.tcl]

# --- kardum::gridwrite after list reads of the grid --------------------------

source [file join [file dirname [info script]] gridwrite.tcl]

# --- Files to a filled grid, against GMT nearneighbor ------------------------
# End to end, each side a process of its own, from the same xyz file on disk
# to an ESRI ASCII grid on disk: bench/gridjob.tcl (kardum::readxyz,
# kardum::gridfill with its defaults, kardum::gridwrite) against
# `gmt nearneighbor` with the same search radius (4 cells), sectors (4, all
# required) and cells.  Time is the child's CPU time (user + system); the
# peak is its largest resident set.

set gmt [auto_execok gmt]
set fileRows {}
proc writeXyz {file n} {
    # Franke's surface at n uniform random points of the unit square.
    expr {srand(20261210)}
    set f [open $file w]
    fconfigure $f -buffersize 1000000
    for {set i 0} {$i < $n} {incr i} {
        set x [expr {rand()}]
        set y [expr {rand()}]
        set a [expr {9.0 * $x}]
        set b [expr {9.0 * $y}]
        set z [expr {0.75 * exp(-(($a - 2)**2 + ($b - 2)**2) / 4.0)
            + 0.75 * exp(-(($a + 1)**2) / 49.0 - ($b + 1) / 10.0)
            + 0.5 * exp(-(($a - 7)**2 + ($b - 3)**2) / 4.0)
            - 0.2 * exp(-(($a - 4)**2) - ($b - 7)**2)}]
        puts $f "$x $y $z"
    }
    close $f
}
proc fileJob {n cells target reps} {
    global gmt fileRows only
    set name "xyz file $n -> ${cells}x$cells file"
    if {![string match $only $name]} return
    set dir [file join [pwd] bench-files]
    file mkdir $dir
    set in [file join $dir points-$n.xyz]
    if {![file exists $in]} {writeXyz $in $n}
    set cell [expr {1.0 / $cells}]
    set pkgDir [file dirname $::env(KARDUM_LIBRARY)]
    set job [file join [file dirname [info script]] gridjob.tcl]
    set kdCmd [list [info nameofexecutable] $job $pkgDir $in [file join $dir kardum.asc] \
                     0 1 0 1 $cells $cells]
    set gmtCmd [list $gmt nearneighbor $in -R0/1/0/1 -I$cell -r -S[expr {4 * $cell}] \
                      -N4+m4 -G[file join $dir gmt.asc]=ef]
    set ::peaks {}
    job $name $target [list native runChild kd $kdCmd] "GMT nearneighbor" \
        [list native runChild gmt $gmtCmd] $reps {} [expr {$n < 100000}]
    set bytes [expr {8.0 * (3 * $n + $cells * $cells)}]
    lappend fileRows [list $name $n $cells $bytes [dict get $::peaks kd] [dict get $::peaks gmt]]
}
# The peak comes from GNU time, itself a small process: a child forked from
# this benchmark would count its parent's resident pages in its own peak.
proc runChild {side cmd} {
    set log [file join [pwd] bench-files time.log]
    lassign [KDbenchRun /usr/bin/time -f "%U %S %M" -o $log {*}$cmd] cpu wall
    set f [open $log]
    lassign [split [string trim [read $f]] " "] user system peak
    close $f
    dict lappend ::peaks $side [expr {$peak * 1024.0}]
    return [expr {($user + $system) * 1e6}]
}
if {$gmt eq ""} {
    puts stderr "  (GMT is missing: apt-get install gmt; the file rows are left out)"
} else {
    fileJob 50000 500 0.5 5
    if {!$quick} {
        fileJob 1000000 2000 1.0 3
    }
}

# --- The script-level helpers: kardum::nlfit, kardum::integrate -------------

source [file join [file dirname [info script]] package.tcl]

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
    } elseif {[lindex $target 0] eq "under"} {
        # An absolute bound on kardum's time, in microseconds.
        set limit [lindex $target 1]
        set verdict [expr {$k <= $limit ? "met" : "MISSED"}]
        set target "<= [fmt $limit]"
    } elseif {$target ne "-"} {
        set verdict [expr {$ratio <= $target ? "met" : "MISSED"}]
        set target "<= $target"
    }
    puts [format "%-36s %10s  %-32s %10s %9.4g %9.4g %8s %s" \
              $name [fmt $k] $cname [fmt $c] $ratio [expr {1.0 / $ratio}] $target $verdict]
}
puts $line
puts "ratio = kardum / comparator (medians of the repetitions); target: largest acceptable ratio,"
puts "or the longest acceptable kardum time (<= 10 ms)"

if {[llength $sizeRows]} {
    puts ""
    puts "KDarrayMath SQRT per element (ns), called in a proc, by array size:"
    puts [format "%10s %10s %10s %10s %12s %12s" elements kardum floor "Tcl loop" kardum/floor loop/kardum]
    foreach row $sizeRows {
        lassign $row n k f l
        puts [format "%10d %10.0f %10.0f %10.0f %12.2f %12.2f" $n $k $f $l \
                  [expr {$k / $f}] [expr {$l / $k}]]
    }
}

# Grid filling: the time per empty cell (the fill less the marshalling of
# the grid and the weights), against the (2r+1)^2 cells each one scans.
if {[llength $fillRows]} {
    puts ""
    puts [format "%-12s %3s %8s %10s %10s %14s %9s" grid r empty fill floor "us/empty cell" (2r+1)^2]
    foreach row $fillRows {
        lassign $row n r nEmpty k c
        set per [expr {($k - $c) / double($nEmpty)}]
        puts [format "%-12s %3d %8d %10s %10s %14.2f %9d" ${n}x$n $r $nEmpty \
                  [fmt $k] [fmt $c] $per [expr {(2 * $r + 1) ** 2}]]
    }
    # Per empty cell = a + b * (2r+1)^2, least squares over the radii of
    # each grid: a is the fixed part (the local fit), b the cost of one
    # scanned cell.
    foreach n [lsort -unique -integer [lmap row $fillRows {lindex $row 0}]] {
        set sx 0.0; set sy 0.0; set sxx 0.0; set sxy 0.0; set m 0
        foreach row $fillRows {
            lassign $row rn r nEmpty k c
            if {$rn != $n} continue
            set x [expr {(2.0 * $r + 1) ** 2}]
            set y [expr {($k - $c) / double($nEmpty)}]
            set sx [expr {$sx + $x}]; set sy [expr {$sy + $y}]
            set sxx [expr {$sxx + $x * $x}]; set sxy [expr {$sxy + $x * $y}]
            incr m
        }
        if {$m < 2} continue
        set b [expr {($m * $sxy - $sx * $sy) / ($m * $sxx - $sx * $sx)}]
        set a [expr {($sy - $b * $sx) / $m}]
        puts [format "%-12s per empty cell = %.2f us + %.1f ns x (2r+1)^2" ${n}x$n $a [expr {$b * 1000}]]
    }
    set fits {}
    for {set i 0} {$i < 5} {incr i} {lappend fits [KDbenchSmallFit 20000]}
    puts [format "one small fit (degree 1, 8 points, DataLSq2D_C): %.2f us" [median $fits]]
}

# kardum::gridfill: each pass of the default run on its own (wall time).
if {[llength $passRows]} {
    puts ""
    puts "kardum::gridfill ${fN}x$fN Franke with its defaults, pass by pass:"
    puts [format "%-4s %6s %9s %6s %9s %9s %10s" pass radius quadrants degree filled refitted time]
    foreach row $passRows {puts $row}
}

if {[llength $gwRows]} {
    printGridwriteRows
}

# Files to a filled grid: peak memory of each side.
if {[llength $fileRows]} {
    puts ""
    puts [format "%-34s %14s %12s %12s %10s" job "records+grid" "kardum peak" "GMT peak" kardum/data]
    foreach row $fileRows {
        lassign $row name n cells bytes kd gm
        set kdPeak [tcl::mathfunc::max {*}$kd]
        set gmPeak [tcl::mathfunc::max {*}$gm]
        puts [format "%-34s %11.1f MB %9.1f MB %9.1f MB %10.2f" $name [expr {$bytes / 1e6}] \
                  [expr {$kdPeak / 1e6}] [expr {$gmPeak / 1e6}] [expr {$kdPeak / $bytes}]]
    }
    puts "peak = largest resident set of the process; target: kardum/data below 3 for the large job"
}

# kardum::integrate: evaluations against adaptive Gauss-Kronrod.
if {[llength $integRows]} {
    printIntegRows
}
if {[llength $batteryRows]} {
    printBatteryRows
}
