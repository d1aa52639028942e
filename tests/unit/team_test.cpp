// The helper threads of long jobs: every part of a job runs exactly once,
// whatever the number of threads, jobs follow each other without mixing,
// and an exception of a part reaches the caller (the lowest part's).
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "grid/Team.h"

using kardum::package::Team;

TEST(Team, EveryPartOnceAcrossManyJobs)
{
    for (int threads : {1, 2, 3, 8}) {
        Team team(threads);
        for (int job = 0; job < 2000; ++job) {
            int parts = 1 + job % 37;
            std::vector<std::atomic<int>> ran(static_cast<std::size_t>(parts));
            team.Run(parts, [&](int p) { ran[static_cast<std::size_t>(p)].fetch_add(1); });
            for (int p = 0; p < parts; ++p) {
                ASSERT_EQ(ran[static_cast<std::size_t>(p)].load(), 1)
                    << threads << " threads, job " << job << ", part " << p;
            }
        }
    }
}

TEST(Team, LowestFailingPartIsRethrown)
{
    Team team(3);
    try {
        team.Run(50, [](int p) {
            if (p == 7 || p == 31) {
                throw std::runtime_error("part " + std::to_string(p));
            }
        });
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(std::string(e.what()), "part 7");
    }
    /* the team still works after a failed job */
    std::atomic<int> sum{0};
    team.Run(10, [&](int p) { sum += p; });
    EXPECT_EQ(sum.load(), 45);
}
