/*
 * Team.h --
 *
 *	The helper threads of a long computation (reading records, solving
 *	the surface): a job split into numbered parts, each part computed by
 *	whichever thread takes it.  A caller that wants the same bits
 *	whatever the number of threads splits its work so that no part's
 *	result depends on another part or on the thread that computes it (a
 *	part writes only its own outputs; sums over parts are added in the
 *	parts' order afterwards).
 *
 *	The calling thread works on the parts too and is the only one that
 *	touches the interpreter: parts never call Tcl.  A team has
 *	ThreadCount() threads by default: the processors the system reports,
 *	at most kMaxThreads, less those that other work keeps busy (the
 *	load average, on Linux), or the number in the environment variable
 *	KARDUM_THREADS (1 computes everything on the calling thread; the
 *	tests use it to compare the results of one and two threads).  Where
 *	the C++ library has no threads (mingw-w64's win32 flavour), every
 *	team has one thread.  Internal to the library.
 */

#ifndef KARDUM_GRID_TEAM_H
#define KARDUM_GRID_TEAM_H

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define KARDUM_HAVE_THREADS 0
#else
#define KARDUM_HAVE_THREADS 1
#endif

namespace kardum::package {

constexpr int kMaxThreads = 8;

/* The threads a team gets: KARDUM_THREADS when it holds a number from 1
 * to kMaxThreads, else the processors (at most kMaxThreads) that the load
 * average leaves idle, at least 1; 1 without threads. */
int ThreadCount();

/* Whether KARDUM_THREADS sets the count (then every job, however small,
 * takes it). */
bool ThreadCountSet();

class Team {
public:
    explicit Team(int threads = ThreadCount());
    ~Team();
    Team(const Team &) = delete;
    Team &operator=(const Team &) = delete;

    int Size() const { return size_; }

    /* Calls f(part) once for every part from 0 to parts - 1, spread over
     * the threads, and returns when all are done.  An exception thrown
     * by a part is rethrown here (the lowest part's, when several throw),
     * after every part has ended. */
    void Run(int parts, const std::function<void(int)> &f);

private:
    struct Shared;
    int size_ = 1;
    std::unique_ptr<Shared> shared_;
};

/* Parts of about `grain` items each over `count` items (at least one). */
inline int PartsOf(std::size_t count, std::size_t grain)
{
    std::size_t parts = (count + grain - 1) / grain;
    return parts < 1 ? 1 : static_cast<int>(parts);
}

} // namespace kardum::package

#endif /* KARDUM_GRID_TEAM_H */
