#include "document/kxProjectDoc.h"

#include "document/kxCheckpoint.h"
#include "engine/kxManager.h"
#include "engine/kxServices.h"
#include "lang/kxExtraTexts.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "model/kxIPs.h"
#include "storage/kxProjectFile.h"
#include "storage/kxUtils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QScopeGuard>

#include <algorithm>

TkxProjectDoc::TkxProjectDoc(QObject* parent)
    : QObject(parent), Bridge(std::make_unique<TkxBridgeTarget>()),
      Checkpoints(new TkxCheckpointWriter(this)) {
    connect(Checkpoints, &TkxCheckpointWriter::Written, this, &TkxProjectDoc::CheckpointWritten);
}

TkxProjectDoc::~TkxProjectDoc() {
    // The checkpoint's writer reads the nodes freed below.
    CancelCheckpoint();
    // Cut every manager off first: from now on their calls yield neutral results at once,
    // and dropping the bridge target releases any call already queued, so waiting for them
    // below cannot hang.
    std::vector<std::unique_ptr<TQueueManager>> managers = std::exchange(LiveManagers, {});
    if (CurrentManager)
        managers.push_back(std::move(CurrentManager));
    for (const auto& m : managers) {
        m->SetMainWindow(nullptr);
        m->Terminate();
    }
    Bridge.reset();
    managers.clear(); // each waits for its thread
}

TkxProjectDoc::TkxLongOperation::TkxLongOperation(TkxProjectDoc* doc) : Doc(doc) {
    if (Doc->LongDepth++ == 0)
        Q_EMIT Doc->LongOperationChanged(true);
}

TkxProjectDoc::TkxLongOperation::~TkxLongOperation() {
    if (--Doc->LongDepth == 0)
        Q_EMIT Doc->LongOperationChanged(false);
}

QObject* TkxProjectDoc::BridgeTarget() const {
    return Bridge.get();
}

void TkxProjectDoc::SetNetServices(std::shared_ptr<TkxNetServices> services) {
    Services = std::move(services);
}

// --- parameters

void TkxProjectDoc::SetParams(const TkxParams& params) {
    if (params == CurrentParams)
        return;
    CurrentParams = params;
    SetModified(true);
    Q_EMIT ParamsChanged();
}

// --- queue

void TkxProjectDoc::AppendPending(TkxNode* node) {
    EnsureNotSearching();
    if (node && !node->IsRoot())
        Pending.push_back(node);
}

void TkxProjectDoc::ClearPending() {
    Pending.clear();
    Handed = 0;
}

// --- tree

TkxNode* TkxProjectDoc::AddInfoNode(TkxInfo&& record, TkxNode* parent) {
    std::vector<TkxInfo> one;
    one.push_back(std::move(record));
    return AddInfoNodes(std::move(one), parent).front();
}

std::vector<TkxNode*> TkxProjectDoc::AddInfoNodes(std::vector<TkxInfo>&& records, TkxNode* parent) {
    EnsureNotSearching();
    std::vector<TkxNode*> nodes = AddNodesUnchecked(std::move(records), parent);
    Settle();
    return nodes;
}

std::vector<TkxNode*> TkxProjectDoc::AddNodesUnchecked(std::vector<TkxInfo>&& records,
                                                       TkxNode* parent) {
    if (records.empty())
        return {};
    if (Adding)
        throw EkxError(QStringLiteral("Can not add node with old information"));
    Adding = true;
    std::vector<TkxNode*> nodes;
    try {
        nodes = Model.AppendNodes(parent, std::move(records));
        for (TkxNode* node : nodes) {
            if (node->Info.Scanned == 0)
                Pending.push_back(node);
        }
        SetModified(true);
        if (Watcher)
            Watcher->NodesAdded(parent && !parent->IsRoot() ? parent : nullptr, nodes);
    } catch (...) {
        Adding = false;
        throw;
    }
    Adding = false;
    return nodes;
}

void TkxProjectDoc::EnsureNotSearching() const {
    if (IsSearching())
        throw EkxError(QStringLiteral("The tree can not be changed while searching"));
    if (Waiting)
        throw EkxError(QStringLiteral("The project is busy"));
}

void TkxProjectDoc::EnsureTreeEditable() {
    EnsureNotSearching();
    WaitForManagers();
    CancelCheckpoint();
}

// --- checkpoints

bool TkxProjectDoc::StartCheckpoint(const QString& fileName, TkxCheckpointFrame frame) {
    // In the middle of an operation the tree is half built, or about to lose nodes.
    if (Checkpoints->Busy() || InLongOperation() || Waiting || Adding)
        return false;
    auto snapshot =
        std::make_shared<const TkxTreeSnapshot>(TkxTreeSnapshot::Take(Model, CurrentParams));
    auto write = [snapshot, frame = std::move(frame)](QIODevice& out,
                                                      const std::atomic<bool>& cancel) {
        const auto project = [&](QIODevice& device) {
            WriteProjectSnapshot(device, *snapshot, &cancel);
        };
        if (frame)
            frame(out, int(snapshot->Entries.size()), project);
        else
            project(out);
    };
    return Checkpoints->Start(fileName, std::move(write));
}

bool TkxProjectDoc::CheckpointBusy() const {
    return Checkpoints->Busy();
}

void TkxProjectDoc::WaitForCheckpoint() {
    Checkpoints->Wait();
}

void TkxProjectDoc::CancelCheckpoint() {
    Checkpoints->Cancel();
}

void TkxProjectDoc::DeleteNode(TkxNode* node) {
    if (!node || node->IsRoot())
        return;
    EnsureTreeEditable();
    const TkxLongOperation busy(this);
    Pending.clear();
    Deleting(node);
    Model.DeleteNode(node);
    Settle();
    SetModified(true);
    UpdateStatus();
}

void TkxProjectDoc::DeleteChildren(TkxNode* node) {
    if (!node || node->Children.empty())
        return;
    EnsureTreeEditable();
    Pending.clear();
    DeletingChildren(node);
    Model.DeleteChildren(node);
    Settle();
    SetModified(true);
}

void TkxProjectDoc::ClearTree() {
    EnsureTreeEditable();
    const TkxLongOperation busy(this);
    const bool hadNodes = Model.HasNodes();
    Pending.clear();
    DeletingChildren(Model.Root());
    Model.Clear();
    Settle();
    if (hadNodes)
        SetModified(true);
    UpdateStatus();
}

TkxNode* TkxProjectDoc::AddRange(const QString& name, const QString& rangeText) {
    TkxInfo record;
    record.SetName(name);
    record.SetAddress(rangeText);
    record.SetKind(ikRange);
    ResetRecord(&record);
    TkxNode* node = AddInfoNode(std::move(record), nullptr);
    UpdateStatus();
    return node;
}

std::vector<TkxNode*> TkxProjectDoc::AddTargets(const TkxTargetList& targets) {
    std::vector<TkxInfo> records(targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        records[i].SetName(targets[i].Caption());
        records[i].SetAddress(targets[i].RangeText());
        records[i].SetKind(ikRange);
        ResetRecord(&records[i]);
    }
    std::vector<TkxNode*> nodes = AddInfoNodes(std::move(records), nullptr);
    UpdateStatus();
    return nodes;
}

void TkxProjectDoc::Pack() {
    EnsureTreeEditable();
    const TkxLongOperation busy(this);
    const auto clearProgress = qScopeGuard([this] { ShowProgress(QString()); });
    // The subtrees to go are those whose root leads to no match while its ancestors do: what
    // restarting from the top after each deletion finds, in one pre-order sweep. They are
    // deleted together afterwards, so views lay out once and never see half a pass.
    std::vector<TkxNode*> doomed;
    const int total = Model.NodeCount();
    const quint64 generation = Model.Generation();
    int checked = 0, steps = 0;
    QElapsedTimer clock;
    clock.start();
    ShowProgress(0, total);
    std::vector<std::pair<TkxNode*, size_t>> stack{{Model.Root(), 0}};
    while (!stack.empty()) {
        TkxNode* parent = stack.back().first;
        const size_t next = stack.back().second++;
        if (next >= parent->Children.size()) {
            stack.pop_back();
            continue;
        }
        TkxNode* node = parent->Children[next].get();
        if (node->Info.HasMatch == 0) {
            doomed.push_back(node);
            checked += TkxTreeModel::SubtreeSize(node);
        } else {
            ++checked;
            if (!node->Children.empty())
                stack.emplace_back(node, 0);
        }
        if ((++steps & 63) == 0 && clock.elapsed() >= TkxProgressThrottle::ProgressIntervalMs) {
            clock.restart();
            ShowProgress(checked, total);
        }
    }
    // Only the icon loader's calls ran meanwhile; they change no node's place.
    if (Model.Generation() != generation || Model.NodeCount() != total)
        throw EkxError(QStringLiteral("The tree changed while it was packed"));
    Pending.clear();
    for (const TkxNode* node : doomed)
        Deleting(node);
    if (Model.DeleteNodes(doomed) > 0)
        SetModified(true);
    Settle();
    UpdateStatus();
}

void TkxProjectDoc::MarkHasMatch(TkxNode* node) {
    for (TkxNode* n = node; n && !n->IsRoot(); n = n->Parent) {
        if (n->Info.HasMatch)
            break;
        n->Info.SetHasMatch(1);
        Model.NodeChanged(n);
        Changed(n);
    }
}

void TkxProjectDoc::ResetRecord(TkxInfo* record) {
    if (!record)
        return;
    record->SetMatched(0);
    record->SetHasMatch(0);
}

void TkxProjectDoc::SetNodeIcon(TkxNode* node, int index) {
    if (!node || node->IsRoot())
        return;
    node->ImageIndex = index;
    Model.NodeChanged(node);
}

void TkxProjectDoc::SetNodeIcons(const std::vector<std::pair<TkxNode*, int>>& icons) {
    Model.BeginChanges();
    const auto announce = qScopeGuard([this] { Model.EndChanges(); });
    for (const auto& [node, index] : icons)
        SetNodeIcon(node, index);
}

// --- search control

void TkxProjectDoc::SetSearchState(TkxSearchState s) {
    if (s != State) {
        if (s != srStopping && s != srFailed)
            ErrorText.clear();
        switch (s) {
        case srNone:
        case srFinished:
        case srFailed:
        case srUserStopped:
            // The manager reads the state without a round trip: it must see the new state
            // no later than it sees itself terminated.
            SharedState->store(s, std::memory_order_release);
            LetManagerGo();
            break;
        case srStarted:
            if (CurrentManager) {
                UpdateStatus();
                return;
            }
            // A stopped manager may still be putting its nodes back: let it finish first, so
            // it never reaches the new search.
            if (Waiting)
                throw EkxError(QStringLiteral("The project is busy"));
            WaitForManagers();
            FailedTasks = 0;
            Handed = 0;
            Foreseeable = Pending.size();
            Foreseen = 0;
            // Whoever keeps the credentials hands them over now (the services forgot the
            // passwords when the last search ended).
            Q_EMIT SearchStarting();
            {
                CurrentManager = std::make_unique<TQueueManager>(static_cast<TkxSearchHost*>(this),
                                                                 Services, SharedState);
                // The notice may come after the manager was waited for and freed elsewhere,
                // when a newer one may have its address: it names the manager by a QPointer.
                connect(
                    CurrentManager.get(), &QThread::finished, this,
                    [this, m = QPointer<TQueueManager>(CurrentManager.get())] {
                        if (m)
                            ManagerEnded(m);
                    },
                    Qt::QueuedConnection);
                CurrentManager->Start();
            }
            break;
        default:
            break;
        }
        State = s;
        SharedState->store(s, std::memory_order_release);
        Q_EMIT SearchStateChanged(s);
    }
    UpdateStatus();
}

void TkxProjectDoc::HostSetSearchState(TkxSearchState s, const TkxThread* from) {
    if (from && from == CurrentManager.get()) {
        SetSearchState(s);
        return;
    }
    // A manager that has been let go never decides the search state (a Stop right after the
    // start would otherwise be overwritten by its Working and Finished); it may only show its
    // clean-up, and only while no newer search runs.
    if (s == srStopping) {
        if (!CurrentManager && !StoppingManager && !IsSearching()) {
            StoppingManager = from;
            StateBeforeStopping = State;
            SetSearchState(srStopping);
        }
    } else if (from && from == StoppingManager) {
        StoppingManager = nullptr;
        if (State == srStopping)
            SetSearchState(StateBeforeStopping);
    }
}

void TkxProjectDoc::HostShowSearchError(const QString& text, const TkxThread* from) {
    if (from && from == CurrentManager.get())
        ShowSearchError(text);
}

void TkxProjectDoc::ManagerGone(const TkxThread* manager) {
    // Ended without restoring what its clean-up showed (it lost its host meanwhile).
    if (manager != StoppingManager)
        return;
    StoppingManager = nullptr;
    if (State == srStopping)
        SetSearchState(StateBeforeStopping);
}

void TkxProjectDoc::LetManagerGo() {
    if (!CurrentManager)
        return;
    LiveManagers.push_back(std::move(CurrentManager));
    try {
        LiveManagers.back()->Terminate();
    } catch (...) {
        NoteSwallowed("letting a manager go");
    }
}

void TkxProjectDoc::ManagerEnded(TQueueManager* manager) {
    FreeManager(manager);
}

void TkxProjectDoc::FreeManager(TQueueManager* manager) {
    std::unique_ptr<TQueueManager> owned;
    if (manager && manager == CurrentManager.get()) {
        // Ended without a final state reaching us (it lost its host): forget it all the same.
        owned = std::move(CurrentManager);
    } else {
        const auto it = std::find_if(LiveManagers.begin(), LiveManagers.end(),
                                     [&](const auto& m) { return m.get() == manager; });
        if (it == LiveManagers.end())
            return; // already waited for and freed
        owned = std::move(*it);
        LiveManagers.erase(it);
    }
    owned->wait();
    ManagerGone(owned.get());
    owned.reset();
    if (!CurrentManager && LiveManagers.empty())
        AllManagersEnded();
}

void TkxProjectDoc::AllManagersEnded() {
    // No search runs now, and the next one is handed its credentials anew: the services need
    // their passwords no longer.
    if (Services) {
        try {
            Services->ForgetPasswords();
        } catch (...) {
            NoteSwallowed("ending a search");
        }
    }
    Q_EMIT ManagersIdle();
}

void TkxProjectDoc::WaitForManagers() {
    if (LiveManagers.empty())
        return;
    if (Waiting)
        throw EkxError(QStringLiteral("The project is busy"));
    Waiting = true;
    const auto done = qScopeGuard([this] { Waiting = false; });
    while (!LiveManagers.empty()) {
        const QPointer<TQueueManager> m = LiveManagers.front().get();
        if (!m->isFinished()) {
            // The manager's bridge calls are served; clicks and keys wait, so no command
            // reaches the document halfway through the operation that waits here.
            QEventLoop loop;
            connect(m, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
            if (!m->isFinished())
                loop.exec(QEventLoop::ExcludeUserInputEvents);
        }
        // The notice of its end may have freed it meanwhile.
        if (m)
            FreeManager(m);
    }
}

void TkxProjectDoc::ShowSearchError(const QString& text) {
    ErrorText = text;
    UpdateStatus();
}

void TkxProjectDoc::RequeueAllRanges() {
    EnsureTreeEditable();
    const TkxLongOperation busy(this);
    Pending.clear();
    TkxNode* root = Model.Root();
    for (auto& range : root->Children) {
        if (!range->Children.empty()) {
            DeletingChildren(range.get());
            Model.DeleteChildren(range.get());
            SetModified(true);
        }
        ResetRecord(&range->Info);
        Model.NodeChanged(range.get());
        Changed(range.get());
    }
    Settle();
    for (auto& range : root->Children)
        Pending.push_back(range.get());
    UpdateStatus();
}

void TkxProjectDoc::Run() {
    RequeueAllRanges();
    SetSearchState(srStarted);
}

void TkxProjectDoc::Continue() {
    SetSearchState(srStarted);
}

void TkxProjectDoc::Rescan(TkxNode* node) {
    if (!node || node->IsRoot())
        return;
    EnsureTreeEditable();
    {
        const TkxLongOperation busy(this);
        Pending.clear();
        if (!node->Children.empty()) {
            DeletingChildren(node);
            Model.DeleteChildren(node);
            SetModified(true);
        }
    }
    ResetRecord(&node->Info);
    Model.NodeChanged(node);
    Changed(node);
    Settle();
    Pending.push_back(node);
    SetSearchState(srStarted);
}

void TkxProjectDoc::Stop() {
    SetSearchState(srUserStopped);
}

// --- the manager's side

void TkxProjectDoc::HostReport(std::vector<TkxPassReport>& reports) {
    ApplyReports(reports);
    UpdateStatus();
}

void TkxProjectDoc::ApplyReports(std::vector<TkxPassReport>& reports) {
    // Passes rename and mark the same nodes many times over: views hear of each once.
    Model.BeginChanges();
    const auto announce = qScopeGuard([this] { Model.EndChanges(); });
    // A slot's last row in these reports is the one any view would show; an earlier row is
    // still counted when its task failed.
    std::vector<std::pair<size_t, size_t>> last; // per slot: report and row index
    for (size_t r = 0; r < reports.size(); ++r) {
        for (size_t k = 0; k < reports[r].Rows.size(); ++k) {
            const int slot = reports[r].Rows[k].first;
            if (slot < 0 || slot > 65535)
                continue;
            if (size_t(slot) >= last.size())
                last.resize(size_t(slot) + 1, {size_t(-1), 0});
            last[size_t(slot)] = {r, k};
        }
    }
    for (size_t r = 0; r < reports.size(); ++r) {
        TkxPassReport& report = reports[r];
        if (!report.Harvests.empty() || !report.Done.empty())
            ++Rev;
        size_t done = 0;
        const auto doneUpTo = [&](size_t harvests) {
            for (; done < report.Done.size() && report.Done[done].first <= harvests; ++done) {
                try {
                    HarvestNothing(report.Done[done].second);
                } catch (...) {
                    NoteSwallowed("harvest");
                }
            }
        };
        for (size_t h = 0; h < report.Harvests.size(); ++h) {
            doneUpTo(h);
            try {
                Harvest(std::move(report.Harvests[h]));
            } catch (...) {
                // One slot's failure must not cost the others their harvest.
                NoteSwallowed("harvest");
            }
        }
        doneUpTo(size_t(-1));
        const size_t taken = std::min({size_t(std::max(report.Taken, 0)), Handed, Pending.size()});
        Pending.erase(Pending.begin(), Pending.begin() + qsizetype(taken));
        Handed -= taken;
        Foreseeable -= std::min(Foreseeable, taken);
        Foreseen -= std::min(Foreseen, taken);
        for (size_t k = 0; k < report.Rows.size(); ++k) {
            const auto& [i, row] = report.Rows[k];
            if (i >= 0 && size_t(i) < last.size() && last[size_t(i)] == std::pair(r, k)) {
                UpdateThreadRow(i, row);
            } else if (row.Failed) {
                TaskHasFailed(row);
            }
        }
    }
    Settle();
}

int TkxProjectDoc::HostHandOut(std::vector<TkxPassReport>& reports, int count, quint32 depth,
                               std::vector<TkxAssignment>& out) {
    ApplyReports(reports);
    out.reserve(out.size() + std::min<size_t>(size_t(std::max(count, 0)), Pending.size() - Handed));
    for (; count > 0 && Handed < Pending.size(); --count) {
        try {
            out.push_back(HandOut(Pending[Handed], depth));
        } catch (...) {
            NoteSwallowed("hand-out");
            out.emplace_back().Outcome = TkxAssignment::Dropped;
        }
        ++Handed;
    }
    ForeseeHosts(depth);
    return int(Pending.size() - Handed);
}

void TkxProjectDoc::ForeseeHosts(quint32 depth) {
    // Range tasks hand their hosts to LookAhead as they find them; hosts that were already
    // queued (a search continued) are handed over here, a window ahead of the tasks, so that
    // their screens and names are under way before their tasks start.
    constexpr size_t Window = 8192;
    if (!Services)
        return;
    const size_t end = std::min({Pending.size(), Foreseeable, Handed + Window});
    std::vector<quint32> addresses;
    // Those just handed out too: most of them wait for a free slot yet.
    for (size_t i = Foreseen; i < end; ++i) {
        const TkxNode* node = Pending[i];
        if (node->Info.Kind != ikHost || !WithinDepth(node->Level(), depth))
            continue;
        // Only an address exactly as a range step writes it: never a guess from a name.
        const QString dotted = node->Info.AddressText().mid(2);
        const TIPAddress ip(dotted);
        if (!ip.IsEmpty() && ip.AsText() == dotted)
            addresses.push_back(ip.AsNetworkLong());
    }
    Foreseen = std::max(Foreseen, end);
    if (!addresses.empty())
        Services->LookAhead(addresses);
}

TkxAssignment TkxProjectDoc::HandOut(TkxNode* node, quint32 depth) const {
    TkxAssignment a;
    if (!WithinDepth(node->Level(), depth)) {
        a.Outcome = TkxAssignment::Dropped;
        return a;
    }
    a.Outcome = TkxAssignment::Assigned;
    a.Node = node;
    a.Name = node->Info.NameText();
    a.Address = node->Info.AddressText();
    a.Kind = TkxItemKind(node->Info.Kind);
    if (a.Kind == ikFolder) {
        a.FileId = node->Info.FileId;
        for (TkxNode* n = node->Parent; n && !n->IsRoot(); n = n->Parent) {
            if (n->Info.Kind != ikFolder && n->Info.Kind != ikShare)
                break;
            a.Ancestors.emplace_back(n->Info.AddressText(), n->Info.FileId);
            if (n->Info.Kind == ikShare)
                break;
        }
        std::reverse(a.Ancestors.begin(), a.Ancestors.end());
    }
    // A range task hands its hosts over in batches while it runs, in address order: one that
    // was interrupted (a Stop, a checkpoint read back) goes on after the last host it gave,
    // instead of adding every host a second time.
    if (a.Kind == ikRange && !node->Children.empty()) {
        const TkxInfo& last = node->Children.back()->Info;
        if (last.Kind == ikHost)
            a.ResumeAfter = last.AddressText().remove(0, 2);
    }
    return a;
}

void TkxProjectDoc::Harvest(TkxHarvest&& harvest) {
    TkxNode* node = harvest.Node;
    if (!node || node->IsRoot())
        return;
    if (harvest.Partial) {
        AddNodesUnchecked(std::move(harvest.Records), node);
        return;
    }
    TkxInfo& record = node->Info;
    record.SetName(harvest.Name);
    record.SetScanned(1);
    // Explored again: an earlier failure no longer holds.
    if (!harvest.Failed)
        Model.SetFailure(node, QString());
    if (harvest.FileId != 0 && (record.Kind == ikFolder || record.Kind == ikShare))
        record.FileId = harvest.FileId;
    if (!harvest.LearntIds.empty()) {
        for (TkxNode* n = node->Parent; n && !n->IsRoot(); n = n->Parent) {
            for (const auto& [address, id] : harvest.LearntIds) {
                if (n->Info.FileId == 0 && n->Info.AddressText() == address)
                    n->Info.FileId = id;
            }
        }
    }
    Model.NodeChanged(node);
    Changed(node);
    bool anyMatched = false;
    for (const TkxInfo& r : harvest.Records)
        anyMatched |= r.Matched != 0;
    AddNodesUnchecked(std::move(harvest.Records), node);
    if (anyMatched)
        MarkHasMatch(node);
}

void TkxProjectDoc::HarvestNothing(TkxNode* node) {
    // What Harvest does with an empty harvest of a task that did not fail and renames nothing.
    if (!node || node->IsRoot())
        return;
    node->Info.SetScanned(1);
    Model.SetFailure(node, QString());
    Model.NodeChanged(node);
    Changed(node);
}

void TkxProjectDoc::HostRequeue(std::vector<TkxPassReport>& reports,
                                const std::vector<TkxNode*>& nodes) {
    ApplyReports(reports);
    Handed = 0;
    for (TkxNode* node : nodes) {
        if (node && !node->IsRoot())
            Pending.push_back(node);
    }
}

int TkxProjectDoc::HostEndPass(const std::vector<std::pair<int, TkxThreadRow>>& rows) {
    for (const auto& [i, row] : rows)
        UpdateThreadRow(i, row);
    UpdateStatus();
    return int(Pending.size());
}

// --- thread rows

void TkxProjectDoc::UpdateThreadRow(int i, const TkxThreadRow& row) {
    if (i < 0)
        return;
    RowsModel.Update(i, row);
    if (row.Failed)
        TaskHasFailed(row);
}

void TkxProjectDoc::TaskHasFailed(const TkxThreadRow& row) {
    ++FailedTasks;
    Model.SetFailure(row.Node, row.State);
    // The node is only looked up, never read: the watcher knows the nodes it was told of.
    if (Watcher && row.Node)
        Watcher->NodeFailed(row.Node, row.State);
    Q_EMIT TaskFailed(row.Address, row.State);
}

void TkxProjectDoc::ClearThreadRows() {
    RowsModel.Clear();
}

// --- project

void TkxProjectDoc::SetModified(bool modified) {
    ++Rev;
    if (IsModified == modified)
        return;
    IsModified = modified;
    Q_EMIT ModifiedChanged(modified);
}

void TkxProjectDoc::SetProjectFileName(const QString& name) {
    FileName = name;
}

QString TkxProjectDoc::ProjectName() const {
    if (IsUntitled())
        return QStringLiteral("%1%2").arg(CurrentText(txtProject)).arg(NewCount);
    qsizetype cut = -1;
    for (QChar sep : {u'\\', u'/', u':'})
        cut = std::max(cut, FileName.lastIndexOf(sep));
    QString name = FileName.mid(cut + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    return name;
}

void TkxProjectDoc::NewProject() {
    ClearTree();
    FileName.clear();
    ++NewCount;
    CurrentParams = DefaultParams();
    Q_EMIT ParamsChanged();
    UpdateStatus();
    SetModified(false);
}

void TkxProjectDoc::UpdateStatus() {
    Q_EMIT StatusChanged();
}

QString TkxProjectDoc::StatusStateText() const {
    try {
        QString detail = ErrorText;
        // The end of a search says how many of its tasks failed.
        if (detail.isEmpty() && FailedTasks > 0 &&
            (State == srFinished || State == srUserStopped || State == srFailed))
            detail = TasksFailedText(FailedTasks);
        return TextWithDetail(SearchStateText(State), detail);
    } catch (...) {
        NoteSwallowed("status text");
        return QString();
    }
}

QString TkxProjectDoc::CaptionText() const {
    return QStringLiteral("%1 - %2 [%3]")
        .arg(QStringLiteral("Orvane"), ProjectName())
        .arg(Pending.size());
}

void TkxProjectDoc::ShowProgress(const QString& text) {
    Q_EMIT ProgressChanged(text);
}

void TkxProjectDoc::ShowProgress(int done, int total) {
    ShowProgress(QStringLiteral("%1/%2").arg(done).arg(total));
    // Repaints and the icon loader's calls go on; user input waits, so that no command
    // changes the tree under the pass.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
