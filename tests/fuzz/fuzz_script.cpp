// Script-level fuzz target.
//
// Each input is decoded into a short script run in a fresh interpreter that
// has the library loaded: calls of the library's commands whose argument
// words come from pools of awkward values (zero, negative and huge counts,
// 1e300, Inf, text that is no number, empty words), names of arrays that
// hold such values or miss elements, grid descriptors and fill settings
// with bad elements, and callback procedures that fail, answer with text,
// unset the variables the library reads, change the caller's arrays or
// call the library again.  Between calls the script sets and unsets array
// elements and the variables the library shares with scripts (the seed,
// the callback variables), so that later calls meet what earlier ones
// left.  Anything but a normal return (a crash, a sanitizer report, a
// leak, an input slower than the -timeout) is a fault.
//
// Input format: a sequence of steps, each chosen by one byte; a call's
// argument count and every argument word take one byte each (a word either
// from the pool of its argument's kind, from the pool of every kind, or as
// raw bytes of the input).  A missing byte reads as 0, so every input is a
// valid script.

#include <tcl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kardum.h"
#include "frame/ObjRef.h"

namespace {

// ---------------------------------------------------------------- input --

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool More() const { return pos_ < size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string Raw()
    {
        std::size_t n = Byte() % 24;
        std::string s;
        while (n-- > 0 && More()) {
            s.push_back(static_cast<char>(Byte()));
        }
        return s;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// ---------------------------------------------------------------- pools --

using Pool = std::vector<const char *>;

const Pool kNumber = {"0", "1", "2", "-1", "0.5", "-0.9", "3", "10", "1e300",
                      "-1e300", "1e-300", "Inf", "-Inf", "NaN", "abc", "",
                      "2147483647", "-2147483648", "0x10", "1.5", "100", "-3.25",
                      "4.9e-324", "1.7976931348623157e308"};
// Mostly small counts; the large ones overflow a product of two counts
// (46341², 65536², 4·23171²) or cannot be allocated, so that they end in
// TCL_ERROR quickly instead of asking for legitimately slow work.
const Pool kCount = {"0", "1", "2", "3", "4", "5", "6", "9", "10", "-1",
                     "-7", "2147483647", "-2147483648", "46341", "65536", "23171",
                     "1073741824", "abc", "", "1.5", "1e9", "4294967297", "3", "2"};
const Pool kOffset = {"0", "0", "1", "-1", "5", "10", "-10", "2147483647",
                      "-2147483648", "2147483640", "abc", "3"};
const Pool kStep = {"1", "1", "2", "3", "0", "-1", "5", "2147483647",
                    "-2147483648", "abc"};
const Pool kArray = {"A", "B", "C", "D", "M", "Z", "E", "S", "T", "NoSuch",
                     "::A", "::M", "Out", "Out2", "A(0)", "", "F", "Y", "W"};
const Pool kFlags = {"F", "F", "G", "A", "NoSuch", "Z", "S"};
const Pool kWork = {"W", "W", "W2", "Z", "NoSuch", "S", "A", "W(0)"};
const Pool kArrayOp = {"+", "-", "*", "/", "SUM", "AVG", "V", "VAR", "ACOS",
                       "ACOSD", "ATAN2", "ATAN2D", "COS", "COSD", "SIN", "SIND",
                       "TAN", "TAND", "LOG", "LOGE", "SQRT", "cos", "x", "",
                       "A", "S", "0", "c"};
const Pool kVecOp = {"+", "-", "*", "/", "C", "T", "U", "D", "M", "A", "S", "R",
                     "R+", "R*", "R/", "R-", "RC", "X", "", "RT"};
const Pool kMatrixOp = {"*", "T", "U", "X", "", "Transpose", "*x"};
const Pool kCond = {"<", ">", "G", "<>", "", "x", "<<<", "<="};
const Pool kRange = {"P", "N", "PN", "", "XYZ"};
const Pool kWeight = {"0", "1", "-1", "2", "-2", "5", "abc", "-2147483648",
                      "2147483647"};
const Pool kBasis = {"basis", "basis", "basisErr", "basisText", "basisUnset",
                     "basisRec", "basisMut", "basisKill", "NoProc", "",
                     "a_procedure_name_that_is_much_longer_than_any_fixed_text_"
                     "buffer_a_command_might_have_used_for_its_callback_line_"
                     "and_so_on_and_so_forth_until_it_passes_two_hundred_"
                     "characters_in_all_of_its_length"};
const Pool kModel = {"model", "model", "modelErr", "modelText", "modelUnset",
                     "modelRec", "modelKill", "NoProc", "",
                     "a_model_name_that_is_much_longer_than_the_hundred_and_"
                     "twenty_characters_of_a_fixed_callback_buffer_so_that_it_"
                     "must_be_sized_to_fit"};
const Pool kScript = {"set FuncRet [model 2 dYdA W]", "set FuncRet [model 2 dYdA W]",
                      "set FuncRet [modelErr 2 dYdA W]",
                      "unset -nocomplain FuncRet dYdA", "", "set FuncRet abc",
                      "error boom", "set FuncRet [modelRec 2 dYdA W]",
                      "set FuncRet [model 3 dYdA W]; unset W",
                      "set FuncRet [model 2 dYdA W]; killInterp"};
const Pool kInteg = {"integ", "integ", "integErr", "integText", "integUnset",
                     "integRec", "integKill", "NoProc", "",
                     "an_integrand_name_longer_than_the_one_hundred_and_fifteen_"
                     "characters_a_fixed_buffer_would_hold_for_the_name_of_the_"
                     "procedure_xxxxxxxxxx"};
const Pool kStage = {"1", "2", "3", "4", "5", "8", "0", "-1", "12", "33", "64",
                     "2147483647", "-2147483648", "abc"};
const Pool kGrid = {"Grd", "Grd", "Nrm", "A", "NoSuch", "S", "Out"};
const Pool kNrm = {"Nrm", "Nrm", "", "Grd", "NoSuch", "A"};
const Pool kDesc = {"gI", "gI", "gJ", "gK", "gL", "gM", "A", "NoSuch"};
const Pool kSettings = {"sI", "sI", "sJ", "sK", "sL", "A", "NoSuch"};
const Pool kRecords = {"X1", "X2", "Y1", "Y2", "Zv", "A", "B", "NoSuch", "S"};

// Values stored into array elements and shared variables.
const Pool kValue = {"0", "1", "2", "-1", "0.5", "3", "10", "1e300", "-1e300",
                     "Inf", "-Inf", "abc", "", "2147483647", "-2147483648",
                     "46341", "1e10", "-5", "NEW", "ADD", "END", "NEW ADD END ",
                     "ADD ADD ", "END NEW ", "POINT", "COLUMN", "ROW", "IGNORE",
                     "R", "Y", "N", "-999", "-888", "100", "1e-300", "0x10",
                     "4", "5", "6", "7", "8", "9"};
const Pool kIndex = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                     "11", "12", "13", "14", "15", "16", "-1", "99", "100",
                     "2147483647", "-2147483648", "x", ""};
const Pool kTarget = {"A", "B", "C", "M", "Z", "F", "G", "W", "W2", "gI", "gJ",
                      "sI", "sJ", "Grd", "Nrm", "X1", "Y1", "Zv", "Out", "Coef",
                      "Y", "E"};
const Pool kShared = {"Rnd1Seed", "rSeed", "tcl_precision", "vX", "tC",
                      "FuncRet", "dYdA", "InTg", "OuT", "S", "Coef", "Cov"};
const Pool kSharedValue = {"0", "-5", "3000000", "2147483647", "abc", "",
                           "566378", "17", "1", "12 34", "-2147483648"};

enum Kind {
    Number, Count, Offset, Step, Array, Flags, Work, ArrayOp, VecOp, MatrixOp,
    Cond, Range, Weight, Basis, Model, Script, Integ, Stage, Grid, Nrm, Desc,
    Settings, Records
};

const Pool &PoolOf(Kind kind)
{
    switch (kind) {
    case Number: return kNumber;
    case Count: return kCount;
    case Offset: return kOffset;
    case Step: return kStep;
    case Array: return kArray;
    case Flags: return kFlags;
    case Work: return kWork;
    case ArrayOp: return kArrayOp;
    case VecOp: return kVecOp;
    case MatrixOp: return kMatrixOp;
    case Cond: return kCond;
    case Range: return kRange;
    case Weight: return kWeight;
    case Basis: return kBasis;
    case Model: return kModel;
    case Script: return kScript;
    case Integ: return kInteg;
    case Stage: return kStage;
    case Grid: return kGrid;
    case Nrm: return kNrm;
    case Desc: return kDesc;
    case Settings: return kSettings;
    case Records: return kRecords;
    }
    return kNumber;
}

constexpr Kind kAllKinds[] = {Number, Count, Offset, Array, Flags, Work,
                              ArrayOp, VecOp, Cond, Basis, Model, Integ, Desc,
                              Settings, Records};

// The commands and the kinds of their argument words; `required` words
// are needed, the rest are optional.
struct Shape {
    const char *command;
    int required;
    std::vector<Kind> words;
};

const std::vector<Shape> kShapes = {
    {"KDarrayMath", 5, {Array, ArrayOp, Array, Array, Count, Offset, Offset, Offset, Step, Step, Step}},
    {"KDgridFill2D", 4, {Grid, Desc, Nrm, Settings}},
    {"KDintegTrap", 4, {Integ, Number, Number, Stage, Number, Weight}},
    {"KDdataMqCoef", 9, {Array, Array, Count, Flags, Count, Offset, Offset, Script, Work}},
    {"KDdataMxMn", 3, {Array, Count, Cond, Number, Number, Step, Offset}},
    {"KDdataRnd1", 3, {Array, Count, Range, Number}},
    {"KDpolyExp1D", 3, {Number, Count, Array, Offset, Number, Number}},
    {"KDpolyExp2D", 5, {Number, Number, Count, Array, Count, Offset, Number, Number}},
    {"KDmatrixInv", 2, {Count, Array, Offset, Count, Array, Offset}},
    {"KDmatrixMath", 8, {Array, MatrixOp, Array, Array, Count, Count, Count, Count, Offset, Offset, Offset}},
    {"KDdataLSq1D", 9, {Array, Array, Count, Weight, Array, Flags, Count, Array, Basis, Array}},
    {"KDdataLSq2D", 7, {Array, Array, Array, Count, Count, Weight, Array, Weight, Array}},
    {"KDdataNLinLSq", 8, {Array, Array, Count, Array, Flags, Count, Model, Work}},
    {"KDdataGrid", 11, {Count, Count, Records, Records, Count, Records, Records, Records, Grid, Grid, Desc}},
    {"KDvecMath", 4, {Array, VecOp, Array, Array, Offset, Offset, Offset, Count, Count}},
    {"KDsolveCubic", 4, {Number, Number, Number, Number}},
};

// ------------------------------------------------------------- fixture --

// Arrays, descriptors and callback procedures every input starts from.
const char kFixture[] = R"TCL(
array set A {0 1 1 2 2 3 3 -4 4 5.5 5 0 6 7 7 8 8 9 9 10 10 0.25 11 -1 12 2 13 3 14 4 15 100}
array set B {0 2 2 -1 5 1e10 7 3 -1 4 x 9}
array set C {0 abc 1 {} 2 Inf 3 -Inf 4 1e308 5 0x10 6 1e-320 7 -0.0 8 {1 2} 9 3}
set D(0) 0
array set M {0 4 1 1 2 2 3 1 4 5 5 3 6 2 7 3 8 6}
array set Z {0 0 1 0 2 0 3 0 4 0 5 0 6 0 7 0 8 0 9 0}
array set F {0 1 1 1 2 0 3 1 4 1 5 0 6 1 7 1 8 1 9 1}
array set G {0 2 1 -1 2 300 3 abc 4 1 5 0}
array set E {-1 1 2147483647 2 -2147483648 3}
array set Y {0 1 1 3 2 5 3 7.5 4 9 5 11 6 13 7 15 8 17 9 19.5}
array set X1 {0 0.5 1 1.25 2 -2 3 8.5 4 4.2 5 9.5 6 3 7 6 8 2 9 7}
array set X2 {0 1.5 1 3.5 2 2.5 3 12 4 4.3 5 12 6 1 7 6.5 8 2 9 7.5}
array set Y1 {0 0.5 1 2 2 4 3 6 4 8 5 -1 6 3 7 5 8 9.5 9 0}
array set Y2 {0 1 1 2.5 2 4.5 3 7 4 9 5 1 6 2 7 5.5 8 11 9 0.5}
array set Zv {0 1 1 2 2 0 3 4 4 5 5 6 6 -7 7 8 8 9 9 10}
set S 2.5
set T abc
array set gI {0 0 1 10 2 0 3 10 4 10 5 10 6 AREA 7 AREA 8 ROW 9 KEEP
              10 {NEW ADD END } 11 -999 12 -888 13 -1e30 14 1e30 15 N 16 N}
array set gJ {0 0 1 10 2 0 3 10 4 1e10 5 1e10 6 POINT 7 POINT 8 COLUMN 9 IGNORE
              10 {ADD END } 11 -999 12 -888 13 -1e30 14 1e30 15 Y 16 Y}
array set gK {0 10 1 0 2 0 3 0 4 -5 5 3 6 AREA 7 POINT 8 R 9 KEEP
              10 {NEW } 11 abc 12 -888 13 1e30 14 -1e30 15 Y 16 N}
array set gL {0 0 1 10 4 3 5 3}
array set gM {0 0 1 1 2 0 3 1 4 46341 5 46341 6 AREA 7 AREA 8 ROW 9 KEEP
              10 {NEW END } 11 -999 12 -888 13 -1e30 14 1e30 15 N 16 N}
array set sI {0 1 1 3 2 2 3 1 4 0 5 0 6 0 7 0 8 1.0 9 1}
array set sJ {0 1000 1 100 2 9 3 2 4 -3 5 50 6 -1 7 0 8 1e300 9 9}
array set sK {0 -1 1 2147483647 2 0 3 7 4 0 5 0 6 0 7 0 8 -1 9 -5}
array set sL {0 1 1 2}
for {set i 0} {$i < 100} {incr i} {
    set Grd($i) [expr {($i % 7 == 3) ? -999 : ($i % 11 == 5 ? -888 : $i * 0.5)}]
    set Nrm($i) [expr {$i % 7 == 3 ? 0 : 1}]
}
for {set i 0} {$i < 77} {incr i} {set W($i) 0; set W2($i) 0}
set W(0) -1
set W(3) 2
set W(5) 1
set W(6) 1
set W2(0) 0.5
set depth 0

proc basis {x a n} {
    upvar 1 $a t
    set p 1.0
    for {set i 0} {$i < $n && $i < 64} {incr i} {
        set t($i) $p
        set p [expr {$p * $x}]
    }
}
proc basisErr {args} {error boom}
proc basisText {x a n} {
    upvar 1 $a t
    for {set i 0} {$i < $n && $i < 64} {incr i} {set t($i) abc}
    return text
}
proc basisUnset {x a n} {
    upvar 1 $a t
    unset -nocomplain t
    uplevel 1 {unset -nocomplain vX}
}
proc basisRec {x a n} {
    global depth A F
    if {[incr depth] < 3} {
        catch {KDdataLSq1D A A 3 0 Coef2 F 2 Cov2 basisRec}
        catch {KDpolyExp1D $x 3 A}
    }
    incr depth -1
    basis $x $a $n
}
proc basisMut {x a n} {
    uplevel 1 {unset -nocomplain A Coef Cov Out; set Coef scalar}
    basis $x $a $n
}
proc model {n d w} {
    upvar 1 $d dy $w wk
    set x [expr {int($wk(4))}]
    set s 0.0
    for {set j 0} {$j < $n && $j < 64} {incr j} {
        set dy($j) [expr {double($x) ** $j}]
        set s [expr {$s + $wk([expr {5 + $j}]) * $dy($j)}]
    }
    return $s
}
proc modelErr {args} {error boom}
proc modelText {n d w} {
    upvar 1 $d dy
    for {set j 0} {$j < $n && $j < 64} {incr j} {set dy($j) abc}
    return abc
}
proc modelUnset {n d w} {
    uplevel 1 {unset -nocomplain FuncRet dYdA}
    error gone
}
proc modelRec {n d w} {
    global depth Y F W2
    if {[incr depth] < 3} {
        catch {KDdataNLinLSq Y Y 3 P2 F 2 modelRec W2}
        catch {KDdataMqCoef Y Y 3 F 2 0 0 {set FuncRet [model 2 dYdA W2]} W2}
    }
    incr depth -1
    uplevel 1 [list model $n $d $w]
}
proc integ {x h k i {o {}}} {
    if {$i == -1} {
        upvar 1 $o out
        for {set j 0} {$j < $k && $j < 4096} {incr j} {
            set out($j) [expr {($x + $j * $h) ** 2}]
        }
        return 0
    }
    expr {$x * $x}
}
proc integErr {args} {error boom}
proc integText {x h k i {o {}}} {
    if {$i == -1} {
        upvar 1 $o out
        for {set j 0} {$j < $k && $j < 64} {incr j} {set out($j) abc}
    }
    return abc
}
proc integUnset {args} {
    uplevel 1 {unset -nocomplain InTg OuT}
    error gone
}
proc integRec {x h k i {o {}}} {
    global depth
    if {[incr depth] < 3} {
        catch {KDintegTrap integRec 0 1 2 0.5}
    }
    incr depth -1
    uplevel 1 [list integ $x $h $k $i {*}$o]
}
# Callbacks that delete the interpreter the library is working in.
proc basisKill {args} {killInterp}
proc modelKill {args} {killInterp}
proc integKill {args} {killInterp}
proc inproc {args} {
    {*}$args
}
# Commands a raw word could turn into something that leaves the process,
# blocks or touches files.
foreach cmd {exit vwait after update exec open socket source load cd file
             glob interp fconfigure gets read puts close} {
    rename $cmd {}
}
)TCL";

// Forces the string of every element of every global array and scalar, so
// that an object the library left in a bad state is touched.
const char kSweep[] = R"TCL(
foreach _n [info globals] {
    if {[array exists ::$_n] && [array size ::$_n] <= 10000} {
        foreach {_k _v} [array get ::$_n] {string length $_v}
    } elseif {[info exists ::$_n]} {
        string length [set ::$_n]
    }
}
)TCL";

Tcl_Obj *Word(Input &in, Kind kind)
{
    std::uint8_t v = in.Byte();
    if (v < 200) {
        const Pool &pool = PoolOf(kind);
        return Tcl_NewStringObj(pool[v % pool.size()], -1);
    }
    if (v < 236) {
        const Pool &pool = PoolOf(kAllKinds[v % (sizeof kAllKinds / sizeof kAllKinds[0])]);
        return Tcl_NewStringObj(pool[in.Byte() % pool.size()], -1);
    }
    std::string raw = in.Raw();
    return Tcl_NewStringObj(raw.data(), static_cast<int>(raw.size()));
}

const char *Pick(Input &in, const Pool &pool)
{
    return pool[in.Byte() % pool.size()];
}

// Evaluates the words as one command and releases them.  With the
// environment variable KARDUM_FUZZ_ECHO set, each command and its outcome
// are printed, which turns a crashing input back into a script.
void Run(Tcl_Interp *interp, std::vector<Tcl_Obj *> &words)
{
    std::vector<kardum::ObjRef> held;
    held.reserve(words.size());
    for (Tcl_Obj *w : words) {
        held.emplace_back(w);
    }
    bool echo = std::getenv("KARDUM_FUZZ_ECHO") != nullptr;
    if (echo) {
        kardum::ObjRef list(Tcl_NewListObj(static_cast<int>(words.size()), words.data()));
        std::fprintf(stderr, "%% %s\n", Tcl_GetString(list.get()));
    }
    int code = Tcl_EvalObjv(interp, static_cast<int>(words.size()), words.data(),
                            TCL_EVAL_GLOBAL);
    const char *result = Tcl_GetStringResult(interp);
    if (echo) {
        std::fprintf(stderr, "  -> %d {%.200s}\n", code, result);
    }
    held.clear();
    Tcl_ResetResult(interp);
}

void Call(Tcl_Interp *interp, Input &in, bool insideProc)
{
    const Shape &shape = kShapes[in.Byte() % kShapes.size()];
    int all = static_cast<int>(shape.words.size());
    std::uint8_t c = in.Byte();
    int count;
    if (c >= 240) {
        count = (c & 1) ? shape.required - 1 : all + 1 + (c & 2);
    } else {
        count = shape.required + c % (all - shape.required + 1);
    }
    std::vector<Tcl_Obj *> words;
    if (insideProc) {
        words.push_back(Tcl_NewStringObj("inproc", -1));
    }
    words.push_back(Tcl_NewStringObj(shape.command, -1));
    for (int i = 0; i < count; ++i) {
        words.push_back(Word(in, i < all ? shape.words[i] : Number));
    }
    Run(interp, words);
}

void RunStep(Tcl_Interp *interp, Input &in)
{
    std::uint8_t op = in.Byte() % 16;
    std::vector<Tcl_Obj *> words;
    if (op < 10) {
        Call(interp, in, op == 9);
        return;
    }
    switch (op) {
    case 10:
    case 11: { // set one element
        words.push_back(Tcl_NewStringObj("set", -1));
        std::string name = std::string(Pick(in, kTarget)) + "(" + Pick(in, kIndex) + ")";
        words.push_back(Tcl_NewStringObj(name.c_str(), -1));
        words.push_back(Tcl_NewStringObj(Pick(in, kValue), -1));
        break;
    }
    case 12: { // unset an element or a whole array
        words.push_back(Tcl_NewStringObj("unset", -1));
        words.push_back(Tcl_NewStringObj("-nocomplain", -1));
        std::string name = Pick(in, kTarget);
        if (in.Byte() & 1) {
            name += std::string("(") + Pick(in, kIndex) + ")";
        }
        words.push_back(Tcl_NewStringObj(name.c_str(), -1));
        break;
    }
    case 13: { // a shared variable as a scalar
        words.push_back(Tcl_NewStringObj("set", -1));
        words.push_back(Tcl_NewStringObj(Pick(in, kShared), -1));
        words.push_back(Tcl_NewStringObj(Pick(in, kSharedValue), -1));
        break;
    }
    case 14: { // a shared variable turned into an array
        const char *name = Pick(in, kShared);
        std::vector<Tcl_Obj *> unset = {Tcl_NewStringObj("unset", -1),
                                        Tcl_NewStringObj("-nocomplain", -1),
                                        Tcl_NewStringObj(name, -1)};
        Run(interp, unset);
        words.push_back(Tcl_NewStringObj("set", -1));
        words.push_back(Tcl_NewStringObj((std::string(name) + "(0)").c_str(), -1));
        words.push_back(Tcl_NewStringObj(Pick(in, kSharedValue), -1));
        break;
    }
    default: { // unset a shared variable
        words.push_back(Tcl_NewStringObj("unset", -1));
        words.push_back(Tcl_NewStringObj("-nocomplain", -1));
        words.push_back(Tcl_NewStringObj(Pick(in, kShared), -1));
        break;
    }
    }
    Run(interp, words);
}

// killInterp: deletes the interpreter from inside a callback.  Tcl keeps the
// interpreter's memory until the outermost evaluation returns; the
// library's command must come back without touching it any further than
// Tcl allows.
int KillInterp(ClientData, Tcl_Interp *interp, int, Tcl_Obj *const[])
{
    Tcl_DeleteInterp(interp);
    return TCL_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Tcl_Interp *interp = Tcl_CreateInterp();
    Tcl_Preserve(interp);
    Kardum_Init(interp);
    Tcl_CreateObjCommand(interp, "killInterp", KillInterp, nullptr, nullptr);
    if (Tcl_Eval(interp, kFixture) != TCL_OK) {
        __builtin_trap(); // the fixture itself is broken
    }
    // Bounds the work a raw word turned into a script can ask for, and the
    // depth of callbacks that call the library again.
    Tcl_SetRecursionLimit(interp, 200);
    Tcl_LimitSetCommands(interp, 200000);
    Tcl_LimitTypeSet(interp, TCL_LIMIT_COMMANDS);
    // Legitimate work can still add up past libFuzzer's -timeout under the
    // sanitizers (a hundred writes of 46341 random values): a time limit
    // of two seconds ends it, as a script's own limit would, so a slow
    // input exercises the library's polling instead of timing out.  Only
    // inputs that slow depend on the clock.
    Tcl_Time deadline;
    Tcl_GetTime(&deadline);
    deadline.sec += 2;
    Tcl_LimitSetTime(interp, &deadline);
    Tcl_LimitTypeSet(interp, TCL_LIMIT_TIME);

    Input in(data, size);
    for (int step = 0; step < 16 && in.More() && !Tcl_InterpDeleted(interp); ++step) {
        RunStep(interp, in);
    }
    if (!Tcl_InterpDeleted(interp)) {
        Tcl_LimitTypeReset(interp, TCL_LIMIT_COMMANDS);
        Tcl_LimitTypeReset(interp, TCL_LIMIT_TIME);
        Tcl_Eval(interp, kSweep);
        Tcl_DeleteInterp(interp);
    }
    Tcl_Release(interp);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    Tcl_FindExecutable((*argv)[0]);
    return 0;
}
