#pragma once

#include "engine/kxAbstThread.h"
#include "engine/kxServices.h"
#include "model/kxLists.h"

#include <atomic>
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
    // Whether the slot's task explores anything: a file, or a slot without masks, finds
    // nothing, and such a task ends at once.
    static bool Explores(const TkxInfoList& slot) { return Explores(slot.Kind, slot.Masks); }
    static bool Explores(TkxItemKind kind, const QStringList& masks);
    // Ends such a task at once, as its worker would (the slot's guard held).
    static void EndAtOnce(TkxInfoList& slot);

    void SetOwnerNone() override { Owner = nullptr; }
    void Terminate() override;

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
    // Hosts after resumeAfter (all of them when it is empty).
    void RangeStep(const QString& address, const QString& resumeAfter);
    void HostStep(const QString& name, const QString& address);
    void FolderStep(const QString& address);
    bool Terminated() const { return TerminateFlag.load(std::memory_order_acquire); }

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
};
