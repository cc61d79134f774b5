#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

// The threads the workers of one search run on; its manager owns them. Creating a thread costs
// far more than most tasks here (~0.7 ms on small virtual machines), so a task runs on a parked
// thread when one is free. A task never waits for a thread: when all are busy (a let-go worker
// may still be leaving a slow call), another one starts.
class TkxTaskThreads {
public:
    TkxTaskThreads() = default;
    // Joins every thread (see Join).
    ~TkxTaskThreads();
    TkxTaskThreads(const TkxTaskThreads&) = delete;
    TkxTaskThreads& operator=(const TkxTaskThreads&) = delete;

    // Runs `task` on a thread of these; `done` runs once that thread is parked again, so whoever
    // it wakes can hand the next task to this very thread instead of starting another. Throws
    // when no thread can be had, or after Join.
    void Run(std::function<void()> task, std::function<void()> done);
    // Waits until every task has ended, then ends the threads. A task must be able to end by
    // itself: a let-go worker's calls are cancelled, so it ends soon.
    void Join();

    // Holds back the wake-ups of Run while it lives: a manager starts workers while it holds
    // their slot's lock, which each woken thread takes first thing, so woken at once it would
    // only block on that lock (two context switches more per task). Make it before the lock.
    class THeldWakes {
    public:
        explicit THeldWakes(TkxTaskThreads& threads);
        ~THeldWakes();
        THeldWakes(const THeldWakes&) = delete;
        THeldWakes& operator=(const THeldWakes&) = delete;

    private:
        TkxTaskThreads& Threads;
    };

private:
    struct TMember {
        std::function<void()> Task, Done;
        std::condition_variable Wake;
        std::thread Thread;
    };
    void Loop(TMember& self);

    std::mutex Mutex;
    std::list<TMember> Members; // a list: a running thread keeps its member's address
    std::vector<TMember*> Parked;
    std::vector<TMember*> Held; // given a task, to be woken when the last THeldWakes goes
    int Holding = 0;
    bool Closing = false;
};
