# gridjob.tcl --
#
#	One end-to-end run of the package's main job, as the benchmark times
#	it against GMT nearneighbor: an xyz file on disk to a filled grid in
#	an ESRI ASCII file on disk, with kardum::gridfill's defaults.
#
#	tclsh bench/gridjob.tcl packageDir in.xyz out.asc x0 x1 y0 y1 nx ny

lassign $argv dir in out x0 x1 y0 y1 nx ny
lappend auto_path $dir
package require kardum
set records [kardum::readxyz $in]
set grid [kardum::gridfill $records -extent [list $x0 $x1 $y0 $y1] -cells [list $nx $ny]]
kardum::gridwrite $grid $out -format esri-ascii
