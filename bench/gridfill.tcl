# gridfill.tcl --
#
#	The job of kardum::gridfill at full size, sourced by run.tcl: Franke's
#	function at 50,000 random points, binned onto 500 x 500 cells and
#	filled with -radius 8 -quadrants 4 -perquadrant 3 -power 1.5
#	-degree 2.  Rows of the table:
#
#	  - the binning and the first pass with the guard against the same
#	    without it (::kardum::GridCompute, the C++ behind the helper, on
#	    the same records; target: the guard adds at most 30 %);
#	  - the binning and the first pass with the guard against the raw
#	    KDdataGrid + KDgridFill2D calls on the arrays, as kardum::gridfill
#	    made it before;
#	  - kardum::gridfill with its defaults (binning, guard, further passes)
#	    against KDdataGrid + KDgridFill2D on arrays.
#
#	Each further pass is listed on its own after the table, from the
#	helper's report (wall time of the pass, cells it filled).

if {[string match $only "gridfill Franke"] || [string match $only "kardum::gridfill Franke"]} {
    lappend auto_path [file dirname $::env(KARDUM_LIBRARY)]
    package require kardum

    proc frankeZ {x y} {
        set a [expr {9.0 * $x}]
        set b [expr {9.0 * $y}]
        expr {0.75 * exp(-(($a - 2) * ($a - 2) + ($b - 2) * ($b - 2)) / 4.0)
              + 0.75 * exp(-(($a + 1) * ($a + 1)) / 49.0 - ($b + 1) / 10.0)
              + 0.5 * exp(-(($a - 7) * ($a - 7) + ($b - 3) * ($b - 3)) / 4.0)
              - 0.2 * exp(-($a - 4) * ($a - 4) - ($b - 7) * ($b - 7))}
    }
    set fN [expr {$quick ? 250 : 500}]
    set fPoints [expr {$quick ? 12500 : 50000}]
    expr {srand(12345)}
    set frankeRecords {}
    unset -nocomplain FX FY FZ
    for {set i 0} {$i < $fPoints} {incr i} {
        set x [expr {rand()}]
        set y [expr {rand()}]
        set z [frankeZ $x $y]
        lappend frankeRecords [list $x $y $z]
        set FX($i) $x
        set FY($i) $y
        set FZ($i) $z
    }
    set huge 1.7976931348623157e308
    # The descriptor and settings kardum::gridfill hands the two commands.
    array set fgI [list 0 0.0 1 1.0 2 0.0 3 1.0 4 $fN 5 $fN 6 POINT 7 POINT 8 ROW \
                       9 KEEP 10 "NEW ADD END " 11 -$huge 12 $huge 13 -$huge 14 $huge \
                       15 N 16 N]
    array set fsI {0 3 1 8 2 4 3 0 4 0 5 0 6 0 7 0 8 1.5 9 2}
    KDdataGrid $fPoints 1 FX FX 1 FY FY FZ FGrd FNrm fgI
    # The point binning and the fill's settings above, one pass only.
    set fBinning [list 0 1 0 1 $fN $fN 0 0 0 -$huge $huge {} 1]
    set fFill [list -method local -boundary {open open} -perquadrant 3 -radius 8 -quadrants 4 -power 1.5 \
                   -degree 2 -complete 0]
    set reps [expr {$quick ? 1 : 3}]

    proc firstPass {args} {
        global frankeRecords fBinning fFill
        ::kardum::GridCompute $frankeRecords {*}$fBinning {*}$fFill {*}$args
    }
    proc helperDefaults {} {
        global frankeRecords fN fReport
        kardum::gridfill $frankeRecords -extent {0 1 0 1} -cells [list $fN $fN] -method local \
            -radius 8 -quadrants 4 -perquadrant 3 -power 1.5 -degree 2 -report fReport
    }
    proc rawCommands {} {
        global fPoints FX FY FZ FGrd FNrm fgI fsI
        KDdataGrid $fPoints 1 FX FX 1 FY FY FZ FGrd FNrm fgI
        KDgridFill2D FGrd fgI FNrm fsI
    }

    # The guard's row decides a target: more repetitions, so that the
    # machine's noise (20 % and more between runs) averages out.
    job "gridfill ${fN}x$fN Franke, bin + pass 1 guarded" 1.3 {firstPass} \
        "the same unguarded" {firstPass -guard 0} [expr {$quick ? 3 : 9}] {} 0
    job "gridfill ${fN}x$fN Franke, bin + pass 1 guarded" - {firstPass} \
        "KDdataGrid + KDgridFill2D" {rawCommands} $reps {} 0
    job "kardum::gridfill ${fN}x$fN Franke, defaults" - {helperDefaults} \
        "KDdataGrid + KDgridFill2D" {rawCommands} $reps {} 0

    # The passes of the last default run, one line each.
    if {[info exists fReport]} {
        set pass 0
        foreach p [dict get $fReport passes] {
            incr pass
            lappend passRows [format "%-4d %6d %9d %6d %9d %9d %10s" $pass \
                [dict get $p radius] [dict get $p quadrants] [dict get $p degree] \
                [dict get $p filled] [dict get $p refitted] \
                [fmt [expr {1e6 * [dict get $p seconds]}]]]
        }
        lappend passRows "cells with data [dict get $fReport data],\
            left empty [dict get $fReport empty]"
    }
    unset -nocomplain FX FY FZ FGrd FNrm fBinning fFill frankeRecords
}
