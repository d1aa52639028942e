// Several interpreters on several threads at once, one interpreter per
// thread and each created on its own thread, run the same workload of
// every command (callbacks, the seed, grids, fits, and calls that fail);
// each must produce
// exactly what one interpreter produces alone.  A worker that kept state
// between calls, or shared scratch between interpreters, would make the
// results depend on what the other threads are doing.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Workload.h"
#include "kardum.h"

namespace {

std::string RunWorkload()
{
    Tcl_Interp *interp = Tcl_CreateInterp();
    std::string result;
    if (Kardum_Init(interp) == TCL_OK && Tcl_Eval(interp, kardum_test::kWorkload) == TCL_OK) {
        result = Tcl_GetStringResult(interp);
        if (Tcl_Eval(interp, kardum_test::kErrorWorkload) == TCL_OK) {
            result += "\n";
            result += Tcl_GetStringResult(interp);
        } else {
            result = std::string("workload failed: ") + Tcl_GetStringResult(interp);
        }
    } else {
        result = std::string("workload failed: ") + Tcl_GetStringResult(interp);
    }
    Tcl_DeleteInterp(interp);
    return result;
}

TEST(Threads, InterpretersOnSeveralThreadsMatchOneAlone)
{
    const std::string expected = RunWorkload();
    ASSERT_EQ(expected.find("workload failed"), std::string::npos) << expected;

    constexpr int kThreads = 4;
    constexpr int kRounds = 20;
    std::vector<std::vector<std::string>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&results, t] {
            for (int round = 0; round < kRounds; ++round) {
                results[t].push_back(RunWorkload());
            }
            Tcl_FinalizeThread();
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(results[t].size(), static_cast<std::size_t>(kRounds));
        for (int round = 0; round < kRounds; ++round) {
            EXPECT_EQ(results[t][round], expected) << "thread " << t << ", round " << round;
        }
    }
}

} // namespace
