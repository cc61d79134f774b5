#pragma once

#include "engine/kxAbstThread.h"
#include "engine/kxServices.h"
#include "model/kxLists.h"

#include <atomic>
#include <chrono>
#include <memory>

class TkxTaskThreads;

// One task: explores exactly one level below the slot's item and leaves the records in the
// slot. Runs on one of the search's task threads; the slot and that thread share the worker,
// and the last to let go of it frees it. Every touch of the slot holds the slot's guard and
// first checks that the slot still owns this worker: once let go, the worker adds nothing and
// changes no state, whatever it was doing.
class TkxInfoThread final : public TkxSlotWorker {
public:
    // Called by the slot (under its guard) when it enters ssWorking.
    static std::shared_ptr<TkxInfoThread> Start(TkxInfoList& slot,
                                                std::shared_ptr<TkxNetServices> services,
                                                std::shared_ptr<TkxWaker> waker,
                                                TkxTaskThreads& threads);
    // The same for a folder task whose listing needs no thread (TkxNetServices::StartListing):
    // the manager steps it with Pump, and it ends as a thread's task would. nullptr when the
    // listing can only be made the blocking way.
    static std::shared_ptr<TkxInfoThread> StartDriven(TkxInfoList& slot,
                                                      std::shared_ptr<TkxNetServices> services,
                                                      std::shared_ptr<TkxWaker> waker,
                                                      TkxTaskThreads& threads);
    // Steps a driven task without blocking; true once it no longer needs stepping: ended (its
    // slot told, as a thread's task tells it), let go, or gone on on a thread of its own.
    // On the manager's thread only, its slot's guard not held.
    static bool Pump(const std::shared_ptr<TkxInfoThread>& worker,
                     std::chrono::steady_clock::time_point now);
    // A driven task's descriptor to wait on (-1: none), and when it must be stepped anyway.
    int Fd() const;
    std::chrono::steady_clock::time_point StepBy() const;
    // Drops a driven task that will not be stepped again (its search ends).
    void Abandon();

    // Whether the slot's task explores anything: a file, or a slot without masks, finds
    // nothing, and such a task ends at once.
    static bool Explores(const TkxInfoList& slot) { return Explores(slot.Kind, slot.Masks); }
    static bool Explores(TkxItemKind kind, const QStringList& masks);
    // Ends such a task at once, as its worker would (the slot's guard held).
    static void EndAtOnce(TkxInfoList& slot);

    void SetOwnerNone() override { Owner = nullptr; }
    void Terminate() override;
    bool Terminated() const { return TerminateFlag.load(std::memory_order_acquire); }

    // A range task hands its hosts over in batches of this many: it waits while its slot holds
    // that many, and the manager takes them from the working slot. The addresses of a huge
    // range are so never all built at once, and the search works on the first hosts meanwhile.
    static constexpr int RangeBatch = 4096;

    // Workers still running in this process (also those let go). The manager that started
    // them waits for them before its thread ends, so nothing needs to wait here; tests use it
    // to make sure.
    static int LiveCount();
    static void WaitForAll();

private:
    TkxInfoThread(TkxInfoList& slot, std::shared_ptr<TkxNetServices> services,
                  std::shared_ptr<TkxWaker> waker);
    void Execute();
    // Runs the task's work, then tells the slot how it ended and lets it go.
    template <class F> void Conclude(F&& work);
    static void RunOnThread(std::shared_ptr<TkxInfoThread> worker, TkxTaskThreads& threads);
    // Hosts after resumeAfter (all of them when it is empty).
    void RangeStep(const QString& address, const QString& resumeAfter);
    void HostStep(const QString& name, const QString& address);
    void FolderStep(const QString& address);
    // What FolderStep does with the listing.
    void FolderListed(const QString& address, const TkxNetResult& error,
                      std::vector<TkxDirEntry>& entries, quint64 ownId,
                      std::vector<std::pair<QString, quint64>> ancestors);

    struct Found {
        QString Name;
        TkxItemKind Kind;
        double Size = 0, Creating = 0, EditTime = 0, LastAccess = 0;
        quint64 FileId = 0;
    };
    // Filters and fills records (address = prefix + name), then hands them to the slot in one
    // go; records made before a mask error still reach the slot.
    void AddRecords(const QString& prefix, const std::vector<Found>& found);
    void SetOwnerName(const QString& name);
    // Waits while the slot holds a full batch of hosts (the manager is woken to take them).
    void WaitForRoom();

    const std::shared_ptr<std::mutex> Guard;
    const std::shared_ptr<std::condition_variable> Drained;
    TkxInfoList* Owner; // guarded by *Guard
    std::shared_ptr<TkxNetServices> Services;
    std::shared_ptr<TkxWaker> Waker;
    QStringList Masks;
    std::atomic<bool> TerminateFlag{false};
    TkxCancelToken Cancel;
    // A driven task's listing and what its end needs; the manager's thread alone touches them.
    std::unique_ptr<TkxNetListing> Listing;
    TkxTaskThreads* Threads = nullptr;
    QString Address;
    quint64 OwnId = 0;
    std::vector<std::pair<QString, quint64>> Ancestors;
};
