# Scattered data to a complete grid: the library's main job end to end.
#
#   make demo                                   (builds, then runs this)
#   tclsh examples/demo.tcl ?option value ...? ?--test?
#
# Franke's function, the classic test surface for scattered-data
# interpolation, is sampled at random points drawn with KDdataRnd1 (a
# round hole of the unit square receives no samples).  KDdataGrid bins the
# samples onto a grid of cell averages, KDgridFill2D fills the cells that
# received none, and the script reports the RMS error of the filled cells
# against the true surface at the cell centres.  It writes three PNG
# pictures: the true surface, the binned grid with its holes (grey) and
# the filled grid (cells still empty are black).
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

set started [clock milliseconds]
set ::Rnd1Seed $seed
KDdataRnd1 RX $points P
KDdataRnd1 RY $points P
set n 0
for {set i 0} {$i < $points} {incr i} {
    set x $RX($i)
    set y $RY($i)
    if {hypot($x - $gapX, $y - $gapY) < $gap} continue
    set X($n) $x
    set Y($n) $y
    set Z($n) [franke $x $y]
    incr n
}

# ---------------------------------------------------------------------
# Binning: each sample lands in the cell of its position (point binning),
# and each cell holds the average of its samples; Nrm counts them.

set empty -999.0
set excluded -888.0
array set gI [list 0 0.0 1 1.0 2 0.0 3 1.0 4 $nx 5 $ny 6 POINT 7 POINT \
    8 ROW 9 KEEP 10 "NEW ADD END " 11 $empty 12 $excluded \
    13 -1e30 14 1e30 15 N 16 N]
KDdataGrid $n 1 X X 1 Y Y Z Grd Nrm gI
array set Binned [array get Grd]

# ---------------------------------------------------------------------
# Filling.

array set sI [list 0 $min 1 $radius 2 $quadrants 3 $cap 4 0 5 0 6 0 7 0 \
    8 $power 9 $degree]
KDgridFill2D Grd gI Nrm sI
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
for {set k 0} {$k < $nx * $ny} {incr k} {
    if {$Nrm($k) > 0} {
        set binnedSum [expr {$binnedSum + $Binned($k)}]
        incr binnedCount
    }
}
set binnedMean [expr {$binnedCount ? $binnedSum / $binnedCount : 0.0}]
for {set iy 0} {$iy < $ny} {incr iy} {
    for {set ix 0} {$ix < $nx} {incr ix} {
        set k [expr {$ix + $iy * $nx}]
        set true [franke [expr {($ix + 0.5) / $nx}] [expr {($iy + 0.5) / $ny}]]
        set Truth($k) $true
        if {$Nrm($k) > 0} {
            set sumBinned [expr {$sumBinned + ($Binned($k) - $true)**2}]
            if {$Grd($k) != $Binned($k)} {
                error "the data cell $k changed from $Binned($k) to $Grd($k)"
            }
            continue
        }
        incr holes
        if {$Grd($k) == $empty} {
            incr stillEmpty
            continue
        }
        set err [expr {abs($Grd($k) - $true)}]
        set sumFilled [expr {$sumFilled + $err**2}]
        set maxFilled [expr {max($maxFilled, $err)}]
        set sumMean [expr {$sumMean + ($binnedMean - $true)**2}]
    }
}
set filled [expr {$holes - $stillEmpty}]
set rmsFilled [expr {$filled ? sqrt($sumFilled / $filled) : 0.0}]
set rmsMean [expr {$filled ? sqrt($sumMean / $filled) : 0.0}]
set rmsBinned [expr {$binnedCount ? sqrt($sumBinned / $binnedCount) : 0.0}]

# ---------------------------------------------------------------------
# Pictures: PNG files, RGB, written with Tcl's own zlib.

# A colour ramp from dark blue through teal and green to yellow.
set ramp {
    {0.00  68   1  84}  {0.25  59  82 139}  {0.50  33 145 140}
    {0.75  94 201  98}  {1.00 253 231  37}
}

proc colour {t} {
    global ramp
    set t [expr {min(1.0, max(0.0, $t))}]
    foreach lo [lrange $ramp 0 end-1] hi [lrange $ramp 1 end] {
        lassign $lo t0 r0 g0 b0
        lassign $hi t1 r1 g1 b1
        if {$t <= $t1} break
    }
    set f [expr {($t - $t0) / ($t1 - $t0)}]
    binary format ccc [expr {round($r0 + $f * ($r1 - $r0))}] \
        [expr {round($g0 + $f * ($g1 - $g0))}] [expr {round($b0 + $f * ($b1 - $b0))}]
}

proc pngChunk {type data} {
    set body $type$data
    return [binary format I [string length $data]]$body[binary format I [zlib crc32 $body]]
}

# Writes the grid held in the array named by arrayName (x fastest, row 0
# at the bottom) with values lo .. hi over the colour ramp; cells for which
# the predicate special returns a colour get that colour instead.
proc writePng {file arrayName nx ny px lo hi special} {
    upvar 1 $arrayName cells
    set rows {}
    for {set iy [expr {$ny - 1}]} {$iy >= 0} {incr iy -1} {
        set line ""
        for {set ix 0} {$ix < $nx} {incr ix} {
            set k [expr {$ix + $iy * $nx}]
            set rgb [{*}$special $k $cells($k)]
            if {$rgb eq ""} {
                set rgb [colour [expr {($cells($k) - $lo) / ($hi - $lo)}]]
            }
            append line [string repeat $rgb $px]
        }
        append rows [string repeat \x00$line $px]
    }
    set width [expr {$nx * $px}]
    set height [expr {$ny * $px}]
    set f [open $file wb]
    puts -nonewline $f \x89PNG\r\n\x1a\n
    puts -nonewline $f [pngChunk IHDR [binary format IIccccc $width $height 8 2 0 0 0]]
    puts -nonewline $f [pngChunk IDAT [zlib compress $rows 9]]
    puts -nonewline $f [pngChunk IEND ""]
    close $f
}

proc plain {k v} {return ""}
proc showHoles {k v} {
    expr {$::Nrm($k) > 0 ? "" : [binary format ccc 150 150 150]}
}
proc showUnfilled {k v} {
    expr {$v == $::empty ? [binary format ccc 0 0 0] : ""}
}

set lo 1e300
set hi -1e300
foreach {k v} [array get Truth] {
    set lo [expr {min($lo, $v)}]
    set hi [expr {max($hi, $v)}]
}
file mkdir $out
set pictures {}
foreach {name arrayName special} {
    truth.png  Truth   plain
    binned.png Binned  showHoles
    filled.png Grd     showUnfilled
} {
    set file [file join $out $name]
    writePng $file $arrayName $nx $ny $pixels $lo $hi $special
    lappend pictures $file
}

# ---------------------------------------------------------------------
# Report.

puts "Franke's function on the unit square, $nx x $ny cells"
puts [format "  samples            %6d of %d drawn (seed %d, hole of radius %g)" \
    $n $points $seed $gap]
puts [format "  cells with data    %6d   RMS of their averages  %.5f" $binnedCount $rmsBinned]
puts [format "  empty cells        %6d   filled %d, left empty %d" $holes $filled $stillEmpty]
if {$stillEmpty} {
    puts "  (cells without enough data within the radius stay empty: try a larger --radius)"
}
puts [format "  fill settings      radius %d, degree %d, %d quadrants, at least %d per quadrant, power %g, cap %d" \
    $radius $degree $quadrants $min $power $cap]
puts [format "  RMS error of the filled cells   %.5f   (largest %.5f)" $rmsFilled $maxFilled]
puts [format "  RMS error when filled with the mean of the data cells  %.5f" $rmsMean]
puts "  binning and filling took $elapsed ms"
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
        check {$width == $nx * $pixels && $height == $ny * $pixels} \
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
