#include "engine/kxManager.h"

#include "engine/kxThreadForInfo.h"
#include "model/kxErrors.h"
#include "storage/kxUtils.h"

#include <algorithm>

using Clock = std::chrono::steady_clock;

namespace {
// A count in decimal: rows are made for every task, and QString::number is slow at it.
QString NumberText(int n) {
    char digits[12];
    char* end = digits + sizeof digits;
    char* p = end;
    const bool negative = n < 0;
    unsigned int u = negative ? 0u - unsigned(n) : unsigned(n);
    do {
        *--p = char('0' + u % 10);
        u /= 10;
    } while (u);
    if (negative)
        *--p = '-';
    return QString::fromLatin1(p, end - p);
}
} // namespace

TQueueManager::TQueueManager(TkxSearchHost* host, std::shared_ptr<TkxNetServices> services,
                             std::shared_ptr<std::atomic<quint8>> sharedState)
    : TkxHostThread(host), Services(std::move(services)), SharedState(std::move(sharedState)) {
    InitThread();
}

TQueueManager::~TQueueManager() {
    Terminate();
    WaitForEnd();
    Slots.clear();
    WorkerThreads.Join();
}

void TQueueManager::Start() {
    // The manager spends nearly all its time waiting for the document's thread or a wake-up;
    // where priorities count, it must not wait behind busy workers when it has slots to refill.
    // Under Linux's default scheduling policy Qt has only the one level to map it to, so here
    // it changes nothing.
    start(QThread::TimeCriticalPriority);
}

void TQueueManager::InitThread() {
    Slots.clear();
}

TkxSearchState TQueueManager::ReadSearchState() const {
    if (!HasMainWindow())
        return srNone;
    return TkxSearchState(SharedState->load(std::memory_order_acquire));
}

void TQueueManager::SetState(TkxSearchState s) {
    SyncVoid([this, s](TkxSearchHost& host) { host.HostSetSearchState(s, this); });
}

void TQueueManager::Execute() {
    try {
        SetState(srStarting);
        if (!Services)
            throw EkxError(QStringLiteral("No network services"));
        Services->BeginSearch();
        BuildSlots();
        SetState(srWorking);
        RunPasses();
        Services->EndSearch();
        if (ReadSearchState() == srWorking)
            SetState(srFinished);
        Cleanup();
    } catch (const std::exception& e) {
        try {
            const QString message = ErrorMessage(e);
            SyncVoid([&](TkxSearchHost& host) { host.HostShowSearchError(message, this); });
            SetState(srFailed);
            if (Services)
                Services->EndSearch();
            Cleanup();
        } catch (...) {
            NoteSwallowed("manager failure report");
        }
    }
}

void TQueueManager::DoneThread() {
    try {
        Cleanup();
    } catch (...) {
        NoteSwallowed("manager clean-up");
    }
    // The slots let their workers go; the thread ends once those have left their last call,
    // so whoever owns the manager owns every thread of its search.
    Slots.clear();
    for (TListing& l : std::exchange(Listings, {}))
        l.Worker->Abandon();
    WorkerThreads.Join();
}

void TQueueManager::BuildSlots() {
    Cleanup();
    Params = Sync(DefaultParams(), [](TkxSearchHost& host) { return host.HostParams(); });
    const int n = SearchSlotCount(Params.TotalThreads);
    if (n == 0)
        return;
    std::vector<std::pair<int, TkxThreadRow>> rows;
    auto services = Services;
    auto waker = SharedWaker();
    const bool polls = waker->CanPoll();
    for (int i = 0; i < n; ++i) {
        auto slot = std::make_unique<TkxInfoList>(i, Params.Masks);
        // Only this thread starts tasks (Assign), so the factory may add to Listings.
        slot->WorkerFactory = [services, waker, polls, threads = &WorkerThreads,
                               listings =
                                   &Listings](TkxInfoList& s) -> std::shared_ptr<TkxSlotWorker> {
            // A task that explores nothing needs no worker: the manager ends it at once.
            if (!TkxInfoThread::Explores(s))
                return nullptr;
            if (polls) {
                if (auto driven = TkxInfoThread::StartDriven(s, services, waker, *threads)) {
                    listings->push_back({driven, false});
                    return driven;
                }
            }
            return TkxInfoThread::Start(s, services, waker, *threads);
        };
        {
            std::lock_guard lock(*slot->Guard);
            rows.emplace_back(i, RowOf(*slot));
        }
        Slots.push_back(std::move(slot));
    }
    ErrorShown.assign(Slots.size(), false);
    Sync(0, [&](TkxSearchHost& host) { return host.HostEndPass(rows); });
}

std::chrono::steady_clock::duration TQueueManager::LifeTime() const {
    // Lifetimes of years act as "never"; keep the arithmetic far from overflow.
    const auto minutes = std::min<quint64>(Params.LifeTime, quint64(60) * 24 * 365 * 100);
    return std::chrono::minutes(minutes);
}

void TQueueManager::RunPasses() {
    if (Slots.empty())
        return;
    Unhanded = 1; // not known yet: ask
    bool waited = false;
    while (HasMainWindow()) {
        TPass pass;
        pass.NextDeadline = Clock::now() + std::chrono::hours(24);
        PumpListings(pass, waited);
        VisitSlots(pass);
        ReportStateChanges(pass);
        Deliver(pass);
        if (!HasMainWindow() || ReadSearchState() != srWorking || Terminated())
            break;
        if (OutOfWork(pass))
            break;
        waited = !pass.Changed;
        if (!waited)
            continue;
        if (Listings.empty())
            Waker().WaitUntil(pass.NextDeadline);
        else
            PollListings(pass.NextDeadline, true);
    }
}

void TQueueManager::PollListings(Clock::time_point deadline, bool wait) {
    PollFds.clear();
    PollOf.clear();
    for (size_t i = 0; i < Listings.size(); ++i) {
        Listings[i].Ready = false;
        if (const int fd = Listings[i].Worker->Fd(); fd >= 0) {
            PollFds.push_back({fd, POLLIN, 0});
            PollOf.push_back(i);
        }
    }
    if (wait) {
        Waker().WaitUntil(deadline, PollFds);
    } else if (poll(PollFds.data(), PollFds.size(), 0) < 0) {
        for (pollfd& p : PollFds)
            p.revents = 0;
    }
    for (size_t k = 0; k < PollOf.size(); ++k)
        Listings[PollOf[k]].Ready = PollFds[k].revents != 0;
}

void TQueueManager::PumpListings(TPass& pass, bool fresh) {
    if (Listings.empty())
        return;
    // One poll for all of them, rather than a read that finds nothing for each.
    if (!fresh)
        PollListings({}, false);
    const auto now = Clock::now();
    for (size_t i = 0; i < Listings.size();) {
        TListing& l = Listings[i];
        const bool due =
            l.Ready || l.Worker->Fd() < 0 || l.Worker->Terminated() || now >= l.Worker->StepBy();
        if (due && TkxInfoThread::Pump(l.Worker, now)) {
            l = std::move(Listings.back());
            Listings.pop_back();
            pass.Changed = true;
            continue;
        }
        l.Ready = false;
        pass.NextDeadline = std::min(pass.NextDeadline, l.Worker->StepBy());
        ++i;
    }
}

void TQueueManager::VisitSlots(TPass& pass) {
    // What a visit has for the document goes into this pass's report, in the order of the
    // slots. Room for a row per slot at once: grown row by row, the report was the largest
    // allocation of a walk's passes (the report leaves with its rows, so each pass starts
    // empty).
    if (Report.Rows.capacity() < Slots.size())
        Report.Rows.reserve(Slots.size());
    pass.Visited.reserve(Slots.size());
    for (size_t i = 0; i < Slots.size(); ++i) {
        try {
            if (ReadSearchState() != srWorking || Terminated())
                break;
            VisitSlot(i, pass);
        } catch (...) {
            // An error ends only this slot's visit; the next pass visits it again.
            NoteSwallowed("slot visit");
        }
    }
}

void TQueueManager::VisitSlot(size_t i, TPass& pass) {
    TkxInfoList& slot = *Slots[i];
    // A worker started here is woken once the slot's lock is let go.
    const TkxTaskThreads::THeldWakes held(WorkerThreads);
    std::lock_guard lock(*slot.Guard);
    const TkxSlotState before = slot.State;
    // A failed task is shown before its slot takes new work, so the thread list (and the
    // document's task-error report) always gets to see it.
    if (before == ssError && !ErrorShown[i]) {
        ErrorShown[i] = true;
        Report.Rows.emplace_back(int(i), RowOf(slot));
        pass.Changed = true;
        return;
    }
    switch (before) {
    case ssIdle:
    case ssWaiting:
    case ssError:
        Refill(slot, before, pass);
        break;
    case ssWorking:
        Watch(slot, pass);
        break;
    case ssDone:
    case ssTimeout:
        Collect(slot, pass);
        break;
    }
    pass.Visited.push_back({i, before, slot.WorksCount});
}

void TQueueManager::Refill(TkxInfoList& slot, TkxSlotState before, TPass& pass) {
    // A listing refused for good marks its node scanned (the reason stays in the thread list);
    // one that may pass leaves it unscanned, queued again when the search ends, so that
    // Continue tries it once more.
    if (before == ssError && slot.Failure == tfLasting) {
        TkxHarvest failed = TakeHarvest(slot);
        failed.Records.clear();
        failed.Failed = true;
        Report.Harvests.push_back(std::move(failed));
        slot.SetState(ssWaiting);
        pass.Active = true;
        return;
    }
    if (before == ssError && slot.Failure == tfPassing && slot.Node)
        Retry.push_back(slot.Node);
    // A failed task's records would make every later task in this slot fail with "Owner not
    // Empty": drop them before it takes new work.
    slot.ClearRecords();
    Assign(slot, pass);
}

bool TQueueManager::EndedQuietly(const TkxInfoList& slot) {
    return slot.State == ssDone && slot.Kind != ikHost && !TkxInfoThread::Explores(slot) &&
           slot.Count() == 0 && slot.LearntIds.empty();
}

void TQueueManager::Collect(TkxInfoList& slot, TPass& pass) {
    if (EndedQuietly(slot)) {
        Report.Done.emplace_back(Report.Harvests.size(), slot.Node);
        slot.SetState(ssWaiting);
        pass.Active = true;
        return;
    }
    Report.Harvests.push_back(TakeHarvest(slot));
    Report.Harvests.back().Failed = slot.State == ssTimeout;
    Unhanded += int(Report.Harvests.back().Records.size());
    slot.SetState(ssWaiting);
    pass.Active = true;
}

void TQueueManager::ReportStateChanges(TPass& pass) {
    for (const auto& [i, before, worksBefore] : pass.Visited) {
        TkxInfoList& slot = *Slots[i];
        std::lock_guard lock(*slot.Guard);
        // Tasks that ended within the visit count too, also when the state came back to where
        // it was.
        if (slot.State != before || slot.WorksCount != worksBefore) {
            Report.Rows.emplace_back(int(i), RowOf(slot));
            pass.Changed = true;
        }
        // An error that came during this very visit has just been shown; one that came from
        // the task given to a slot that was in error before has not, and is shown at the next
        // visit, before the slot takes new work.
        ErrorShown[i] = slot.State == ssError && slot.State != before;
    }
}

bool TQueueManager::OutOfWork(TPass& pass) {
    if (pass.Active || !Ahead.empty() || Unhanded != 0)
        return false;
    // Out of work as far as this manager knows: make sure with the document.
    FetchAhead();
    if (Ahead.empty() && Unhanded == 0)
        return true;
    pass.Changed = true; // there was work after all: give it out now
    return false;
}

void TQueueManager::Assign(TkxInfoList& slot, TPass& pass) {
    TkxAssignment next;
    for (int quiet = 0;; ++quiet) {
        if (Ahead.empty() && Unhanded > 0)
            FetchAhead();
        if (Ahead.empty()) {
            slot.SetState(ssIdle);
            return;
        }
        next = std::move(Ahead.front());
        Ahead.pop_front();
        ++Report.Taken;
        if (next.Outcome != TkxAssignment::Assigned) {
            slot.SetState(ssIdle);
            pass.Changed = true;
            return;
        }
        // A task that explores nothing (a file, mostly) ends here without ever showing: it
        // is counted, its node goes to the document as done, and the slot takes the next one.
        // The last task of the visit is given as any other, so the slot ends the visit in the
        // state that task leaves it in, and a Stop finds it where it always did.
        if (next.Kind == ikHost || TkxInfoThread::Explores(next.Kind, slot.Masks) ||
            slot.Count() > 0 || quiet >= MaxQuietRun || ReadSearchState() != srWorking ||
            Terminated())
            break;
        if (Ahead.empty() && Unhanded > 0)
            FetchAhead();
        if (Ahead.empty())
            break;
        ++slot.WorksCount;
        Report.Done.emplace_back(Report.Harvests.size(), next.Node);
        pass.Active = true;
        pass.Changed = true;
    }
    slot.SetName(next.Name);
    slot.SetAddress(next.Address);
    slot.SetKind(next.Kind);
    slot.Node = next.Node;
    slot.FileId = next.FileId;
    slot.Ancestors = std::move(next.Ancestors);
    slot.ResumeAfter = std::move(next.ResumeAfter);
    slot.LearntIds.clear();
    slot.SetState(ssWorking);
    if (!TkxInfoThread::Explores(slot))
        TkxInfoThread::EndAtOnce(slot);
    pass.Active = true;
}

void TQueueManager::FetchAhead() {
    // Enough for a few passes of every slot, so most passes need no round trip at all.
    const int count = int(std::clamp<size_t>(Slots.size() * 4, 64, 4096));
    std::vector<TkxAssignment> fetched;
    const quint32 depth = Params.Depth;
    Unhanded = Sync(0, [&](TkxSearchHost& host) {
        // Runs while this thread waits: Report is not touched by it meanwhile.
        std::vector<TkxPassReport> reports = Box->Take();
        if (!Report.Empty())
            reports.push_back(std::exchange(Report, {}));
        return host.HostHandOut(reports, count, depth, fetched);
    });
    for (TkxAssignment& a : fetched)
        Ahead.push_back(std::move(a));
}

void TQueueManager::Deliver(TPass& pass) {
    std::lock_guard lock(Box->Mutex);
    if (!Report.Empty())
        Box->Reports.push_back(std::exchange(Report, {}));
    if (Box->Posted || Box->Reports.empty())
        return;
    // What waits in the box goes with the next post, or with the next round trip (FetchAhead,
    // Cleanup), whichever comes first.
    const auto now = Clock::now();
    if (now < NextDelivery) {
        pass.NextDeadline = std::min(pass.NextDeadline, NextDelivery);
        return;
    }
    NextDelivery = now + DeliverEvery;
    Box->Posted = true;
    Queue([box = Box](TkxSearchHost& host) {
        std::vector<TkxPassReport> reports;
        {
            std::lock_guard lock(box->Mutex);
            reports.swap(box->Reports);
            box->Posted = false;
        }
        host.HostReport(reports);
    });
}

TkxHarvest TQueueManager::TakeBatch(TkxInfoList& slot) {
    TkxHarvest batch;
    batch.Node = slot.Node;
    batch.Partial = true;
    batch.Records = slot.TakeAll();
    slot.Drained->notify_all();
    return batch;
}

TkxHarvest TQueueManager::TakeHarvest(TkxInfoList& slot) {
    TkxHarvest harvest;
    harvest.Node = slot.Node;
    // Only a host task renames its node; an empty name leaves the node's as it is.
    if (slot.Kind == ikHost)
        harvest.Name = slot.NameText();
    harvest.FileId = slot.FileId;
    harvest.LearntIds = std::exchange(slot.LearntIds, {});
    harvest.Records = slot.TakeAll();
    return harvest;
}

void TQueueManager::Watch(TkxInfoList& slot, TPass& pass) {
    if (slot.State == ssWorking) {
        const auto deadline = slot.StateClock + LifeTime();
        const auto now = Clock::now();
        if (now - slot.StateClock > LifeTime())
            slot.SetState(ssTimeout);
        else
            pass.NextDeadline =
                std::min(pass.NextDeadline, deadline + std::chrono::milliseconds(1));
    }
    pass.Active = true;
    // A range task that has filled its slot waits for room: its hosts are taken while it runs.
    if (slot.State == ssWorking && slot.Kind == ikRange &&
        slot.Count() >= TkxInfoThread::RangeBatch) {
        Report.Harvests.push_back(TakeBatch(slot));
        Unhanded += int(Report.Harvests.back().Records.size());
    }
}

TkxThreadRow TQueueManager::RowOf(const TkxInfoList& slot) const {
    TkxThreadRow row;
    row.No = NumberText(slot.SlotIndex);
    row.Total = NumberText(slot.WorksCount);
    row.StateTime = slot.StateTime;
    row.State = TextWithDetail(SlotStateText(slot.State), slot.ErrorText);
    row.Address = slot.AddressText();
    // A timed-out task counts as failed too: what it had not listed yet is missing.
    row.Failed = slot.State == ssError || slot.State == ssTimeout;
    row.Node = row.Failed ? slot.Node : nullptr;
    return row;
}

void TQueueManager::Cleanup() {
    const TkxSearchState remembered = ReadSearchState();
    try {
        SetState(srStopping);
        std::vector<TkxNode*> requeue = std::exchange(Retry, {});
        while (!Slots.empty()) {
            {
                TkxInfoList& slot = *Slots.front();
                std::lock_guard lock(*slot.Guard);
                // A listing refused for good that no visit has taken yet ends as a visit would
                // end it, scanned; one that may pass is tried again, like any unfinished task.
                if (slot.State == ssError && slot.Failure == tfLasting) {
                    TkxHarvest failed = TakeHarvest(slot);
                    failed.Records.clear();
                    failed.Failed = true;
                    Report.Harvests.push_back(std::move(failed));
                } else if (slot.State == ssWorking || slot.State == ssDone ||
                           slot.State == ssTimeout ||
                           (slot.State == ssError && slot.Failure == tfPassing)) {
                    requeue.push_back(slot.Node);
                }
            }
            Slots.erase(Slots.begin());
        }
        // Their slots have let them go: what they asked for is cancelled.
        for (TListing& l : std::exchange(Listings, {}))
            l.Worker->Abandon();
        // Whatever the passes have not got across yet goes first; the nodes handed out and not
        // taken are still at the head of PendingNodes.
        SyncVoid([&](TkxSearchHost& host) {
            std::vector<TkxPassReport> reports = Box->Take();
            if (!Report.Empty())
                reports.push_back(std::exchange(Report, {}));
            host.HostRequeue(reports, requeue);
        });
        Ahead.clear();
        SyncVoid([](TkxSearchHost& host) { host.HostClearThreadRows(); });
    } catch (...) {
        SetState(remembered);
        throw;
    }
    SetState(remembered);
}
