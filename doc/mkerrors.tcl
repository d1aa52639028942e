# mkerrors.tcl --
#
#	Makes the table of doc/errors.md from the Errors section of each
#	command's page, so that the two never disagree:
#
#	    tclsh doc/mkerrors.tcl docDir           rewrites docDir/errors.md
#	    tclsh doc/mkerrors.tcl docDir -check    exits 1 if it is out of date
#
#	errors.md is kept up to the line that names this script (the rules
#	that hold for every command, written by hand); what follows is made
#	here: one row per row of a page's table, the command in front, and the
#	page's remarks under "Notes from the reference entries".

if {[llength $argv] ni {1 2} || ([llength $argv] == 2 && [lindex $argv 1] ne "-check")} {
    puts stderr "usage: tclsh mkerrors.tcl docDir ?-check?"
    exit 2
}
lassign $argv docDir check

# The commands in the order of the reference: by subsystem.
set commands {
    KDarrayMath KDvecMath KDmatrixMath KDmatrixInv KDsolveCubic
    KDpolyExp1D KDdataLSq1D KDpolyExp2D KDdataLSq2D KDdataMqCoef KDdataNLinLSq
    KDdataMxMn KDdataRnd1 KDintegTrap KDdataGrid KDgridFill2D
}
set marker "The table below is made from the Errors section of each command's page\
    by `doc/mkerrors.tcl`: edit the pages, then run it."

proc readFile {path} {
    set f [open $path r]
    fconfigure $f -encoding utf-8
    set text [read $f]
    close $f
    return $text
}

# The lines of a page's "## Errors" section, up to the next heading.
proc errorsSection {page} {
    set lines {}
    set inside 0
    foreach line [split [readFile $page] \n] {
        if {[string match "## *" $line]} {
            if {$inside} break
            set inside [expr {$line eq "## Errors"}]
            continue
        }
        if {$inside} {lappend lines $line}
    }
    if {!$inside} {
        error "$page has no \"## Errors\" section"
    }
    return $lines
}

set rows {}
set notes {}
foreach command $commands {
    set paragraph {}
    set paragraphs {}
    foreach line [concat [errorsSection [file join $docDir $command.md]] {{}}] {
        if {[string match "|*" $line]} {
            # Table rows but the header and its rule.
            if {![regexp {^\|\s*Input\s*\|} $line] && ![regexp {^\|[-| :]+\|$} $line]} {
                lappend rows "| `$command` $line"
            }
        } elseif {[string trim $line] eq ""} {
            if {[llength $paragraph]} {
                lappend paragraphs [join $paragraph " "]
                set paragraph {}
            }
        } else {
            lappend paragraph [string trim $line]
        }
    }
    foreach text $paragraphs {
        lappend notes "- `$command`: $text"
    }
}

set path [file join $docDir errors.md]
set old [readFile $path]
set at [string first $marker $old]
if {$at < 0} {
    puts stderr "$path: no line \"$marker\" to keep the text above"
    exit 1
}
set head [string range $old 0 [expr {$at + [string length $marker] - 1}]]
set new "$head\n\n| Command | Input | Reaction |\n|---|---|---|\n[join $rows \n]\n"
if {[llength $notes]} {
    append new "\nNotes from the reference entries:\n\n[join $notes \n]\n"
}

if {$check eq "-check"} {
    if {$new ne $old} {
        puts stderr "$path is out of date: run tclsh doc/mkerrors.tcl doc"
        exit 1
    }
    exit 0
}
set f [open $path w]
fconfigure $f -encoding utf-8 -translation lf
puts -nonewline $f $new
close $f
