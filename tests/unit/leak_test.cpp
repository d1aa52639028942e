// Memory the library keeps after its calls return.  valgrind (make
// memcheck) sees blocks the library allocates and loses, but not Tcl
// objects whose reference the library forgets to drop: Tcl's allocator
// keeps its objects in caches that stay reachable.  Here one interpreter
// runs the workload of every command, the failing calls included, many
// times; after the first rounds have filled Tcl's caches and created every
// variable, further rounds reuse what is there, so the heap in use must not
// keep growing (it does not grow at all).  One object lost by a command
// called once per round adds some 50 kilobytes over the rounds.
#include <gtest/gtest.h>

#include <malloc.h>

#include <string>

#include "Workload.h"
#include "kardum.h"

namespace {

std::size_t HeapInUse()
{
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

TEST(Leaks, RepeatedCallsDoNotGrowTheHeap)
{
    if (HeapInUse() == 0) {
        GTEST_SKIP() << "the allocator in use does not report its heap (sanitizer)";
    }
    Tcl_Interp *interp = Tcl_CreateInterp();
    ASSERT_EQ(Kardum_Init(interp), TCL_OK);
    auto round = [interp] {
        ASSERT_EQ(Tcl_Eval(interp, kardum_test::kWorkload), TCL_OK)
            << Tcl_GetStringResult(interp);
        ASSERT_EQ(Tcl_Eval(interp, kardum_test::kErrorWorkload), TCL_OK)
            << Tcl_GetStringResult(interp);
        Tcl_ResetResult(interp);
    };
    for (int i = 0; i < 5; ++i) {
        round();
    }
    const std::size_t before = HeapInUse();
    constexpr int kRounds = 1000;
    for (int i = 0; i < kRounds; ++i) {
        round();
    }
    const std::size_t after = HeapInUse();
    Tcl_DeleteInterp(interp);
    EXPECT_LE(after, before + 16 * 1024)
        << "the heap grew by " << (after - before) << " bytes over " << kRounds << " rounds";
}

} // namespace
