#include "engine/kxThreadForInfo.h"

#include "engine/kxTaskThreads.h"
#include "model/kxErrors.h"
#include "model/kxIPs.h"
#include "model/kxMasks.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace {
// A count that needs no teardown, so that it stays usable up to the process's very end.
std::atomic<int> Live{0};

void CountOut() {
    if (Live.fetch_sub(1, std::memory_order_release) == 1)
        Live.notify_all();
}

QString WithBackslash(const QString& address) {
    return address.endsWith(u'\\') ? address : address + u'\\';
}

// A listing the server refused: its reason becomes the slot's error text.
class EkxListingFailed : public EkxError {
public:
    explicit EkxListingFailed(const TkxNetResult& e)
        : EkxError(e.Text), Failure(e.Kind == TkxNetResult::Lasting ? tfLasting : tfPassing) {}
    TkxTaskFailure Failure;
};
} // namespace

TkxInfoThread::TkxInfoThread(TkxInfoList& slot, std::shared_ptr<TkxNetServices> services,
                             std::shared_ptr<TkxWaker> waker)
    : Guard(slot.Guard), Drained(slot.Drained), Owner(&slot), Services(std::move(services)),
      Waker(std::move(waker)) {}

bool TkxInfoThread::Explores(TkxItemKind kind, const QStringList& masks) {
    return !masks.isEmpty() &&
           (kind == ikRange || kind == ikHost || kind == ikShare || kind == ikFolder);
}

void TkxInfoThread::EndAtOnce(TkxInfoList& slot) {
    // What Execute does when there is nothing to explore.
    if (slot.Count() > 0) {
        slot.SetErrorText(QStringLiteral("Owner not Empty"));
        slot.Failure = tfError;
        slot.SetState(ssError);
        return;
    }
    slot.SetState(ssDone);
}

std::shared_ptr<TkxInfoThread> TkxInfoThread::Start(TkxInfoList& slot,
                                                    std::shared_ptr<TkxNetServices> services,
                                                    std::shared_ptr<TkxWaker> waker,
                                                    TkxTaskThreads& threads) {
    std::shared_ptr<TkxInfoThread> worker(
        new TkxInfoThread(slot, std::move(services), std::move(waker)));
    Live.fetch_add(1, std::memory_order_relaxed);
    try {
        RunOnThread(worker, threads);
    } catch (...) {
        Live.fetch_sub(1, std::memory_order_relaxed);
        throw;
    }
    return worker;
}

void TkxInfoThread::RunOnThread(std::shared_ptr<TkxInfoThread> worker, TkxTaskThreads& threads) {
    auto waker = worker->Waker;
    threads.Run(
        [worker = std::move(worker)]() mutable {
            worker->Execute();
            worker.reset();
            CountOut();
        },
        [waker = std::move(waker)] { waker->Wake(); });
}

std::shared_ptr<TkxInfoThread> TkxInfoThread::StartDriven(TkxInfoList& slot,
                                                          std::shared_ptr<TkxNetServices> services,
                                                          std::shared_ptr<TkxWaker> waker,
                                                          TkxTaskThreads& threads) {
    // The loop guard asks the server for an ancestor's id it does not know: that blocks.
    if ((slot.Kind != ikFolder && slot.Kind != ikShare) || !Explores(slot) || slot.Count() > 0)
        return nullptr;
    for (const auto& ancestor : slot.Ancestors) {
        if (ancestor.second == 0)
            return nullptr;
    }
    std::shared_ptr<TkxInfoThread> worker(new TkxInfoThread(slot, services, waker));
    worker->Listing =
        services->StartListing(slot.AddressText(), slot.FileId != 0, [waker] { waker->Wake(); });
    if (!worker->Listing)
        return nullptr;
    worker->Threads = &threads;
    worker->Masks = slot.Masks;
    worker->Address = slot.AddressText();
    worker->OwnId = slot.FileId;
    worker->Ancestors = slot.Ancestors;
    Live.fetch_add(1, std::memory_order_relaxed);
    return worker;
}

int TkxInfoThread::Fd() const {
    return Listing ? Listing->Fd() : -1;
}

std::chrono::steady_clock::time_point TkxInfoThread::StepBy() const {
    return Listing ? Listing->StallAt() : std::chrono::steady_clock::time_point::max();
}

void TkxInfoThread::Abandon() {
    if (!Listing)
        return;
    Listing.reset();
    CountOut();
}

bool TkxInfoThread::Pump(const std::shared_ptr<TkxInfoThread>& worker,
                         std::chrono::steady_clock::time_point now) {
    TkxInfoThread& w = *worker;
    if (!w.Listing)
        return true;
    if (!w.Terminated() && !w.Listing->Step(now))
        return false;
    if (!w.Terminated() && w.Listing->NeedsThread()) {
        w.Listing.reset();
        try {
            RunOnThread(worker, *w.Threads);
            return true; // the thread counts it out of Live
        } catch (...) {
            w.Conclude([] { throw EkxError(QStringLiteral("The search has ended")); });
        }
    } else if (!w.Terminated()) {
        std::vector<TkxDirEntry> entries;
        const TkxNetResult result = w.Listing->Result(entries);
        w.Listing.reset();
        w.Conclude(
            [&] { w.FolderListed(w.Address, result, entries, w.OwnId, std::move(w.Ancestors)); });
    }
    w.Listing.reset();
    CountOut();
    return true;
}

void TkxInfoThread::Terminate() {
    TerminateFlag.store(true, std::memory_order_release);
    Cancel.Cancel();
    Drained->notify_all();
}

int TkxInfoThread::LiveCount() {
    return Live.load(std::memory_order_acquire);
}

void TkxInfoThread::WaitForAll() {
    for (int n; (n = Live.load(std::memory_order_acquire)) != 0;)
        Live.wait(n, std::memory_order_acquire);
}

void TkxInfoThread::Execute() {
    Conclude([this] {
        QString name, address, resumeAfter;
        TkxItemKind kind;
        {
            std::unique_lock lock(*Guard);
            if (!Owner)
                return;
            if (Owner->Count() > 0)
                throw EkxError(QStringLiteral("Owner not Empty"));
            name = Owner->NameText();
            address = Owner->AddressText();
            kind = Owner->Kind;
            resumeAfter = Owner->ResumeAfter;
            Masks = Owner->Masks;
        }
        if (Masks.isEmpty() || Terminated())
            return;
        switch (kind) {
        case ikRange:
            RangeStep(address, resumeAfter);
            break;
        case ikHost:
            HostStep(name, address);
            break;
        case ikShare:
        case ikFolder:
            FolderStep(address);
            break;
        default:
            break;
        }
    });
}

template <class F> void TkxInfoThread::Conclude(F&& work) {
    try {
        work();
        std::unique_lock lock(*Guard);
        if (Owner)
            Owner->SetState(ssDone);
    } catch (const std::exception& e) {
        try {
            std::unique_lock lock(*Guard);
            if (Owner) {
                Owner->SetErrorText(ErrorMessage(e));
                auto* failed = dynamic_cast<const EkxListingFailed*>(&e);
                Owner->Failure = failed ? failed->Failure : tfError;
                Owner->SetState(ssError); // lets this worker go: Owner is null after it
            }
        } catch (...) {
            NoteSwallowed("worker error report");
        }
    } catch (...) {
        try {
            std::unique_lock lock(*Guard);
            if (Owner)
                Owner->SetState(ssError);
        } catch (...) {
            NoteSwallowed("worker error report");
        }
    }
    {
        // A slot that still holds this worker (its state set by someone else meanwhile) need
        // not keep it alive any longer.
        std::unique_lock lock(*Guard);
        if (Owner && Owner->Worker.get() == this)
            Owner->Worker.reset();
        Owner = nullptr;
    }
}

void TkxInfoThread::AddRecords(const QString& prefix, const std::vector<Found>& found) {
    std::vector<TkxInfo> records;
    records.reserve(found.size());
    auto deliver = [&] {
        std::unique_lock lock(*Guard);
        if (!Owner)
            return;
        Owner->AddAll(std::move(records));
    };
    // One buffer for every address: the prefix stays, each name replaces the last.
    QString address = prefix;
    try {
        for (const Found& f : found) {
            if (Terminated())
                break;
            const bool dot = f.Kind >= ikShare && (f.Name == u"." || f.Name == u"..");
            const bool matched = f.Kind >= ikShare && !dot && NameMatchesMasks(f.Name, Masks);
            if (dot)
                continue;
            if (f.Kind != ikHost && f.Kind != ikShare && f.Kind != ikFolder && !matched)
                continue;
            TkxInfo& info = records.emplace_back();
            info.SetName(f.Name);
            address.truncate(prefix.size());
            address.append(f.Name);
            info.SetAddress(address);
            info.SetSize(f.Size);
            info.SetCreating(f.Creating);
            info.SetEditTime(f.EditTime);
            info.SetLastAccess(f.LastAccess);
            info.SetMatched(matched ? 1 : 0);
            info.SetHasMatch(matched ? 1 : 0);
            info.SetKind(f.Kind);
            info.FileId = f.Kind == ikFolder ? f.FileId : 0;
        }
    } catch (...) {
        deliver();
        throw;
    }
    deliver();
}

void TkxInfoThread::SetOwnerName(const QString& name) {
    std::unique_lock lock(*Guard);
    if (Owner)
        Owner->SetName(name);
}

void TkxInfoThread::RangeStep(const QString& address, const QString& resumeAfter) {
    // Hosts reach the slot in small batches, so a range that runs out of time still keeps
    // the hosts found so far.
    constexpr size_t Batch = 256;
    TIPRange range(address);
    const QString prefix = QStringLiteral("\\\\");
    std::vector<Found> hosts;
    std::vector<quint32> addresses; // their names are looked up from now on
    hosts.reserve(Batch);
    addresses.reserve(Batch);
    auto deliver = [&] {
        Services->LookAhead(addresses);
        AddRecords(prefix, hosts);
        hosts.clear();
        addresses.clear();
    };
    const std::optional<TIPAddress> after =
        resumeAfter.isEmpty() ? std::nullopt : std::optional(TIPAddress(resumeAfter));
    VisitRange(range, [&](const TIPAddress& ip) {
        if (Terminated())
            return false;
        if (after && ip.Compare(*after) != TIPAddress::crGreater)
            return true;
        const QString text = ip.AsText();
        hosts.push_back({text, ikHost});
        addresses.push_back(ip.AsNetworkLong());
        if (hosts.size() == Batch) {
            deliver();
            WaitForRoom();
        }
        return true;
    });
    deliver();
}

void TkxInfoThread::WaitForRoom() {
    std::unique_lock lock(*Guard);
    if (!Owner || Owner->Count() < RangeBatch)
        return;
    Waker->Wake();
    Drained->wait(lock, [this] { return !Owner || Terminated() || Owner->Count() < RangeBatch; });
}

void TkxInfoThread::HostStep(const QString& name, const QString& address) {
    if (Terminated())
        return;
    // A host's name is its dotted address until it has been resolved once.
    TIPAddress ip(name);
    if (!ip.IsEmpty()) {
        const QString resolved = Services->ReverseLookup(ip.AsNetworkLong(), Cancel);
        if (!resolved.isEmpty() && !Terminated())
            SetOwnerName(resolved);
    }
    if (Terminated())
        return;
    QString host = address;
    while (host.startsWith(u'\\'))
        host.remove(0, 1);
    while (host.endsWith(u'\\'))
        host.chop(1);
    std::vector<TkxShareEntry> shares;
    if (host.isEmpty())
        return;
    const TkxNetResult error = Services->ListShares(host, shares, Cancel);
    if (error.Failed() && !Terminated())
        throw EkxListingFailed(error);
    if (error.Kind != TkxNetResult::None)
        return;
    const QString prefix = WithBackslash(address);
    std::vector<Found> found;
    found.reserve(shares.size());
    for (TkxShareEntry& share : shares)
        found.push_back({std::move(share.Name), ikShare});
    AddRecords(prefix, found);
}

void TkxInfoThread::FolderStep(const QString& address) {
    if (Terminated())
        return;
    quint64 ownId = 0;
    std::vector<std::pair<QString, quint64>> ancestors;
    {
        std::unique_lock lock(*Guard);
        if (!Owner)
            return;
        ownId = Owner->FileId;
        ancestors = Owner->Ancestors;
    }
    std::vector<TkxDirEntry> entries;
    const TkxNetResult error = ownId ? Services->ListKnownFolder(address, entries, Cancel)
                                     : Services->ListFolder(address, entries, Cancel);
    FolderListed(address, error, entries, ownId, std::move(ancestors));
}

void TkxInfoThread::FolderListed(const QString& address, const TkxNetResult& error,
                                 std::vector<TkxDirEntry>& entries, quint64 ownId,
                                 std::vector<std::pair<QString, quint64>> ancestors) {
    if (error.Failed() && !Terminated())
        throw EkxListingFailed(error);
    if (error.Kind != TkxNetResult::None)
        return;

    // A folder whose server id repeats an ancestor's on the same share is a loop (a link
    // to an ancestor): exploring it would never end.
    if (ownId == 0) {
        for (const TkxDirEntry& e : entries) {
            if (e.Name == u".") {
                ownId = e.FileId;
                break;
            }
        }
    }
    if (ownId != 0) {
        std::vector<std::pair<QString, quint64>> learnt;
        for (auto& [ancestorAddress, id] : ancestors) {
            if (Terminated())
                return;
            if (id == 0) {
                id = Services->FolderId(ancestorAddress, Cancel);
                if (id != 0)
                    learnt.emplace_back(ancestorAddress, id);
            }
            if (id == ownId) {
                std::unique_lock lock(*Guard);
                if (Owner)
                    Owner->LearntIds = learnt;
                throw EkxError(
                    QStringLiteral("Folder loop: %1 is %2").arg(address, ancestorAddress));
            }
        }
        std::unique_lock lock(*Guard);
        if (!Owner)
            return;
        Owner->FileId = ownId;
        Owner->LearntIds = std::move(learnt);
    }

    const QString prefix = WithBackslash(address);
    std::vector<Found> found;
    found.reserve(entries.size());
    for (TkxDirEntry& e : entries) {
        found.push_back({std::move(e.Name), e.IsDirectory ? ikFolder : ikFile, double(e.Size),
                         e.Creating, e.EditTime, e.LastAccess, e.FileId});
    }
    AddRecords(prefix, found);
}
