// Checkpoint benchmark: what a checkpoint costs the document's thread and a running walk.
//
//  1. A project of about a million nodes: the longest stall of the document's thread (the GUI
//     thread in the window) while a checkpoint is taken and written, the part of it spent
//     copying the tree, and how long the checkpoint takes on its own thread; beside it, the
//     ordinary synchronous save of the same tree, which holds the thread all along.
//  2. Walks of the fixture's bulk share (21,010 entries; 20 times over in one search, so that
//     several checkpoints fall into it on a fast machine too) with a checkpoint every 5 s
//     against none,
//     interleaved: once with only the walk's own tree, once on top of a million-node project
//     (a long search's results), whose checkpoints are what a long search pays.
//
//   bench_checkpoint          both; the walks need the fixture's 127.0.0.2
//   bench_checkpoint stall    the million-node project only
//
// The walks, in a network namespace of your own:
//
//   unshare -n bash -c 'ip link set lo up && scripts/smb-fixture start /tmp/orvane-fixture &&
//     HOME=$PWD/build/test-home KRB5_CONFIG=/dev/null build/bin/bench_checkpoint;
//     scripts/smb-fixture stop /tmp/orvane-fixture'
//
// ORVANE_BENCH_ROUNDS (default 3) sets the walks each way, ORVANE_BENCH_COPIES (default 20) the
// times the share is walked in one search. Figures are medians; the machine's
// load average is printed beside them.

#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "lang/kxLanguages.h"
#include "platform/kxPlatformServices.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

QString LoadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(u' ', 0, 2)
                                       : QStringLiteral("?");
}

TkxInfo Record(const QString& name, const QString& address, TkxItemKind kind, int i) {
    TkxInfo r;
    r.SetName(name);
    r.SetAddress(address);
    r.SetKind(kind);
    r.SetScanned(1);
    if (kind == ikFolder || kind == ikFile) {
        r.SetSize(kind == ikFile ? 1000.0 + (i * 7919) % 50000000 : 0);
        r.SetCreating(45000.0 + i % 1500 + (i % 86400) / 86400.0);
        r.SetEditTime(45011.0 + i % 1500);
        r.SetLastAccess(45023.5 + i % 1500);
        r.SetMatched(kind == ikFile && i % 5 == 0 ? 1 : 0);
        r.SetHasMatch(r.Matched);
    }
    return r;
}

// 4 ranges of 250 hosts of 4 shares of 25 folders of 9 files: 1,005,004 nodes, all explored.
void BuildTree(TkxProjectDoc& doc) {
    int serial = 0;
    for (int g = 0; g < 4; ++g) {
        TkxNode* range = doc.AddRange(QStringLiteral("Office %1").arg(g),
                                      QStringLiteral("10.%1.0.1 - 10.%1.0.250").arg(g));
        range->Info.SetScanned(1);
        std::vector<TkxInfo> hosts;
        for (int h = 0; h < 250; ++h)
            hosts.push_back(Record(QStringLiteral("ws-%1-%2.corp.example").arg(g).arg(h),
                                   QStringLiteral("\\\\10.%1.0.%2").arg(g).arg(h + 1), ikHost,
                                   ++serial));
        for (TkxNode* host : doc.AddInfoNodes(std::move(hosts), range)) {
            std::vector<TkxInfo> shares;
            for (int s = 0; s < 4; ++s)
                shares.push_back(
                    Record(QStringLiteral("Share%1").arg(s),
                           host->Info.AddressText() + QStringLiteral("\\Share%1").arg(s), ikShare,
                           ++serial));
            for (TkxNode* share : doc.AddInfoNodes(std::move(shares), host)) {
                std::vector<TkxInfo> folders;
                for (int f = 0; f < 25; ++f) {
                    const QString name = QStringLiteral("Project %1").arg(f, 4, 10, QChar(u'0'));
                    folders.push_back(
                        Record(name, share->Info.AddressText() + u'\\' + name, ikFolder, ++serial));
                }
                for (TkxNode* folder : doc.AddInfoNodes(std::move(folders), share)) {
                    std::vector<TkxInfo> files;
                    for (int f = 0; f < 9; ++f) {
                        const QString name = QStringLiteral("report_%1.docx").arg(++serial);
                        files.push_back(Record(name, folder->Info.AddressText() + u'\\' + name,
                                               ikFile, serial));
                    }
                    doc.AddInfoNodes(std::move(files), folder);
                }
            }
        }
    }
    // Explored, all of it: no address of these ranges is ever visited.
    doc.ClearPending();
}

// The longest gap between two turns of the event loop while `work` runs and until `done`.
template <class Work, class Done> qint64 LongestStall(Work&& work, Done&& done) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start();
    QEventLoop settle;
    QTimer::singleShot(50, &settle, &QEventLoop::quit);
    settle.exec();
    work();
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const qint64 now = clock.elapsed();
    return std::max(longest, now - last);
}

void Stall(const QString& dir) {
    TkxProjectDoc doc;
    QElapsedTimer clock;
    clock.start();
    BuildTree(doc);
    std::printf("tree:       %d nodes built in %.1f s\n", doc.Tree().NodeCount(),
                clock.elapsed() / 1000.0);
    const QString file = dir + QStringLiteral("/checkpoint.kxor");
    std::vector<double> stalls, copies, copyCpus, writes;
    for (int round = 0; round < 3; ++round) {
        bool written = false;
        qint64 writeMs = 0;
        const auto c = QObject::connect(&doc, &TkxProjectDoc::CheckpointWritten,
                                        [&](const QString&, const QString& error, qint64 ms) {
                                            if (!error.isEmpty())
                                                std::printf("error: %s\n", qPrintable(error));
                                            written = true;
                                            writeMs = ms;
                                        });
        qint64 copyNs = 0;
        double copyCpu = 0;
        const qint64 stall = LongestStall(
            [&] {
                QElapsedTimer copy;
                copy.start();
                const double cpu = ThreadCpuMs();
                doc.StartCheckpoint(file);
                copyCpu = ThreadCpuMs() - cpu;
                copyNs = copy.nsecsElapsed();
            },
            [&] { return written; });
        QObject::disconnect(c);
        stalls.push_back(double(stall));
        copies.push_back(copyNs / 1e6);
        copyCpus.push_back(copyCpu);
        writes.push_back(double(writeMs));
    }
    std::printf("checkpoint: longest stall of the document's thread %.0f ms (target < 100), of "
                "it copying the tree %.0f ms (%.0f ms of CPU); written in %.2f s on its own "
                "thread, %lld bytes\n",
                Median(stalls), Median(copies), Median(copyCpus), Median(writes) / 1000.0,
                (long long)QFileInfo(file).size());
    clock.restart();
    doc.WriteProject(dir + QStringLiteral("/saved.kxor"));
    std::printf("compare:    the ordinary save takes %.2f s, user input held off meanwhile\n",
                clock.elapsed() / 1000.0);
    std::printf("load:       %s\n", qPrintable(LoadAverage()));
}

// One search over the bulk share `copies` times; a checkpoint every `everyMs` (0: none).
struct TWalk {
    double Seconds = 0;
    int Entries = 0;
    int Checkpoints = 0;
};

TWalk Walk(TkxProjectDoc& doc, const QString& file, int everyMs, int copies) {
    std::vector<TkxNode*> shares;
    for (int i = 0; i < copies; ++i) {
        TkxInfo r;
        r.SetAddress(QStringLiteral("\\\\127.0.0.2\\bulk"));
        r.SetName(QStringLiteral("bulk"));
        r.SetKind(ikShare);
        shares.push_back(doc.AddInfoNode(std::move(r), nullptr));
    }
    const int before = doc.Tree().NodeCount();
    TWalk w;
    QTimer checkpoints;
    checkpoints.setInterval(everyMs);
    QObject::connect(&checkpoints, &QTimer::timeout, [&] {
        if (doc.IsSearching() && doc.StartCheckpoint(file))
            ++w.Checkpoints;
    });
    QEventLoop loop;
    QObject::connect(&doc, &TkxProjectDoc::ManagersIdle, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    QElapsedTimer clock;
    clock.start();
    if (everyMs > 0)
        checkpoints.start();
    doc.Continue();
    if (doc.IsBusy())
        loop.exec();
    w.Seconds = clock.nsecsElapsed() / 1e9;
    checkpoints.stop();
    doc.WaitForCheckpoint();
    w.Entries = doc.Tree().NodeCount() - before;
    if (doc.SearchState() != srFinished || doc.FailedTaskCount() > 0)
        std::fprintf(stderr, "search ended with: %s\n", qPrintable(doc.StatusStateText()));
    for (TkxNode* share : shares)
        doc.DeleteNode(share);
    return w;
}

void Walks(const QString& dir, bool bigProject) {
    TkxProjectDoc doc;
    doc.SetNetServices(std::make_shared<TkxPlatformServices>());
    if (bigProject)
        BuildTree(doc);
    TkxParams p;
    p.Masks = QStringLiteral("*");
    doc.SetParams(p);
    const int rounds = qEnvironmentVariableIsSet("ORVANE_BENCH_ROUNDS")
                           ? std::max(1, qEnvironmentVariableIntValue("ORVANE_BENCH_ROUNDS"))
                           : 3;
    const int copies = qEnvironmentVariableIsSet("ORVANE_BENCH_COPIES")
                           ? std::max(1, qEnvironmentVariableIntValue("ORVANE_BENCH_COPIES"))
                           : 20;
    const QString file = dir + QStringLiteral("/walk.kxor");
    Walk(doc, file, 0, 1); // warm-up: helpers, server caches
    std::vector<double> none, every;
    int entries = 0, checkpoints = 0;
    for (int r = 0; r < rounds; ++r) {
        const TWalk a = Walk(doc, file, 0, copies);
        const TWalk b = Walk(doc, file, 5000, copies);
        none.push_back(a.Entries / a.Seconds);
        every.push_back(b.Entries / b.Seconds);
        entries = a.Entries;
        checkpoints += b.Checkpoints;
    }
    const double a = Median(none), b = Median(every);
    std::printf("walk%s: %d entries; none %.0f entries/s, every 5 s %.0f entries/s (%d "
                "checkpoints in %d walks): %+.1f%% (target > -5%%); load %s\n",
                bigProject ? " on a 1,005,004-node project" : "", entries, a, b, checkpoints,
                rounds, (b / a - 1) * 100, qPrintable(LoadAverage()));
    if (checkpoints == 0)
        std::printf("warning: no checkpoint fell into a walk; raise ORVANE_BENCH_COPIES\n");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SetCurrentLanguage(LangEnglish);
    QTemporaryDir dir;
    Stall(dir.path());
    std::fflush(stdout);
    if (argc > 1 && qstrcmp(argv[1], "stall") == 0)
        return 0;
    Walks(dir.path(), false);
    std::fflush(stdout);
    Walks(dir.path(), true);
    TkxInfoThread::WaitForAll();
    return 0;
}
