# mkman.tcl --
#
#	Writes the man pages from the Markdown reference in this folder, so
#	that the pages and doc/ never disagree:
#
#	    tclsh doc/mkman.tcl doc build/man/mann
#
#	into the output folder:
#	  kardum.n           the whole reference, the pages that doc/README.md
#	                     links to in its order;
#	  <Command>.n        one page per command, from doc/<Command>.md;
#	  kardum-package.n   the package kardum, from doc/kardum-package.md;
#	  <helper>.n         for each kardum::<name> documented there, a link
#	                     (.so) to kardum-package.n;
#	so that `man KDgridFill2D` and `man kardum::gridfill` open the page
#	that documents them.  The Markdown is the small subset the reference
#	uses: headings, paragraphs, lists, pipe tables (rendered with tbl),
#	fenced and indented code blocks, `code`, **bold**, *italic* and
#	[links](target).

if {[llength $argv] != 3} {
    puts stderr "usage: tclsh mkman.tcl docDir outputDir version"
    exit 2
}
lassign $argv docDir outDir version

proc readFile {path} {
    set f [open $path r]
    fconfigure $f -encoding utf-8
    set text [read $f]
    close $f
    return $text
}

# --- Text escapes --------------------------------------------------------

# Escapes plain text for troff: backslashes, hyphens (kept as minus signs
# so that options and code copy correctly) and every non-ASCII character
# as a \[uXXXX] glyph, which needs no input preprocessor.
proc escape {text} {
    set text [string map {\\ \\e - \\- ' \\(aq ` \\(ga} $text]
    set out ""
    foreach ch [split $text ""] {
        scan $ch %c code
        if {$code < 128} {
            append out $ch
        } else {
            append out [format {\[u%04X]} $code]
        }
    }
    return $out
}

# Inline Markdown of one line or paragraph: code spans first (their text
# is literal), then links, bold and italics in the rest.
proc inline {text} {
    set out ""
    while {[regexp -indices {`([^`]*)`} $text span inner]} {
        lassign $span s e
        lassign $inner is ie
        append out [plain [string range $text 0 [expr {$s - 1}]]]
        append out "\\fB[escape [string range $text $is $ie]]\\fR"
        set text [string range $text [expr {$e + 1}] end]
    }
    append out [plain $text]
    return $out
}

proc plain {text} {
    regsub -all {\[([^\]]*)\]\([^)]*\)} $text {\1} text
    set text [escape $text]
    regsub -all {\*\*([^*]+)\*\*} $text {\\fB\1\\fR} text
    regsub -all {(^|[\s(])\*([^*\s][^*]*)\*} $text {\1\\fI\2\\fR} text
    return $text
}

# A line of output text must not start with a control character.
proc textLine {text} {
    if {[string match {[.']*} $text]} {
        return "\\&$text"
    }
    return $text
}

# --- Block structure ---------------------------------------------------

# Converts one Markdown page to man requests: a page's title heading
# becomes .SH, its sections .SS; `shift` moves every heading down.
proc convert {text {shift 0}} {
    set lines [split [string trimright $text] \n]
    set out {}
    set para {}
    set i 0
    set n [llength $lines]

    while {$i < $n} {
        set line [lindex $lines $i]
        if {[regexp {^```} $line]} {
            flushPara
            set code {}
            incr i
            while {$i < $n && ![regexp {^```} [lindex $lines $i]]} {
                lappend code [lindex $lines $i]
                incr i
            }
            incr i
            lappend out {*}[codeBlock $code]
            continue
        }
        if {[regexp {^(#+)\s+(.*)$} $line -> hashes title]} {
            flushPara
            set level [expr {[string length $hashes] + $shift}]
            if {$level <= 1} {
                lappend out ".SH \"[inline $title]\""
            } elseif {$level == 2} {
                lappend out ".SS \"[inline $title]\""
            } else {
                lappend out .PP "\\fB[inline $title]\\fR"
            }
            incr i
            continue
        }
        if {[string trim $line] eq ""} {
            flushPara
            incr i
            continue
        }
        if {[llength $para] == 0 && [regexp {^(    |\t)} $line]} {
            set code {}
            while {$i < $n} {
                set l [lindex $lines $i]
                if {[regexp {^(    |\t)(.*)$} $l -> - rest]} {
                    lappend code $rest
                } elseif {[string trim $l] eq ""} {
                    lappend code ""
                } else {
                    break
                }
                incr i
            }
            while {[llength $code] && [lindex $code end] eq ""} {
                set code [lrange $code 0 end-1]
            }
            lappend out {*}[codeBlock $code]
            continue
        }
        if {[string match |* $line]} {
            flushPara
            set rows {}
            while {$i < $n && [string match |* [lindex $lines $i]]} {
                lappend rows [lindex $lines $i]
                incr i
            }
            lappend out {*}[table $rows]
            continue
        }
        if {[regexp {^\s*([-*]|\d+\.)\s+(.*)$} $line -> mark item]} {
            flushPara
            incr i
            while {$i < $n} {
                set l [lindex $lines $i]
                if {[string trim $l] eq "" || [regexp {^\s*([-*]|\d+\.)\s} $l]
                        || [string match |* $l]} {
                    break
                }
                append item " " [string trim $l]
                incr i
            }
            set bullet [expr {[string match {[-*]} $mark] ? "\\(bu" : $mark}]
            lappend out ".IP $bullet 4" [textLine [inline $item]]
            continue
        }
        lappend para [string trim $line]
        incr i
    }
    flushPara
    return $out
}

# Ends the paragraph being collected in the caller.
proc flushPara {} {
    upvar 1 para para out out
    if {[llength $para]} {
        lappend out .PP [textLine [inline [join $para " "]]]
        set para {}
    }
}

proc codeBlock {code} {
    set out [list .PP {.RS 4} .nf {.ft CR}]
    foreach line $code {
        lappend out [textLine [escape $line]]
    }
    lappend out {.ft R} .fi .RE
    return $out
}

# A pipe table: header row, separator row, body rows.  Columns of short
# cells are set as they are; the cells of longer columns become text
# blocks in columns that share the rest of the line, so that they wrap.
proc table {rows} {
    set cells {}
    foreach row $rows {
        set row [string trim $row]
        if {[regexp {^\|[-:| ]+\|$} $row]} {
            continue
        }
        set row [string map {\\| \x01} [string range $row 1 end-1]]
        set fields {}
        foreach field [split $row |] {
            lappend fields [string map {\x01 |} [string trim $field]]
        }
        lappend cells $fields
    }
    set columns [llength [lindex $cells 0]]
    # A stray "|" in a cell splits it: keep such a row to the header's width.
    set rows $cells
    set cells {}
    foreach fields $rows {
        if {[llength $fields] > $columns} {
            set fields [concat [lrange $fields 0 [expr {$columns - 2}]] \
                            [list [join [lrange $fields [expr {$columns - 1}] end] " | "]]]
        }
        lappend cells $fields
    }
    set wide {}
    for {set c 0} {$c < $columns} {incr c} {
        set longest 0
        foreach fields $cells {
            set text [string map {` "" ** ""} [lindex $fields $c]]
            regsub -all {\[([^\]]*)\]\([^)]*\)} $text {\1} text
            set longest [expr {max($longest, [string length $text])}]
        }
        lappend wide [expr {$longest > 24}]
    }
    set head {}
    set body {}
    foreach w $wide {
        lappend head [expr {$w ? "lbx" : "lb"}]
        lappend body [expr {$w ? "lx" : "l"}]
    }
    # Under man's continuous rendering (cR) the page grows only on .ne,
    # which tbl does not ask for before its text blocks: reserve room.
    set out [list .PP ".if \\n\[cR\] .ne [expr {8 * [llength $cells]}]v" \
                 .TS [join $head] "[join $body]."]
    set first 1
    foreach fields $cells {
        set line {}
        foreach field $fields w $wide {
            set text [inline $field]
            lappend line [expr {$w ? "T\{\n[textLine $text]\nT\}" : $text}]
        }
        lappend out [join $line \t]
        if {$first} {
            lappend out _
            set first 0
        }
    }
    lappend out .TE
    return $out
}

# --- The pages -----------------------------------------------------------

proc writeLines {path lines} {
    set f [open $path w]
    fconfigure $f -encoding ascii -translation lf
    puts $f [join $lines \n]
    close $f
}

# The head of a page: .TH, NAME and the preprocessor line tbl needs.
proc pageHead {name title names summary} {
    global version
    return [list {'\" t} \
        {'\" Generated by doc/mkman.tcl from the Markdown reference; do not edit.} \
        ".TH [escape $name] n $version kardum \"$title\"" \
        .nh {.ad l} \
        .SH NAME \
        [escape "$names - $summary"]]
}

set keywords [escape "array, matrix, least squares, Levenberg-Marquardt,\
    integration, grid"]

set index [readFile [file join $docDir README.md]]
set pages {}
foreach {- target} [regexp -all -inline {\]\(([^)#]+\.md)\)} $index] {
    if {[file exists [file join $docDir $target]] && $target ni $pages} {
        lappend pages $target
    }
}

# One-line summaries from the index: "- [Name](page.md): summary".
set summaries [dict create]
foreach {- target summary} [regexp -all -inline \
        {\n- \[[^\]]*\]\(([^)#]+\.md)\):\s*((?:[^\n]|\n  )*)} $index] {
    dict set summaries $target [regsub -all {\s+} [string trim $summary] " "]
}

# Synopses of the commands, from each page's Synopsis section.
set synopsis {}
foreach page $pages {
    set text [readFile [file join $docDir $page]]
    if {[regexp {## Synopsis\n\n((?:    [^\n]*\n?)+)} $text -> block]} {
        foreach line [split [string trimright $block] \n] {
            lappend synopsis [string range $line 4 end]
        }
    }
}

# The index's own text up to its first list is the description.
set intro {}
foreach line [lrange [split $index \n] 1 end] {
    if {[regexp {^\s*[-*] } $line] || [regexp {^## } $line]} {
        break
    }
    lappend intro $line
}

file mkdir $outDir

# kardum.n: the whole reference.
set out [pageHead kardum "Kardum numerical commands" "kardum, Kardum_C" \
    "numerical commands for Tcl: array, vector and matrix arithmetic, fits,\
     integration, gridding"]
lappend out .SH SYNOPSIS .nf \
    [escape "package require Kardum_C $version"] \
    [escape "package require kardum $version"] \
    .sp
foreach line $synopsis {
    lappend out [textLine [escape $line]]
}
lappend out .fi .SH DESCRIPTION {*}[convert [join $intro \n] 1]
foreach page $pages {
    lappend out {*}[convert [readFile [file join $docDir $page]]]
}
lappend out {.SH "SEE ALSO"} [escape "tclsh(1), load(n), package(n)"] \
    .SH KEYWORDS $keywords
writeLines [file join $outDir kardum.n] $out

# A page of its own for each command and for the package: the title
# heading becomes the NAME section, its sections the page's sections.
foreach page $pages {
    set stem [file rootname $page]
    if {![string match KD* $stem] && $stem ne "kardum-package"} {
        continue
    }
    set text [readFile [file join $docDir $page]]
    set body [join [lrange [split $text \n] 1 end] \n]
    set summary [expr {[dict exists $summaries $page] ? [dict get $summaries $page] : ""}]
    regsub -all {\[([^\]]*)\]\([^)]*\)} $summary {\1} summary
    set summary [string map {` ""} $summary]
    if {$stem eq "kardum-package"} {
        set helpers [regexp -all -inline -line {^## (kardum::\w+)$} $text]
        set names {}
        foreach {- helper} $helpers {lappend names $helper}
        set out [pageHead $stem "Kardum numerical commands" [join $names ", "] \
            "script-level helpers of the package kardum"]
        foreach helper $names {
            writeLines [file join $outDir $helper.n] [list ".so mann/$stem.n"]
        }
    } else {
        set out [pageHead $stem "Kardum numerical commands" $stem $summary]
    }
    lappend out .SH DESCRIPTION {*}[convert $body -1]
    lappend out {.SH "SEE ALSO"} [escape "kardum(n), tclsh(1), load(n), package(n)"] \
        .SH KEYWORDS $keywords
    writeLines [file join $outDir $stem.n] $out
}
