# grid.tcl --
#
#	The grid helpers: kardum::gridfill (records binned and the empty cells
#	filled, on C++ buffers), kardum::readxyz, kardum::gridwrite and
#	kardum::gridimage.  The work is done by the C++ commands of grid/;
#	these procedures read and check the options.  Sourced by kardum.tcl.

# --- kardum::gridfill --------------------------------------------------

# kardum::gridfill records ?option value ...?
#
#	Bins records onto a regular grid as KDdataGrid does and fills the
#	empty cells with the fill of KDgridFill2D, from named options, all in
#	C++ on one buffer of doubles (::kardum::GridCompute).  A record is
#	{x y z} (a point) or {x1 x2 y1 y2 z} (a footprint), either ending in
#	its weight or not; the records may be a list or what kardum::readxyz
#	returns.  -geographic 1 takes x and y as longitude and latitude: the
#	extent runs east from x0 (across 180 when x0 > x1) and is handed on
#	with x1 = x0 + its width.  Returns the grid as a list of
#	ny rows of nx values, row iy holding the cells ix = 0 ... nx-1; a cell
#	that stays empty holds the -empty value.  The list is a grid value
#	that keeps its buffer: kardum::gridwrite and kardum::gridimage read
#	it without making its text.
#
#	Sound and complete by default (grid/GuardedFill.cpp does the work): a
#	filled value outside the range of the values it was fitted from,
#	widened by -guardmargin times their spread, is fitted again at a lower
#	degree (-guard); cells left empty are filled in further passes with a
#	doubled radius, half the quadrants and one degree less each, up to
#	-maxradius (-complete).  The random table comes from -seed, never from
#	::Rnd1Seed.  -report names a variable that receives the counts;
#	-crossvalidate k returns the RMS of the k-fold prediction errors
#	instead of the grid.
proc ::kardum::gridfill {records args} {
    set cmd kardum::gridfill
    set s [grids::Setup $cmd $records $args]
    set reportVar [dict get $s reportVar]
    if {$reportVar ne {}} {
        upvar 1 $reportVar report
        if {[array exists report]} {
            Invalid $cmd "-report names the array \"$reportVar\", not a variable"
        }
    }

    # Binning and filling run in C++ on the records' buffer (GridCompute):
    # the arithmetic of KDdataGrid on the descriptor it would be given, cells
    # stored x fastest, then the guarded fill on the binned grid and its
    # weights, unfilled cells marked by a value no fit produces.  GridCompute
    # reads and checks the fill's settings.
    dict with s {}
    lassign [GridCompute $records $x0 $x1 $y0 $y1 $nx $ny $xArea $yArea \
                 $ignore $lo $hi $empty $fill {*}$settings] rows result
    if {[dict exists $result rms]} {
        # -crossvalidate: the error of the prediction, not the grid.
        if {[dict get $result predicted] == 0} {
            set held [expr {[dict exists $result residuals] ? "records" : "data cells"}]
            Invalid $cmd "-crossvalidate [dict get $result folds]: none of the\
                [dict get $result missed] held-out $held received a value, so\
                there is no error to measure"
        }
        if {$reportVar ne {}} {
            set report $result
        }
        return [dict get $result rms]
    }
    if {$reportVar ne {}} {
        set report [grids::Report $result $nx $ny]
    }
    return $rows
}

namespace eval ::kardum::grids {
    namespace path ::kardum
    # The words that set the fill, which GridCompute reads and checks.
    variable FillWords {-method -tension -lower -upper -mask -radius -quadrants -perquadrant
        -degree -power -cap -margins -boundary -guard -guardmargin -complete -maxradius
        -seed -sources -crossvalidate -cellvalue -geographic}
}

# Reads and checks kardum::gridfill's words for the grid and the binning;
# returns a dict of them, with the fill's words as given in `settings`.
proc ::kardum::grids::Setup {cmd records words} {
    variable FillWords
    set defaults {-extent {} -cells {} -spacing {} -binning {} -range {} -ignorezeros 0
                  -fill 1 -empty {} -report {}}
    foreach name $FillWords {
        dict set defaults $name {}
    }
    set o [Options $cmd $defaults $words]
    set geographic 0
    if {[dict get $o -geographic] ne {}} {
        set geographic [Boolean $cmd -geographic [dict get $o -geographic]]
    }

    # Records: all points or all footprints, held as one buffer of doubles,
    # and the box they span (on the globe, the shortest turn of longitude
    # that holds them all).
    lassign [Records $records $geographic] width records bounds

    # The cells: counts, or a spacing that divides the extent.
    set cells [dict get $o -cells]
    set spacing [dict get $o -spacing]
    if {($cells eq {}) == ($spacing eq {})} {
        Invalid $cmd "give either -cells {nx ny} or -spacing {dx dy}"
    }
    if {$spacing ne {}} {
        if {[catch {llength $spacing} length] || $length ni {1 2}} {
            Invalid $cmd "-spacing must be {dx dy} or one size for both, got \"$spacing\""
        }
        if {$length == 1} {
            lappend spacing [lindex $spacing 0]
        }
        set steps [Reals $cmd -spacing $spacing 2]
        foreach step $steps axis {x y} {
            if {$step <= 0} {
                Invalid $cmd "-spacing for $axis must be positive, got \"$step\""
            }
        }
    }

    # The extent: given, or the records' box (snapped outward to the
    # spacing, so that the cells' edges fall on its multiples).
    if {[dict get $o -extent] ne {}} {
        lassign [Reals $cmd -extent [dict get $o -extent] 4] x0 x1 y0 y1
        if {$x0 == $x1 || $y0 == $y1} {
            Invalid $cmd "-extent must span both axes, got \"[dict get $o -extent]\""
        }
        if {$geographic} {
            # Longitudes run east from x0: x0 > x1 crosses 180 (176 -176
            # is 8 degrees wide), at most one turn.
            if {$x1 < $x0} {
                set x1 [expr {$x1 + 360.0 * ceil(($x0 - $x1) / 360.0)}]
                if {$x1 == $x0} {
                    set x1 [expr {$x1 + 360.0}]
                }
            }
            if {$x1 - $x0 > 360.0} {
                Invalid $cmd "-extent runs [expr {$x1 - $x0}] degrees of longitude east\
                    from $x0, more than one turn (-geographic 1)"
            }
            foreach y [list $y0 $y1] {
                if {abs($y) > 90} {
                    Invalid $cmd "-extent reaches latitude $y, beyond the poles (-geographic 1)"
                }
            }
        }
    } elseif {$bounds eq {}} {
        Invalid $cmd "-extent {x0 x1 y0 y1} is required when there are no records"
    } else {
        lassign $bounds x0 x1 y0 y1
        if {$spacing ne {}} {
            lassign [SnapOut $x0 $x1 [lindex $steps 0]] x0 x1
            lassign [SnapOut $y0 $y1 [lindex $steps 1]] y0 y1
            foreach axis {x y} lo [list $x0 $y0] hi [list $x1 $y1] bound {{0 1} {2 3}} {
                if {abs($lo) == Inf || abs($hi) == Inf} {
                    Invalid $cmd "the records' range along $axis,\
                        [join [lmap i $bound {lindex $bounds $i}] { to }], snapped outward to\
                        -spacing runs beyond the largest double: give -extent"
                }
            }
        }
        if {$geographic} {
            # Snapped, the box stays within the poles and one turn.
            set y0 [expr {max($y0, -90.0)}]
            set y1 [expr {min($y1, 90.0)}]
            if {$x1 - $x0 > 360.0} {
                set x1 [expr {$x0 + 360.0}]
            }
        }
        foreach axis {x y} lo [list $x0 $y0] hi [list $x1 $y1] {
            if {$lo == $hi} {
                Invalid $cmd "the records span no width along $axis (all at $lo):\
                    give -extent or -spacing"
            }
        }
    }

    if {$spacing ne {}} {
        set counts {}
        foreach step $steps axis {x y} lo [list $x0 $y0] hi [list $x1 $y1] {
            set n [expr {abs($hi - $lo) / $step}]
            if {!($n < 0x7fffffff + 0.5)} {
                # also a width or a count beyond the doubles (Inf)
                Invalid $cmd "-spacing for $axis $step makes more than 2147483647 cells\
                    of the extent's width [expr {abs($hi - $lo)}] along $axis"
            }
            set whole [expr {round($n)}]
            if {$whole < 1 || abs($n - $whole) > 1e-9 * max(1.0, $n)} {
                Invalid $cmd "-spacing $step does not divide the extent's width [expr {abs($hi - $lo)}]\
                    along $axis into whole cells"
            }
            lappend counts $whole
        }
        set cells $counts
    }
    if {[catch {llength $cells} length] || $length != 2} {
        Invalid $cmd "-cells {nx ny} is required, got \"$cells\""
    }
    set nx [Integer $cmd "nx in -cells" [lindex $cells 0] 1]
    set ny [Integer $cmd "ny in -cells" [lindex $cells 1] 1]
    if {wide($nx) * $ny > 0x7fffffff} {
        Invalid $cmd "the grid of $nx by $ny cells is too large"
    }

    set binning [dict get $o -binning]
    if {$binning eq {}} {
        set binning [expr {$width < 5 ? "point" : "area"}]
    }
    if {[llength $binning] == 1} {
        lappend binning [lindex $binning 0]
    }
    if {[llength $binning] != 2} {
        Invalid $cmd "-binning must be one or two of point and area, got \"$binning\""
    }
    set area {}
    foreach axis {x y} word $binning {
        lappend area [Choice $cmd "-binning for $axis" $word {point area}]
    }

    # The largest double: beyond every value and every search of the fill.
    set huge 1.7976931348623157e308
    set range [dict get $o -range]
    if {$range eq {}} {
        set range [list -$huge $huge]
    }
    lassign [Reals $cmd -range $range 2] lo hi
    if {$lo > $hi} {
        Invalid $cmd "-range must run from its lower to its upper value, got \"$range\""
    }
    set ignore [Boolean $cmd -ignorezeros [dict get $o -ignorezeros]]
    set fill [Boolean $cmd -fill [dict get $o -fill]]

    set settings {}
    foreach {name value} $words {
        if {$name in $FillWords} {
            lappend settings $name $value
        }
    }
    dict create records $records x0 $x0 x1 $x1 y0 $y0 y1 $y1 nx $nx ny $ny \
        xArea [lindex $area 0] yArea [lindex $area 1] ignore $ignore lo $lo hi $hi \
        empty [dict get $o -empty] fill $fill settings $settings \
        reportVar [dict get $o -report]
}

# lo .. hi widened to the nearest multiples of step outside it; one step
# wide when both fall on the same multiple.
proc ::kardum::grids::SnapOut {lo hi step} {
    if {max(abs($lo), abs($hi)) / $step >= 2.0**53} {
        # beyond the integers of the doubles: no multiple to snap to, and
        # more cells than any grid holds
        return [list $lo $hi]
    }
    set a [expr {floor($lo / $step) * $step}]
    set b [expr {ceil($hi / $step) * $step}]
    # the quotient may round onto a multiple the value does not reach
    if {$a > $lo} {set a [expr {$a - $step}]}
    if {$b < $hi} {set b [expr {$b + $step}]}
    if {$b <= $a} {
        set b [expr {$a + $step}]
    }
    list $a $b
}

# The report of a fill for the caller: the source of every cell, when
# asked for, as rows of the grid.
proc ::kardum::grids::Report {result nx ny} {
    if {[dict exists $result sources]} {
        set flat [dict get $result sources]
        set grid {}
        for {set start 0} {$start < $nx * $ny} {incr start $nx} {
            lappend grid [lrange $flat $start [expr {$start + $nx - 1}]]
        }
        dict set result sources $grid
    }
    return $result
}

# --- Grid files: kardum::readxyz, kardum::gridwrite, kardum::gridimage --

# kardum::readxyz file ?option value ...? (C++, grid/GridIO.cpp)
#
#	Records {x y z} (or {x y z w} with four -columns) from a text file: one record a line, three numbers
#	separated by blanks, tabs or commas; blank lines and lines starting
#	with # are skipped.  Returns the list of records, ready for
#	kardum::gridfill, held as one buffer of doubles until a script looks
#	at it as text.

# kardum::gridwrite grid file ?option value ...?
#
#	Writes a grid (as kardum::gridfill returns it, or any list of rows of
#	numbers) into a file: an ESRI ASCII grid, which GDAL, QGIS and GMT
#	read, a netCDF or GeoTIFF grid (C++, grid/GridNetcdf.cpp and
#	grid/GridGeotiff.cpp), or x y z lines at the centres of the cells that
#	hold a value.
#	An ESRI grid holds one cell size: cells that are not square are
#	refused unless -dxdy 1 asks for dx and dy lines, which GDAL reads and
#	GMT misreads.  The file is written beside the target and renamed over
#	it when whole, so a failure leaves the old file.
proc ::kardum::gridwrite {grid file args} {
    set cmd kardum::gridwrite
    set o [Options $cmd {-format esri-ascii -extent {} -nodata -9999 -empty {} -dxdy 0} $args]
    Choice $cmd -format [dict get $o -format] {esri-ascii xyz netcdf geotiff}
    set dxdy [Boolean $cmd -dxdy [dict get $o -dxdy]]
    WriteGrid $grid $file [dict get $o -format] [dict get $o -extent] \
        [dict get $o -nodata] [dict get $o -empty] $dxdy
    return $file
}

# kardum::gridread file ?option value ...?
#
#	Reads a grid file that kardum::gridwrite writes back into a grid
#	value, with its extent: an ESRI ASCII grid (C++, grid/GridRead.cpp),
#	a netCDF or a GeoTIFF grid (grid/GridNetcdf.cpp, grid/GridGeotiff.cpp),
#	or x y z lines at the cell centres, which hold only the cells with a
#	value and so need -extent and -cells.  Without -format, a netCDF or
#	TIFF file is known by its first bytes, and anything else is read as an
#	ESRI ASCII grid.
proc ::kardum::gridread {file args} {
    set cmd kardum::gridread
    set o [Options $cmd {-format {} -empty {} -extent {} -cells {}} $args]
    set format [dict get $o -format]
    if {$format eq {}} {
        set format [grids::FileFormat $file]
    }
    set format [Choice $cmd -format $format {esri-ascii xyz netcdf geotiff}]
    if {$format == 0} {
        return [ReadGrid $file [dict get $o -empty]]
    }
    if {$format == 2} {
        return [ReadNetcdf $file [dict get $o -empty]]
    }
    if {$format == 3} {
        return [ReadGeotiff $file [dict get $o -empty]]
    }
    if {[dict get $o -extent] eq {} || [dict get $o -cells] eq {}} {
        Invalid $cmd "-format xyz needs -extent and -cells: the lines hold only\
            the cells with a value"
    }
    gridfill [readxyz $file] -extent [dict get $o -extent] -cells [dict get $o -cells] \
        -fill 0 -empty [dict get $o -empty]
}

# The format of a grid file by its first bytes: netcdf (classic, 64-bit
# offset, CDF5 or HDF5), geotiff (TIFF or BigTIFF, either byte order), else
# esri-ascii, whose reader says what is wrong with a file that is none (or
# that cannot be opened).
proc ::kardum::grids::FileFormat {file} {
    set head {}
    if {[catch {open $file rb} f options]} {
        PassStop $f $options
        return esri-ascii
    }
    set code [catch {read $f 8} head options]
    close $f
    if {$code} {
        PassStop $head $options
        return esri-ascii
    }
    if {[regexp {^(CDF[\x01\x02\x05]|\x89HDF\r\n\x1a\n)} $head]} {
        return netcdf
    }
    if {[regexp {^(II[*+]\x00|MM\x00[*+])} $head]} {
        return geotiff
    }
    return esri-ascii
}

# kardum::gridimage grid file ?option value ...?
#
#	Writes a grid as a PNG picture with its colour scale; empty cells are
#	grey.  -palette picks the colours, -shade lights the cells from an
#	azimuth, -points draws records over them, -axes labels the edges.
proc ::kardum::gridimage {grid file args} {
    set cmd kardum::gridimage
    set o [Options $cmd {-pixels auto -range {} -empty {} -palette viridis -shade {}
                         -points {} -axes 1} $args]
    set palette [Choice $cmd -palette [dict get $o -palette] {viridis terrain diverging gray}]
    set shade [dict get $o -shade]
    if {$shade ne {}} {
        set shade [Real $cmd -shade $shade]
    }
    set axes [Boolean $cmd -axes [dict get $o -axes]]
    set pixels [dict get $o -pixels]
    if {$pixels eq "auto"} {
        set pixels 0
    } else {
        set pixels [Integer $cmd -pixels $pixels 1 1000]
    }
    set range [dict get $o -range]
    if {$range ne {}} {
        lassign [Reals $cmd -range $range 2] lo hi
        if {$lo > $hi} {
            Invalid $cmd "-range must run from its lower to its upper value, got \"$range\""
        }
    } else {
        lassign {{} {}} lo hi
    }
    WriteImage $grid $file $pixels $lo $hi [dict get $o -empty] $palette $shade \
        [dict get $o -points] $axes
    return $file
}
