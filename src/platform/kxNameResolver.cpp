#include "platform/kxNameResolver.h"

#include "engine/kxServices.h"
#include "platform/kxNetbios.h"
#include "platform/kxSmbPaths.h"

#include <ares.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

namespace {

// The resolver whose thread is running the c-ares calls (answers arrive inside them).
thread_local TkxNameResolver* Current = nullptr;

void* TicketArg(std::uint32_t address, std::uint32_t ticket) {
    return reinterpret_cast<void*>((std::uintptr_t(ticket) << 32) | address);
}

ares_channel MakeChannel(int timeoutMs) {
    ares_options options{};
    options.timeout = timeoutMs;
    options.tries = 2;
    ares_channel channel = nullptr;
    if (ares_init_options(&channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) != ARES_SUCCESS)
        return nullptr;
    return channel;
}

} // namespace

TkxNameResolver::TkxNameResolver() {
    static const int initialised = ares_library_init(ARES_LIB_INIT_ALL);
    if (initialised != ARES_SUCCESS)
        return;
    // Two tries of every server, all within Bound: c-ares doubles the time of the second try.
    constexpr int Total = int(Bound.count()) * 1000 / 3100;
    ares_channel channel = MakeChannel(Total);
    if (!channel)
        return;
    ares_options saved{};
    int savedMask = 0;
    int servers = 1;
    if (ares_save_options(channel, &saved, &savedMask) == ARES_SUCCESS) {
        servers = std::max(1, saved.nservers);
        ares_destroy_options(&saved);
    }
    if (servers > 1) {
        ares_destroy(channel);
        channel = MakeChannel(std::max(100, Total / servers));
        if (!channel)
            return;
    }
    WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (WakeFd < 0) {
        ares_destroy(channel);
        return;
    }
    // Errors queued on the socket tell a host that refuses NetBIOS (ICMP port unreachable)
    // from one that is slow to answer.
    NetbiosFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (NetbiosFd >= 0 && setsockopt(NetbiosFd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0) {
        close(NetbiosFd);
        NetbiosFd = -1;
    }
    Channel = channel;
    Thread = std::thread([this] { Run(); });
}

TkxNameResolver::~TkxNameResolver() {
    if (!Channel)
        return;
    {
        std::lock_guard lock(Mutex);
        Stopping = true;
        ++Version;
    }
    Wake();
    Changed.notify_all();
    Thread.join();
    close(WakeFd);
    if (NetbiosFd >= 0)
        close(NetbiosFd);
}

void TkxNameResolver::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(WakeFd, &one, sizeof one);
}

void TkxNameResolver::LookAhead(const std::vector<std::uint32_t>& addresses) {
    if (!Channel)
        return;
    bool added = false;
    {
        std::lock_guard lock(Mutex);
        for (std::uint32_t a : addresses) {
            if (Entries.size() >= MostQueued)
                break;
            if (Entries.try_emplace(a).second) {
                Queue.push_back(a);
                added = true;
            }
        }
    }
    if (added)
        Wake();
}

void TkxNameResolver::SetNetbios(bool on) {
    Netbios.store(on, std::memory_order_relaxed);
}

void TkxNameResolver::Clear() {
    std::lock_guard lock(Mutex);
    Entries.clear();
    Queue.clear();
    Urgent.clear();
    NbSteps = {};
    NbWaiting.clear();
    NbUrgent.clear();
    NbInFlight = 0;
    Forwards.clear();
    ForwardQueue.clear();
    ++Version;
    Changed.notify_all();
}

QString TkxNameResolver::Lookup(std::uint32_t address, const TkxCancelToken& cancel, int* error,
                                TWait wait) {
    if (!Channel) {
        *error = ENOSYS;
        return {};
    }
    std::unique_lock lock(Mutex);
    if (wait == TWait::None) {
        const auto it = Entries.find(address);
        QString name;
        if (it != Entries.end()) {
            const Entry& e = it->second;
            name = e.State == Entry::Answered && !e.Name.isEmpty() ? e.Name : e.NbName;
            Erase(it);
        }
        *error = name.isEmpty() ? ENOENT : 0;
        return name;
    }
    auto [it, added] = Entries.try_emplace(address);
    if (it->second.State == Entry::Queued) {
        Urgent.push_back(address);
        lock.unlock();
        Wake();
        lock.lock();
    }
    // Entries may be cleared or answered meanwhile: look the address up after every wake-up.
    for (;;) {
        const auto found = Entries.find(address);
        if (found == Entries.end() || Stopping) {
            *error = ETIMEDOUT;
            return {};
        }
        Entry& e = found->second;
        const auto now = Clock::now();
        if (e.State == Entry::Answered && !e.Name.isEmpty()) {
            QString name = std::move(e.Name);
            Erase(found);
            *error = 0;
            return name;
        }
        const bool dnsOver =
            e.State == Entry::Answered || (e.State == Entry::Asked && now >= e.AskedAt + Bound);
        if (dnsOver) {
            const bool netbiosOut = e.Nb == Entry::NbDue || e.Nb == Entry::NbOut;
            if (!netbiosOut || (e.Nb == Entry::NbOut && now >= NetbiosDeadline(e))) {
                // Not waited for any longer; an answer that comes after all is dropped.
                QString name = std::move(e.NbName);
                *error = !name.isEmpty()                             ? 0
                         : e.State == Entry::Answered && !netbiosOut ? ENOENT
                                                                     : ETIMEDOUT;
                Erase(found);
                return name;
            }
            if (wait == TWait::Dns) {
                *error = EINPROGRESS;
                return {};
            }
            // Still waiting its turn: this host is worth it now.
            if (e.Nb == Entry::NbDue && !e.NbUrgent) {
                e.NbUrgent = true;
                NbUrgent.push_back(address);
                lock.unlock();
                Wake();
                lock.lock();
                continue;
            }
        }
        if (cancel.IsCancelled()) {
            *error = ECANCELED;
            return {};
        }
        const std::uint64_t seen = Version;
        const auto changed = [&] { return Version != seen; };
        if (e.State == Entry::Asked && !dnsOver)
            Changed.wait_until(lock, cancel.StopToken(), e.AskedAt + Bound, changed);
        else if (e.Nb == Entry::NbOut)
            Changed.wait_until(lock, cancel.StopToken(), NetbiosDeadline(e), changed);
        else
            Changed.wait(lock, cancel.StopToken(), changed);
    }
}

TkxNameResolver::Clock::time_point TkxNameResolver::NetbiosDeadline(const Entry& e) {
    return std::max(e.AskedAt + Bound, e.NbSentAt + NetbiosBound);
}

void TkxNameResolver::Erase(TEntries::iterator it) {
    if (it->second.Nb == Entry::NbOut && NbInFlight > 0)
        --NbInFlight;
    Entries.erase(it);
}

void TkxNameResolver::NetbiosDone(Entry& e, QString name) {
    if (e.Nb == Entry::NbOut && NbInFlight > 0)
        --NbInFlight;
    e.Nb = Entry::NbDone;
    e.NbName = std::move(name);
}

void TkxNameResolver::NetbiosAt(std::uint32_t address, Entry& e, Clock::time_point when) {
    e.NbAt = when;
    NbSteps.emplace(when, address);
}

bool TkxNameResolver::Confirms(std::uint32_t address, const QString& name,
                               const TkxCancelToken& cancel, int* error) {
    if (!Channel) {
        *error = ENOSYS;
        return false;
    }
    std::unique_lock lock(Mutex);
    // Only a name DNS gave for the address is asked about (its answer queued the question): a
    // NetBIOS name is no DNS name, and asking for it would only hold the host.
    const auto it = Forwards.find(address);
    if (it == Forwards.end() || it->second.Name.compare(name, Qt::CaseInsensitive) != 0) {
        *error = ENOENT;
        return false;
    }
    for (;;) {
        const auto f = Forwards.find(address);
        if (f == Forwards.end() || Stopping) {
            *error = ETIMEDOUT;
            return false;
        }
        if (f->second.State == Entry::Answered) {
            const bool confirmed = f->second.Confirmed;
            *error = f->second.Found ? 0 : ENOENT;
            Forwards.erase(f);
            return confirmed;
        }
        if (cancel.IsCancelled()) {
            *error = ECANCELED;
            return false;
        }
        const auto until = f->second.AskedAt + Bound;
        if (f->second.State == Entry::Asked && Clock::now() >= until) {
            Forwards.erase(f);
            *error = ETIMEDOUT;
            return false;
        }
        const std::uint64_t seen = Version;
        const auto changed = [&] { return Version != seen; };
        if (f->second.State == Entry::Asked)
            Changed.wait_until(lock, cancel.StopToken(), until, changed);
        else
            Changed.wait(lock, cancel.StopToken(), changed);
    }
}

void TkxNameResolver::QueueForward(std::uint32_t address, const QString& name) {
    Forward& f = Forwards[address];
    f = Forward{};
    f.Name = name;
    ForwardQueue.push_back(address);
}

void TkxNameResolver::OnForward(void* arg, int status, int, hostent* host) {
    const auto bits = reinterpret_cast<std::uintptr_t>(arg);
    if (Current)
        Current->Forwarded(std::uint32_t(bits & 0xFFFFFFFFu), std::uint32_t(bits >> 32),
                           status == ARES_SUCCESS ? host : nullptr);
}

void TkxNameResolver::Forwarded(std::uint32_t address, std::uint32_t ticket, const hostent* host) {
    std::lock_guard lock(Mutex);
    if (InFlight > 0)
        --InFlight;
    auto it = Forwards.find(address);
    if (it == Forwards.end() || it->second.Ticket != ticket || it->second.State != Entry::Asked)
        return;
    Forward& f = it->second;
    f.State = Entry::Answered;
    if (host && host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list) {
        for (char** a = host->h_addr_list; *a; ++a) {
            f.Found = true;
            f.Confirmed = f.Confirmed || std::memcmp(*a, &address, 4) == 0;
        }
    }
    ++Version;
    Changed.notify_all();
}

void TkxNameResolver::OnAnswer(void* arg, int status, int, hostent* host) {
    const auto bits = reinterpret_cast<std::uintptr_t>(arg);
    const char* name = status == ARES_SUCCESS && host && host->h_name ? host->h_name : nullptr;
    if (Current)
        Current->Answer(std::uint32_t(bits & 0xFFFFFFFFu), std::uint32_t(bits >> 32), name);
}

void TkxNameResolver::Answer(std::uint32_t address, std::uint32_t ticket, const char* name) {
    std::lock_guard lock(Mutex);
    if (InFlight > 0)
        --InFlight;
    auto it = Entries.find(address);
    if (it == Entries.end() || it->second.Ticket != ticket || it->second.State != Entry::Asked)
        return;
    Entry& e = it->second;
    e.State = Entry::Answered;
    if (name && *name) {
        e.Name = NameFromServer(name);
        if (e.Nb == Entry::NbDue)
            e.Nb = Entry::NbNone;
        // Asked forward right away (this thread's next round), ahead of the connection; an
        // answer from /etc/hosts comes inside Ask, whose caller would sleep on without a wake.
        if (Forwards.size() < MostQueued && IsWireHostName(e.Name)) {
            QueueForward(address, e.Name);
            Wake();
        }
    } else if (e.Nb == Entry::NbDue) {
        NetbiosAt(address, e, Clock::now()); // no need to wait for the head start
    }
    ++Version;
    Changed.notify_all();
}

void TkxNameResolver::Ask() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> asking;
    std::vector<std::tuple<std::uint32_t, std::uint32_t, QByteArray>> forwards;
    {
        std::lock_guard lock(Mutex);
        const auto now = Clock::now();
        const bool netbios = NetbiosFd >= 0 && Netbios.load(std::memory_order_relaxed);
        auto take = [&](std::deque<std::uint32_t>& from, bool anyway) {
            while (!from.empty() && (anyway || InFlight < MostInFlight)) {
                const std::uint32_t a = from.front();
                from.pop_front();
                auto it = Entries.find(a);
                if (it == Entries.end() || it->second.State != Entry::Queued)
                    continue;
                Entry& e = it->second;
                e.State = Entry::Asked;
                e.AskedAt = now;
                e.Ticket = NextTicket++;
                ++InFlight;
                if (netbios) {
                    e.Nb = Entry::NbDue;
                    NetbiosAt(a, e, now + NetbiosHeadStart);
                }
                asking.emplace_back(a, it->second.Ticket);
            }
        };
        take(Urgent, true);
        take(Queue, false);
        // Few, and each follows an answer: asked at once.
        while (!ForwardQueue.empty()) {
            const std::uint32_t a = ForwardQueue.front();
            ForwardQueue.pop_front();
            auto it = Forwards.find(a);
            if (it == Forwards.end() || it->second.State != Entry::Queued)
                continue;
            it->second.State = Entry::Asked;
            it->second.AskedAt = now;
            it->second.Ticket = NextTicket++;
            ++InFlight;
            forwards.emplace_back(a, it->second.Ticket, it->second.Name.toUtf8());
        }
        if (!asking.empty() || !forwards.empty()) {
            ++Version; // waiters now know when their bound ends
            Changed.notify_all();
        }
    }
    // Answers from /etc/hosts come at once, inside the call: the lock is not held.
    for (const auto& [address, ticket] : asking) {
        in_addr a{};
        a.s_addr = address;
        ares_gethostbyaddr(static_cast<ares_channel>(Channel), &a, sizeof a, AF_INET, OnAnswer,
                           TicketArg(address, ticket));
    }
    for (const auto& [address, ticket, name] : forwards)
        ares_gethostbyname(static_cast<ares_channel>(Channel), name.constData(), AF_INET, OnForward,
                           TicketArg(address, ticket));
}

void TkxNameResolver::AskNetbios() {
    if (NetbiosFd < 0)
        return;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> sending;
    {
        std::lock_guard lock(Mutex);
        const auto now = Clock::now();
        bool changed = false;
        const auto send = [&](std::uint32_t a, Entry& e) {
            if (e.Nb == Entry::NbDue) {
                e.Nb = Entry::NbOut;
                e.NbSentAt = now;
                ++NbInFlight;
            }
            ++e.NbSends;
            const auto deadline = NetbiosDeadline(e);
            NetbiosAt(a, e,
                      e.NbSends < NetbiosSends ? std::min(now + NetbiosRetry, deadline) : deadline);
            sending.emplace_back(a, static_cast<std::uint16_t>(e.Ticket));
            changed = true; // a waiter now knows when its bound ends
        };
        const auto due = [&](std::uint32_t a) -> Entry* {
            const auto it = Entries.find(a);
            return it != Entries.end() && it->second.Nb == Entry::NbDue ? &it->second : nullptr;
        };
        for (; !NbUrgent.empty(); NbUrgent.pop_front()) {
            if (Entry* e = due(NbUrgent.front()))
                send(NbUrgent.front(), *e);
        }
        while (!NbSteps.empty() && NbSteps.top().first <= now) {
            const auto [when, a] = NbSteps.top();
            NbSteps.pop();
            const auto it = Entries.find(a);
            if (it == Entries.end() || it->second.NbAt != when)
                continue;
            Entry& e = it->second;
            if (e.Nb == Entry::NbDue) {
                if (NbInFlight < MostInFlight)
                    send(a, e);
                else
                    NbWaiting.push_back(a);
            } else if (e.Nb == Entry::NbOut) {
                if (e.NbSends < NetbiosSends && now < NetbiosDeadline(e)) {
                    send(a, e);
                } else {
                    NetbiosDone(e, {});
                    changed = true;
                }
            }
        }
        for (; !NbWaiting.empty() && NbInFlight < MostInFlight; NbWaiting.pop_front()) {
            if (Entry* e = due(NbWaiting.front()))
                send(NbWaiting.front(), *e);
        }
        if (changed) {
            ++Version;
            Changed.notify_all();
        }
    }
    for (const auto& [address, id] : sending)
        SendNetbios(address, id);
}

void TkxNameResolver::SendNetbios(std::uint32_t address, std::uint16_t id) {
    const std::string request = NetbiosStatusRequest(id);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(NetbiosNamePort);
    to.sin_addr.s_addr = address;
    // A refusal of an earlier question may be reported on this call instead: try once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sendto(NetbiosFd, request.data(), request.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0)
            return;
        // Full buffers: the next send of this question, or its bound, follows.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR)
            return;
    }
    // No route, a broadcast address, a firewall: no answer will come.
    std::lock_guard lock(Mutex);
    const auto it = Entries.find(address);
    if (it != Entries.end() && it->second.Nb == Entry::NbOut) {
        NetbiosDone(it->second, {});
        ++Version;
        Changed.notify_all();
    }
}

void TkxNameResolver::ReadNetbios() {
    // Bounded batches: a flood of packets must not starve the DNS side of the loop.
    constexpr int MostPerWake = 1024;
    std::vector<std::pair<std::uint32_t, TkxNetbiosStatus>> answers;
    std::vector<std::uint32_t> refused;
    char buffer[8192]; // more than the largest node status (255 names)
    for (int n = 0; n < MostPerWake; ++n) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t got = recvfrom(NetbiosFd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            continue; // a refusal reported here instead of in the error queue
        }
        TkxNetbiosStatus status;
        if (std::size_t(got) > sizeof buffer || from.sin_family != AF_INET ||
            !ParseNetbiosStatus(std::string_view(buffer, std::size_t(got)), status))
            continue;
        answers.emplace_back(from.sin_addr.s_addr, std::move(status));
    }
    for (int n = 0; n < MostPerWake; ++n) {
        sockaddr_in to{};
        alignas(cmsghdr) char control[512];
        iovec iov{buffer, sizeof buffer};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof to;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (recvmsg(NetbiosFd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            break;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
                continue;
            sock_extended_err ee{};
            std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
            if (ee.ee_origin == SO_EE_ORIGIN_ICMP && to.sin_family == AF_INET)
                refused.push_back(to.sin_addr.s_addr);
        }
    }
    if (answers.empty() && refused.empty())
        return;
    std::lock_guard lock(Mutex);
    bool changed = false;
    const auto out = [&](std::uint32_t a) -> Entry* {
        const auto it = Entries.find(a);
        return it != Entries.end() && it->second.Nb == Entry::NbOut ? &it->second : nullptr;
    };
    for (auto& [address, status] : answers) {
        // The answer to this question, from the address it was sent to.
        Entry* e = out(address);
        if (e && static_cast<std::uint16_t>(e->Ticket) == status.Id) {
            NetbiosDone(*e, std::move(status.Name));
            changed = true;
        }
    }
    for (const std::uint32_t address : refused) {
        if (Entry* e = out(address)) {
            NetbiosDone(*e, {});
            changed = true;
        }
    }
    if (changed) {
        ++Version;
        Changed.notify_all();
    }
}

void TkxNameResolver::Run() {
    Current = this;
    auto channel = static_cast<ares_channel>(Channel);
    for (;;) {
        Clock::time_point nextStep = Clock::time_point::max();
        {
            std::lock_guard lock(Mutex);
            if (Stopping)
                break;
        }
        Ask();
        AskNetbios();
        {
            std::lock_guard lock(Mutex);
            if (!NbSteps.empty())
                nextStep = NbSteps.top().first;
        }
        ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
        const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
        pollfd fds[ARES_GETSOCK_MAXNUM + 2];
        nfds_t n = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            const bool read = ARES_GETSOCK_READABLE(bits, i);
            const bool write = ARES_GETSOCK_WRITABLE(bits, i);
            if (!read && !write)
                continue;
            fds[n++] = {sockets[i], short((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0};
        }
        const nfds_t socketCount = n;
        fds[n++] = {WakeFd, POLLIN, 0};
        if (NetbiosFd >= 0)
            fds[n++] = {NetbiosFd, POLLIN, 0};
        // With no question out there is nothing to time: sleep until woken.
        timeval wait{};
        const timeval* t = ares_timeout(channel, nullptr, &wait);
        int ms = t ? int(t->tv_sec * 1000 + (t->tv_usec + 999) / 1000) : -1;
        if (nextStep != Clock::time_point::max()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(nextStep - Clock::now()).count();
            const int stepMs = int(std::clamp<std::int64_t>(left, 0, Bound.count()));
            ms = ms < 0 ? stepMs : std::min(ms, stepMs);
        }
        if (poll(fds, n, ms) < 0 && errno != EINTR)
            break;
        if (fds[socketCount].revents) {
            std::uint64_t drained = 0;
            [[maybe_unused]] const ssize_t r = read(WakeFd, &drained, sizeof drained);
        }
        for (nfds_t i = 0; i < socketCount; ++i) {
            const bool readable = fds[i].revents & (POLLIN | POLLERR | POLLHUP);
            const bool writable = fds[i].revents & POLLOUT;
            if (readable || writable)
                ares_process_fd(channel, readable ? fds[i].fd : ARES_SOCKET_BAD,
                                writable ? fds[i].fd : ARES_SOCKET_BAD);
        }
        // Questions whose time has run out end here.
        ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        if (NetbiosFd >= 0 && fds[socketCount + 1].revents)
            ReadNetbios();
    }
    ares_destroy(channel); // answers the questions still out, with nothing
    Current = nullptr;
}
