# Linear algebra with KDmatrixInv, KDmatrixMath, KDvecMath and KDsolveCubic.
#
#   tclsh examples/linalg.tcl            (after `make`)
#
# The library is found through KARDUM_LIBRARY or the build tree.

source [file join [file dirname [info script]] loadlib.tcl]

# A 3 x 3 system A.x = b, solved while A is inverted in place.
set n 3
set values {4 -2 1  -2 4 -2  1 -2 4}
for {set i 0} {$i < 9} {incr i} { set A($i) [lindex $values $i]; set Ainv($i) $A($i) }
array set b {0 11 1 -16 2 17}
array set x [array get b]
set code [KDmatrixInv $n Ainv 0 1 x]
puts "KDmatrixInv: code $code, x = $x(0) $x(1) $x(2)"

# Check: A times its inverse, and A times x.
KDmatrixMath A * Ainv I $n $n $n $n
KDmatrixMath A * x Ax $n $n $n 1
puts "A . A^-1:"
for {set r 0} {$r < $n} {incr r} {
    puts [format "  %8.5f %8.5f %8.5f" $I([expr {3*$r}]) $I([expr {3*$r+1}]) $I([expr {3*$r+2}])]
}

# Vectors: the cross product of two edges gives the normal of a triangle.
array set E1 {0 1 1 0 2 0}
array set E2 {0 0 1 2 2 0}
KDvecMath E1 C E2 Normal
set area [expr {[KDvecMath Normal M Normal -] / 2.0}]
puts "normal $Normal(0) $Normal(1) $Normal(2), triangle area $area"

# The eigenvalues of A solve det(A - tI) = 0: -t^3 + 12 t^2 - 39 t + 36 = 0.
set roots [KDsolveCubic -1 12 -39 36]
puts "eigenvalues of A: $roots"

if {[lsearch $argv --test] >= 0} {
    if {$code != 1} { error "KDmatrixInv failed with code $code" }
    for {set i 0} {$i < 9} {incr i} {
        set want [expr {$i % 4 == 0 ? 1.0 : 0.0}]
        if {abs($I($i) - $want) > 1e-12} { error "A.A^-1 place $i is $I($i)" }
    }
    foreach i {0 1 2} {
        if {abs($Ax($i) - $b($i)) > 1e-12} { error "A.x place $i is $Ax($i), want $b($i)" }
    }
    if {abs($area - 1.0) > 1e-15} { error "triangle area $area" }
    # Eigenvalues of this A: (9 - sqrt(33))/2, 3 and (9 + sqrt(33))/2, ascending.
    foreach r $roots want [list [expr {(9 - sqrt(33)) / 2}] 3 [expr {(9 + sqrt(33)) / 2}]] {
        if {abs($r - $want) > 1e-9} { error "eigenvalues $roots" }
    }
}
