# Scattered data to a complete grid: the library's main job end to end.
#
#   make demo                                   (builds, then runs this)
#   tclsh examples/demo.tcl ?option value ...? ?--test?
#
# Franke's function, the classic test surface for scattered-data
# interpolation, is sampled at random points drawn with KDdataRnd1 (a
# round hole of the unit square receives no samples).  kardum::gridfill
# bins the samples onto a grid of cell averages (KDdataGrid) and fills the
# cells that received none with its defaults: every value supported by its
# neighbours, further passes until no cell is left empty, ::Rnd1Seed left
# as it was.  The script prints the fill's report and the RMS error of the
# filled cells against the true surface at the cell centres, and writes
# four PNG pictures with kardum::gridimage, each with its colour scale:
# the true surface, the binned grid with its holes (grey), the filled grid
# and the pass that filled each cell.  It also times the same job through
# the raw commands (numbered arrays, KDdataGrid, one pass of KDgridFill2D).
#
# Options (defaults in brackets):
#   --points N     number of samples [3000]
#   --nx N --ny N  grid cells along x and y [40 40]
#   --seed S       start of the random sequence (Rnd1Seed) [566378]
#   --gap R        radius of the hole without samples, 0 for none [0.1]
#   --radius R     search radius of the fill in cells [8]
#   --degree D     degree of the local fit, 0 .. 4 [2]
#   --quadrants Q  quadrants that must contribute, 1 .. 4 [4]
#   --min M        nearest points kept per quadrant at least [3]
#   --power P      weight exponent [1.5]
#   --cap C        1 nearest value, 2 largest value, 0 none [0]
#   --pixels N     picture pixels per cell [8]
#   --out DIR      where the pictures go [demo-output]
#   --test         check the results and fail on a wrong one (CTest)

source [file join [file dirname [info script]] loadlib.tcl]
package require kardum

# ---------------------------------------------------------------------
# Settings.

set opt [dict create points 3000 nx 40 ny 40 seed 566378 gap 0.1 radius 8 \
    degree 2 quadrants 4 min 3 power 1.5 cap 0 pixels 8 out demo-output]
set selfTest 0
set words $argv
while {[llength $words]} {
    set words [lassign $words word]
    if {$word eq "--test"} {
        set selfTest 1
        continue
    }
    set key [string range $word 2 end]
    if {![string match --* $word] || ![dict exists $opt $key] || ![llength $words]} {
        puts stderr "usage: tclsh [info script] ?--[join [dict keys $opt] { value? ?--}] value? ?--test?"
        exit 2
    }
    set words [lassign $words value]
    dict set opt $key $value
}
dict with opt {}
foreach name {points nx ny seed radius degree quadrants min cap pixels} {
    if {![string is integer -strict [set $name]]} {
        puts stderr "--$name must be an integer, got \"[set $name]\""
        exit 2
    }
}
foreach name {gap power} {
    if {![string is double -strict [set $name]]} {
        puts stderr "--$name must be a number, got \"[set $name]\""
        exit 2
    }
}

# ---------------------------------------------------------------------
# The surface.

proc franke {x y} {
    set a [expr {9.0 * $x}]
    set b [expr {9.0 * $y}]
    expr {0.75 * exp(-(($a - 2)**2 + ($b - 2)**2) / 4.0)
        + 0.75 * exp(-(($a + 1)**2) / 49.0 - ($b + 1) / 10.0)
        + 0.5 * exp(-(($a - 7)**2 + ($b - 3)**2) / 4.0)
        - 0.2 * exp(-(($a - 4)**2) - ($b - 7)**2)}
}

# The hole without samples.
set gapX 0.55
set gapY 0.45

# ---------------------------------------------------------------------
# Scattered samples, drawn with the library's own generator.

set ::Rnd1Seed $seed
KDdataRnd1 RX $points P
KDdataRnd1 RY $points P
set seedAfterSamples $::Rnd1Seed
set samples {}
for {set i 0} {$i < $points} {incr i} {
    set x $RX($i)
    set y $RY($i)
    if {hypot($x - $gapX, $y - $gapY) < $gap} continue
    lappend samples [list $x $y [franke $x $y]]
}
set n [llength $samples]

# ---------------------------------------------------------------------
# Binning and filling with kardum::gridfill: each sample lands in the cell
# of its position, each cell holds the average of its samples, and the
# cells without samples are filled.  The binned grid alone (-fill 0) shows
# the holes.

set empty E
set settings [list -extent {0 1 0 1} -cells [list $nx $ny] -empty $empty]
set fillSettings [list -method local -radius $radius -degree $degree -quadrants $quadrants \
    -perquadrant $min -power $power -cap [lindex {none nearest max} $cap]]
set started [clock milliseconds]
set binned [kardum::gridfill $samples {*}$settings -fill 0]
set filledGrid [kardum::gridfill $samples {*}$settings {*}$fillSettings \
    -report report -sources 1]
set elapsed [expr {[clock milliseconds] - $started}]

# ---------------------------------------------------------------------
# Errors against the surface at the cell centres.

set holes 0
set stillEmpty 0
set sumFilled 0.0
set maxFilled 0.0
set sumBinned 0.0
set sumMean 0.0
set binnedSum 0.0
set binnedCount 0
foreach row $binned {
    foreach v $row {
        if {$v ne $empty} {
            set binnedSum [expr {$binnedSum + $v}]
            incr binnedCount
        }
    }
}
set binnedMean [expr {$binnedCount ? $binnedSum / $binnedCount : 0.0}]
set truthGrid {}
for {set iy 0} {$iy < $ny} {incr iy} {
    set truthRow {}
    for {set ix 0} {$ix < $nx} {incr ix} {
        set k [expr {$ix + $iy * $nx}]
        set true [franke [expr {($ix + 0.5) / $nx}] [expr {($iy + 0.5) / $ny}]]
        set b [lindex $binned $iy $ix]
        set v [lindex $filledGrid $iy $ix]
        lappend truthRow $true
        if {$b ne $empty} {
            set sumBinned [expr {$sumBinned + ($b - $true)**2}]
            if {$v != $b} {
                error "the data cell $k changed from $b to $v"
            }
            continue
        }
        incr holes
        if {$v eq $empty} {
            incr stillEmpty
            continue
        }
        set err [expr {abs($v - $true)}]
        set sumFilled [expr {$sumFilled + $err**2}]
        set maxFilled [expr {max($maxFilled, $err)}]
        set sumMean [expr {$sumMean + ($binnedMean - $true)**2}]
    }
    lappend truthGrid $truthRow
}
set filled [expr {$holes - $stillEmpty}]
set rmsFilled [expr {$filled ? sqrt($sumFilled / $filled) : 0.0}]
set rmsMean [expr {$filled ? sqrt($sumMean / $filled) : 0.0}]
set rmsBinned [expr {$binnedCount ? sqrt($sumBinned / $binnedCount) : 0.0}]

# ---------------------------------------------------------------------
# The same job through the raw commands: the samples into numbered arrays,
# KDdataGrid, one pass of KDgridFill2D with the same settings, the grid
# back into a list of rows.

set rawStarted [clock milliseconds]
set i 0
foreach sample $samples {
    lassign $sample X($i) Y($i) Z($i)
    incr i
}
set huge 1.7976931348623157e308
array set gI [list 0 0.0 1 1.0 2 0.0 3 1.0 4 $nx 5 $ny 6 POINT 7 POINT 8 ROW 9 KEEP \
    10 "NEW ADD END " 11 -$huge 12 $huge 13 -$huge 14 $huge 15 N 16 N]
KDdataGrid $n 1 X X 1 Y Y Z Grd Nrm gI
array set sI [list 0 $min 1 $radius 2 $quadrants 3 $cap 4 0 5 0 6 0 7 0 8 $power 9 $degree]
set savedSeed $::Rnd1Seed
KDgridFill2D Grd gI Nrm sI
set ::Rnd1Seed $savedSeed
set rawGrid {}
for {set iy 0} {$iy < $ny} {incr iy} {
    set row {}
    for {set ix 0} {$ix < $nx} {incr ix} {
        set k [expr {$ix + $iy * $nx}]
        lappend row [expr {$Grd($k) == -$huge ? $empty : $Grd($k)}]
    }
    lappend rawGrid $row
}
set rawElapsed [expr {[clock milliseconds] - $rawStarted}]

# ---------------------------------------------------------------------
# Pictures, PNG files with a colour scale, written by kardum::gridimage:
# the truth, the binned grid (holes grey), the filled grid and the source
# of every cell (0 data, k filled in pass k, grey left empty).

set lo 1e300
set hi -1e300
foreach row $truthGrid {
    foreach v $row {
        set lo [expr {min($lo, $v)}]
        set hi [expr {max($hi, $v)}]
    }
}
set passCount [llength [dict get $report passes]]
file mkdir $out
set pictures {}
foreach {name grid marker from to} [list \
    truth.png   $truthGrid                   $empty $lo $hi \
    binned.png  $binned                      $empty $lo $hi \
    filled.png  $filledGrid                  $empty $lo $hi \
    sources.png [dict get $report sources]   -1     0 [expr {max(1, $passCount)}]] {
    lappend pictures [kardum::gridimage $grid [file join $out $name] -pixels $pixels \
                          -range [list $from $to] -empty $marker]
}
# The filled grid once more as a relief: a terrain palette, lit from the
# north-west, with the samples drawn over it.
lappend pictures [kardum::gridimage $filledGrid [file join $out shaded.png] -pixels $pixels \
                      -range [list $lo $hi] -empty $empty -palette terrain -shade 315 \
                      -points $samples]

# ---------------------------------------------------------------------
# Report.

puts "Franke's function on the unit square, $nx x $ny cells"
puts [format "  samples            %6d of %d drawn (seed %d, hole of radius %g)" \
    $n $points $seed $gap]
puts [format "  cells with data    %6d   RMS of their averages  %.5f" $binnedCount $rmsBinned]
puts [format "  empty cells        %6d   filled %d, left empty %d" $holes $filled $stillEmpty]
puts [format "  fill settings      radius %d, degree %d, %d quadrants, at least %d per quadrant, power %g, cap %d" \
    $radius $degree $quadrants $min $power $cap]
puts "  kardum::gridfill -method local report (guarded, completing)"
set pass 0
foreach p [dict get $report passes] {
    incr pass
    puts [format "    pass %d   radius %3d, %d quadrants, degree %d   filled %6d, refitted at a lower degree %d" \
        $pass [dict get $p radius] [dict get $p quadrants] [dict get $p degree] \
        [dict get $p filled] [dict get $p refitted]]
}
puts [format "    cells with data %d, left empty %d" [dict get $report data] [dict get $report empty]]
if {$stillEmpty} {
    puts "  (cells without data within -maxradius stay empty: try a larger --radius)"
}
puts [format "  RMS error of the filled cells   %.5f   (largest %.5f)" $rmsFilled $maxFilled]
puts [format "  RMS error when filled with the mean of the data cells  %.5f" $rmsMean]
puts [format "  colour scale of truth, binned and filled: %.3f to %.3f" $lo $hi]
puts "  ::Rnd1Seed after the fill: $::Rnd1Seed (after drawing the samples: $seedAfterSamples)"
puts "  binning and filling took $elapsed ms with kardum::gridfill (binned grid, then filled);"
puts "    the same job through the raw commands (arrays, KDdataGrid, one pass of KDgridFill2D) $rawElapsed ms"
puts "  pictures: [join $pictures {, }]"

# ---------------------------------------------------------------------
# Self-check (CTest runs the script with --test on the default settings).

proc check {condition message} {
    if {![uplevel 1 [list expr $condition]]} {
        error "demo check failed: $message"
    }
}

if {$selfTest} {
    check {$holes > 100} "expected a few hundred empty cells, got $holes"
    check {$stillEmpty == 0} "$stillEmpty cells were left empty"
    check {[dict get $report empty] == 0 && [dict get $report data] == $binnedCount} \
        "the report does not match the grid: $report"
    check {$::Rnd1Seed == $seedAfterSamples} "the fill changed ::Rnd1Seed"
    check {$rmsFilled < 0.02} "RMS error of the filled cells is $rmsFilled"
    check {$rmsFilled < 0.1 * $rmsMean} \
        "filling ($rmsFilled) is not much better than the mean ($rmsMean)"
    # The pictures are well-formed PNG files of the right size whose image
    # data inflate to one filter byte plus three bytes per pixel per row.
    foreach file $pictures {
        set f [open $file rb]
        set data [read $f]
        close $f
        check {[string range $data 0 7] eq "\x89PNG\r\n\x1a\n"} "$file is not a PNG file"
        binary scan $data @16II width height
        check {$width > $nx * $pixels && $height >= $ny * $pixels} \
            "$file is $width x $height pixels"
        set at 8
        set idat ""
        while {$at < [string length $data]} {
            binary scan $data @${at}Ia4 length type
            set body [string range $data [expr {$at + 4}] [expr {$at + 7 + $length}]]
            binary scan $data @[expr {$at + 8 + $length}]Iu crc
            check {$crc == [zlib crc32 $body]} "$file: bad checksum of the $type chunk"
            if {$type eq "IDAT"} {append idat [string range $body 4 end]}
            incr at [expr {12 + $length}]
        }
        check {[string length [zlib decompress $idat]] == $height * (1 + 3 * $width)} \
            "$file: image data of the wrong size"
    }
    puts "self-check passed"
}
