// How long dead hosts hold the search: share listings of addresses where nothing listens
// (refused at once) and, when run through `scripts/smb-fixture with-dropping`, of addresses that
// swallow every packet; and whole searches of ranges of dead addresses behind a resolver that
// never answers, when run through `scripts/smb-fixture with-names` with SILENT_RESOLVER set.
// Prints wall times; targets: 256 refused < 2 s, 16 dropping < 3 s, 32 dead addresses behind
// the silent resolver < 3 s and 1,024 < 15 s, with 16 threads as the search's default.
//
// In a network namespace of your own (no Samba server is needed):
//
//   unshare -n bash -c 'ip link set lo up &&
//     SILENT_RESOLVER=127.0.6.53 scripts/smb-fixture with-names build/bin/bench_dead_hosts'
//   unshare -n bash -c 'ip link set lo up &&
//     scripts/smb-fixture with-dropping build/bin/bench_dead_hosts'
//
// The bench keeps the UDP socket at SILENT_RESOLVER:53 itself, and reads nothing from it.
// ORVANE_DEAD_COUNTS (default "32 1024") sets the sizes of the ranges.

#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "lang/kxLanguages.h"
#include "platform/kxPlatformServices.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>

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
        auto dotted = [](quint32 v) {
            return QStringLiteral("%1.%2.%3.%4")
                .arg(v >> 24)
                .arg((v >> 16) & 0xFF)
                .arg((v >> 8) & 0xFF)
                .arg(v & 0xFF);
        };
        TkxProjectDoc doc;
        doc.SetNetServices(std::make_shared<TkxPlatformServices>());
        TkxParams p;
        p.TotalThreads = quint32(threads);
        p.Masks = QStringLiteral("*");
        doc.SetParams(p);
        TkxNode* range =
            doc.AddRange(QStringLiteral("dead"), dotted(first) + QStringLiteral(" - ") +
                                                     dotted(first + quint32(count) - 1));
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SetCurrentLanguage(1033);
    constexpr int Threads = 16;
    SilentResolver(Threads);

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
