#pragma once

#include "engine/kxAbstThread.h"
#include "engine/kxServices.h"
#include "model/kxLists.h"

#include <atomic>
#include <memory>
#include <vector>

// Runs one search: hands the head of PendingNodes to free slots, times out slow tasks and
// moves finished slots' records into the tree. Between passes that find nothing to do it
// waits for a worker to end, the search state to change or the next lifetime to run out.
class TQueueManager : public TkxHostThread<TkxSearchHost> {
    Q_OBJECT
public:
    // sharedState mirrors the host's search state, so reading it costs no round trip.
    TQueueManager(TkxSearchHost* host, std::shared_ptr<TkxNetServices> services,
                  std::shared_ptr<std::atomic<quint8>> sharedState);
    ~TQueueManager() override;

    // Starts the thread at the highest priority.
    void Start();

protected:
    void InitThread() override;
    void Execute() override;
    void DoneThread() override;

private:
    TkxSearchState ReadSearchState() const;
    void SetState(TkxSearchState s);
    void BuildSlots();
    void RunPasses();
    void Cleanup();
    void Watch(TkxInfoList& slot, bool& active,
               std::chrono::steady_clock::time_point& nextDeadline);
    // Takes a finished slot's results (its guard held).
    static TkxHarvest TakeHarvest(TkxInfoList& slot);
    // Takes the hosts a working range task has handed over so far (its guard held).
    static TkxHarvest TakeBatch(TkxInfoList& slot);
    void RunDeferredTasks();
    TkxThreadRow RowOf(const TkxInfoList& slot) const;
    std::chrono::steady_clock::duration LifeTime() const;

    std::vector<std::unique_ptr<TkxInfoList>> Slots;
    std::vector<bool> ErrorShown;               // per slot: its current error has reached the host
    int KnownPending = 0;                       // PendingNodes' length as last reported by the host
    std::vector<class TkxInfoThread*> RunLater; // tasks that explore nothing, run in the pass
    std::vector<TkxNode*> Retry;                // nodes whose listing failed in a way that may pass
    TkxParams Params;
    std::shared_ptr<TkxNetServices> Services;
    std::shared_ptr<std::atomic<quint8>> SharedState;
};
