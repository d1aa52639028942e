# The NIST StRD nonlinear regression problems for kardum::nlfit: each
# model's value and its derivatives as expressions in x and b1 ... bk,
# a reader of the datasets (tests/data/strd) and the model procedures.
# Sourced by tests/marquardt.tcl (and so the fit tests) and bench/package.tcl.

namespace eval nlstrd {
    variable dir [file join [file dirname [file normalize [info script]]] data strd]
    # name {value {derivatives}}; Nelson's abscissa is the pair {x1 x2}
    # and its response is log(y).
    variable models {
        Misra1a  {{$b1*(1-exp(-$b2*$x))}
                  {{1-exp(-$b2*$x)} {$b1*$x*exp(-$b2*$x)}}}
        Chwirut2 {{exp(-$b1*$x)/($b2+$b3*$x)}
                  {{-$x*exp(-$b1*$x)/($b2+$b3*$x)}
                   {-exp(-$b1*$x)/($b2+$b3*$x)**2}
                   {-$x*exp(-$b1*$x)/($b2+$b3*$x)**2}}}
        Chwirut1 {{exp(-$b1*$x)/($b2+$b3*$x)}
                  {{-$x*exp(-$b1*$x)/($b2+$b3*$x)}
                   {-exp(-$b1*$x)/($b2+$b3*$x)**2}
                   {-$x*exp(-$b1*$x)/($b2+$b3*$x)**2}}}
        Lanczos3 {{$b1*exp(-$b2*$x) + $b3*exp(-$b4*$x) + $b5*exp(-$b6*$x)}
                  {{exp(-$b2*$x)} {-$b1*$x*exp(-$b2*$x)} {exp(-$b4*$x)}
                   {-$b3*$x*exp(-$b4*$x)} {exp(-$b6*$x)} {-$b5*$x*exp(-$b6*$x)}}}
        Gauss1   {{$b1*exp(-$b2*$x) + $b3*exp(-(($x-$b4)**2)/$b5**2) + $b6*exp(-(($x-$b7)**2)/$b8**2)}
                  {{exp(-$b2*$x)} {-$b1*$x*exp(-$b2*$x)}
                   {exp(-(($x-$b4)**2)/$b5**2)}
                   {$b3*exp(-(($x-$b4)**2)/$b5**2)*2*($x-$b4)/$b5**2}
                   {$b3*exp(-(($x-$b4)**2)/$b5**2)*2*($x-$b4)**2/$b5**3}
                   {exp(-(($x-$b7)**2)/$b8**2)}
                   {$b6*exp(-(($x-$b7)**2)/$b8**2)*2*($x-$b7)/$b8**2}
                   {$b6*exp(-(($x-$b7)**2)/$b8**2)*2*($x-$b7)**2/$b8**3}}}
        Gauss2   {= Gauss1}
        DanWood  {{$b1*$x**$b2}
                  {{$x**$b2} {$b1*$x**$b2*log($x)}}}
        Misra1b  {{$b1*(1-(1+$b2*$x/2)**(-2))}
                  {{1-(1+$b2*$x/2)**(-2)} {$b1*$x*(1+$b2*$x/2)**(-3)}}}
        Kirby2   {{($b1+$b2*$x+$b3*$x**2)/(1+$b4*$x+$b5*$x**2)}
                  {{1.0/(1+$b4*$x+$b5*$x**2)} {$x/(1+$b4*$x+$b5*$x**2)}
                   {$x**2/(1+$b4*$x+$b5*$x**2)}
                   {-$x*($b1+$b2*$x+$b3*$x**2)/(1+$b4*$x+$b5*$x**2)**2}
                   {0.0-$x**2*($b1+$b2*$x+$b3*$x**2)/(1+$b4*$x+$b5*$x**2)**2}}}
        Hahn1    {= Thurber}
        Nelson   {{$b1 - $b2*[lindex $x 0]*exp(-$b3*[lindex $x 1])}
                  {1.0 {-[lindex $x 0]*exp(-$b3*[lindex $x 1])}
                   {$b2*[lindex $x 0]*[lindex $x 1]*exp(-$b3*[lindex $x 1])}}}
        MGH17    {{$b1 + $b2*exp(-$x*$b4) + $b3*exp(-$x*$b5)}
                  {1.0 {exp(-$x*$b4)} {exp(-$x*$b5)} {-$b2*$x*exp(-$x*$b4)}
                   {-$b3*$x*exp(-$x*$b5)}}}
        Lanczos1 {= Lanczos3}
        Lanczos2 {= Lanczos3}
        Gauss3   {= Gauss1}
        Misra1c  {{$b1*(1-(1+2*$b2*$x)**(-0.5))}
                  {{1-(1+2*$b2*$x)**(-0.5)} {$b1*$x*(1+2*$b2*$x)**(-1.5)}}}
        Misra1d  {{$b1*$b2*$x/(1+$b2*$x)}
                  {{$b2*$x/(1+$b2*$x)} {$b1*$x/(1+$b2*$x)**2}}}
        Roszman1 {{$b1 - $b2*$x - atan($b3/($x-$b4))/acos(-1)}
                  {1.0 {-$x}
                   {-1.0/($x-$b4)/(1+($b3/($x-$b4))**2)/acos(-1)}
                   {-$b3/($x-$b4)**2/(1+($b3/($x-$b4))**2)/acos(-1)}}}
        ENSO     {{$b1 + $b2*cos(2*acos(-1)*$x/12) + $b3*sin(2*acos(-1)*$x/12)
                   + $b5*cos(2*acos(-1)*$x/$b4) + $b6*sin(2*acos(-1)*$x/$b4)
                   + $b8*cos(2*acos(-1)*$x/$b7) + $b9*sin(2*acos(-1)*$x/$b7)}
                  {1.0 {cos(2*acos(-1)*$x/12)} {sin(2*acos(-1)*$x/12)}
                   {(-$b5*sin(2*acos(-1)*$x/$b4) + $b6*cos(2*acos(-1)*$x/$b4))*(-2*acos(-1)*$x/$b4**2)}
                   {cos(2*acos(-1)*$x/$b4)} {sin(2*acos(-1)*$x/$b4)}
                   {(-$b8*sin(2*acos(-1)*$x/$b7) + $b9*cos(2*acos(-1)*$x/$b7))*(-2*acos(-1)*$x/$b7**2)}
                   {cos(2*acos(-1)*$x/$b7)} {sin(2*acos(-1)*$x/$b7)}}}
        MGH09    {{$b1*($x*$x+$x*$b2)/($x*$x+$x*$b3+$b4)}
                  {{($x*$x+$x*$b2)/($x*$x+$x*$b3+$b4)}
                   {$b1*$x/($x*$x+$x*$b3+$b4)}
                   {-$b1*($x*$x+$x*$b2)*$x/($x*$x+$x*$b3+$b4)**2}
                   {-$b1*($x*$x+$x*$b2)/($x*$x+$x*$b3+$b4)**2}}}
        Thurber  {{($b1+$b2*$x+$b3*$x**2+$b4*$x**3)/(1+$b5*$x+$b6*$x**2+$b7*$x**3)}
                  {{1.0/(1+$b5*$x+$b6*$x**2+$b7*$x**3)}
                   {$x/(1+$b5*$x+$b6*$x**2+$b7*$x**3)}
                   {$x**2/(1+$b5*$x+$b6*$x**2+$b7*$x**3)}
                   {$x**3/(1+$b5*$x+$b6*$x**2+$b7*$x**3)}
                   {-$x*($b1+$b2*$x+$b3*$x**2+$b4*$x**3)/(1+$b5*$x+$b6*$x**2+$b7*$x**3)**2}
                   {0.0-$x**2*($b1+$b2*$x+$b3*$x**2+$b4*$x**3)/(1+$b5*$x+$b6*$x**2+$b7*$x**3)**2}
                   {0.0-$x**3*($b1+$b2*$x+$b3*$x**2+$b4*$x**3)/(1+$b5*$x+$b6*$x**2+$b7*$x**3)**2}}}
        BoxBOD   {= Misra1a}
        Rat42    {{$b1/(1+exp($b2-$b3*$x))}
                  {{1.0/(1+exp($b2-$b3*$x))} {-$b1*exp($b2-$b3*$x)/(1+exp($b2-$b3*$x))**2}
                   {$b1*$x*exp($b2-$b3*$x)/(1+exp($b2-$b3*$x))**2}}}
        MGH10    {{$b1*exp($b2/($x+$b3))}
                  {{exp($b2/($x+$b3))} {$b1*exp($b2/($x+$b3))/($x+$b3)}
                   {-$b1*$b2*exp($b2/($x+$b3))/($x+$b3)**2}}}
        Eckerle4 {{$b1/$b2*exp(-0.5*(($x-$b3)/$b2)**2)}
                  {{exp(-0.5*(($x-$b3)/$b2)**2)/$b2}
                   {$b1/$b2*exp(-0.5*(($x-$b3)/$b2)**2)*(($x-$b3)**2/$b2**3 - 1.0/$b2)}
                   {$b1/$b2*exp(-0.5*(($x-$b3)/$b2)**2)*($x-$b3)/$b2**2}}}
        Rat43    {{$b1/(1+exp($b2-$b3*$x))**(1.0/$b4)}
                  {{1.0/(1+exp($b2-$b3*$x))**(1.0/$b4)}
                   {-$b1/$b4*exp($b2-$b3*$x)*(1+exp($b2-$b3*$x))**(-1.0/$b4-1)}
                   {$b1/$b4*$x*exp($b2-$b3*$x)*(1+exp($b2-$b3*$x))**(-1.0/$b4-1)}
                   {$b1*log(1+exp($b2-$b3*$x))/$b4**2/(1+exp($b2-$b3*$x))**(1.0/$b4)}}}
        Bennett5 {{$b1*($b2+$x)**(-1.0/$b3)}
                  {{($b2+$x)**(-1.0/$b3)} {-$b1/$b3*($b2+$x)**(-1.0/$b3-1)}
                   {$b1*($b2+$x)**(-1.0/$b3)*log($b2+$x)/$b3**2}}}
    }
}

# The names of the problems, in NIST's order of difficulty.
proc nlstrd::names {} {
    variable models
    dict keys $models
}

# The value and derivative expressions of a problem.
proc nlstrd::model {name} {
    variable models
    set m [dict get $models $name]
    if {[lindex $m 0] eq "="} {
        set m [dict get $models [lindex $m 1]]
    }
    return $m
}

# A dataset: a dict with start1, start2, certified, sd (lists over the
# parameters), rss, xs and ys.
proc nlstrd::read {name} {
    variable dir
    set f [open [file join $dir $name.dat]]
    set lines [split [string map {\r {}} [::read $f]] \n]
    close $f
    set res {start1 {} start2 {} certified {} sd {} rss {} xs {} ys {}}
    set inData 0
    foreach line $lines {
        if {[regexp {^\s*b\d+\s*=\s*(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s*$} $line -> s1 s2 c sd]} {
            foreach k {start1 start2 certified sd} v [list $s1 $s2 $c $sd] {
                dict lappend res $k [expr {double($v)}]
            }
        } elseif {[regexp {^Residual Sum of Squares:\s+(\S+)} $line -> rss]} {
            dict set res rss [expr {double($rss)}]
        } elseif {[regexp {^Data:\s+y\s+x} $line]} {
            set inData 1
        } elseif {$inData && [llength $line] >= 2} {
            set y [expr {double([lindex $line 0])}]
            if {[llength $line] == 3} {
                # Nelson: the response is log(y) of the pair {x1 x2}.
                dict lappend res xs [lmap v [lrange $line 1 2] {expr {double($v)}}]
                dict lappend res ys [expr {log($y)}]
            } else {
                dict lappend res xs [expr {double([lindex $line 1])}]
                dict lappend res ys $y
            }
        }
    }
    return $res
}

# The model prefix of a problem: value and derivatives (numeric 0) or the
# value alone (numeric 1) at one abscissa, or (vector 1) at a list.
proc nlstrd::prefix {name {numeric 0} {vector 0}} {
    lassign [model $name] value derivatives
    set body "set i 1; foreach v \$p {set b\$i \$v; incr i}\n"
    if {$numeric} {
        append body "expr {$value}"
    } else {
        append body "list \[expr {$value}\]"
        foreach d $derivatives {
            append body " \[expr {$d}\]"
        }
    }
    if {$vector} {
        set body "lmap x \$xs {$body}"
        return [list apply [list {xs p} $body]]
    }
    list apply [list {x p} $body]
}

# Correct significant digits of each value against the certified one,
# capped at 15.
proc nlstrd::digits {got want} {
    lmap g $got c $want {
        expr {$g == $c ? 15.0 : min(15.0, -log10(abs($g - $c) / abs($c)))}
    }
}
