#pragma once

// Inside the helper pool only: one helper process as the pool sees it, shared by the pool's
// process side (kxSmbPool.cpp) and its scheduling of requests (kxSmbPoolSchedule.cpp).

#include "platform/kxSmbPool.h"

#include <algorithm>
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
