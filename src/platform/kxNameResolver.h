#pragma once

// Reverse lookups that can not hold a search: many run at once on one thread of their own
// (c-ares), a range's hosts are looked up as soon as the range task finds them, ahead of their
// host tasks, and a host task waits for its name at most Bound after the question went out. A
// name that arrives later is not waited for: the host keeps its address as its name. The
// machine's resolver configuration (/etc/hosts first, then the name servers of resolv.conf) is
// read once, when the resolver starts.

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

class TkxCancelToken;

class TkxNameResolver {
public:
    static constexpr std::chrono::milliseconds Bound{2000};
    // Questions out at once; more wait their turn (unless a host task asks for theirs).
    static constexpr std::size_t MostInFlight = 256;
    // Look-aheads beyond this many waiting are not taken: their hosts ask when they get there.
    static constexpr std::size_t MostQueued = 65536;

    TkxNameResolver();
    ~TkxNameResolver();
    TkxNameResolver(const TkxNameResolver&) = delete;
    TkxNameResolver& operator=(const TkxNameResolver&) = delete;

    // False when c-ares could not be set up (then Lookup always fails with ENOSYS).
    bool Ready() const { return Channel != nullptr; }

    // Starts looking up these addresses (IPv4, network byte order), in this order.
    void LookAhead(const std::vector<std::uint32_t>& addresses);
    // The official name of the address, or empty with *error set (ENOENT no name, ETIMEDOUT
    // none within Bound, ECANCELED). Takes what LookAhead found, or asks now.
    QString Lookup(std::uint32_t address, const TkxCancelToken& cancel, int* error);
    // Forgets every question and answer (a new search).
    void Clear();

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        enum TState { Queued, Asked, Answered } State = Queued;
        std::uint32_t Ticket = 0; // tells a late answer to an earlier question apart
        Clock::time_point AskedAt;
        QString Name;
    };

    void Run();
    // Hands the next questions to c-ares (on the resolver's thread).
    void Ask();
    void Answer(std::uint32_t address, std::uint32_t ticket, const char* name);
    void Wake();
    static void OnAnswer(void* arg, int status, int timeouts, struct hostent* host);

    void* Channel = nullptr; // ares_channel, used on the resolver's thread only
    int WakeFd = -1;
    std::mutex Mutex;
    std::condition_variable_any Changed;
    std::unordered_map<std::uint32_t, Entry> Entries;
    std::deque<std::uint32_t> Queue;  // look-aheads waiting to be asked, first first
    std::deque<std::uint32_t> Urgent; // a host task waits for these: asked at once
    std::size_t InFlight = 0;
    std::uint32_t NextTicket = 1;
    std::uint64_t Version = 0; // counts changes that waiters look at
    bool Stopping = false;
    std::thread Thread;
};
