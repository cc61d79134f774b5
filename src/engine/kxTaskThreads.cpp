#include "engine/kxTaskThreads.h"

#include "model/kxErrors.h"

#include <pthread.h>

TkxTaskThreads::~TkxTaskThreads() {
    Join();
}

void TkxTaskThreads::Run(std::function<void()> task, std::function<void()> done) {
    std::unique_lock lock(Mutex);
    if (Closing)
        throw EkxError(QStringLiteral("The search has ended"));
    if (!Parked.empty()) {
        TMember* member = Parked.back();
        Parked.pop_back();
        member->Task = std::move(task);
        member->Done = std::move(done);
        if (Holding > 0) {
            Held.push_back(member);
            return;
        }
        // Woken after the lock is let go, so that it need not wait for it; a member stays
        // where it is until the destructor.
        lock.unlock();
        member->Wake.notify_one();
        return;
    }
    // Started under the lock, so that Join never misses a thread.
    TMember& member = Members.emplace_back();
    member.Task = std::move(task);
    member.Done = std::move(done);
    try {
        member.Thread = std::thread([this, &member] { Loop(member); });
    } catch (...) {
        Members.pop_back();
        throw;
    }
}

void TkxTaskThreads::Loop(TMember& self) {
    // Named apart from the manager that starts it, so a profile tells them apart.
    pthread_setname_np(pthread_self(), "orvane-worker");
    std::unique_lock lock(Mutex);
    for (;;) {
        std::function<void()> task = std::exchange(self.Task, nullptr);
        std::function<void()> done = std::exchange(self.Done, nullptr);
        lock.unlock();
        task();
        task = nullptr; // what the task holds (its worker) goes before anyone is told
        lock.lock();
        Parked.push_back(&self);
        lock.unlock();
        if (done)
            done();
        done = nullptr;
        lock.lock();
        self.Wake.wait(lock, [&] { return self.Task || Closing; });
        if (!self.Task)
            return;
    }
}

TkxTaskThreads::THeldWakes::THeldWakes(TkxTaskThreads& threads) : Threads(threads) {
    std::lock_guard lock(Threads.Mutex);
    ++Threads.Holding;
}

TkxTaskThreads::THeldWakes::~THeldWakes() {
    std::vector<TMember*> wake;
    {
        std::lock_guard lock(Threads.Mutex);
        if (--Threads.Holding == 0)
            wake.swap(Threads.Held);
    }
    for (TMember* member : wake)
        member->Wake.notify_one();
}

void TkxTaskThreads::Join() {
    {
        std::lock_guard lock(Mutex);
        Closing = true;
        for (TMember* member : Parked)
            member->Wake.notify_one();
        // Members given a task whose wake-up is still held run it now.
        for (TMember* member : Held)
            member->Wake.notify_one();
        Held.clear();
    }
    // No member is added once Closing is set.
    for (TMember& member : Members) {
        if (member.Thread.joinable())
            member.Thread.join();
    }
}
