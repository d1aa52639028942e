# doctest.tcl --
#
#	Runs the examples of the documentation as printed, so that they stay
#	true:
#
#	    tclsh tests/doctest.tcl README.md doc/*.md   (KARDUM_LIBRARY set)
#
#	Runnable are the ```tcl blocks of a file, its indented code blocks in a
#	section whose heading says "Example", and indented blocks elsewhere
#	that define a procedure (a model or basis the examples use).  The
#	blocks of one file run in order in one fresh interpreter with the
#	library loaded and its build tree on the auto_path.  Comments state expected
#	values and are checked:
#
#	    cmd ...        ;# => RESULT        the command's result
#	    cmd ...        ;# => 1; Y: 1 2 3   the result, then array elements
#	    # Y(2..3): 5.0 6.0                 elements 2 and 3 at this point
#	    # => RESULT                        the result of the command above
#	    # V(4): 0.5 (the midpoint)         one element; prose after "  " or " ("
#
#	A value matches when it is the same text, or the same number to the
#	digits printed (a value of six or more digits is taken as rounded, one
#	ending in "…" as cut off).  A comment in no such form is prose and is
#	not checked.  Other code blocks (```sh, ```console, ```text) are not
#	run.  Links to files of the source tree must lead to one.

set libraryPath $::env(KARDUM_LIBRARY)
set sourceDir [file dirname [file dirname [file normalize [info script]]]]

# --- Extracting the blocks -------------------------------------------------

# Returns {firstLine text} pairs of the runnable blocks of a Markdown text.
proc blocks {text} {
    set lines [split $text \n]
    set out {}
    set example 0
    set n [llength $lines]
    for {set i 0} {$i < $n} {incr i} {
        set line [lindex $lines $i]
        if {[regexp {^```(\S*)} $line -> lang]} {
            set start [expr {$i + 2}]
            set code {}
            for {incr i} {$i < $n && ![string match ```* [lindex $lines $i]]} {incr i} {
                lappend code [lindex $lines $i]
            }
            if {$lang eq "tcl"} {
                lappend out $start [join $code \n]
            }
            continue
        }
        if {[regexp {^#+\s+(.*)$} $line -> title]} {
            set example [regexp -nocase {example} $title]
            continue
        }
        if {[string match "    *" $line]
                && ($example || [string match "    proc *" $line])
                && ($i == 0 || [string trim [lindex $lines [expr {$i - 1}]]] eq "")} {
            set start [expr {$i + 1}]
            set code {}
            while {$i < $n && ([string match "    *" [lindex $lines $i]]
                               || [string trim [lindex $lines $i]] eq "")} {
                lappend code [string range [lindex $lines $i] 4 end]
                incr i
            }
            incr i -1
            lappend out $start [join $code \n]
        }
    }
    return $out
}

# --- Checking the comments ---------------------------------------------------

# How far a value may lie from the number printed as `text`: half a unit
# of the last digit for six or more significant digits, a whole unit for
# digits cut off with "…", else nothing (the value must match exactly).
proc printedTolerance {text} {
    set cut [regsub {\u2026$} $text {} text]
    if {![regexp -nocase {^[-+]?(\d*)\.?(\d*)(?:e([-+]?\d+))?$} $text -> whole frac exp]} {
        return 0
    }
    set digits [string trimleft "$whole$frac" 0]
    if {!$cut && [string length $digits] < 6} {
        return 0
    }
    if {$exp eq ""} {
        set exp 0
    }
    return [expr {($cut ? 1.0 : 0.5) * pow(10, $exp - [string length $frac])}]
}

# A number as printed in the text: a double, or one cut off with "…".
proc printedNumber {text} {
    return [string is double -strict [regsub {\u2026$} $text {}]]
}

proc sameValue {expected actual} {
    if {$expected eq $actual} {
        return 1
    }
    if {![printedNumber $expected] || ![string is double -strict $actual]} {
        return 0
    }
    set number [regsub {\u2026$} $expected {}]
    if {[catch {expr {abs($number - $actual)}} diff]} {
        return 0
    }
    set tol [expr {max([printedTolerance $expected], 1e-12 * abs($number), 1e-300)}]
    return [expr {$diff <= $tol}]
}

proc sameList {expected actual} {
    if {$expected eq $actual} {
        return 1
    }
    if {[catch {llength $expected} ne] || [catch {llength $actual} na] || $ne != $na} {
        return 0
    }
    foreach e $expected a $actual {
        if {![sameValue $e $a]} {
            return 0
        }
    }
    return 1
}

proc allNumbers {values} {
    if {[catch {llength $values}] || [llength $values] == 0} {
        return 0
    }
    foreach v $values {
        if {![printedNumber $v]} {
            return 0
        }
    }
    return 1
}

# The checks a comment states: {result TEXT} and {elements NAME FIRST
# LAST VALUES} items.
proc claims {comment} {
    set out {}
    foreach segment [split $comment ";"] {
        set segment [string trim $segment]
        if {[regexp {^=>\s*(.*)$} $segment -> rest]} {
            regsub {(  | \().*$} $rest {} rest
            lappend out [list result [string trim $rest]]
        } elseif {[regexp {^([A-Za-z_][\w:]*)(?:\((-?\d+)(?:\.\.(-?\d+))?\))?:\s*(.*)$} \
                       $segment -> name first last values]
                  && [allNumbers [set values [string trim [regsub {(  | \().*$} $values {}]]]]} {
            if {$first eq ""} {
                set first 0
                set last [expr {[llength $values] - 1}]
            } elseif {$last eq ""} {
                set last $first
            }
            lappend out [list elements $name $first $last $values]
        }
    }
    return $out
}

# Checks the claims against the interpreter `child`; returns the failures.
proc verify {child claims result} {
    set failures {}
    foreach claim $claims {
        switch [lindex $claim 0] {
            result {
                set expected [lindex $claim 1]
                if {![sameList $expected $result]} {
                    lappend failures "result \"$result\", the text says \"$expected\""
                }
            }
            elements {
                lassign $claim - name first last values
                set count [expr {$last - $first + 1}]
                if {[llength $values] == 1 && $count > 1} {
                    set values [lrepeat $count [lindex $values 0]]
                }
                if {[llength $values] != $count} {
                    lappend failures "${name}($first..$last) names $count elements but\
                        the text gives [llength $values] values"
                    continue
                }
                set actual {}
                for {set i $first} {$i <= $last} {incr i} {
                    if {[catch {$child eval [list set ${name}($i)]} v]} {
                        set v "(missing)"
                    }
                    lappend actual $v
                }
                if {![sameList $values $actual]} {
                    lappend failures "${name}($first..$last) holds \"$actual\", the text\
                        says \"$values\""
                }
            }
        }
    }
    return $failures
}

# --- Running -----------------------------------------------------------------

proc runFile {path} {
    global libraryPath sourceDir
    set f [open $path r]
    fconfigure $f -encoding utf-8
    set text [read $f]
    close $f

    set child [interp create]
    $child eval [list load $libraryPath]
    $child eval [list lappend auto_path [file dirname [file normalize $libraryPath]]]
    $child eval [list cd $sourceDir]

    set failures {}
    set checks 0
    set commands 0
    set result ""
    foreach {start code} [blocks $text] {
        set command ""
        set lineNo $start
        set first $start
        foreach line [split $code \n] {
            if {$command eq ""} {
                set first $lineNo
            }
            append command $line \n
            incr lineNo
            if {![info complete $command]} {
                continue
            }
            set body [string trim $command]
            set command ""
            if {$body eq ""} {
                continue
            }
            # A comment line states values at this point of the block; its
            # "=> RESULT" is the result of the command before it.
            if {[string match "#*" $body]} {
                set found [claims [string trimleft $body "# "]]
                incr checks [llength $found]
                foreach failure [verify $child $found $result] {
                    lappend failures "$path:$first: $failure"
                }
                continue
            }
            incr commands
            if {[catch {$child eval $body} result options]} {
                lappend failures "$path:$first: error: $result\n    in: $body"
                set result ""
                continue
            }
            set comment ""
            regexp {;#\s*(.*)$} [lindex [split $body \n] end] -> comment
            set found [claims $comment]
            incr checks [llength $found]
            foreach failure [verify $child $found $result] {
                lappend failures "$path:$first: $failure\n    in: $body"
            }
        }
        if {[string trim $command] ne ""} {
            lappend failures "$path:$first: incomplete command at the end of the block"
        }
    }
    interp delete $child

    # Links to files of the tree must lead somewhere.
    foreach {- target} [regexp -all -inline {\]\(([^)\s]+)\)} $text] {
        if {[regexp {^[a-z]+:} $target] || [string match #* $target]} {
            continue
        }
        set file [file join [file dirname $path] [lindex [split $target #] 0]]
        if {![file exists $file]} {
            lappend failures "$path: the link ($target) leads to no file"
        }
    }
    return [list $commands $checks $failures]
}

set failed 0
foreach path $argv {
    lassign [runFile $path] commands checks failures
    set name [file normalize $path]
    if {[string first $sourceDir/ $name] == 0} {
        set name [string range $name [string length $sourceDir/] end]
    }
    puts "$name: $commands commands, $checks stated values checked"
    foreach failure $failures {
        puts "  FAILED $failure"
        set failed 1
    }
}
exit $failed
