// TclArrayToC, CArrayToTcl and CArrayToList on a real interpreter.
#include "TclFixture.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>
#include <string>

using Marshal = TclFixture;

TEST_F(Marshal, ReadsElementsFromTheOffset)
{
    Eval("array set X {-1 10 0 20 1 30 2 40}");
    Name x("X");
    double d[3] = {};
    EXPECT_EQ(TclArrayToC(interp, x, d, 3, 0, 'D'), 3);
    EXPECT_EQ(d[0], 20.0);
    EXPECT_EQ(d[2], 40.0);
    EXPECT_EQ(TclArrayToC(interp, x, d, 3, -1, 'D'), 3);
    EXPECT_EQ(d[0], 10.0);
    EXPECT_EQ(d[2], 30.0);
}

TEST_F(Marshal, MissingElementsKeepTheirSlotAndAreNotCounted)
{
    Eval("array set X {0 1.5 2 2.5}");
    Name x("X");
    double d[3] = {7, 7, 7};
    EXPECT_EQ(TclArrayToC(interp, x, d, 3, 0, 'D'), 2);
    EXPECT_EQ(d[0], 1.5);
    EXPECT_EQ(d[1], 7.0);
    EXPECT_EQ(d[2], 2.5);
    EXPECT_EQ(Result(), "can't read \"X(1)\": no such element in array");

    Name none("NoSuch");
    EXPECT_EQ(TclArrayToC(interp, none, d, 3, 0, 'D'), 0);
}

TEST_F(Marshal, ElementTextThatDoesNotConvertIsCountedAndKeepsTheSlot)
{
    Eval("array set X {0 abc 1 2}");
    Name x("X");
    double d[2] = {9, 9};
    std::int8_t c[2] = {5, 5};
    EXPECT_EQ(TclArrayToC(interp, x, d, 2, 0, 'D'), 2);
    EXPECT_EQ(d[0], 9.0);
    EXPECT_EQ(TclArrayToC(interp, x, c, 2, 0, 'C'), 2);
    EXPECT_EQ(c[0], 5);
    EXPECT_EQ(c[1], 2);
}

TEST_F(Marshal, IntegerCodesKeepTheLowBits)
{
    Eval("array set X {0 300 1 -1 2 70000}");
    Name x("X"), out("Out");
    std::int8_t c[2];
    ASSERT_EQ(TclArrayToC(interp, x, c, 2, 0, 'C'), 2);
    EXPECT_EQ(c[0], 44);
    CArrayToTcl(interp, out, c, 2, 0, 'c');
    EXPECT_EQ(Eval("list $Out(0) $Out(1)"), "44 255");
    CArrayToTcl(interp, out, c, 2, 0, 'C');
    EXPECT_EQ(Eval("set Out(1)"), "-1");

    std::int16_t s[3];
    ASSERT_EQ(TclArrayToC(interp, x, s, 3, 0, 'S'), 3);
    EXPECT_EQ(s[2], static_cast<std::int16_t>(70000 & 0xffff));
    CArrayToTcl(interp, out, s, 3, 0, 's');
    EXPECT_EQ(Eval("set Out(1)"), "65535");
    EXPECT_EQ(Eval("set Out(2)"), "4464");

    std::uint32_t ones = 0xffffffffu;
    CArrayToTcl(interp, out, &ones, 1, 0, 'l');
    EXPECT_EQ(Eval("set Out(0)"), "-1");
    CArrayToTcl(interp, out, &ones, 1, 0, 'L');
    EXPECT_EQ(Eval("set Out(0)"), "-1");
}

TEST_F(Marshal, FloatsAreNarrowedAndWidened)
{
    Eval("set X(0) 0.1");
    Name x("X"), out("Out");
    float f = 0;
    ASSERT_EQ(TclArrayToC(interp, x, &f, 1, 0, 'F'), 1);
    EXPECT_EQ(f, 0.1f);
    CArrayToTcl(interp, out, &f, 1, 3, 'F');
    EXPECT_EQ(Eval("set Out(3)"), "0.10000000149011612");
}

TEST_F(Marshal, ReadersRefuseTheWriteOnlyCodes)
{
    Eval("set X(0) 1");
    Name x("X");
    for (char type : {'l', 's', 'c', 'x', 'd'}) {
        std::int32_t slot = 42;
        EXPECT_EQ(TclArrayToC(interp, x, &slot, 1, 0, type), 0) << type;
        EXPECT_EQ(slot, 42);
    }
}

TEST_F(Marshal, WriterStoresFromTheOffsetOnly)
{
    Eval("array set Out {0 keep 4 keep}");
    Name out("Out");
    double d[3] = {1.5, -0.0, 1e300};
    EXPECT_EQ(CArrayToTcl(interp, out, d, 3, 1, 'D'), 1);
    EXPECT_EQ(Eval("lsort [array names Out]"), "0 1 2 3 4");
    EXPECT_EQ(Eval("list $Out(0) $Out(1) $Out(2) $Out(3) $Out(4)"),
              "keep 1.5 -0.0 1e+300 keep");
    EXPECT_EQ(CArrayToTcl(interp, out, d, 0, 10, 'D'), 1);
    EXPECT_EQ(Eval("array size Out"), "5");
    EXPECT_EQ(CArrayToTcl(interp, out, d, 1, 10, '?'), 1);
    EXPECT_EQ(Eval("array size Out"), "5");
}

TEST_F(Marshal, WriterIntoAScalarReportsAndReturnsOne)
{
    Eval("set S 5");
    Name s("S");
    double d[2] = {1, 2};
    EXPECT_EQ(CArrayToTcl(interp, s, d, 2, 0, 'D'), 1);
    EXPECT_EQ(Result(), "can't set \"S(1)\": variable isn't array");
    EXPECT_EQ(Eval("set S"), "5");
}

TEST_F(Marshal, ListWriterCreatesOrReplacesWithoutTouchingSharers)
{
    Name l("L");
    double d[3] = {1, 2.5, -3};
    EXPECT_EQ(CArrayToList(interp, l, d, 3, 'D'), 1);
    EXPECT_EQ(Eval("set L"), "1.0 2.5 -3.0");

    Eval("set L {a b}; set M $L");
    std::int16_t s[2] = {-1, 7};
    EXPECT_EQ(CArrayToList(interp, l, s, 2, 's'), 1);
    EXPECT_EQ(Eval("list $L $M"), "{65535 7} {a b}");

    EXPECT_EQ(CArrayToList(interp, l, d, 3, 'q'), 1);
    EXPECT_EQ(Eval("set L"), "65535 7");
}

TEST_F(Marshal, ListWriterIntoAnArrayLeavesItAlone)
{
    Eval("set A(0) 1");
    Name a("A");
    double d[1] = {2};
    EXPECT_EQ(CArrayToList(interp, a, d, 1, 'D'), 1);
    EXPECT_EQ(Eval("set A(0)"), "1");
}

// The writer builds value objects directly instead of storing printed
// text; every element must read back exactly as the printed text would,
// as a string and as a number, whatever tcl_precision is.  Text written
// under a non-zero precision keeps that precision's rounding.
TEST_F(Marshal, WrittenDoublesMatchThePrintedTextAtEveryPrecision)
{
    const double awkward[] = {
        -0.0, 0.0, 4.9406564584124654e-324, 2.2250738585072009e-308,
        1.7976931348623157e308, -1e300, 1e-300, 0.1, 1.0 / 3.0,
        0.30000000000000004, 123456789012345678.0, 1.0 / 0.0, -1.0 / 0.0,
        100.0, 1e21, 1e-7,
    };
    const int n = static_cast<int>(sizeof awkward / sizeof awkward[0]);
    Name out("Out");
    for (const char *precision : {"0", "6", "12", "16", "17"}) {
        Eval(std::string("set ::tcl_precision ") + precision);
        ASSERT_EQ(CArrayToTcl(interp, out, const_cast<double *>(awkward), n, 0, 'D'), 1);
        bool rounded = std::string(precision) != "0";
        for (int i = 0; i < n; ++i) {
            char printed[TCL_DOUBLE_SPACE];
            Tcl_PrintDouble(interp, awkward[i], printed);
            std::string idx = std::to_string(i);
            if (rounded) {
                Eval("set ::tcl_precision 5"); // the written text stays as it was
            }
            const char *text = Tcl_GetVar2(interp, "Out", idx.c_str(), 0);
            ASSERT_NE(text, nullptr);
            EXPECT_STREQ(text, printed) << "precision " << precision << ", element " << i;
            Eval(std::string("set ::tcl_precision ") + precision);

            double fromText = 0, fromArray = 0;
            if (Tcl_GetDouble(nullptr, printed, &fromText) == TCL_OK) {
                Name name("Out");
                ASSERT_EQ(TclArrayToC(interp, name, &fromArray, 1, i, 'D'), 1);
                EXPECT_EQ(std::signbit(fromArray), std::signbit(fromText));
                EXPECT_TRUE(fromArray == fromText) << printed;
            }
        }
    }
    Eval("set ::tcl_precision 0");
}

// Reading creates no elements, keeps Tcl's message for the last miss and
// leaves the index objects of created elements intact.
TEST_F(Marshal, RepeatedWritesAndReadsOfNewElements)
{
    Name out("Fresh");
    double d[4] = {1, 2, 3, 4};
    CArrayToTcl(interp, out, d, 4, 100, 'D');
    EXPECT_EQ(Eval("lsort -integer [array names Fresh]"), "100 101 102 103");
    double back[6] = {};
    EXPECT_EQ(TclArrayToC(interp, out, back, 6, 99, 'D'), 4);
    EXPECT_EQ(Result(), "can't read \"Fresh(104)\": no such element in array");
    EXPECT_EQ(back[1], 1.0);
    EXPECT_EQ(back[4], 4.0);
    EXPECT_EQ(Eval("array size Fresh"), "4");
}

// Reading converts every element as Tcl_GetDouble converts its text, at
// every tcl_precision: number objects without text (as expr leaves them),
// with text, integers, big integers and text that is not a number.
TEST_F(Marshal, ReadDoublesMatchTheTextPathAtEveryPrecision)
{
    const double awkward[] = {
        -0.0, 4.9406564584124654e-324, 2.2250738585072009e-308,
        1.7976931348623157e308, -1e-300, 0.1, 1.0 / 3.0, 2.0 / 3.0 * 1e-5,
        0.30000000000000004, 123456789012345678.0, 1.0 / 0.0, -1.0 / 0.0,
        std::nan(""),
    };
    const char *texts[] = {" 12 ", "0x10", "1e400", "-0", "abc", "1_0",
                           "123456789012345678901234567890"};
    Name x("X");
    for (const char *precision : {"0", "6", "12", "16", "17"}) {
        Eval(std::string("set ::tcl_precision ") + precision);
        // The elements fresh for each read, so that no text is cached yet.
        auto fill = [&]() {
            Eval("unset -nocomplain X");
            int i = 0;
            for (double v : awkward) {
                Tcl_Obj *idx = Tcl_NewIntObj(i++);
                Tcl_ObjSetVar2(interp, x, idx, Tcl_NewDoubleObj(v), 0);
            }
            for (const char *t : texts) {
                Tcl_Obj *idx = Tcl_NewIntObj(i++);
                Tcl_ObjSetVar2(interp, x, idx, Tcl_NewStringObj(t, -1), 0);
            }
            Tcl_ObjSetVar2(interp, x, Tcl_NewIntObj(i++),
                           Tcl_NewWideIntObj((Tcl_WideInt(1) << 53) + 1), 0);
            return i;
        };
        const int n = fill();
        std::vector<double> fast(n, -7.0), text(n, -7.0);
        ASSERT_EQ(TclArrayToC(interp, x, fast.data(), n, 0, 'D'), n);
        fill();
        for (int i = 0; i < n; ++i) {
            std::string idx = std::to_string(i);
            const char *t = Tcl_GetVar2(interp, "X", idx.c_str(), 0);
            ASSERT_NE(t, nullptr);
            double d;
            if (Tcl_GetDouble(nullptr, t, &d) == TCL_OK) {
                text[i] = d;
            }
            EXPECT_EQ(std::memcmp(&fast[i], &text[i], sizeof(double)), 0)
                << "precision " << precision << ", element " << i << " \"" << t
                << "\": " << fast[i] << " against " << text[i];
        }
    }
    Eval("set ::tcl_precision 0");
}
