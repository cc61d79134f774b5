#include "engine/kxAbstThread.h"

#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QCoreApplication>
#include <QEvent>

// Qt's event queue orders a posted event before its delivery with locks that ThreadSanitizer
// does not see (Qt is not instrumented); these make that one order visible to it.
#if defined(__SANITIZE_THREAD__)
#define ORVANE_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVANE_TSAN 1
#endif
#endif
#ifdef ORVANE_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace {
void PostedBy(void* event) {
#ifdef ORVANE_TSAN
    __tsan_release(event);
#else
    (void)event;
#endif
}

void ReceivedFrom(void* event) {
#ifdef ORVANE_TSAN
    __tsan_acquire(event);
#else
    (void)event;
#endif
}

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
        ReceivedFrom(this);
        if (Done)
            Done->release();
    }
    void Run() { Call(); }

private:
    std::function<void()> Call;
    std::binary_semaphore* Done;
};
} // namespace

bool TkxBridgeTarget::event(QEvent* e) {
    ReceivedFrom(e);
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
    (void)RunEnded.load(std::memory_order_acquire);
}

bool TkxThread::HasMainWindow() const {
    std::lock_guard lock(HostLock);
    return Host != nullptr;
}

void TkxThread::SetMainWindow(TkxThreadHost* host) {
    {
        std::lock_guard lock(HostLock);
        Host = host;
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
    if (!Host)
        return false;
    PostLocked(std::move(call), done);
    return true;
}

void TkxThread::PostLocked(std::function<void()> call, std::binary_semaphore* done) {
    auto event = std::make_unique<TkxSyncEvent>(std::move(call), done);
    PostedBy(event.get());
    QCoreApplication::postEvent(Host->BridgeTarget(), event.release());
}

void TkxThread::run() {
    Execute();
    DoneThread();
    RunEnded.store(true, std::memory_order_release);
}
