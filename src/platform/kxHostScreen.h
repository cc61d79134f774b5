#pragma once

// A plain TCP screen before any SMB call: libsmbclient waits 5-20 s on a host that drops
// packets, a non-blocking connect answers within a second. The outcome is remembered per host
// for a short while, so the folders of one share do not screen again and again.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class TkxCancelToken;

class TkxHostScreen {
public:
    explicit TkxHostScreen(std::chrono::milliseconds limit = std::chrono::milliseconds(1000),
                           std::chrono::milliseconds remember = std::chrono::seconds(30));

    // The SMB port to use (445, else 139), or 0 with *error set (ECONNREFUSED, ETIMEDOUT,
    // EHOSTUNREACH, ECANCELED, ...). Safe from many threads.
    std::uint16_t Screen(const std::string& host, const TkxCancelToken& cancel, int* error);

    // Drops what is remembered about host (a later SMB call found it gone).
    void Forget(const std::string& host);

    // The same probe without the memory: ports are tried in parallel and 445 wins when both
    // answer. A name is resolved first (blocking, like any resolver call).
    static std::uint16_t Probe(const std::string& host, std::chrono::milliseconds limit,
                               const TkxCancelToken& cancel, int* error);

private:
    struct Outcome {
        std::uint16_t Port = 0;
        int Error = 0;
        std::chrono::steady_clock::time_point Expires;
    };
    std::chrono::milliseconds Limit;
    std::chrono::milliseconds Remember;
    std::mutex Mutex;
    std::unordered_map<std::string, Outcome> Known;
};
