# The script-level helpers of kardum; they load Kardum_C themselves.
package ifneeded kardum 2.0 [list source [file join $dir kardum.tcl]]
