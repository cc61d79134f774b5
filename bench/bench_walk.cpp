// Walk benchmark: full searches of one share against `smbclient -c 'recurse ON; ls'` on the same
// share, interleaved, on loopback and on a server that answers 0.5 ms and 2 ms late, each as a
// whole orvane-scan run (a project holding the share, --continue, --save; its CPU split by
// process and thread) and as a walk inside this process; then the
// memory the tree takes per node, the engine alone, the folder-loop guard's cost and the CPU the
// manager and the document's thread spend while every worker waits on a slow server.
//
//   bench_walk [HOST [SHARE [THREADS]]]     (defaults 127.0.0.2 bulk 16)
//   bench_walk engine [THREADS]             the engine alone, scripted instant listings
//   bench_walk once [HOST [SHARE [THREADS]]]  one walk in this process and one orvane-scan run,
//                                             for a profiler (ORVANE_BENCH_WRAP="perf record
//                                             -o FILE --" runs orvane-scan under one)
//
// Run it against the fixture's bulk share (21,010 entries in 1,010 folders), with smbd started
// through build/bin/smbd-latency (the preload shim that sleeps before each socket send), all in
// a network namespace of your own:
//
//   export ORVANE_LATENCY_FILE=/tmp/orvane-latency ORVANE_FIXTURE_DIR=/tmp/orvane-fixture
//   head -c 4 /dev/zero >$ORVANE_LATENCY_FILE
//   unshare -n bash -c 'ip link set lo up &&
//     SMBD=$PWD/build/bin/smbd-latency scripts/smb-fixture start $ORVANE_FIXTURE_DIR &&
//     HOME=$PWD/build/test-home KRB5_CONFIG=/dev/null build/bin/bench_walk;
//     scripts/smb-fixture stop $ORVANE_FIXTURE_DIR'
//
// The bench writes the delay into $ORVANE_LATENCY_FILE before each walk. Without that variable
// only loopback is measured; without ORVANE_FIXTURE_DIR smbd's CPU is not shown.
// ORVANE_BENCH_ROUNDS (default 9) sets the number of interleaved rounds; ORVANE_BENCH_LATENCIES
// the delays in microseconds (default "0 500 2000"). Figures are medians; each walk starts with
// fresh services, so helper start-up counts, as it does for one orvane-scan run. The load of
// other processes during the walks is printed beside them.

#include "../tests/kxFakeServices.h"
#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "lang/kxLanguages.h"
#include "platform/kxPlatformServices.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {
long RssKb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    }
    return 0;
}

struct Usage {
    double Cpu = 0;
    long Switches = 0;
};

Usage UsageOf(int who) {
    rusage u{};
    getrusage(who, &u);
    return {double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw + u.ru_nivcsw};
}

double CpuSeconds() {
    return UsageOf(RUSAGE_SELF).Cpu;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The fields of /proc/PID/stat after the command name (field 3 is index 0).
QList<QByteArray> StatFields(const QString& pid) {
    const QByteArray stat = ReadAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : stat.mid(close + 2).split(' ');
}

// CPU seconds of a server process and all its children, the reaped ones included; smbd forks
// one child per connection.
double TreeCpu(const QString& pid) {
    static const double tick = double(sysconf(_SC_CLK_TCK));
    const QList<QByteArray> own = StatFields(pid);
    if (own.size() < 15)
        return 0;
    double ticks =
        own[11].toDouble() + own[12].toDouble() + own[13].toDouble() + own[14].toDouble();
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (entry.isEmpty() || !entry[0].isDigit())
            continue;
        const QList<QByteArray> f = StatFields(entry);
        if (f.size() > 12 && f[1] == pid.toLatin1())
            ticks += f[11].toDouble() + f[12].toDouble();
    }
    return ticks / tick;
}

// Busy CPU seconds of the whole machine, from /proc/stat.
double MachineBusy() {
    static const double tick = double(sysconf(_SC_CLK_TCK));
    const QList<QByteArray> f =
        ReadAll(QStringLiteral("/proc/stat")).split('\n').value(0).simplified().split(' ');
    if (f.size() < 9)
        return 0;
    // user nice system idle iowait irq softirq steal
    return (f[1].toDouble() + f[2].toDouble() + f[3].toDouble() + f[6].toDouble() +
            f[7].toDouble() + f[8].toDouble()) /
           tick;
}

QString LoadText() {
    return QString::fromLatin1(ReadAll(QStringLiteral("/proc/loadavg")).trimmed());
}

TkxNode* AddShare(TkxProjectDoc& doc, const QString& address) {
    TkxInfo r;
    r.SetAddress(address);
    r.SetName(address.section(u'\\', -1));
    r.SetKind(ikShare);
    return doc.AddInfoNode(std::move(r), nullptr);
}

// The real services, one set for the walks that do not measure start-up.
std::shared_ptr<TkxNetServices> Platform() {
    static const auto services = std::make_shared<TkxPlatformServices>();
    return services;
}

// A document set to walk one share with every name matching.
void PrepareShareWalk(TkxProjectDoc& doc, const QString& share, quint32 threads,
                      std::shared_ptr<TkxNetServices> services = nullptr) {
    doc.SetNetServices(services ? std::move(services) : Platform());
    TkxParams p;
    p.TotalThreads = threads;
    p.Masks = QStringLiteral("*");
    doc.SetParams(p);
    AddShare(doc, share);
}

void RunSearch(TkxProjectDoc& doc) {
    QEventLoop loop;
    QObject::connect(&doc, &TkxProjectDoc::ManagersIdle, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    doc.Continue();
    if (doc.IsBusy())
        loop.exec();
}

struct Walk {
    double Seconds = 0;
    int Entries = 0;
    long RssDeltaKb = 0;
    double ClientCpu = 0; // the searching process (orvane) or smbclient
    double HelperCpu = 0; // orvane's SMB helpers
    double SmbdCpu = -1;  // the server, children included; -1 when unknown
    double OtherCpu = 0;  // everything else on the machine meanwhile
    long Switches = 0;    // context switches of the client and its helpers
    int PeakHelpers = 0;
    int StartedHelpers = 0;
    int AllowedHelpers = 0; // what the pool allowed at the end of the walk
};

// The real services with every folder id hidden: the folder-loop guard then has nothing to
// compare, which shows what the guard costs.
class WithoutIds : public TkxNetServices {
public:
    explicit WithoutIds(std::shared_ptr<TkxNetServices> real) : Real(std::move(real)) {}
    QString ReverseLookup(quint32 a, const TkxCancelToken& c) override {
        return Real->ReverseLookup(a, c);
    }
    TkxNetResult ListShares(const QString& h, std::vector<TkxShareEntry>& out,
                            const TkxCancelToken& c) override {
        return Real->ListShares(h, out, c);
    }
    TkxNetResult ListFolder(const QString& p, std::vector<TkxDirEntry>& out,
                            const TkxCancelToken& c) override {
        const TkxNetResult error = Real->ListFolder(p, out, c);
        for (TkxDirEntry& e : out)
            e.FileId = 0;
        return error;
    }
    quint64 FolderId(const QString&, const TkxCancelToken&) override { return 0; }

private:
    std::shared_ptr<TkxNetServices> Real;
};

// Where the CPU of one walk went: this process, its reaped children, the server, the rest.
class Meter {
public:
    explicit Meter(QString smbdPid) : Smbd(std::move(smbdPid)) {
        Self = UsageOf(RUSAGE_SELF);
        Children = UsageOf(RUSAGE_CHILDREN);
        Server = Smbd.isEmpty() ? 0 : TreeCpu(Smbd);
        Busy = MachineBusy();
        Clock.start();
    }
    void Stop(Walk& w) { w.Seconds = double(Clock.nsecsElapsed()) / 1e9; }
    // After the client's processes are reaped and the server's connections are closed. The
    // client is this process (its children are helpers), or a child of it.
    void Account(Walk& w, bool clientIsChild) {
        const Usage self = UsageOf(RUSAGE_SELF), children = UsageOf(RUSAGE_CHILDREN);
        w.Switches = self.Switches - Self.Switches + children.Switches - Children.Switches;
        const double selfCpu = self.Cpu - Self.Cpu, childCpu = children.Cpu - Children.Cpu;
        w.ClientCpu = clientIsChild ? childCpu : selfCpu;
        w.HelperCpu = clientIsChild ? 0 : childCpu;
        w.SmbdCpu = Smbd.isEmpty() ? -1 : TreeCpu(Smbd) - Server;
        w.OtherCpu = MachineBusy() - Busy - selfCpu - childCpu - std::max(0.0, w.SmbdCpu);
    }

private:
    QString Smbd;
    Usage Self, Children;
    double Server = 0, Busy = 0;
    QElapsedTimer Clock;
};

// The server's connections end a little after the client's side is gone.
void LetServerSettle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

Walk OrvaneWalk(const QString& host, const QString& share, quint32 threads,
                const QString& smbdPid = QString(), bool loopGuard = true) {
    Walk w;
    Meter meter(smbdPid);
    {
        auto services = std::make_shared<TkxPlatformServices>();
        // What the tree takes: the services' own start-up is not counted.
        const long before = RssKb();
        {
            TkxProjectDoc doc;
            PrepareShareWalk(doc, QStringLiteral("\\\\%1\\%2").arg(host, share), threads,
                             loopGuard ? std::shared_ptr<TkxNetServices>(services)
                                       : std::make_shared<WithoutIds>(services));
            RunSearch(doc);
            meter.Stop(w);
            w.Entries = doc.Tree().NodeCount() - 1;
            w.RssDeltaKb = RssKb() - before;
            if (doc.SearchState() != srFinished || doc.FailedTaskCount() > 0)
                std::fprintf(stderr, "search ended with: %s\n", qPrintable(doc.StatusStateText()));
        }
        TkxInfoThread::WaitForAll();
        const TkxSmbPool::Counts counts = services->Pool().HelperCounts();
        w.PeakHelpers = counts.Peak;
        w.StartedHelpers = counts.Started;
        w.AllowedHelpers = counts.Allowed;
    } // the pool goes: its helpers are killed and reaped, so their CPU is counted
    LetServerSettle();
    meter.Account(w, false);
    return w;
}

Walk SmbclientWalk(const QString& host, const QString& share, const QString& smbdPid = QString()) {
    Walk w;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KRB5_CONFIG"), QStringLiteral("/dev/null"));
    p.setProcessEnvironment(env);
    Meter meter(smbdPid);
    p.start(QStringLiteral("smbclient"),
            {QStringLiteral("//%1/%2").arg(host, share), QStringLiteral("-N"), QStringLiteral("-c"),
             QStringLiteral("recurse ON; ls")});
    p.waitForFinished(600000);
    meter.Stop(w);
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const QByteArray s = line.trimmed();
        // Entry lines: "  name   A   123  date"; folder headers start with a backslash.
        if (line.startsWith("  ") && !s.startsWith(". ") && !s.startsWith(".. ") &&
            !s.startsWith("blocks"))
            ++w.Entries;
    }
    LetServerSettle();
    meter.Account(w, true);
    return w;
}

// One orvane-scan run as a user starts it: a project holding the share, --continue, --save.
// Its own CPU is read from the zombie before it is reaped (the helpers it reaped are apart
// there), its threads' from /proc while it runs.
struct WholeWalk {
    double Seconds = 0;
    double Own = 0;     // orvane-scan itself: every thread, start-up and the final write
    double Helpers = 0; // the spawner and the SMB helpers it forked
    // Own split by thread, sampled every 20 ms: resolver, host screens and Qt's in Other
    double Manager = 0, Workers = 0, Other = 0, Main = 0;
    // Context switches: of the process and its helpers, and by thread as last sampled
    long Switches = 0, MainSwitches = 0, ManagerSwitches = 0, WorkerSwitches = 0;
    double SmbdCpu = -1, OtherCpu = 0;
    int Nodes = 0;
    bool Ok = false;
};

long SwitchesOf(const QString& task) {
    long n = 0;
    for (const QByteArray& line : ReadAll(task + QStringLiteral("/status")).split('\n')) {
        if (line.startsWith("voluntary_ctxt_switches:") ||
            line.startsWith("nonvoluntary_ctxt_switches:"))
            n += line.mid(line.indexOf(':') + 1).trimmed().toLong();
    }
    return n;
}

// A thread's CPU seconds. /proc's stat counts whole clock ticks per thread, which rounds a
// worker's few milliseconds to nothing; schedstat has nanoseconds.
double ThreadCpu(const QString& task) {
    const QList<QByteArray> f = ReadAll(task + QStringLiteral("/schedstat")).split(' ');
    if (!f.isEmpty() && !f[0].isEmpty())
        return f[0].toDouble() / 1e9;
    static const double tick = double(sysconf(_SC_CLK_TCK));
    const QList<QByteArray> s = StatFields(task.mid(6)); // "PID/task/TID"
    return s.size() > 12 ? (s[11].toDouble() + s[12].toDouble()) / tick : 0;
}

class ScanRunner {
public:
    ScanRunner(const QString& host, const QString& share, quint32 threads) {
        // ORVANE_BENCH_SCAN names another build's orvane-scan, to compare two builds.
        Scan = qEnvironmentVariableIsSet("ORVANE_BENCH_SCAN")
                   ? qEnvironmentVariable("ORVANE_BENCH_SCAN")
                   : QCoreApplication::applicationDirPath() + QStringLiteral("/orvane-scan");
        Project = Dir.filePath(QStringLiteral("share.kxor"));
        Saved = Dir.filePath(QStringLiteral("saved.kxor"));
        TkxProjectDoc doc;
        PrepareShareWalk(doc, QStringLiteral("\\\\%1\\%2").arg(host, share), threads,
                         std::make_shared<TkxFakeServices>());
        doc.WriteProject(Project);
        // A profiler to run orvane-scan under, e.g. "perf record -g -o FILE --".
        Args = QString::fromLocal8Bit(qgetenv("ORVANE_BENCH_WRAP")).split(u' ', Qt::SkipEmptyParts);
        Args << Scan << QStringLiteral("--open") << Project << QStringLiteral("--continue")
             << QStringLiteral("--threads") << QString::number(threads) << QStringLiteral("--save")
             << Saved << QStringLiteral("--quiet");
    }
    bool Usable() const { return QFile::exists(Scan) && QFile::exists(Project); }

    WholeWalk Run(const QString& smbdPid) {
        WholeWalk w;
        std::vector<QByteArray> bytes;
        std::vector<char*> argv;
        for (const QString& a : Args)
            bytes.push_back(a.toLocal8Bit());
        for (QByteArray& b : bytes)
            argv.push_back(b.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const double server0 = smbdPid.isEmpty() ? 0 : TreeCpu(smbdPid);
        const double busy0 = MachineBusy();
        QElapsedTimer clock;
        clock.start();
        pid_t pid = -1;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            return w;
        const QString proc = QStringLiteral("/proc/%1").arg(pid);
        struct Thread {
            QByteArray Name;
            double Cpu = 0;
            long Switches = 0;
        };
        std::map<QString, Thread> threads;
        static const double tick = double(sysconf(_SC_CLK_TCK));
        siginfo_t info{};
        for (;;) {
            info.si_pid = 0;
            if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                info.si_pid == pid)
                break;
            for (const QString& tid : QDir(proc + QStringLiteral("/task")).entryList(QDir::Dirs)) {
                if (tid.isEmpty() || !tid[0].isDigit())
                    continue;
                const QString task = proc + QStringLiteral("/task/") + tid;
                threads[tid] = {ReadAll(task + QStringLiteral("/comm")).trimmed(), ThreadCpu(task),
                                SwitchesOf(task)};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        w.Seconds = double(clock.nsecsElapsed()) / 1e9;
        const QList<QByteArray> own = StatFields(QString::number(pid)); // the zombie
        if (own.size() > 12)
            w.Own = (own[11].toDouble() + own[12].toDouble()) / tick;
        int status = 0;
        rusage ru{};
        wait4(pid, &status, 0, &ru);
        const double total = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                             double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        w.Helpers = std::max(0.0, total - w.Own);
        for (const auto& [tid, t] : threads) {
            if (tid == QString::number(pid)) {
                w.MainSwitches = t.Switches;
                continue;
            }
            if (t.Name == "TQueueManager") {
                w.Manager += t.Cpu;
                w.ManagerSwitches += t.Switches;
            } else if (t.Name == "orvane-worker") {
                w.Workers += t.Cpu;
                w.WorkerSwitches += t.Switches;
            } else {
                w.Other += t.Cpu;
            }
        }
        w.Switches = ru.ru_nvcsw + ru.ru_nivcsw;
        // What the last sample missed (the final write above all) was the main thread's.
        w.Main = std::max(0.0, w.Own - w.Manager - w.Workers - w.Other);
        w.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        LetServerSettle();
        w.SmbdCpu = smbdPid.isEmpty() ? -1 : TreeCpu(smbdPid) - server0;
        w.OtherCpu = MachineBusy() - busy0 - total - std::max(0.0, w.SmbdCpu);
        if (!w.Ok)
            std::fprintf(stderr, "orvane-scan exited with status %d\n", WEXITSTATUS(status));
        w.Nodes = NodesSaved();
        return w;
    }

private:
    // The nodes of the saved project, the share itself not counted, as the in-process walk
    // counts them.
    int NodesSaved() {
        TkxProjectDoc doc;
        try {
            doc.ReadProject(Saved);
        } catch (const std::exception&) {
            return -1;
        }
        return doc.Tree().NodeCount() - 1;
    }

    QTemporaryDir Dir;
    QString Scan, Project, Saved;
    QStringList Args;
};

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

template <class F> double MedianOf(const std::vector<Walk>& walks, F field) {
    std::vector<double> v;
    for (const Walk& w : walks)
        v.push_back(double(field(w)));
    return Median(v);
}

// Writes the server's delay for the shim.
bool SetLatency(const QByteArray& file, quint32 us) {
    const int fd = open(file.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = pwrite(fd, &us, sizeof us, 0) == ssize_t(sizeof us);
    close(fd);
    return ok;
}

QString SmbdPidOf(const QString& host) {
    const QString dir = qEnvironmentVariable("ORVANE_FIXTURE_DIR");
    if (dir.isEmpty())
        return {};
    const QString pid =
        QString::fromLatin1(ReadAll(QStringLiteral("%1/srv-%2/smbd.pid").arg(dir, host)).trimmed());
    return QFile::exists(QStringLiteral("/proc/%1/stat").arg(pid)) ? pid : QString();
}

void PrintWalks(const char* who, const std::vector<Walk>& walks, bool helpers) {
    std::printf("  %-10s wall %6.3f s  CPU s: client %5.3f", who,
                MedianOf(walks, [](const Walk& w) { return w.Seconds; }),
                MedianOf(walks, [](const Walk& w) { return w.ClientCpu; }));
    if (helpers)
        std::printf(" + helpers %5.3f = %5.3f",
                    MedianOf(walks, [](const Walk& w) { return w.HelperCpu; }),
                    MedianOf(walks, [](const Walk& w) { return w.ClientCpu + w.HelperCpu; }));
    else
        std::printf("                           ");
    const double smbd = MedianOf(walks, [](const Walk& w) { return w.SmbdCpu; });
    if (smbd >= 0)
        std::printf(", smbd %5.3f", smbd);
    std::printf(", others %5.3f;  %6.0f context switches;  %d entries",
                MedianOf(walks, [](const Walk& w) { return w.OtherCpu; }),
                MedianOf(walks, [](const Walk& w) { return w.Switches; }), walks.front().Entries);
    if (helpers) {
        std::printf(";  helpers at most alive/started/allowed at the end, per walk:");
        for (const Walk& w : walks)
            std::printf(" %d/%d/%d", w.PeakHelpers, w.StartedHelpers, w.AllowedHelpers);
    }
    std::printf("\n");
}

void PrintWhole(const std::vector<WholeWalk>& walks) {
    auto median = [&](auto field) {
        std::vector<double> v;
        for (const WholeWalk& w : walks)
            v.push_back(field(w));
        return Median(v);
    };
    std::printf("  %-10s wall %6.3f s  CPU s: client %5.3f + helpers %5.3f = %5.3f", "orvane-scan",
                median([](const WholeWalk& w) { return w.Seconds; }),
                median([](const WholeWalk& w) { return w.Own; }),
                median([](const WholeWalk& w) { return w.Helpers; }),
                median([](const WholeWalk& w) { return w.Own + w.Helpers; }));
    const double smbd = median([](const WholeWalk& w) { return w.SmbdCpu; });
    if (smbd >= 0)
        std::printf(", smbd %5.3f", smbd);
    std::printf(", others %5.3f;  %6.0f context switches;  %d entries\n",
                median([](const WholeWalk& w) { return w.OtherCpu; }),
                median([](const WholeWalk& w) { return double(w.Switches); }), walks.front().Nodes);
    std::printf("  %-10s client split: main thread %5.3f (start-up, document, final write), "
                "manager %5.3f, workers %5.3f, other threads %5.3f\n",
                "", median([](const WholeWalk& w) { return w.Main; }),
                median([](const WholeWalk& w) { return w.Manager; }),
                median([](const WholeWalk& w) { return w.Workers; }),
                median([](const WholeWalk& w) { return w.Other; }));
    std::printf("  %-10s context switches: main thread %.0f, manager %.0f, workers %.0f, the rest "
                "(helpers above all) %.0f\n",
                "", median([](const WholeWalk& w) { return double(w.MainSwitches); }),
                median([](const WholeWalk& w) { return double(w.ManagerSwitches); }),
                median([](const WholeWalk& w) { return double(w.WorkerSwitches); }),
                median([](const WholeWalk& w) {
                    return double(w.Switches - w.MainSwitches - w.ManagerSwitches -
                                  w.WorkerSwitches);
                }));
    int failed = 0;
    for (const WholeWalk& w : walks)
        failed += w.Ok && w.Nodes == walks.front().Nodes ? 0 : 1;
    if (failed)
        std::printf("  %d runs failed or saved another node count\n", failed);
}

// Loopback and late servers, interleaved round by round, each beside smbclient.
void Scenarios(const QString& host, const QString& share, quint32 threads) {
    const QByteArray latencyFile = qgetenv("ORVANE_LATENCY_FILE");
    std::vector<quint32> latencies{0};
    if (!latencyFile.isEmpty()) {
        latencies.clear();
        const QByteArray list = qEnvironmentVariableIsSet("ORVANE_BENCH_LATENCIES")
                                    ? qgetenv("ORVANE_BENCH_LATENCIES")
                                    : QByteArray("0 500 2000");
        for (const QByteArray& us : list.simplified().split(' '))
            latencies.push_back(us.toUInt());
    }
    const int rounds = qEnvironmentVariableIsSet("ORVANE_BENCH_ROUNDS")
                           ? std::max(1, qEnvironmentVariableIntValue("ORVANE_BENCH_ROUNDS"))
                           : 9;
    const QString smbd = SmbdPidOf(host);
    ScanRunner scan(host, share, threads);
    std::printf("walk of //%s/%s, %u threads, %d interleaved rounds; load before: %s\n",
                qPrintable(host), qPrintable(share), threads, rounds, qPrintable(LoadText()));
    if (latencyFile.isEmpty())
        std::printf("late servers: skipped (smbd not started through smbd-latency with "
                    "ORVANE_LATENCY_FILE)\n");
    if (smbd.isEmpty())
        std::printf("smbd CPU: not shown (ORVANE_FIXTURE_DIR names no running fixture)\n");

    // Warm the server's caches the same way for both.
    if (!latencyFile.isEmpty())
        SetLatency(latencyFile, 0);
    SmbclientWalk(host, share);
    std::map<quint32, std::vector<Walk>> client, orvane;
    std::map<quint32, std::vector<WholeWalk>> whole;
    for (int r = 0; r < rounds; ++r) {
        for (quint32 us : latencies) {
            if (!latencyFile.isEmpty() && !SetLatency(latencyFile, us)) {
                std::printf("can not write %s\n", latencyFile.constData());
                return;
            }
            // Alternate who goes first, so neither always meets the other's leftovers.
            if (r % 2 == 0)
                client[us].push_back(SmbclientWalk(host, share, smbd));
            if (scan.Usable())
                whole[us].push_back(scan.Run(smbd));
            if (r % 2 == 1)
                client[us].push_back(SmbclientWalk(host, share, smbd));
            orvane[us].push_back(OrvaneWalk(host, share, threads, smbd));
        }
    }
    if (!latencyFile.isEmpty())
        SetLatency(latencyFile, 0);
    for (quint32 us : latencies) {
        if (us == 0)
            std::printf("loopback (the server answers at once):\n");
        else
            std::printf("the server answers %.1f ms late:\n", us / 1000.0);
        PrintWalks("smbclient", client[us], false);
        const double s = MedianOf(client[us], [](const Walk& w) { return w.Seconds; });
        const double sc = MedianOf(client[us], [](const Walk& w) { return w.ClientCpu; });
        if (!whole[us].empty()) {
            PrintWhole(whole[us]);
            // Each pair is a smbclient run and the orvane-scan run beside it.
            std::vector<double> speed, cpu, helpers, own;
            for (std::size_t i = 0; i < whole[us].size() && i < client[us].size(); ++i) {
                speed.push_back(client[us][i].Seconds / whole[us][i].Seconds);
                cpu.push_back((whole[us][i].Own + whole[us][i].Helpers) / client[us][i].ClientCpu);
                helpers.push_back(whole[us][i].Helpers / client[us][i].ClientCpu);
                own.push_back(whole[us][i].Own / client[us][i].ClientCpu);
            }
            std::printf("  orvane-scan is %.2fx as fast as smbclient (wall, pairs from %.2fx to "
                        "%.2fx); client CPU %.2fx smbclient's (pairs %.2fx to %.2fx)\n",
                        Median(speed), *std::min_element(speed.begin(), speed.end()),
                        *std::max_element(speed.begin(), speed.end()), Median(cpu),
                        *std::min_element(cpu.begin(), cpu.end()),
                        *std::max_element(cpu.begin(), cpu.end()));
            // The helpers send the server the same requests smbclient does (one open, the
            // listing, one close per folder), through the same library: what they cost beside
            // smbclient's whole process is the floor for any client built on libsmbclient.
            std::printf("  of that, the SMB helpers alone %.2fx smbclient's CPU (the floor with "
                        "libsmbclient), orvane-scan's own process %.2fx\n",
                        Median(helpers), Median(own));
        }
        if (us == latencies.front())
            std::printf("  (in-process: the same walk inside this benchmark's process, as the "
                        "window runs it; no process or\n   library start-up, no project read, no "
                        "final write, a heap grown by the walks before: less CPU than a user's\n"
                        "   orvane-scan run, which is the figure to hold against smbclient's)\n");
        PrintWalks("in-process", orvane[us], true);
        const double o = MedianOf(orvane[us], [](const Walk& w) { return w.Seconds; });
        const double oc =
            MedianOf(orvane[us], [](const Walk& w) { return w.ClientCpu + w.HelperCpu; });
        std::printf("  in-process walk %.2fx as fast as smbclient (wall); client CPU %.2fx "
                    "smbclient's\n",
                    s / o, oc / sc);
    }
    std::printf("load after: %s\n", qPrintable(LoadText()));
}

// The engine alone: the same tree shape from scripted services that answer at once.
void EngineOnly(quint32 threads) {
    auto net = std::make_shared<TkxFakeServices>();
    QStringList tops;
    for (int t = 0; t < 10; ++t) {
        const QString top = QStringLiteral("\\\\fake\\bulk\\top%1").arg(t);
        tops << QStringLiteral("top%1\\").arg(t);
        QStringList dirs;
        for (int d = 0; d < 100; ++d) {
            dirs << QStringLiteral("d%1\\").arg(d, 2, 10, QLatin1Char('0'));
            QStringList files;
            for (int f = 0; f < 20; ++f)
                files << QStringLiteral("f%1.txt").arg(f, 2, 10, QLatin1Char('0'));
            net->AddFolder(top + QStringLiteral("\\d%1").arg(d, 2, 10, QLatin1Char('0')), files);
        }
        net->AddFolder(top, dirs);
    }
    net->AddFolder(QStringLiteral("\\\\fake\\bulk"), tops);
    TkxProjectDoc doc;
    PrepareShareWalk(doc, QStringLiteral("\\\\fake\\bulk"), threads, net);
    const Usage before = UsageOf(RUSAGE_SELF);
    QElapsedTimer t;
    t.start();
    RunSearch(doc);
    const double wall = double(t.nsecsElapsed()) / 1e9;
    const Usage after = UsageOf(RUSAGE_SELF);
    std::printf("engine alone (%u threads, instant listings): %d entries in %.3f s = %.0f "
                "entries/s, %.3f CPU s, %ld context switches\n",
                threads, doc.Tree().NodeCount() - 1, wall, (doc.Tree().NodeCount() - 1) / wall,
                after.Cpu - before.Cpu, after.Switches - before.Switches);
}

void SlowServerCpu(quint32 threads) {
    // Every listing takes 2 s: all workers wait, so what the process burns is the manager's
    // and the document thread's overhead.
    auto net = std::make_shared<TkxFakeServices>();
    net->DelayMs = 2000;
    QStringList folders;
    for (quint32 i = 0; i < threads * 2; ++i)
        folders << QStringLiteral("d%1\\").arg(i);
    net->AddFolder(QStringLiteral("\\\\slow\\s"), folders);
    TkxProjectDoc doc;
    PrepareShareWalk(doc, QStringLiteral("\\\\slow\\s"), threads, net);
    const double cpu0 = CpuSeconds();
    QElapsedTimer t;
    t.start();
    RunSearch(doc);
    const double wall = double(t.nsecsElapsed()) / 1e9;
    const double cpu = CpuSeconds() - cpu0;
    std::printf("slow server: %.2f s wall, %.4f CPU s -> %.4f CPU s per wall s (target < 0.05)\n",
                wall, cpu, cpu / wall);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SetCurrentLanguage(1033);
    QStringList args = app.arguments().mid(1);
    if (args.value(0) == u"engine") {
        const quint32 threads = args.size() > 1 ? args[1].toUInt() : 16;
        EngineOnly(threads);
        EngineOnly(1);
        return 0;
    }
    const bool once = args.value(0) == u"once";
    if (once)
        args.removeFirst();
    const QString host = args.value(0, QStringLiteral("127.0.0.2"));
    const QString share = args.value(1, QStringLiteral("bulk"));
    const quint32 threads = args.size() > 2 ? args[2].toUInt() : 16;
    if (once) {
        const Walk w = OrvaneWalk(host, share, threads, SmbdPidOf(host));
        PrintWalks("in-process", {w}, true);
        ScanRunner scan(host, share, threads);
        if (scan.Usable())
            PrintWhole({scan.Run(SmbdPidOf(host))});
        return 0;
    }

    // First, while the heap is fresh: later walks reuse what earlier ones freed.
    const Walk o = OrvaneWalk(host, share, threads);
    Scenarios(host, share, threads);
    std::printf("memory: %.0f bytes per tree node (RSS growth %ld KiB, target < 300)\n",
                o.Entries ? o.RssDeltaKb * 1024.0 / (o.Entries + 1) : 0.0, o.RssDeltaKb);
    EngineOnly(threads);
    // The guard's cost is small beside the run-to-run noise: interleave and take medians.
    std::vector<double> with, without;
    for (int i = 0; i < 7; ++i) {
        without.push_back(OrvaneWalk(host, share, threads, QString(), false).Seconds);
        with.push_back(OrvaneWalk(host, share, threads).Seconds);
    }
    std::printf("folder-loop guard, medians of 7 interleaved walks: %.3f s with, %.3f s without "
                "(ids hidden): %+.1f%% (target: at most +3%%)\n",
                Median(with), Median(without), 100.0 * (Median(with) / Median(without) - 1));
    SlowServerCpu(threads);
    TkxInfoThread::WaitForAll();
    return 0;
}
