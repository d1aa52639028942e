# samebits.tcl --
#
#	Prints what the library computes on the benchmarks' jobs and on the
#	tests' fixtures, one line per result: its name, its length and its
#	SHA-256.  Run through two builds (tools/samebits.sh OLD NEW), the two
#	listings must be equal: a refactoring that claims to change no bit
#	shows it here.
#
#	build/tclsh.sh tools/samebits.tcl ?-full? ?WORKDIR?
#
#	-full    the benchmarks at full size (default: their quick size)
#	WORKDIR  where the job's files go (default: a folder in /tmp)
#
#	Timings and the report's seconds are left out; everything else a job
#	returns or leaves in its arrays and files is compared.

set full [expr {"-full" in $argv}]
set argv [lsearch -all -inline -not -exact $argv -full]
set work [expr {[llength $argv] ? [lindex $argv 0] : "/tmp/kardum-samebits-[pid]"}]
file mkdir $work
set root [file dirname [file dirname [file normalize [info script]]]]

load $::env(KARDUM_LIBRARY)
lappend auto_path [file dirname $::env(KARDUM_LIBRARY)]
package require kardum

proc digest {value} {
    # A copy: writing a value as bytes would take its grid type from it.
    set text ""
    append text $value
    set f [open |[list sha256sum] r+]
    fconfigure $f -translation binary
    puts -nonewline $f $text
    chan close $f write
    set sum [lindex [read $f] 0]
    close $f
    return "[string length $text] $sum"
}
proc fileBytes {path} {
    set f [open $path rb]
    set data [read $f]
    close $f
    return $data
}
proc show {name text} {
    puts [format "%-60s %s" $name [digest $text]]
}
# The report's seconds differ from run to run.
proc timeless {text} {
    regsub -all {seconds [^ {}]+} $text {seconds -}
}
proc arrayText {name} {
    upvar #0 $name a
    if {![array exists a]} {return {}}
    set out {}
    foreach key [lsort -dictionary [array names a]] {
        lappend out $key $a($key)
    }
    return $out
}

# --- The benchmarks' jobs -----------------------------------------------
# bench/gridfill.tcl and bench/package.tcl as run.tcl sources them, with a
# `job` that runs each side once and shows what it returned and the
# arrays the raw commands fill.

set quick [expr {!$full}]
set only *
set reps 1
set rows {}
proc fmt {us} {return $us}
proc job {name target kdScript compName compScript reps {setup {}} {warmup 1}} {
    foreach side {kd cmp} label [list $name $compName] script [list $kdScript $compScript] {
        if {[lindex $script 0] eq "native"} continue
        if {$setup ne ""} {uplevel #0 $setup}
        set result [uplevel #0 $script]
        show "bench: $label ($side)" [timeless $result]
    }
    foreach array {FGrd FNrm} {
        if {[array exists ::$array]} {
            show "bench: $name, array $array" [arrayText $array]
        }
    }
}
set passRows {}
source [file join $root bench gridfill.tcl]
source [file join $root bench package.tcl]
foreach row $integRows {
    show "bench: integrate [lindex $row 0]" [lrange $row 1 end]
}

# bench/gridjob.tcl: an xyz file to an ESRI ASCII file, in a child process
# as the benchmark runs it, from the benchmark's points.
proc writeXyz {file n} {
    expr {srand(20261210)}
    set f [open $file w]
    for {set i 0} {$i < $n} {incr i} {
        set x [expr {rand()}]
        set y [expr {rand()}]
        set a [expr {9.0 * $x}]
        set b [expr {9.0 * $y}]
        set z [expr {0.75 * exp(-(($a - 2)**2 + ($b - 2)**2) / 4.0)
            + 0.75 * exp(-(($a + 1)**2) / 49.0 - ($b + 1) / 10.0)
            + 0.5 * exp(-(($a - 7)**2 + ($b - 3)**2) / 4.0)
            - 0.2 * exp(-(($a - 4)**2) - ($b - 7)**2)}]
        puts $f "$x $y $z"
    }
    close $f
}
set n [expr {$full ? 50000 : 10000}]
set cells [expr {$full ? 500 : 200}]
set xyz [file join $work points.xyz]
writeXyz $xyz $n
set asc [file join $work kardum.asc]
exec [info nameofexecutable] [file join $root bench gridjob.tcl] \
    [file dirname $::env(KARDUM_LIBRARY)] $xyz $asc 0 1 0 1 $cells $cells
show "gridjob: $n points to ${cells}x$cells, ESRI ASCII file" [fileBytes $asc]

# The same grid through the other writers and the helper's other paths.
set records [kardum::readxyz $xyz]
set grid [kardum::gridfill $records -extent {0 1 0 1} -cells [list $cells $cells] \
              -report report -sources 1]
show "gridfill: defaults, grid" $grid
show "gridfill: defaults, report" [timeless $report]
foreach {label options} {
    "no guard, one pass"   {-guard 0 -complete 0}
    "area bins, periodic"  {-binning {area area} -boundary {periodic periodic} -radius 3}
    "strict, cap max"      {-boundary {strict strict} -cap max -degree 2 -power 2}
    "bin only"             {-fill 0}
} {
    set out [kardum::gridfill $records -extent {0 1 0 1} -cells {60 40} {*}$options]
    show "gridfill: $label" $out
}
kardum::gridfill $records -extent {0 1 0 1} -cells {60 40} -crossvalidate 5 -report cv
show "gridfill: cross-validation" [timeless $cv]
set xyzOut [file join $work kardum.xyz]
kardum::gridwrite $grid $xyzOut -format xyz
show "gridwrite: xyz file" [fileBytes $xyzOut]
set png [file join $work kardum.png]
kardum::gridimage $grid $png
show "gridimage: PNG file" [fileBytes $png]

# --- The tests' fixtures: NIST StRD ---------------------------------------

proc customMatch {args} {}   ;# strd.tcl registers a tcltest matcher
source [file join $root tests strd.tcl]
proc powers {x t n} {
    upvar 1 $t out
    for {set k 0} {$k < $n} {incr k} {
        set out($k) [expr {$x ** ($k + $::firstPower)}]
    }
}
proc rowBasis {i t n} {
    upvar 1 $t out
    set row [lindex $::rows [expr {int($i)}]]
    set out(0) 1.0
    for {set k 1} {$k < $n} {incr k} {
        set out($k) [lindex $row $k]
    }
}
foreach {name basis ::firstPower} {
    Norris powers 0  Pontius powers 0  NoInt1 powers 1  NoInt2 powers 1
    Longley rowBasis 0  Wampler1 powers 0  Wampler2 powers 0  Wampler3 powers 0
    Wampler4 powers 0  Wampler5 powers 0  Filip powers 0
} {
    set ds [strd::load $name]
    set ::rows [dict get $ds data]
    set nP [llength $::rows]
    set nC [llength [dict get $ds coef]]
    unset -nocomplain X Y C iC Cv
    set i 0
    foreach row $::rows {
        set X($i) [expr {$basis eq "rowBasis" ? $i : [lindex $row 1]}]
        set Y($i) [lindex $row 0]
        incr i
    }
    set rss [KDdataLSq1D X Y $nP 0 C iC $nC Cv $basis]
    show "strd: KDdataLSq1D $name" [list $rss [arrayText C] [arrayText Cv]]
}

# The nonlinear datasets through kardum::nlfit from NIST's first start,
# with derivatives taken by the helper.
proc strdNonlinear {name} {
    set f [open [file join $::strd::dir $name.dat]]
    set lines [split [string map {\r {}} [read $f]] \n]
    close $f
    set start {}
    set xs {}
    set ys {}
    set inData 0
    foreach line $lines {
        if {[regexp {^\s*b\d+\s*=\s*(\S+)} $line -> b]} {
            lappend start $b
        } elseif {[regexp {^Data:\s+y\s+x} $line]} {
            set inData 1
        } elseif {$inData && [llength $line] == 2} {
            lappend ys [lindex $line 0]
            lappend xs [lindex $line 1]
        }
    }
    list $start $xs $ys
}
foreach {name model} {
    Misra1a  {expr {[lindex $p 0] * (1 - exp(-[lindex $p 1] * $x))}}
    DanWood  {expr {[lindex $p 0] * $x ** [lindex $p 1]}}
    Chwirut2 {expr {exp(-[lindex $p 0] * $x) / ([lindex $p 1] + [lindex $p 2] * $x)}}
} {
    lassign [strdNonlinear $name] start xs ys
    if {[catch {kardum::nlfit [list apply [list {x p} $model]] $xs $ys $start} fit]} {
        set fit "error: $fit"
    }
    show "strd: kardum::nlfit $name" $fit
}

# --- Counts beyond the elements present -----------------------------------
# The loops over a count on arrays that hold a few elements, specials
# among them (-0.0, infinities, values whose powers underflow or
# overflow): every place not there counts as 0.0.
proc bitsOf {value} {
    if {![string is double -strict $value]} {return $value}
    binary scan [binary format d $value] H* hex
    return $hex
}
namespace eval ::counts {
    for {set i 0} {$i < 40} {incr i} {set V($i) [expr {sin($i)}]}
    array set S {0 -0.0 5 1e308 17 -2.5 1000 3.0 99999 -1e-300 400000 0.25}
    array set Z {0 -0.0 7 -0.0}
    array set I {3 Inf 10 -1.0 2000 -Inf}
    array set Neg {0 -1e300 1 -1e300 50 -0.0}
}
foreach n {1 40 41 100003 1000000} {
    foreach arr {V S Z I Neg} {
        set a ::counts::$arr
        set out {}
        foreach x {0.5 -0.5 1 -1 2 0.999 1.0001 0 -0.0 1e-300 Inf} {
            lappend out [bitsOf [KDpolyExp1D $x $n $a]] [bitsOf [KDpolyExp1D $x $n $a 0 1e10 -1e10]]
        }
        foreach {x y} {0.5 0.5 -1 1 0.3 -0.9 2 0.5 -1.5 1.1 Inf 0.1} {
            foreach d {1 5 60} {
                set terms [expr {($d + 1) * ($d + 2) / 2}]
                lappend out [bitsOf [KDpolyExp2D $x $y $terms $a $d]]
            }
        }
        foreach step {1 2 7 1000} {
            foreach cond {< > G} {
                foreach {lo hi} {-9e30 9e30 -1 0 0 1 -0.0 1e-300} {
                    lappend out [KDdataMxMn $a $n $cond $lo $hi $step]
                }
            }
            foreach op {SUM AVG V} {
                foreach m {0 -0.0 0.1 1e-200 3e200} {
                    lappend out [bitsOf [KDarrayMath $a $op $m C $n 0 0 0 $step]]
                }
            }
        }
        foreach other {V S Z I Neg} {
            lappend out [bitsOf [KDvecMath $a D ::counts::$other R 0 0 0 $n $n]]
        }
        lappend out [bitsOf [KDvecMath $a M $a R 0 0 0 $n $n]]
        show "counts: $arr, count $n" $out
    }
}

file delete -force $work
