#include "engine/kxIconer.h"

namespace {
// Nodes walked per call on the window's thread: a long tree is walked in short stretches, so
// the window stays responsive.
constexpr int WalkStretch = 4096;
} // namespace

TIconThread::TIconThread(TIconHost* host) : TkxHostThread(host) {}

TIconThread::~TIconThread() {
    Terminate();
    WaitForEnd();
}

void TIconThread::Start() {
    start(QThread::TimeCriticalPriority);
}

QString TIconThread::IconKey(quint8 kind, const QString& name, const QMimeDatabase& mime) {
    switch (kind) {
    case ikRange:
        return QStringLiteral("network-workgroup");
    case ikHost:
        return QStringLiteral("network-server");
    case ikShare:
        return QStringLiteral("folder-remote");
    case ikFolder:
        return QStringLiteral("folder");
    default:
        // By name only: opening a network file to sniff its content could take long.
        return mime.mimeTypeForFile(name, QMimeDatabase::MatchExtension).name();
    }
}

void TIconThread::Execute() {
    const QMimeDatabase mime;
    while (!Terminated()) {
        // Cleared before the sweep: a change during it asks for one more.
        Waker().Clear();
        bool worked = false;
        if (HasMainWindow()) {
            try {
                worked = Sweep(mime);
            } catch (...) {
            }
        }
        if (!worked && !Terminated())
            Waker().Wait();
    }
}

bool TIconThread::Sweep(const QMimeDatabase& mime) {
    Sweeps.fetch_add(1, std::memory_order_relaxed);
    bool worked = false;
    TkxNode* from = nullptr;
    quint64 generation = 0;
    do {
        TkxIconWork work = Sync(TkxIconWork{}, [&](TIconHost& host) {
            return host.HostIconWork(from, generation, WalkStretch);
        });
        if (!work.Tasks.empty()) {
            worked = true;
            Queue([address = work.Tasks.front().Address](TIconHost& host) {
                host.HostIconStatus(address);
            });
            std::vector<std::pair<TkxNode*, QString>> icons;
            icons.reserve(work.Tasks.size());
            for (const TkxIconTask& task : work.Tasks)
                icons.emplace_back(task.Node, IconKey(task.Kind, task.Name, mime));
            Queue([icons = std::move(icons), g = work.Generation](TIconHost& host) {
                host.HostSetNodeIcons(icons, g);
            });
        }
        from = work.Resume;
        generation = work.Generation;
    } while (from && !Terminated());
    if (worked)
        Queue([](TIconHost& host) { host.HostIconStatus(QString()); });
    return worked;
}
