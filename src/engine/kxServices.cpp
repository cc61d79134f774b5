#include "engine/kxServices.h"

#include "platform/kxPlatformServices.h"

#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

TkxCancelToken::TkxCancelToken() = default;

TkxCancelToken::~TkxCancelToken() {
    if (EventFd >= 0)
        close(EventFd);
}

namespace {
void Signal(int fd) {
    const std::uint64_t one = 1;
    // The counter cannot overflow on a single write; a failure leaves the flag for pollers.
    [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}
} // namespace

// Most tasks never wait on a file descriptor (a file, a range, a dead host): the eventfd is
// made only when someone asks for it.
int TkxCancelToken::Fd() const {
    std::lock_guard lock(FdMutex);
    if (EventFd < 0) {
        EventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (EventFd >= 0 && IsCancelled())
            Signal(EventFd);
    }
    return EventFd;
}

void TkxCancelToken::Cancel() {
    if (Cancelled.exchange(true, std::memory_order_acq_rel))
        return;
    {
        std::lock_guard lock(FdMutex);
        if (EventFd >= 0)
            Signal(EventFd);
    }
    Stop.request_stop();
}

namespace {

std::mutex DefaultMutex;
std::shared_ptr<TkxNetServices> DefaultServices;

} // namespace

std::shared_ptr<TkxNetServices> DefaultNetServices() {
    std::lock_guard lock(DefaultMutex);
    if (!DefaultServices)
        DefaultServices = std::make_shared<TkxPlatformServices>();
    return DefaultServices;
}

void SetDefaultNetServices(std::shared_ptr<TkxNetServices> services) {
    std::shared_ptr<TkxNetServices> old;
    {
        std::lock_guard lock(DefaultMutex);
        old = std::exchange(DefaultServices, std::move(services));
    }
    // The old services (and their helper processes) go when their last user lets go, outside
    // the lock.
}
