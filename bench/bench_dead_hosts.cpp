// How long dead hosts hold the search: share listings of addresses where nothing listens
// (refused at once) and, when run through `scripts/smb-fixture with-dropping`, of addresses that
// swallow every packet. Prints wall times; targets: 256 refused < 2 s, 16 dropping < 3 s, with
// 16 threads as the search's default.

#include "platform/kxPlatformServices.h"

#include <QString>

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

} // namespace

int main() {
    constexpr int Threads = 16;

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
