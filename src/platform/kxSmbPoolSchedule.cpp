// The helper pool's scheduling of requests: which helper a request gets (one connected to its
// share, else a fresh one, else the longest idle), when a new helper may start, who waits, and
// where a helper goes when its request is done. Every member here but Acquire and Release runs
// with Mutex held.

#include "platform/kxSmbPool.h"

#include "platform/kxSmbPoolHelper.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <stop_token>

void TkxSmbPool::Leaving(Helper& h) {
    if (!h.Served && Sizer)
        Sizer->Fresh(-1, std::chrono::steady_clock::now());
    h.Served = true;
}

std::unique_ptr<TkxSmbPool::Helper> TkxSmbPool::Started(std::unique_lock<std::mutex>& lock,
                                                        int* error) {
    ++Live;
    Seen.Peak = std::max(Seen.Peak, Live);
    ++Seen.Started;
    const std::uint64_t generation = Generation;
    if (Sizer)
        Sizer->Fresh(+1, std::chrono::steady_clock::now());
    lock.unlock();
    std::unique_ptr<Helper> h = Spawn(error);
    lock.lock();
    if (!h) {
        --Live;
        if (Sizer)
            Sizer->Fresh(-1, std::chrono::steady_clock::now());
        return nullptr;
    }
    h->Generation = generation;
    return h;
}

std::unique_ptr<TkxSmbPool::Helper> TkxSmbPool::Acquire(const std::string& key,
                                                        const TkxCancelToken& cancel, int* error) {
    std::unique_lock lock(Mutex);
    for (;;) {
        if (cancel.IsCancelled()) {
            *error = ECANCELED;
            return nullptr;
        }
        if (std::unique_ptr<Helper> h = TakeIdle(lock, key))
            return h;
        if (Live < Max) {
            std::unique_ptr<Helper> h = Started(lock, error);
            if (!h) {
                WakeToLookAgain(1);
                return nullptr;
            }
            Busy.push_back(h->Pid);
            // A walk fans out right after its first folders: one more helper started now
            // loads its libraries (tens of milliseconds) while this one works, instead of
            // when the next request has to wait for it.
            if (Live < Max && Idle.empty()) {
                int ignored = 0;
                if (std::unique_ptr<Helper> reserve = Started(lock, &ignored))
                    Place(std::move(reserve));
            }
            return h;
        }
        if (Sizer)
            Sizer->Waited();
        const auto me = std::make_shared<Waiter>();
        me->Key = &key;
        Waiters.push_back(me);
        lock.unlock();
        {
            const std::stop_callback onCancel(cancel.StopToken(), [&me] { me->Wake(); });
            me->Wait();
        }
        if (me->Answered.load(std::memory_order_acquire) && me->Given && !cancel.IsCancelled())
            return std::move(me->Given);
        lock.lock();
        if (!me->Answered.load(std::memory_order_relaxed)) {
            std::erase(Waiters, me); // cancelled before an answer
            continue;
        }
        if (me->Given) {
            // Cancelled after all: the helper goes to the next in line.
            std::erase(Busy, me->Given->Pid);
            Place(std::move(me->Given));
            *error = ECANCELED;
            return nullptr;
        }
        if (me->LookAgain && cancel.IsCancelled())
            WakeToLookAgain(1); // the room is someone else's now
    }
}

std::unique_ptr<TkxSmbPool::Helper> TkxSmbPool::TakeIdle(std::unique_lock<std::mutex>& lock,
                                                         const std::string& key) {
    for (;;) {
        auto pick =
            std::find_if(Idle.begin(), Idle.end(), [&](const auto& h) { return h->Knows(key); });
        if (pick == Idle.end())
            pick = std::find_if(Idle.begin(), Idle.end(),
                                [](const auto& h) { return h->Keys.empty(); });
        if (pick == Idle.end() && !Idle.empty())
            pick = Idle.begin(); // the longest idle
        // Helpers kept while a growth is judged may be idle beyond the number allowed at once.
        if (pick == Idle.end() || int(Busy.size()) >= Max)
            return nullptr;
        std::unique_ptr<Helper> h = std::move(*pick);
        Idle.erase(pick);
        if (!h->LooksAlive()) {
            Leaving(*h);
            lock.unlock();
            Destroy(std::move(h));
            lock.lock();
            --Live;
            continue;
        }
        Busy.push_back(h->Pid);
        return h;
    }
}

void TkxSmbPool::Place(std::unique_ptr<Helper> h) {
    auto to = std::find_if(Waiters.begin(), Waiters.end(),
                           [&](const auto& w) { return h->Knows(*w->Key); });
    if (to == Waiters.end())
        to = Waiters.begin();
    if (to == Waiters.end() || int(Busy.size()) >= Max) {
        Idle.push_back(std::move(h));
        return;
    }
    const std::shared_ptr<Waiter> w = std::move(*to);
    Waiters.erase(to);
    Busy.push_back(h->Pid);
    w->Given = std::move(h);
    w->Answered.store(true, std::memory_order_release);
    w->Wake();
}

void TkxSmbPool::WakeToLookAgain(int count) {
    while (count-- > 0 && !Waiters.empty()) {
        const std::shared_ptr<Waiter> w = std::move(Waiters.front());
        Waiters.erase(Waiters.begin());
        w->LookAgain = true;
        w->Answered.store(true, std::memory_order_release);
        w->Wake();
    }
}

void TkxSmbPool::Completed(Helper& h) {
    if (!h.Served) {
        Leaving(h);
        return; // its first request: connection set-up, not the pool at work
    }
    if (!Sizer)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!Sizer->Completed(now))
        return;
    const int demand = int(Busy.size() + Waiters.size());
    const int allowed = Sizer->Judge(now, MachineIdleSeconds(), demand);
    // What the pool chose and why, for benchmarks on machines of other shapes.
    static const bool debug = std::getenv("ORVANE_SMB_POOL_DEBUG") != nullptr;
    if (debug)
        std::fprintf(stderr,
                     "orvane smb pool: %d requests want a helper, %d alive, %.2f cores idle, "
                     "%.0f requests/s: %d allowed\n",
                     demand, Live, Sizer->LastIdleCores(), Sizer->LastRate(), allowed);
    // More allowed: waiters take the helpers kept idle, or start new ones.
    if (allowed > Max)
        WakeToLookAgain(allowed - int(Busy.size()));
    Max = allowed;
}

int TkxSmbPool::KeepAlive() const {
    return Sizer ? std::max(Max, Sizer->Keep()) : Max;
}

std::vector<std::unique_ptr<TkxSmbPool::Helper>> TkxSmbPool::TakeSurplus(int keep) {
    std::vector<std::unique_ptr<Helper>> surplus;
    while (Live - int(surplus.size()) > keep && !Idle.empty()) {
        surplus.push_back(std::move(Idle.front()));
        Idle.erase(Idle.begin());
        Leaving(*surplus.back());
    }
    return surplus;
}

void TkxSmbPool::Release(std::unique_ptr<Helper> h, bool healthy) {
    std::unique_lock lock(Mutex);
    std::erase(Busy, h->Pid);
    if (healthy)
        Completed(*h);
    const int keepAlive = KeepAlive();
    const bool keep = healthy && h->Generation == Generation && Live <= keepAlive;
    // Fewer helpers kept now: idle ones beyond go first, this one if still too many.
    std::vector<std::unique_ptr<Helper>> gone = TakeSurplus(keep ? keepAlive : keepAlive + 1);
    if (keep && Live - int(gone.size()) <= keepAlive) {
        Place(std::move(h));
    } else {
        Leaving(*h);
        gone.push_back(std::move(h));
    }
    if (!gone.empty()) {
        // Gone before they are counted out, so the pool never holds more processes than
        // allowed.
        lock.unlock();
        for (auto& g : gone)
            Destroy(std::move(g));
        lock.lock();
        Live -= int(gone.size());
        if (Live < Max)
            WakeToLookAgain(Max - Live);
    }
}
