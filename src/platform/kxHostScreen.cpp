#include "platform/kxHostScreen.h"

#include "engine/kxServices.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <queue>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <tuple>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Once 139 has answered, 445 gets this long to answer too before 139 is taken.
constexpr auto PreferenceGrace = std::chrono::milliseconds(250);
// Only used when the cancel token has no eventfd.
constexpr int CancelCheckMs = 100;
constexpr std::size_t MaxRemembered = 16384;
// A verdict screened ahead that no host task took for this long is dropped when room is
// needed (its host was never searched after all).
constexpr auto AheadKeep = std::chrono::minutes(10);
// Fewer sockets than this at once would make a range of silent hosts crawl.
constexpr std::size_t FewestSockets = 64;

bool Resolve(const std::string& host, sockaddr_storage& addr, socklen_t& len, int* error) {
    std::memset(&addr, 0, sizeof addr);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        len = sizeof(sockaddr_in);
        return true;
    }
    std::string literal = host;
    if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (inet_pton(AF_INET6, literal.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        len = sizeof(sockaddr_in6);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        *error = EHOSTUNREACH;
        return false;
    }
    std::memcpy(&addr, found->ai_addr, std::min<std::size_t>(found->ai_addrlen, sizeof addr));
    len = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

void SetPort(sockaddr_storage& addr, std::uint16_t port) {
    if (addr.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(port);
    else
        reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(port);
}

// No socket to be had for now: not a verdict about the host.
bool IsShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
           error == EADDRNOTAVAIL;
}

void HardClose(int fd) {
    // A probe leaves nothing behind: reset instead of an orderly close and TIME_WAIT.
    const linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

struct Attempt {
    std::uint16_t Port = 0;
    int Fd = -1;
    bool Done = false; // answered: Ok or Error says how
    bool Ok = false;
    int Error = 0;

    void Finish(int err) {
        Done = true;
        Ok = err == 0;
        Error = err;
    }
    void Close() {
        if (Fd >= 0)
            HardClose(Fd);
        Fd = -1;
    }
};

// What both ports said so far: 445 when it connects, 139 once 445 has given up, an error when
// both have; nothing yet otherwise.
enum class TCall { Open, Smb, Netbios, Failed };
TCall Judge(const Attempt& smb, const Attempt& netbios) {
    if (smb.Ok)
        return TCall::Smb;
    if (netbios.Ok && smb.Done)
        return TCall::Netbios;
    if (smb.Done && netbios.Done)
        return TCall::Failed;
    return TCall::Open;
}

std::string Dotted(std::uint32_t hostOrder) {
    char text[INET_ADDRSTRLEN];
    const in_addr a{htonl(hostOrder)};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

} // namespace

bool TkxHostScreen::Address(const std::string& host, std::uint16_t port, sockaddr_storage& addr,
                            socklen_t& len, int* error) {
    if (!Resolve(host, addr, len, error))
        return false;
    SetPort(addr, port);
    return true;
}

TkxHostScreen::TkxHostScreen(std::chrono::milliseconds limit, std::chrono::milliseconds remember)
    : LimitMs(std::clamp(limit, MinLimit, MaxLimit).count()), RememberFor(remember) {}

TkxHostScreen::~TkxHostScreen() {
    {
        std::lock_guard lock(Mutex);
        Stopping = true;
        ++Version;
    }
    Changed.notify_all();
    if (Thread.joinable()) {
        Wake();
        Thread.join();
    }
    if (WakeFd >= 0)
        close(WakeFd);
}

std::size_t TkxHostScreen::RaiseDescriptorLimit() {
    static const std::size_t soft = [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return std::size_t(1024);
        if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < limit.rlim_max) {
            rlimit raised = limit;
            raised.rlim_cur = limit.rlim_max;
            if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
                limit = raised;
        }
        return limit.rlim_cur == RLIM_INFINITY ? std::size_t(1) << 20 : std::size_t(limit.rlim_cur);
    }();
    return soft;
}

void TkxHostScreen::SetLimit(std::chrono::milliseconds limit) {
    LimitMs.store(std::clamp(limit, MinLimit, MaxLimit).count(), std::memory_order_relaxed);
}

std::chrono::milliseconds TkxHostScreen::Limit() const {
    return std::chrono::milliseconds(LimitMs.load(std::memory_order_relaxed));
}

TkxHostScreen::TFigures TkxHostScreen::Figures() const {
    std::lock_guard lock(Mutex);
    return Counts;
}

void TkxHostScreen::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(WakeFd, &one, sizeof one);
}

bool TkxHostScreen::StartThread() {
    if (ThreadTried)
        return ThreadRunning;
    ThreadTried = true;
    Counts.SocketCap = std::clamp(RaiseDescriptorLimit() / 2, FewestSockets, MostSockets);
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = ~std::uint64_t(0);
    if (epollFd < 0 || WakeFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, WakeFd, &wake) != 0) {
        if (epollFd >= 0)
            close(epollFd);
        return false;
    }
    try {
        Thread = std::thread([this, epollFd] {
            Run(epollFd);
            close(epollFd);
        });
    } catch (...) {
        close(epollFd);
        return false;
    }
    ThreadRunning = true;
    return true;
}

void TkxHostScreen::Remember(const std::string& host, std::uint16_t port, int error) {
    const auto now = Clock::now();
    if (Known.size() >= MaxRemembered) {
        std::erase_if(Known, [now](const auto& item) { return item.second.Expires <= now; });
        if (Known.size() >= MaxRemembered)
            Known.clear();
    }
    Known[host] = Outcome{port, port ? 0 : error, now + RememberFor};
}

std::uint16_t TkxHostScreen::KnownPort(const std::string& host) const {
    std::lock_guard lock(Mutex);
    const auto it = Known.find(host);
    return it != Known.end() && Clock::now() < it->second.Expires ? it->second.Port : 0;
}

std::uint16_t TkxHostScreen::Screen(const std::string& host, const TkxCancelToken& cancel,
                                    int* error) {
    int ignored = 0;
    if (!error)
        error = &ignored;
    *error = 0;
    if (cancel.IsCancelled()) {
        *error = ECANCELED;
        return 0;
    }
    std::unique_lock lock(Mutex);
    // Without the screen thread (it could not start, or failed) the caller screens alone.
    const auto alone = [&] {
        if (const auto it = Known.find(host); it != Known.end()) {
            if (Clock::now() < it->second.Expires) {
                *error = it->second.Error;
                return it->second.Port;
            }
            Known.erase(it);
        }
        lock.unlock();
        const std::uint16_t port = Probe(host, Limit(), cancel, error);
        if (*error == ECANCELED)
            return std::uint16_t(0);
        lock.lock();
        Remember(host, port, *error);
        return port;
    };
    if (!StartThread())
        return alone();
    for (;;) {
        if (Stopping) {
            *error = ECANCELED;
            return 0;
        }
        if (!ThreadRunning)
            return alone();
        if (const auto it = Known.find(host); it != Known.end()) {
            if (Clock::now() < it->second.Expires) {
                *error = it->second.Error;
                return it->second.Port;
            }
            Known.erase(it);
        }
        const auto it = Targets.find(host);
        if (it == Targets.end()) {
            // Not screened ahead: screened now, before anything that waits its turn.
            Request request;
            request.Host = host;
            lock.unlock();
            const bool resolved = Resolve(host, request.Addr, request.Len, error);
            lock.lock();
            if (!resolved) {
                Remember(host, 0, *error);
                return 0;
            }
            if (Known.count(host) || Targets.count(host))
                continue; // someone else asked meanwhile
            Targets.emplace(host, Target{});
            Urgent.push_back(std::move(request));
            Wake();
            continue;
        }
        if (it->second.State == Target::Answered) {
            const std::uint16_t port = it->second.Port;
            *error = port ? 0 : it->second.Error;
            Targets.erase(it);
            Remember(host, port, *error);
            // Screening ahead waits for room below MostAhead.
            if (Targets.size() + 1 == MostAhead && !Queue.empty())
                Wake();
            return port;
        }
        if (cancel.IsCancelled()) {
            *error = ECANCELED;
            return 0;
        }
        const std::uint64_t seen = Version;
        Changed.wait(lock, cancel.StopToken(), [&] { return Version != seen; });
    }
}

void TkxHostScreen::ScreenAhead(const std::vector<std::uint32_t>& networkOrderAddresses) {
    if (networkOrderAddresses.empty())
        return;
    std::lock_guard lock(Mutex);
    if (!StartThread())
        return;
    for (const std::uint32_t a : networkOrderAddresses) {
        const std::uint32_t h = ntohl(a);
        if (!Queue.empty() && Queue.back().Count < 0xFFFFFFFFu &&
            Queue.back().First + Queue.back().Count == h) {
            ++Queue.back().Count;
            continue;
        }
        if (Queue.size() >= MostQueuedRuns)
            break;
        Queue.push_back({h, 1});
    }
    Wake();
}

void TkxHostScreen::Forget(const std::string& host) {
    std::lock_guard lock(Mutex);
    Known.erase(host);
    if (const auto it = Targets.find(host);
        it != Targets.end() && it->second.State == Target::Answered)
        Targets.erase(it);
}

void TkxHostScreen::Clear() {
    {
        std::lock_guard lock(Mutex);
        if (!ThreadRunning)
            return;
        Targets.clear();
        Queue.clear();
        Urgent.clear();
        SlowSeen = false;
        ++Generation;
        ++Version;
    }
    Changed.notify_all();
    Wake();
}

TkxHostScreen::Work TkxHostScreen::TakeWork(std::size_t room, std::uint64_t* generation) {
    Work work;
    std::lock_guard lock(Mutex);
    work.Stopping = Stopping;
    if (*generation != Generation) {
        *generation = Generation;
        work.Cleared = true;
    }
    work.Slow = SlowSeen;
    for (Request& r : Urgent) {
        const auto it = Targets.find(r.Host);
        if (it == Targets.end() || it->second.State != Target::Waiting)
            continue;
        it->second.State = Target::Screening;
        work.Urgent.push_back(std::move(r));
    }
    Urgent.clear();

    const auto now = Clock::now();
    if (Targets.size() >= MostAhead && now - LastSweep > std::chrono::seconds(1)) {
        LastSweep = now;
        std::erase_if(Targets, [now](const auto& item) {
            return item.second.State == Target::Answered &&
                   now - item.second.AnsweredAt > AheadKeep;
        });
    }
    while (room > 0 && !Queue.empty() && Targets.size() < MostAhead) {
        Span& run = Queue.front();
        const std::uint32_t h = run.First++;
        if (--run.Count == 0)
            Queue.pop_front();
        Request r;
        r.Host = Dotted(h);
        if (const auto known = Known.find(r.Host);
            known != Known.end() && now < known->second.Expires)
            continue;
        Target screening;
        screening.State = Target::Screening;
        if (!Targets.try_emplace(r.Host, screening).second)
            continue;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&r.Addr);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(h);
        r.Len = sizeof(sockaddr_in);
        work.Ahead.push_back(std::move(r));
        --room;
    }
    return work;
}

void TkxHostScreen::GiveBack(const std::vector<std::uint32_t>& addresses) {
    std::lock_guard lock(Mutex);
    for (auto a = addresses.rbegin(); a != addresses.rend(); ++a) {
        const auto it = Targets.find(Dotted(*a));
        if (it == Targets.end() || it->second.State != Target::Screening)
            continue; // cleared meanwhile, or a host task asks for it: it starts anyway
        Targets.erase(it);
        Queue.push_front({*a, 1});
    }
}

void TkxHostScreen::Publish(std::vector<Verdict>& verdicts, bool slow, std::size_t open) {
    {
        std::lock_guard lock(Mutex);
        Counts.PeakSockets = std::max(Counts.PeakSockets, open);
        if (slow)
            SlowSeen = true;
        if (verdicts.empty())
            return;
        const auto now = Clock::now();
        for (Verdict& v : verdicts) {
            const auto it = Targets.find(v.Host);
            if (it == Targets.end() || it->second.State != Target::Screening)
                continue;
            it->second.State = Target::Answered;
            it->second.Port = v.Port;
            it->second.Error = v.Error;
            it->second.AnsweredAt = now;
        }
        ++Version;
    }
    verdicts.clear();
    Changed.notify_all();
}

namespace {

// One host under screen on the screen thread.
struct Probing {
    std::string Host;
    sockaddr_storage Addr{};
    socklen_t Len = 0;
    Attempt Ports[2];
    Clock::time_point Started, Deadline;
    std::chrono::milliseconds FirstLimit{0};
    bool Grace = false;
    bool Second = false;
    bool Live = false;
    std::uint32_t Gen = 0;
};

} // namespace

void TkxHostScreen::Run(int epollFd) {
    std::vector<Probing> probes;
    std::vector<std::uint32_t> spare; // indexes of probes no longer live
    using Due = std::tuple<Clock::time_point, std::uint32_t, std::uint32_t>; // when, index, gen
    std::priority_queue<Due, std::vector<Due>, std::greater<>> deadlines;
    std::vector<Verdict> verdicts;
    std::vector<Request> postponed; // waited for, and no socket to be had yet
    std::uint64_t generation = 0;
    std::size_t open = 0;
    std::size_t cap = 0;
    {
        std::lock_guard lock(Mutex);
        cap = Counts.SocketCap;
    }
    const std::size_t fullCap = cap;
    std::size_t openAtShortage = 0;
    bool slow = false;
    bool slowNew = false;

    const auto closeProbe = [&](std::uint32_t i) {
        Probing& p = probes[i];
        for (Attempt& a : p.Ports) {
            if (a.Fd >= 0) {
                a.Close();
                --open;
            }
        }
        p.Live = false;
        ++p.Gen;
        spare.push_back(i);
    };
    const auto finish = [&](std::uint32_t i, std::uint16_t port, int error) {
        verdicts.push_back({std::move(probes[i].Host), port, error});
        closeProbe(i);
    };
    // 0, or the shortage that kept the sockets from being opened (none is left open then).
    const auto connectBoth = [&](std::uint32_t i, Clock::time_point now,
                                 std::chrono::milliseconds limit) -> int {
        Probing& p = probes[i];
        p.Ports[0] = Attempt{445};
        p.Ports[1] = Attempt{139};
        for (int k = 0; k < 2; ++k) {
            Attempt& a = p.Ports[k];
            a.Fd = socket(p.Addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int error = a.Fd < 0 ? errno : 0;
            if (a.Fd >= 0) {
                ++open;
                SetPort(p.Addr, a.Port);
                if (connect(a.Fd, reinterpret_cast<const sockaddr*>(&p.Addr), p.Len) == 0) {
                    a.Finish(0);
                    continue;
                }
                error = errno;
                if (error == EINPROGRESS) {
                    epoll_event ev{};
                    ev.events = EPOLLOUT;
                    ev.data.u64 =
                        (std::uint64_t(p.Gen) << 32) | (std::uint64_t(i) << 1) | std::uint64_t(k);
                    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, a.Fd, &ev) == 0)
                        continue;
                    error = errno;
                }
            }
            if (IsShortage(error)) {
                for (Attempt& b : p.Ports) {
                    if (b.Fd >= 0) {
                        b.Close();
                        --open;
                    }
                }
                return error;
            }
            a.Finish(error);
        }
        p.Started = now;
        p.Deadline = now + limit;
        deadlines.emplace(p.Deadline, i, p.Gen);
        return 0;
    };
    const auto judge = [&](std::uint32_t i, Clock::time_point now) {
        Probing& p = probes[i];
        switch (Judge(p.Ports[0], p.Ports[1])) {
        case TCall::Smb:
            finish(i, 445, 0);
            return;
        case TCall::Netbios:
            finish(i, 139, 0);
            return;
        case TCall::Failed:
            finish(i, 0, p.Ports[0].Error ? p.Ports[0].Error : p.Ports[1].Error);
            return;
        case TCall::Open:
            break;
        }
        if (p.Ports[1].Ok && !p.Grace) {
            p.Grace = true;
            if (now + PreferenceGrace < p.Deadline) {
                p.Deadline = now + PreferenceGrace;
                deadlines.emplace(p.Deadline, i, p.Gen);
            }
        }
    };
    const auto start = [&](Request& r, Clock::time_point now) -> int {
        std::uint32_t i;
        if (!spare.empty()) {
            i = spare.back();
            spare.pop_back();
        } else {
            i = std::uint32_t(probes.size());
            probes.emplace_back();
        }
        Probing& p = probes[i];
        p.Host = std::move(r.Host);
        p.Addr = r.Addr;
        p.Len = r.Len;
        p.FirstLimit = Limit();
        p.Grace = false;
        p.Second = false;
        p.Live = true;
        if (const int shortage = connectBoth(i, now, p.FirstLimit)) {
            r.Host = std::move(p.Host);
            p.Live = false;
            ++p.Gen;
            spare.push_back(i);
            return shortage;
        }
        judge(i, now);
        return 0;
    };

    epoll_event events[256];
    for (;;) {
        const std::size_t room = open < cap ? (cap - open) / 2 : 0;
        Work work = TakeWork(room, &generation);
        if (work.Stopping)
            break;
        if (work.Cleared) {
            for (std::uint32_t i = 0; i < probes.size(); ++i) {
                if (probes[i].Live)
                    closeProbe(i);
            }
            deadlines = {};
            postponed.clear();
            verdicts.clear();
            slowNew = false;
            cap = fullCap; // a shortage of the last search may have passed
            openAtShortage = 0;
        }
        slow = work.Slow || slowNew;
        auto now = Clock::now();
        // Those waited for go first, and are not held back by the cap: a host task per slot.
        if (!postponed.empty() && (open < openAtShortage || open == 0)) {
            for (Request& r : postponed)
                work.Urgent.push_back(std::move(r));
            postponed.clear();
        }
        for (Request& r : work.Urgent) {
            if (const int shortage = start(r, now)) {
                if (open == 0) {
                    verdicts.push_back({std::move(r.Host), 0, shortage});
                } else {
                    openAtShortage = open;
                    cap = std::max<std::size_t>(2, open);
                    postponed.push_back(std::move(r));
                }
            }
        }
        std::vector<std::uint32_t> back;
        for (Request& r : work.Ahead) {
            if (!back.empty()) {
                back.push_back(ntohl(reinterpret_cast<sockaddr_in*>(&r.Addr)->sin_addr.s_addr));
                continue;
            }
            const int shortage = start(r, now);
            if (shortage == 0)
                continue;
            if (open == 0) {
                // Not one socket to be had: a failure its host task reports, not a verdict.
                verdicts.push_back({std::move(r.Host), 0, shortage});
                continue;
            }
            // Fewer descriptors than hoped for: the cap follows what the system gives, and the
            // rest waits for sockets to close.
            cap = std::max<std::size_t>(2, open);
            back.push_back(ntohl(reinterpret_cast<sockaddr_in*>(&r.Addr)->sin_addr.s_addr));
        }
        if (!back.empty())
            GiveBack(back);
        Publish(verdicts, slowNew, open);

        int waitMs = -1;
        while (!deadlines.empty()) {
            const auto& [when, i, gen] = deadlines.top();
            const Probing& p = probes[i];
            if (!p.Live || p.Gen != gen || p.Deadline != when) {
                deadlines.pop();
                continue;
            }
            now = Clock::now();
            waitMs = when <= now
                         ? 0
                         : int(std::chrono::ceil<std::chrono::milliseconds>(when - now).count());
            break;
        }
        const int ready = epoll_wait(epollFd, events, int(std::size(events)), waitMs);
        if (ready < 0 && errno != EINTR)
            break;
        now = Clock::now();
        for (int e = 0; e < ready; ++e) {
            const std::uint64_t data = events[e].data.u64;
            if (data == ~std::uint64_t(0)) {
                std::uint64_t drained = 0;
                [[maybe_unused]] const ssize_t n = read(WakeFd, &drained, sizeof drained);
                continue;
            }
            const auto i = std::uint32_t((data & 0xFFFFFFFFu) >> 1);
            const int k = int(data & 1);
            if (i >= probes.size() || !probes[i].Live || probes[i].Gen != std::uint32_t(data >> 32))
                continue;
            Probing& p = probes[i];
            Attempt& a = p.Ports[k];
            if (a.Done)
                continue;
            int soError = 0;
            socklen_t soLen = sizeof soError;
            if (getsockopt(a.Fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) != 0)
                soError = errno;
            a.Finish(soError);
            epoll_ctl(epollFd, EPOLL_CTL_DEL, a.Fd, nullptr);
            // The host itself answered (accepted or refused): how long it took tells how
            // far away the network is.
            if ((soError == 0 || soError == ECONNREFUSED) && now - p.Started > p.FirstLimit / 2 &&
                !slow) {
                slow = true;
                slowNew = true;
            }
            judge(i, now);
        }
        while (!deadlines.empty()) {
            const auto [when, i, gen] = deadlines.top();
            if (when > now)
                break;
            deadlines.pop();
            Probing& p = probes[i];
            if (!p.Live || p.Gen != gen || p.Deadline != when)
                continue;
            if (p.Ports[1].Ok) {
                finish(i, 139, 0);
            } else if (!p.Second && slow) {
                // Silent while others answered late: once more, for longer.
                for (Attempt& a : p.Ports) {
                    if (a.Fd >= 0) {
                        a.Close();
                        --open;
                    }
                }
                p.Second = true;
                p.Grace = false;
                ++p.Gen;
                {
                    std::lock_guard lock(Mutex);
                    ++Counts.Retried;
                }
                const auto longer = std::min<std::chrono::milliseconds>(p.FirstLimit * RetryFactor,
                                                                        MaxLimit * RetryFactor);
                if (connectBoth(i, now, longer) != 0)
                    finish(i, 0, ETIMEDOUT);
                else
                    judge(i, now);
            } else {
                finish(i, 0, ETIMEDOUT);
            }
        }
        Publish(verdicts, slowNew, open);
    }
    for (std::uint32_t i = 0; i < probes.size(); ++i) {
        if (probes[i].Live)
            closeProbe(i);
    }
    {
        std::lock_guard lock(Mutex);
        ThreadRunning = false;
        Targets.clear();
        Queue.clear();
        Urgent.clear();
        ++Version;
    }
    Changed.notify_all();
}

std::uint16_t TkxHostScreen::Probe(const std::string& host, std::chrono::milliseconds limit,
                                   const TkxCancelToken& cancel, int* error) {
    int ignored = 0;
    if (!error)
        error = &ignored;
    *error = 0;
    if (cancel.IsCancelled()) {
        *error = ECANCELED;
        return 0;
    }
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (!Resolve(host, addr, len, error))
        return 0;

    Attempt attempts[2];
    attempts[0].Port = 445;
    attempts[1].Port = 139;
    struct Closer {
        Attempt* A;
        ~Closer() {
            A[0].Close();
            A[1].Close();
        }
    } closer{attempts};
    for (Attempt& a : attempts) {
        a.Fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (a.Fd < 0) {
            a.Finish(errno);
            continue;
        }
        SetPort(addr, a.Port);
        if (connect(a.Fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0)
            a.Finish(0);
        else if (errno != EINPROGRESS)
            a.Finish(errno);
    }

    Attempt& smb = attempts[0];
    Attempt& netbios = attempts[1];
    auto deadline = Clock::now() + limit;
    bool graceSet = false;
    for (;;) {
        switch (Judge(smb, netbios)) {
        case TCall::Smb:
            return 445;
        case TCall::Netbios:
            return 139;
        case TCall::Failed:
            *error = smb.Error ? smb.Error : netbios.Error;
            return 0;
        case TCall::Open:
            break;
        }
        if (netbios.Ok && !graceSet) {
            deadline = std::min(deadline, Clock::now() + PreferenceGrace);
            graceSet = true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            if (netbios.Ok)
                return 139;
            *error = ETIMEDOUT;
            return 0;
        }
        int waitMs =
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());

        pollfd fds[3];
        Attempt* owners[3] = {};
        nfds_t n = 0;
        for (Attempt& a : attempts) {
            if (!a.Done) {
                fds[n] = {a.Fd, POLLOUT, 0};
                owners[n++] = &a;
            }
        }
        const nfds_t sockets = n;
        if (cancel.Fd() >= 0)
            fds[n++] = {cancel.Fd(), POLLIN, 0};
        else
            waitMs = std::min(waitMs, CancelCheckMs);
        const int ready = poll(fds, n, waitMs);
        if (ready < 0 && errno != EINTR) {
            *error = errno;
            return 0;
        }
        if (cancel.IsCancelled()) {
            *error = ECANCELED;
            return 0;
        }
        for (nfds_t i = 0; i < sockets; ++i) {
            if (fds[i].revents == 0)
                continue;
            int soError = 0;
            socklen_t soLen = sizeof soError;
            if (getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) != 0)
                soError = errno;
            owners[i]->Finish(soError);
        }
    }
}
