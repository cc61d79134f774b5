#pragma once

#include "engine/kxAbstThread.h"
#include "engine/kxServices.h"
#include "engine/kxTaskThreads.h"
#include "engine/kxThreadForInfo.h"
#include "model/kxLists.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// The most worker slots a search runs, whatever TotalThreads says: each slot may hold a thread
// and a helper request, and beyond a thousand a LAN search gains nothing but memory. The
// parameter stays as typed and stored; only the search is bounded.
inline constexpr quint32 MaxSearchSlots = 1024;
// The slots a search makes for a TotalThreads value: 0 makes none (as asked), anything above
// the ceiling (a value that reads negative as a signed number included) makes MaxSearchSlots.
inline int SearchSlotCount(quint32 totalThreads) {
    return int(std::min(totalThreads, MaxSearchSlots));
}

// Pass reports on their way to the document's thread: one posted event takes every report
// that has arrived by the time it runs, so a busy document thread is not woken once per pass.
struct TkxReportBox {
    std::mutex Mutex;
    std::vector<TkxPassReport> Reports;
    bool Posted = false; // an event that will take the reports is on its way
    std::vector<TkxPassReport> Take() {
        std::lock_guard lock(Mutex);
        return std::exchange(Reports, {});
    }
};

// Runs one search: hands the head of PendingNodes to free slots, times out slow tasks and
// moves finished slots' records into the tree. Between passes that find nothing to do it
// waits for a worker to end, the search state to change or the next lifetime to run out.
//
// A pass does not wait for the document's thread: the manager holds copies of the first
// pending nodes (they stay in PendingNodes until it reports them taken, so every count shown is
// the same) and sends what a pass found (harvests, taken nodes, rows) without waiting for it
// to be applied. Only when its copies run out does it ask for more, in one round trip that
// first applies everything sent before, so the order of work is that of one call per visit.
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
    void Cleanup();

    // What one pass over the slots found out.
    struct TPass {
        bool Active = false;  // some slot has work in hand
        bool Changed = false; // something changed: pass again without waiting
        std::chrono::steady_clock::time_point NextDeadline; // the nearest end of a lifetime
        struct TVisit {
            size_t Slot;
            TkxSlotState State; // before the visit
            int WorksCount;     // before the visit
        };
        std::vector<TVisit> Visited;
    };
    // Passes over the slots until the search ends or runs out of work; a pass that changes
    // nothing waits for a wake-up, a listing's answer or the next lifetime to end.
    void RunPasses();
    // Steps the listings that need it (fresh: the last wait found which are readable).
    void PumpListings(TPass& pass, bool fresh);
    // Which listings are readable, waiting up to deadline (or not at all) for the first.
    void PollListings(std::chrono::steady_clock::time_point deadline, bool wait);
    // The steps of one pass, in order.
    void VisitSlots(TPass& pass);
    void ReportStateChanges(TPass& pass); // the rows of slots whose state the visits changed
    bool OutOfWork(TPass& pass);          // true when the document has no work left either
    // One slot's visit, its guard taken once for all of it: a free slot takes the next pending
    // node, a working one is watched, a finished one is harvested. The steps below and RowOf
    // run with the slot's guard held.
    void VisitSlot(size_t i, TPass& pass);
    void Refill(TkxInfoList& slot, TkxSlotState before, TPass& pass);
    void Watch(TkxInfoList& slot, TPass& pass);
    void Collect(TkxInfoList& slot, TPass& pass);
    // Takes a finished slot's results (its guard held).
    static TkxHarvest TakeHarvest(TkxInfoList& slot);
    // Takes the hosts a working range task has handed over so far (its guard held).
    static TkxHarvest TakeBatch(TkxInfoList& slot);
    // Gives a free slot the next pending node, or makes it idle (its guard held). Tasks that
    // explore nothing end there and then, and the slot takes the next one, up to
    // MaxQuietRun of them a visit.
    void Assign(TkxInfoList& slot, TPass& pass);
    static constexpr int MaxQuietRun = 256;
    // A finished task that found nothing, failed in nothing and renames nothing: the document
    // only marks its node scanned.
    static bool EndedQuietly(const TkxInfoList& slot);
    // Asks the document for the next pending nodes, sending what was not sent yet first.
    void FetchAhead();
    // Sends this pass's news without waiting. The document's thread is woken at most once per
    // DeliverEvery: a pass sooner than that leaves its news in the box and a deadline in `pass`,
    // so a walk of thousands of small folders does not cost a wake-up (and a view update) per
    // folder.
    void Deliver(TPass& pass);
    TkxThreadRow RowOf(const TkxInfoList& slot) const;
    std::chrono::steady_clock::duration LifeTime() const;

    // The workers' threads; they outlive the slots (a slot lets its worker go when it goes),
    // and the manager's thread ends only once they have ended.
    TkxTaskThreads WorkerThreads;
    std::vector<std::unique_ptr<TkxInfoList>> Slots;
    std::vector<bool> ErrorShown;    // per slot: its current error has reached the host
    std::deque<TkxAssignment> Ahead; // the first pending nodes not taken yet, in order
    int Unhanded = 0;                // pending nodes the document has not handed out, as known
    TkxPassReport Report;            // this pass's news
    const std::shared_ptr<TkxReportBox> Box = std::make_shared<TkxReportBox>();
    static constexpr std::chrono::milliseconds DeliverEvery{10};
    std::chrono::steady_clock::time_point NextDelivery; // the earliest time to wake the host
    std::vector<TkxNode*> Retry; // nodes whose listing failed in a way that may pass
    TkxParams Params;
    std::shared_ptr<TkxNetServices> Services;
    std::shared_ptr<std::atomic<quint8>> SharedState;
    // Folder listings that no thread waits for: this thread waits for their answers and steps
    // them, so a folder costs no hand-off to a worker and back. After Services: they go first.
    struct TListing {
        std::shared_ptr<TkxInfoThread> Worker;
        bool Ready = false; // its answer is readable
    };
    std::vector<TListing> Listings;
    std::vector<pollfd> PollFds;
    std::vector<size_t> PollOf; // the listing of each of PollFds
};
