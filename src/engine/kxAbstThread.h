#pragma once

#include "model/kxErrors.h"
#include "model/kxLists.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <semaphore>
#include <vector>

enum TkxSearchState : quint8 {
    srNone = 0,
    srStarted,
    srStarting,
    srWorking,
    srStopping,
    srFinished,
    srFailed,
    srUserStopped
};

// Display texts; a value outside the table raises "Can not convert state into name".
QString SlotStateText(int state);
QString SearchStateText(int state);

// One row of the thread list: slot number, works count, time, state, address.
struct TkxThreadRow {
    QString No, Total;
    double StateTime = 0; // shown through TimeText: formatting waits until a view asks
    QString State, Address;
    QString TimeText() const { return DateTimeText(StateTime); }
    bool Failed = false;     // the slot's task ended with an error (State holds the message)
    TkxNode* Node = nullptr; // the failed task's node (only when Failed), to mark it
    bool operator==(const TkxThreadRow&) const = default;
};

// A node from the head of PendingNodes as the manager receives it, ahead of the slot that takes
// it: the node stays in PendingNodes until the manager reports it taken.
struct TkxAssignment {
    enum Result { Empty, Dropped, Assigned } Outcome = Empty;
    TkxNode* Node = nullptr;
    QString Name, Address;
    TkxItemKind Kind = ikNone;
    // The folder's own id and those of its ancestors on the same share (share root first).
    quint64 FileId = 0;
    std::vector<std::pair<QString, quint64>> Ancestors;
    // A range whose first hosts are in the tree already (its task was interrupted): the
    // address of the last of them, where its task goes on.
    QString ResumeAfter;
};

// A finished task's results, delivered in one call.
struct TkxHarvest {
    TkxNode* Node = nullptr;
    bool Partial = false; // hosts of a range task still running: the node is not done yet
    bool Failed = false;  // the task failed or timed out: its node keeps its failure mark
    QString Name;
    std::vector<TkxInfo> Records;
    quint64 FileId = 0;                                 // the explored folder's id, if learnt
    std::vector<std::pair<QString, quint64>> LearntIds; // ancestor ids fetched by the worker
};

// What passes of the manager have for the document, carried over in one go: the harvests in
// the order of the slot visits, how many of the nodes handed out the slots have taken since the
// last report, and the rows of the slots whose state changed.
struct TkxPassReport {
    std::vector<TkxHarvest> Harvests;
    // Tasks that explored nothing (files above all: most of a walk's tasks), each applied as an
    // empty harvest would be, before the harvest at the index it carries (the number of
    // harvests that came before it), so the document sees them in the order they ended.
    std::vector<std::pair<size_t, TkxNode*>> Done;
    int Taken = 0;
    std::vector<std::pair<int, TkxThreadRow>> Rows;
    bool Empty() const { return Harvests.empty() && Done.empty() && Taken == 0 && Rows.empty(); }
};

class TkxThread;

// What every long-lived thread needs of its host: the object on the host's thread that runs
// the bridge's calls.
class TkxThreadHost {
public:
    virtual ~TkxThreadHost() = default;
    virtual QObject* BridgeTarget() const = 0;
};

// What the manager needs of the document. Every call runs on the document's thread,
// through TkxThread::Sync.
class TkxSearchHost : public TkxThreadHost {
public:
    virtual TkxSearchState HostSearchState() const = 0;
    // From a manager that is no longer the document's current one, only the bracket of its
    // clean-up (srStopping, then back to the state it found) is taken; anything else is ignored.
    virtual void HostSetSearchState(TkxSearchState s, const TkxThread* from) = 0;
    virtual void HostShowSearchError(const QString& text, const TkxThread* from) = 0;
    virtual TkxParams HostParams() const = 0;
    // Applies reports in order (harvests move records into the tree, taken nodes leave
    // PendingNodes, rows are shown), then refreshes the status.
    virtual void HostReport(std::vector<TkxPassReport>& reports) = 0;
    // Applies the reports, then hands out up to `count` nodes of PendingNodes, the first that
    // were not handed out before (Dropped when the level is below 0 or deeper than depth).
    // Yields the number of pending nodes not handed out.
    virtual int HostHandOut(std::vector<TkxPassReport>& reports, int count, quint32 depth,
                            std::vector<TkxAssignment>& out) = 0;
    // Applies the reports; the nodes handed out and not taken stay at the head of PendingNodes,
    // the given ones are appended.
    virtual void HostRequeue(std::vector<TkxPassReport>& reports,
                             const std::vector<TkxNode*>& nodes) = 0;
    // Rows whose slot changed state, then the status refresh; yields the pending count.
    virtual int HostEndPass(const std::vector<std::pair<int, TkxThreadRow>>& rows) = 0;
    virtual void HostClearThreadRows() = 0;
};

// Receives the bridge's calls on the host's thread; whatever is still queued for it when it
// is destroyed is dropped, which releases the waiting threads with neutral results.
class TkxBridgeTarget : public QObject {
public:
    bool event(QEvent* e) override;
};

// Wakes a waiting manager: a worker ended, the search state changed, a lifetime ran out.
class TkxWaker {
public:
    TkxWaker() = default;
    ~TkxWaker();
    TkxWaker(const TkxWaker&) = delete;
    TkxWaker& operator=(const TkxWaker&) = delete;

    void Wake() {
        {
            std::lock_guard lock(Mutex);
            Pending = true;
            if (Polling)
                Signal();
        }
        Cond.notify_all();
    }
    // Waits until woken or until the deadline; clears the wake-up.
    template <class Clock, class Duration>
    void WaitUntil(const std::chrono::time_point<Clock, Duration>& deadline) {
        std::unique_lock lock(Mutex);
        Cond.wait_until(lock, deadline, [this] { return Pending; });
        Pending = false;
    }
    void Wait() {
        std::unique_lock lock(Mutex);
        Cond.wait(lock, [this] { return Pending; });
        Pending = false;
    }
    void Clear() {
        std::lock_guard lock(Mutex);
        Pending = false;
    }
    // Whether WaitUntil can also wait for descriptors (it needs an eventfd of its own).
    bool CanPoll();
    // WaitUntil that also ends when one of fds is readable; their revents tell which.
    void WaitUntil(std::chrono::steady_clock::time_point deadline, std::vector<pollfd>& fds);

private:
    void Signal(); // with Mutex held
    std::mutex Mutex;
    std::condition_variable Cond;
    bool Pending = false;
    bool Polling = false; // a WaitUntil with descriptors is under way
    int EventFd = -1;
};

// Base of the long-lived background threads. Each access to the host runs on the host's
// thread through Sync, which waits for it; once detached, Sync yields the neutral result at
// once, so the host may be destroyed without waiting for the thread.
class TkxThread : public QThread {
    Q_OBJECT
public:
    explicit TkxThread(TkxThreadHost* host);
    ~TkxThread() override;

    bool HasMainWindow() const;
    void SetMainWindow(TkxThreadHost* host);
    void Terminate();
    bool Terminated() const { return TerminateFlag.load(std::memory_order_acquire); }
    TkxWaker& Waker() { return *Wake; }
    const std::shared_ptr<TkxWaker>& SharedWaker() const { return Wake; }

    // Runs fn(host) on the host's thread and waits for it; any error there, a detached host,
    // or a host destroyed meanwhile gives `neutral`.
    template <class R, class F> R Sync(R neutral, F&& fn);
    template <class F> void SyncVoid(F&& fn) {
        Sync(0, [&](TkxThreadHost& h) {
            fn(h);
            return 0;
        });
    }

    // Runs fn(host) on the host's thread later, without waiting: for what the thread only
    // reports (rows, status). Calls arrive in the order they were made, also relative to Sync.
    template <class F> void Queue(F fn) {
        // Runs only if the host's bridge target still exists, that is while the host does;
        // so the call holds the host, not this thread (which may be gone by then).
        std::lock_guard lock(HostLock);
        if (TkxThreadHost* const host = Host.load(std::memory_order_relaxed))
            PostLocked(
                [host, fn = std::move(fn)]() mutable {
                    try {
                        fn(*host);
                    } catch (...) {
                        NoteSwallowed("bridge report");
                    }
                },
                nullptr);
    }

protected:
    // Waits for run() to end. Each destructor that waits calls this rather than wait(): what the
    // thread wrote (the object's own vptr among it) is then ordered before the destruction also
    // for tools that can not see through QThread::wait.
    void WaitForEnd();
    void run() final;
    virtual void InitThread() {}
    virtual void Execute() = 0;
    virtual void DoneThread() {}

private:
    bool Post(std::function<void()> call, std::binary_semaphore* done);
    void PostLocked(std::function<void()> call, std::binary_semaphore* done);
    // Posts to the host and changes of the host are serialized by HostLock. Host is read
    // without it where only its value counts: a call that the manager has just posted (under
    // the lock) would otherwise wake the host's thread only to wait for that very lock.
    mutable std::mutex HostLock;
    std::atomic<TkxThreadHost*> Host{nullptr};
    std::atomic<bool> TerminateFlag{false};
    const std::shared_ptr<std::atomic<bool>> RunEnded = std::make_shared<std::atomic<bool>>(false);
    const std::shared_ptr<TkxWaker> Wake = std::make_shared<TkxWaker>();
};

template <class R, class F> R TkxThread::Sync(R neutral, F&& fn) {
    R result = neutral;
    std::binary_semaphore done(0);
    auto call = [&] {
        TkxThreadHost* const host = Host.load(std::memory_order_acquire);
        if (!host)
            return;
        try {
            result = fn(*host);
        } catch (...) {
            NoteSwallowed("bridge call");
            result = neutral;
        }
    };
    if (Post(call, &done))
        done.acquire();
    return result;
}

// A thread whose bridge calls see the host as the interface it serves (the document for the
// queue manager, the window for the icon loader).
template <class THost> class TkxHostThread : public TkxThread {
public:
    explicit TkxHostThread(THost* host) : TkxThread(host) {}

    void SetMainWindow(THost* host) { TkxThread::SetMainWindow(host); }
    template <class R, class F> R Sync(R neutral, F&& fn) {
        return TkxThread::Sync(std::move(neutral),
                               [&](TkxThreadHost& h) { return fn(static_cast<THost&>(h)); });
    }
    template <class F> void SyncVoid(F&& fn) {
        TkxThread::SyncVoid([&](TkxThreadHost& h) { fn(static_cast<THost&>(h)); });
    }
    template <class F> void Queue(F fn) {
        TkxThread::Queue(
            [fn = std::move(fn)](TkxThreadHost& h) mutable { fn(static_cast<THost&>(h)); });
    }
};
