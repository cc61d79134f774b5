// How long dead hosts hold the search: share listings of addresses where nothing listens
// (refused at once) and, when run through `scripts/smb-fixture with-dropping`, of addresses that
// swallow every packet; whole searches of ranges of dead addresses behind a resolver that
// never answers, when run through `scripts/smb-fixture with-names` with SILENT_RESOLVER set;
// and whole searches (depth 1) of ranges behind a firewall that drops every packet, when run
// through `scripts/smb-fixture with-firewall -`, with the most descriptors open at once and the
// peak memory of the process.
// Prints wall times; targets: 256 refused < 2 s, 16 dropping < 3 s, 32 dead addresses behind
// the silent resolver < 3 s and 1,024 < 15 s, firewalled 256 < 3 s, 4,096 < 10 s and
// 65,536 < 90 s, with 16 threads as the search's default.
//
// In a network namespace of your own (no Samba server is needed):
//
//   unshare -n bash -c 'ip link set lo up &&
//     SILENT_RESOLVER=127.0.6.53 scripts/smb-fixture with-names build/bin/bench_dead_hosts'
//   unshare -n bash -c 'ip link set lo up &&
//     scripts/smb-fixture with-dropping build/bin/bench_dead_hosts'
//   scripts/smb-fixture with-names scripts/smb-fixture with-firewall - build/bin/bench_dead_hosts
//
// The bench keeps the UDP socket at SILENT_RESOLVER:53 itself, and reads nothing from it.
// ORVANE_DEAD_COUNTS (default "32 1024") sets the sizes of the ranges behind the silent
// resolver, ORVANE_FIREWALLED_COUNTS (default "256 4096 65536") those behind the firewall.

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

// Whole searches of ranges of addresses where nothing listens, as orvane-scan runs them: each
// host's name is looked up (the resolver never answers), then its shares (refused at once).
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
    const QByteArray counts = qEnvironmentVariableIsSet("ORVANE_DEAD_COUNTS")
                                  ? qgetenv("ORVANE_DEAD_COUNTS")
                                  : QByteArray("32 1024");
    for (const QByteArray& word : counts.simplified().split(' ')) {
        const int count = word.toInt();
        if (count <= 0 || count > 65536)
            continue;
        // 127.0.16.0 and on: nothing listens there, and the resolver is elsewhere.
        const quint32 first = (127u << 24) | (16u << 8);
        TkxProjectDoc doc;
        doc.SetNetServices(std::make_shared<TkxPlatformServices>());
        TkxParams p;
        p.TotalThreads = quint32(threads);
        p.Masks = QStringLiteral("*");
        doc.SetParams(p);
        TkxNode* range =
            doc.AddRange(QStringLiteral("dead"), Dotted(first) + QStringLiteral(" - ") +
                                                     Dotted(first + quint32(count) - 1));
        QElapsedTimer t;
        t.start();
        QEventLoop loop;
        QObject::connect(&doc, &TkxProjectDoc::ManagersIdle, &loop, &QEventLoop::quit,
                         Qt::QueuedConnection);
        doc.Run();
        if (doc.IsBusy())
            loop.exec();
        const double wall = double(t.nsecsElapsed()) / 1e9;
        int named = 0;
        for (const auto& host : range->Children)
            named += host->Info.NameText() != host->Info.AddressText().mid(2);
        const double target = count <= 32 ? 3 : 15;
        std::printf("silent resolver, whole search %5d hosts  wall %6.3f s  hosts %zu, named %d  "
                    "(target < %.0f s: %s)\n",
                    count, wall, range->Children.size(), named, target,
                    wall < target ? "met" : "MISSED");
    }
    TkxInfoThread::WaitForAll();
    close(listener);
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
