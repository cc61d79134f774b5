#pragma once

// Reverse lookups that can not hold a search: many run at once on one thread of their own
// (c-ares), a range's hosts are looked up as soon as the range task finds them, ahead of their
// host tasks, and a host task waits for its name at most Bound after the question went out. A
// name that arrives later is not waited for: the host keeps its address as its name. Every
// name DNS gives is looked up forward at once, so that whether it maps back to its address is
// known by the time a connection wants it. The machine's resolver configuration (/etc/hosts
// first, then the name servers of resolv.conf) is read once, when the resolver starts.
//
// Where DNS has no name, the address is asked for its NetBIOS node status (UDP 137, from one
// socket on the same thread), as a workgroup LAN without reverse records names its computers.
// That question goes out when DNS says it has no name, or when DNS has not answered within
// NetbiosHeadStart, so a silent DNS server costs no extra time; DNS's name wins while it comes
// within Bound. A host that refuses the question (ICMP port unreachable) is done at once.

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
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
    // A DNS server on the LAN answers within this; a silent one leaves the rest of Bound to
    // NetBIOS.
    static constexpr std::chrono::milliseconds NetbiosHeadStart{300};
    // The node status question is sent this many times, this far apart (UDP may lose it).
    static constexpr int NetbiosSends = 3;
    static constexpr std::chrono::milliseconds NetbiosRetry{500};
    // A NetBIOS question that a host task had to send itself (all before it were still out)
    // is waited for this long after it went out.
    static constexpr std::chrono::milliseconds NetbiosBound{1500};

    // What a lookup waits for.
    enum class TWait {
        All,  // DNS, then NetBIOS, each within its bound
        Dns,  // DNS only: EINPROGRESS while its NetBIOS question is due or out (ask again)
        None, // nothing more: what has arrived, and the address is forgotten
    };

    TkxNameResolver();
    ~TkxNameResolver();
    TkxNameResolver(const TkxNameResolver&) = delete;
    TkxNameResolver& operator=(const TkxNameResolver&) = delete;

    // False when c-ares could not be set up (then Lookup always fails with ENOSYS).
    bool Ready() const { return Channel != nullptr; }
    // NetBIOS questions for addresses asked from now on (on unless turned off).
    void SetNetbios(bool on);

    // Starts looking up these addresses (IPv4, network byte order), in this order.
    void LookAhead(const std::vector<std::uint32_t>& addresses);
    // The host name of the address, or empty with *error set (ENOENT no name, ETIMEDOUT none
    // within the bound, ECANCELED, EINPROGRESS as above). Takes what LookAhead found, or asks
    // now.
    QString Lookup(std::uint32_t address, const TkxCancelToken& cancel, int* error,
                   TWait wait = TWait::All);
    // Whether the IPv4 addresses of name (its A records, or /etc/hosts) include address: only
    // then is it the host's own name, not merely one its reverse zone claims. Takes the answer
    // to the question Lookup's DNS answer sent; waits at most Bound after it went out (*error
    // ETIMEDOUT; ENOENT when the name has no address or is not one DNS gave, ECANCELED).
    bool Confirms(std::uint32_t address, const QString& name, const TkxCancelToken& cancel,
                  int* error);
    // Forgets every question and answer (a new search).
    void Clear();

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        enum TState { Queued, Asked, Answered } State = Queued;
        std::uint32_t Ticket = 0; // tells a late answer to an earlier question apart
        Clock::time_point AskedAt;
        QString Name;
        // The NetBIOS question: due (at NbAt), out (next send or giving up at NbAt), done.
        enum TNetbios : std::uint8_t { NbNone, NbDue, NbOut, NbDone } Nb = NbNone;
        std::uint8_t NbSends = 0;
        bool NbUrgent = false;
        Clock::time_point NbAt;
        Clock::time_point NbSentAt;
        QString NbName;
    };
    using TEntries = std::unordered_map<std::uint32_t, Entry>;

    // A forward question about the name a reverse lookup gave.
    struct Forward {
        Entry::TState State = Entry::Queued;
        std::uint32_t Ticket = 0;
        Clock::time_point AskedAt;
        QString Name;
        bool Confirmed = false;
        bool Found = false; // the name has an address at all
    };

    void Run();
    // Hands the next questions to c-ares (on the resolver's thread).
    void Ask();
    void Answer(std::uint32_t address, std::uint32_t ticket, const char* name);
    // Sends the NetBIOS questions that are due, again those not answered, gives up on the
    // ones past their bound (on the resolver's thread).
    void AskNetbios();
    void SendNetbios(std::uint32_t address, std::uint16_t id);
    // Takes the NetBIOS answers and refusals that have arrived.
    void ReadNetbios();
    // With Mutex held: the NetBIOS question of this entry has its answer (empty: none).
    void NetbiosDone(Entry& e, QString name);
    // With Mutex held: when a NetBIOS answer stops being waited for.
    static Clock::time_point NetbiosDeadline(const Entry& e);
    // With Mutex held: removes the entry, and its question from those out.
    void Erase(TEntries::iterator it);
    // With Mutex held: the next NetBIOS step of the entry at when.
    void NetbiosAt(std::uint32_t address, Entry& e, Clock::time_point when);
    void Forwarded(std::uint32_t address, std::uint32_t ticket, const struct hostent* host);
    // With Mutex held: a forward question about name queued for address.
    void QueueForward(std::uint32_t address, const QString& name);
    void Wake();
    static void OnAnswer(void* arg, int status, int timeouts, struct hostent* host);
    static void OnForward(void* arg, int status, int timeouts, struct hostent* host);

    void* Channel = nullptr; // ares_channel, used on the resolver's thread only
    int WakeFd = -1;
    int NetbiosFd = -1; // UDP, errors (ICMP) queued on it
    std::atomic<bool> Netbios{true};
    std::mutex Mutex;
    std::condition_variable_any Changed;
    TEntries Entries;
    std::deque<std::uint32_t> Queue;  // look-aheads waiting to be asked, first first
    std::deque<std::uint32_t> Urgent; // a host task waits for these: asked at once
    std::unordered_map<std::uint32_t, Forward> Forwards; // by address
    std::deque<std::uint32_t> ForwardQueue;              // asked at once, like Urgent
    std::size_t InFlight = 0;
    // NetBIOS steps by time (stale ones, whose entry moved on, are skipped), questions due
    // while too many were out, and those a host task waits for.
    using TStep = std::pair<Clock::time_point, std::uint32_t>;
    std::priority_queue<TStep, std::vector<TStep>, std::greater<>> NbSteps;
    std::deque<std::uint32_t> NbWaiting;
    std::deque<std::uint32_t> NbUrgent;
    std::size_t NbInFlight = 0;
    std::uint32_t NextTicket = 1;
    std::uint64_t Version = 0; // counts changes that waiters look at
    bool Stopping = false;
    std::thread Thread;
};
