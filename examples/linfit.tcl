# Linear least squares with kardum: a weighted polynomial fit with script
# basis functions and coefficient errors (KDdataLSq1D), the same fit with
# one coefficient held, evaluation of the result (KDpolyExp1D), and a
# polynomial surface fitted to scattered points (KDdataLSq2D, KDpolyExp2D).
#
#   tclsh examples/linfit.tcl            (after `make`)
#
# The library is found through KARDUM_LIBRARY or the build tree.

source [file join [file dirname [info script]] loadlib.tcl]

# The basis procedure: KDdataLSq1D calls "powers $vX tC n" for every point,
# and powers fills tC(0) ... tC(n-1) in the caller's frame with 1, x, x², ...
proc powers {x t n} {
    upvar 1 $t tc
    set p 1.0
    for {set i 0} {$i < $n} {incr i} {
        set tc($i) $p
        set p [expr {$p * $x}]
    }
}

# 25 measurements of y = 1.5 - 0.8 x + 0.3 x² with errors of about 0.05
# (a fixed pseudo-random pattern, so the run is reproducible).
set truth {1.5 -0.8 0.3}
set nP 25
for {set i 0} {$i < $nP} {incr i} {
    set x [expr {0.2 * $i}]
    set X($i) $x
    set Y($i) [expr {1.5 - 0.8 * $x + 0.3 * $x * $x + 0.05 * sin(12.9898 * $i + 1.0)}]
    set SiG($i) 0.05
}

# Fit all three coefficients, weighting each point by 1/σ².
set nCoef 3
set chi2 [KDdataLSq1D X Y $nP 1 Coef iCoef $nCoef Covar powers SiG]
set dof [expr {$nP - $nCoef}]
puts [format "fit of %d points: chi² = %.3f for %d degrees of freedom" $nP $chi2 $dof]
for {set k 0} {$k < $nCoef} {incr k} {
    set err($k) [expr {sqrt($Covar([expr {$k * $nCoef + $k}]))}]
    puts [format "  c%d = %8.4f ± %.4f   (true %5.2f)" $k $Coef($k) $err($k) [lindex $truth $k]]
}
set r01 [expr {$Covar(1) / ($err(0) * $err(1))}]
puts [format "  correlation of c0 and c1: %.3f" $r01]

# The fitted curve, evaluated with KDpolyExp1D, clamped to [0, 5].
puts "  x      fit    clamped"
foreach x {0 2.5 5 8} {
    puts [format "  %-5s %7.4f %7.4f" $x [KDpolyExp1D $x 3 Coef] [KDpolyExp1D $x 3 Coef 0 5 0]]
}

# The same fit with the constant held at its true value: only c1 and c2 are
# fitted, and the covariance rows and columns of c0 stay zero.
array set Held {0 1.5 1 0 2 0}
array set HeldFlags {0 0 1 1 2 1}
set chi2h [KDdataLSq1D X Y $nP 1 Held HeldFlags $nCoef HeldCovar powers SiG]
puts [format "with c0 held at 1.5: c1 = %.4f ± %.4f, c2 = %.4f ± %.4f, chi² = %.3f" \
    $Held(1) [expr {sqrt($HeldCovar(4))}] $Held(2) [expr {sqrt($HeldCovar(8))}] $chi2h]

# A surface z = 2 + x - 3y + 0.5x² + xy - y² sampled at 30 scattered points,
# fitted with a total degree of 2 and evaluated back with KDpolyExp2D.
set surface {2 1 -3 0.5 1 -1}
for {set k 0} {$k < 6} {incr k} {set S($k) [lindex $surface $k]}
for {set i 0} {$i < 30} {incr i} {
    set SX($i) [expr {fmod(0.37 * $i, 3.0) - 1.5}]
    set SY($i) [expr {fmod(0.61 * $i, 2.0) - 1.0}]
    set SZ($i) [KDpolyExp2D $SX($i) $SY($i) 6 S 2]
}
lassign [KDdataLSq2D SX SY SZ 30 2 0 Surf 1] nT rms
puts [format "surface: %d coefficients, RMS residual %s" $nT $rms]
puts "  [lmap k {0 1 2 3 4 5} {format %.6f $Surf($k)}]"
set at [KDpolyExp2D 0.25 -0.5 6 Surf 2]
puts [format "  z(0.25, -0.5) = %.6f" $at]

if {[lsearch $argv --test] >= 0} {
    # Self-check when run by the test suite.
    for {set k 0} {$k < $nCoef} {incr k} {
        if {abs($Coef($k) - [lindex $truth $k]) > 4 * $err($k)} {
            error "c$k = $Coef($k) is more than 4σ from [lindex $truth $k]"
        }
    }
    if {$chi2 < 0 || $chi2 > 3 * $dof} { error "implausible chi² $chi2" }
    if {$Held(0) != 1.5 || $HeldCovar(0) != 0 || $HeldCovar(1) != 0 || $HeldCovar(3) != 0} {
        error "the held constant moved or has a covariance"
    }
    if {$chi2h < $chi2} { error "holding a coefficient cannot lower chi² ($chi2h < $chi2)" }
    if {$nT != 6 || $rms > 1e-12} { error "surface fit: $nT terms, RMS $rms" }
    for {set k 0} {$k < 6} {incr k} {
        if {abs($Surf($k) - $S($k)) > 1e-9} { error "surface coefficient $k is $Surf($k)" }
    }
    set want [expr {2 + 0.25 + 1.5 + 0.5 * 0.0625 - 0.125 - 0.25}]
    if {abs($at - $want) > 1e-12} { error "z(0.25, -0.5) = $at, want $want" }
    if {[KDpolyExp1D 8 3 Coef 0 5 0] != 5.0} { error "clamping failed" }
}
