// The search engine driven by scripted services: state machines, limits, order of work,
// Stop/Continue and the let-go rules.

#include "document/kxProjectDoc.h"
#include "engine/kxAbstThread.h"
#include "engine/kxManager.h"
#include "engine/kxThreadForInfo.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <functional>
#include <map>

namespace {
quint32 Ip(const char* text) {
    return inet_addr(text);
}

TkxParams Params(quint32 threads, quint32 depth, quint32 lifetime, const QString& masks) {
    TkxParams p;
    p.TotalThreads = threads;
    p.Depth = depth;
    p.LifeTime = lifetime;
    p.Masks = masks;
    return p;
}
} // namespace

class TestEngineManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { SetCurrentLanguage(1033); }
    void cleanup() { TkxInfoThread::WaitForAll(); }

    void rangeToFiles() {
        auto net = std::make_shared<TkxFakeServices>();
        net->Names[Ip("10.0.0.2")] = QStringLiteral("two.test");
        net->Shares[QStringLiteral("10.0.0.2")] = {QStringLiteral("public"),
                                                   QStringLiteral("IPC$")};
        net->AddFolder(QStringLiteral("\\\\10.0.0.2\\public"),
                       {QStringLiteral("."), QStringLiteral(".."), QStringLiteral("docs\\"),
                        QStringLiteral("a.txt"), QStringLiteral("b.doc")});
        net->AddFolder(QStringLiteral("\\\\10.0.0.2\\public\\docs"), {QStringLiteral("c.TXT")});

        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(4, 0, 1, QStringLiteral("*.txt")));
        doc.AddRange(QStringLiteral("Lab (10.0.0.1-3)"), QStringLiteral("10.0.0.1 - 10.0.0.3"));
        doc.Run();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(doc.PendingCount(), 0);
        QVERIFY(doc.ThreadRows().empty());

        TkxNode* range = doc.Tree().Root()->Children[0].get();
        QCOMPARE(Captions(range), (std::vector<QString>{"10.0.0.1", "two.test", "10.0.0.3"}));
        TkxNode* host = range->Children[1].get();
        QCOMPARE(host->Info.AddressText(), QStringLiteral("\\\\10.0.0.2"));
        QCOMPARE(Captions(host), (std::vector<QString>{"public", "IPC$"}));
        TkxNode* share = host->Children[0].get();
        QCOMPARE(share->Info.AddressText(), QStringLiteral("\\\\10.0.0.2\\public"));
        QCOMPARE(Captions(share), (std::vector<QString>{"docs", "a.txt"}));
        TkxNode* docs = share->Children[0].get();
        QCOMPARE(docs->Info.Kind, quint8(ikFolder));
        QCOMPARE(docs->Info.Matched, quint8(0));
        QCOMPARE(docs->Info.HasMatch, quint8(1)); // c.TXT below it matched
        QCOMPARE(share->Children[1]->Info.Matched, quint8(1));
        QCOMPARE(share->Children[1]->Info.SizeRawText(), QStringLiteral("10"));
        for (TkxNode* n : {range, host, share})
            QCOMPARE(n->Info.HasMatch, quint8(1));
        QCOMPARE(range->Children[0]->Info.HasMatch, quint8(0));
        QCOMPARE(range->Children[0]->Info.Scanned, quint8(1)); // listed nothing, still scanned
        QCOMPARE(host->Children[1]->Info.HasMatch, quint8(0));
    }

    void breadthFirstOrder() {
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\s");
        net->AddFolder(s, {"a\\", "b\\"});
        net->AddFolder(s + "\\a", {"a1\\", "a2\\"});
        net->AddFolder(s + "\\b", {"b1\\"});
        net->AddFolder(s + "\\a\\a1", {"deep\\"});
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(1, 0, 1, QStringLiteral("*")));
        AddTop(doc, ikShare, s);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        const std::vector<QString> expected{s,
                                            s + "\\a",
                                            s + "\\b",
                                            s + "\\a\\a1",
                                            s + "\\a\\a2",
                                            s + "\\b\\b1",
                                            s + "\\a\\a1\\deep"};
        QCOMPARE(net->Calls(), expected);
    }

    void totalThreadsZeroAndEmptyQueue() {
        auto net = std::make_shared<TkxFakeServices>();
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(0, 0, 1, QStringLiteral("*.*")));
        doc.AddRange(QStringLiteral("r"), QStringLiteral("10.0.0.1 - 10.0.0.1"));
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(doc.PendingCount(), 1);
        QVERIFY(doc.ThreadRows().empty());

        doc.SetParams(Params(3, 0, 1, QStringLiteral("*.*")));
        doc.ClearPending();
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        QVERIFY(net->Calls().empty());
        QCOMPARE(doc.SearchErrorText(), QString());
    }

    // A count that reads negative as a signed number (or just huge) runs the engine's ceiling
    // of slots: the search explores, it does not end at once with everything pending.
    void hugeThreadCountRunsTheCeiling() {
        auto net = std::make_shared<TkxFakeServices>();
        net->Shares[QStringLiteral("10.0.0.1")] = {QStringLiteral("s")};
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(3000000000u, 0, 1, QStringLiteral("*.*")));
        doc.AddRange(QStringLiteral("r"), QStringLiteral("10.0.0.1 - 10.0.0.1"));
        int slots = 0;
        connect(doc.ThreadRowsViewModel(), &QAbstractItemModel::rowsInserted, this,
                [&] { slots = std::max(slots, doc.ThreadRowsViewModel()->rowCount()); });
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(doc.PendingCount(), 0);
        QCOMPARE(slots, int(MaxSearchSlots));
        QCOMPARE(doc.Params().TotalThreads, 3000000000u); // the parameter stays as it was
        QVERIFY(!net->Calls().empty());
    }

    void depthLimits_data() {
        QTest::addColumn<quint32>("depth");
        QTest::addColumn<int>("hosts");
        QTest::addColumn<bool>("sharesListed");
        QTest::addColumn<bool>("shareScanned");
        QTest::newRow("1: hosts explored, shares shown") << 1u << 1 << true << false;
        QTest::newRow("2: shares explored") << 2u << 1 << true << true;
        QTest::newRow("negative drops every node") << quint32(-1) << 0 << false << false;
    }
    void depthLimits() {
        QFETCH(quint32, depth);
        QFETCH(int, hosts);
        QFETCH(bool, sharesListed);
        QFETCH(bool, shareScanned);
        auto net = std::make_shared<TkxFakeServices>();
        net->Shares[QStringLiteral("10.1.1.1")] = {QStringLiteral("s")};
        net->AddFolder(QStringLiteral("\\\\10.1.1.1\\s"), {"f\\"});
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(2, depth, 1, QStringLiteral("*")));
        doc.AddRange(QStringLiteral("r"), QStringLiteral("10.1.1.1"));
        doc.Run();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.PendingCount(), 0);
        TkxNode* range = doc.Tree().Root()->Children[0].get();
        QCOMPARE(int(range->Children.size()), hosts);
        QCOMPARE(range->Info.Scanned, quint8(hosts > 0));
        if (!hosts)
            return;
        TkxNode* host = range->Children[0].get();
        QCOMPARE(host->Children.size() == 1, sharesListed);
        QCOMPARE(host->Children[0]->Info.Scanned == 1, shareScanned);
    }

    void emptyMasksFindNothing() {
        auto net = std::make_shared<TkxFakeServices>();
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(4, 0, 1, QString()));
        doc.AddRange(QStringLiteral("a"), QStringLiteral("10.0.0.1 - 10.0.0.9"));
        doc.AddRange(QStringLiteral("b"), QStringLiteral("10.0.1.1 - 10.0.1.9"));
        doc.Run();
        QVERIFY(WaitIdle(doc));
        for (auto& range : doc.Tree().Root()->Children) {
            QCOMPARE(range->Info.Scanned, quint8(1));
            QVERIFY(range->Children.empty());
        }
    }

    // Files end in the visit that hands them out, many to a visit: each must still be counted
    // once, scanned, and kept from below the depth limit.
    void runsOfFiles_data() {
        QTest::addColumn<quint32>("threads");
        QTest::addColumn<quint32>("depth");
        QTest::newRow("1 slot") << 1u << 0u;
        QTest::newRow("3 slots") << 3u << 0u;
        QTest::newRow("3 slots, depth 1") << 3u << 1u;
    }
    void runsOfFiles() {
        QFETCH(quint32, threads);
        QFETCH(quint32, depth);
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\s");
        QStringList top, many;
        for (int i = 0; i < 600; ++i)
            many << QStringLiteral("f%1.txt").arg(i);
        top = many.mid(0, 300);
        top.insert(100, QStringLiteral("d1\\"));
        top << QStringLiteral("d2\\");
        net->AddFolder(s, top);
        net->AddFolder(s + "\\d1", many.mid(0, 5));
        net->AddFolder(s + "\\d2", many);
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(threads, depth, 60, QStringLiteral("*")));
        AddTop(doc, ikShare, s);
        std::map<int, int> works; // the last count each row showed
        const auto note = [&] {
            for (const TkxThreadRow& row : doc.ThreadRows())
                works[row.No.toInt()] = row.Total.toInt();
        };
        connect(doc.ThreadRowsViewModel(), &QAbstractItemModel::dataChanged, this, note);
        connect(doc.ThreadRowsViewModel(), &QAbstractItemModel::rowsInserted, this, note);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(doc.PendingCount(), 0);
        int explored = 0, nodes = 0;
        std::function<void(const TkxNode*, int)> walk = [&](const TkxNode* n, int level) {
            ++nodes;
            const bool inReach = depth == 0 || level <= int(depth);
            QCOMPARE(n->Info.Scanned, quint8(inReach));
            explored += inReach;
            for (const auto& c : n->Children)
                walk(c.get(), level + 1);
        };
        walk(doc.Tree().Root()->Children[0].get(), 0);
        QCOMPARE(nodes, 1 + 302 + 5 + 600);
        int counted = 0;
        for (const auto& [slot, n] : works)
            counted += n;
        QCOMPARE(counted, explored);
    }

    void stopInARunOfFilesLeavesTheRestPending() {
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\s");
        QStringList files;
        for (int i = 0; i < 5000; ++i)
            files << QStringLiteral("f%1.txt").arg(i);
        net->AddFolder(s, files);
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(2, 0, 60, QStringLiteral("*")));
        TkxNode* share = AddTop(doc, ikShare, s);
        const auto scanned = [&] {
            int n = 0;
            for (const auto& f : share->Children)
                n += f->Info.Scanned;
            return n;
        };
        doc.Continue();
        QVERIFY(WaitFor([&] { return scanned() > 0; }));
        doc.Stop();
        QVERIFY(WaitIdle(doc));
        // Wherever the Stop fell, each file is either done or pending again, once.
        std::map<const TkxNode*, int> queued;
        for (TkxNode* n : doc.PendingNodes())
            ++queued[n];
        for (const auto& f : share->Children)
            QCOMPARE(queued[f.get()], 1 - f->Info.Scanned);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.PendingCount(), 0);
        QCOMPARE(scanned(), 5000);
    }

    void lifetimeZeroKeepsWhatWasFound() {
        // The host resolves at once, then its share listing hangs: the time-out harvests the
        // resolved name, and the listing the worker never finishes adds nothing.
        auto net = std::make_shared<TkxFakeServices>();
        net->Names[Ip("10.2.2.2")] = QStringLiteral("slow.test");
        net->Shares[QStringLiteral("10.2.2.2")] = {QStringLiteral("s")};
        net->Blocking.insert(QStringLiteral("\\\\10.2.2.2"));
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(1, 0, 0, QStringLiteral("*")));
        TkxInfo host;
        host.SetAddress(QStringLiteral("\\\\10.2.2.2"));
        host.SetName(QStringLiteral("10.2.2.2"));
        host.SetKind(ikHost);
        TkxNode* node = doc.AddInfoNode(std::move(host), nullptr);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(node->Info.Scanned, quint8(1));
        QVERIFY(node->Children.empty());
        // Either the name had been resolved before the time-out, or the task had not got
        // that far; a let-go worker never reaches the tree afterwards.
        TkxInfoThread::WaitForAll();
        QVERIFY(node->Children.empty());
    }

    void timedOutWorkerAddsNothingLater() {
        // The listing waits until its task is let go: the time-out always comes first.
        auto net = std::make_shared<TkxFakeServices>();
        net->Blocking.insert(QStringLiteral("\\\\h\\s"));
        net->AddFolder(QStringLiteral("\\\\h\\s"), {"a.txt", "b\\"});
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(1, 0, 0, QStringLiteral("*")));
        TkxNode* share = AddTop(doc, ikShare, QStringLiteral("\\\\h\\s"));
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        // A search that is over has no worker left, the timed-out one included.
        QCOMPARE(TkxInfoThread::LiveCount(), 0);
        TkxInfoThread::WaitForAll();
        QCOMPARE(share->Info.Scanned, quint8(1));
        QVERIFY(share->Children.empty());
        QCOMPARE(doc.PendingCount(), 0);
    }

    void stopThenContinueExploresTheRequeuedNodes() {
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\s");
        net->AddFolder(s, {"f1\\", "f2\\", "f3\\", "f4\\", "f5\\"});
        for (int i = 1; i <= 5; ++i)
            net->AddFolder(s + "\\f" + QString::number(i), {"x.txt"});
        net->Blocking = {s + "\\f1", s + "\\f2"};
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(2, 0, 60, QStringLiteral("*.txt")));
        AddTop(doc, ikShare, s);
        QSignalSpy states(&doc, &TkxProjectDoc::SearchStateChanged);
        doc.Continue();
        QVERIFY(WaitFor([&] { return net->BlockedNow() == 2; }));
        QTRY_COMPARE(doc.PendingCount(), 3);
        doc.Stop();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srUserStopped);
        // Still pending first, then the interrupted tasks in slot order.
        std::vector<QString> queued;
        for (TkxNode* n : doc.PendingNodes())
            queued.push_back(n->Info.AddressText());
        QCOMPARE(queued.size(), size_t(5));
        QCOMPARE(std::vector<QString>(queued.begin(), queued.begin() + 3),
                 (std::vector<QString>{s + "\\f3", s + "\\f4", s + "\\f5"}));
        std::sort(queued.begin() + 3, queued.end());
        QCOMPARE(queued[3], s + "\\f1");
        QCOMPARE(queued[4], s + "\\f2");
        QList<TkxSearchState> seen;
        for (const auto& args : states)
            seen.append(args.at(0).value<TkxSearchState>());
        QVERIFY(seen.contains(srStopping));
        QCOMPARE(seen.last(), srUserStopped);

        const size_t before = net->Calls().size();
        net->Blocking.clear();
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        auto calls = net->Calls();
        std::vector<QString> after(calls.begin() + qsizetype(before), calls.end());
        std::sort(after.begin(), after.end());
        QCOMPARE(after, (std::vector<QString>{s + "\\f1", s + "\\f2", s + "\\f3", s + "\\f4",
                                              s + "\\f5"}));
        TkxNode* share = doc.Tree().Root()->Children[0].get();
        for (auto& f : share->Children)
            QCOMPARE(Captions(f.get()), std::vector<QString>{"x.txt"});
    }

    // Folder listings that no thread waits for: the same tree and order as threads give, a
    // listing that needs a thread after all gets one, and a Stop cancels those under way.
    void listingsWithoutAThread() {
        auto net = std::make_shared<TkxFakeServices>();
        net->Driven = true;
        const QString s = QStringLiteral("\\\\h\\s");
        net->Ids[s + "\\a"] = 11;
        net->AddFolder(s, {"a\\", "b\\", "c\\", "top.txt"}, 10);
        net->AddFolder(s + "\\a", {"a.txt", "deep\\"}, 11);
        net->AddFolder(s + "\\b", {"b.txt"});
        net->AddFolder(s + "\\a\\deep", {"d.txt", "x.doc"});
        net->NeedThread = {s + "\\b"};
        net->Errors[s + "\\c"] = EACCES;
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(1, 0, 60, QStringLiteral("*.txt")));
        AddTop(doc, ikShare, s);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(net->Calls(),
                 (std::vector<QString>{s, s + "\\a", s + "\\b", s + "\\c", s + "\\a\\deep"}));
        QCOMPARE(net->DrivenCount(), 4); // all but b
        TkxNode* share = doc.Tree().Root()->Children[0].get();
        QCOMPARE(Captions(share), (std::vector<QString>{"a", "b", "c", "top.txt"}));
        QCOMPARE(Captions(share->Children[0].get()), (std::vector<QString>{"a.txt", "deep"}));
        QCOMPARE(Captions(share->Children[1].get()), std::vector<QString>{"b.txt"});
        QCOMPARE(Captions(share->Children[0]->Children[1].get()), std::vector<QString>{"d.txt"});
        QCOMPARE(share->Children[0]->Info.FileId, quint64(11));
        QCOMPARE(share->Children[2]->Info.Scanned, quint8(1)); // refused for good

        net->Blocking = {s + "\\a\\deep"};
        net->NeedThread.clear();
        TkxProjectDoc again;
        again.SetNetServices(net);
        again.SetParams(Params(2, 0, 60, QStringLiteral("*.txt")));
        AddTop(again, ikShare, s);
        again.Continue();
        QVERIFY(WaitFor([&] { return net->BlockedNow() == 1; }));
        again.Stop();
        QVERIFY(WaitIdle(again));
        QCOMPARE(again.SearchState(), srUserStopped);
        QCOMPARE(net->BlockedNow(), 0);
        QCOMPARE(again.PendingCount(), 1);
        QCOMPARE(again.PendingNodes().front()->Info.AddressText(), s + "\\a\\deep");
        net->Blocking.clear();
        again.Continue();
        QVERIFY(WaitIdle(again));
        QCOMPARE(again.SearchState(), srFinished);
        QCOMPARE(Captions(again.Tree().Root()->Children[0]->Children[0]->Children[1].get()),
                 std::vector<QString>{"d.txt"});
    }

    void failedTaskDoesNotPoisonItsSlot() {
        // "*.txt;[" fails on the first name that is no .txt, after a.txt was kept: the slot
        // must still take the next task.
        auto net = std::make_shared<TkxFakeServices>();
        net->AddFolder(QStringLiteral("\\\\h\\s\\one"), {"a.txt", "b.doc"});
        net->AddFolder(QStringLiteral("\\\\h\\s\\two"), {"c.txt"});
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(1, 0, 1, QStringLiteral("*.txt;[")));
        QStringList errors;
        connect(&doc, &TkxProjectDoc::TaskFailed, &doc,
                [&](const QString& address, const QString& state) {
                    errors << address + u' ' + state;
                });
        TkxNode* one = AddTop(doc, ikFolder, QStringLiteral("\\\\h\\s\\one"));
        TkxNode* two = AddTop(doc, ikFolder, QStringLiteral("\\\\h\\s\\two"));
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(one->Info.Scanned, quint8(0));
        QVERIFY(one->Children.empty());
        QCOMPARE(two->Info.Scanned, quint8(1));
        QCOMPARE(Captions(two), std::vector<QString>{"c.txt"});
        QCOMPARE(
            errors,
            QStringList{QStringLiteral(
                "\\\\h\\s\\one Thread has stopped with error ('[.*' is an invalid mask at (4))")});
    }

    void folderLoopEndsTheTask() {
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\s");
        net->Ids[s + "\\sub"] = 11;
        net->Ids[s + "\\sub\\up"] = 10;
        net->AddFolder(s + "\\sub\\up", {"sub\\"}, 10);
        net->AddFolder(s + "\\sub", {"up\\", "f.txt"}, 11);
        net->AddFolder(s, {"sub\\"}, 10);
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(2, 0, 1, QStringLiteral("*")));
        QStringList states;
        connect(&doc, &TkxProjectDoc::TaskFailed, &doc,
                [&](const QString&, const QString& state) { states << state; });
        TkxNode* share = AddTop(doc, ikShare, s);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        TkxNode* up = share->Children[0]->Children[0].get();
        QCOMPARE(up->Info.AddressText(), s + "\\sub\\up");
        QCOMPARE(up->Info.Scanned, quint8(0));
        QVERIFY(up->Children.empty());
        QVERIFY(states.contains(QStringLiteral(
            "Thread has stopped with error (Folder loop: \\\\h\\s\\sub\\up is \\\\h\\s)")));
        QCOMPARE(net->IdQueryCount(), 0); // every id came with the listings
    }

    void loopFoundWithUnknownAncestorIds() {
        // As after reading a project: the tree has no ids, so the worker fetches them.
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\s");
        net->Ids[s] = 10;
        net->Ids[s + "\\sub"] = 11;
        net->AddFolder(s + "\\sub\\up", {"sub\\"}, 10);
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(1, 0, 1, QStringLiteral("*")));
        TkxNode* share = AddTop(doc, ikShare, s);
        TkxInfo sub;
        sub.SetAddress(s + "\\sub");
        sub.SetName(QStringLiteral("sub"));
        sub.SetKind(ikFolder);
        sub.SetScanned(1);
        share->Info.SetScanned(1);
        TkxNode* subNode = doc.AddInfoNode(std::move(sub), share);
        TkxInfo up;
        up.SetAddress(s + "\\sub\\up");
        up.SetName(QStringLiteral("up"));
        up.SetKind(ikFolder);
        TkxNode* upNode = doc.AddInfoNode(std::move(up), subNode);
        doc.ClearPending();
        doc.AppendPending(upNode);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(upNode->Info.Scanned, quint8(0));
        QVERIFY(upNode->Children.empty());
        QVERIFY(net->IdQueryCount() >= 1);
    }

    void stateRules() {
        TkxProjectDoc doc;
        doc.SetNetServices(std::make_shared<TkxFakeServices>());
        QCOMPARE(SlotStateText(ssDone), QStringLiteral("OK"));
        QCOMPARE(SlotStateText(ssIdle), QString());
        QCOMPARE(SearchStateText(srNone), QString());
        QVERIFY_THROWS_EXCEPTION(EkxError, SlotStateText(6));
        QVERIFY_THROWS_EXCEPTION(EkxError, SearchStateText(8));
        doc.ShowSearchError(QStringLiteral("boom"));
        doc.SetSearchState(srNone); // same state: only a refresh, the error survives
        QCOMPARE(doc.SearchErrorText(), QStringLiteral("boom"));
        doc.SetSearchState(srStopping);
        QCOMPARE(doc.SearchErrorText(), QStringLiteral("boom"));
        doc.SetSearchState(srFailed);
        QCOMPARE(doc.StatusStateText(), QStringLiteral("Searching stopped with Error (boom)"));
        doc.SetSearchState(srFinished);
        QCOMPARE(doc.SearchErrorText(), QString());
    }

    void startedWhileRunningIsIgnored() {
        auto net = std::make_shared<TkxFakeServices>();
        net->Blocking.insert(QStringLiteral("\\\\h\\s"));
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        AddTop(doc, ikShare, QStringLiteral("\\\\h\\s"));
        doc.Continue();
        QVERIFY(WaitFor([&] { return net->BlockedNow() == 1; }));
        TQueueManager* first = doc.Manager();
        QVERIFY(first);
        const TkxSearchState state = doc.SearchState();
        QSignalSpy status(&doc, &TkxProjectDoc::StatusChanged);
        doc.SetSearchState(srStarted);
        QCOMPARE(doc.Manager(), first);
        QCOMPARE(doc.SearchState(), state);
        QVERIFY(status.count() >= 1);
        doc.Stop();
        QVERIFY(WaitIdle(doc));
    }

    void destroyingTheDocumentMidSearchDoesNotHang() {
        auto net = std::make_shared<TkxFakeServices>();
        for (int i = 0; i < 8; ++i)
            net->Blocking.insert(QStringLiteral("\\\\h\\s%1").arg(i));
        {
            TkxProjectDoc doc;
            doc.SetNetServices(net);
            doc.SetParams(Params(4, 0, 60, QStringLiteral("*")));
            for (int i = 0; i < 8; ++i)
                AddTop(doc, ikShare, QStringLiteral("\\\\h\\s%1").arg(i));
            doc.Continue();
            QVERIFY(WaitFor([&] { return net->BlockedNow() == 4; }));
        }
        // The document owned the search's threads: none of them outlives it.
        QCOMPARE(TkxInfoThread::LiveCount(), 0);
        TkxInfoThread::WaitForAll();
        QCOMPARE(net->BlockedNow(), 0);
    }

    void manySmallTasks() {
        // Thousands of tasks through 16 slots: every folder explored exactly once.
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\bulk");
        QStringList top;
        for (int i = 0; i < 60; ++i) {
            top << QStringLiteral("d%1\\").arg(i);
            QStringList sub;
            for (int j = 0; j < 30; ++j)
                sub << QStringLiteral("f%1.txt").arg(j) << QStringLiteral("e%1\\").arg(j);
            net->AddFolder(s + QStringLiteral("\\d%1").arg(i), sub);
        }
        net->AddFolder(s, top);
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        TkxNode* share = AddTop(doc, ikShare, s);
        doc.Continue();
        QVERIFY(WaitIdle(doc, 60000));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(doc.Tree().NodeCount(), 1 + 60 + 60 * 60);
        QCOMPARE(int(net->Calls().size()), 1 + 60 + 60 * 30);
        QCOMPARE(share->Info.HasMatch, quint8(1));

        // Through one slot the reports come one task at a time, through 16 they are batched:
        // the node list, order included, must not depend on that.
        auto nodeList = [](const TkxProjectDoc& d) {
            QStringList list;
            for (TkxNode* n = d.Tree().NextPreOrder(nullptr); n; n = d.Tree().NextPreOrder(n))
                list << QStringLiteral("%1 %2 %3 %4")
                            .arg(n->Info.AddressText())
                            .arg(int(n->Info.Kind))
                            .arg(int(n->Info.Scanned))
                            .arg(int(n->Info.Matched));
            return list;
        };
        TkxProjectDoc one;
        one.SetNetServices(net);
        TkxParams p = doc.Params();
        p.TotalThreads = 1;
        one.SetParams(p);
        AddTop(one, ikShare, s);
        one.Continue();
        QVERIFY(WaitIdle(one, 60000));
        QCOMPARE(nodeList(one), nodeList(doc));
    }

    void refusedListingsFailTheirTasks() {
        // Lasting (access denied) marks the node scanned; one that may pass (connection
        // lost) leaves it unscanned and queued for Continue; a host that is no server is
        // no failure at all.
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\s");
        net->AddFolder(s, {"denied\\", "lost\\", "ok\\"});
        net->AddFolder(s + "\\ok", {"a.txt"});
        net->AddFolder(s + "\\lost", {"b.txt"});
        net->Errors[s + "\\denied"] = EACCES;
        net->Errors[s + "\\lost"] = ECONNRESET;
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(2, 0, 1, QStringLiteral("*")));
        QStringList failures;
        connect(&doc, &TkxProjectDoc::TaskFailed, &doc,
                [&](const QString& a, const QString& state) { failures << a + u' ' + state; });
        TkxNode* share = AddTop(doc, ikShare, s);
        TkxNode* ghost = AddTop(doc, ikHost, QStringLiteral("\\\\ghost"));
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        failures.sort();
        QCOMPARE(failures,
                 QStringList({s + "\\denied Thread has stopped with error (Access denied)",
                              s + "\\lost Thread has stopped with error (Connection lost)"}));
        QCOMPARE(doc.FailedTaskCount(), 2);
        QCOMPARE(doc.StatusStateText(),
                 QStringLiteral("Searching stopped successfully (2 tasks failed)"));
        TkxNode* denied = share->Children[0].get();
        TkxNode* lost = share->Children[1].get();
        QCOMPARE(denied->Info.Scanned, quint8(1));
        QCOMPARE(lost->Info.Scanned, quint8(0));
        QCOMPARE(ghost->Info.Scanned, quint8(1));
        QCOMPARE(std::vector<TkxNode*>(doc.PendingNodes().begin(), doc.PendingNodes().end()),
                 std::vector<TkxNode*>{lost});
        // Each failed node carries its reason in the tree (not in the project file).
        const TkxTreeModel& tree = doc.Tree();
        QCOMPARE(tree.data(tree.IndexOf(denied), TkxTreeModel::FailureRole).toString(),
                 QStringLiteral("Thread has stopped with error (Access denied)"));
        QCOMPARE(tree.Failure(lost),
                 QStringLiteral("Thread has stopped with error (Connection lost)"));
        for (const TkxNode* n : {share, ghost, share->Children[2].get()})
            QVERIFY(!tree.HasFailure(n));

        // The server is back: Continue lists what was lost, and only that; the node explored
        // again loses its mark, the one refused for good keeps it until it is.
        net->Errors.clear();
        failures.clear();
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QVERIFY(failures.isEmpty());
        QCOMPARE(doc.FailedTaskCount(), 0);
        QCOMPARE(doc.StatusStateText(), QStringLiteral("Searching stopped successfully"));
        QCOMPARE(Captions(lost), std::vector<QString>{"b.txt"});
        QVERIFY(denied->Children.empty());
        QVERIFY(!tree.HasFailure(lost) && tree.HasFailure(denied));
        doc.Rescan(denied);
        QVERIFY(WaitIdle(doc));
        QVERIFY(!tree.HasFailure(denied));
    }

    void earlyStopIsNeverOverwritten() {
        // A Stop in the first milliseconds used to be overwritten by the let-go manager's
        // Working and Finished.
        auto net = std::make_shared<TkxFakeServices>();
        net->DelayMs = 1;
        const QString s = QStringLiteral("\\\\h\\s");
        QStringList names;
        for (int i = 0; i < 40; ++i)
            names << QStringLiteral("f%1\\").arg(i);
        net->AddFolder(s, names);
        for (int round = 0; round < 60; ++round) {
            TkxProjectDoc doc;
            doc.SetNetServices(net);
            doc.SetParams(Params(4, 0, 1, QStringLiteral("*")));
            AddTop(doc, ikShare, s);
            doc.Continue();
            if (const int ms = round % 21)
                QTest::qWait(ms);
            doc.Stop();
            QVERIFY(WaitIdle(doc));
            QVERIFY2(doc.SearchState() == srUserStopped, qPrintable(doc.StatusStateText()));
        }
    }

    void everyFailureIsCounted() {
        // Tasks that fail at once, one after the other in the same slots: every failure is
        // counted and reported, also when the next task fails before the manager looks again.
        auto net = std::make_shared<TkxFakeServices>();
        const QString s = QStringLiteral("\\\\h\\s");
        QStringList folders;
        for (int i = 0; i < 120; ++i) {
            folders << QStringLiteral("f%1\\").arg(i);
            net->Errors[s + QStringLiteral("\\f%1").arg(i)] = i % 2 ? EACCES : ECONNRESET;
        }
        net->AddFolder(s, folders);
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(2, 0, 1, QStringLiteral("*")));
        int reported = 0;
        connect(&doc, &TkxProjectDoc::TaskFailed, &doc, [&] { ++reported; });
        AddTop(doc, ikShare, s);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QCOMPARE(doc.FailedTaskCount(), 120);
        QCOMPARE(reported, 120);
        QCOMPARE(doc.PendingCount(), 60); // the failures that may pass are queued again
    }

    void rangeHostsAreLookedUpAhead() {
        // The range task hands its addresses to the name lookups before their host tasks run,
        // in search order, each once.
        auto net = std::make_shared<TkxFakeServices>();
        net->Names[Ip("10.3.0.2")] = QStringLiteral("two.test");
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(3, 1, 1, QStringLiteral("*")));
        TkxNode* range = doc.AddRange(QStringLiteral("r"), QStringLiteral("10.3.0.0 - 10.3.1.44"));
        doc.Run();
        QVERIFY(WaitIdle(doc));
        const std::vector<quint32> ahead = net->LookedAheadSoFar();
        QCOMPARE(ahead.size(), size_t(256 + 45));
        QCOMPARE(ahead.front(), Ip("10.3.0.0"));
        QCOMPARE(ahead[300], Ip("10.3.1.44"));
        QCOMPARE(range->Children[2]->Info.NameText(), QStringLiteral("two.test"));
    }

    void queuedHostsAreLookedUpAheadAfterContinue() {
        // Hosts queued before the search (a search continued) have no range task to hand them
        // over: the document does, a window ahead of their tasks, in order and each once. A host
        // known by its name is never guessed at.
        auto net = std::make_shared<TkxFakeServices>();
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(4, 1, 1, QStringLiteral("*")));
        std::vector<quint32> queued;
        for (int i = 0; i < 10000; ++i) {
            const QString dotted = QStringLiteral("10.4.%1.%2").arg(i / 256).arg(i % 256);
            AddTop(doc, ikHost, QStringLiteral("\\\\") + dotted);
            queued.push_back(Ip(qPrintable(dotted)));
            if (i == 5)
                AddTop(doc, ikHost, QStringLiteral("\\\\fileserver"));
        }
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        QVERIFY(net->LookedAheadSoFar() == queued);
    }

    void largeRangeArrivesInBatches() {
        auto net = std::make_shared<TkxFakeServices>();
        TkxProjectDoc doc;
        doc.SetNetServices(net);
        doc.SetParams(Params(2, 1, 1, QStringLiteral("*")));
        TkxNode* range = doc.AddRange(QStringLiteral("r"), QStringLiteral("10.1.0.0 - 10.1.48.4"));
        // Hosts reach the tree while the range task still runs.
        int earlyBatches = 0;
        connect(&doc.Tree(), &QAbstractItemModel::rowsInserted, &doc,
                [&](const QModelIndex&, int, int) { earlyBatches += range->Info.Scanned == 0; });
        doc.Run();
        QVERIFY(WaitIdle(doc, 120000));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(range->Children.size(), size_t(48 * 256 + 5));
        QVERIFY2(earlyBatches >= 2, qPrintable(QString::number(earlyBatches)));
        QCOMPARE(range->Children[4096]->Info.NameText(), QStringLiteral("10.1.16.0"));
        QCOMPARE(range->Children.back()->Info.NameText(), QStringLiteral("10.1.48.4"));
        QCOMPARE(range->Info.Scanned, quint8(1));
    }
};

QTEST_GUILESS_MAIN(TestEngineManager)
#include "test_engine_manager.moc"
