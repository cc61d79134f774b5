#pragma once

#include "engine/kxAbstThread.h"
#include "engine/kxThreadRows.h"
#include "model/kxLists.h"
#include "model/kxTargets.h"
#include "model/kxTree.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QIODevice;
class TQueueManager;
struct TkxProjectSink;
class TkxCheckpointWriter;
class TkxNetServices;

// Follows every change of the tree's records, on the document's thread, as it happens: a result
// store mirrors the tree through it. The changes between two Settled calls belong together (a
// harvest: its node renamed and scanned, its children added, the matches marked), so a mirror
// that keeps each such group whole never holds a scanned node without its children.
class TkxTreeWatcher {
public:
    virtual ~TkxTreeWatcher() = default;
    // New nodes, the last children of parent (nullptr: top level).
    virtual void NodesAdded(const TkxNode* parent, const std::vector<TkxNode*>& nodes) = 0;
    // The node's record changed (name, Scanned, HasMatch, Matched).
    virtual void NodeChanged(const TkxNode* node) = 0;
    // The node's task failed; reason is the thread list's state text.
    virtual void NodeFailed(const TkxNode* node, const QString& reason) = 0;
    // The node and its subtree are about to be deleted.
    virtual void NodeDeleting(const TkxNode* node) = 0;
    virtual void Settled() = 0;
};

// Wraps a checkpoint's project data (the recovery file's header around it); runs on the
// checkpoint writer's thread with the number of nodes written.
using TkxCheckpointFrame = std::function<void(QIODevice& out, int nodes,
                                              const std::function<void(QIODevice&)>& writeProject)>;

// What the main window shows and the search works on: the result tree with its records,
// PendingNodes, Params, the search state, the current manager, the worker-slot rows and the
// project's name and Modified flag. Lives on the GUI thread; the window is a view of it and
// orvane-scan drives it without one. The manager reaches it only through its bridge.
class TkxProjectDoc : public QObject, private TkxSearchHost {
    Q_OBJECT
public:
    explicit TkxProjectDoc(QObject* parent = nullptr);
    ~TkxProjectDoc() override;

    // Views read the tree; every change goes through the document.
    const TkxTreeModel& Tree() const { return Model; }
    // The tree and the thread rows for Qt's views, which take a non-const model: the models
    // implement no editing, so a view can only read them.
    QAbstractItemModel* TreeViewModel() const { return const_cast<TkxTreeModel*>(&Model); }
    QAbstractItemModel* ThreadRowsViewModel() const {
        return const_cast<TkxThreadRowsModel*>(&RowsModel);
    }

    // --- search parameters
    const TkxParams& Params() const { return CurrentParams; }
    // Whether a search of this depth hands out a pending node of this level (Level()); it
    // drops the others. The depth compares as a signed number: a negative one drops every node.
    static bool WithinDepth(int level, quint32 depth) {
        return level >= 0 && (depth == 0 || level <= qint32(depth));
    }
    void SetParams(const TkxParams& params); // marks the project modified when they change

    // --- the queue of nodes waiting to be explored (first in, first out)
    const std::deque<TkxNode*>& PendingNodes() const { return Pending; }
    int PendingCount() const { return int(Pending.size()); }
    bool HasPendingNodes() const { return !Pending.empty(); }
    // Refused while searching, like every tree edit: the running manager would never see it.
    void AppendPending(TkxNode* node);
    void ClearPending();

    // --- tree operations (each keeps PendingNodes and Modified right; all are refused while
    // searching, and those that delete wait for a stopped search to wind up first)
    // Adds the record as the last child of parent (nullptr: top level); queues the node
    // unless the record is scanned.
    TkxNode* AddInfoNode(TkxInfo&& record, TkxNode* parent);
    // Adds a parent's new children with one model insertion.
    std::vector<TkxNode*> AddInfoNodes(std::vector<TkxInfo>&& records, TkxNode* parent);
    void DeleteNode(TkxNode* node); // empties PendingNodes
    void DeleteChildren(TkxNode* node);
    void ClearTree();
    TkxNode* AddRange(const QString& name, const QString& rangeText);
    // The ranges of a list as AddRange adds one each, with one model insertion.
    std::vector<TkxNode*> AddTargets(const TkxTargetList& targets);
    void Pack();
    void MarkHasMatch(TkxNode* node);
    static void ResetRecord(TkxInfo* record);
    void SetNodeIcon(TkxNode* node, int index);
    // Several icons with one repaint per node.
    void SetNodeIcons(const std::vector<std::pair<TkxNode*, int>>& icons);

    // --- search control
    TkxSearchState SearchState() const { return State; }
    const QString& SearchErrorText() const { return ErrorText; }
    // Tasks of the current or last search that failed (errors and time-outs); its end says so.
    int FailedTaskCount() const { return FailedTasks; }
    bool IsSearching() const { return State >= srStarted && State <= srStopping; }
    void SetSearchState(TkxSearchState s);
    void ShowSearchError(const QString& text);
    void RequeueAllRanges();
    void Run();
    void Continue();
    void Rescan(TkxNode* node);
    void Stop();
    TQueueManager* Manager() const { return CurrentManager.get(); }
    // Blocks (serving the bridge meanwhile, but no user input) until no manager of this
    // document is left. A document member reached from inside that wait is refused.
    void WaitForManagers();
    bool IsWaiting() const { return Waiting; }
    // A search or a manager winding one up is still running.
    bool IsBusy() const { return IsSearching() || CurrentManager || !LiveManagers.empty(); }

    // --- worker-slot rows
    const std::vector<TkxThreadRow>& ThreadRows() const { return RowsModel.Rows(); }
    // Shows a slot's row; a failed task's row is counted, marks its node and is reported.
    void UpdateThreadRow(int i, const TkxThreadRow& row);
    void ClearThreadRows();

    // --- project
    bool Modified() const { return IsModified; }
    void SetModified(bool modified);
    const QString& ProjectFileName() const { return FileName; }
    void SetProjectFileName(const QString& name);
    int NewProjectCount() const { return NewCount; }
    void SetNewProjectCount(int count) { NewCount = count; }
    bool IsUntitled() const { return FileName.isEmpty(); }
    QString ProjectName() const;
    void NewProject();

    // --- project file and XML export (kxProjectDocFiles.cpp)
    // Writes the project; the previous file survives any failure. Throws EkxError.
    void WriteProject(const QString& fileName);
    // Reads a project; unscanned nodes are queued so Continue resumes. Throws EkxError. A file
    // with more after the nodes its header announced throws EkxDamagedProject once the nodes
    // are in the tree: the project is then untitled and modified, never the file's.
    void ReadProject(const QString& fileName);
    // Reads a project kept for recovery: it becomes a modified project under its original
    // name (or untitled, with its number). Throws EkxError.
    void RecoverProject(QIODevice& device, const QString& projectFileName, int newProjectCount);
    // Where ExportXml writes: next to the project file, or ProjectName.xml in the current
    // directory for an untitled project.
    QString XmlFileName() const;
    // Exports the tree as XML (to XmlFileName unless a target is given) and yields the file
    // name written. Throws EkxError.
    QString ExportXml(const QString& target = QString());
    // Asked by QuerySave: Yes (true) or No to "Do you want to save the project?".
    std::function<bool()> AskSaveQuestion;
    // Asked by SaveProject for a file name; empty when the user cancels.
    std::function<QString()> AskFileName;
    // True when the caller may go on (saved, or the user chose not to).
    bool QuerySave(bool ask);
    // True when the project was written.
    bool SaveProject(bool askName);

    // The status refresh: panels 0 and 1 and the caption follow from the signal.
    void UpdateStatus();
    QString StatusStateText() const;
    QString CaptionText() const;
    // Long operations report "%d/%d" here (status panel 2); empty when done.
    void ShowProgress(const QString& text);
    // "done/total", then the events that may run meanwhile (no user input).
    void ShowProgress(int done, int total);

    // A long operation on the tree runs (reading, writing, exporting, packing, clearing): it
    // lets events run, and the window shows the hourglass and does not close meanwhile.
    bool InLongOperation() const { return LongDepth > 0; }

    // The network services new searches use (tests put fakes here).
    void SetNetServices(std::shared_ptr<TkxNetServices> services);
    // Not owned; nullptr for none. The watcher must outlive its time here.
    void SetTreeWatcher(TkxTreeWatcher* watcher) { Watcher = watcher; }

    // --- checkpoints: what Stop would leave, written without stopping
    // A checkpoint is an ordinary project file holding the tree as harvested so far. The nodes
    // still pending, those the manager holds ahead and those in the workers' hands are all
    // unscanned in the tree, so reading the file queues them again and Continue finishes with
    // the tree an uninterrupted search gives. The tree is copied here (pointers and the few
    // values a search still changes, quickly) and written on another thread; nothing deletes
    // a node meanwhile: an edit that would cancels the checkpoint first. False, and nothing
    // started, while one is still being written or the tree is in the middle of an operation.
    bool StartCheckpoint(const QString& fileName, TkxCheckpointFrame frame = {});
    bool CheckpointBusy() const;
    // Until the checkpoint being written is done (CheckpointWritten has been emitted).
    void WaitForCheckpoint();
    // Ends it early; the file stays as it was.
    void CancelCheckpoint();
    // Grows with every change of the project, so an unchanged project is not written again.
    quint64 Revision() const { return Rev; }

Q_SIGNALS:
    void StatusChanged();
    void ProgressChanged(const QString& text);
    void ModifiedChanged(bool modified);
    void ParamsChanged();
    void SearchStateChanged(TkxSearchState state);
    // A task ended with an error: its address and the thread list's state text.
    void TaskFailed(const QString& address, const QString& stateText);
    // The last manager has ended: the search and its clean-up are over. The services have
    // forgotten their passwords (TkxNetServices::ForgetPasswords).
    void ManagersIdle();
    // A search is about to start its manager: the credentials go to the services now.
    void SearchStarting();
    // The outermost long operation starts (true) or has ended (false).
    void LongOperationChanged(bool running);
    // A project file was read or written completely.
    void ProjectFileDone(const QString& fileName);
    // A checkpoint is done; error is empty when it was written.
    void CheckpointWritten(const QString& fileName, const QString& error, qint64 milliseconds);

private:
    // Brackets a long operation; nested ones are part of the outermost.
    class TkxLongOperation {
    public:
        explicit TkxLongOperation(TkxProjectDoc* doc);
        ~TkxLongOperation();
        TkxLongOperation(const TkxLongOperation&) = delete;
        TkxLongOperation& operator=(const TkxLongOperation&) = delete;

    private:
        TkxProjectDoc* Doc;
    };

    // The manager's side, always called on this document's thread through the bridge.
    QObject* BridgeTarget() const override;
    TkxSearchState HostSearchState() const override { return State; }
    void HostSetSearchState(TkxSearchState s, const TkxThread* from) override;
    void HostShowSearchError(const QString& text, const TkxThread* from) override;
    TkxParams HostParams() const override { return CurrentParams; }
    void HostReport(std::vector<TkxPassReport>& reports) override;
    int HostHandOut(std::vector<TkxPassReport>& reports, int count, quint32 depth,
                    std::vector<TkxAssignment>& out) override;
    void ApplyReports(std::vector<TkxPassReport>& reports);
    TkxAssignment HandOut(TkxNode* node, quint32 depth) const;
    void ForeseeHosts(quint32 depth);
    void Harvest(TkxHarvest&& harvest);
    void HarvestNothing(TkxNode* node);
    void HostRequeue(std::vector<TkxPassReport>& reports,
                     const std::vector<TkxNode*>& nodes) override;
    int HostEndPass(const std::vector<std::pair<int, TkxThreadRow>>& rows) override;
    void HostClearThreadRows() override { ClearThreadRows(); }

    void TaskHasFailed(const TkxThreadRow& row);
    // Reads into the tree through `read`, as one long operation and one model reset. True when
    // the data held more after the nodes its header announced (announced: how many).
    bool ReadFrom(const std::function<void(TkxProjectSink&)>& read, int& announced);
    std::vector<TkxNode*> AddNodesUnchecked(std::vector<TkxInfo>&& records, TkxNode* parent);
    // What the watcher hears of.
    void Changed(const TkxNode* node) {
        if (Watcher)
            Watcher->NodeChanged(node);
    }
    void Deleting(const TkxNode* node) {
        if (Watcher)
            Watcher->NodeDeleting(node);
    }
    void DeletingChildren(const TkxNode* node) {
        if (Watcher) {
            for (const auto& child : node->Children)
                Watcher->NodeDeleting(child.get());
        }
    }
    void Settle() {
        if (Watcher)
            Watcher->Settled();
    }
    void LetManagerGo();
    void ManagerGone(const TkxThread* manager);
    void ManagerEnded(TQueueManager* manager);
    void AllManagersEnded();
    // Takes the manager out of CurrentManager or LiveManagers, waits for its thread, and frees
    // it (null when it is neither).
    void FreeManager(TQueueManager* manager);
    // Tree edits are refused while a search runs and wait for a stopped one to wind up.
    void EnsureTreeEditable();
    // Refuses the edit while a search runs or the document is inside its own wait.
    void EnsureNotSearching() const;

    TkxTreeModel Model;
    std::deque<TkxNode*> Pending;
    size_t Handed = 0; // nodes at the head of Pending that the manager holds, not yet taken
    // Of the nodes queued before the search began (their range tasks are done), how many from
    // the head have been handed to LookAhead already.
    size_t Foreseeable = 0;
    size_t Foreseen = 0;
    TkxParams CurrentParams;
    TkxSearchState State = srNone;
    QString ErrorText;
    int FailedTasks = 0;
    // A manager let go that is showing its clean-up, and the state it will restore.
    const TkxThread* StoppingManager = nullptr;
    TkxSearchState StateBeforeStopping = srNone;
    // The managers are the document's: freeing one waits for its thread, which waits for its
    // workers' threads.
    std::unique_ptr<TQueueManager> CurrentManager;
    std::vector<std::unique_ptr<TQueueManager>> LiveManagers; // let go but still running
    TkxThreadRowsModel RowsModel;
    bool IsModified = false;
    quint64 Rev = 0;
    QString FileName;
    int NewCount = 0;
    bool Adding = false;
    bool Waiting = false;
    int LongDepth = 0;
    std::shared_ptr<std::atomic<quint8>> SharedState =
        std::make_shared<std::atomic<quint8>>(srNone);
    std::shared_ptr<TkxNetServices> Services;
    TkxTreeWatcher* Watcher = nullptr;
    std::unique_ptr<TkxBridgeTarget> Bridge;
    TkxCheckpointWriter* Checkpoints; // a child
};
