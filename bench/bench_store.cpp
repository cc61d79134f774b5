// Result store benchmark: a search of the fixture's bulk share through orvane-scan without a
// store, with --store sqlite: and with --store postgresql:// (interleaved rounds, medians), then
// 8 writers of 100,000 nodes each into one PostgreSQL at once against one writer alone (the
// writer's own statements and batches).
//
//   bench_store [HOST]        (default 127.0.0.4, the fixture's bulk share and a few more)
//
// Start the Samba fixture and the PostgreSQL fixture (with fsync on: ORVANE_PG_FSYNC=on) in a
// network namespace of your own:
//
//   unshare -n bash -c 'ip link set lo up && scripts/smb-fixture start /tmp/bf &&
//     ORVANE_PG_FSYNC=on scripts/pg-fixture start /tmp/bp && eval "$(scripts/pg-fixture env
//     /tmp/bp | sed "s/^/export /")" && HOME=$PWD/build/test-home KRB5_CONFIG=/dev/null
//     build/bin/bench_store; scripts/pg-fixture stop /tmp/bp; scripts/smb-fixture stop /tmp/bf'
//
// ORVANE_PG_URL and PGPASSWORD name the server (pg-fixture env prints them); without them only
// SQLite is measured. ORVANE_PG_PID (the postmaster's PID, pg-fixture env prints it too) adds the
// server's CPU seconds. ORVANE_BENCH_ROUNDS (default 3) sets the rounds of the search.
// ORVANE_BENCH_BASELINE=PATH names another orvane-scan (an older build) whose store runs are
// interleaved with this build's, so both are measured under the same load.
//
// On a machine of few cores smbd takes more CPU than the walk itself, and whatever the store
// takes is then wall time the walk loses. To see the walk as it goes against a server that is
// another machine, give the servers cores of their own: start the fixtures under `taskset -c 1`
// and run bench_store under `taskset -c 0` (PostgreSQL on either side, as the servers' core
// and the client's are loaded differently).

#include "model/kxErrors.h"
#include "store/kxStoreRows.h"
#include "store/kxStoreSchema.h"
#include "store/kxStoreSql.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

QString LoadText() {
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(u' ', 0, 2)
                                       : QString();
}

double Seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// CPU seconds of the processes this one has waited for (orvane-scan with the SMB helpers it
// ran).
double ChildrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// CPU seconds of a process, of its children it has waited for, and of its living children (a
// server's backends): the difference over a search is what the server spent on it.
double ProcessTreeCpu(qint64 pid) {
    const auto ticks = [](const QString& stat, bool reaped) {
        QFile f(stat);
        if (!f.open(QIODevice::ReadOnly))
            return 0.0;
        // The fields after the command, which may hold spaces: utime is the 12th of them.
        const QByteArray text = f.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 15)
            return 0.0;
        double t = fields[11].toDouble() + fields[12].toDouble();
        if (reaped)
            t += fields[13].toDouble() + fields[14].toDouble();
        return t / double(sysconf(_SC_CLK_TCK));
    };
    double total = ticks(QStringLiteral("/proc/%1/stat").arg(pid), true);
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (children.open(QIODevice::ReadOnly)) {
        for (const QByteArray& child : children.readAll().split(' ')) {
            if (!child.trimmed().isEmpty())
                total +=
                    ticks(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(child)), false);
        }
    }
    return total;
}

struct TSearch {
    double Wall = -1, Cpu = 0, ServerCpu = 0;
};

// One orvane-scan search: wall and CPU seconds; Wall is negative when it failed.
TSearch Search(const QString& program, const QString& host, const QStringList& extra, int round,
               qint64 server) {
    TSearch out;
    const double cpu = ChildrenCpu();
    const double serverCpu = server > 0 ? ProcessTreeCpu(server) : 0;
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer t;
    t.start();
    p.start(program,
            QStringList{"--range", host, "--masks", "*", "--run", "--quiet"} + extra +
                (extra.isEmpty() ? QStringList()
                                 : QStringList{"--scan", QStringLiteral("bench %1").arg(round)}));
    p.waitForFinished(600000);
    const double s = double(t.nsecsElapsed()) / 1e9;
    const int code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    out.Cpu = ChildrenCpu() - cpu;
    out.ServerCpu = server > 0 ? ProcessTreeCpu(server) - serverCpu : 0;
    if (code == 0 || code == 3)
        out.Wall = s;
    return out;
}

// One writer: a run of `nodes` nodes in the writer's batches (new rows through COPY); seconds.
double WriteRun(const TkxStoreUrl& url, const QString& scan, int nodes) {
    const std::unique_ptr<TkxSqlSession> s = OpenSqlSession(url);
    PrepareStoreSchema(*s);
    s->Query(QStringLiteral("INSERT INTO scans (name) VALUES (?) ON CONFLICT (name) DO NOTHING"),
             {TkxSqlValue::OfText(scan)});
    qint64 run = 0;
    s->Query(QStringLiteral("INSERT INTO runs (scan, shard, shards, host, threads, depth, "
                            "lifetime, masks, targets, started, state) SELECT id, 1, 1, 'bench', "
                            "16, 0, 0, '*', '', '2026-01-01 00:00:00', 'running' FROM scans "
                            "WHERE name = ? RETURNING id"),
             {TkxSqlValue::OfText(scan)}, [&](const TkxSqlRow& row) { run = row.Int(0); });
    QElapsedTimer t;
    t.start();
    constexpr int Batch = 4096;
    for (int from = 0; from < nodes; from += Batch) {
        TkxNodeCopy rows(run);
        for (int i = from; i < std::min(nodes, from + Batch); ++i) {
            TkxInfo info;
            info.SetKind(i % 20 == 0 ? ikFolder : ikFile);
            info.SetName(QStringLiteral("file-%1.txt").arg(i));
            info.SetAddress(
                QStringLiteral("\\\\127.0.0.4\\bulk\\d%1\\file-%2.txt").arg(i / 20).arg(i));
            info.SetSize(double(i * 37));
            info.SetEditTime(45000.25 + i / 1000.0);
            info.SetScanned(1);
            rows.Add(quint32(i + 1), i < 20 ? 0 : quint32(i / 20 + 1), info, {}, {});
        }
        s->BeginWrite();
        s->Exec(QStringLiteral("SET LOCAL synchronous_commit = off")); // as the writer's batches
        rows.Write(*s);
        s->Exec(QStringLiteral("COMMIT"));
    }
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString host = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("127.0.0.4");
    const int rounds = qEnvironmentVariableIntValue("ORVANE_BENCH_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("ORVANE_BENCH_ROUNDS")
                           : 3;
    const QString pg = qEnvironmentVariable("ORVANE_PG_URL");
    QTemporaryDir dir;
    struct TKind {
        QString Name, Program;
        QStringList Extra;
    };
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/orvane-scan");
    const QString baseline = qEnvironmentVariable("ORVANE_BENCH_BASELINE");
    std::vector<TKind> kinds{{QStringLiteral("no store"), program, {}}};
    const auto stores = [&](const QString& name, const QString& exe) {
        kinds.push_back(
            {QStringLiteral("sqlite") + name,
             exe,
             // A file of its own: a baseline must not write into the other build's file.
             {"--store", QStringLiteral("sqlite:") +
                             dir.filePath(name.isEmpty() ? QStringLiteral("bench.db")
                                                         : QStringLiteral("baseline.db"))}});
        if (!pg.isEmpty())
            kinds.push_back({QStringLiteral("postgresql") + name, exe, {"--store", pg}});
    };
    stores({}, program);
    if (!baseline.isEmpty())
        stores(QStringLiteral(" (baseline)"), baseline);
    const qint64 server = qEnvironmentVariable("ORVANE_PG_PID").toLongLong();
    std::vector<std::vector<double>> times(kinds.size()), cpus(kinds.size()),
        serverCpus(kinds.size());
    std::printf("search of %s, %d rounds, load before %s\n", qPrintable(host), rounds,
                qPrintable(LoadText()));
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < kinds.size(); ++k) {
            const TSearch s = Search(kinds[k].Program, host, kinds[k].Extra, r, server);
            if (s.Wall < 0) {
                std::printf("  %s: the search failed\n", qPrintable(kinds[k].Name));
                return 1;
            }
            times[k].push_back(s.Wall);
            cpus[k].push_back(s.Cpu);
            serverCpus[k].push_back(s.ServerCpu);
        }
    }
    const double base = Median(times[0]), baseCpu = Median(cpus[0]);
    for (size_t k = 0; k < kinds.size(); ++k) {
        std::printf("  %-23s median %.2f s wall (%+.1f%%), orvane-scan %.2f CPU s (%+.1f%%)",
                    qPrintable(kinds[k].Name), Median(times[k]),
                    100.0 * (Median(times[k]) / base - 1), Median(cpus[k]),
                    100.0 * (Median(cpus[k]) / baseCpu - 1));
        if (server > 0)
            std::printf(", PostgreSQL server %.2f CPU s", Median(serverCpus[k]));
        std::printf("\n");
    }
    std::printf("  load after %s\n", qPrintable(LoadText()));
    if (pg.isEmpty()) {
        std::printf("no ORVANE_PG_URL: PostgreSQL writers not measured\n");
        return 0;
    }

    constexpr int Nodes = 100000, Writers = 8;
    try {
        const TkxStoreUrl url = *TkxStoreUrl::Parse(pg, nullptr);
        const double alone = WriteRun(url, QStringLiteral("bench alone"), Nodes);
        std::printf("1 writer of %d nodes: %.2f s, %.0f rows/s\n", Nodes, alone, Nodes / alone);
        std::vector<double> each(Writers);
        std::vector<QString> errors(Writers);
        QElapsedTimer wall;
        wall.start();
        std::vector<std::thread> threads;
        for (int w = 0; w < Writers; ++w)
            threads.emplace_back([&, w] {
                try {
                    each[size_t(w)] = WriteRun(url, QStringLiteral("bench %1").arg(w), Nodes);
                } catch (const std::exception& e) {
                    errors[size_t(w)] = ErrorMessage(e);
                }
            });
        for (std::thread& t : threads)
            t.join();
        const double total = double(wall.nsecsElapsed()) / 1e9;
        for (const QString& e : errors) {
            if (!e.isEmpty()) {
                std::printf("a writer failed: %s\n", qPrintable(e));
                return 1;
            }
        }
        const double slowest = *std::max_element(each.begin(), each.end());
        std::printf("%d writers of %d nodes at once: %.2f s, %.0f rows/s in all; slowest writer "
                    "%.2f s, %.1fx its time alone; load after %s\n",
                    Writers, Nodes, total, Writers * Nodes / total, slowest, slowest / alone,
                    qPrintable(LoadText()));
    } catch (const std::exception& e) {
        std::printf("PostgreSQL: %s\n", qPrintable(ErrorMessage(e)));
        return 1;
    }
    return 0;
}
