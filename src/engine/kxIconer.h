#pragma once

#include "engine/kxAbstThread.h"

#include <QMimeDatabase>
#include <QString>

#include <atomic>
#include <utility>
#include <vector>

struct TkxNode;

// A node that wants an icon, as the window hands it to the loader.
struct TkxIconTask {
    TkxNode* Node = nullptr;
    QString Address; // shown in the status bar while its icon is looked for
    QString Name;
    quint8 Kind = ikNone;
};

// One stretch of a sweep: the nodes that want an icon, and where the walk goes on.
struct TkxIconWork {
    std::vector<TkxIconTask> Tasks;
    TkxNode* Resume = nullptr; // null: the walk has reached the end of the tree
    quint64 Generation = 0;    // the tree generation under which the node pointers hold
};

// What the icon loader needs of the window. Every call runs on the window's thread.
class TIconHost : public TkxThreadHost {
public:
    // Walks at most maxNodes visible nodes (children of collapsed nodes are skipped) in tree
    // order, starting at `from`, or at the first node when `from` is null or `generation` is
    // no longer the tree's. Hands over the nodes whose record HasMatch and whose image index
    // is still -1.
    virtual TkxIconWork HostIconWork(TkxNode* from, quint64 generation, int maxNodes) = 0;
    // Gives each node the icon of its key (-2 when there is none to be had) in the tree and in
    // the detail rows with the same address. Dropped when nodes were freed since `generation`.
    virtual void HostSetNodeIcons(const std::vector<std::pair<TkxNode*, QString>>& icons,
                                  quint64 generation) = 0;
    // Status panel 3: the address whose icon is looked for, empty when done.
    virtual void HostIconStatus(const QString& text) = 0;
};

// Gives matching tree nodes the icon of their item, for the life of the main window. It sweeps
// the visible nodes; a node is looked at once (its image index leaves -1), and a sweep that
// finds nothing to do waits for a wake-up (the tree changed, a node was expanded, the view
// scrolled) instead of starting the next sweep at once. It decides icon keys only: icons
// themselves are made on the window's thread.
class TIconThread : public TkxHostThread<TIconHost> {
    Q_OBJECT
public:
    explicit TIconThread(TIconHost* host);
    ~TIconThread() override;

    void Start();

    // A MIME type name for a file (by its name), else the icon name of the item's kind.
    static QString IconKey(quint8 kind, const QString& name, const QMimeDatabase& mime);

    // Sweeps begun so far.
    quint64 SweepCount() const { return Sweeps.load(std::memory_order_relaxed); }

protected:
    void Execute() override;

private:
    // One sweep over the visible nodes; true when it found work.
    bool Sweep(const QMimeDatabase& mime);

    std::atomic<quint64> Sweeps{0};
};
