# gridwrite.tcl --
#
#	kardum::gridwrite of a grid that a script has read with list commands,
#	sourced by run.tcl.  A 2000 x 2000 grid fresh from kardum::gridfill is
#	written as it is, and written again after `lindex $g 5 5` (or after
#	`foreach row $g {}`), which turns the value into a plain list of rows:
#	the write must find the grid's buffer again (grid/GridValue.cpp keeps
#	it, known by the list's text) instead of parsing four million cells.
#	Target: at most 1.2 x the time and the memory of the fresh write.
#
#	The grids come from footprints {x1 x2 y1 y2 z} with random values, each
#	over a block of 20 x 20 cells (area binning, no fill), so every cell
#	holds a double of full precision, as a filled grid does, and the grid
#	is made in a second.  Both sides write the same cells to the same file
#	and alternate; time is the CPU time of the call, memory the peak
#	resident set during the call above the resident set at its start
#	(Linux: /proc/self/clear_refs resets the peak; the heap's free pages
#	are given back first, so that what the call takes shows).  Rows of the
#	table for
#	the ESRI ASCII default and for GeoTIFF (whose write is the shortest, so
#	the finding costs the most beside it); the memory after the table.

set gwRows {}
if {[string match $only "kardum::gridwrite after lindex"] ||
    [string match $only "kardum::gridwrite after foreach"]} {
    lappend auto_path [file dirname $::env(KARDUM_LIBRARY)]
    package require kardum

    set gwN [expr {$quick ? 500 : 2000}]
    proc gwGrid {n} {
        expr {srand(2024)}
        set blocks [expr {$n / 20}]
        set step [expr {1.0 / $blocks}]
        set records {}
        for {set j 0} {$j < $blocks} {incr j} {
            for {set i 0} {$i < $blocks} {incr i} {
                lappend records [list [expr {$i * $step}] [expr {($i + 1) * $step}] \
                                     [expr {$j * $step}] [expr {($j + 1) * $step}] [expr {rand()}]]
            }
        }
        kardum::gridfill $records -extent {0 1 0 1} -cells [list $n $n] -binning area -fill 0
    }
    proc gwStatus {key} {
        set f [open /proc/self/status]
        set text [read $f]
        close $f
        regexp "$key:\\s+(\\d+)" $text - kb
        expr {$kb * 1024}
    }
    set gwHavePeak [expr {[file writable /proc/self/clear_refs] && ![catch {gwStatus VmHWM}]}]
    # Times the write of the grid in variable `var`, CPU microseconds, and
    # keeps the peak above the start in ::gwPeak(label).
    proc gwWrite {label var format} {
        set file [file join [pwd] bench-files gw.out]
        if {$::gwHavePeak} {
            KDbenchTrim
            set before [gwStatus VmRSS]
            set f [open /proc/self/clear_refs w]
            puts -nonewline $f 5
            close $f
        }
        set t0 [KDbenchCpuTime]
        kardum::gridwrite [set ::$var] $file -format $format
        set t [expr {[KDbenchCpuTime] - $t0}]
        if {$::gwHavePeak} {
            lappend ::gwPeak($label) [expr {[gwStatus VmHWM] - $before}]
        }
        return $t
    }
    file mkdir [file join [pwd] bench-files]
    set gwFresh [gwGrid $gwN]
    set gwRead {}
    foreach {how script} {lindex {lindex $::gwLindex 5 5} foreach {foreach row $::gwForeach {}}} {
        set var gw[string totitle $how]
        set $var [gwGrid $gwN]
        set r0 [gwStatus VmRSS]
        set t [clocked $script]
        lappend gwRead $how $t [expr {[gwStatus VmRSS] - $r0}]
    }
    set formats [expr {[catch {kardum::gridwrite {{1}} [file join [pwd] bench-files gw.tif] \
                                   -format geotiff -extent {0 1 0 1}}] ? {esri-ascii} : {esri-ascii geotiff}}]
    foreach format $formats {
        foreach how {lindex foreach} {
            set name "kardum::gridwrite after $how"
            job "$name ${gwN}x$gwN $format" 1.2 \
                [list native gwWrite "$how $format" gw[string totitle $how] $format] \
                "the same write, fresh from gridfill" \
                [list native gwWrite "fresh $format" gwFresh $format] 5
            lappend gwRows [list $name $format $how]
        }
    }
}

# The peaks, after the table: each side's median, and what the list read
# itself cost (Tcl makes the text of the whole grid and a list of its rows).
proc printGridwriteRows {} {
    global gwRows gwPeak gwRead gwN gwHavePeak
    puts ""
    puts "kardum::gridwrite of a ${gwN}x$gwN grid: peak resident set during the call, above its start"
    if {!$gwHavePeak} {
        puts "  (no /proc/self/clear_refs: not measured)"
        return
    }
    puts [format "%-12s %-8s %14s %14s" format "read by" "after the read" fresh]
    foreach row $gwRows {
        lassign $row name format how
        puts [format "%-12s %-8s %11.2f MB %11.2f MB" $format $how \
                  [expr {[median $gwPeak([list $how $format])] / 1e6}] \
                  [expr {[median $gwPeak([list fresh $format])] / 1e6}]]
    }
    foreach {how t bytes} $gwRead {
        puts [format "the %s itself: %s, the resident set grew by %.1f MB" $how [fmt $t] \
                  [expr {$bytes / 1e6}]]
    }
}
