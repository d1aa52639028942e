# Fits a Gaussian peak on a sloping background to noisy data with
# KDdataNLinLSq, driving the Levenberg-Marquardt iteration from the script,
# and prints the parameters with their standard errors.
#
#   tclsh examples/peakfit.tcl            (after `make`)
#
# Model: y = h exp(-(x - c)^2 / (2 s^2)) + b0 + b1 x

source [file join [file dirname [info script]] loadlib.tcl]

set names {height centre width offset slope}
set truth {12.0 4.3 0.6 2.0 -0.15}
set sigma 0.4

# The model in the callback protocol: called with the number of parameters,
# the name of the derivative array and the name of the work array; the
# point is in element 4 of the work array, the parameters in 5 and up.
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

# Noisy data: 81 points on 0 ... 10, Gaussian noise of known sigma
# (Box-Muller on Tcl's seeded generator, so every run is the same).
expr {srand(20240611)}
set nP 81
for {set i 0} {$i < $nP} {incr i} {
    set X($i) [expr {0.125 * $i}]
    set u1 [expr {1.0 - rand()}]
    set u2 [expr {rand()}]
    set noise [expr {$sigma * sqrt(-2.0 * log($u1)) * cos(6.283185307179586 * $u2)}]
    set h [lindex $truth 0]; set c [lindex $truth 1]; set s [lindex $truth 2]
    set V($i) [expr {$h * exp(-0.5 * (($X($i) - $c) / $s)**2)
                     + [lindex $truth 3] + [lindex $truth 4] * $X($i) + $noise}]
    set SiG($i) $sigma
}

# Rough starting values, as one would read them off a plot.
set nPar 5
set start {8.0 5.0 1.0 1.0 0.0}
for {set j 0} {$j < $nPar} {incr j} {
    set Par($j) [lindex $start $j]
    set iPar($j) 1
}

# The work array: all zero, then a negative element 0 to start.
for {set i 0} {$i < 4*$nPar*$nPar + 2*$nPar + 5} {incr i} {set Work($i) 0}
set Work(0) -1

# Iterate: one step per call.  Stop when an accepted step lowers chi-square
# by less than 0.001 (a change of 1 is one standard error), or when lambda
# has grown past 1e10 (no step helps any more); give up after 200 calls.
set best Inf
for {set calls 1} {$calls <= 200} {incr calls} {
    KDdataNLinLSq V SiG $nP Par iPar $nPar peak Work
    if {$Work(2) < $best} {
        set gain [expr {$best - $Work(2)}]
        set best $Work(2)
        if {$gain < 0.001} break
    }
    if {$Work(0) > 1e10} break
}
if {$calls > 200} { error "no convergence" }

# Finishing call: lambda 0 turns region C into the covariance matrix.
set Work(0) 0
KDdataNLinLSq V SiG $nP Par iPar $nPar peak Work

set dof [expr {$nP - $nPar}]
puts [format "%d calls, chi-square %.3f for %d degrees of freedom" $calls $Work(2) $dof]
puts [format "%-8s %10s %10s %10s" parameter value error true]
set errors {}
for {set j 0} {$j < $nPar} {incr j} {
    set err [expr {sqrt($Work([expr {$nPar + 5 + $j * ($nPar + 1)}]))}]
    lappend errors $err
    puts [format "%-8s %10.4f %10.4f %10.4f" [lindex $names $j] $Par($j) $err [lindex $truth $j]]
}

if {[lsearch $argv --test] >= 0} {
    # Self-check when run by the test suite: every parameter within four
    # standard errors of the truth, a chi-square that fits the noise, and
    # a symmetric covariance.
    for {set j 0} {$j < $nPar} {incr j} {
        set off [expr {abs($Par($j) - [lindex $truth $j]) / [lindex $errors $j]}]
        if {!($off < 4.0)} { error "[lindex $names $j] is $off standard errors off" }
    }
    set ratio [expr {$Work(2) / $dof}]
    if {!($ratio > 0.5 && $ratio < 1.6)} { error "chi-square per degree of freedom $ratio" }
    for {set j 0} {$j < $nPar} {incr j} {
        for {set k 0} {$k < $j} {incr k} {
            set a $Work([expr {$nPar + 5 + $j * $nPar + $k}])
            set b $Work([expr {$nPar + 5 + $k * $nPar + $j}])
            if {abs($a - $b) > 1e-12 * abs($a) + 1e-300} { error "covariance not symmetric at $j,$k" }
        }
    }
}
