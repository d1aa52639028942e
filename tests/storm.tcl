# storm.tcl --
#
#	A seeded storm of random calls over every command of the library and
#	every helper of the package, in a child interpreter:
#
#	    tclsh storm.tcl ?-seed N? ?-calls N? ?-first N? ?-seconds S? ?-bound S?
#	                    ?-show 1? ?-keepgoing 1?
#
#	The calls take hostile counts (0, 2^31 - 1, words past 32 bits, text),
#	arrays of awkward contents (text, Inf, 30000-digit numbers, holes),
#	traces that unset or redefine the arrays a call reads or cancel the
#	interpreter from inside the call, callbacks that fail, rename
#	themselves, re-enter the library or cancel, and run under a time limit
#	of up to two seconds, or a command limit, fired at a random point.
#	After every call:
#	  - the call worked at most -bound seconds (3, of processor time
#	    where the system tells), whatever its limit;
#	  - an error has a message (unless its time limit ran out: see below);
#	  - a cancel that a trace or a callback raised during the call ended
#	    it with TCL CANCEL (or TCL LIMIT, where its limit ran out too),
#	    unless a script of the call's own caught it;
#	  - the interpreter still evaluates scripts.
#	Anything else (a crash, above all) is a fault: the storm prints the
#	seed, the call's number and its script, and exits 1 (with -keepgoing,
#	after the last call, having gone on with a new child).  Each call draws
#	from a generator seeded by the storm's seed and its number, so a
#	failing call can be replayed alone with -seed S -first N -calls 1.
#	Without -calls, new seeds run one after the other until -seconds
#	have passed (make storm).
#
#	KARDUM_LIBRARY names the library; the package comes from its folder.

array set options {-seed 1 -calls {} -seconds 60 -bound 3.0 -show 0 -first 0 -keepgoing 0}
foreach {name value} $argv {
    if {![info exists options($name)]} {
        puts stderr "usage: tclsh storm.tcl ?-seed N? ?-calls N? ?-first N? ?-seconds S? ?-bound S? ?-show 1? ?-keepgoing 1?"
        exit 2
    }
    set options($name) $value
}
set library [file normalize $::env(KARDUM_LIBRARY)]
set scratch [file join [pwd] storm-scratch-[pid]]
file mkdir $scratch

# --- the child and its fixture ------------------------------------------

# Arrays and callbacks every child starts from; `hit` records the cancels
# that traces and callbacks raise.
set fixture {
    set hit 0
    array set A {0 1 1 2 2 3 3 -4 4 5.5 5 0 6 7 7 8 8 9 9 10}
    array set B {0 2 2 -1 5 1e10 7 3 -1 4 x 9}
    array set C {0 abc 1 {} 2 Inf 3 -Inf 4 1e308 5 0x10 6 1e-320 7 -0.0}
    array set F {0 1 1 1 2 0 3 1 4 1 5 0}
    array set W {0 -1 1 0 2 0 3 2 4 0 5 1 6 1}
    for {set i 7} {$i < 40} {incr i} {set W($i) 0}
    set L(0) [string repeat 7 30000]
    for {set i 1} {$i < 40} {incr i} {set L($i) [string repeat 3 30000].5}
    array set gI {0 0 1 10 2 0 3 10 4 10 5 10 6 AREA 7 AREA 8 ROW 9 KEEP
                  10 {NEW ADD END } 11 -999 12 -888 13 -1e30 14 1e30 15 N 16 N}
    array set gH {0 0 1 10 2 0 3 10 4 46340 5 46340 6 AREA 7 AREA 8 ROW 9 KEEP
                  10 {END } 11 -999 12 -888 13 -1e30 14 1e30 15 N 16 N}
    array set sI {0 1 1 3 2 2 3 1 4 0 5 0 6 0 7 0 8 1.0 9 1}
    for {set i 0} {$i < 100} {incr i} {
        set Grd($i) [expr {$i % 7 == 3 ? -999 : $i * 0.5}]
        set Nrm($i) [expr {$i % 7 == 3 ? 0 : 1}]
    }
    proc cancelNow {} {
        incr ::hit
        interp cancel
    }
    proc basis {x a n} {
        upvar 1 $a t
        set p 1.0
        for {set i 0} {$i < $n && $i < 16} {incr i} {set t($i) $p; set p [expr {$p * $x}]}
    }
    proc model {n d w} {
        upvar 1 $d dy $w wk
        for {set j 0} {$j < $n && $j < 16} {incr j} {set dy($j) 1.0}
        return 1.0
    }
    proc f {x args} {expr {$x * $x}}
    proc fit {x p} {list [expr {[lindex $p 0] * $x}] $x}
    proc failing {args} {error boom}
    proc texty {args} {return abc}
    proc reenter {args} {
        catch {KDarrayMath A SUM 0 - 5}
        catch {KDpolyExp1D 0.5 3 A}
        return 1.0
    }
    proc renaming {args} {
        catch {rename f {}}
        catch {rename basis {}}
        return 1.0
    }
    proc cancelling {args} {cancelNow; return 1.0}
}

proc newChild {} {
    global library fixture
    set c [interp create]
    $c eval [list load $library]
    $c eval [list set auto_path [linsert [$c eval {set auto_path}] 0 [file dirname $library]]]
    $c eval {package require kardum}
    $c eval $fixture
    return $c
}

# --- random words ---------------------------------------------------------

proc pick {list} {lindex $list [expr {int(rand() * [llength $list])}]}
proc chance {p} {expr {rand() < $p}}

set pools {
    count  {0 1 2 3 5 10 40 100 -1 -7 2147483647 2147483646 -2147483648 2147483648
            4294967295 4294967297 -4294967295 1073741824 46341 abc {} 1.5 1e9 3 2}
    offset {0 0 1 -1 5 2147483647 -2147483648 abc 3}
    step   {1 1 2 0 -1 2147483647 abc}
    number {0 1 -1 0.5 2 1e300 -1e300 Inf -Inf NaN abc {} 1e-300 0.999999 1.000001}
    array  {A A B C F W L Grd Nrm NoSuch Out {} A(0) gI}
    out    {Out Out Coef Cov A NoSuch {}}
    flags  {F F A NoSuch}
    work   {W W A NoSuch}
    aop    {+ - * / SUM AVG V VAR COS SQRT LOG ATAN2 x {}}
    vop    {+ - * / C T U D M A S R X {}}
    mop    {* T U X {}}
    cond   {< > G {}}
    range  {P N PN {}}
    wt     {0 1 -1 2 abc}
    basis  {basis basis failing texty reenter renaming cancelling NoProc {}}
    model  {model model failing texty reenter renaming cancelling NoProc {}}
    integ  {f f failing texty reenter renaming cancelling NoProc {}}
    stage  {1 2 3 5 8 12 20 32 33 0 -1 abc}
    desc   {gI gI gH NoSuch A}
}
proc w {kind} {pick [dict get $::pools $kind]}

# One call of a command of the library, as a script.
proc commandCall {} {
    switch [expr {int(rand() * 16)}] {
        0 {list KDarrayMath [w array] [w aop] [w array] [w out] [w count] [w offset] [w offset] [w offset] [w step] [w step] [w step]}
        1 {list KDvecMath [w array] [w vop] [w array] [w out] [w offset] [w offset] [w offset] [w count] [w count]}
        2 {list KDmatrixMath [w array] [w mop] [w array] [w out] [w count] [w count] [w count] [w count]}
        3 {list KDmatrixInv [w count] [w array] [w offset] [w count] [w array] [w offset]}
        4 {list KDsolveCubic [w number] [w number] [w number] [w number]}
        5 {list KDpolyExp1D [w number] [w count] [w array] [w offset] [w number] [w number]}
        6 {list KDpolyExp2D [w number] [w number] [w count] [w array] [w count] [w offset]}
        7 {list KDdataLSq1D [w array] [w array] [w count] [w wt] Coef [w flags] [w count] Cov [w basis]}
        8 {list KDdataLSq2D [w array] [w array] [w array] [w count] [w count] [w wt] Coef 1}
        9 {list KDdataMqCoef [w array] [w array] [w count] [w flags] 2 [w offset] [w offset] "set FuncRet \[[w model] 2 dYdA W\]" [w work]}
        10 {list KDdataNLinLSq [w array] [w array] [w count] A [w flags] 2 [w model] [w work]}
        11 {list KDdataMxMn [w array] [w count] [w cond] [w number] [w number] [w step] [w offset]}
        12 {list KDdataRnd1 [w out] [pick {0 1 10 1000 46341 -1 2147483647 abc}] [w range] [w number]}
        13 {list KDintegTrap [w integ] [w number] [w number] [w stage] [w number] [pick {0 1 2}]}
        14 {list KDdataGrid [w count] 1 A A 1 A A A Grd Nrm [w desc]}
        15 {list KDgridFill2D Grd [w desc] [pick {{} Nrm}] sI}
    }
}

# A list of n random records {x y z}; some hostile.
proc records {n} {
    set out {}
    for {set i 0} {$i < $n} {incr i} {
        lappend out [list [expr {rand() * 100}] [expr {rand() * 100}] [expr {rand()}]]
    }
    if {[chance 0.2]} {lappend out [list 1e308 1e308 1e308]}
    if {[chance 0.1]} {lappend out {1 2 abc}}
    return $out
}

# One call of a helper of the package, as a script.
proc helperCall {} {
    global scratch
    switch [expr {int(rand() * 6)}] {
        0 {
            list kardum::integrate [w integ] [pick {0 -Inf 1}] [pick {1 Inf 1e300 0}] \
                -method [pick {tanh-sinh romberg}] -vector 0
        }
        1 {
            set n [pick {1 3 10 1000 100000}]
            set xs {}
            for {set i 0} {$i < $n} {incr i} {lappend xs $i}
            list kardum::nlfit [pick {fit fit failing texty cancelling renaming}] $xs $xs {0.5}
        }
        2 {
            set cells [pick {{10 10} {200 200} {800 800} {1 1} {46341 46341} {0 5}}]
            set how [pick {
                {} {-tension 0.9 -mask 3} {-mask 5u -crossvalidate 3}
                {-method local -radius 1} {-method local -radius 40}
                {-method local -radius 1000} {-method local -radius 2.5u -maxradius 40u}
                {-method local -crossvalidate 4} {-geographic 1 -mask 300km}
            }]
            list kardum::gridfill [records [pick {0 1 10 500 2000}]] -extent {0 100 0 100} \
                -cells $cells {*}$how
        }
        3 {
            set file [file join $scratch in.xyz]
            set f [open $file w]
            switch [pick {plain long blank binary}] {
                plain {puts $f "1 2 3\n4 5 6"}
                long {puts $f [string repeat " " [pick {10 100000 3000000}]]; puts $f "1 2 3"}
                blank {puts $f "\n\n#\n1,2,3"}
                binary {puts -nonewline $f [binary format c* {0 1 2 255 10 49 32 50 32 51}]}
            }
            close $f
            list kardum::readxyz $file
        }
        4 {
            list kardum::gridwrite [pick {{{1 2} {3 4}} {{1 2} {3}} {} {{abc}}}] \
                [file join $scratch out.asc] -extent [pick {{0 1 0 1} {} {0 0 0 0}}] \
                -format [pick {esri-ascii geotiff}]
        }
        5 {
            list kardum::gridimage [pick {{{1 2} {3 4}} {{1 2} {3}} {} {{Inf}}}] \
                [file join $scratch out.png]
        }
    }
}

# What the call meets before it starts: elements changed, traces set.
proc prepare {c} {
    set setup {}
    if {[chance 0.3]} {
        lappend setup [list set [pick {A B F W}]([pick {0 1 2 3 -1 99}]) [w number]]
    }
    if {[chance 0.1]} {
        lappend setup [list unset -nocomplain [pick {A B F W Grd}]]
    }
    if {[chance 0.25]} {
        set array [pick {A B C F W L Grd Nrm gI sI}]
        set action [pick {
            {cancelNow}
            {uplevel #0 {unset -nocomplain A}}
            {uplevel #0 {unset -nocomplain W; set W scalar}}
            {uplevel #0 {array set A {0 abc}}}
            {rename basis {}}
            {}
        }]
        set ops [pick {read write {read write}}]
        lappend setup "trace add variable $array [list $ops] {apply {args {$action}}}"
    }
    # What earlier calls left may refuse a step (W a scalar, say).
    foreach step $setup {
        $c eval [list catch $step]
    }
}

# Removes the traces that prepare set.
proc unprepare {c} {
    $c eval {
        foreach v {A B C F W L Grd Nrm gI sI} {
            if {![info exists $v]} continue
            foreach t [trace info variable $v] {
                trace remove variable $v {*}$t
            }
        }
    }
}

# --- the storm --------------------------------------------------------------

# Seconds of processor time this process has used, where Linux tells
# (/proc/self/stat, in ticks of 1/100 s), else of the clock: a loaded
# machine stretches the clock, not the work a call does.
if {[file readable /proc/self/stat]} {
    proc workSeconds {} {
        set f [open /proc/self/stat]
        set stat [read $f]
        close $f
        set fields [string range $stat [expr {[string last ")" $stat] + 2}] end]
        expr {([lindex $fields 11] + [lindex $fields 12]) / 100.0}
    }
} else {
    proc workSeconds {} {expr {[clock microseconds] / 1e6}}
}

proc fail {seed number script why} {
    global scratch options
    puts "storm FAILED at -seed $seed -first $number: $why"
    puts "  script: [string range $script 0 400]"
    if {$options(-keepgoing)} {
        incr ::faults
        return -code return [newChild]
    }
    file delete -force $scratch
    exit 1
}
set faults 0

# Runs call `number` of the storm of `seed` in child c; returns c, or a
# new child once c has been left in a state of the call's own making.
proc runCall {c seed number} {
    global options
    expr {srand(($seed * 1000003 + $number) % 2147483647)}
    set script [expr {[chance 0.75] ? [commandCall] : [helperCall]}]
    prepare $c
    $c eval {set hit 0}

    # A time limit, at most 2 s ahead, or a command limit.
    set now [clock milliseconds]
    set ms [pick {5 50 300 2000 2000}]
    set deadline [expr {$now + $ms}]
    interp limit $c time -seconds [expr {$deadline / 1000}] -milliseconds [expr {$deadline % 1000}]
    if {[chance 0.2]} {
        interp limit $c command -value [expr {[$c eval {info cmdcount}] + int(rand() * 500) + 5}]
    }
    if {$options(-show)} {puts "$number: $script"}
    set t0 [workSeconds]
    set code [catch {$c eval $script} msg opts]
    set seconds [expr {[workSeconds] - $t0}]
    interp limit $c time -seconds {} -milliseconds {}
    interp limit $c command -value {}

    if {$seconds > $options(-bound)} {
        fail $seed $number $script "took [format %.1f $seconds] s (limit $ms ms)"
    }
    # Once a time limit has run out, Tcl refuses every further command with
    # an error whose message it set only the first time; a call whose
    # deadline passed may thus end with an empty message that is Tcl's.
    # Tcl takes the deadline as passed a microsecond after it.
    set late [expr {[clock microseconds] - $deadline * 1000}]
    if {$code == 1 && $msg eq {} && $late <= 0} {
        fail $seed $number $script "an error without a message ([dict get $opts -errorcode]),\
            [expr {-$late}] µs before the deadline, raised\
            [string range [dict get $opts -errorinfo] 0 300]"
    }
    set hit [$c eval {set hit}]
    # A callback that re-enters the library catches what those calls raise.
    set caught [string match *reenter* $script]
    # (a limit that ran out as well may end the call first)
    set stopped [expr {$code == 1 &&
                       [lrange [dict get $opts -errorcode] 0 1] in {{TCL CANCEL} {TCL LIMIT}}}]
    if {$hit && !$caught && !$stopped} {
        fail $seed $number $script "a cancel raised inside the call was lost: code $code, \"$msg\""
    }
    unprepare $c
    if {[catch {$c eval {expr {6 * 7}}} answer] || $answer != 42} {
        fail $seed $number $script "the interpreter no longer evaluates: $answer"
    }
    # The fixture the call may have spoilt comes back every 25 calls.
    if {$number % 25 == 24} {
        interp delete $c
        set c [newChild]
    }
    return $c
}

set c [newChild]
set calls 0
if {$options(-calls) ne {}} {
    set end [expr {$options(-first) + $options(-calls)}]
    for {set n $options(-first)} {$n < $end} {incr n} {
        set c [runCall $c $options(-seed) $n]
        incr calls
    }
    set seeds $options(-seed)
} else {
    set seeds {}
    set stop [expr {[clock seconds] + $options(-seconds)}]
    set seed $options(-seed)
    while {[clock seconds] < $stop} {
        lappend seeds $seed
        for {set n 0} {$n < 500 && [clock seconds] < $stop} {incr n} {
            set c [runCall $c $seed $n]
            incr calls
        }
        incr seed
    }
}
interp delete $c
file delete -force $scratch
if {$faults} {
    puts "storm: $calls calls on seed(s) [lindex $seeds 0]..[lindex $seeds end], $faults faults"
    exit 1
}
puts "storm: $calls calls on seed(s) [lindex $seeds 0]..[lindex $seeds end], no fault"
