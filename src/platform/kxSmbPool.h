#pragma once

// A pool of orvane-smb-helper processes. libsmbclient cannot serve several threads here, so
// each helper runs one request at a time; a worker thread borrows a helper, sends its request
// and waits for the answer (or its cancel token). A helper that is let go, stalls, crashes or
// breaks the protocol is killed and reaped, and a new one is spawned when next needed.
//
// Unless a count is given, the pool follows the work (TkxPoolSizer): it grows while requests
// wait and the machine has CPU to spare, and gives a growth back when listings did not get
// faster. A request goes to a helper already connected to its host and share when one is free.

#include "engine/kxServices.h"
#include "platform/kxPoolSizer.h"
#include "platform/kxSecrets.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct TkxSmbPoolOptions {
    // Empty: next to the running executable (a build tree), else where the package installs it
    // (FindHelper), else $ORVANE_SMB_HELPER.
    QString HelperPath;
    // A fixed number of helpers. 0: $ORVANE_SMB_HELPERS if set, else the pool follows the work,
    // starting from max(2, number of cores).
    int MaxHelpers = 0;
    // How long the helper waits for one SMB reply.
    std::chrono::milliseconds SmbTimeout{5000};
    // A busy helper that sends nothing for this long is taken for hung and killed.
    std::chrono::milliseconds StallLimit{60000};
    // A folder with more entries than this fails rather than exhaust memory.
    std::size_t MaxEntries = 2'000'000;
};

class TkxSmbPool {
public:
    explicit TkxSmbPool(TkxSmbPoolOptions options = {});
    ~TkxSmbPool();
    TkxSmbPool(const TkxSmbPool&) = delete;
    TkxSmbPool& operator=(const TkxSmbPool&) = delete;

    // Helpers started from now on log in with these; idle helpers with the old ones are retired.
    void SetCredentials(const TkxCredentials& credentials);
    // The same for one host's own credentials (none: the default ones again). host is the key
    // the requests give.
    void SetHostCredentials(const std::string& host, const TkxCredentials* credentials);
    // Helpers started from now on may negotiate SMB1 with a server that speaks nothing else;
    // idle helpers started with the other choice are retired.
    void SetAllowSmb1(bool allowed);
    // Wipes every password the pool holds (the user names stay) and retires the idle helpers
    // that were given them: a search has ended, and the next one is handed its credentials
    // again. Nothing happens when no password is held.
    void ForgetPasswords();
    // Whether the pool holds a password now (the process is then not dumpable).
    bool HoldsPasswords() const;
    // Fixes the number of helpers (the pool no longer follows the work).
    void SetMaxHelpers(int count);
    // The most helpers the pool may run: the fixed count, or the ceiling of its growth.
    int MaxHelpers() const;

    // Each returns 0 or an errno value: the server's (ENOENT, EACCES, ECONNREFUSED, ...),
    // ECANCELED, ETIMEDOUT when the helper stalled, EIO when it died or spoke nonsense,
    // ENOEXEC when no helper could be started, EFBIG for too many entries. out is filled only
    // on success. host and the share in url send a request to a helper connected to them, and
    // pick the credentials; wire, when not empty, is the name the helper connects to instead
    // of host (UTF-8, not encoded).
    int ListShares(const std::string& host, std::uint16_t port, std::vector<TkxShareEntry>& out,
                   const TkxCancelToken& cancel, const std::string& wire = {});
    // ownIdKnown: the "." entry need not carry the folder's own id.
    int ListDir(const std::string& host, const std::string& url, std::uint16_t port,
                std::vector<TkxDirEntry>& out, const TkxCancelToken& cancel,
                bool ownIdKnown = false, const std::string& wire = {});
    int Stat(const std::string& host, const std::string& url, std::uint16_t port, TkxDirEntry& out,
             const TkxCancelToken& cancel, const std::string& wire = {});

    // A folder listing under way that no thread waits on: its owner polls Fd() for input and
    // calls Step when it is readable, when woken, and at StallAt. One thread uses it at a time;
    // destroyed unfinished, it is cancelled (a helper that has the request is killed).
    class Request {
    public:
        ~Request();
        Request(const Request&) = delete;
        Request& operator=(const Request&) = delete;
        // The helper's socket; -1 while the request waits for a helper (wake is called when
        // one is handed over) or once it has ended.
        int Fd() const;
        // Does what it can without blocking; true once ended.
        bool Step(std::chrono::steady_clock::time_point now);
        // Past this, a helper that has sent nothing is taken for hung.
        std::chrono::steady_clock::time_point StallAt() const;
        // Ended without an outcome (a helper would have to be started, or the one given had
        // died): the listing is for a thread to make the blocking way.
        bool NeedsThread() const;
        // Once ended: as ListDir's.
        int Error() const;
        std::vector<TkxDirEntry>& Entries();

    private:
        friend class TkxSmbPool;
        struct TState;
        explicit Request(std::unique_ptr<TState> state);
        std::unique_ptr<TState> S;
    };
    // ListDir without blocking. nullptr when no helper is free and the pool may start one:
    // starting it blocks, so a thread lists the folder instead. wake may be called on any
    // thread, with the pool's lock held: it must only wake the owner.
    std::unique_ptr<Request> BeginListDir(const std::string& url, std::uint16_t port,
                                          bool ownIdKnown, const std::string& wire,
                                          std::function<void()> wake);

    // For tests and diagnostics.
    struct Counts {
        int Peak = 0;    // most helpers alive at once
        int Started = 0; // helpers started
        int Allowed = 0; // helpers the pool allows now
    };
    Counts HelperCounts() const;
    std::vector<pid_t> HelperPids() const;
    // The spawner's pid, -1 when helpers are started directly.
    pid_t SpawnerPid() const;
    std::vector<pid_t> BusyHelperPids() const;
    QString HelperPath() const { return Path; }

    static int DefaultHelperCount();
    // The helper next to the running executable, else in the library-executables folder as
    // seen from the programs' folder (ORVANE_HELPER_FROM_PROGRAMS, such as
    // ../libexec/orvane), else $ORVANE_SMB_HELPER; empty when none is executable.
    static QString FindHelper();

    // Receives the entries of one answer; false rejects the stream (Error says why, else EIO).
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual bool Entry(std::uint8_t type, std::string_view body) = 0;
        int Error = 0;
    };

private:
    struct Helper; // kxSmbPoolHelper.h
    struct Waiter;

    // The scheduling of requests (kxSmbPoolSchedule.cpp): Acquire, Release, Place,
    // WakeToLookAgain, Started, Leaving, KeepAlive, Completed and TakeSurplus.
    std::unique_ptr<Helper> Acquire(const std::string& key, const TkxCancelToken& cancel,
                                    int* error);
    // With Mutex held (released meanwhile to destroy a dead one): an idle helper for key, the
    // best one by the same choice as Acquire's, counted busy; none when none may be taken.
    std::unique_ptr<Helper> TakeIdle(std::unique_lock<std::mutex>& lock, const std::string& key);
    void Release(std::unique_ptr<Helper> helper, bool healthy);
    // With Mutex held: to a waiter, else to the idle list.
    void Place(std::unique_ptr<Helper> helper);
    // With Mutex held: the oldest waiters go through the choice of a helper again.
    void WakeToLookAgain(int count);
    // A new helper: forked by the spawner, else started with fork and exec.
    std::unique_ptr<Helper> Spawn(int* error);
    // Hands a fresh helper the credentials, over its socket only.
    int LogIn(Helper& helper, const TkxCancelToken& cancel, bool* healthy);
    // The frames that log a fresh helper in, each answered by an END; wipe them once sent.
    std::vector<std::string> LogInFrames(Helper& helper);
    // With Mutex held: helpers with the old credentials or protocols are retired (idle ones
    // into retired).
    void NewCredentials(std::vector<std::unique_ptr<Helper>>& retired);
    // Starts the helper executable (as the spawner when asked).
    std::unique_ptr<Helper> Exec(bool spawner, int* error);
    void StartSpawner();
    int Exchange(Helper& helper, const std::string& request, Sink& sink,
                 const TkxCancelToken& cancel, bool* healthy);
    // Parses the frames helper.In holds into sink. -1 while the answer goes on, else its
    // outcome, *healthy telling whether the helper stayed in step.
    static int Parse(Helper& helper, Sink& sink, std::uint32_t& received, bool* healthy);
    std::string ListDirFrame(const std::string& url, std::uint16_t port, bool ownIdKnown,
                             const std::string& wire) const;
    int Run(const std::string& key, const std::string& request, Sink& sink,
            const TkxCancelToken& cancel);
    void Destroy(std::unique_ptr<Helper> helper);
    // With Mutex held (released meanwhile): counts a helper in and starts it.
    std::unique_ptr<Helper> Started(std::unique_lock<std::mutex>& lock, int* error);
    // With Mutex held: a helper leaves the pool (or served its first request).
    void Leaving(Helper& helper);
    // With Mutex held: the helpers to keep alive (more than allowed at once while the sizer
    // judges a growth).
    int KeepAlive() const;
    // With Mutex held: a request ended; the sizer may change the number allowed.
    void Completed(Helper& helper);
    // With Mutex held: idle helpers beyond keep leave the pool (still counted in Live), for
    // the caller to destroy.
    std::vector<std::unique_ptr<Helper>> TakeSurplus(int keep);

    TkxSmbPoolOptions Options;
    QString Path;
    // The helpers' environment, filtered once from ours.
    std::vector<std::string> Environment;
    std::vector<char*> EnvironmentPointers;

    // The spawner process (its control socket in Sock); none when helpers are started directly.
    mutable std::mutex SpawnerMutex;
    std::unique_ptr<Helper> SpawnerProcess;

    mutable std::mutex Mutex;
    std::vector<std::unique_ptr<Helper>> Idle;
    std::vector<std::shared_ptr<Waiter>> Waiters; // oldest first
    std::vector<pid_t> Busy;
    int Live = 0; // idle + busy + being spawned
    Counts Seen;
    int Max = 2;                         // helpers allowed now
    std::unique_ptr<TkxPoolSizer> Sizer; // when the pool follows the work
    std::uint64_t Generation = 0;
    TkxCredentials Credentials;
    std::map<std::string, TkxCredentials> HostCredentials;
    bool AllowSmb1 = false;
    // Engaged while a password is held. With Mutex held.
    std::optional<TkxNotDumpable> Hold;
    void UpdateHold();
};
