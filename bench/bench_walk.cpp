// Walk benchmark: a full search of one share on a loopback Samba server against
// `smbclient -c 'recurse ON; ls'` on the same share in the same run; then the CPU the manager
// and the document's thread spend while every worker waits on a slow server; and the memory
// the tree takes per node.
//
//   bench_walk [HOST [SHARE [THREADS]]]     (defaults 127.0.0.2 bulk 16)

#include "../tests/kxFakeServices.h"
#include "app/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "lang/kxLanguages.h"
#include "platform/kxPlatformServices.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

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

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TkxNode* AddShare(TkxProjectDoc& doc, const QString& address) {
    TkxInfo r;
    r.SetAddress(address);
    r.SetName(address.section(u'\\', -1));
    r.SetKind(ikShare);
    return doc.AddInfoNode(std::move(r), nullptr);
}

// The real services, one set for every walk of the run (as a program keeps them).
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

Walk OrvaneWalk(const QString& host, const QString& share, quint32 threads, bool loopGuard = true) {
    Walk w;
    const long before = RssKb();
    TkxProjectDoc doc;
    PrepareShareWalk(doc, QStringLiteral("\\\\%1\\%2").arg(host, share), threads,
                     loopGuard ? nullptr : std::make_shared<WithoutIds>(Platform()));
    QElapsedTimer t;
    t.start();
    RunSearch(doc);
    w.Seconds = double(t.nsecsElapsed()) / 1e9;
    w.Entries = doc.Tree().NodeCount() - 1;
    w.RssDeltaKb = RssKb() - before;
    if (doc.SearchState() != srFinished)
        std::fprintf(stderr, "search ended with: %s\n", qPrintable(doc.StatusStateText()));
    return w;
}

Walk SmbclientWalk(const QString& host, const QString& share) {
    Walk w;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KRB5_CONFIG"), QStringLiteral("/dev/null"));
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral("smbclient"),
            {QStringLiteral("//%1/%2").arg(host, share), QStringLiteral("-N"), QStringLiteral("-c"),
             QStringLiteral("recurse ON; ls")});
    p.waitForFinished(600000);
    w.Seconds = double(t.nsecsElapsed()) / 1e9;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const QByteArray s = line.trimmed();
        // Entry lines: "  name   A   123  date"; folder headers start with a backslash.
        if (line.startsWith("  ") && !s.startsWith(". ") && !s.startsWith(".. ") &&
            !s.startsWith("blocks"))
            ++w.Entries;
    }
    return w;
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
    QElapsedTimer t;
    t.start();
    RunSearch(doc);
    const double wall = double(t.nsecsElapsed()) / 1e9;
    std::printf(
        "engine alone (%u threads, instant listings): %d entries in %.3f s = %.0f entries/s\n",
        threads, doc.Tree().NodeCount() - 1, wall, (doc.Tree().NodeCount() - 1) / wall);
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
    const QString host = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("127.0.0.2");
    const QString share = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("bulk");
    const quint32 threads = argc > 3 ? quint32(atoi(argv[3])) : 16;

    if (host == u"engine") {
        EngineOnly(threads);
        EngineOnly(1);
        return 0;
    }
    // Warm the server's caches the same way for both.
    SmbclientWalk(host, share);
    const Walk s = SmbclientWalk(host, share);
    const Walk o = OrvaneWalk(host, share, threads);
    // The guard's cost is small beside the run-to-run noise: interleave and take medians.
    std::vector<double> with, without;
    for (int i = 0; i < 7; ++i) {
        without.push_back(OrvaneWalk(host, share, threads, false).Seconds);
        with.push_back(OrvaneWalk(host, share, threads).Seconds);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("smbclient: %d entries in %.3f s = %.0f entries/s\n", s.Entries, s.Seconds,
                s.Entries / s.Seconds);
    std::printf("orvane (%u threads): %d entries in %.3f s = %.0f entries/s\n", threads, o.Entries,
                o.Seconds, o.Entries / o.Seconds);
    std::printf("ratio orvane/smbclient entries/s: %.2f (target >= 1.5)\n",
                (o.Entries / o.Seconds) / (s.Entries / s.Seconds));
    std::printf("memory: %.0f bytes per tree node (RSS growth %ld KiB, target < 300)\n",
                o.Entries ? o.RssDeltaKb * 1024.0 / (o.Entries + 1) : 0.0, o.RssDeltaKb);
    EngineOnly(threads);
    std::printf("folder-loop guard, medians of 7 interleaved walks: %.3f s with, %.3f s without "
                "(ids hidden): %+.1f%% (target: at most +3%%)\n",
                median(with), median(without), 100.0 * (median(with) / median(without) - 1));
    SlowServerCpu(threads);
    TkxInfoThread::WaitForAll();
    return 0;
}
