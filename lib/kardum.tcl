# kardum.tcl --
#
#	Script-level helpers over the commands of Kardum_C, for what every
#	script would otherwise write by hand:
#
#	kardum::integrate  an integral with its error, from the trapezoid
#	                   stages of KDintegTrap over the double-exponential
#	                   substitution (or Romberg's extrapolation)
#	kardum::nlfit      a Levenberg-Marquardt fit driven through
#	                   KDdataNLinLSq to convergence, optionally within
#	                   bounds
#	kardum::gridfill   records binned and the empty cells filled as
#	                   KDdataGrid and KDgridFill2D do, on C++ buffers,
#	                   with a guard against unsupported values and
#	                   further passes until the grid is complete
#	kardum::readxyz, kardum::gridwrite, kardum::gridread, kardum::gridimage
#	                   records from a text file, a grid to an ESRI ASCII
#	                   or xyz file and back, a grid to a PNG picture
#
#	The helpers take Tcl lists and command prefixes, keep no state between
#	calls and leave the caller's variables (::Rnd1Seed among them) as they
#	were, so they nest (an integrand may itself integrate or fit).
#	Errors raised by a user's command stop the helper and come back with
#	their own message and errorInfo.
#
#	This file loads the C++ commands, holds the checks every helper shares
#	and sources one file per helper from its own folder: integrate.tcl,
#	nlfit.tcl and grid.tcl, each with its internals in a namespace of its
#	own (::kardum::quad, ::kardum::fit).

package require Tcl 8.6-
package require Kardum_C @PROJECT_VERSION@

namespace eval ::kardum {
    namespace export integrate nlfit gridfill readxyz gridwrite gridread gridimage
}

# The C++ commands behind the helpers come from the library file that holds
# Kardum_C: its Kardum_Init registers their entry point, Kardumpkg_Init, with
# Tcl as a static package, which `load {}` reaches in this interpreter.
proc ::kardum::LoadCommands {} {
    if {[catch {load {} Kardumpkg} message]} {
        return -code error -errorcode {KARDUM LOAD} \
            "kardum: cannot load the package commands of Kardum_C: $message"
    }
}
::kardum::LoadCommands
rename ::kardum::LoadCommands {}
package provide kardum @PROJECT_VERSION@

# --- Option and value checks -------------------------------------------

# Reads "-name value" pairs against a dict of defaults; returns the dict.
proc ::kardum::Options {cmd defaults words} {
    set options $defaults
    foreach {name value} $words {
        if {![dict exists $defaults $name]} {
            set names [lsort [dict keys $defaults]]
            set list "[join [lrange $names 0 end-1] {, }] or [lindex $names end]"
            return -code error -errorcode {KARDUM OPTION} \
                "$cmd: unknown option \"$name\", must be $list"
        }
        if {[llength $words] % 2 && $name eq [lindex $words end]} {
            return -code error -errorcode {KARDUM OPTION} \
                "$cmd: option \"$name\" needs a value"
        }
        dict set options $name $value
    }
    return $options
}

# After a catch in the package's own checks: a cancel or a limit that ended
# the caught script is passed on as it is, never taken for a failed check.
proc ::kardum::PassStop {result options} {
    if {[lrange [dict get $options -errorcode] 0 1] in {{TCL CANCEL} {TCL LIMIT}}} {
        dict set options -level 1
        return -options $options $result
    }
}

proc ::kardum::Invalid {cmd message} {
    return -code error -errorcode {KARDUM VALUE} "$cmd: $message"
}

# A finite number, returned as a double.
proc ::kardum::Real {cmd what value} {
    if {[catch {expr {double($value)}} number options]} {
        PassStop $number $options
        set number Inf
    }
    if {abs($number) == Inf} {
        Invalid $cmd "$what must be a finite number, got \"$value\""
    }
    return $number
}

proc ::kardum::NonNegative {cmd what value} {
    set number [Real $cmd $what $value]
    if {$number < 0} {
        Invalid $cmd "$what must not be negative, got $value"
    }
    return $number
}

# An integer in [min, max] (max empty: no upper bound).
proc ::kardum::Integer {cmd what value min {max {}}} {
    if {![string is integer -strict $value]
            || $value < $min || ($max ne {} && $value > $max)} {
        set range [expr {$max eq {} ? "at least $min" : "from $min to $max"}]
        Invalid $cmd "$what must be an integer $range, got \"$value\""
    }
    return [expr {int($value)}]
}

proc ::kardum::Boolean {cmd what value} {
    if {![string is boolean -strict $value]} {
        Invalid $cmd "$what must be a boolean, got \"$value\""
    }
    return [expr {$value ? 1 : 0}]
}

# One of a list of words; returns its position.
proc ::kardum::Choice {cmd what value words} {
    set i [lsearch -exact $words $value]
    if {$i < 0} {
        set list "[join [lrange $words 0 end-1] {, }] or [lindex $words end]"
        Invalid $cmd "$what must be $list, got \"$value\""
    }
    return $i
}

# A list of exactly n finite numbers (any length when n is empty).
proc ::kardum::Reals {cmd what values {n {}}} {
    if {[catch {llength $values} length options]} {
        PassStop $length $options
        set length -1
    }
    if {$length < 0 || ($n ne {} && $length != $n)} {
        set count [string trim "$n numbers"]
        Invalid $cmd "$what must be a list of $count, got \"$values\""
    }
    set out {}
    set i 0
    foreach value $values {
        lappend out [Real $cmd "element $i of $what" $value]
        incr i
    }
    return $out
}

# "1 abscissa", "2 abscissae".
proc ::kardum::Count {n one many} {
    return "$n [expr {$n == 1 ? $one : $many}]"
}

# A number or an infinity (a limit of integration, a bound), returned as a
# double.
proc ::kardum::Limit {cmd what value} {
    if {[catch {expr {double($value)}} number options]} {
        PassStop $number $options
        set number NaN
    }
    if {$number != $number} {
        Invalid $cmd "$what must be a number or an infinity, got \"$value\""
    }
    return $number
}

# A value a user's command returned: a number (NaN is not), else "".
proc ::kardum::Answer {value} {
    if {[catch {expr {double($value)}} number options]} {
        PassStop $number $options
        return {}
    }
    return $number
}

# Calls a user's command prefix with extra words in the frame that called
# the helper whose frame is level `frame`.  Returns 1 with the result in
# `resultVar`, or 0 with the failure recorded in that helper's state array
# `stateVar`, from where the helper rethrows it once the command of the
# library has returned (the library does not look at a callback's code).
proc ::kardum::Call {stateVar frame prefix words resultVar} {
    upvar 1 $resultVar result
    set code [catch {uplevel #[expr {$frame - 1}] [concat [lrange $prefix 0 end] $words]} \
                  result options]
    if {$code == 0 || $code == 2} {
        return 1
    }
    if {$code != 1} {
        set how [expr {$code == 3 ? "break" : $code == 4 ? "continue" : "code $code"}]
        set result "$prefix ended with $how, not with a result"
        set options {-errorcode {KARDUM VALUE}}
    }
    Failed $stateVar $frame $result $options
    return 0
}

# Records the first failure of a callback in the state array of the helper
# whose frame is level `frame`.
proc ::kardum::Failed {stateVar frame message options} {
    upvar #$frame $stateVar state
    if {!$state(failed)} {
        set state(failed) 1
        set state(message) $message
        set state(options) $options
    }
}

proc ::kardum::Rethrow {stateVar} {
    upvar 1 $stateVar state
    set options $state(options)
    dict unset options -level
    dict unset options -code
    return -code error -level 2 {*}$options $state(message)
}

# --- The helpers, one file each ------------------------------------------

apply {{dir} {
    foreach file {integrate.tcl nlfit.tcl grid.tcl} {
        uplevel #0 [list source [file join $dir $file]]
    }
}} [file dirname [file normalize [info script]]]
