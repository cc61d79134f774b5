#pragma once

// Streams a search into a result store while it runs. The document tells the writer of every
// change to its tree (TkxTreeWatcher); the writer copies what changed and hands it to a thread
// of its own, which writes it in transactions of many rows. The document's thread only ever
// appends to a queue: a slow or lost database never stalls the search or the window.

#include "document/kxProjectDoc.h"
#include "model/kxShards.h"
#include "store/kxStoreSql.h"

#include <QEvent>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

// What the runs table says of one run.
struct TkxStoreRun {
    QString Scan;
    TkxShard Shard;
    QString Host;
    TkxParams Params;
    QString Targets; // the run's ranges, one a line
};

// The state a run ends in, as the runs table names it.
QString StoreRunState(TkxSearchState state);

class TkxStoreWriter : public QObject, public TkxTreeWatcher {
    Q_OBJECT
public:
    TkxStoreWriter(const TkxStoreUrl& url, TkxStoreRun run, QObject* parent = nullptr);
    // Without Finish the run stays "running" in the store, and what was not written yet is
    // dropped: the store then shows the run as unfinished, which it is.
    ~TkxStoreWriter() override;

    // Connects (on the writer's thread), makes or checks the tables and records the run.
    // Throws EkxError with the reason.
    void Open();
    // From now on the store mirrors the document's tree: first all it holds, then every change.
    // parts[i] is the part text ("2/4") of the i-th top-level node, empty for a whole range.
    void Attach(TkxProjectDoc& doc, const std::vector<QString>& parts = {});
    // Writes what is left and the end of the run, then ends the thread. True when the store
    // holds the whole run.
    bool Finish(TkxSearchState state, int failedTasks);

    bool Incomplete() const;
    QString FailureText() const;
    qint64 RunId() const { return Run.load(); }
    qint64 RowsWritten() const { return Written.load(); }

Q_SIGNALS:
    // The store failed: sent once, on the document's thread; nothing more is written.
    void StoreFailed(const QString& reason);

protected:
    bool event(QEvent* e) override;

private:
    // The failure, told on the document's thread.
    class TFailedEvent : public QEvent {
    public:
        static QEvent::Type EventType() {
            static const int type = QEvent::registerEventType();
            return QEvent::Type(type);
        }
        explicit TFailedEvent(QString reason) : QEvent(EventType()), Reason(std::move(reason)) {}
        const QString Reason;
    };

    struct TItem {
        bool Delete = false;
        bool New = false; // the node's first row; later items change only what NodeChanged may
        // A change of the marks alone (name and failure as stored): Info holds only the marks.
        bool MarksOnly = false;
        void Merge(TItem&& later);
        quint32 Id = 0;
        quint32 Parent = 0;
        TkxInfo Info;
        QString Failure, Part;
    };

    // TkxTreeWatcher, on the document's thread.
    void NodesAdded(const TkxNode* parent, const std::vector<TkxNode*>& nodes) override;
    void NodeChanged(const TkxNode* node) override;
    void NodeFailed(const TkxNode* node, const QString& reason) override;
    void NodeDeleting(const TkxNode* node) override;
    void Settled() override;
    void Upsert(const TkxNode* node, bool isNew, bool failed = false);
    // The next node's id; 0 (and the store failed) once they run out.
    quint32 NewId();
    void Detach();

    // The writer's thread.
    void Main();
    void StartRun(TkxSqlSession& session);
    void Write(TkxSqlSession& session, std::vector<TItem>& items, bool last);
    void Fail(TkxSqlSession* session, const QString& reason);

    const TkxStoreUrl Url;
    const TkxStoreRun RunInfo;

    // Document side.
    // A node's id is its record's WatchId. NameWatched says the node was not renamed since its
    // last item was queued: a change of it that is no failure then touches only the marks (a
    // file's own task that marks it scanned, a folder that now leads to a match). WatchMark
    // says a file's row was written scanned before its task ran; Ahead counts those.
    QPointer<TkxProjectDoc> Doc;
    size_t Ahead = 0;
    std::unordered_map<quint32, QString> Failures;
    std::unordered_map<quint32, QString> Parts; // of top-level nodes
    quint32 NextId = 1;
    std::vector<TItem> Group;
    bool Finished = false;

    // Shared with the thread, under Lock.
    mutable std::mutex Lock;
    std::condition_variable Wake;   // the thread waits for work
    std::condition_variable Settle; // the document's side waits for the open and the end
    // A node's items in the order they came; the thread merges those of one node, so a node
    // added and changed before the thread takes the queue is written once, in its last state.
    std::vector<TItem> Queue;
    bool Opened = false, Ending = false, Ended = false, Abandon = false;
    TkxSearchState EndState = srNone;
    int EndFailed = 0;
    QString Failure;
    bool FailedFlag = false;

    std::atomic<qint64> Run{0};
    std::atomic<qint64> Written{0};
    std::thread Worker;
};
