// Reading and writing by a count that has little to do with what the array
// holds.  An array with a read trace is read index by index, every lookup
// leaving its message, exactly as the marshalling always read; the same
// array without the trace takes the paths that visit only what exists.
// Both must find the same elements, store the same values and leave the
// same message and error code.
#include "TclFixture.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// What one read did: the count, the bytes of the C array (slots keep a
// pattern where nothing was stored), the result and the error code left.
struct Outcome {
    int count;
    std::vector<unsigned char> bytes;
    std::string result;
    std::string errorCode;
    bool operator==(const Outcome &o) const
    {
        return count == o.count && bytes == o.bytes && result == o.result &&
               errorCode == o.errorCode;
    }
};

std::size_t Width(char type)
{
    return type == 'D' ? 8 : type == 'F' || type == 'L' ? 4 : type == 'S' ? 2 : 1;
}

class Counts : public TclFixture {
protected:
    Outcome Read(const char *name, int len, int first, char type)
    {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("before", -1));
        Tcl_SetErrorCode(interp, "BEFORE", nullptr);
        std::vector<unsigned char> bytes(static_cast<std::size_t>(len) * Width(type), 0xA5);
        Name obj(name);
        Outcome out;
        out.count = TclArrayToC(interp, obj, bytes.data(), len, first, type);
        out.bytes = std::move(bytes);
        out.result = Result();
        kardum::ObjRef options(Tcl_GetReturnOptions(interp, TCL_ERROR));
        kardum::ObjRef key(Tcl_NewStringObj("-errorcode", -1));
        Tcl_Obj *code = nullptr;
        Tcl_DictObjGet(nullptr, options.get(), key.get(), &code);
        out.errorCode = code != nullptr ? Tcl_GetString(code) : "";
        return out;
    }

    // The same read on the array with a read trace that does nothing.
    Outcome ReadTraced(const char *name, int len, int first, char type)
    {
        std::string var = name;
        Eval("proc noop args {}; trace add variable " + var + " read noop");
        Outcome out = Read(name, len, first, type);
        Eval("trace remove variable " + var + " read noop");
        return out;
    }
};

// Elements 0 ... 39, one negative index, two far ones that do not convert
// (as text, and as an integer too large for the integer codes), and names
// that are not the "%d" text of any index.
const char *kSparse =
    "for {set i 0} {$i < 40} {incr i} {set Z($i) [expr {$i * 0.5 - 3}]}\n"
    "array set Z {-3 7 4000 abc 4001 1e300 1700 2.5 007 9 +5 9 -0 9 { 3} 9 1e2 9 3.0 9 0x10 9 abc 9}";
// 0 ... 4999 without the multiples of 7, every 100th not a number.
const char *kDense =
    "for {set i 0} {$i < 5000} {incr i} {"
    "  if {$i % 7} {set D($i) [expr {$i % 100 ? $i * 0.25 : \"x$i\"}]}}";
// 0 ... 1499, all present.
const char *kFull = "for {set i 0} {$i < 1500} {incr i} {set F($i) $i}";

TEST_F(Counts, EveryPathLeavesWhatReadingEveryIndexLeaves)
{
    Eval(kSparse);
    Eval(kDense);
    Eval(kFull);
    Eval("array set E {}");
    struct Case {
        int len;
        int first;
    };
    // Dense and sparse for each array, ranges that start or end inside
    // it, below it and past it.
    const Case cases[] = {{1500, 0},     {1500, -10}, {5000, 0},   {6000, -1000},
                          {12000, -6000}, {2047, 3990}, {3000, 1700}, {2012, 1990},
                          {1701, 0}};
    for (const char *name : {"Z", "D", "F", "E"}) {
        for (const Case &c : cases) {
            for (char type : {'D', 'L', 'C'}) {
                SCOPED_TRACE(std::string(name) + " len " + std::to_string(c.len) + " first " +
                             std::to_string(c.first) + " type " + type);
                Outcome quick = Read(name, c.len, c.first, type);
                Outcome every = ReadTraced(name, c.len, c.first, type);
                EXPECT_EQ(quick.count, every.count);
                EXPECT_EQ(quick.result, every.result);
                EXPECT_EQ(quick.errorCode, every.errorCode);
                EXPECT_TRUE(quick.bytes == every.bytes);
            }
        }
    }
}

TEST_F(Counts, ACountFarBeyondTheElementsVisitsOnlyThem)
{
    // Slots are written only where an element exists, so 40 slots hold
    // what a count of 2^31 - 1 from 0 finds in a 40-element array; with a
    // lookup per index this would run for minutes.
    Eval("for {set i 0} {$i < 40} {incr i} {set Z($i) $i}");
    Name z("Z");
    std::vector<double> slots(40, -1.0);
    EXPECT_EQ(TclArrayToC(interp, z, slots.data(), INT_MAX, 0, 'D'), 40);
    EXPECT_EQ(slots[39], 39.0);
    EXPECT_EQ(Result(), "can't read \"Z(2147483646)\": no such element in array");

    // The range ends below the elements: nothing found, one message.
    EXPECT_EQ(TclArrayToC(interp, z, slots.data(), INT_MAX, INT_MIN, 'D'), 0);
    EXPECT_EQ(Result(), "can't read \"Z(-2)\": no such element in array");
}

TEST_F(Counts, AMissingArrayOrAScalarLeavesTheMessageOfTheLastIndex)
{
    Eval("set S 5");
    struct Case {
        const char *name;
        const char *message;
    } cases[] = {
        {"NoSuch", "can't read \"NoSuch(1048575)\": no such variable"},
        {"S", "can't read \"S(1048575)\": variable isn't array"},
        {"::NoSuch::X", "can't read \"::NoSuch::X(1048575)\": no such variable"},
    };
    for (const Case &c : cases) {
        Outcome out = Read(c.name, 1 << 20, 0, 'D');
        EXPECT_EQ(out.count, 0) << c.name;
        EXPECT_EQ(out.result, c.message);
        EXPECT_EQ(out.bytes, std::vector<unsigned char>(out.bytes.size(), 0xA5)) << c.name;
    }
}

TEST_F(Counts, TracesOfAnArrayStillSeeEveryIndex)
{
    Eval("array set T {0 1 5 2}; set seen 0");
    Eval("trace add variable T read {apply {args {incr ::seen}}}");
    std::vector<double> slots(2000, 0.0);
    Name t("T");
    EXPECT_EQ(TclArrayToC(interp, t, slots.data(), 2000, 0, 'D'), 2);
    EXPECT_EQ(Eval("set seen"), "2000");
    EXPECT_EQ(slots[5], 2.0);
}

TEST_F(Counts, AWriteIntoAScalarEndsWithTheMessageOfTheLastIndex)
{
    Eval("set S keep");
    std::vector<double> values(1 << 20, 1.5);
    Name s("S");
    EXPECT_EQ(CArrayToTcl(interp, s, values.data(), 1 << 20, 10, 'D'), 1);
    EXPECT_EQ(Result(), "can't set \"S(1048585)\": variable isn't array");
    EXPECT_EQ(Eval("set S"), "keep");

    // An array whose first store fails for another reason goes on.
    Eval("array set W {}; trace add variable W(0) write {apply {args {error no}}}");
    Name w("W");
    EXPECT_EQ(CArrayToTcl(interp, w, values.data(), 3, 0, 'D'), 1);
    EXPECT_EQ(Eval("lsort [array names W]"), "0 1 2");
}

} // namespace

namespace {

// The marshalling loops look at the interpreter every 1024 elements: a
// cancel or an exceeded time limit that arrives while a command runs ends
// them there, Tcl's message in the result, and the interpreter goes on.
// Each step runs inside a command, as the library's commands do (at the
// top level Tcl forgets a cancel once an evaluation ends).
struct Inside {
    std::function<void(Tcl_Interp *)> body;
    static int Run(void *data, Tcl_Interp *interp, int, Tcl_Obj *const *)
    {
        static_cast<Inside *>(data)->body(interp);
        return TCL_OK;
    }
};

TEST_F(Counts, MarshallingStopsOnCancelAndOnATimeLimit)
{
    Eval("for {set i 0} {$i < 30000} {incr i} {set X($i) $i}");
    Name x("X"), w("W");
    std::vector<double> slots(30000, 0.0);
    int found = -1;
    std::string message;
    Inside inside;
    Tcl_CreateObjCommand(interp, "inside", Inside::Run, &inside, nullptr);

    inside.body = [&](Tcl_Interp *in) {
        Tcl_CancelEval(in, nullptr, nullptr, 0);
        found = TclArrayToC(in, x, slots.data(), 30000, 0, 'D');
        message = Tcl_GetStringResult(in);
    };
    Eval("inside");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(message, "eval canceled");
    EXPECT_EQ(slots[29999], 0.0);
    EXPECT_EQ(Eval("expr {6 * 7}"), "42");

    inside.body = [&](Tcl_Interp *in) {
        Tcl_CancelEval(in, nullptr, nullptr, 0);
        CArrayToTcl(in, w, slots.data(), 30000, 0, 'D');
        message = Tcl_GetStringResult(in);
    };
    Eval("inside");
    EXPECT_EQ(message, "eval canceled");
    EXPECT_EQ(Eval("array size W"), "0");     // seen before the first store

    inside.body = [&](Tcl_Interp *in) {
        Tcl_Time past;
        Tcl_GetTime(&past);
        past.sec -= 1;
        Tcl_LimitSetTime(in, &past);
        Tcl_LimitTypeSet(in, TCL_LIMIT_TIME);
        found = TclArrayToC(in, x, slots.data(), 30000, 0, 'D');
        message = Tcl_GetStringResult(in);
        Tcl_LimitTypeReset(in, TCL_LIMIT_TIME);
    };
    Eval("inside");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(message, "time limit exceeded");
    EXPECT_EQ(Eval("expr {6 * 7}"), "42");
    EXPECT_EQ(TclArrayToC(interp, x, slots.data(), 30000, 0, 'D'), 30000);
}

} // namespace
