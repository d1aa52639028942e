# surface_run.tcl --
#
#	One kardum job of bench/surface_compare.py, file in to grid file out:
#
#	  tclsh surface_run.tcl in.xyz out.xyz x0 x1 y0 y1 nx ny ?option value ...?
#
#	reads the records with kardum::readxyz, grids them with
#	kardum::gridfill (its defaults unless options are given) and writes
#	the cells with kardum::gridwrite: a netCDF grid when out ends in .nc,
#	else x y z lines.

package require kardum

lassign $argv in out x0 x1 y0 y1 nx ny
set options [lrange $argv 8 end]
set records [kardum::readxyz $in]
set grid [kardum::gridfill $records -extent [list $x0 $x1 $y0 $y1] -cells [list $nx $ny] \
              -empty nan {*}$options]
set format [expr {[file extension $out] eq ".nc" ? "netcdf" : "xyz"}]
kardum::gridwrite $grid $out -format $format -extent [list $x0 $x1 $y0 $y1] -empty nan
