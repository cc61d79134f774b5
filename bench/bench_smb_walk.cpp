// Walks the fixture's bulk share (21,010 entries in 1,010 folders on 127.0.0.2) through the
// platform services, one folder per request as the search does, with 16 worker threads and
// several helper pool sizes, beside `smbclient -c 'recurse ON; ls'` on the same share. Needs
// `scripts/smb-fixture start DIR` first. Prints wall times and where the CPU went.
//
//   bench_smb_walk [HELPERS...]     (default: the first-request latency, then 1 2 3 4 8 0;
//                                    0 is the pool that follows the work)

#include "platform/kxPlatformServices.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

struct Walk {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::deque<QString> Pending;
    int Busy = 0;
    std::size_t Entries = 0;
    int Failures = 0;
};

void Worker(TkxPlatformServices& services, Walk& walk) {
    TkxCancelToken cancel;
    for (;;) {
        QString folder;
        {
            std::unique_lock lock(walk.Mutex);
            walk.Changed.wait(lock, [&] { return !walk.Pending.empty() || walk.Busy == 0; });
            if (walk.Pending.empty())
                return;
            folder = walk.Pending.front();
            walk.Pending.pop_front();
            ++walk.Busy;
        }
        std::vector<TkxDirEntry> entries;
        const bool ok = bool(services.ListFolder(folder, entries, cancel));
        std::lock_guard lock(walk.Mutex);
        --walk.Busy;
        if (!ok)
            ++walk.Failures;
        for (const TkxDirEntry& e : entries) {
            if (e.Name == QLatin1String(".") || e.Name == QLatin1String(".."))
                continue;
            ++walk.Entries;
            if (e.IsDirectory)
                walk.Pending.push_back(folder + u'\\' + e.Name);
        }
        walk.Changed.notify_all();
    }
}

double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall seconds of smbclient's own recursive listing of the share.
double SmbclientSeconds() {
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral("smbclient"), {QStringLiteral("//127.0.0.2/bulk"), QStringLiteral("-N"),
                                          QStringLiteral("-c"), QStringLiteral("recurse ON; ls")});
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return 0;
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

// One thread: the first request (helper start, connection, session) and the ones after it.
void Latency() {
    using Clock = std::chrono::steady_clock;
    TkxPlatformServices services;
    TkxCancelToken cancel;
    std::vector<TkxDirEntry> entries;
    const QString folder = QStringLiteral("\\\\127.0.0.2\\loop");
    auto start = Clock::now();
    services.ListFolder(folder, entries, cancel);
    const double first = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    constexpr int Repeats = 200;
    start = Clock::now();
    for (int i = 0; i < Repeats; ++i)
        services.ListFolder(folder, entries, cancel);
    const double next =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count() / Repeats;
    std::printf("one folder of %zu entries: first request %.1f ms, then %.2f ms each\n",
                entries.size(), first, next);
}

int main(int argc, char** argv) {
    constexpr int Threads = 16;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) {
        Latency();
        sizes = {1, 2, 3, 4, 8, 0};
    }
    SmbclientSeconds(); // the server's caches warm up the same way for both
    const double smbclient = SmbclientSeconds();
    std::printf("smbclient: %.3f s\n", smbclient);
    for (int helpers : sizes) {
        const double selfBefore = CpuSeconds(RUSAGE_SELF);
        const double helpersBefore = CpuSeconds(RUSAGE_CHILDREN);
        double wall = 0;
        int peak = 0;
        Walk walk;
        {
            TkxSmbPoolOptions options;
            options.MaxHelpers = helpers;
            TkxPlatformServices services(options);
            walk.Pending.push_back(QStringLiteral("\\\\127.0.0.2\\bulk"));
            const auto start = std::chrono::steady_clock::now();
            std::vector<std::thread> threads;
            for (int t = 0; t < Threads; ++t)
                threads.emplace_back(Worker, std::ref(services), std::ref(walk));
            for (auto& t : threads)
                t.join();
            wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            peak = services.Pool().HelperCounts().Peak;
        }
        // The helpers are reaped when the pool goes, so their CPU shows up only then.
        std::printf(
            "walk bulk: %d threads, %s%d helpers: %zu entries, %d failed folders, "
            "%.3f s, %.0f entries/s (%.2fx smbclient); CPU s: this process %.3f, helpers %.3f\n",
            Threads, helpers ? "" : "at most ", helpers ? helpers : peak, walk.Entries,
            walk.Failures, wall, double(walk.Entries) / wall, smbclient / wall,
            CpuSeconds(RUSAGE_SELF) - selfBefore, CpuSeconds(RUSAGE_CHILDREN) - helpersBefore);
    }
    return 0;
}
