// Result stores as the user meets them: orvane-scan shards writing into SQLite and into a
// PostgreSQL server of the suite's own, read back as one project; and the faults on the way.

#include "document/kxProjectDoc.h"
#include "kxChild.h"
#include "kxScanProgress.h"
#include "model/kxErrors.h"
#include "storage/kxProjectFile.h"
#include "store/kxStoreReader.h"
#include "store/kxStoreRows.h"
#include "store/kxStoreSchema.h"
#include "store/kxStoreWriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString PgPassword = QStringLiteral("PGPASSWORD=orvane-store-pass");

QString Tool(const char* dir, const QString& name) {
    return qEnvironmentVariable(dir) + u'/' + name;
}

struct Result {
    int Code = -1;
    QString Out, Err;
};

bool Start(TkxChild& p, const QStringList& args) {
    return p.Start(Tool("ORVANE_BIN_DIR", QStringLiteral("orvane-scan")), args, {PgPassword});
}

Result Finish(TkxChild& p) {
    const int code = p.Finish();
    return {code, QString::fromUtf8(p.Out), QString::fromUtf8(p.Err)};
}

Result Run(const QStringList& args) {
    TkxChild p;
    Start(p, args);
    return Finish(p);
}

bool PgFixture(const QString& command) {
    TkxChild p;
    return p.Start(Tool("ORVANE_SOURCE_DIR", QStringLiteral("scripts/pg-fixture")),
                   {command, qEnvironmentVariable("ORVANE_PG_FIXTURE_DIR")}, {}, false) &&
           p.Finish(60000) == 0;
}

bool WaitForNodes(TkxChild& p, int nodes) {
    return p.PumpUntil([&] { return ShowsNodes(p.Err, nodes); }, 60000);
}

QString PgUrl() {
    QFile f(Tool("ORVANE_PG_FIXTURE_DIR", QStringLiteral("port")));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QStringLiteral("postgresql://orvane@127.0.0.1:%1/orvane")
        .arg(QString::fromLatin1(f.readAll().trimmed()));
}

// The CSV rows without the last access and creation times: other tests read the fixture's
// files meanwhile, and the server gives some folders another creation time after its start.
QStringList Rows(const QString& csv) {
    QStringList rows = csv.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (QString& row : rows) {
        QStringList tail = row.split(u',');
        if (tail.size() > 6) {
            tail.removeAt(tail.size() - 4); // accessed
            tail.removeAt(tail.size() - 5); // created
        }
        row = tail.join(u',');
    }
    return rows;
}

// The CSV rows below the range row (the tree of the hosts searched).
QStringList Below(const QString& csv, const QString& firstHost = {}) {
    QStringList rows = Rows(csv);
    qsizetype from = 2; // after the header and the range
    if (!firstHost.isEmpty())
        from = rows.indexOf(QRegularExpression(QStringLiteral("1,host,") +
                                               QRegularExpression::escape(firstHost) +
                                               QStringLiteral(",.*")));
    return from < 0 ? QStringList() : rows.mid(from);
}

// The PostgreSQL server outlives one run of this test (ctest --repeat): each run's scans are its
// own, or a shard's finished run from an earlier one would stand in for the one killed here.
QString Scan(QStringView name) {
    static const QString run = QString::number(QDateTime::currentMSecsSinceEpoch());
    return name.toString() + u'-' + run;
}

const QStringList Search{"--masks", "*.txt", "--depth", "4", "--run"};
} // namespace

class TestCliStore : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;
    QString Whole; // one search of all three fixture servers, as CSV

    void stores() {
        QTest::addColumn<QString>("store");
        QTest::newRow("sqlite") << QStringLiteral("sqlite:") +
                                       Dir.filePath(QStringLiteral("results.db"));
        QTest::newRow("postgresql") << PgUrl();
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(!PgUrl().isEmpty());
        const Result whole = Run(QStringList{"--range", "Servers=127.0.0.2 - 127.0.0.4"} + Search +
                                 QStringList{"--quiet", "--csv", "-"});
        QCOMPARE(whole.Code, 3); // the fixture has shares that refuse us
        Whole = whole.Out;
    }

    // Three shards at once, each writing into the one store, read back as one project: the
    // very tree of one search, node for node.
    void shardsMergeIntoOneSearch_data() { stores(); }
    void shardsMergeIntoOneSearch() {
        QFETCH(QString, store);
        TkxChild shards[3];
        for (int i = 0; i < 3; ++i)
            Start(shards[i], QStringList{"--range", "Servers=127.0.0.2 - 127.0.0.4", "--shard",
                                         QStringLiteral("%1/3").arg(i + 1), "--store", store,
                                         "--scan", Scan(u"merged"), "--quiet"} +
                                 Search);
        for (TkxChild& p : shards) {
            const Result r = Finish(p);
            QVERIFY2(r.Code == 0 || r.Code == 3, qPrintable(r.Err));
            QVERIFY2(r.Out.contains(QStringLiteral("' complete")), qPrintable(r.Out));
        }
        const Result merged = Run({"--from-store", store, "--scan", Scan(u"merged"), "--csv", "-"});
        QCOMPARE(merged.Code, 3); // all finished, tasks failed
        QVERIFY2(merged.Err.contains(QStringLiteral("shard 3/3: run ")), qPrintable(merged.Err));
        QCOMPARE(Rows(merged.Out), Rows(Whole));
    }

    // A shard killed mid-run is reported unfinished; its project continues where the store
    // left it, and a new run of the shard replaces it.
    void killedShardIsRunAgain_data() { stores(); }
    void killedShardIsRunAgain() {
        QFETCH(QString, store);
        const QStringList shard =
            QStringList{"--range", "127.0.0.4", "--store", store, "--scan", Scan(u"killed")} +
            Search;
        TkxChild p;
        QVERIFY(Start(p, shard));
        QVERIFY(WaitForNodes(p, 1000));
        p.Kill();
        p.Finish();
        const QString project = Dir.filePath(QStringLiteral("killed.kxor"));
        const Result unfinished =
            Run({"--from-store", store, "--scan", Scan(u"killed"), "--save", project});
        QCOMPARE(unfinished.Code, 1);
        QVERIFY2(unfinished.Err.contains(QStringLiteral("UNFINISHED (running)")),
                 qPrintable(unfinished.Err));
        QVERIFY2(!unfinished.Out.contains(QStringLiteral("pending 0;")),
                 qPrintable(unfinished.Out));
        const Result continued = Run({"--open", project, "--continue", "--quiet", "--csv", "-"});
        QVERIFY(continued.Code == 0 || continued.Code == 3); // its failures may be stored already
        QCOMPARE(Below(continued.Out), Below(Whole, QStringLiteral("127.0.0.4")));

        QCOMPARE(Run(shard + QStringList{"--quiet"}).Code, 3);
        const Result again = Run({"--from-store", store, "--scan", Scan(u"killed"), "--csv", "-"});
        QCOMPARE(again.Code, 3);
        QCOMPARE(Below(again.Out), Below(Whole, QStringLiteral("127.0.0.4")));
    }

    // A server lost mid-run: the search goes on, the loss is told once, the project file gets
    // everything and the summary says the store is incomplete.
    void serverLostMidRun() {
        const QString project = Dir.filePath(QStringLiteral("lost.kxor"));
        TkxChild p;
        Start(p, QStringList{"--range", "127.0.0.4", "--store", PgUrl(), "--scan", Scan(u"lost"),
                             "--save", project} +
                     Search);
        QVERIFY(WaitForNodes(p, 1000));
        QVERIFY(PgFixture(QStringLiteral("stop-server")));
        const Result r = Finish(p);
        QVERIFY(PgFixture(QStringLiteral("start")));
        QVERIFY2(r.Code == 3, qPrintable(r.Err)); // failed tasks already say something failed
        QCOMPARE(r.Err.count(QStringLiteral(" failed: ")), 1);
        QVERIFY2(r.Out.contains(QStringLiteral(": INCOMPLETE, run ")), qPrintable(r.Out));
        const Result saved = Run({"--open", project, "--csv", "-"});
        QCOMPARE(Below(saved.Out), Below(Whole, QStringLiteral("127.0.0.4")));
        QCOMPARE(Run({"--from-store", PgUrl(), "--scan", Scan(u"lost")}).Code, 1);
    }

    // Refused before anything is searched, the store left as it was.
    void storeRefused() {
        const QStringList search = QStringList{"--range", "127.0.0.3", "--scan", "x"} + Search;
        const Result unreachable =
            Run(search + QStringList{"--store", "postgresql://orvane@127.0.0.1:1/orvane"});
        QCOMPARE(unreachable.Code, 2);
        QVERIFY2(unreachable.Err.contains(QStringLiteral("can not be used: ")),
                 qPrintable(unreachable.Err));
        QCOMPARE(
            Run(search + QStringList{"--store", PgUrl().replace("orvane@", "orvane:secret@")}).Code,
            2);
        QCOMPARE(Run({"--from-store", "sqlite:" + Dir.filePath("none.db"), "--scan", "x"}).Code, 2);
        QVERIFY(!QFile::exists(Dir.filePath("none.db")));

        // A store of another schema version is neither written nor read nor altered.
        const QString path = Dir.filePath(QStringLiteral("future.db"));
        QCOMPARE(Run(search + QStringList{"--store", "sqlite:" + path}).Code, 0);
        OpenSqlSession(*TkxStoreUrl::Parse("sqlite:" + path, nullptr))
            ->Exec(QStringLiteral("INSERT INTO orvane_schema (version) VALUES (2)"));
        QFile before(path);
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray bytes = before.readAll();
        before.close();
        for (const Result& r : {Run(search + QStringList{"--store", "sqlite:" + path}),
                                Run({"--from-store", "sqlite:" + path, "--scan", "x"})}) {
            QCOMPARE(r.Code, 2);
            QVERIFY2(r.Err.contains(QStringLiteral("schema version 2")), qPrintable(r.Err));
        }
        QVERIFY(before.open(QIODevice::ReadOnly));
        QCOMPARE(before.readAll(), bytes);
    }

    // Names no column type likes come back as the project file keeps them.
    void hostileNamesRoundTrip_data() { stores(); }
    void hostileNamesRoundTrip() {
        QFETCH(QString, store);
        qputenv("PGPASSWORD", PgPassword.section(u'=', 1).toUtf8());
        const QString scan = QStringLiteral("hostile %1").arg(QTest::currentDataTag());
        try {
            RoundTrip(store, scan);
        } catch (const std::exception& e) {
            QFAIL(qPrintable(ErrorMessage(e)));
        }
    }

    // SQLite's session: empty is not NULL, values keep their types and bytes, a path that
    // looks like a URI is a file, a statement with the wrong number of values is refused.
    void sqliteSessionValues() {
        QDir::setCurrent(Dir.path());
        try {
            const auto s = OpenSqlSession(*TkxStoreUrl::Parse("sqlite:file:x.db?mode=ro", nullptr));
            s->Exec(QStringLiteral("CREATE TABLE t (a, b, c, d)"));
            const QString lone = QStringLiteral("a") + QChar(0xDC00);
            s->ExecMany(QStringLiteral("INSERT INTO t VALUES (?, ?, ?, ?)"),
                        {{TkxSqlValue::OfText({}), TkxSqlValue::OfBlob({}), TkxSqlValue(),
                          TkxSqlValue::Of(-1)},
                         {TkxSqlValue::OfText(lone), TkxSqlValue::OfBlob({"\0\xff", 2}),
                          TkxSqlValue::OfText(QStringLiteral("\u044f")),
                          TkxSqlValue::Of(std::numeric_limits<qint64>::max())},
                         // Not byte order marks: texts that begin with these characters.
                         {TkxSqlValue::OfText(QStringLiteral("\ufeffa")),
                          TkxSqlValue::OfText(QStringLiteral("\ufffeb")),
                          TkxSqlValue::OfText(QChar(0xfeff) + lone), TkxSqlValue::Of(0)}});
            QStringList got;
            s->Query(QStringLiteral("SELECT typeof(a), a, typeof(b), b, c, d, 0.5 FROM t"), {},
                     [&](const TkxSqlRow& row) {
                         for (size_t i = 0; i < row.Columns.size(); ++i)
                             got << (row.IsNull(i) ? QStringLiteral("NULL")
                                                   : QString::fromLatin1(row.Bytes(i).toHex()));
                     });
            QCOMPARE(got, QStringList({"74657874",
                                       "",
                                       "626c6f62",
                                       "",
                                       "NULL",
                                       "2d31",
                                       "302e35",
                                       "74657874",
                                       "613f",
                                       "626c6f62",
                                       "00ff",
                                       "d18f",
                                       "39323233333732303336383534373735383037",
                                       "302e35",
                                       "74657874",
                                       "efbbbf61",
                                       "74657874",
                                       "efbfbe62",
                                       "efbbbf613f",
                                       "30",
                                       "302e35"}));
            QVERIFY_THROWS_EXCEPTION(EkxError, s->Query(QStringLiteral("SELECT ?"), {}));
        } catch (const std::exception& e) {
            QFAIL(qPrintable(ErrorMessage(e)));
        }
        QVERIFY(QFile::exists(Dir.filePath(QStringLiteral("file:x.db?mode=ro"))));
    }

    // New rows reach PostgreSQL through COPY: column for column what a statement of the same
    // values stores, for hostile texts, times to the millisecond and values only verbatim holds;
    // a refused COPY fails the transaction visibly and the session goes on.
    void pgCopyStoresAsStatements() {
        qputenv("PGPASSWORD", PgPassword.section(u'=', 1).toUtf8());
        try {
            const auto s = OpenSqlSession(*TkxStoreUrl::Parse(PgUrl(), nullptr));
            PrepareStoreSchema(*s);
            const qint64 runs[2] = {NewRun(*s, QStringLiteral("copy")),
                                    NewRun(*s, QStringLiteral("copy"))};
            const std::vector<TkxInfo> infos = HostileRecords();
            std::vector<TkxSqlParams> rows;
            TkxNodeCopy copy(runs[1]);
            for (quint32 i = 0; i < infos.size(); ++i) {
                const QString failure = i % 2 ? QStringLiteral("refused 'x'") : QString();
                const QString part = i == 0 ? QStringLiteral("2/4") : QString();
                rows.push_back(NodeParams(runs[0], i + 1, i, infos[i], failure, part));
                copy.Add(i + 1, i, infos[i], failure, part);
            }
            s->BeginWrite();
            WriteNodes(*s, rows);
            copy.Write(*s);
            s->Exec(QStringLiteral("COMMIT"));
            const QList<QStringList> got[2] = {StoredRows(*s, runs[0]), StoredRows(*s, runs[1])};
            QCOMPARE(got[0].size(), 5);
            QCOMPARE(got[1], got[0]);
            TkxNodeCopy again(runs[1]);
            again.Add(1, 0, infos[0], {}, {});
            s->BeginWrite();
            QVERIFY_THROWS_EXCEPTION(EkxError, again.Write(*s));
            s->Exec(QStringLiteral("ROLLBACK"));
            qint64 count = 0;
            s->Query(QStringLiteral("SELECT count(*) FROM nodes WHERE run = ?"),
                     {TkxSqlValue::Of(runs[1])}, [&](const TkxSqlRow& row) { count = row.Int(0); });
            QCOMPARE(count, 5);
        } catch (const std::exception& e) {
            QFAIL(qPrintable(ErrorMessage(e)));
        }
    }

    // New rows reach SQLite many to a statement: column for column what a statement per row
    // stores, for counts that fill no statement evenly.
    void sqliteRowsStoreAsStatements() {
        try {
            const auto s = OpenSqlSession(
                *TkxStoreUrl::Parse(QStringLiteral("sqlite:") + Dir.filePath("rows.db"), nullptr));
            PrepareStoreSchema(*s);
            const qint64 runs[2] = {NewRun(*s, QStringLiteral("rows")),
                                    NewRun(*s, QStringLiteral("rows"))};
            std::vector<TkxInfo> infos = HostileRecords();
            for (const QString& name :
                 {QStringLiteral("two\r\nlines"),
                  QString::fromUtf8("\xef\xbb\xbf\xf0\x9f\x98\x80 \xed\x95\x9c")}) {
                TkxInfo& info = infos.emplace_back();
                info.SetName(name);
                info.SetAddress(QStringLiteral("\\\\h\\") + name);
                info.SetEditTime(45000.5);
            }
            std::vector<TkxSqlParams> rows;
            s->BeginWrite();
            TkxNodeRows many(*s, runs[1]);
            for (quint32 id = 1; id <= 150; ++id) {
                const TkxInfo& info = infos[id % infos.size()];
                const QString failure = id % 7 ? QString() : QStringLiteral("refused 'x'");
                rows.push_back(NodeParams(runs[0], id, id / 2, info, failure, {}));
                many.Add(id, id / 2, info, failure, {});
            }
            many.Flush();
            WriteNodes(*s, rows);
            s->Exec(QStringLiteral("COMMIT"));
            const QList<QStringList> got[2] = {StoredRows(*s, runs[0]), StoredRows(*s, runs[1])};
            QCOMPARE(got[0].size(), 150);
            QCOMPARE(got[1], got[0]);
            // The bytes a record holds go in as they are only where the project's text is the
            // same: line breaks read as U+FFFD, a byte order mark and a pair stay.
            // Row k - 1 holds id k, whose record is infos[k]; its name is the fourth text.
            for (size_t k = infos.size() - 2; k < infos.size(); ++k)
                QCOMPARE(got[1][qsizetype(k) - 1][3],
                         QString::fromLatin1(ProjectText(infos[k].NameText()).toUtf8().toHex()));
            QVERIFY(got[1][qsizetype(infos.size()) - 3][3].contains(u"efbfbdefbfbd"));
        } catch (const std::exception& e) {
            QFAIL(qPrintable(ErrorMessage(e)));
        }
    }

    // Rows go several to a statement and a node's changes merge while it waits for the writer:
    // counts that fill no statement evenly, nodes changed before and after their first row was
    // written, renamed, failed, deleted while waiting and deleted once stored all read back as
    // the tree.
    void batchesWriteEveryRowOnce_data() { stores(); }
    void batchesWriteEveryRowOnce() {
        QFETCH(QString, store);
        const QString scan = QStringLiteral("batches %1").arg(QTest::currentDataTag());
        TkxProjectDoc doc;
        TkxNode* range = doc.AddRange(QStringLiteral("Batches"), QStringLiteral("127.0.0.2"));
        std::vector<TkxInfo> records;
        for (int i = 0; i < 611; ++i) {
            TkxInfo info;
            info.SetKind(i % 50 ? ikFile : ikFolder);
            info.SetName(QStringLiteral("%1 it's \"%2\"").arg(i).arg(QChar(0x44f)) +
                         (i % 7 ? QString() : QStringLiteral(" nul") + QChar(0)));
            info.SetAddress(QStringLiteral("\\\\127.0.0.2\\s\\") + info.NameText());
            info.SetSize(double(i) * 1000.0);
            info.SetEditTime(45000.25 + i);
            records.push_back(std::move(info));
        }
        const std::vector<TkxNode*> nodes = doc.AddInfoNodes(std::move(records), range);
        try {
            const auto writer = Attached(store, scan, doc);
            TkxTreeWatcher& watcher = *writer;
            // Still waiting for the writer's thread (it gathers rows for a while).
            for (size_t i = 0; i < nodes.size(); i += 3)
                doc.MarkHasMatch(nodes[i]);
            doc.DeleteNode(nodes[5]);
            watcher.Settled();
            QTRY_VERIFY_WITH_TIMEOUT(writer->RowsWritten() >= 600, 20000);
            // Stored already: changes only.
            TkxThreadRow failed;
            failed.State = QStringLiteral("refused 'x'");
            failed.Failed = true;
            for (size_t i = 1; i < nodes.size(); i += 2) {
                failed.Node = nodes[i];
                if (i != 5)
                    doc.UpdateThreadRow(0, failed);
            }
            for (size_t i = 2; i < nodes.size(); i += 3) {
                if (i == 5)
                    continue;
                if (i % 10 == 4) // as a task that learns the name the server gives
                    nodes[i]->Info.SetName(QStringLiteral("renamed %1").arg(i));
                doc.MarkHasMatch(nodes[i]);
            }
            doc.DeleteNode(nodes[6]);
            QVERIFY(writer->Finish(srFinished, 0));
        } catch (const std::exception& e) {
            QFAIL(qPrintable(ErrorMessage(e)));
        }
        ExpectStored(doc, store, scan);
    }

    // A change after the row (or the last change) was queued writes the marks alone only while
    // the name stays: a node renamed after it was stored, scanned or failed is written whole.
    void renamedAfterEveryKindOfWrite_data() { stores(); }
    void renamedAfterEveryKindOfWrite() {
        QFETCH(QString, store);
        const QString scan = QStringLiteral("renamed %1").arg(QTest::currentDataTag());
        TkxProjectDoc doc;
        TkxNode* range = doc.AddRange(QStringLiteral("Renamed"), QStringLiteral("127.0.0.2"));
        std::vector<TkxInfo> records(4);
        for (size_t i = 0; i < records.size(); ++i) {
            records[i].SetKind(ikFolder);
            records[i].SetName(QStringLiteral("n%1").arg(i));
        }
        const std::vector<TkxNode*> nodes = doc.AddInfoNodes(std::move(records), range);
        try {
            const auto writer = Attached(store, scan, doc);
            TkxTreeWatcher& watcher = *writer;
            const auto written = [&](qint64 rows) {
                watcher.Settled();
                QTRY_VERIFY_WITH_TIMEOUT(writer->RowsWritten() >= rows, 20000);
            };
            written(5);
            // Scanned under the same name, failed, marked: stored whole or as marks.
            nodes[0]->Info.SetName(QStringLiteral("n0"));
            nodes[0]->Info.SetScanned(1);
            watcher.NodeChanged(nodes[0]);
            TkxThreadRow failed;
            failed.State = QStringLiteral("refused");
            failed.Failed = true;
            failed.Node = nodes[1];
            doc.UpdateThreadRow(0, failed);
            doc.MarkHasMatch(nodes[2]);
            written(9);
            // Then every one renamed and marked again.
            for (size_t i = 0; i < nodes.size(); ++i) {
                nodes[i]->Info.SetName(QStringLiteral("renamed %1").arg(i));
                nodes[i]->Info.SetMatched(1);
                watcher.NodeChanged(nodes[i]);
            }
            QVERIFY(writer->Finish(srFinished, 0));
        } catch (const std::exception& e) {
            QFAIL(qPrintable(ErrorMessage(e)));
        }
        ExpectStored(doc, store, scan);
    }

    // A file found by the search is written once, scanned, when its own task is still to come:
    // that task's end writes nothing more. Files the run does not reach (a Stop) are written
    // again as they are, files beyond the depth never count as reached, and deleting a run
    // deletes its nodes.
    void filesWrittenAsTheirTaskLeavesThem_data() { stores(); }
    void filesWrittenAsTheirTaskLeavesThem() {
        QFETCH(QString, store);
        const QString scan = Scan(QStringLiteral("ahead %1").arg(QTest::currentDataTag()));
        TkxProjectDoc doc;
        TkxParams params = doc.Params();
        params.Depth = 2;
        doc.SetParams(params);
        TkxNode* range = doc.AddRange(QStringLiteral("Ahead"), QStringLiteral("127.0.0.2"));
        const auto records = [](int count, TkxItemKind kind, int matched) {
            std::vector<TkxInfo> r(static_cast<size_t>(count));
            for (int i = 0; i < count; ++i) {
                r[size_t(i)].SetKind(kind);
                r[size_t(i)].SetName(QStringLiteral("n%1").arg(i));
                r[size_t(i)].SetMatched(i < matched);
                r[size_t(i)].SetHasMatch(i < matched);
            }
            return r;
        };
        qint64 runId = 0;
        try {
            const auto writer = Attached(store, scan, doc);
            runId = writer->RunId();
            // Level 1: a host; level 2: five files, one of them no match, and a folder; level
            // 3, beyond the depth: two files.
            TkxNode* host = doc.AddInfoNodes(records(1, ikHost, 0), range).front();
            const std::vector<TkxNode*> files = doc.AddInfoNodes(records(5, ikFile, 4), host);
            TkxNode* folder = doc.AddInfoNodes(records(1, ikFolder, 0), host).front();
            doc.AddInfoNodes(records(2, ikFile, 2), folder);
            QTRY_VERIFY_WITH_TIMEOUT(writer->RowsWritten() >= 10, 20000);
            // Three tasks end as a file's task does, one file goes, one stays pending. In one
            // batch: the delete and the file without a match write a row each.
            TkxTreeWatcher& watcher = *writer;
            for (TkxNode* f : {files[0], files[1], files[4]}) {
                f->Info.SetScanned(1);
                watcher.NodeChanged(f);
            }
            doc.DeleteNode(files[2]);
            watcher.Settled();
            QTRY_VERIFY_WITH_TIMEOUT(writer->RowsWritten() >= 12, 20000);
            QCOMPARE(writer->RowsWritten(), 12);
            // The pending file written again, unscanned.
            QVERIFY(writer->Finish(srUserStopped, 0));
            QCOMPARE(writer->RowsWritten(), 13);
        } catch (const std::exception& e) {
            QFAIL(qPrintable(ErrorMessage(e)));
        }
        ExpectStored(doc, store, scan, false);

        const auto s = OpenSqlSession(*TkxStoreUrl::Parse(store, nullptr));
        const auto nodes = [&] {
            qint64 n = -1;
            s->Query(QStringLiteral("SELECT count(*) FROM nodes WHERE run = ?"),
                     {TkxSqlValue::Of(runId)}, [&](const TkxSqlRow& row) { n = row.Int(0); });
            return n;
        };
        QCOMPARE(nodes(), 9);
        s->Query(QStringLiteral("DELETE FROM runs WHERE id = ?"), {TkxSqlValue::Of(runId)});
        QCOMPARE(nodes(), 0);
    }

private:
    // A writer of one run of the scan, its store open and the document attached.
    static std::unique_ptr<TkxStoreWriter> Attached(const QString& store, const QString& scan,
                                                    TkxProjectDoc& doc) {
        qputenv("PGPASSWORD", PgPassword.section(u'=', 1).toUtf8());
        auto writer = std::make_unique<TkxStoreWriter>(
            *TkxStoreUrl::Parse(store, nullptr),
            TkxStoreRun{scan, {1, 1}, QStringLiteral("host"), doc.Params(), {}});
        writer->Open();
        writer->Attach(doc);
        return writer;
    }

    // A run of a scan of that name, made for writing rows straight into the store.
    static qint64 NewRun(TkxSqlSession& s, const QString& scan) {
        s.Query(QStringLiteral("INSERT INTO scans (name) VALUES (?) ON CONFLICT DO NOTHING"),
                {TkxSqlValue::OfText(scan)});
        qint64 run = 0;
        s.Query(QStringLiteral("INSERT INTO runs (scan, shard, shards, host, threads, depth, "
                               "lifetime, masks, targets, started, state) SELECT id, 1, 1, 'h', "
                               "1, 0, 0, '*', '', '2026-01-01 00:00:00', 'running' FROM scans "
                               "WHERE name = ? RETURNING id"),
                {TkxSqlValue::OfText(scan)}, [&](const TkxSqlRow& row) { run = row.Int(0); });
        return run;
    }

    // A run's rows as stored, every column but the run's number as hex (NULL for none).
    static QList<QStringList> StoredRows(TkxSqlSession& s, qint64 run) {
        QList<QStringList> rows;
        s.Query(QStringLiteral("SELECT id, parent, kind, name, address, size, created, edited, "
                               "accessed, matched, has_match, scanned, failure, part, verbatim "
                               "FROM nodes WHERE run = ? ORDER BY id"),
                {TkxSqlValue::Of(run)}, [&](const TkxSqlRow& row) {
                    QStringList texts;
                    for (size_t c = 0; c < row.Columns.size(); ++c)
                        texts << (row.IsNull(c) ? QStringLiteral("NULL")
                                                : QString::fromLatin1(row.Bytes(c).toHex()));
                    rows << texts;
                });
        return rows;
    }

    static std::vector<TkxInfo> HostileRecords() {
        std::vector<TkxInfo> infos;
        const QString names[] = {QStringLiteral("nul") + QChar(0) + QStringLiteral("in"),
                                 QString(255, u'\x44f'), QString::fromUtf8("bad \xff utf-8"),
                                 QStringLiteral("lone ") + QChar(0xD800),
                                 QStringLiteral("it's \"q\" \\ ?")};
        const double times[] = {45000.123456, 2958465.999999996, 1.0 / 86400000.0, 2958465.5, 0.5};
        for (int i = 0; i < 5; ++i) {
            TkxInfo info;
            info.SetKind(quint8(ikRange + i));
            info.SetName(names[i]);
            info.SetAddress(QStringLiteral("\\\\h\\") + names[i]);
            if (i % 2)
                info.SetSize(double(i) * 1e12);
            else
                info.SetSizeText(QStringLiteral("12 KB"));
            info.SetCreating(times[i]);
            info.SetEditTime(times[(i + 1) % 5]);
            info.SetLastAccessText(i == 2 ? QStringLiteral("no time") : QString());
            info.SetMatched(quint8(i % 2));
            info.SetHasMatch(quint8(i % 3 == 0));
            info.SetScanned(quint8(i % 2 == 0));
            infos.push_back(std::move(info));
        }
        return infos;
    }

    void RoundTrip(const QString& store, const QString& scan) {
        TkxProjectDoc doc;
        TkxNode* range = doc.AddRange(QStringLiteral("Range 'x'; DROP TABLE nodes; --"),
                                      QStringLiteral("127.0.0.2 - 127.0.0.2"));
        std::vector<TkxInfo> records;
        for (const QString& name :
             {QStringLiteral("it's \"quoted\" \\ %_ ?"),
              QStringLiteral("nul") + QChar(0) + QStringLiteral("inside"), QString(255, u'\x44f'),
              QString::fromUtf8("bad \xff\xfe utf-8"),
              QStringLiteral("lone ") + QChar(0xD800) + QStringLiteral(" half"),
              QStringLiteral("line\r\nbreak"), QStringLiteral("\u0001\u007f\u200f\ufeff"),
              QStringLiteral("\ufeffmark first"), QStringLiteral("\ufffeno\uffffcharacters")}) {
            TkxInfo info;
            info.SetKind(ikFile);
            info.SetName(name);
            info.SetAddress(QStringLiteral("\\\\127.0.0.2\\s\\") + name);
            info.SetSizeText(name.size() % 2 ? QStringLiteral("12 KB") : QStringLiteral("0042"));
            info.SetCreating(45000.5);
            info.SetEditTimeText(QStringLiteral("no time"));
            info.SetMatched(1);
            info.SetScanned(1);
            records.push_back(std::move(info));
        }
        TkxInfo big; // columns only, no verbatim
        big.SetKind(ikFile);
        big.SetName(QStringLiteral("\ufeffbig\ufffe"));
        big.SetSize(123456789012345.0);
        records.push_back(std::move(big));
        {
            const auto writer = Attached(store, scan, doc);
            doc.AddInfoNodes(std::move(records), range);
            QVERIFY(writer->Finish(srFinished, 0));
        }
        ExpectStored(doc, store, scan);
    }

    // The store's run reads back as the document's project, byte for byte.
    void ExpectStored(TkxProjectDoc& doc, const QString& store, const QString& scan,
                      bool finished = true) {
        const QString expected = Dir.filePath(QStringLiteral("expected.kxor"));
        doc.WriteProject(expected);
        TkxProjectDoc back;
        const TkxScanMerge merge = ReadStoredScan(*TkxStoreUrl::Parse(store, nullptr), scan, back);
        QCOMPARE(merge.Complete(), finished);
        const QString got = Dir.filePath(QStringLiteral("got.kxor"));
        back.WriteProject(got);
        QFile a(expected), b(got);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QCOMPARE(b.readAll(), a.readAll());
    }
};

QTEST_GUILESS_MAIN(TestCliStore)
#include "test_cli_store.moc"
