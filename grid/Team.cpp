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

int ThreadCount()
{
#if KARDUM_HAVE_THREADS
    if (const char *env = std::getenv("KARDUM_THREADS")) {
        char *end = nullptr;
        long n = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && n >= 1 && n <= kMaxThreads) {
            return static_cast<int>(n);
        }
    }
    unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp<unsigned>(cores, 1, kMaxThreads));
#else
    return 1;
#endif
}

#if KARDUM_HAVE_THREADS

struct Team::Shared {
    std::mutex lock;
    std::condition_variable start, done;
    unsigned long long round = 0;       /* bumped for every job */
    bool quit = false;
    const std::function<void(int)> *job = nullptr;
    int parts = 0;
    std::atomic<int> next{0};
    int busy = 0;                       /* helpers still in the round */
    std::vector<std::exception_ptr> errors;
    std::vector<std::thread> helpers;

    /* Takes parts until none is left. */
    void Work()
    {
        for (;;) {
            int part = next.fetch_add(1);
            if (part >= parts) {
                return;
            }
            try {
                (*job)(part);
            } catch (...) {
                errors[static_cast<std::size_t>(part)] = std::current_exception();
            }
        }
    }

    void Helper()
    {
        unsigned long long seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(lock);
                start.wait(hold, [&] { return quit || round != seen; });
                if (quit) {
                    return;
                }
                seen = round;
            }
            Work();
            std::lock_guard<std::mutex> hold(lock);
            if (--busy == 0) {
                done.notify_one();
            }
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
        shared_->quit = true;
    }
    shared_->start.notify_all();
    for (std::thread &t : shared_->helpers) {
        t.join();
    }
}

void Team::Run(int parts, const std::function<void(int)> &f)
{
    if (parts <= 0) {
        return;
    }
    if (size_ == 1 || parts == 1) {
        for (int part = 0; part < parts; ++part) {
            f(part);
        }
        return;
    }
    Shared &s = *shared_;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.job = &f;
        s.parts = parts;
        s.next.store(0);
        s.errors.assign(static_cast<std::size_t>(parts), nullptr);
        s.busy = static_cast<int>(s.helpers.size());
        ++s.round;
    }
    s.start.notify_all();
    s.Work();
    {
        std::unique_lock<std::mutex> hold(s.lock);
        s.done.wait(hold, [&] { return s.busy == 0; });
        s.job = nullptr;
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
