#pragma once

// A plain TCP screen before any SMB call: libsmbclient waits 5-20 s on a host that drops
// packets, a non-blocking connect answers within the connect time-out. Most addresses of a
// firewalled network drop packets, so the screens of a range's hosts start as soon as the range
// task finds them (ScreenAhead), thousands at once on one thread of its own (epoll), each with
// its own time-out; a host task then takes the verdict or waits for what is left of it. The
// outcome is remembered per host for a short while, so the folders of one share do not screen
// again and again.
//
// How many at once: at most MostSockets sockets (two per host, 445 and 139 in parallel), and
// never more than half the descriptors the process may hold (the soft limit is raised to the
// hard one at start). 4096 sockets screen a /16 of silent addresses in about 32 time-outs,
// cost ~10-20 MB of kernel memory, leave room in the ephemeral port range and in the
// descriptors of the SMB helpers, and stay far below what a stateful firewall on the way keeps
// per second.
//
// Nothing lost: an address that stays silent for the whole time-out is screened once more,
// RetryFactor times as long, when some host of this search answered only after more than half
// the time-out (a slow or distant network, where a silent address may just be late). On a
// network whose hosts answer at once, or where nothing answers, there is no second try.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>
#include <vector>

class TkxCancelToken;

class TkxHostScreen {
public:
    static constexpr std::chrono::milliseconds DefaultLimit{1000};
    // What a user may choose as the connect time-out.
    static constexpr std::chrono::milliseconds MinLimit{50};
    static constexpr std::chrono::milliseconds MaxLimit{60000};
    static constexpr int RetryFactor = 3;
    static constexpr std::size_t MostSockets = 4096;
    // Verdicts held for host tasks that have not come yet; screening ahead pauses beyond it.
    static constexpr std::size_t MostAhead = 65536;
    // Batches of addresses waiting to be screened; more are not taken (their hosts screen when
    // they get there).
    static constexpr std::size_t MostQueuedRuns = 1 << 20;

    explicit TkxHostScreen(std::chrono::milliseconds limit = DefaultLimit,
                           std::chrono::milliseconds remember = std::chrono::seconds(30));
    ~TkxHostScreen();
    TkxHostScreen(const TkxHostScreen&) = delete;
    TkxHostScreen& operator=(const TkxHostScreen&) = delete;

    // The SMB port to use (445, else 139), or 0 with *error set (ECONNREFUSED, ETIMEDOUT,
    // EHOSTUNREACH, ECANCELED, ...; EMFILE and the like when no socket could be had). Safe from
    // many threads.
    std::uint16_t Screen(const std::string& host, const TkxCancelToken& cancel, int* error);

    // The port of a host screened a short while ago and found a server, else 0; never waits.
    std::uint16_t KnownPort(const std::string& host) const;

    // Starts screening these IPv4 addresses (network byte order), in this order.
    void ScreenAhead(const std::vector<std::uint32_t>& networkOrderAddresses);

    // Drops what is remembered about host (a later SMB call found it gone).
    void Forget(const std::string& host);

    // Forgets every screen ahead and ends those under way at once (a search ended or begins).
    void Clear();

    // The connect time-out of the screens started from now on (clamped to MinLimit-MaxLimit).
    void SetLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds Limit() const;

    struct TFigures {
        std::size_t SocketCap = 0;   // sockets allowed at once
        std::size_t PeakSockets = 0; // most sockets open at once so far
        std::size_t Retried = 0;     // second tries
    };
    TFigures Figures() const;

    // The same probe without the memory and without the thread: ports are tried in parallel
    // and 445 wins when both answer. A name is resolved first (blocking, like any resolver
    // call). The fallback when the thread can not run.
    static std::uint16_t Probe(const std::string& host, std::chrono::milliseconds limit,
                               const TkxCancelToken& cancel, int* error);
    // The socket address of host (an IPv4 or IPv6 literal, else a name resolved blocking)
    // with this port; false with *error set.
    static bool Address(const std::string& host, std::uint16_t port, sockaddr_storage& addr,
                        socklen_t& len, int* error);

    // Raises the soft limit of open descriptors to the hard one (once per process); returns the
    // soft limit in force.
    static std::size_t RaiseDescriptorLimit();

private:
    using Clock = std::chrono::steady_clock;
    struct Outcome {
        std::uint16_t Port = 0;
        int Error = 0;
        Clock::time_point Expires;
    };
    // A host being screened, or screened and not yet taken.
    struct Target {
        enum TState : std::uint8_t { Waiting, Screening, Answered } State = Waiting;
        std::uint16_t Port = 0;
        int Error = 0;
        Clock::time_point AnsweredAt;
    };
    struct Request {
        std::string Host;
        sockaddr_storage Addr{};
        socklen_t Len = 0;
    };
    struct Span {
        std::uint32_t First = 0; // host byte order
        std::uint32_t Count = 0;
    };
    struct Verdict {
        std::string Host;
        std::uint16_t Port = 0;
        int Error = 0;
    };
    // With Mutex held: starts the screen thread once; false when it can not run.
    bool StartThread();
    void Run(int epollFd);
    void Wake();
    // With Mutex held.
    void Remember(const std::string& host, std::uint16_t port, int error);
    // On the screen thread: what to start next, and the verdicts found.
    struct Work {
        std::vector<Request> Urgent, Ahead;
        bool Cleared = false;
        bool Slow = false;
        bool Stopping = false;
    };
    Work TakeWork(std::size_t room, std::uint64_t* generation);
    void Publish(std::vector<Verdict>& verdicts, bool slow, std::size_t open);
    // Ahead requests that found no socket go back to the head of the queue.
    void GiveBack(const std::vector<std::uint32_t>& addresses);

    std::atomic<std::int64_t> LimitMs;
    const std::chrono::milliseconds RememberFor;
    mutable std::mutex Mutex;
    std::condition_variable_any Changed;
    std::unordered_map<std::string, Outcome> Known;  // verdicts taken, for a while
    std::unordered_map<std::string, Target> Targets; // screens ahead and waited for
    std::deque<Span> Queue;                          // addresses to screen ahead, first first
    std::deque<Request> Urgent;                      // a host task waits for these
    std::uint64_t Version = 0;                       // counts changes that waiters look at
    std::uint64_t Generation = 0;                    // counts Clear calls
    bool SlowSeen = false;                           // this search: some answer came late
    bool Stopping = false;
    bool ThreadTried = false;
    bool ThreadRunning = false;
    Clock::time_point LastSweep;
    TFigures Counts;
    int WakeFd = -1;
    std::thread Thread;
};
