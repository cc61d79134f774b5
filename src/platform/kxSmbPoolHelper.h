#pragma once

// Inside the helper pool only: one helper process as the pool sees it, shared by the pool's
// process side (kxSmbPool.cpp) and its scheduling of requests (kxSmbPoolSchedule.cpp).

#include "platform/kxSmbPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <poll.h>

// A helper keeps connections to this many servers before it drops them all (the helper does
// the same), so the pool knows which hosts a helper is still connected to.
inline constexpr std::size_t HelperHostMemory = 8;

struct TkxSmbPool::Helper {
    pid_t Pid = -1;
    int PidFd = -1;
    int Sock = -1;
    std::uint64_t Generation = 0;
    bool LoggedIn = false;
    bool RequestSent = false;
    bool Served = false; // has answered a request
    bool Forked = false; // a child of the spawner, which reaps it
    // The shares it is connected to ("host/share", most recent last) and their hosts; the helper
    // drops every connection when a request names one host more than it keeps.
    std::vector<std::string> Keys;
    std::vector<std::string> Hosts;
    std::string In; // received, not yet parsed

    bool Knows(const std::string& key) const {
        return std::find(Keys.begin(), Keys.end(), key) != Keys.end();
    }
    void Visited(const std::string& key) {
        if (Knows(key))
            return;
        const std::string host = key.substr(0, key.find('/'));
        if (std::find(Hosts.begin(), Hosts.end(), host) == Hosts.end()) {
            if (Hosts.size() >= HelperHostMemory) {
                Hosts.clear();
                Keys.clear();
            }
            Hosts.push_back(host);
        }
        Keys.push_back(key);
    }
    // An idle helper has nothing to say; readable or hung up means it died meanwhile.
    bool LooksAlive() const {
        pollfd p{Sock, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
};

// A thread waiting for a helper. A helper let go is handed straight to one waiter (one that
// is connected to its share if there is one), so a release wakes one thread, not all of them.
// The waiter takes its helper without Mutex: woken while the releasing thread still held it,
// it used to block on it at once (a walk lost a context switch or two per folder that way).
// Shared, so that whoever answers may still touch it after the waiter has gone.
struct TkxSmbPool::Waiter {
    const std::string* Key = nullptr;
    // Set with Mutex held, before Answered.
    std::unique_ptr<Helper> Given; // counted in Busy already
    bool LookAgain = false;        // room for one more helper: go through the choice again
    std::atomic<bool> Answered{false};
    // A request that no thread waits on (BeginListDir) is told here instead, Mutex held.
    std::function<void()> Notify;

    // On an answer and on a cancel. A condition variable of its own, not a semaphore:
    // the standard library's semaphore spins with sched_yield before it sleeps, a context
    // switch of its own on a busy machine.
    void Wake() {
        if (Notify) {
            Notify();
            return;
        }
        {
            std::lock_guard lock(WakeMutex);
            Woken = true;
        }
        WakeCond.notify_one();
    }
    void Wait() {
        std::unique_lock lock(WakeMutex);
        WakeCond.wait(lock, [this] { return Woken; });
    }

private:
    std::mutex WakeMutex;
    std::condition_variable WakeCond;
    bool Woken = false;
};
