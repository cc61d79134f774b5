#include "engine/kxAbstThread.h"

#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QCoreApplication>
#include <QEvent>

namespace {
// A call waiting on another thread. Deleting it unrun (its receiver is gone) still
// releases the waiter, which then keeps the neutral result.
class TkxSyncEvent : public QEvent {
public:
    static QEvent::Type EventType() {
        static const int type = QEvent::registerEventType();
        return QEvent::Type(type);
    }
    TkxSyncEvent(std::function<void()> call, QSemaphore& done)
        : QEvent(EventType()), Call(std::move(call)), Done(done) {}
    ~TkxSyncEvent() override { Done.release(); }
    void Run() { Call(); }

private:
    std::function<void()> Call;
    QSemaphore& Done;
};
} // namespace

bool TkxBridgeTarget::event(QEvent* e) {
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

TkxThread::TkxThread(TkxSearchHost* host) : Host(host) {}

TkxThread::~TkxThread() {
    Terminate();
    wait();
}

bool TkxThread::HasMainWindow() const {
    QMutexLocker lock(&HostLock);
    return Host != nullptr;
}

void TkxThread::SetMainWindow(TkxSearchHost* host) {
    {
        QMutexLocker lock(&HostLock);
        Host = host;
    }
    Wake->Wake();
}

void TkxThread::Terminate() {
    TerminateFlag.store(true, std::memory_order_release);
    requestInterruption();
    Wake->Wake();
}

bool TkxThread::Post(std::function<void()> call, QSemaphore& done) {
    // Posting under the lock: a host that detaches us cannot vanish between the check and
    // the post, and its bridge target drops (and so releases) whatever is still queued.
    QMutexLocker lock(&HostLock);
    if (!Host)
        return false;
    QCoreApplication::postEvent(Host->BridgeTarget(), new TkxSyncEvent(std::move(call), done));
    return true;
}

void TkxThread::run() {
    Execute();
    DoneThread();
}
