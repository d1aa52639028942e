# doctest.tcl --
#
#	Runs the examples of the documentation as printed, so that they stay
#	true:
#
#	    tclsh tests/doctest.tcl README.md doc/*.md   (KARDUM_LIBRARY set)
#
#	Runnable are the ```tcl blocks of a file and, in a section whose
#	heading says "Example", its indented code blocks.  The blocks of one
#	file run in order in one fresh interpreter with the library loaded and
#	lib/ on the auto_path.  Comments state expected values and are
#	checked:
#
#	    cmd ...        ;# => RESULT        the command's result
#	    cmd ...        ;# => 1; Y: 1 2 3   the result, then array elements
#	    # Y(2..3): 5.0 6.0                 elements 2 and 3 at this point
#	    # V(4): 0.5                        one element
#
#	A result or element list matches when it is the same text or when
#	every element is the same number to the digits printed.  A comment
#	that is not in one of these forms is prose and is not checked.  Other
#	code blocks (```sh, ```console, ```text) are not run.

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
        if {$example && [string match "    *" $line]
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

# Half a unit of the last digit printed in `text`, for a value with six or
# more significant digits; 0 for a shorter one, which must match exactly.
proc printedTolerance {text} {
    if {![regexp -nocase {^[-+]?(\d*)\.?(\d*)(?:e([-+]?\d+))?$} $text -> whole frac exp]} {
        return 0
    }
    set digits [string trimleft "$whole$frac" 0]
    if {[string length $digits] < 6} {
        return 0
    }
    if {$exp eq ""} {
        set exp 0
    }
    return [expr {0.5 * pow(10, $exp - [string length $frac])}]
}

proc sameValue {expected actual} {
    if {$expected eq $actual} {
        return 1
    }
    if {![string is double -strict $expected] || ![string is double -strict $actual]} {
        return 0
    }
    if {[catch {expr {abs($expected - $actual)}} diff]} {
        return 0
    }
    set tol [expr {max([printedTolerance $expected], 1e-12 * abs($expected), 1e-300)}]
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
        if {![string is double -strict $v]} {
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
                  && [allNumbers [set values [string trim $values]]]} {
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
    $child eval [list lappend auto_path [file join $sourceDir lib]]
    $child eval [list cd $sourceDir]

    set failures {}
    set checks 0
    set commands 0
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
            # A comment line states values at this point of the block.
            if {[string match "#*" $body]} {
                set found [claims [string trimleft $body "# "]]
                incr checks [llength $found]
                foreach failure [verify $child $found {}] {
                    lappend failures "$path:$first: $failure"
                }
                continue
            }
            incr commands
            if {[catch {$child eval $body} result options]} {
                lappend failures "$path:$first: error: $result\n    in: $body"
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
