// Preloaded into smbd (through the smbd-latency wrapper) to model a server on a real network:
// every send on a TCP socket first sleeps for the delay held in the file named by
// $ORVANE_LATENCY_FILE (a 32-bit count of microseconds, native byte order). The file is mapped
// shared, so a benchmark changes the delay of a running server between walks. Sleeping costs
// no CPU, so smbd's CPU figures stay those of the work itself.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

std::atomic<const volatile std::uint32_t*> Delay{nullptr};
std::once_flag Mapped;

void Map() {
    const char* path = std::getenv("ORVANE_LATENCY_FILE");
    if (!path || !*path)
        return;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    void* p = mmap(nullptr, sizeof(std::uint32_t), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED)
        Delay.store(static_cast<const volatile std::uint32_t*>(p));
}

// Waits before a send on an IPv4 or IPv6 socket; Unix sockets (smbd's own messaging) and files
// pass at once.
void Wait(int fd) {
    const int saved = errno;
    std::call_once(Mapped, Map);
    const volatile std::uint32_t* d = Delay.load();
    const std::uint32_t us = d ? *d : 0;
    int domain = 0;
    socklen_t len = sizeof domain;
    if (us > 0 && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 &&
        (domain == AF_INET || domain == AF_INET6)) {
        timespec t{time_t(us / 1000000), long(us % 1000000) * 1000};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
    }
    errno = saved;
}

template <class F> F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

ssize_t send(int fd, const void* buf, size_t n, int flags) {
    static const auto real = Next<ssize_t (*)(int, const void*, size_t, int)>("send");
    Wait(fd);
    return real(fd, buf, n, flags);
}

ssize_t sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* to, socklen_t len) {
    static const auto real =
        Next<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
    Wait(fd);
    return real(fd, buf, n, flags, to, len);
}

ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
    static const auto real = Next<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
    Wait(fd);
    return real(fd, msg, flags);
}

ssize_t write(int fd, const void* buf, size_t n) {
    static const auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
    Wait(fd);
    return real(fd, buf, n);
}

ssize_t writev(int fd, const iovec* iov, int count) {
    static const auto real = Next<ssize_t (*)(int, const iovec*, int)>("writev");
    Wait(fd);
    return real(fd, iov, count);
}

} // extern "C"
