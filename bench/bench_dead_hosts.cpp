// How long dead hosts hold the search: share listings of addresses where nothing listens
// (refused at once) and, when run through `scripts/smb-fixture with-dropping`, of addresses that
// swallow every packet; whole searches of ranges of dead addresses behind a resolver that
// never answers, when run through `scripts/smb-fixture with-names` with SILENT_RESOLVER set;
// whole searches of ranges where nothing listens at depth 1, behind the resolver of
// `with-names` that refuses every question (ORVANE_IN_NAMES=1 says the bench runs there), these
// and the silent resolver's each with NetBIOS names asked for and without; and whole searches
// (depth 1) of ranges behind a firewall that drops every packet, when run through
// `scripts/smb-fixture with-firewall -`, with the most descriptors open at once and the peak
// memory of the process.
// Prints wall times; targets: 256 refused < 2 s (listings and a whole search), 16 dropping
// < 3 s, 32 dead addresses behind the silent resolver < 3 s and 1,024 < 15 s, firewalled 256
// < 3 s, 4,096 < 10 s and 65,536 < 90 s, with 16 threads as the search's default; 65,536
// refused addresses have no target and show what a large range costs.
//
// In a network namespace of your own (no Samba server is needed):
//
//   unshare -n bash -c 'ip link set lo up &&
//     SILENT_RESOLVER=127.0.6.53 scripts/smb-fixture with-names build/bin/bench_dead_hosts'
//   unshare -n bash -c 'ip link set lo up &&
//     scripts/smb-fixture with-names env ORVANE_IN_NAMES=1 build/bin/bench_dead_hosts'
//   unshare -n bash -c 'ip link set lo up &&
//     scripts/smb-fixture with-dropping build/bin/bench_dead_hosts'
//   scripts/smb-fixture with-names scripts/smb-fixture with-firewall - build/bin/bench_dead_hosts
//
// The bench keeps the UDP socket at SILENT_RESOLVER:53 itself, and reads nothing from it.
// ORVANE_DEAD_COUNTS (default "32 1024") sets the sizes of the ranges behind the silent
// resolver, ORVANE_REFUSED_COUNTS (default "256 65536") those behind the refusing one,
// ORVANE_FIREWALLED_COUNTS (default "256 4096 65536") those behind the firewall.

#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "lang/kxLanguages.h"
#include "platform/kxPlatformServices.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double WallSeconds = 0;
    double SlowestSeconds = 0;
    int Listed = 0;
};

Figures ListAll(TkxPlatformServices& services, const std::vector<QString>& hosts, int threads) {
    std::atomic<std::size_t> next{0};
    std::atomic<int> listed{0};
    std::vector<double> slowest(std::size_t(threads), 0.0);
    const auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            TkxCancelToken cancel;
            for (std::size_t i = next++; i < hosts.size(); i = next++) {
                const auto begin = Clock::now();
                std::vector<TkxShareEntry> shares;
                if (services.ListShares(hosts[i], shares, cancel))
                    ++listed;
                const double took = std::chrono::duration<double>(Clock::now() - begin).count();
                slowest[std::size_t(t)] = std::max(slowest[std::size_t(t)], took);
            }
        });
    }
    for (auto& t : pool)
        t.join();
    Figures f;
    f.WallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (double s : slowest)
        f.SlowestSeconds = std::max(f.SlowestSeconds, s);
    f.Listed = listed;
    return f;
}

void Print(const char* what, std::size_t count, const Figures& f, double target) {
    std::printf(
        "%-34s %4zu hosts  wall %6.3f s  slowest call %6.3f s  listed %d  (target < %.0f s: "
        "%s)\n",
        what, count, f.WallSeconds, f.SlowestSeconds, f.Listed, target,
        f.WallSeconds < target ? "met" : "MISSED");
}

int OpenDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

// The process's peak resident memory in MiB since the last ResetPeakMemory.
double PeakMemoryMiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toDouble() / 1024;
    }
    return 0;
}

void ResetPeakMemory() {
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

QString Dotted(quint32 v) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(v >> 24)
        .arg((v >> 16) & 0xFF)
        .arg((v >> 8) & 0xFF)
        .arg(v & 0xFF);
}

struct Search {
    double WallSeconds = 0;
    std::size_t Hosts = 0;
    int Named = 0;
};

// One whole search of count addresses from first, as orvane-scan runs it: each host's name is
// looked up, then its shares.
Search WholeSearch(quint32 first, int count, quint32 depth, int threads, bool netbios) {
    TkxProjectDoc doc;
    auto services = std::make_shared<TkxPlatformServices>();
    services->SetNetOptions({.Netbios = netbios});
    doc.SetNetServices(services);
    TkxParams p;
    p.TotalThreads = quint32(threads);
    p.Depth = depth;
    p.Masks = QStringLiteral("*");
    doc.SetParams(p);
    TkxNode* range = doc.AddRange(QStringLiteral("dead"), Dotted(first) + QStringLiteral(" - ") +
                                                              Dotted(first + quint32(count) - 1));
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QObject::connect(&doc, &TkxProjectDoc::ManagersIdle, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    doc.Run();
    if (doc.IsBusy())
        loop.exec();
    Search s;
    s.WallSeconds = double(t.nsecsElapsed()) / 1e9;
    s.Hosts = range->Children.size();
    for (const auto& host : range->Children)
        s.Named += host->Info.NameText() != host->Info.AddressText().mid(2);
    TkxInfoThread::WaitForAll();
    return s;
}

// The same range searched with NetBIOS names and without; target 0: none.
void CompareNetbios(const char* what, quint32 first, int count, quint32 depth, int threads,
                    double target) {
    const Search on = WholeSearch(first, count, depth, threads, true);
    const Search off = WholeSearch(first, count, depth, threads, false);
    std::printf("%-34s %5d hosts  NetBIOS on %7.3f s  off %7.3f s  hosts %zu/%zu, named %d/%d",
                what, count, on.WallSeconds, off.WallSeconds, on.Hosts, off.Hosts, on.Named,
                off.Named);
    if (target > 0)
        std::printf("  (target < %.0f s: %s)", target,
                    std::max(on.WallSeconds, off.WallSeconds) < target ? "met" : "MISSED");
    std::printf("\n");
    std::fflush(stdout);
}

std::vector<int> Counts(const char* variable, const char* defaults) {
    const QByteArray text =
        qEnvironmentVariableIsSet(variable) ? qgetenv(variable) : QByteArray(defaults);
    std::vector<int> counts;
    for (const QByteArray& word : text.simplified().split(' ')) {
        const int count = word.toInt();
        if (count > 0 && count <= 65536)
            counts.push_back(count);
    }
    return counts;
}

// Ranges of dead addresses behind a resolver that never answers.
void SilentResolver(int threads) {
    const QByteArray resolver = qgetenv("SILENT_RESOLVER");
    if (resolver.isEmpty()) {
        std::printf(
            "silent resolver: skipped (run under SILENT_RESOLVER=ADDRESS scripts/smb-fixture "
            "with-names)\n");
        return;
    }
    // Questions to it queue up unread: no answer, and no refusal either.
    const int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    if (listener < 0 || inet_pton(AF_INET, resolver.constData(), &at.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        std::printf("silent resolver: can not listen on %s:53\n", resolver.constData());
        return;
    }
    // 127.0.16.0 and on: nothing listens there, and the resolver is elsewhere.
    const quint32 first = (127u << 24) | (16u << 8);
    for (const int count : Counts("ORVANE_DEAD_COUNTS", "32 1024"))
        CompareNetbios("silent resolver, whole search", first, count, 0, threads,
                       count <= 32 ? 3 : 15);
    close(listener);
}

// Ranges where nothing listens, behind a resolver that refuses every question.
void RefusingResolver(int threads) {
    if (!qEnvironmentVariableIsSet("ORVANE_IN_NAMES") ||
        qEnvironmentVariableIsSet("SILENT_RESOLVER")) {
        std::printf("refused whole searches: skipped (run under scripts/smb-fixture with-names "
                    "env ORVANE_IN_NAMES=1)\n");
        return;
    }
    // 127.1.0.0 and on: a /16 of its own.
    const quint32 first = (127u << 24) | (1u << 16);
    // The first search of a process also starts its threads and the helpers' spawner.
    WholeSearch(first, 16, 1, threads, true);
    for (const int count : Counts("ORVANE_REFUSED_COUNTS", "256 65536"))
        CompareNetbios("refused, whole search at depth 1", first, count, 1, threads,
                       count <= 256 ? 2 : 0);
}

// Whole searches at depth 1 of ranges whose every packet the firewall drops: each address
// becomes an empty host after its screen gives up.
void Firewalled(int threads) {
    const QByteArray net = qgetenv("ORVANE_FIREWALLED");
    quint32 first = 0;
    if (net.isEmpty() || inet_pton(AF_INET, net.split('/').front().constData(), &first) != 1) {
        std::printf("firewalled: skipped (run under scripts/smb-fixture with-firewall -)\n");
        return;
    }
    first = ntohl(first);
    const QByteArray counts = qEnvironmentVariableIsSet("ORVANE_FIREWALLED_COUNTS")
                                  ? qgetenv("ORVANE_FIREWALLED_COUNTS")
                                  : QByteArray("256 4096 65536");
    for (const QByteArray& word : counts.simplified().split(' ')) {
        const int count = word.toInt();
        if (count <= 0 || count > 65536)
            continue;
        auto services = std::make_shared<TkxPlatformServices>();
        TkxProjectDoc doc;
        doc.SetNetServices(services);
        TkxParams p;
        p.TotalThreads = quint32(threads);
        p.Depth = 1;
        p.Masks = QStringLiteral("*");
        doc.SetParams(p);
        TkxNode* range =
            doc.AddRange(QStringLiteral("firewalled"), Dotted(first) + QStringLiteral(" - ") +
                                                           Dotted(first + quint32(count) - 1));
        const int descriptorsBefore = OpenDescriptors();
        int descriptorsPeak = descriptorsBefore;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout,
                         [&] { descriptorsPeak = std::max(descriptorsPeak, OpenDescriptors()); });
        sampler.start(20);
        ResetPeakMemory();
        QElapsedTimer t;
        t.start();
        QEventLoop loop;
        QObject::connect(&doc, &TkxProjectDoc::ManagersIdle, &loop, &QEventLoop::quit,
                         Qt::QueuedConnection);
        doc.Run();
        if (doc.IsBusy())
            loop.exec();
        const double wall = double(t.nsecsElapsed()) / 1e9;
        sampler.stop();
        int empty = 0;
        for (const auto& host : range->Children)
            empty += host->Info.Scanned && host->Children.empty();
        const auto f = services->Screen().Figures();
        const double target = count <= 256 ? 3 : count <= 4096 ? 10 : 90;
        std::printf("firewalled, whole search %6d hosts  wall %7.3f s  empty hosts %d, failed %d  "
                    "descriptors %d (+%d, sockets %zu of %zu)  peak memory %.0f MiB  second "
                    "tries %zu  (target < %.0f s: %s)\n",
                    count, wall, empty, doc.FailedTaskCount(), descriptorsPeak,
                    descriptorsPeak - descriptorsBefore, f.PeakSockets, f.SocketCap,
                    PeakMemoryMiB(), f.Retried, target, wall < target ? "met" : "MISSED");
    }
    TkxInfoThread::WaitForAll();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SetCurrentLanguage(1033);
    constexpr int Threads = 16;
    SilentResolver(Threads);
    RefusingResolver(Threads);
    Firewalled(Threads);

    std::vector<QString> refused;
    for (int i = 0; i < 256; ++i)
        refused.push_back(QStringLiteral("127.0.1.%1").arg(i));
    {
        TkxPlatformServices services;
        Print("refused, first visit", refused.size(), ListAll(services, refused, Threads), 2);
        Print("refused, remembered", refused.size(), ListAll(services, refused, Threads), 2);
    }

    const char* dropping = std::getenv("ORVANE_DROPPING_HOSTS");
    if (!dropping || !*dropping) {
        std::printf("dropping hosts: skipped (run under scripts/smb-fixture with-dropping)\n");
        return 0;
    }
    std::vector<QString> dropped;
    std::istringstream words(dropping);
    for (std::string w; words >> w;)
        dropped.push_back(QString::fromStdString(w));
    TkxPlatformServices services;
    Print("dropping, first visit", dropped.size(), ListAll(services, dropped, Threads), 3);
    Print("dropping, remembered", dropped.size(), ListAll(services, dropped, Threads), 3);
    return 0;
}
