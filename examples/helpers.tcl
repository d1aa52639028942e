# The script-level helpers of the package kardum: an integral to a
# tolerance, a nonlinear fit to convergence and scattered samples to a
# filled grid, each in a few lines.
#
#   tclsh examples/helpers.tcl            (after `make`)
#
# The library is found through KARDUM_LIBRARY or the build tree, the
# package in lib/ of the source tree (or where `make install` put both).

source [file join [file dirname [info script]] loadlib.tcl]
package require kardum

set selfTest [expr {[lsearch $argv --test] >= 0}]
proc expect {what ok} {
    if {$::selfTest && !$ok} {
        error "helpers.tcl: $what"
    }
}

# --- An integral ---------------------------------------------------------

# The error function at 1.5: 2/sqrt(pi) times the integral of exp(-t^2).
set erf [expr {2 / sqrt(acos(-1)) *
               [kardum::integrate {apply {t {expr {exp(-$t * $t)}}}} 0 1.5 -tol 1e-13]}]
puts [format "erf(1.5) = %.15f" $erf]
expect "erf(1.5) is $erf" [expr {abs($erf - 0.966105146475311) < 1e-14}]

# --- A nonlinear fit -------------------------------------------------------

# A Gaussian peak on a sloping background, sampled with reproducible noise
# (uniform in (-0.3, 0.3); the seed is a 20-bit number).
set truth {12.0 4.3 0.6 2.0 -0.15}
proc peak {x p} {
    lassign $p h c s b0 b1
    set u [expr {($x - $c) / $s}]
    set g [expr {exp(-0.5 * $u * $u)}]
    list [expr {$h * $g + $b0 + $b1 * $x}] \
        $g [expr {$h * $g * $u / $s}] [expr {$h * $g * $u * $u / $s}] 1.0 $x
}
set Rnd1Seed 566378
set n 81
KDdataRnd1 Noise $n PN 0.3
set xs {}
set ys {}
for {set i 0} {$i < $n} {incr i} {
    set x [expr {0.1 * $i}]
    lappend xs $x
    lappend ys [expr {[lindex [peak $x $truth] 0] + $Noise($i)}]
}
# The standard deviation of that noise is 0.3 / sqrt(3).
set sigma [expr {0.3 / sqrt(3)}]
set fit [kardum::nlfit peak $xs $ys {10 4 1 1 0} -sigma [lrepeat $n $sigma]]
puts "peak fit in [dict get $fit steps] steps, chi-square\
    [format %.2f [dict get $fit chisquare]] for [dict get $fit dof] degrees of freedom"
foreach name {height centre width offset slope} \
        value [dict get $fit parameters] error [dict get $fit errors] true $truth {
    puts [format "  %-7s %9.4f +- %.4f   (true %g)" $name $value $error $true]
    expect "$name $value is not within 4 errors of $true" \
        [expr {abs($value - $true) < 4 * $error}]
}

# --- Scattered samples to a filled grid -----------------------------------

# 400 samples of a smooth surface on the unit square; a 20 x 20 grid gets
# about one sample per cell, so many cells stay empty until the fill.
proc surface {x y} {expr {sin(3 * $x) * cos(2 * $y) + $x * $y}}
KDdataRnd1 Px 400 P 1.0
KDdataRnd1 Py 400 P 1.0
set records {}
for {set i 0} {$i < 400} {incr i} {
    lappend records [list $Px($i) $Py($i) [surface $Px($i) $Py($i)]]
}
set binned [kardum::gridfill $records -extent {0 1 0 1} -cells {20 20} -fill 0]
set grid [kardum::gridfill $records -extent {0 1 0 1} -cells {20 20} -method local \
              -degree 2 -radius 5 -quadrants 3 -perquadrant 2 -power 1.5]
set empty 0
set unfilled 0
set sum 0.0
set count 0
for {set iy 0} {$iy < 20} {incr iy} {
    for {set ix 0} {$ix < 20} {incr ix} {
        if {[lindex $binned $iy $ix] ne ""} continue
        incr empty
        set z [lindex $grid $iy $ix]
        if {$z eq ""} {
            incr unfilled
            continue
        }
        set d [expr {$z - [surface [expr {($ix + 0.5) / 20.0}] [expr {($iy + 0.5) / 20.0}]]}]
        set sum [expr {$sum + $d * $d}]
        incr count
    }
}
set rms [expr {sqrt($sum / $count)}]
puts [format "grid: %d of 400 cells had no sample, %d of them filled, RMS error %.4f" \
          $empty $count $rms]
expect "too many cells left empty ($unfilled of $empty)" [expr {$unfilled < $empty / 10}]
# The samples lie anywhere in their cells, so the binned cells themselves
# are off the centre values by up to about 0.1.
expect "RMS error $rms of the filled cells" [expr {$rms < 0.08}]
