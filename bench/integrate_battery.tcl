# integrate_battery.tcl --
#
#	The integrals of the published quadrature test sets (Kahaner's 21,
#	Gander and Gautschi's, the double-exponential sets, QUADPACK's
#	families), each written here with its exact value:
#	    name  expr-body-in-x  a  b  exact
#	$pi in a body stands for pi.  The values of Kahaner's 13, 17, 18 and
#	21 are those of his table (no closed form); the others are closed
#	forms.  Read by bench/package.tcl and, through `tclsh integrate_battery.tcl
#	--python`, printed as Python for bench/integrate_scipy.py.

set pi 3.141592653589793
set battery [list \
    "K1 exp x"              {exp($x)}                       0 1 [expr {exp(1) - 1}] \
    "K2 x>=0.3 step"        {$x >= 0.3 ? 1.0 : 0.0}         0 1 0.7 \
    "K3 sqrt x"             {sqrt($x)}                      0 1 [expr {2 / 3.0}] \
    "K4 23/25 cosh-cos"     {23.0 / 25 * cosh($x) - cos($x)} -1 1 [expr {46.0 / 25 * sinh(1) - 2 * sin(1)}] \
    "K5 1/(x^4+x^2+0.9)"    {1 / ($x ** 4 + $x ** 2 + 0.9)} -1 1 1.5822329637296729 \
    "K6 x^1.5"              {$x ** 1.5}                     0 1 0.4 \
    "K7 x^-0.5"             {$x == 0 ? 0 : $x ** -0.5}      0 1 2.0 \
    "K8 1/(1+x^4)"          {1 / (1 + $x ** 4)}             0 1 0.8669729873399110 \
    "K9 2/(2+sin 10pi x)"   {2 / (2 + sin(10 * $pi * $x))}  0 1 [expr {2 / sqrt(3)}] \
    "K10 1/(1+x)"           {1 / (1 + $x)}                  0 1 [expr {log(2)}] \
    "K11 1/(1+e^x)"         {1 / (1 + exp($x))}             0 1 [expr {1 + log(2 / (1 + exp(1)))}] \
    "K12 x/(e^x-1)"         {$x < 1e-8 ? 1.0 - $x / 2 : $x / (exp($x) - 1)} 0 1 0.7775046341122482 \
    "K13 sin(100pi x)/(pi x)" {$x == 0 ? 100.0 : sin(100 * $pi * $x) / ($pi * $x)} 0.1 1 0.00909863753916702 \
    "K14 sqrt50 e^-50pi x^2" {sqrt(50) * exp(-50 * $pi * $x * $x)} 0 10 0.5 \
    "K15 25 e^-25x"         {25 * exp(-25 * $x)}            0 10 [expr {1 - exp(-250)}] \
    "K16 50/(pi(2500x^2+1))" {50 / ($pi * (2500 * $x * $x + 1))} 0 10 [expr {atan(500) / $pi}] \
    "K17 50(sin 50pi x/50pi x)^2" {$x == 0 ? 50.0 : 50 * (sin(50 * $pi * $x) / (50 * $pi * $x)) ** 2} 0.01 1 0.112139303741637 \
    "K18 cos(cos x+3sin x+2cos 2x+3sin 2x+3cos 3x)" {cos(cos($x) + 3 * sin($x) + 2 * cos(2 * $x) + 3 * sin(2 * $x) + 3 * cos(3 * $x))} 0 $pi 0.838676342694430 \
    "K19 log x"             {$x == 0 ? 0 : log($x)}          0 1 -1.0 \
    "K20 1/(x^2+1.005)"     {1 / ($x * $x + 1.005)}         -1 1 [expr {2 / sqrt(1.005) * atan(1 / sqrt(1.005))}] \
    "K21 sech^2 bumps"      {1 / cosh(10 * ($x - 0.2)) ** 2 + 1 / cosh(100 * ($x - 0.4)) ** 4 + 1 / cosh(1000 * ($x - 0.6)) ** 6} 0 1 0.210802735500549 \
    "GG |x-1/3|"            {abs($x - 1 / 3.0)}             0 1 [expr {5 / 18.0}] \
    "GG sqrt|x-1/3|"        {sqrt(abs($x - 1 / 3.0))}       0 1 [expr {2 / 3.0 * ((1 / 3.0) ** 1.5 + (2 / 3.0) ** 1.5)}] \
    "GG x^-0.9"             {$x == 0 ? 0 : $x ** -0.9}      0 1 10.0 \
    "GG x^-0.95"            {$x == 0 ? 0 : $x ** -0.95}     0 1 20.0 \
    "GG log|x-0.7|"         {$x == 0.7 ? 0 : log(abs($x - 0.7))} 0 1 [expr {0.3 * log(0.3) + 0.7 * log(0.7) - 1}] \
    "DE 1/sqrt(1-x^2)"      {1 / sqrt(1 - $x * $x)}         -1 1 $pi \
    "DE log x/sqrt x"       {$x == 0 ? 0 : log($x) / sqrt($x)} 0 1 -4.0 \
    "DE x^-1.1 to inf"      {$x ** -1.1}                    1 Inf 10.0 \
    "DE e^-x to inf"        {exp(-$x)}                      0 Inf 1.0 \
    "DE 1/(1+x^2) to inf"   {1 / (1 + $x * $x)}             0 Inf [expr {$pi / 2}] \
    "DE e^-x/sqrt x"        {$x == 0 ? 0 : exp(-$x) / sqrt($x)} 0 Inf [expr {sqrt($pi)}] \
    "DE e^-x^2 whole line"  {exp(-$x * $x)}                 -Inf Inf [expr {sqrt($pi)}] \
    "DE (sin x/x)^2 to inf" {$x == 0 ? 1.0 : (sin($x) / $x) ** 2} 0 Inf [expr {$pi / 2}] \
    "QP x^2 log(1/x)"       {$x == 0 ? 0 : -$x * $x * log($x)} 0 1 [expr {1 / 9.0}] \
    "QP N(10,1) -100..100"  {exp(-0.5 * ($x - 10) ** 2) / sqrt(2 * $pi)} -100 100 1.0 \
    "QP cos 200x"           {cos(200 * $x)}                 0 1 [expr {sin(200) / 200}] \
    "QP e^x cos 30x"        {exp($x) * cos(30 * $x)}        0 1 [expr {(exp(1) * (cos(30) + 30 * sin(30)) - 1) / 901}] \
]

if {[lindex $argv 0] eq "--python"} {
    # The same battery in Python syntax: ** is **, the ternary rewritten.
    puts "import math"
    puts "inf = math.inf"
    puts "def cosh(v):"
    puts "    return math.cosh(v) if abs(v) < 110 else math.inf"
    puts "battery = \["
    foreach {name body a b exact} $battery {
        set py $body
        set py [string map {{$x} x {$pi} math.pi exp( math.exp( sqrt( math.sqrt(
            sin( math.sin( cos( math.cos( log( math.log( abs( abs(} $py]
        set py [string map {math.math. math.} $py]
        # "c ? u : v" becomes "(u if c else v)"
        if {[regexp {^(.*?) \? (.*?) : (.*)$} $py -> c u v]} {
            set py "(($u) if ($c) else ($v))"
        }
        regsub -all {([0-9])\.0 / } $py {\1.0 / } py
        set limits [lmap v [list $a $b] {string map {Inf inf} $v}]
        puts [format "    (%s, lambda x: %s, %s, %s, %.17g)," \
                  "\"$name\"" $py {*}$limits $exact]
    }
    puts "\]"
}
