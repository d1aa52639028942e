# Element-wise arithmetic and reductions with KDarrayMath.
#
#   tclsh examples/arith.tcl            (after `make`)
#
# The library is found through KARDUM_LIBRARY or the build tree.

source [file join [file dirname [info script]] loadlib.tcl]

# Angles in degrees, every 30 degrees from 0 to 180.
for {set i 0} {$i <= 6} {incr i} { set Deg($i) [expr {30 * $i}] }

KDarrayMath Deg SIND 0 Sine 7
KDarrayMath Deg COSD 0 Cosine 7
KDarrayMath Sine * Sine Sin2 7
KDarrayMath Cosine * Cosine Cos2 7
KDarrayMath Sin2 + Cos2 One 7

puts [format "%6s %10s %10s %12s" deg sin cos sin²+cos²]
for {set i 0} {$i <= 6} {incr i} {
    puts [format "%6.0f %10.6f %10.6f %12.9f" $Deg($i) $Sine($i) $Cosine($i) $One($i)]
}

set n 7
set sum  [KDarrayMath Sine SUM 0 - $n]
set mean [KDarrayMath Sine AVG 0 - $n]
set var  [KDarrayMath Sine VAR $mean - $n]
puts [format "sum %.6f  mean %.6f  variance %.6f" $sum $mean $var]

if {[lsearch $argv --test] >= 0} {
    # Self-check when run by the test suite.
    for {set i 0} {$i < $n} {incr i} {
        if {abs($One($i) - 1.0) > 1e-15} { error "sin²+cos² at $i is $One($i)" }
    }
    if {abs($mean - $sum / $n) > 1e-15} { error "mean $mean does not match sum $sum" }
}
