// orvane-scan as a user runs it: against the fixture servers, with its exit codes, files and
// Ctrl-C behaviour.

#include "kxScanProgress.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMultiMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
QString Scan() {
    return qEnvironmentVariable("ORVANE_BIN_DIR") + QStringLiteral("/orvane-scan");
}

struct Result {
    int Code = -1;
    QString Out, Err;
};

Result Run(const QStringList& args, int timeoutMs = 120000,
           const QStringList& env = QStringList()) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : env)
        e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    p.setProcessEnvironment(e);
    p.start(Scan(), args);
    p.waitForFinished(timeoutMs);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QString Fixture() {
    return qEnvironmentVariable("ORVANE_SOURCE_DIR") + QStringLiteral("/scripts/smb-fixture");
}

bool FixtureCommand(const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(Fixture(), args);
    return p.waitForFinished(60000) && p.exitCode() == 0;
}

// The processes below pid (its helpers and their spawner), from /proc.
QList<pid_t> Descendants(pid_t pid) {
    QMultiMap<pid_t, pid_t> children;
    for (const QFileInfo& proc : QDir("/proc").entryInfoList(QDir::Dirs)) {
        QFile stat(proc.filePath() + "/stat");
        if (stat.open(QIODevice::ReadOnly))
            children.insert(pid_t(stat.readAll().split(')').last().split(' ').value(2).toInt()),
                            pid_t(proc.fileName().toInt()));
    }
    QList<pid_t> found, todo{pid};
    while (!todo.isEmpty()) {
        for (pid_t child : children.values(todo.takeFirst())) {
            found << child;
            todo << child;
        }
    }
    return found;
}

// Gone, or a zombie nobody has reaped yet.
bool Ended(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.open(QIODevice::ReadOnly) || stat.readAll().split(')').last().startsWith(" Z");
}

QStringList SortedRows(const QString& text) {
    QStringList rows = text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    rows.sort();
    return rows;
}

// The rows only one side has, for a failure message.
QString RowsDiffer(const QStringList& actual, const QStringList& expected) {
    QStringList only;
    for (const QString& row : actual)
        if (!expected.contains(row) && only.size() < 10)
            only << QStringLiteral("+ ") + row;
    for (const QString& row : expected)
        if (!actual.contains(row) && only.size() < 20)
            only << QStringLiteral("- ") + row;
    return only.join(u'\n');
}

QStringList CsvRows(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}
} // namespace

class TestCliSmb : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;

private Q_SLOTS:
    void badUsage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"};
        QTest::newRow("missing value") << QStringList{"--threads"};
        QTest::newRow("not a number") << QStringList{"--depth", "deep"};
        QTest::newRow("run and continue") << QStringList{"--run", "--continue"};
        QTest::newRow("no range") << QStringList{"--range", "office"};
        // Options that would make the search find nothing, or search something else.
        QTest::newRow("no threads") << QStringList{"--threads", "0"};
        QTest::newRow("negative depth") << QStringList{"--depth", "2147483648"};
        QTest::newRow("no lifetime") << QStringList{"--lifetime", "0"};
        QTest::newRow("connect time-out too short") << QStringList{"--connect-timeout", "49"};
        QTest::newRow("connect time-out too long") << QStringList{"--connect-timeout", "60001"};
        QTest::newRow("open set") << QStringList{"--masks", "[abc"};
        QTest::newRow("empty set") << QStringList{"--masks", "[]"};
        QTest::newRow("no masks") << QStringList{"--masks", ""};
        QTest::newRow("second =") << QStringList{"--range", "a=b=127.1.0.1 - 127.1.0.2"};
        QTest::newRow("octet over 255") << QStringList{"--range", "127.0.0.256 - 127.0.1.3"};
        QTest::newRow("extra octet") << QStringList{"--range", "1.2.3.4.5 - 1.2.3.6"};
        QTest::newRow("no end") << QStringList{"--range", "127.0.0.1 -"};
        QTest::newRow("backwards") << QStringList{"--range", "127.0.0.9 - 127.0.0.1"};
        QTest::newRow("large range") << QStringList{"--range", "10.0.0.0 - 10.1.0.0", "--run"};
        QTest::newRow("large block") << QStringList{"--range", "Lab=10.0.0.0/15", "--run"};
        QTest::newRow("prefix over 32") << QStringList{"--range", "10.0.0.0/33"};
        QTest::newRow("text after the range") << QStringList{"--range", "127.0.0.2 printer"};
        QTest::newRow("targets missing") << QStringList{"--targets", "/nonexistent-orvane/list"};
        QTest::newRow("targets folder") << QStringList{"--targets", "/tmp", "--run"};
        QTest::newRow("save folder missing")
            << QStringList{"--run", "--save", "/nonexistent-orvane/x.kxor"};
        QTest::newRow("csv onto a folder") << QStringList{"--csv", "/tmp"};
        QTest::newRow("user without password") << QStringList{"--user", "fixtureuser", "--run"};
        QTest::newRow("shard 0") << QStringList{"--range", "127.0.0.2", "--shard", "0/3"};
        QTest::newRow("shard past count") << QStringList{"--range", "127.0.0.2", "--shard", "4/3"};
        QTest::newRow("shard not I/N") << QStringList{"--range", "127.0.0.2", "--shard", "2"};
        QTest::newRow("shard without targets") << QStringList{"--shard", "1/2", "--run"};
        // More slots than a search runs; an output given twice, or two on one file.
        QTest::newRow("threads above the ceiling") << QStringList{"--threads", "1025"};
        QTest::newRow("threads negative as int32") << QStringList{"--threads", "3000000000"};
        QTest::newRow("csv-raw without csv") << QStringList{"--csv-raw"};
        const QString w = Dir.filePath(QStringLiteral("w.kxor"));
        QFile(w).open(QIODevice::WriteOnly);
        QFile::link(w, Dir.filePath(QStringLiteral("w-link.csv")));
        QTest::newRow("save twice") << QStringList{"--save", w, "--save", Dir.filePath("v.kxor")};
        QTest::newRow("save and csv on one file")
            << QStringList{"--open", w, "--save", w, "--csv", w};
        QTest::newRow("csv through a link onto the xml")
            << QStringList{"--xml", w, "--csv", Dir.filePath(QStringLiteral("w-link.csv"))};
        QTest::newRow("csv over the project read") << QStringList{"--open", w, "--csv", w};
        QTest::newRow("checkpoint without save") << QStringList{"--run", "--checkpoint", "5"};
    }
    void badUsage() {
        QFETCH(QStringList, args);
        const Result r = Run(args);
        QCOMPARE(r.Code, 2);
        QVERIFY(r.Err.contains(QStringLiteral("orvane-scan:")));
        QVERIFY2(!r.Out.contains("Searching"), qPrintable(r.Out)); // refused before searching
    }

    void connectTimeoutIsWaitedFor() {
        // Behind a firewall that drops everything (a network namespace of its own) each address
        // is an empty host, waited for the time-out given: never less.
        QProcess p;
        p.start(Fixture(), {"with-firewall", "-", Scan(), "--range", "127.5.3.0 - 127.5.3.15",
                            "--depth", "1", "--connect-timeout", "2500", "--run"});
        QElapsedTimer t;
        t.start();
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(t.elapsed() >= 2500);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(out.contains(QStringLiteral("hosts 16, shares 0")), qPrintable(out));
    }

    // A list gives the ranges it stands for: a search over it finds what the same ranges
    // typed one by one find. A wrong line, named with its number, stops it before anything is
    // searched; so does a list that gives nothing.
    void targetsList() {
        const QString list = Dir.filePath(QStringLiteral("servers.txt"));
        QFile f(list);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("# the fixture's servers\r\nServers=127.0.0.0/29\r\n!127.0.0.0 - 127.0.0.1\r\n"
                "\r\n!127.0.0.3\r\n");
        f.close();
        const QStringList search{"--masks", "*.txt",   "--depth", "1",
                                 "--run",   "--quiet", "--csv",   "-"};
        const Result fromList = Run(QStringList{"--targets", list} + search);
        const Result typed = Run(QStringList{"--range", "Servers #1=127.0.0.2", "--range",
                                             "Servers #2=127.0.0.4 - 127.0.0.7"} +
                                 search);
        QVERIFY2(fromList.Code == 0, qPrintable(fromList.Err));
        const QStringList rows = fromList.Out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(rows.filter(QStringLiteral(",range,")),
                 QStringList({"0,range,Servers #1 (127.0.0.2-2),127.0.0.2 - 127.0.0.2,,,,,0,0,1",
                              "0,range,Servers #2 (127.0.0.4-7),127.0.0.4 - 127.0.0.7,,,,,0,0,1"}));
        QCOMPARE(rows.filter(QStringLiteral(",host,")).size(), 1 + 4);
        QVERIFY(rows.filter(QStringLiteral(",share,")).size() > 4);
        QCOMPARE(rows, typed.Out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts));

        for (const auto& [text, message] :
             {std::pair{"127.0.0.0/24\n\n# c\n127.0.0.300\n",
                        "--targets standard input, line 4: '127.0.0.300' has an octet over 255"},
              std::pair{"!127.0.0.1\n127.0.0.0/24\n",
                        "--targets standard input, line 1: an exclusion before any range"},
              std::pair{"# nothing\n", "--targets standard input gives no target"}}) {
            QProcess p;
            p.start(Scan(), {"--targets", "-", "--run"});
            QVERIFY(p.waitForStarted());
            p.write(text);
            p.closeWriteChannel();
            QVERIFY(p.waitForFinished(60000));
            QCOMPARE(p.exitCode(), 2);
            const QString err = QString::fromUtf8(p.readAllStandardError());
            QVERIFY2(err.startsWith(QStringLiteral("orvane-scan: ") + message), qPrintable(err));
            QVERIFY(!p.readAllStandardOutput().contains("Searching"));
        }
    }

    // Three shards search every address once between them and find what one search finds; the
    // range they cut is named with each piece's part.
    void shardsTogetherAreOneSearch() {
        const QStringList search{"--range", "Servers=127.0.0.2 - 127.0.0.4",
                                 "--masks", "*.txt",
                                 "--depth", "1",
                                 "--run",   "--quiet",
                                 "--csv",   "-"};
        const Result whole = Run(search);
        QVERIFY2(whole.Code == 0, qPrintable(whole.Err));
        QStringList all = whole.Out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QStringList pieces;
        for (int i = 1; i <= 3; ++i) {
            const Result r = Run(search + QStringList{"--shard", QStringLiteral("%1/3").arg(i)});
            QVERIFY2(r.Code == 0, qPrintable(r.Err));
            QStringList rows = r.Out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
            QCOMPARE(rows.takeFirst(), all.first());
            QCOMPARE(rows.first(),
                     QStringLiteral("0,range,Servers [%1/3] (127.0.0.%2-%2),127.0.0.%2 "
                                    "- 127.0.0.%2,,,,,0,0,1")
                         .arg(i)
                         .arg(i + 1));
            rows.removeFirst();
            pieces += rows;
        }
        all.removeFirst();
        all.removeFirst();
        QCOMPARE(pieces, all);
    }

    void searchSavesAndExports() {
        const QString project = Dir.filePath(QStringLiteral("docs.kxor"));
        const QString csv = Dir.filePath(QStringLiteral("docs.csv"));
        const Result r = Run({"--range", "Docs=127.0.0.3 - 127.0.0.3", "--masks", "*.txt", "--run",
                              "--quiet", "--save", project, "--csv", csv});
        QCOMPARE(r.Code, 0);
        QVERIFY2(r.Out.contains(QStringLiteral("Searching stopped successfully")),
                 qPrintable(r.Out));
        QVERIFY(QFile::exists(project));
        const QStringList rows = CsvRows(csv);
        QVERIFY(rows.size() > 3);
        QCOMPARE(rows[1],
                 QStringLiteral("0,range,Docs (127.0.0.3-3),127.0.0.3 - 127.0.0.3,,,,,0,1,1"));
        QVERIFY(rows.filter(QStringLiteral(",file,manual.txt,\\\\127.0.0.3\\docs\\manual.txt,"))
                    .size() == 1);
        // The saved project reads back into the same rows.
        const Result again = Run({"--open", project, "--csv", "-"});
        QCOMPARE(again.Code, 0);
        QCOMPARE(again.Out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts), rows);
        // Standard output on a full disk is a failure, not a short CSV.
        QProcess full;
        full.setStandardOutputFile(QStringLiteral("/dev/full"));
        full.start(Scan(), {"--open", project, "--csv", "-"});
        QVERIFY(full.waitForFinished(60000));
        QCOMPARE(full.exitCode(), 1);
        QVERIFY(full.readAllStandardError().contains("No space left on device"));
    }

    // Ctrl-C, and SIGHUP (a closed terminal) meaning the same.
    void interruptSavesAndContinueFinishes_data() {
        QTest::addColumn<int>("signo");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void interruptSavesAndContinueFinishes() {
        QFETCH(int, signo);
        const QString project = Dir.filePath(QStringLiteral("bulk.kxor"));
        QProcess p;
        p.start(Scan(), {"--range", "Two=127.0.0.2 - 127.0.0.2", "--threads", "1", "--masks",
                         "*.txt", "--run", "--save", project});
        QVERIFY(p.waitForStarted());
        // Wait until the walk is under way, then press Ctrl-C. One thread keeps the whole
        // walk several seconds long, far longer than the wait.
        QByteArray progress;
        QTRY_VERIFY_WITH_TIMEOUT((progress += p.readAllStandardError()).contains("nodes"), 30000);
        QTest::qWait(200);
        ::kill(pid_t(p.processId()), signo);
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(QString::fromUtf8(p.readAllStandardOutput())
                    .contains(QStringLiteral("User has stopped the searching")));
        const Result cont = Run({"--open", project, "--continue", "--quiet", "--save", project});
        // What the first run had not come to may fail as always here: the guest may not list
        // \\127.0.0.2\denied, and \\127.0.0.2\loop holds a folder loop.
        QVERIFY2(cont.Code == 0 || cont.Code == 3, qPrintable(cont.Err));
        const QStringList said = cont.Err.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(said.value(0), QStringLiteral("Connecting as guest"));
        for (const QString& line : said.mid(1))
            QVERIFY2(line.contains("(Access denied)") || line.contains("(Folder loop: "),
                     qPrintable(line));
        QVERIFY2(cont.Out.contains(QStringLiteral("pending 0")), qPrintable(cont.Out));
        // Every bulk file is there once: 10 x 100 x 20.
        const Result rows = Run({"--open", project, "--csv", "-"});
        const QStringList bulk =
            rows.Out.split(QStringLiteral("\r\n")).filter(QStringLiteral(",file,f"));
        QCOMPARE(bulk.filter(QStringLiteral("\\\\127.0.0.2\\bulk\\")).size(), 20000);
    }

    // Ctrl-C while the results are being written only says so: the project and the CSV come
    // out whole. The CSV goes to a reader that stops itself at once, so the writer is held in
    // its write when the signal comes.
    void ctrlCWhileWritingKeepsTheResults() {
        const QString project = Dir.filePath(QStringLiteral("held.kxor"));
        const QString csv = Dir.filePath(QStringLiteral("held.csv"));
        QProcess scan, reader;
        scan.setStandardOutputProcess(&reader);
        reader.start(QStringLiteral("sh"),
                     {"-c", QStringLiteral("kill -STOP $$; exec cat >'%1'").arg(csv)});
        scan.start(Scan(), {"--range", "Two=127.0.0.2 - 127.0.0.2", "--masks", "*.txt", "--run",
                            "--quiet", "--save", project, "--csv", "-"});
        QVERIFY(reader.waitForStarted() && scan.waitForStarted());
        // The project is written before the CSV, and 2 MB of CSV do not fit into a pipe.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(project), 60000);
        QVERIFY(!scan.waitForFinished(300));
        ::kill(pid_t(scan.processId()), SIGINT);
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += scan.readAllStandardError()).contains("still writing"),
                                  said.constData(), 10000);
        ::kill(pid_t(reader.processId()), SIGCONT);
        QVERIFY(scan.waitForFinished(60000) && reader.waitForFinished(60000));
        QCOMPARE(scan.exitStatus(), QProcess::NormalExit);
        QVERIFY(scan.exitCode() == 0 || scan.exitCode() == 3); // denied and loop may fail
        const QStringList rows = CsvRows(csv);
        QCOMPARE(rows.filter(QStringLiteral(",file,f")).filter("\\\\127.0.0.2\\bulk\\").size(),
                 20000);
        const Result again = Run({"--open", project, "--csv", "-"});
        QCOMPARE(again.Code, 0);
        QCOMPARE(again.Out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts), rows);
    }

    // kill -9 in the middle of a walk: the last checkpoint, continued, gives the node list of
    // a walk that was never interrupted, and no helper lives on.
    void killedScanContinuesFromItsCheckpoint() {
        const QStringList range{"--range", "Two=127.0.0.2 - 127.0.0.2", "--masks", "*.txt"};
        const Result whole = Run(range + QStringList{"--run", "--quiet", "--csv", "-"});
        QCOMPARE(whole.Code, 3); // the denied share and the folder loop

        const QString project = Dir.filePath(QStringLiteral("killed.kxor"));
        QProcess p;
        p.start(Scan(), range + QStringList{"--threads", "1", "--run", "--save", project,
                                            "--checkpoint", "1"});
        QVERIFY(p.waitForStarted());
        QByteArray progress;
        QVERIFY(WaitForNodes(p, progress, 3000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(project), 30000);
        const QList<pid_t> helpers = Descendants(pid_t(p.processId()));
        QVERIFY(!helpers.isEmpty());
        ::kill(pid_t(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(helpers.begin(), helpers.end(), Ended), 5000);

        const Result cont = Run({"--open", project, "--continue", "--quiet", "--save", project});
        QVERIFY2(cont.Code == 0 || cont.Code == 3, qPrintable(cont.Err));
        QVERIFY2(cont.Out.contains(QStringLiteral("pending 0")), qPrintable(cont.Out));
        const Result rows = Run({"--open", project, "--csv", "-"});
        QCOMPARE(rows.Code, 0);
        const QStringList resumed = SortedRows(rows.Out), expected = SortedRows(whole.Out);
        QVERIFY2(resumed == expected, qPrintable(RowsDiffer(resumed, expected)));
    }

    // A checkpoint onto a full file system (a small tmpfs in a mount namespace of its own)
    // keeps the last one whole, says so once, and the search goes on to its end.
    void fullDiskKeepsTheLastCheckpoint() {
        const QString disk = Dir.filePath(QStringLiteral("disk"));
        QVERIFY(QDir().mkpath(disk));
        const QString script = QStringLiteral(R"(
            mount -t tmpfs -o size=4m orvane-full "$DISK" || exit 90
            # The server twice: the walk goes on for seconds after the disk is full, so a
            # checkpoint is tried then also on a fast machine.
            "$SCAN" --range "Two=127.0.0.2 - 127.0.0.2" --range "Again=127.0.0.2 - 127.0.0.2" \
                --threads 1 --masks "*.txt" --run --save "$DISK/p.kxor" --checkpoint 1 \
                >"$OUT/out" 2>"$OUT/err" &
            scan=$!
            # A checkpoint with a good part of the walk in it, however slowly the walk goes.
            size() { stat -c %s "$DISK/p.kxor" 2>/dev/null || echo 0; }
            while kill -0 $scan && [ $(size) -lt 16384 ]; do sleep 0.05; done
            # Filled twice: space a failing checkpoint held is taken too.
            head -c 64M /dev/zero >"$DISK/filler" 2>/dev/null
            sleep 1.5
            head -c 64M /dev/zero >>"$DISK/filler" 2>/dev/null
            cp "$DISK/p.kxor" "$OUT/kept.kxor"
            wait $scan
            echo $? >"$OUT/status"
            cmp -s "$DISK/p.kxor" "$OUT/kept.kxor" && echo same >>"$OUT/status"
        )");
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("DISK", disk);
        e.insert("OUT", Dir.path());
        e.insert("SCAN", Scan());
        p.setProcessEnvironment(e);
        p.start(QStringLiteral("unshare"), {"-m", "bash", "-c", script});
        QVERIFY(p.waitForFinished(120000));
        QCOMPARE(p.exitCode(), 0);
        auto text = [&](const char* name) {
            QFile f(Dir.filePath(QString::fromLatin1(name)));
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
        };
        // The search finished; only the project could not be written at its end.
        QCOMPARE(text("status"), QStringLiteral("1\nsame\n"));
        QVERIFY2(text("out").contains("Searching stopped successfully"), qPrintable(text("out")));
        const QString err = text("err");
        QCOMPARE(err.count(QStringLiteral("checkpoint not written")), 1);
        QVERIFY2(err.contains("No space left on device"), qPrintable(err));
        const Result kept =
            Run({"--open", Dir.filePath(QStringLiteral("kept.kxor")), "--csv", "-"});
        QCOMPARE(kept.Code, 0);
        QVERIFY(kept.Out.count(QStringLiteral("\r\n")) > 100);
    }

    void refusedListingsFailTheRun() {
        // The guest may list 127.0.0.4 but not [private], nor mixed\locked; mixed\odd holds
        // a name libsmbclient can not convert, which fails its whole listing.
        const QString csv = Dir.filePath(QStringLiteral("secured.csv"));
        const Result r = Run({"--range", "S=127.0.0.4 - 127.0.0.4", "--masks", "*", "--run",
                              "--quiet", "--csv", csv});
        QCOMPARE(r.Code, 3);
        const QString failed = QStringLiteral("Thread has stopped with error (%1)");
        for (const auto& [path, reason] :
             {std::pair{"\\\\127.0.0.4\\private", "Access denied"},
              std::pair{"\\\\127.0.0.4\\mixed\\locked", "Access denied"},
              std::pair{"\\\\127.0.0.4\\mixed\\odd",
                        "Name refused, or a name in the listing can not be read"}})
            QVERIFY2(r.Err.contains(QString::fromUtf8(path) + ": " + failed.arg(reason)),
                     qPrintable(r.Err));
        QVERIFY2(r.Out.contains("Searching stopped successfully (3 tasks failed)"),
                 qPrintable(r.Out));
        QVERIFY(r.Out.contains("failed tasks 3"));
        QVERIFY(CsvRows(csv).filter("\\mixed\\open\\visible.txt").size() == 1);
    }

    // Names that a spreadsheet would take for a formula are written as text, unless the CSV
    // is asked for raw.
    void csvFormulasStayText() {
        const QString folder =
            QStringLiteral("formulas-%1").arg(QCoreApplication::applicationPid());
        QDir tree(qEnvironmentVariable("ORVANE_FIXTURE_DIR") + QStringLiteral("/trees/mixed/open"));
        QVERIFY(tree.mkdir(folder));
        const auto remove = qScopeGuard([&] { QDir(tree.filePath(folder)).removeRecursively(); });
        const QStringList names{"=cmd.txt", "+sum.txt", "-minus.txt", "@at.txt", "plain.txt"};
        for (const QString& name : names) {
            QFile f(tree.filePath(folder + u'/' + name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const QString address = QStringLiteral("\\\\127.0.0.4\\mixed\\open\\") + folder;
        const QString project = Dir.filePath(QStringLiteral("formulas.kxor"));
        QFile p(project);
        QVERIFY(p.open(QIODevice::WriteOnly));
        p.write(QStringLiteral("16\r\n0\r\n1\r\n*.*\r\n1\r\n0\r\n%1\r\n%2\r\n\r\n\r\n\r\n\r\n0\r\n"
                               "0\r\n4\r\n0\r\n")
                    .arg(folder, address)
                    .toUtf8());
        p.close();
        for (const bool raw : {false, true}) {
            const QString csv = Dir.filePath(QStringLiteral("formulas.csv"));
            QStringList args{"--open", project, "--continue", "--quiet", "--csv", csv};
            if (raw)
                args << "--csv-raw";
            const Result r = Run(args);
            QCOMPARE(r.Code, 0);
            const QStringList rows = CsvRows(csv);
            for (const QString& name : names) {
                const QString shown = raw || name == u"plain.txt" ? name : u'\'' + name;
                QVERIFY2(rows.filter(QStringLiteral(",file,%1,").arg(shown)).size() == 1,
                         qPrintable(rows.join(u'\n')));
            }
        }
    }

    // A count line that is not a number before the records: what was read is not written over
    // the file it came from, but may go to another one.
    void damagedHeaderKeepsTheFile() {
        const QString damaged = Dir.filePath(QStringLiteral("damaged.kxor"));
        QByteArray bytes = "16\r\n0\r\n1\r\n*.*\r\n-5\r\n";
        for (int i = 0; i < 3; ++i)
            bytes +=
                QStringLiteral(
                    "0\r\nr%1\r\n10.0.0.%1 - 10.0.0.%1\r\n\r\n\r\n\r\n\r\n0\r\n0\r\n1\r\n0\r\n")
                    .arg(i + 1)
                    .toUtf8();
        QFile f(damaged);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        f.close();
        const Result same = Run({"--open", damaged, "--save", damaged});
        QCOMPARE(same.Code, 1);
        QVERIFY2(same.Err.contains("holds more after the 0 nodes"), qPrintable(same.Err));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), bytes);
        f.close();
        const QString other = Dir.filePath(QStringLiteral("other.kxor"));
        const Result elsewhere = Run({"--open", damaged, "--save", other});
        QCOMPARE(elsewhere.Code, 0);
        QVERIFY(elsewhere.Err.contains("holds more after the 0 nodes"));
        QVERIFY(QFile::exists(other));
    }

    void accountNeverBecomesGuest() {
        const QString csv = Dir.filePath(QStringLiteral("account.csv"));
        const QStringList args{"--range", "S=127.0.0.4 - 127.0.0.4",
                               "--masks", "*",
                               "--run",   "--quiet",
                               "--user",  "fixtureuser",
                               "--csv",   csv};
        const Result wrong = Run(args, 120000, {"ORVANE_PASSWORD=not-the-password"});
        QCOMPARE(wrong.Code, 3);
        QVERIFY2(wrong.Err.contains("\\\\127.0.0.4: Thread has stopped with error (Logon failure)"),
                 qPrintable(wrong.Err));
        QCOMPARE(CsvRows(csv).filter(",share,").size(), 0); // nothing listed as guest

        const Result right = Run(args, 120000, {"ORVANE_PASSWORD=fixture-pass-1"});
        QVERIFY2(!right.Err.contains("\\private:"), qPrintable(right.Err));
        QCOMPARE(CsvRows(csv).filter("\\\\127.0.0.4\\private\\reports\\q1.txt").size(), 1);
    }

    void passwordStaysOutOfEnvironments() {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("ORVANE_PASSWORD", "fixture-pass-1");
        p.setProcessEnvironment(e);
        p.start(Scan(), {"--range", "127.0.0.4 - 127.0.0.4", "--user", "fixtureuser", "--threads",
                         "1", "--masks", "*", "--run"});
        QVERIFY(p.waitForStarted());
        QByteArray progress;
        QVERIFY(WaitForNodes(p, progress, 30));
        const QString scan = QString::number(p.processId());
        QStringList checked{scan};
        for (const QFileInfo& proc : QDir("/proc").entryInfoList(QDir::Dirs)) {
            QFile stat(proc.filePath() + "/stat");
            if (stat.open(QIODevice::ReadOnly) &&
                stat.readAll().split(')').last().split(' ').value(2) == scan.toLatin1())
                checked << proc.fileName();
        }
        QVERIFY2(checked.size() > 1, "no helper found");
        for (const QString& pid : checked) {
            QFile environ("/proc/" + pid + "/environ");
            QVERIFY(environ.open(QIODevice::ReadOnly));
            QVERIFY2(!environ.readAll().contains("fixture-pass-1"), qPrintable(pid));
        }
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 1);
    }

    // A workgroup LAN without reverse DNS records: 127.0.0.81 answers NetBIOS node status as
    // FILESRV81; at 127.0.0.83 UDP 137 swallows the question, at 127.0.0.84 nothing listens.
    void netbiosNames() {
        const int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(137);
        inet_pton(AF_INET, "127.0.0.83", &at.sin_addr);
        QVERIFY(bind(silent, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0);
        const QString csv = Dir.filePath(QStringLiteral("lan.csv"));
        const QStringList args{"--range", "Lan=127.0.0.81 - 127.0.0.81",
                               "--range", "Dead=127.0.0.83 - 127.0.0.84",
                               "--masks", "*.txt",
                               "--run",   "--quiet",
                               "--csv",   csv};
        QCOMPARE(Run(args).Code, 0);
        QStringList hosts = CsvRows(csv).filter(QStringLiteral(",host,"));
        QCOMPARE(hosts.size(), 3);
        QVERIFY2(hosts[0].startsWith(QStringLiteral("1,host,FILESRV81,\\\\127.0.0.81,")),
                 qPrintable(hosts[0]));
        QVERIFY2(hosts[1].startsWith(QStringLiteral("1,host,127.0.0.83,")), qPrintable(hosts[1]));
        QVERIFY2(hosts[2].startsWith(QStringLiteral("1,host,127.0.0.84,")), qPrintable(hosts[2]));
        QCOMPARE(CsvRows(csv).filter("\\\\127.0.0.81\\files\\reports\\q3.txt").size(), 1);

        QCOMPARE(Run(args + QStringList{"--no-netbios"}).Code, 0);
        hosts = CsvRows(csv).filter(QStringLiteral(",host,"));
        QVERIFY2(hosts.value(0).startsWith(QStringLiteral("1,host,127.0.0.81,")),
                 qPrintable(hosts.value(0)));
        close(silent);
    }

    // 127.0.0.82 speaks only SMB1; 127.0.0.3 speaks SMB 3 in the same search.
    void smb1OnlyServer() {
        const QString csv = Dir.filePath(QStringLiteral("old.csv"));
        const QStringList args{"--range", "Old=127.0.0.82 - 127.0.0.82",
                               "--range", "Docs=127.0.0.3 - 127.0.0.3",
                               "--masks", "*.txt",
                               "--run",   "--quiet",
                               "--csv",   csv};
        const Result off = Run(args);
        QCOMPARE(off.Code, 3);
        QCOMPARE(off.Err.count(QStringLiteral("Thread has stopped with error")), 1);
        QVERIFY2(off.Err.contains(QStringLiteral("\\\\127.0.0.82: Thread has stopped with error "
                                                 "(The server speaks only SMB1, which is turned "
                                                 "off)")),
                 qPrintable(off.Err));
        QVERIFY2(off.Out.contains(QStringLiteral("pending 0")), qPrintable(off.Out));
        QCOMPARE(CsvRows(csv).filter("\\\\127.0.0.3\\docs\\manual.txt").size(), 1);
        QCOMPARE(CsvRows(csv).filter(",share,").filter("127.0.0.82").size(), 0);

        const Result on = Run(args + QStringList{"--allow-smb1"});
        QVERIFY2(on.Code == 0, qPrintable(on.Err));
        const QStringList rows = CsvRows(csv);
        QCOMPARE(rows.filter("\\\\127.0.0.82\\old\\archive\\2009.txt").size(), 1);
        QCOMPARE(rows.filter("\\\\127.0.0.82\\old\\old.txt").size(), 1);
        QCOMPARE(rows.filter("\\\\127.0.0.3\\docs\\manual.txt").size(), 1);
    }

    void serverRestartMidWalkIsRecovered() {
        const QStringList range{"--range", "W=127.0.0.4 - 127.0.0.4", "--masks", "*.txt"};
        const QString reference = Dir.filePath(QStringLiteral("reference.csv"));
        QCOMPARE(Run(range + QStringList{"--run", "--quiet", "--csv", reference}).Code, 3);

        // One thread keeps the walk long; the server goes away in the middle of it.
        const QString project = Dir.filePath(QStringLiteral("restart.kxor"));
        QProcess p;
        p.start(Scan(), range + QStringList{"--threads", "1", "--run", "--save", project});
        QVERIFY(p.waitForStarted());
        QByteArray progress;
        QVERIFY(WaitForNodes(p, progress, 3000));
        const QString fixture = qEnvironmentVariable("ORVANE_FIXTURE_DIR");
        QVERIFY(FixtureCommand({"stop-server", fixture, "127.0.0.4"}));
        QVERIFY(p.waitForFinished(120000));
        const QByteArray err = progress + p.readAllStandardError();
        QVERIFY(FixtureCommand({"start", fixture}));
        QCOMPARE(p.exitCode(), 3);
        QVERIFY2(err.contains("Thread has stopped with error (Connection"), err.right(2000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(!out.contains("failed tasks 3\n"), qPrintable(out)); // far more than those

        const Result cont = Run({"--open", project, "--continue", "--quiet", "--save", project});
        QVERIFY2(cont.Code == 0 || cont.Code == 3, qPrintable(cont.Err));
        QVERIFY2(cont.Out.contains("pending 0"), qPrintable(cont.Out));
        const Result rows = Run({"--open", project, "--csv", "-"});
        QStringList recovered = rows.Out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QStringList expected = CsvRows(reference);
        recovered.sort();
        expected.sort();
        QCOMPARE(recovered.size(), expected.size());
        QCOMPARE(recovered, expected);
    }
};

QTEST_GUILESS_MAIN(TestCliSmb)
#include "test_cli_smb.moc"
