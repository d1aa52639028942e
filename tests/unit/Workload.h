// Workloads shared by the unit tests that run every command many times:
// the main path of each command, and calls that end in errors or meet
// failing callbacks.
#ifndef KARDUM_TEST_WORKLOAD_H
#define KARDUM_TEST_WORKLOAD_H

namespace kardum_test {

// Each command's main path; the outcome of every call and the arrays it
// wrote are collected into the result.  Commands are called through
// `catch`, so the text is the same whether a call succeeds or not.
const char kWorkload[] = R"TCL(
set out {}
proc note {script} {
    global out
    set code [catch {uplevel #0 $script} r]
    lappend out $code $r
}
proc dump {args} {
    global out
    foreach name $args {
        upvar #0 $name a
        if {[array exists a]} {
            foreach k [lsort -dictionary [array names a]] {lappend out $name\($k) $a($k)}
        }
    }
}
proc basis {x a n} {
    upvar 1 $a t
    set p 1.0
    for {set i 0} {$i < $n} {incr i} {set t($i) $p; set p [expr {$p * $x}]}
}
proc model {n d w} {
    upvar 1 $d dy $w wk
    set x [expr {int($wk(4))}]
    set a $wk(5); set b $wk(6)
    set e [expr {exp(-$b * $x)}]
    set dy(0) $e
    set dy(1) [expr {-$a * $x * $e}]
    return [expr {$a * $e}]
}
proc integrand {x h k i {o {}}} {
    if {$i == -1} {
        upvar 1 $o v
        for {set j 0} {$j < $k} {incr j} {set v($j) [expr {sin($x + $j * $h)}]}
        return 0
    }
    expr {sin($x)}
}

array set A {0 1.5 1 -2 2 3.25 3 4 4 0.5 5 9 6 -7 7 8 8 2}
array set B {0 2 1 3 2 -1 3 0.25 4 5 5 6 6 1 7 2 8 4}
array set M {0 4 1 1 2 2 3 1 4 5 5 3 6 2 7 3 8 6}
array set X {0 0 1 1 2 2 3 3 4 4 5 5 6 6 7 7}
array set Y {0 2.0 1 1.3 2 0.9 3 0.55 4 0.4 5 0.22 6 0.15 7 0.1}
array set Z {0 1 1 3 2 4 3 6 4 9 5 7 6 5 7 8}
array set S {0 1 1 1 2 1 3 1 4 1 5 1 6 1 7 1}
array set F {0 1 1 1 2 1}

note {KDarrayMath A + B C1 9}
note {KDarrayMath A SQRT 0 C2 9}
note {KDarrayMath A ATAN2D B C3 9 0 0 0 2 2 1}
note {KDarrayMath A V 1.0 - 9}
note {KDvecMath A C B V1}
note {KDvecMath A T B V2 0 0 0 3 3}
note {KDvecMath A R+ B V3 0 4 0 5 3}
note {KDvecMath A M B - 0 0 0 9}
note {KDmatrixMath M * A P1 3 3 3 3}
note {KDmatrixMath A T B P2 2 4 2 4}
note {KDsolveCubic 1 -6 11 -6}
note {KDsolveCubic 2 0 0 -3}
array set Inv [array get M]
array set Rhs {0 1 1 2 2 3 3 -1 4 0 5 1}
note {KDmatrixInv 3 Inv 0 2 Rhs}
note {KDpolyExp1D 1.25 5 A}
note {KDpolyExp1D 1.25 5 A 1 10 -10}
note {KDpolyExp2D 0.5 -1.5 6 A 2}
note {KDpolyExp2D 0.5 -1.5 10 B 3 0 100 -100}
note {KDdataLSq1D X Y 8 0 Coef1 F 3 Cov1 basis}
note {KDdataLSq1D X Y 8 1 Coef2 F 2 Cov2 basis S}
note {KDdataLSq2D X Z Y 8 1 0 Coef3 1}
note {KDdataLSq2D X Z Y 8 2 -2 Coef4 1}
array set Par {0 2.5 1 0.5}
array set iPar {0 1 1 1}
for {set i 0} {$i < 25} {incr i} {set Wk($i) 0; set Wq($i) 0}
set Wk(0) -1
set Wq(3) 2
set Wq(5) 2.0
set Wq(6) 0.6
note {KDdataMqCoef Y S 8 iPar 2 11 15 {set FuncRet [model 2 dYdA Wq]} Wq}
for {set k 0} {$k < 6} {incr k} {note {KDdataNLinLSq Y S 8 Par iPar 2 model Wk}}
set Wk(0) 0
note {KDdataNLinLSq Y S 8 Par iPar 2 model Wk}
note {KDdataMxMn A 9 G}
note {KDdataMxMn A 9 < 0 5 2}
set Rnd1Seed 12345
note {KDdataRnd1 R1 6 PN 3.5}
note {KDdataRnd1 R2 4 P}
lappend out $Rnd1Seed
note {KDintegTrap integrand 0 2 1}
set prev [lindex $out end]
note {KDintegTrap integrand 0 2 2 $prev}
note {KDintegTrap integrand 0 2 4 0.9 1}
array set gI {0 0 1 6 2 0 3 6 4 6 5 6 6 AREA 7 AREA 8 ROW 9 KEEP
              10 {NEW ADD END } 11 -999 12 -888 13 -1e30 14 1e30 15 N 16 N}
array set X1 {0 0.5 1 2.25 2 4 3 1 4 5.5 5 3}
array set X2 {0 1.5 1 3.5 2 5 3 2 4 6 5 3.5}
array set Y1 {0 0.5 1 1 2 4.5 3 3 4 2 5 5}
array set Y2 {0 2 1 1.5 2 5 3 3.5 4 2.5 5 6}
array set Zr {0 1 1 2 2 3 3 4 4 5 5 6}
note {KDdataGrid 6 1 X1 X2 1 Y1 Y2 Zr Grd Nrm gI}
array set sI {0 1 1 3 2 2 3 1 4 0 5 0 6 0 7 0 8 1.0 9 1}
note {KDgridFill2D Grd gI Nrm sI}
lappend out $Rnd1Seed

dump C1 C2 C3 V1 V2 V3 P1 P2 Inv Rhs Coef1 Cov1 Coef2 Cov2 Coef3 Coef4 \
     Wq Wk Par R1 R2 Grd Nrm
set out
)TCL";

// Calls that fail a check, miss their arrays, or whose callbacks fail,
// answer with text or unset what the library reads.  Needs the procedures
// of kWorkload.
const char kErrorWorkload[] = R"TCL(
proc fails {args} {error boom}
proc unsets {args} {uplevel 1 {unset -nocomplain InTg OuT FuncRet dYdA tC vX}; error gone}
proc text {args} {return abc}
set bad {
    {KDarrayMath A + A}
    {KDarrayMath A + NoSuch C1 3}
    {KDarrayMath A + A C1 -1}
    {KDarrayMath A + A C1 3 0 0 0 0}
    {KDarrayMath NoSuch SUM 0 - 3}
    {KDvecMath A C B V1 0 0 0 2 2}
    {KDvecMath NoSuch + B V1}
    {KDmatrixMath A * B P1 2 3 2 3}
    {KDmatrixMath A * B P1 65536 65536 65536 65536}
    {KDmatrixInv x M}
    {KDmatrixInv 3 NoSuch}
    {KDmatrixInv 3 M 0 1}
    {KDsolveCubic 1 2 x 4}
    {KDpolyExp1D 1 -1 A}
    {KDpolyExp1D 1 3 NoSuch}
    {KDpolyExp2D 1 1 5 A 2}
    {KDdataLSq1D X Y 8 0 Coef1 F 3 Cov1 fails}
    {KDdataLSq1D X Y 8 0 Coef1 F 3 Cov1 unsets}
    {KDdataLSq1D X Y 8 0 Coef1 F 3 Cov1 text}
    {KDdataLSq1D X Y 8 1 Coef1 F 3 Cov1 basis}
    {KDdataLSq1D X Y 8 7 Coef1 F 3 Cov1 basis}
    {KDdataLSq1D X Y 8 0 Coef1 B 3 Cov1 basis}
    {KDdataLSq2D X Z Y 8 1 1 Coef3}
    {KDdataLSq2D NoSuch Z Y 8 1 0 Coef3}
    {KDdataMqCoef Y S 8 iPar 2 11 15 {set FuncRet [fails]} Wq}
    {KDdataMqCoef Y S 8 iPar 2 11 15 {unset -nocomplain FuncRet dYdA} Wq}
    {KDdataMqCoef Y S 8 iPar 2 100 15 {} Wq}
    {KDdataNLinLSq Y S 8 Par iPar 2 unsets Wk}
    {KDdataNLinLSq Y S 8 Par iPar 2 fails Wk}
    {KDdataNLinLSq Y S 8 Par B 2 model Wk}
    {KDdataMxMn A 9 G 0 1 0}
    {KDdataMxMn NoSuch 9 G}
    {KDdataRnd1 R1 -1 P}
    {KDintegTrap unsets 0 1 3 0.5}
    {KDintegTrap unsets 0 1 3 0.5 1}
    {KDintegTrap fails 0 1 2 0.5}
    {KDintegTrap text 0 1 2 0.5 1}
    {KDintegTrap integrand 0 1 40}
    {KDdataGrid 6 4 X1 X2 1 Y1 Y2 Zr Grd Nrm gI}
    {KDdataGrid 6 1 X1 X2 1 Y1 Y2 Zr Grd Nrm NoSuch}
    {KDgridFill2D Grd gI Nrm NoSuch}
    {KDgridFill2D NoSuch gI Nrm sI}
}
set errors {}
foreach call $bad {
    lappend errors [catch $call msg] $msg
}
set errors
)TCL";

} // namespace kardum_test

#endif
