# install.tcl --
#
#	Installs the build tree into a temporary prefix and checks that a
#	fresh tclsh, with only that prefix's Tcl package folder on TCLLIBPATH,
#	finds and loads both packages from there, and that the header and the
#	man pages (one per command and per exported helper) are installed:
#
#	    tclsh tests/install.tcl cmake buildDir packageDir manDir version
#
#	packageDir and manDir are the install folders below the prefix
#	(lib/tcltk/kardumVERSION and share/man); version is the one both
#	packages must provide.  Exits non-zero on a failure.

lassign $argv cmake buildDir packageDir manDir version
set prefix [file join [file normalize $buildDir] install-check-[pid]]
file delete -force $prefix
set failures {}

proc check {what ok {detail ""}} {
    global failures
    if {$ok} {
        puts "ok: $what"
    } else {
        puts "FAILED: $what $detail"
        lappend failures $what
    }
}

if {[catch {exec $cmake --install $buildDir --prefix $prefix 2>@1} output]} {
    puts $output
    check "cmake --install into $prefix" 0
    exit 1
}

# The child sees nothing of the build (this script reads KARDUM_LIBRARY,
# the library in the build tree, to compare with): no KARDUM_* variables, and only the
# folder that holds the installed package folders on TCLLIBPATH.
set libPath [file dirname [file join $prefix $packageDir]]
set childEnv [array get ::env]
foreach name [array names ::env] {
    if {[string match KARDUM_* $name] || $name eq "TCLLIBPATH"} {
        unset ::env($name)
    }
}
set ::env(TCLLIBPATH) [list $libPath]
set script {
    puts [list Kardum_C [package require Kardum_C]]
    puts [list kardum [package require kardum]]
    puts [list loaded [lindex [lsearch -inline -index 1 [info loaded] Kardum] 0]]
    puts [list script [package ifneeded kardum [package present kardum]]]
    puts [list commands [lsort [info commands KD*]]]
    puts [list integral [kardum::integrate {apply {x {expr {3 * $x * $x}}}} 0 2]]
    puts [list exports [namespace eval ::kardum {namespace export}]]
}
set code [catch {exec [info nameofexecutable] << $script 2>@1} output]
array set ::env $childEnv
puts $output
check "a fresh tclsh runs the script" [expr {$code == 0}]

set answers [dict create]
foreach line [split $output \n] {
    if {[catch {llength $line} n] == 0 && $n >= 2} {
        dict set answers [lindex $line 0] [lrange $line 1 end]
    }
}
proc answer {key} {
    global answers
    if {[dict exists $answers $key]} {
        return [lindex [dict get $answers $key] 0]
    }
    return ""
}
set installed [file join $prefix $packageDir]
check "package require Kardum_C gives $version" [expr {[answer Kardum_C] eq $version}]
check "package require kardum gives $version" [expr {[answer kardum] eq $version}]
check "the library is loaded from the prefix" \
    [string match $installed/* [answer loaded]] "([answer loaded])"
check "kardum.tcl is sourced from the prefix" \
    [string match *$installed/kardum.tcl* [answer script]] "([answer script])"
load $::env(KARDUM_LIBRARY)
set built [lsort [info commands KD*]]
check "the installed library has the commands of the built one" \
    [expr {[answer commands] eq $built}] "([answer commands] against $built)"
check "kardum::integrate works" \
    [expr {[string is double -strict [answer integral]] && abs([answer integral] - 8.0) < 1e-12}] \
    "([answer integral])"

set manRoot [file join $prefix $manDir]
set page [file join $manRoot mann kardum.n]
check "the man page is installed as $manDir/mann/kardum.n" [file isfile $page]
check "the header is installed" [file isfile [file join $prefix include kardum.h]]

# A page for every command of the library and every helper of the package:
# its own page, or a link (.so) to a page that is installed.
set missing {}
set helpers {}
foreach name [answer exports] {
    lappend helpers kardum::$name
}
check "the package exports its helpers" [expr {[llength $helpers] > 0}]
foreach name [concat $built $helpers] {
    set file [file join $manRoot mann $name.n]
    if {![file isfile $file]} {
        lappend missing $name
        continue
    }
    set text [string trim [read [set f [open $file]]][close $f]]
    if {[regexp {^\.so (\S+)$} $text -> target] &&
            ![file isfile [file join $manRoot $target]]} {
        lappend missing "$name (-> $target)"
    }
}
check "every command and helper has its man page" [expr {$missing eq ""}] "($missing)"

# Where man is at hand, it finds a command's page by the command's name.
if {[auto_execok man] ne ""} {
    set code [catch {exec man -M $manRoot -w KDgridFill2D 2>@1} where]
    check "man finds KDgridFill2D" [expr {$code == 0 &&
        [file tail $where] in {KDgridFill2D.n KDgridFill2D.n.gz}}] "($where)"
}

# Where groff is at hand, the pages must format without warnings, rendered
# as one continuous page the way man shows it on a terminal (from the man
# root, where the links resolve).
if {[file isfile $page] && [auto_execok groff] ne ""} {
    set here [pwd]
    cd $manRoot
    set failed {}
    foreach file [lsort [glob -nocomplain mann/*.n]] {
        set code [catch {exec groff -t -man -Tutf8 -rcR=1 -ww -z $file 2>@1} warnings]
        if {$code != 0 || [string trim $warnings] ne ""} {
            lappend failed $file $warnings
        }
    }
    cd $here
    check "groff formats the man pages without warnings" [expr {$failed eq ""}] "\n$failed"
}

file delete -force $prefix
exit [expr {[llength $failures] > 0}]
