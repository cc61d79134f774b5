#include "store/kxStoreWriter.h"

#include "engine/kxTsan.h"
#include "model/kxErrors.h"
#include "store/kxStoreRows.h"
#include "store/kxStoreSchema.h"

#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <pthread.h>

namespace {

// A transaction waits this long for more rows unless this many are there: a commit per harvest
// would cost the server a disk flush each.
constexpr size_t BatchRows = 4096;
constexpr std::chrono::milliseconds Linger(200);

QString UtcNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace

QString StoreRunState(TkxSearchState state) {
    switch (state) {
    case srFinished:
        return QStringLiteral("finished");
    case srUserStopped:
        return QStringLiteral("stopped");
    case srFailed:
        return QStringLiteral("failed");
    default:
        return QStringLiteral("running");
    }
}

TkxStoreWriter::TkxStoreWriter(const TkxStoreUrl& url, TkxStoreRun run, QObject* parent)
    : QObject(parent), Url(url), RunInfo(std::move(run)) {}

TkxStoreWriter::~TkxStoreWriter() {
    Detach();
    {
        const std::lock_guard lock(Lock);
        Abandon = true;
    }
    Wake.notify_all();
    if (Worker.joinable())
        Worker.join();
}

void TkxStoreWriter::Open() {
    Worker = std::thread([this] { Main(); });
    std::unique_lock lock(Lock);
    Settle.wait(lock, [this] { return Opened || Ended; });
    if (!Opened)
        throw EkxError(Failure);
}

bool TkxStoreWriter::Incomplete() const {
    const std::lock_guard lock(Lock);
    return FailedFlag || !Opened;
}

QString TkxStoreWriter::FailureText() const {
    const std::lock_guard lock(Lock);
    return Failure;
}

// --- the document's side

void TkxStoreWriter::Attach(TkxProjectDoc& doc, const std::vector<QString>& parts) {
    Doc = &doc;
    for (TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        n->Info.WatchId = NewId();
        n->Info.WatchMark = 0; // another writer's
    }
    const TkxNode* root = doc.Tree().Root();
    for (size_t i = 0; i < parts.size() && i < root->Children.size(); ++i) {
        if (!parts[i].isEmpty())
            Parts[root->Children[i]->Info.WatchId] = parts[i];
    }
    for (TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        if (n->Info.WatchId != 0)
            Upsert(n, true);
    }
    Settled();
    doc.SetTreeWatcher(this);
}

quint32 TkxStoreWriter::NewId() {
    // Ids fill 30 bits of a record: a billion nodes, far more than memory holds.
    constexpr quint32 Last = (quint32(1) << 30) - 1;
    if (NextId > Last) {
        Fail(nullptr, QStringLiteral("the run has more nodes than the store numbers"));
        return 0;
    }
    return NextId++;
}

void TkxStoreWriter::Detach() {
    if (Doc)
        Doc->SetTreeWatcher(nullptr);
    Doc = nullptr;
}

void TkxStoreWriter::Upsert(const TkxNode* node, bool isNew, bool failed) {
    const TkxInfo& info = node->Info;
    TItem item;
    item.Id = info.WatchId;
    item.New = isNew;
    // Set when the last item queued held the name it has now; a rename clears it.
    const bool nameKept = info.NameWatched;
    info.NameWatched = 1;
    const bool ahead = info.WatchMark;
    if (ahead) {
        info.WatchMark = 0;
        --Ahead;
    }
    if (!isNew && !failed && nameKept) {
        // The file's own task has left the marks its row was written with (NodesAdded).
        if (ahead && info.Scanned && info.Matched && info.HasMatch)
            return;
        // The row holds all but the marks already, or will once the items queued are written.
        item.MarksOnly = true;
        item.Info.Matched = info.Matched;
        item.Info.HasMatch = info.HasMatch;
        item.Info.Scanned = info.Scanned;
        Group.push_back(std::move(item));
        return;
    }
    // The root's record has no number: a range has no parent.
    item.Parent = node->Parent ? node->Parent->Info.WatchId : 0;
    item.Info = info;
    if (!Failures.empty()) {
        if (const auto f = Failures.find(item.Id); f != Failures.end())
            item.Failure = f->second;
    }
    if (!Parts.empty() && node->Parent && node->Parent->IsRoot()) {
        if (const auto p = Parts.find(item.Id); p != Parts.end())
            item.Part = p->second;
    }
    Group.push_back(std::move(item));
}

void TkxStoreWriter::TItem::Merge(TItem&& later) {
    if (later.MarksOnly) {
        // What this item holds stays true but for the marks.
        Info.Matched = later.Info.Matched;
        Info.HasMatch = later.Info.HasMatch;
        Info.Scanned = later.Info.Scanned;
        return;
    }
    // The later item holds the node's whole state: what the earlier one had is stale, but for
    // the row the store does not hold yet.
    const bool first = New;
    *this = std::move(later);
    New = New || first;
}

void TkxStoreWriter::NodesAdded(const TkxNode*, const std::vector<TkxNode*>& nodes) {
    // A file's own task explores nothing: it only marks the file scanned. A file that this
    // search will hand out is written as that task leaves it, so the task's end costs the store
    // no second write of the row (most rows of a walk are files' and were written twice). Those
    // the run does not reach after all are written again as they are (Finish).
    const bool reached = !nodes.empty() && Doc &&
                         TkxProjectDoc::WithinDepth(nodes.front()->Level(), Doc->Params().Depth);
    for (const TkxNode* node : nodes) {
        const TkxInfo& info = node->Info;
        info.WatchId = NewId();
        if (info.WatchId == 0)
            continue;
        Upsert(node, true);
        if (reached && info.Kind == ikFile && !info.Scanned && info.Matched && info.HasMatch) {
            Group.back().Info.Scanned = 1;
            info.WatchMark = 1;
            ++Ahead;
        }
    }
}

void TkxStoreWriter::NodeChanged(const TkxNode* node) {
    if (node->Info.WatchId != 0)
        Upsert(node, false);
}

void TkxStoreWriter::NodeFailed(const TkxNode* node, const QString& reason) {
    if (node->Info.WatchId != 0) {
        Failures[node->Info.WatchId] = reason;
        Upsert(node, false, true);
    }
}

void TkxStoreWriter::NodeDeleting(const TkxNode* node) {
    std::vector<const TkxNode*> stack{node};
    while (!stack.empty()) {
        const TkxNode* n = stack.back();
        stack.pop_back();
        for (const auto& child : n->Children)
            stack.push_back(child.get());
        const quint32 id = n->Info.WatchId;
        if (id == 0)
            continue;
        n->Info.WatchId = 0;
        n->Info.NameWatched = 0;
        if (n->Info.WatchMark) {
            n->Info.WatchMark = 0;
            --Ahead;
        }
        TItem item;
        item.Delete = true;
        item.Id = id;
        Group.push_back(std::move(item));
        if (!Failures.empty())
            Failures.erase(id);
        if (!Parts.empty())
            Parts.erase(id);
    }
}

void TkxStoreWriter::Settled() {
    if (Group.empty())
        return;
    bool wake = false;
    {
        const std::lock_guard lock(Lock);
        if (FailedFlag || Ending) {
            Group.clear(); // nothing more reaches the store
            return;
        }
        const size_t before = Queue.size();
        // The queue keeps the room the thread hands back: a batch's items move once.
        if (Queue.capacity() < before + Group.size())
            Queue.reserve(std::max({before + Group.size(), 2 * Queue.capacity(), BatchRows}));
        std::move(Group.begin(), Group.end(), std::back_inserter(Queue));
        wake = before == 0 || (before < BatchRows && Queue.size() >= BatchRows);
    }
    Group.clear();
    if (wake)
        Wake.notify_one();
}

bool TkxStoreWriter::Finish(TkxSearchState state, int failedTasks) {
    if (Finished)
        return !Incomplete();
    Finished = true;
    // Files written as scanned whose task the run did not reach (a Stop, a failed search)
    // are written as they are.
    if (Doc) {
        for (TkxNode* n = Doc->Tree().NextPreOrder(nullptr); n && Ahead > 0;
             n = Doc->Tree().NextPreOrder(n)) {
            if (n->Info.WatchMark)
                Upsert(n, false);
        }
    }
    Settled();
    Detach();
    {
        std::unique_lock lock(Lock);
        if (!Opened)
            return false;
        Ending = true;
        EndState = state;
        EndFailed = failedTasks;
        Wake.notify_one();
        Settle.wait(lock, [this] { return Ended; });
    }
    if (Worker.joinable())
        Worker.join();
    return !Incomplete();
}

// --- the writer's thread

void TkxStoreWriter::Main() {
    // Named apart from the document's thread, so a profile tells them apart.
    pthread_setname_np(pthread_self(), "orvane-store");
    std::unique_ptr<TkxSqlSession> session;
    try {
        session = OpenSqlSession(Url);
        PrepareStoreSchema(*session);
        StartRun(*session);
    } catch (const std::exception& e) {
        const std::lock_guard lock(Lock);
        Failure = ErrorMessage(e);
        Ended = true;
        Settle.notify_all();
        return;
    }
    {
        const std::lock_guard lock(Lock);
        Opened = true;
    }
    Settle.notify_all();

    // Handed back to the document's side at the next take, emptied but with its room: the queue
    // then rarely grows by reallocating (moving every record waiting).
    std::vector<TItem> items;
    for (;;) {
        items.clear();
        bool last = false;
        {
            std::unique_lock lock(Lock);
            Wake.wait(lock, [this] { return !Queue.empty() || Ending || Abandon; });
            // Gather more rows for one transaction, unless there are plenty already.
            const auto until = std::chrono::steady_clock::now() + Linger;
            Wake.wait_until(lock, until,
                            [this] { return Queue.size() >= BatchRows || Ending || Abandon; });
            if (Abandon)
                break;
            items.swap(Queue);
            last = Ending;
        }
        bool failed;
        {
            const std::lock_guard lock(Lock);
            failed = FailedFlag;
        }
        if (!failed) {
            try {
                Write(*session, items, last);
            } catch (const std::exception& e) {
                Fail(session.get(), ErrorMessage(e));
            }
        }
        if (last)
            break;
    }
    session.reset();
    {
        const std::lock_guard lock(Lock);
        Ended = true;
    }
    Settle.notify_all();
}

void TkxStoreWriter::StartRun(TkxSqlSession& session) {
    session.Query(
        QStringLiteral("INSERT INTO scans (name) VALUES (?) ON CONFLICT (name) DO NOTHING"),
        {TkxSqlValue::OfText(RunInfo.Scan)});
    qint64 scan = 0;
    session.Query(QStringLiteral("SELECT id FROM scans WHERE name = ?"),
                  {TkxSqlValue::OfText(RunInfo.Scan)},
                  [&](const TkxSqlRow& row) { scan = row.Int(0); });
    if (scan == 0)
        throw EkxError(QStringLiteral("the scan could not be recorded"));
    const TkxParams& p = RunInfo.Params;
    session.Query(
        QStringLiteral("INSERT INTO runs (scan, shard, shards, host, threads, depth, lifetime, "
                       "masks, targets, started, state, failed_tasks) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0) RETURNING id"),
        {TkxSqlValue::Of(scan), TkxSqlValue::Of(RunInfo.Shard.Index),
         TkxSqlValue::Of(RunInfo.Shard.Count), TkxSqlValue::OfText(RunInfo.Host),
         TkxSqlValue::Of(p.TotalThreads), TkxSqlValue::Of(p.Depth), TkxSqlValue::Of(p.LifeTime),
         TkxSqlValue::OfText(p.Masks), TkxSqlValue::OfText(RunInfo.Targets),
         TkxSqlValue::OfText(UtcNow()), TkxSqlValue::OfText(StoreRunState(srStarted))},
        [&](const TkxSqlRow& row) { Run = row.Int(0); });
    if (Run == 0)
        throw EkxError(QStringLiteral("the run could not be recorded"));
}

void TkxStoreWriter::Write(TkxSqlSession& session, std::vector<TItem>& items, bool last) {
    // In the order of ids, so that rows go into the tree's pages in order; the items stay where
    // they are (each is a whole record: moving them costs more than the sort). A node's items
    // keep the order they came in and merge into its first: each node is written once, and a
    // node deleted stays deleted (ids are never used twice). A node whose row the store holds
    // already (one added in an earlier batch) gets only what a change may touch.
    std::vector<TItem*> order;
    order.reserve(items.size());
    for (TItem& item : items)
        order.push_back(&item);
    std::stable_sort(order.begin(), order.end(),
                     [](const TItem* a, const TItem* b) { return a->Id < b->Id; });
    size_t kept = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        if (kept > 0 && order[kept - 1]->Id == order[i]->Id)
            order[kept - 1]->Merge(std::move(*order[i]));
        else
            order[kept++] = order[i];
    }
    order.resize(kept);
    const qint64 run = Run;
    // PostgreSQL takes new rows through COPY: the server parses no statement of thousands of
    // values, and no text of a number or a time, for them.
    const bool copy = session.Dialect() == TkxStoreUrl::Postgres;
    TkxNodeCopy copied(run);
    qint64 rows = 0;
    std::vector<TkxSqlParams> updates, deletes;
    std::vector<const TItem*> fresh; // SQLite's new rows, written in the transaction
    // Marks-only changes by their marks (matched, has_match, scanned as bits).
    std::vector<quint32> marked[8];
    const auto bits = [](const TkxInfo& i) {
        return (i.Matched ? 1 : 0) | (i.HasMatch ? 2 : 0) | (i.Scanned ? 4 : 0);
    };
    if (!copy)
        fresh.reserve(order.size());
    for (const TItem* at : order) {
        const TItem& item = *at;
        if (item.Delete) {
            deletes.push_back({TkxSqlValue::Of(run), TkxSqlValue::Of(item.Id)});
        } else if (item.New && copy) {
            copied.Add(item.Id, item.Parent, item.Info, item.Failure, item.Part);
            ++rows;
        } else if (item.New) {
            fresh.push_back(&item);
        } else if (item.MarksOnly) {
            marked[bits(item.Info)].push_back(item.Id);
        } else {
            updates.push_back(NodeChangeParams(run, item.Id, item.Info, item.Failure));
        }
    }
    rows += qint64(fresh.size() + updates.size() + deletes.size());
    for (const std::vector<quint32>& ids : marked)
        rows += qint64(ids.size());
    session.BeginWrite();
    try {
        // A batch's commit need not wait for the server's disk: a server that crashes loses at
        // most the last moments of batches, never its consistency, and the run they belong to
        // stays "running" (unfinished), since the run's end commits only with every batch
        // before it on disk.
        if (!last && session.Dialect() == TkxStoreUrl::Postgres)
            session.Exec(QStringLiteral("SET LOCAL synchronous_commit = off"));
        copied.Write(session);
        TkxNodeRows inserts(session, run);
        for (const TItem* item : fresh)
            inserts.Add(item->Id, item->Parent, item->Info, item->Failure, item->Part);
        inserts.Flush();
        WriteNodeChanges(session, updates);
        for (int b = 0; b < 8; ++b) {
            if (marked[b].empty())
                continue;
            TkxInfo marks;
            marks.SetMatched(b & 1 ? 1 : 0);
            marks.SetHasMatch(b & 2 ? 1 : 0);
            marks.SetScanned(b & 4 ? 1 : 0);
            WriteNodeMarks(session, run, marks, marked[b]);
        }
        DeleteNodes(session, deletes);
        if (last) {
            int failed;
            TkxSearchState state;
            {
                const std::lock_guard lock(Lock);
                failed = EndFailed;
                state = EndState;
            }
            session.Query(
                QStringLiteral(
                    "UPDATE runs SET ended = ?, state = ?, failed_tasks = ? WHERE id = ?"),
                {TkxSqlValue::OfText(UtcNow()), TkxSqlValue::OfText(StoreRunState(state)),
                 TkxSqlValue::Of(failed), TkxSqlValue::Of(run)});
        }
        session.Exec(QStringLiteral("COMMIT"));
    } catch (...) {
        try {
            session.Exec(QStringLiteral("ROLLBACK"));
        } catch (...) {
            NoteSwallowed("store rollback");
        }
        throw;
    }
    Written += rows;
}

void TkxStoreWriter::Fail(TkxSqlSession* session, const QString& reason) {
    {
        const std::lock_guard lock(Lock);
        if (FailedFlag)
            return;
        FailedFlag = true;
        Failure = reason;
        Queue.clear();
    }
    // Where the database still answers (a full disk, a refused row), the run says it is
    // incomplete; a lost server leaves it "running", which a reader takes as unfinished too.
    if (session) {
        try {
            session->Query(QStringLiteral("UPDATE runs SET ended = ?, state = ? WHERE id = ?"),
                           {TkxSqlValue::OfText(UtcNow()),
                            TkxSqlValue::OfText(QStringLiteral("incomplete")),
                            TkxSqlValue::Of(Run.load())});
        } catch (...) {
            NoteSwallowed("store marked incomplete");
        }
    }
    auto* notice = new TFailedEvent(reason);
    TsanPosted(notice);
    QCoreApplication::postEvent(this, notice);
}

bool TkxStoreWriter::event(QEvent* e) {
    // Before the type is read: the event was made on the writer's thread.
    TsanReceived(e);
    if (e->type() != TFailedEvent::EventType())
        return QObject::event(e);
    Q_EMIT StoreFailed(static_cast<TFailedEvent*>(e)->Reason);
    return true;
}
