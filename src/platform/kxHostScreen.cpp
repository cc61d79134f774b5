#include "platform/kxHostScreen.h"

#include "engine/kxServices.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Once 139 has answered, 445 gets this long to answer too before 139 is taken.
constexpr auto PreferenceGrace = std::chrono::milliseconds(250);
// Only used when the cancel token has no eventfd.
constexpr int CancelCheckMs = 100;
constexpr std::size_t MaxRemembered = 4096;

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

struct Attempt {
    std::uint16_t Port = 0;
    int Fd = -1;
    bool Done = false; // answered: Ok or Error says how
    bool Ok = false;
    int Error = 0;

    ~Attempt() {
        if (Fd >= 0) {
            // A probe leaves nothing behind: reset instead of an orderly close and TIME_WAIT.
            const linger hard{1, 0};
            setsockopt(Fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            close(Fd);
        }
    }
    void Finish(int err) {
        Done = true;
        Ok = err == 0;
        Error = err;
    }
};

} // namespace

TkxHostScreen::TkxHostScreen(std::chrono::milliseconds limit, std::chrono::milliseconds remember)
    : Limit(limit), Remember(remember) {}

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
        if (smb.Ok)
            return 445;
        if (netbios.Ok && smb.Done)
            return 139;
        if (smb.Done && netbios.Done) {
            *error = smb.Error ? smb.Error : netbios.Error;
            return 0;
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

std::uint16_t TkxHostScreen::Screen(const std::string& host, const TkxCancelToken& cancel,
                                    int* error) {
    int ignored = 0;
    if (!error)
        error = &ignored;
    {
        std::lock_guard lock(Mutex);
        const auto it = Known.find(host);
        if (it != Known.end()) {
            if (Clock::now() < it->second.Expires) {
                *error = it->second.Error;
                return it->second.Port;
            }
            Known.erase(it);
        }
    }
    const std::uint16_t port = Probe(host, Limit, cancel, error);
    if (*error == ECANCELED)
        return 0;
    std::lock_guard lock(Mutex);
    const auto now = Clock::now();
    if (Known.size() >= MaxRemembered) {
        std::erase_if(Known, [now](const auto& item) { return item.second.Expires <= now; });
        if (Known.size() >= MaxRemembered)
            Known.clear();
    }
    Known[host] = Outcome{port, port ? 0 : *error, now + Remember};
    return port;
}

void TkxHostScreen::Forget(const std::string& host) {
    std::lock_guard lock(Mutex);
    Known.erase(host);
}
