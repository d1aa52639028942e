/*
 * Team.cpp --
 *
 *	Helper threads that take numbered parts of a job (see Team.h).
 */

#include "grid/Team.h"

#include <algorithm>
#include <cstdlib>

#if KARDUM_HAVE_THREADS
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace kardum::package {

namespace {

/* KARDUM_THREADS as a count from 1 to kMaxThreads, 0 when unset or not
 * such a number. */
int ThreadsFromEnvironment()
{
    if (const char *env = std::getenv("KARDUM_THREADS")) {
        char *end = nullptr;
        long n = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && n >= 1 && n <= kMaxThreads) {
            return static_cast<int>(n);
        }
    }
    return 0;
}

} // namespace

bool ThreadCountSet()
{
    return ThreadsFromEnvironment() > 0;
}

int ThreadCount()
{
#if KARDUM_HAVE_THREADS
    if (int n = ThreadsFromEnvironment()) {
        return n;
    }
    int cores = static_cast<int>(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1,
                                                      kMaxThreads));
#if defined(__linux__)
    /* Processors the other work on the machine keeps busy are left to it:
     * the parts of a job wait for their slowest thread, and a helper
     * that has to wait for a core delays every step. */
    double load = 0.0;
    if (getloadavg(&load, 1) == 1 && load > 0.0) {
        cores -= static_cast<int>(std::min(load, static_cast<double>(kMaxThreads)));
    }
#endif
    return std::max(cores, 1);
#else
    return 1;
#endif
}

#if KARDUM_HAVE_THREADS

/*
 * A job is published as one 64-bit ticket: its round (24 bits), its count
 * of parts (20 bits) and the next part to take (20 bits).  A thread takes
 * a part by advancing the ticket it read; once it holds a part of a
 * round, that round cannot end, so the job it then reads is that round's.
 * The caller waits for the parts to be completed, not for the helpers, so
 * a helper that wakes late costs nothing; helpers spin a little between
 * jobs before they sleep, as jobs come in quick succession.
 */
struct Team::Shared {
    static constexpr int kPartBits = 20;
    static constexpr unsigned long long kPartMask = (1ull << kPartBits) - 1;
    /* Looks at the ticket before a helper sleeps: some microseconds. */
    static constexpr int kSpin = 4000;

    std::mutex lock;
    std::condition_variable wake;
    std::atomic<unsigned long long> ticket{0};
    std::atomic<int> completed{0};
    std::atomic<bool> quit{false};
    const std::function<void(int)> *job = nullptr;
    std::vector<std::exception_ptr> errors;
    std::vector<std::thread> helpers;

    static unsigned long long Round(unsigned long long t) { return t >> (2 * kPartBits); }

    /* Takes and computes parts while the ticket `seen` has some left;
     * returns the ticket last read. */
    unsigned long long Work(unsigned long long t)
    {
        for (;;) {
            unsigned long long parts = (t >> kPartBits) & kPartMask, part = t & kPartMask;
            if (part >= parts) {
                return t;
            }
            if (!ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel)) {
                continue;               /* t now holds the ticket as it is */
            }
            int p = static_cast<int>(part);
            try {
                (*job)(p);
            } catch (...) {
                errors[static_cast<std::size_t>(p)] = std::current_exception();
            }
            completed.fetch_add(1, std::memory_order_release);
            completed.notify_all();
            t = ticket.load(std::memory_order_acquire);
        }
    }

    void Helper()
    {
        unsigned long long done = 0;    /* the round last worked on */
        for (;;) {
            unsigned long long t = ticket.load(std::memory_order_acquire);
            for (int spin = 0; Round(t) == done && spin < kSpin; ++spin) {
                if (quit.load(std::memory_order_relaxed)) {
                    return;
                }
                t = ticket.load(std::memory_order_acquire);
            }
            if (Round(t) == done) {
                std::unique_lock<std::mutex> hold(lock);
                wake.wait(hold, [&] {
                    return quit.load() || Round(ticket.load(std::memory_order_acquire)) != done;
                });
                if (quit.load()) {
                    return;
                }
                continue;
            }
            done = Round(Work(t));
        }
    }
};

Team::Team(int threads) : size_(std::clamp(threads, 1, kMaxThreads))
{
    if (size_ == 1) {
        return;
    }
    shared_ = std::make_unique<Shared>();
    try {
        for (int t = 1; t < size_; ++t) {
            shared_->helpers.emplace_back([s = shared_.get()] { s->Helper(); });
        }
    } catch (...) {
        /* No more threads to be had: work with those started. */
        size_ = static_cast<int>(shared_->helpers.size()) + 1;
    }
}

Team::~Team()
{
    if (!shared_) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->quit.store(true);
    }
    shared_->wake.notify_all();
    for (std::thread &t : shared_->helpers) {
        t.join();
    }
}

void Team::Run(int parts, const std::function<void(int)> &f)
{
    if (parts <= 0) {
        return;
    }
    if (size_ == 1 || parts == 1 || static_cast<unsigned long long>(parts) > Shared::kPartMask) {
        for (int part = 0; part < parts; ++part) {
            f(part);
        }
        return;
    }
    Shared &s = *shared_;
    s.job = &f;
    s.errors.assign(static_cast<std::size_t>(parts), nullptr);
    s.completed.store(0, std::memory_order_relaxed);
    unsigned long long round = (Shared::Round(s.ticket.load()) + 1) & 0xffffff;
    if (round == 0) {
        round = 1;                      /* 0 is the helpers' first round seen */
    }
    unsigned long long t = (round << (2 * Shared::kPartBits)) |
                           (static_cast<unsigned long long>(parts) << Shared::kPartBits);
    s.ticket.store(t, std::memory_order_release);
    {
        std::lock_guard<std::mutex> hold(s.lock);
    }
    s.wake.notify_all();
    s.Work(t);
    /* The parts still running are the helpers': a short spin, then sleep
     * until one ends (a helper may be waiting for a core). */
    for (int spin = 0;; ++spin) {
        int done = s.completed.load(std::memory_order_acquire);
        if (done >= parts) {
            break;
        }
        if (spin > 1000) {
            s.completed.wait(done, std::memory_order_acquire);
        }
    }
    for (std::exception_ptr &e : s.errors) {
        if (e) {
            std::rethrow_exception(e);
        }
    }
}

#else /* no threads: everything on the calling thread */

struct Team::Shared {};

Team::Team(int) {}

Team::~Team() = default;

void Team::Run(int parts, const std::function<void(int)> &f)
{
    for (int part = 0; part < parts; ++part) {
        f(part);
    }
}

#endif

} // namespace kardum::package
