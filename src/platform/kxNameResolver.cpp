#include "platform/kxNameResolver.h"

#include "engine/kxServices.h"
#include "platform/kxSmbPaths.h"

#include <ares.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
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

void TkxNameResolver::Clear() {
    std::lock_guard lock(Mutex);
    Entries.clear();
    Queue.clear();
    Urgent.clear();
    ++Version;
    Changed.notify_all();
}

QString TkxNameResolver::Lookup(std::uint32_t address, const TkxCancelToken& cancel, int* error) {
    if (!Channel) {
        *error = ENOSYS;
        return {};
    }
    std::unique_lock lock(Mutex);
    auto [it, added] = Entries.try_emplace(address);
    if (it->second.State == Entry::Queued) {
        Urgent.push_back(address);
        lock.unlock();
        Wake();
        lock.lock();
    }
    // Entries may be cleared or answered meanwhile: look the address up after every wake-up.
    const auto asked = [&]() -> Entry* {
        auto e = Entries.find(address);
        return e == Entries.end() ? nullptr : &e->second;
    };
    for (;;) {
        Entry* e = asked();
        if (!e || Stopping) {
            *error = ETIMEDOUT;
            return {};
        }
        if (e->State == Entry::Answered) {
            QString name = std::move(e->Name);
            Entries.erase(address);
            *error = name.isEmpty() ? ENOENT : 0;
            return name;
        }
        if (cancel.IsCancelled()) {
            *error = ECANCELED;
            return {};
        }
        if (e->State == Entry::Asked && Clock::now() >= e->AskedAt + Bound) {
            // Not waited for any longer; an answer that comes after all is dropped.
            Entries.erase(address);
            *error = ETIMEDOUT;
            return {};
        }
        const std::uint64_t seen = Version;
        const auto changed = [&] { return Version != seen; };
        if (e->State == Entry::Asked)
            Changed.wait_until(lock, cancel.StopToken(), e->AskedAt + Bound, changed);
        else
            Changed.wait(lock, cancel.StopToken(), changed);
    }
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
    it->second.State = Entry::Answered;
    if (name && *name)
        it->second.Name = NameFromServer(name);
    ++Version;
    Changed.notify_all();
}

void TkxNameResolver::Ask() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> asking;
    {
        std::lock_guard lock(Mutex);
        const auto now = Clock::now();
        auto take = [&](std::deque<std::uint32_t>& from, bool anyway) {
            while (!from.empty() && (anyway || InFlight < MostInFlight)) {
                const std::uint32_t a = from.front();
                from.pop_front();
                auto it = Entries.find(a);
                if (it == Entries.end() || it->second.State != Entry::Queued)
                    continue;
                it->second.State = Entry::Asked;
                it->second.AskedAt = now;
                it->second.Ticket = NextTicket++;
                ++InFlight;
                asking.emplace_back(a, it->second.Ticket);
            }
        };
        take(Urgent, true);
        take(Queue, false);
        if (!asking.empty()) {
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
}

void TkxNameResolver::Run() {
    Current = this;
    auto channel = static_cast<ares_channel>(Channel);
    for (;;) {
        {
            std::lock_guard lock(Mutex);
            if (Stopping)
                break;
        }
        Ask();
        ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
        const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
        pollfd fds[ARES_GETSOCK_MAXNUM + 1];
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
        // With no question out there is nothing to time: sleep until woken.
        timeval wait{};
        const timeval* t = ares_timeout(channel, nullptr, &wait);
        const int ms = t ? int(t->tv_sec * 1000 + (t->tv_usec + 999) / 1000) : -1;
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
    }
    ares_destroy(channel); // answers the questions still out, with nothing
    Current = nullptr;
}
