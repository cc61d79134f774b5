// Window benchmark: the idle window's CPU on a finished 20,000-node project; how fast the GUI
// thread answers a posted event during a walk of a loopback share; a 1,000,000-node project
// opened, a 100,000-child folder expanded and scrolled to its end (the longest stall); the icon
// loader's cost once every visible node has its icon; a search with tens of thousands of
// failed tasks reaching the errors pane. Run it under xvfb-run (or offscreen).
//
//   bench_window [HOST [SHARE]]     (defaults 127.0.0.2 bulk; the walk needs the fixture)
//   bench_window --failed-tasks     only the failed tasks

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "lang/kxLanguages.h"

#include <QElapsedTimer>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Serves the event loop for `ms` milliseconds.
void Serve(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <class Cond> bool ServeUntil(Cond&& cond, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs)
            return false;
        Serve(10);
    }
    return true;
}

// Posts an event to the GUI thread, waits until it is delivered, records how long that took,
// pauses 5 ms and posts the next: the longest delay is the longest stall of the GUI thread.
class TStallProbe : public QObject {
public:
    TStallProbe() {
        Worker = std::thread([this] { Run(); });
    }
    ~TStallProbe() override {
        Stop = true;
        Cond.notify_all();
        Worker.join();
    }
    std::vector<double> TakeMs() {
        std::lock_guard lock(Mutex);
        return std::exchange(LatenciesMs, {});
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        {
            std::lock_guard lock(Mutex);
            Delivered = true;
        }
        Cond.notify_all();
        return true;
    }

private:
    void Run() {
        while (!Stop) {
            const auto sent = Clock::now();
            {
                std::lock_guard lock(Mutex);
                Delivered = false;
            }
            QCoreApplication::postEvent(this, new QEvent(QEvent::User));
            std::unique_lock lock(Mutex);
            Cond.wait(lock, [this] { return Delivered || Stop; });
            if (Stop)
                break;
            LatenciesMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            Cond.wait_for(lock, std::chrono::milliseconds(5), [this] { return bool(Stop); });
        }
    }
    std::thread Worker;
    std::mutex Mutex;
    std::condition_variable Cond;
    bool Delivered = false;
    std::atomic<bool> Stop{false};
    std::vector<double> LatenciesMs;
};

void PrintLatencies(const char* what, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("%s: no samples\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    std::printf("%s: %zu samples, p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n", what,
                ms.size(), at(0.5), at(0.9), at(0.99), ms.back());
}

TkxInfo Record(const QString& name, const QString& address, TkxItemKind kind, bool matched) {
    TkxInfo r;
    r.SetName(name);
    r.SetAddress(address);
    r.SetKind(kind);
    r.SetScanned(1);
    r.SetMatched(matched ? 1 : 0);
    r.SetHasMatch(matched ? 1 : 0);
    if (kind == ikFile)
        r.SetSize(1234);
    return r;
}

// A finished project: range > host > share > `folders` folders of `files` files each; the files
// of the first folder match.
QString WriteProject(const QString& file, int folders, int files) {
    TkxProjectDoc doc;
    TkxNode* range = doc.AddInfoNode(Record(QStringLiteral("Bench (10.0.0.1-1)"),
                                            QStringLiteral("10.0.0.1 - 10.0.0.1"), ikRange, true),
                                     nullptr);
    TkxNode* host = doc.AddInfoNode(
        Record(QStringLiteral("server"), QStringLiteral("\\\\10.0.0.1"), ikHost, true), range);
    TkxNode* share = doc.AddInfoNode(
        Record(QStringLiteral("data"), QStringLiteral("\\\\10.0.0.1\\data"), ikShare, true), host);
    for (int f = 0; f < folders; ++f) {
        const QString folder = QStringLiteral("\\\\10.0.0.1\\data\\f%1").arg(f);
        TkxNode* node =
            doc.AddInfoNode(Record(QStringLiteral("f%1").arg(f), folder, ikFolder, f == 0), share);
        std::vector<TkxInfo> records;
        records.reserve(size_t(files));
        for (int i = 0; i < files; ++i) {
            const QString name = QStringLiteral("file%1.txt").arg(i);
            records.push_back(Record(name, folder + u'\\' + name, ikFile, f == 0));
        }
        doc.AddInfoNodes(std::move(records), node);
    }
    doc.WriteProject(file);
    return file;
}

std::unique_ptr<TfrmMain> OpenWindow(const QStringList& args) {
    auto w = std::make_unique<TfrmMain>(args, TfrmMain::TOptions{false, nullptr});
    w->show();
    w->setGeometry(0, 0, 1000, 700);
    Serve(300);
    return w;
}

QModelIndex IndexOf(const TfrmMain& w, const TkxNode* node) {
    return w.tvMain->model()->index(
        node->Row, 0, node->Parent->IsRoot() ? QModelIndex() : IndexOf(w, node->Parent));
}

void Idle(const QString& dir) {
    const QString file = WriteProject(dir + QStringLiteral("/idle.kxor"), 10, 2000);
    auto w = OpenWindow({file});
    w->tvMain->expandToDepth(2);
    Serve(1000);
    const double cpu = CpuSeconds();
    const quint64 sweeps = w->IconLoader()->SweepCount();
    Serve(10000);
    const double used = CpuSeconds() - cpu;
    std::printf("idle: %d nodes, 10 s open: %.3f CPU s (%.2f%% of a core), %llu loader sweeps\n",
                w->Doc().Tree().NodeCount(), used, used * 10.0,
                (unsigned long long)(w->IconLoader()->SweepCount() - sweeps));
    w->Doc().SetModified(false);
}

void Walk(const QString& host, const QString& share, bool expanded) {
    auto w = OpenWindow({});
    TkxProjectDoc& doc = w->Doc();
    doc.ClearTree();
    TkxParams p;
    p.Masks = QStringLiteral("*");
    doc.SetParams(p);
    TkxInfo r;
    r.SetAddress(QStringLiteral("\\\\%1\\%2").arg(host, share));
    r.SetName(share);
    r.SetKind(ikShare);
    doc.AddInfoNode(std::move(r), nullptr);
    if (expanded)
        w->tvMain->expandAll();
    TStallProbe probe;
    QElapsedTimer t;
    t.start();
    doc.Continue();
    if (!ServeUntil([&] { return !doc.IsBusy(); }, 300000))
        std::printf("walk: did not finish\n");
    const qint64 ms = t.elapsed();
    std::printf("walk of \\\\%s\\%s, share %s: %d nodes in %.2f s (%s)\n", qPrintable(host),
                qPrintable(share), expanded ? "expanded" : "collapsed", doc.Tree().NodeCount(),
                double(ms) / 1000.0, qPrintable(doc.StatusStateText()));
    PrintLatencies("walk: posted event answered after", probe.TakeMs());
    doc.SetModified(false);
    TkxInfoThread::WaitForAll();
}

void Million(const QString& dir) {
    QElapsedTimer t;
    t.start();
    const QString file = WriteProject(dir + QStringLiteral("/million.kxor"), 10, 100000);
    std::printf("million: project written in %.2f s\n", double(t.elapsed()) / 1000.0);
    auto w = OpenWindow({});
    const TkxNode* big = nullptr;
    {
        TStallProbe probe;
        t.restart();
        w->Doc().ReadProject(file);
        std::printf("million: %d nodes read in %.2f s\n", w->Doc().Tree().NodeCount(),
                    double(t.elapsed()) / 1000.0);
        Serve(200);
        PrintLatencies("million: reading, posted event answered after", probe.TakeMs());

        const TkxNode* share = w->Doc().Tree().Root()->Children[0]->Children[0]->Children[0].get();
        big = share->Children[0].get();
        t.restart();
        const double cpu = CpuSeconds();
        for (const TkxNode* n = big; !n->IsRoot(); n = n->Parent)
            w->tvMain->expand(IndexOf(*w, n));
        Serve(50);
        w->tvMain->scrollToBottom();
        // Every visible file matches: the loader gives each its icon once.
        const bool all = ServeUntil(
            [&] {
                for (const auto& c : big->Children)
                    if (c->ImageIndex == -1)
                        return false;
                return true;
            },
            120000);
        std::printf("million: expanded %zu children, scrolled to the end, icons %s in %.2f s, "
                    "%.2f CPU s\n",
                    big->Children.size(), all ? "all set" : "NOT all set",
                    double(t.elapsed()) / 1000.0, CpuSeconds() - cpu);
        Serve(200);
        PrintLatencies("million: expanding, scrolling and icons, posted event answered after",
                       probe.TakeMs());
    }
    Serve(500);
    const double cpu = CpuSeconds();
    const quint64 sweeps = w->IconLoader()->SweepCount();
    Serve(10000);
    const double used = CpuSeconds() - cpu;
    std::printf("million: 10 s with every visible icon set: %.3f CPU s (%.2f%% of a core), "
                "%llu loader sweeps\n",
                used, used * 10.0, (unsigned long long)(w->IconLoader()->SweepCount() - sweeps));
    w->Doc().SetModified(false);
}

// Failed tasks reported as a search with many denied folders reports them: 16 per turn of the
// event loop, each kept in the errors pane. perLine writes each at once instead of a batch.
void FailedTasks(int count, bool perLine) {
    auto w = OpenWindow({});
    const QString state = QStringLiteral("Thread has stopped with error (Access denied)");
    int sent = 0;
    TStallProbe probe;
    QElapsedTimer t;
    t.start();
    const double cpu = CpuSeconds();
    std::function<void()> turn = [&] {
        for (int i = 0; i < 16 && sent < count; ++i, ++sent) {
            Q_EMIT w->Doc().TaskFailed(QStringLiteral("\\\\10.0.%1.%2\\data\\denied%3")
                                           .arg(sent / 4096)
                                           .arg(sent % 256)
                                           .arg(sent),
                                       state);
            if (perLine)
                w->FlushErrors();
        }
        if (sent < count)
            QTimer::singleShot(0, w.get(), turn);
    };
    turn();
    ServeUntil([&] { return sent >= count; }, 600000);
    w->FlushErrors();
    const qint64 ms = t.elapsed();
    const double used = CpuSeconds() - cpu;
    Serve(200);
    std::printf("failed tasks %s: %d in %.2f s, %.2f CPU s, pane %d lines\n",
                perLine ? "written one by one" : "written in batches", count, double(ms) / 1000.0,
                used, w->reErrors->document()->blockCount());
    PrintLatencies(perLine ? "failed tasks one by one: posted event answered after"
                           : "failed tasks in batches: posted event answered after",
                   probe.TakeMs());
    w->Doc().SetModified(false);
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path())); // no stored layout
    TkxApplication app(argc, argv);
    SetupIconTheme();
    SetCurrentLanguage(LangEnglish);
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == u"--failed-tasks") {
        FailedTasks(20000, false);
        FailedTasks(20000, true);
        return 0;
    }
    const QString host = args.value(1, QStringLiteral("127.0.0.2"));
    const QString share = args.value(2, QStringLiteral("bulk"));
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));
    Idle(dir.path());
    Walk(host, share, false);
    Walk(host, share, true);
    Million(dir.path());
    FailedTasks(20000, false);
    FailedTasks(20000, true);
    return 0;
}
