#pragma once

// Scripted network services for timing and state tests of the engine: hosts, shares and
// folders come from maps; a path can be made to block until its task is let go.

#include "document/kxProjectDoc.h"
#include "engine/kxServices.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <condition_variable>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <unistd.h>

class TkxFakeServices : public TkxNetServices {
public:
    std::map<quint32, QString> Names;                    // address → host name
    std::map<QString, std::vector<QString>> Shares;      // host → share names
    std::map<QString, std::vector<TkxDirEntry>> Folders; // UNC path → entries
    std::map<QString, quint64> Ids;                      // UNC path → folder id
    std::set<QString> Blocking;                          // paths that wait to be let go
    std::map<QString, int> Errors;                       // host or UNC path → errno it fails with
    int DelayMs = 0;                                     // every listing takes this long
    bool Driven = false;          // folder listings go without a thread (StartListing)...
    std::set<QString> NeedThread; // ...but these turn out to need one
    std::chrono::milliseconds ConnectTimeout{0}; // as last set

    QString ReverseLookup(quint32 address, const TkxCancelToken&) override {
        std::lock_guard lock(Mutex);
        auto it = Names.find(address);
        return it == Names.end() ? QString() : it->second;
    }
    void LookAhead(const std::vector<quint32>& addresses) override {
        std::lock_guard lock(Mutex);
        LookedAhead.insert(LookedAhead.end(), addresses.begin(), addresses.end());
    }
    void SetConnectTimeout(std::chrono::milliseconds timeout) override { ConnectTimeout = timeout; }
    std::vector<quint32> LookedAheadSoFar() {
        std::lock_guard lock(Mutex);
        return LookedAhead;
    }

    // A host without shares is no server; a folder that is not scripted is empty.
    TkxNetResult ListShares(const QString& host, std::vector<TkxShareEntry>& out,
                            const TkxCancelToken& cancel) override {
        if (!Enter(QStringLiteral("\\\\") + host, cancel))
            return TkxNetResult::NotServer(ECANCELED);
        std::lock_guard lock(Mutex);
        if (auto e = Errors.find(host); e != Errors.end())
            return TkxNetResult::FromCode(e->second);
        auto it = Shares.find(host);
        if (it == Shares.end())
            return TkxNetResult::NotServer(ECONNREFUSED);
        for (const QString& s : it->second)
            out.push_back({s, 0, QString()});
        return {};
    }

    TkxNetResult ListFolder(const QString& path, std::vector<TkxDirEntry>& out,
                            const TkxCancelToken& cancel) override {
        if (!Enter(path, cancel))
            return TkxNetResult::NotServer(ECANCELED);
        std::lock_guard lock(Mutex);
        if (auto e = Errors.find(path); e != Errors.end())
            return TkxNetResult::FromCode(e->second);
        auto it = Folders.find(path);
        if (it != Folders.end())
            out = it->second;
        return {};
    }

    std::unique_ptr<TkxNetListing> StartListing(const QString& path, bool,
                                                std::function<void()>) override {
        if (!Driven)
            return nullptr;
        return std::make_unique<TFakeListing>(*this, path);
    }
    int DrivenCount() {
        std::lock_guard lock(Mutex);
        return DrivenListings;
    }

    quint64 FolderId(const QString& path, const TkxCancelToken&) override {
        std::lock_guard lock(Mutex);
        ++IdQueries;
        auto it = Ids.find(path);
        return it == Ids.end() ? 0 : it->second;
    }

    // What the services were handed: "user|password" of each SetCredentials, and "forgot"
    // at each ForgetPasswords, in order.
    void SetCredentials(const TkxCredentials& c) override {
        std::lock_guard lock(Mutex);
        Handed.push_back(c.User + u'|' + c.Password);
    }
    void ForgetPasswords() override {
        std::lock_guard lock(Mutex);
        Handed.push_back(QStringLiteral("forgot"));
    }
    std::vector<QString> HandedSoFar() {
        std::lock_guard lock(Mutex);
        return Handed;
    }

    std::vector<QString> Calls() {
        std::lock_guard lock(Mutex);
        return CallLog;
    }
    int BlockedNow() {
        std::lock_guard lock(Mutex);
        return Blocked;
    }
    int IdQueryCount() {
        std::lock_guard lock(Mutex);
        return IdQueries;
    }
    // Adds a folder with entries (folders end in '\', the rest are files of 10 bytes).
    void AddFolder(const QString& path, const QStringList& names, quint64 id = 0) {
        std::vector<TkxDirEntry> entries;
        for (QString n : names) {
            TkxDirEntry e;
            e.IsDirectory = n.endsWith(u'\\');
            if (e.IsDirectory)
                n.chop(1);
            e.Name = n;
            e.Size = e.IsDirectory ? 0 : 10;
            e.EditTime = 45000.5;
            if (e.IsDirectory) {
                auto it = Ids.find(path + u'\\' + n);
                e.FileId = it == Ids.end() ? 0 : it->second;
            }
            entries.push_back(e);
        }
        if (id) {
            TkxDirEntry dot;
            dot.Name = QStringLiteral(".");
            dot.IsDirectory = true;
            dot.FileId = id;
            entries.insert(entries.begin(), dot);
            Ids[path] = id;
        }
        Folders[path] = entries;
    }

private:
    // Readable at once, unless its path blocks (then until it is cancelled).
    class TFakeListing : public TkxNetListing {
    public:
        TFakeListing(TkxFakeServices& net, const QString& path) : Net(net), Path(path) {
            std::lock_guard lock(Net.Mutex);
            Thread = Net.NeedThread.count(path) > 0;
            Block = !Thread && Net.Blocking.count(path) > 0;
            if (!Thread) {
                Net.CallLog.push_back(path);
                ++Net.DrivenListings;
            }
            if (Block)
                ++Net.Blocked;
            Efd = eventfd(Block ? 0 : 1, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        ~TFakeListing() override {
            if (Block) {
                std::lock_guard lock(Net.Mutex);
                --Net.Blocked;
            }
            close(Efd);
        }
        int Fd() const override { return Efd; }
        bool Step(std::chrono::steady_clock::time_point) override { return !Block; }
        std::chrono::steady_clock::time_point StallAt() const override {
            return std::chrono::steady_clock::time_point::max();
        }
        bool NeedsThread() const override { return Thread; }
        TkxNetResult Result(std::vector<TkxDirEntry>& out) override {
            std::lock_guard lock(Net.Mutex);
            if (auto e = Net.Errors.find(Path); e != Net.Errors.end())
                return TkxNetResult::FromCode(e->second);
            if (auto it = Net.Folders.find(Path); it != Net.Folders.end())
                out = it->second;
            return {};
        }

    private:
        TkxFakeServices& Net;
        const QString Path;
        bool Thread = false, Block = false;
        int Efd = -1;
    };

    bool Enter(const QString& path, const TkxCancelToken& cancel) {
        bool block;
        {
            std::lock_guard lock(Mutex);
            CallLog.push_back(path);
            block = Blocking.count(path) > 0;
            if (block)
                ++Blocked;
        }
        if (block || DelayMs > 0) {
            pollfd p{cancel.Fd(), POLLIN, 0};
            ::poll(&p, 1, block ? -1 : DelayMs);
            if (block) {
                std::lock_guard lock(Mutex);
                --Blocked;
            }
        }
        return !cancel.IsCancelled();
    }
    std::mutex Mutex;
    std::vector<QString> Handed;
    std::vector<QString> CallLog;
    int Blocked = 0;
    int IdQueries = 0;
    int DrivenListings = 0;
    std::vector<quint32> LookedAhead;
};

// Serves the document's event loop until cond() holds or the time runs out.
template <class Cond> bool WaitFor(Cond&& cond, int timeoutMs = 20000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Runs until the search and its clean-up are over.
inline bool WaitIdle(TkxProjectDoc& doc, int timeoutMs = 20000) {
    return WaitFor([&] { return !doc.IsBusy(); }, timeoutMs);
}

// A top-level node of any kind, named after the last part of its address.
inline TkxNode* AddTop(TkxProjectDoc& doc, TkxItemKind kind, const QString& address) {
    TkxInfo r;
    r.SetAddress(address);
    r.SetName(address.section(u'\\', -1));
    r.SetKind(kind);
    return doc.AddInfoNode(std::move(r), nullptr);
}

inline std::vector<QString> Captions(const TkxNode* node) {
    std::vector<QString> out;
    for (const auto& c : node->Children)
        out.push_back(c->Info.NameText());
    return out;
}
