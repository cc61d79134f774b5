#include "engine/kxServices.h"

#include "platform/kxPlatformServices.h"

#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

TkxCancelToken::TkxCancelToken() : EventFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TkxCancelToken::~TkxCancelToken() {
    if (EventFd >= 0)
        close(EventFd);
}

void TkxCancelToken::Cancel() {
    if (Cancelled.exchange(true, std::memory_order_acq_rel))
        return;
    if (EventFd >= 0) {
        const std::uint64_t one = 1;
        // The counter cannot overflow on a single write; a failure leaves the flag for pollers.
        [[maybe_unused]] const ssize_t n = write(EventFd, &one, sizeof one);
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
