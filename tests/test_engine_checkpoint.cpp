// Checkpoints of a running search (a stop that does not stop) and the window's recovery files,
// with scripted network services.

#include "document/kxProjectDoc.h"
#include "document/kxRecovery.h"
#include "engine/kxThreadForInfo.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "storage/kxUtils.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>

namespace {

// \\10.0.0.2\data: ten folders of ten folders of five files.
std::shared_ptr<TkxFakeServices> Network() {
    auto net = std::make_shared<TkxFakeServices>();
    net->Names[inet_addr("10.0.0.2")] = QStringLiteral("two.test");
    net->Shares[QStringLiteral("10.0.0.2")] = {QStringLiteral("data")};
    const QString share = QStringLiteral("\\\\10.0.0.2\\data");
    QStringList top;
    for (int d = 0; d < 10; ++d) {
        const QString folder = share + QStringLiteral("\\d%1").arg(d);
        top << QStringLiteral("d%1\\").arg(d);
        QStringList inner;
        for (int e = 0; e < 10; ++e) {
            inner << QStringLiteral("e%1\\").arg(e);
            net->AddFolder(folder + QStringLiteral("\\e%1").arg(e),
                           {"f0.txt", "f1.txt", "f2.doc", "f3.txt", "f4.txt"});
        }
        net->AddFolder(folder, inner);
    }
    net->AddFolder(share, top);
    return net;
}

// The range to search, beside the explored results of an earlier search: enough nodes that
// writing a checkpoint overlaps the harvests of the running search.
void Prepare(TkxProjectDoc& doc, std::shared_ptr<TkxNetServices> net, quint32 threads) {
    doc.SetNetServices(std::move(net));
    TkxParams p;
    p.TotalThreads = threads;
    p.Masks = QStringLiteral("*.txt");
    doc.SetParams(p);
    doc.ClearTree();
    TkxInfo archive;
    archive.SetAddress(QStringLiteral("\\10.9.9.9\archive"));
    archive.SetKind(ikShare);
    archive.SetScanned(1);
    TkxNode* old = doc.AddInfoNode(std::move(archive), nullptr);
    std::vector<TkxInfo> files(30000);
    for (size_t i = 0; i < files.size(); ++i) {
        files[i].SetAddress(QStringLiteral("\\10.9.9.9\archive\file %1.txt").arg(i));
        files[i].SetKind(ikFile);
        files[i].SetScanned(1);
    }
    doc.AddInfoNodes(std::move(files), old);
    doc.AddRange(QStringLiteral("Lab"), QStringLiteral("10.0.0.1 - 10.0.0.3"));
}

// Every node with its level, texts and flags, sorted: the order of work may differ.
QStringList Nodes(const TkxProjectDoc& doc) {
    QStringList out;
    for (const TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        const TkxInfo& r = n->Info;
        out << QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
                   .arg(n->Level())
                   .arg(r.NameText(), r.AddressText(), r.EditTimeText())
                   .arg(r.Matched)
                   .arg(r.HasMatch)
                   .arg(r.Scanned);
    }
    out.sort();
    return out;
}

bool WaitWritten(QSignalSpy& spy, int count = 1) {
    return WaitFor([&] { return spy.count() >= count; });
}

} // namespace

class TestEngineCheckpoint : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(Dir.isValid());
        SetCurrentLanguage(LangEnglish);
    }
    void cleanup() { TkxInfoThread::WaitForAll(); }

    // Taken while two tasks are held by their workers: the search goes on, and the file read
    // back and continued ends with the tree of a search that was never interrupted.
    void checkpointIsWhatStopWouldLeave() {
        TkxProjectDoc whole;
        Prepare(whole, Network(), 4);
        whole.Continue();
        QVERIFY(WaitIdle(whole));
        QCOMPARE(whole.SearchState(), srFinished);

        auto held = Network();
        held->Blocking = {QStringLiteral("\\\\10.0.0.2\\data\\d3\\e3"),
                          QStringLiteral("\\\\10.0.0.2\\data\\d7")};
        TkxProjectDoc running;
        Prepare(running, held, 4);
        QSignalSpy written(&running, &TkxProjectDoc::CheckpointWritten);
        running.Continue();
        // One while harvests arrive (for the thread checkers), one when all but the held
        // tasks are done.
        const QString early = Dir.filePath(QStringLiteral("early.kxor"));
        QVERIFY(running.StartCheckpoint(early));
        QVERIFY(!running.StartCheckpoint(early)); // one at a time
        QVERIFY(WaitFor([&] { return held->BlockedNow() == 2 && running.PendingCount() == 0; }));
        QVERIFY(WaitWritten(written));
        const QString file = Dir.filePath(QStringLiteral("running.kxor"));
        QVERIFY(running.StartCheckpoint(file));
        QVERIFY(WaitWritten(written, 2));
        QCOMPARE(written.at(0).at(1).toString(), QString());
        QCOMPARE(written.at(1).at(1).toString(), QString());
        QCOMPARE(running.SearchState(), srWorking);
        running.Stop();
        QVERIFY(WaitIdle(running));

        TkxProjectDoc resumed;
        resumed.SetNetServices(Network());
        resumed.ReadProject(file);
        QStringList queued;
        for (const TkxNode* n : resumed.PendingNodes())
            queued << n->Info.AddressText();
        QVERIFY2(queued.contains(QStringLiteral("\\\\10.0.0.2\\data\\d3\\e3")) &&
                     queued.contains(QStringLiteral("\\\\10.0.0.2\\data\\d7")),
                 qPrintable(queued.join(u' ')));
        resumed.Continue();
        QVERIFY(WaitIdle(resumed));
        QCOMPARE(resumed.SearchState(), srFinished);
        QCOMPARE(Nodes(resumed), Nodes(whole));
    }

    // A range task hands its hosts over while it runs; one interrupted after the first of them
    // goes on after the last instead of adding them all again.
    void interruptedRangeGoesOnAfterItsLastHost() {
        TkxProjectDoc doc;
        doc.SetNetServices(std::make_shared<TkxFakeServices>());
        TkxNode* range =
            doc.AddRange(QStringLiteral("Lab"), QStringLiteral("10.0.1.1 - 10.0.1.10"));
        std::vector<TkxInfo> first;
        for (int i = 1; i <= 4; ++i) {
            TkxInfo host;
            host.SetAddress(QStringLiteral("\\\\10.0.1.%1").arg(i));
            host.SetName(QStringLiteral("10.0.1.%1").arg(i));
            host.SetKind(ikHost);
            first.push_back(std::move(host));
        }
        doc.AddInfoNodes(std::move(first), range);
        doc.Continue();
        QVERIFY(WaitIdle(doc));
        std::vector<QString> expected;
        for (int i = 1; i <= 10; ++i)
            expected.push_back(QStringLiteral("10.0.1.%1").arg(i));
        QCOMPARE(Captions(range), expected);
    }

    // An edit that deletes nodes does not wait for a checkpoint of them: it is cancelled and
    // the previous file stays as it was, with no half file beside it.
    void deletingCancelsTheCheckpoint() {
        TkxProjectDoc doc;
        doc.ClearTree();
        TkxNode* range = doc.AddRange(QStringLiteral("Big"), QStringLiteral("10.0.0.1 - 10.0.0.9"));
        std::vector<TkxInfo> many(200000);
        for (size_t i = 0; i < many.size(); ++i)
            many[i].SetAddress(QStringLiteral("\\\\10.0.0.1\\share\\file number %1").arg(i));
        doc.AddInfoNodes(std::move(many), range);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("big.kxor"));
        QSignalSpy written(&doc, &TkxProjectDoc::CheckpointWritten);
        QVERIFY(doc.StartCheckpoint(file));
        doc.WaitForCheckpoint();
        QCOMPARE(written.count(), 1);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray before = f.readAll();
        f.close();

        doc.AddRange(QStringLiteral("More"), QStringLiteral("10.0.0.10 - 10.0.0.10"));
        QVERIFY(doc.StartCheckpoint(file));
        doc.ClearTree();
        QVERIFY(!doc.CheckpointBusy());
        QTest::qWait(50);
        QCOMPARE(written.count(), 1);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"big.kxor"});
    }

    // Each window keeps its own file under a lock; a file whose window is gone is offered and
    // recovered as a modified project under its name; one that can not be used is renamed
    // and reported, never read as an empty project.
    void recoveryFilesBelongToTheirWindow() {
        qputenv("XDG_STATE_HOME", "/var/state-test");
        QCOMPARE(TkxRecovery::DefaultDir(), QStringLiteral("/var/state-test/orvane"));
        qputenv("XDG_STATE_HOME", "relative");
        QCOMPARE(TkxRecovery::DefaultDir(), QDir::homePath() + "/.local/state/orvane");
        qunsetenv("XDG_STATE_HOME");

        QTemporaryDir dir;
        auto window = [&](TkxProjectDoc& doc, int ranges) {
            doc.ClearTree();
            for (int i = 0; i < ranges; ++i)
                doc.AddRange(QStringLiteral("R%1").arg(i), QStringLiteral("10.0.0.1 - 10.0.0.2"));
            auto keeper = std::make_unique<TkxRecovery>(&doc, dir.path());
            keeper->SetIntervalMs(20);
            return keeper;
        };
        TkxProjectDoc docA, docB;
        docA.SetProjectFileName(QStringLiteral("/projects/office\nwing.kxor"));
        auto a = window(docA, 3);
        auto b = window(docB, 1);
        QVERIFY(
            WaitFor([&] { return QFile::exists(a->FileName()) && QFile::exists(b->FileName()); }));
        QVERIFY(a->FileName() != b->FileName());
        {
            TkxProjectDoc docC;
            TkxRecovery c(&docC, dir.path());
            QVERIFY(c.Leftovers().empty()); // both windows still run
        }
        const QString fileB = b->FileName();
        b.reset(); // closed normally
        QVERIFY(!QFile::exists(fileB));

        a->WriteAndKeep();
        const QString fileA = a->FileName();
        a.reset(); // as if killed: the lock goes with the process
        QVERIFY(QFile::exists(fileA));

        TkxProjectDoc docC;
        TkxRecovery c(&docC, dir.path());
        QSignalSpy problems(&c, &TkxRecovery::Problem);
        QFile::copy(fileA, dir.filePath(QStringLiteral("cut.orvane-recovery")));
        QFile::resize(dir.filePath(QStringLiteral("cut.orvane-recovery")),
                      QFileInfo(fileA).size() - 3);
        QFile garbage(dir.filePath(QStringLiteral("garbage.orvane-recovery")));
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("16\r\n0\r\n1\r\n*.*\r\n0\r\n");
        garbage.close();
        QFile other(fileA);
        QVERIFY(other.open(QIODevice::ReadOnly));
        QByteArray bytes = other.readAll();
        const QByteArray version = ProgramVersionText().toUtf8();
        bytes.replace(bytes.indexOf(version), version.size(), "0.0.0.1");
        QFile older(dir.filePath(QStringLiteral("older.orvane-recovery")));
        QVERIFY(older.open(QIODevice::WriteOnly));
        older.write(bytes);
        older.close();

        std::vector<TkxRecovery::TLeftover> left = c.Leftovers();
        QCOMPARE(left.size(), size_t(1));
        QCOMPARE(problems.count(), 3);
        QVERIFY(problems.at(2).at(0).toString().contains("0.0.0.1"));
        for (const char* name : {"cut", "garbage", "older"})
            QVERIFY(QFile::exists(
                dir.filePath(QString::fromLatin1(name) + ".orvane-recovery.unusable")));
        QCOMPARE(left[0].Info.Nodes, 3);
        QCOMPARE(left[0].Info.ProjectName, QStringLiteral("office\nwing"));

        c.Recover(left[0]);
        QCOMPARE(docC.Tree().NodeCount(), 3);
        QVERIFY(docC.Modified());
        QCOMPARE(docC.ProjectFileName(), QStringLiteral("/projects/office\nwing.kxor"));
        QVERIFY(!QFile::exists(fileA));
        QVERIFY(QFile::exists(c.FileName())); // lives on as this window's own
        docC.SetModified(false);              // as a save leaves it
        QVERIFY(!QFile::exists(c.FileName()));
    }
};

QTEST_GUILESS_MAIN(TestEngineCheckpoint)
#include "test_engine_checkpoint.moc"
