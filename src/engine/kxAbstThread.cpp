#include "engine/kxAbstThread.h"

#include "engine/kxTsan.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThreadStorage>

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
// A call waiting on another thread. Deleting it unrun (its receiver is gone) still
// releases the waiter, which then keeps the neutral result.
class TkxSyncEvent : public QEvent {
public:
    static QEvent::Type EventType() {
        static const int type = QEvent::registerEventType();
        return QEvent::Type(type);
    }
    TkxSyncEvent(std::function<void()> call, std::binary_semaphore* done)
        : QEvent(EventType()), Call(std::move(call)), Done(done) {}
    ~TkxSyncEvent() override {
        // Run or dropped with its receiver, on the receiver's thread.
        TsanReceived(this);
        if (Done)
            Done->release();
    }
    void Run() { Call(); }

private:
    std::function<void()> Call;
    std::binary_semaphore* Done;
};

// Qt emits finished() after run() returns: it reads the thread object and allocates the
// notices queued to other threads. QThread::wait() orders all that before the waiter with a
// lock the thread checker can not see; Qt ends the thread's storage after that emission and
// before wait() returns, so the end is marked there too. (The flag is shared: a storage ended
// late could not touch a freed thread object.)
class TkxRunEnd {
public:
    explicit TkxRunEnd(std::shared_ptr<std::atomic<bool>> flag) : Flag(std::move(flag)) {}
    ~TkxRunEnd() { Flag->store(true, std::memory_order_release); }

private:
    std::shared_ptr<std::atomic<bool>> Flag;
};
QThreadStorage<TkxRunEnd*> RunEnds;
} // namespace

bool TkxBridgeTarget::event(QEvent* e) {
    TsanReceived(e);
    if (e->type() == TkxSyncEvent::EventType()) {
        static_cast<TkxSyncEvent*>(e)->Run();
        return true;
    }
    return QObject::event(e);
}

QString SlotStateText(int state) {
    switch (state) {
    case ssIdle:
        return QString();
    case ssWaiting:
        return CurrentText(txtThreadIsWaiting);
    case ssWorking:
        return CurrentText(txtThreadIsWorking);
    case ssDone:
        return QStringLiteral("OK");
    case ssError:
        return CurrentText(txtThreadHasStoppedWithError);
    case ssTimeout:
        return CurrentText(txtThreadHasStoppedWithTimeout);
    default:
        throw EkxError(QStringLiteral("Can not convert state into name"));
    }
}

QString SearchStateText(int state) {
    switch (state) {
    case srNone:
        return QString();
    case srStarted:
        return CurrentText(txtSearchingStarted);
    case srStarting:
        return CurrentText(txtSearchingIsStarting);
    case srWorking:
        return CurrentText(txtSearchingIsWorking);
    case srStopping:
        return CurrentText(txtSearchingIsStopping);
    case srFinished:
        return CurrentText(txtSearchingStoppedSuccessfully);
    case srFailed:
        return CurrentText(txtSearchingStoppedWithError);
    case srUserStopped:
        return CurrentText(txtUserHasStoppedTheSearching);
    default:
        throw EkxError(QStringLiteral("Can not convert state into name"));
    }
}

TkxThread::TkxThread(TkxThreadHost* host) : Host(host) {}

TkxThread::~TkxThread() {
    Terminate();
    WaitForEnd();
}

void TkxThread::WaitForEnd() {
    wait();
    // Pairs with the end of run().
    (void)RunEnded->load(std::memory_order_acquire);
}

bool TkxThread::HasMainWindow() const {
    return Host.load(std::memory_order_acquire) != nullptr;
}

void TkxThread::SetMainWindow(TkxThreadHost* host) {
    {
        std::lock_guard lock(HostLock);
        Host.store(host, std::memory_order_release);
    }
    Wake->Wake();
}

void TkxThread::Terminate() {
    TerminateFlag.store(true, std::memory_order_release);
    requestInterruption();
    Wake->Wake();
}

bool TkxThread::Post(std::function<void()> call, std::binary_semaphore* done) {
    // Posting under the lock: a host that detaches us cannot vanish between the check and
    // the post, and its bridge target drops (and so releases) whatever is still queued.
    std::lock_guard lock(HostLock);
    if (!Host.load(std::memory_order_relaxed))
        return false;
    PostLocked(std::move(call), done);
    return true;
}

void TkxThread::PostLocked(std::function<void()> call, std::binary_semaphore* done) {
    auto event = std::make_unique<TkxSyncEvent>(std::move(call), done);
    TsanPosted(event.get());
    QCoreApplication::postEvent(Host.load(std::memory_order_relaxed)->BridgeTarget(),
                                event.release());
}

void TkxThread::run() {
    RunEnds.setLocalData(new TkxRunEnd(RunEnded));
    Execute();
    DoneThread();
    RunEnded->store(true, std::memory_order_release);
}

TkxWaker::~TkxWaker() {
    if (EventFd >= 0)
        close(EventFd);
}

bool TkxWaker::CanPoll() {
    std::lock_guard lock(Mutex);
    if (EventFd < 0)
        EventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return EventFd >= 0;
}

void TkxWaker::Signal() {
    const std::uint64_t one = 1;
    // A full counter (never, at one write per wake-up) still reads as readable.
    while (write(EventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TkxWaker::WaitUntil(std::chrono::steady_clock::time_point deadline, std::vector<pollfd>& fds) {
    {
        std::lock_guard lock(Mutex);
        if (Pending || EventFd < 0) {
            Pending = false;
            return;
        }
        Polling = true;
    }
    fds.push_back({EventFd, POLLIN, 0});
    const auto left = deadline - std::chrono::steady_clock::now();
    // Rounded up, so a deadline is never woken for a millisecond early and polled again.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int timeout = ms <= 0 ? 0 : int(std::min<std::int64_t>(ms, 60'000));
    if (poll(fds.data(), fds.size(), timeout) < 0)
        for (pollfd& p : fds)
            p.revents = 0;
    fds.pop_back();
    std::lock_guard lock(Mutex);
    // A wake-up after the poll is for changes the caller looks at next anyway.
    std::uint64_t count = 0;
    while (read(EventFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    Polling = false;
    Pending = false;
}
