// The project document's tree and search commands, without a window (its searches run the
// real engine on scripted services, so these run under ThreadSanitizer with the engine tests).

#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {
// range > host > share > folder > file, with HasMatch set along `matched` paths.
struct Sample {
    TkxProjectDoc Doc;
    TkxNode *Range, *Host, *Share, *Folder, *File, *Other;

    Sample() {
        Doc.SetNetServices(std::make_shared<TkxFakeServices>());
        Range =
            Doc.AddRange(QStringLiteral("r (10.0.0.1-2)"), QStringLiteral("10.0.0.1 - 10.0.0.2"));
        Host = Add(Range, ikHost, QStringLiteral("\\\\10.0.0.1"));
        Share = Add(Host, ikShare, QStringLiteral("\\\\10.0.0.1\\s"));
        Folder = Add(Share, ikFolder, QStringLiteral("\\\\10.0.0.1\\s\\f"));
        File = Add(Folder, ikFile, QStringLiteral("\\\\10.0.0.1\\s\\f\\a.txt"));
        Other = Add(Share, ikFolder, QStringLiteral("\\\\10.0.0.1\\s\\g"));
        File->Info.SetMatched(1);
        Doc.MarkHasMatch(File);
        Doc.SetModified(false);
    }
    TkxNode* Add(TkxNode* parent, TkxItemKind kind, const QString& address) {
        TkxInfo r;
        r.SetAddress(address);
        r.SetKind(kind);
        r.SetScanned(1);
        return Doc.AddInfoNode(std::move(r), parent);
    }
};

// Runs an action just before the next queued call reaches the watched object.
class BeforeQueuedCall : public QObject {
public:
    std::function<void()> Action;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::MetaCall && Action)
            std::exchange(Action, nullptr)();
        return false;
    }
};
} // namespace

class TestEngineDocument : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { SetCurrentLanguage(1033); }
    void cleanup() { TkxInfoThread::WaitForAll(); }

    void addingQueuesOnlyUnscannedRecords() {
        TkxProjectDoc doc;
        TkxNode* a = doc.AddRange(QStringLiteral("a"), QStringLiteral("10.0.0.1 - 10.0.0.9"));
        QVERIFY(doc.Modified());
        TkxInfo scanned;
        scanned.SetAddress(QStringLiteral("\\\\10.0.0.1"));
        scanned.SetScanned(1);
        doc.AddInfoNode(std::move(scanned), a);
        TkxNode* b = doc.AddRange(QStringLiteral("b"), QStringLiteral("10.0.1.1 - 10.0.1.9"));
        QCOMPARE(doc.PendingNodes(), (std::deque<TkxNode*>{a, b}));
        QCOMPARE(a->Info.Kind, quint8(ikRange));
        QCOMPARE(a->Info.NameText(), QStringLiteral("a"));
        QCOMPARE(doc.CaptionText(), QStringLiteral("Orvane - Project0 [2]"));
    }

    void deletingAnyNodeEmptiesTheQueue() {
        Sample s;
        s.Doc.AppendPending(s.Other);
        TkxNode* spare = s.Doc.AddRange(QStringLiteral("x"), QStringLiteral("10.9.9.9"));
        QCOMPARE(s.Doc.PendingCount(), 3); // the range, g and x
        QSignalSpy status(&s.Doc, &TkxProjectDoc::StatusChanged);
        s.Doc.DeleteNode(s.Host);
        QCOMPARE(s.Doc.PendingCount(), 0);
        QVERIFY(status.count() > 0);
        QVERIFY(s.Range->Children.empty());
        QCOMPARE(s.Doc.Tree().NodeCount(), 2);
        QVERIFY(s.Doc.Modified());
        QCOMPARE(s.Doc.Tree().Root()->Children[1].get(), spare);
    }

    void packKeepsOnlyTheWayToMatches() {
        Sample s;
        TkxNode* empty = s.Doc.AddRange(QStringLiteral("none"), QStringLiteral("10.1.1.1"));
        (void)empty;
        s.Doc.Pack();
        QCOMPARE(s.Doc.Tree().NodeCount(), 5); // range, host, share, folder, file
        QCOMPARE(s.Doc.Tree().Root()->Children.size(), size_t(1));
        QCOMPARE(s.Share->Children.size(), size_t(1));
        QCOMPARE(s.Share->Children[0].get(), s.Folder);
        QCOMPARE(s.Doc.PendingCount(), 0);

        TkxProjectDoc nothing;
        nothing.AddRange(QStringLiteral("a"), QStringLiteral("10.0.0.1"));
        nothing.AddRange(QStringLiteral("b"), QStringLiteral("10.0.0.2"));
        nothing.Pack();
        QVERIFY(!nothing.Tree().HasNodes());
    }

    void runRequeuesEveryRangeFromScratch() {
        auto net = std::make_shared<TkxFakeServices>();
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        TkxParams p;
        p.TotalThreads = 0; // nothing is explored: only the preparation is seen
        doc.SetParams(p);
        std::vector<TkxNode*> ranges;
        for (int i = 0; i < 3; ++i) {
            TkxNode* r =
                doc.AddRange(QStringLiteral("r%1").arg(i), QStringLiteral("10.0.0.%1").arg(i));
            TkxInfo host;
            host.SetAddress(QStringLiteral("\\\\10.0.0.%1").arg(i));
            host.SetMatched(1);
            TkxNode* h = doc.AddInfoNode(std::move(host), r);
            doc.MarkHasMatch(h);
            r->Info.SetScanned(1);
            ranges.push_back(r);
        }
        doc.Run();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.PendingNodes(), (std::deque<TkxNode*>(ranges.begin(), ranges.end())));
        for (TkxNode* r : ranges) {
            QVERIFY(r->Children.empty());
            QCOMPARE(r->Info.HasMatch, quint8(0));
            QCOMPARE(r->Info.Scanned, quint8(1)); // kept as it was
        }
    }

    void rescanQueuesOnlyTheChosenNode() {
        Sample s;
        TkxParams p;
        p.TotalThreads = 0;
        s.Doc.SetParams(p);
        s.Doc.AppendPending(s.Other);
        s.Doc.Rescan(s.Share);
        QVERIFY(WaitIdle(s.Doc));
        QCOMPARE(s.Doc.PendingNodes(), std::deque<TkxNode*>{s.Share});
        QVERIFY(s.Share->Children.empty());
        QCOMPARE(s.Share->Info.HasMatch, quint8(0));
        QCOMPARE(s.Host->Info.HasMatch, quint8(1)); // ancestors keep what they had
    }

    void treeIsLockedWhileSearching() {
        auto net = std::make_shared<TkxFakeServices>();
        net->Blocking.insert(QStringLiteral("\\\\h\\s"));
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        TkxNode* share = AddTop(doc, ikShare, QStringLiteral("\\\\h\\s"));
        doc.Continue();
        QVERIFY(WaitFor([&] { return net->BlockedNow() == 1; }));
        QVERIFY(doc.IsSearching());
        QVERIFY_THROWS_EXCEPTION(EkxError, doc.DeleteNode(share));
        QVERIFY_THROWS_EXCEPTION(EkxError, doc.ClearTree());
        doc.Stop();
        // Deleting right after Stop waits for the stopped search to wind up first.
        doc.DeleteNode(share);
        QVERIFY(!doc.IsBusy());
        QVERIFY(!doc.Tree().HasNodes());
        QCOMPARE(doc.PendingCount(), 0);
    }

    void continueRightAfterStopSeesTheRequeuedNodes() {
        auto net = std::make_shared<TkxFakeServices>();
        net->AddFolder(QStringLiteral("\\\\h\\s"), {"a.txt"});
        net->Blocking.insert(QStringLiteral("\\\\h\\s"));
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        TkxNode* share = AddTop(doc, ikShare, QStringLiteral("\\\\h\\s"));
        doc.Continue();
        QVERIFY(WaitFor([&] { return net->BlockedNow() == 1; }));
        doc.Stop();
        net->Blocking.clear();
        doc.Continue(); // no wait in between: the old manager must finish first
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(Captions(share), std::vector<QString>{"a.txt"});
    }

    // Continue comes after the stopped manager has ended but before the notice of its end is
    // handled: the new manager may be given the freed one's address, and that late notice must
    // not end the new search (waiting for its manager would deadlock with its bridge calls).
    void lateEndOfAStoppedManagerLeavesTheNextSearchAlone() {
        auto net = std::make_shared<TkxFakeServices>();
        net->Blocking.insert(QStringLiteral("\\\\h\\s"));
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        AddTop(doc, ikShare, QStringLiteral("\\\\h\\s"));
        doc.Continue();
        QVERIFY(WaitFor([&] { return net->BlockedNow() == 1; }));
        BeforeQueuedCall late;
        doc.installEventFilter(&late);
        late.Action = [&] { doc.Continue(); };
        doc.Stop();
        QVERIFY(WaitFor([&] { return !late.Action; }));
        QVERIFY(WaitFor([&] { return net->BlockedNow() == 1; }));
        QVERIFY(doc.Manager());
        QCOMPARE(doc.SearchState(), srWorking);
        doc.Stop();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srUserStopped);
    }

    void editsAreRefusedWhileSearchingOrWaiting() {
        auto net = std::make_shared<TkxFakeServices>();
        net->Blocking.insert(QStringLiteral("\\\\h\\s"));
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        TkxNode* share = AddTop(doc, ikShare, QStringLiteral("\\\\h\\s"));
        doc.Continue();
        QVERIFY(WaitFor([&] { return net->BlockedNow() == 1; }));
        // The running manager would never take a node queued now.
        QVERIFY_THROWS_EXCEPTION(EkxError,
                                 doc.AddRange(QStringLiteral("x"), QStringLiteral("10.0.0.1")));
        QVERIFY_THROWS_EXCEPTION(EkxError, doc.AppendPending(share));
        QCOMPARE(doc.Tree().NodeCount(), 1);
        doc.Stop();
        // A command that arrives while the document waits for the stopped search is refused,
        // not run halfway through the clearing.
        bool refused = false;
        QTimer::singleShot(0, &doc, [&] {
            try {
                doc.DeleteNode(share);
            } catch (const EkxError&) {
                refused = doc.IsWaiting();
            }
        });
        doc.ClearTree();
        QVERIFY(refused);
        QVERIFY(!doc.IsBusy() && !doc.Tree().HasNodes());
    }

    // Views hear of a project read as resets, not per node; of several changes to a node once;
    // of the thread rows one row at a time.
    void modelSignalsAreShapedForViews() {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("p.kxor"));
        Sample s;
        s.Doc.WriteProject(file);
        TkxProjectDoc doc;
        QSignalSpy inserted(doc.TreeViewModel(), &QAbstractItemModel::rowsInserted);
        QSignalSpy resets(doc.TreeViewModel(), &QAbstractItemModel::modelReset);
        doc.ReadProject(file);
        QCOMPARE(doc.Tree().NodeCount(), 6);
        QCOMPARE(inserted.count(), 0);
        QCOMPARE(resets.count(), 2); // the clearing and the read

        QSignalSpy changed(doc.TreeViewModel(), &QAbstractItemModel::dataChanged);
        TkxNode* a = doc.Tree().Root()->Children[0].get();
        TkxNode* b = a->Children[0].get();
        doc.SetNodeIcons({{a, 1}, {b, 2}, {a, 3}});
        QCOMPARE(changed.count(), 2);
        QCOMPARE(a->ImageIndex, 3);

        QAbstractItemModel* rows = doc.ThreadRowsViewModel();
        QSignalSpy rowsIn(rows, &QAbstractItemModel::rowsInserted);
        QSignalSpy rowChanged(rows, &QAbstractItemModel::dataChanged);
        QSignalSpy rowsReset(rows, &QAbstractItemModel::modelReset);
        TkxThreadRow row;
        row.No = QStringLiteral("2");
        doc.UpdateThreadRow(2, row);
        QCOMPARE(rowsIn.count(), 1);
        QCOMPARE(rows->rowCount(), 3);
        row.State = QStringLiteral("OK");
        doc.UpdateThreadRow(1, row);
        doc.UpdateThreadRow(1, row);
        QCOMPARE(rowChanged.count(), 1);
        QCOMPARE(rowChanged.at(0).at(0).toModelIndex().row(), 1);
        QCOMPARE(rows->index(1, 3).data().toString(), QStringLiteral("OK"));
        doc.ClearThreadRows();
        QCOMPARE(rowsReset.count(), 1);
        QCOMPARE(rows->rowCount(), 0);
    }

    void projectNameAndNewProject() {
        TkxProjectDoc doc;
        doc.NewProject();
        QCOMPARE(doc.ProjectName(), QStringLiteral("Project1"));
        doc.SetProjectFileName(QStringLiteral("/home/me/scans/My scan.v2.kxor"));
        QCOMPARE(doc.ProjectName(), QStringLiteral("My scan.v2"));
        doc.SetProjectFileName(QStringLiteral("C:\\Scans\\Office.kxor"));
        QCOMPARE(doc.ProjectName(), QStringLiteral("Office"));
        doc.AddRange(QStringLiteral("a"), QStringLiteral("10.0.0.1"));
        TkxParams p;
        p.Masks = QStringLiteral("*.doc");
        doc.SetParams(p);
        doc.NewProject();
        QVERIFY(doc.IsUntitled());
        QCOMPARE(doc.ProjectName(), QStringLiteral("Project2"));
        QCOMPARE(doc.Params(), DefaultParams());
        QVERIFY(!doc.Tree().HasNodes());
        QVERIFY(!doc.Modified());
        SetCurrentLanguage(1049);
        QCOMPARE(doc.ProjectName(), QStringLiteral("Проект2"));
        SetCurrentLanguage(1033);
    }
};

QTEST_GUILESS_MAIN(TestEngineDocument)
#include "test_engine_document.moc"
