#pragma once

// The operating-system services the walker needs, behind interfaces the engine declares.
// The platform layer implements them for real; unit tests of timing and state use fakes.

#include <QString>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

// Let-go signal for one task: the slot cancels it when it lets its worker go, and every
// blocking service call of that task returns soon after (a helper process it was waiting
// on is killed and replaced).
class TkxCancelToken {
public:
    TkxCancelToken();
    ~TkxCancelToken();
    TkxCancelToken(const TkxCancelToken&) = delete;
    TkxCancelToken& operator=(const TkxCancelToken&) = delete;

    void Cancel();
    bool IsCancelled() const { return Cancelled.load(std::memory_order_acquire); }
    // Becomes readable when cancelled (an eventfd): poll it beside the fd being waited on.
    int Fd() const;
    // Stops a std::condition_variable_any wait when cancelled.
    std::stop_token StopToken() const { return Stop.get_token(); }

private:
    std::atomic<bool> Cancelled{false};
    mutable std::mutex FdMutex;
    mutable int EventFd = -1;
    std::stop_source Stop;
};

struct TkxShareEntry {
    QString Name;
    int Type = 0; // 0 disk, 1 printer, 3 IPC (the server's share type)
    QString Comment;
};

struct TkxDirEntry {
    QString Name; // as the server gives it ("." and ".." included)
    bool IsDirectory = false;
    quint64 Size = 0;
    // Days since 30 December 1899, local time; 0 when the server gave none.
    double Creating = 0;
    double EditTime = 0;
    double LastAccess = 0;
    quint32 Attributes = 0; // DOS attributes: 0x02 hidden, 0x04 system, 0x10 directory
    quint64 FileId = 0;     // a folder's server file id (inode number); 0 for files or unknown
};

// Optional credentials; empty user and password mean guest/anonymous. Never written to disk.
// An account with a password logs on with Kerberos where the server's name and the user's realm
// allow it, else with NTLM.
struct TkxCredentials {
    QString User;
    QString Domain;
    QString Password;
    // The ticket in the user's cache (KRB5CCNAME, else the default one). Without a password it
    // is the only way in: no NTLM, never anonymous; User names the ticket's principal, or is
    // empty for whoever the cache holds a ticket for.
    bool UseKerberos = false;

    bool TicketOnly() const { return UseKerberos && Password.isEmpty(); }

    // "DOMAIN\user" splits into Domain and User; "user@REALM" and "user" stay whole in User.
    static TkxCredentials ForUser(const QString& userText);
    // One of those three forms: no part empty, at most one backslash and no control character.
    static bool IsUserText(const QString& userText);
};

// How a listing ended: the server's error code (an errno value) and its text. A host that does
// not answer the SMB screen is no server at all, which is no failure: most addresses of a range
// are like that. A failure that may pass (connection lost, time-out) is worth another try
// later; a lasting one (access denied, logon failure, no such folder) is not.
struct TkxNetResult {
    enum TKind : quint8 { None, NoServer, Passing, Lasting };
    TKind Kind = None;
    int Code = 0;
    QString Text;

    bool Failed() const { return Kind == Passing || Kind == Lasting; }
    explicit operator bool() const { return Kind == None; } // listed
    // Success, or the failure behind an errno value (classified and named).
    static TkxNetResult FromCode(int code);
    static TkxNetResult NotServer(int code);
};

// Logon failure (the password or user was refused): an errno value of its own, so it can be
// told apart from a share or folder that the account may not read.
inline constexpr int LogonFailureCode = EKEYREJECTED;
// The server speaks only SMB1 and SMB1 is not allowed: a lasting failure.
inline constexpr int Smb1OnlyCode = EPROTONOSUPPORT;
// A server whose reply is no reply at all (garbage where the protocol expects an answer).
inline constexpr int BadReplyCode = EBADMSG;

// How the search may talk to the network; the programs keep the choice (options, settings).
struct TkxNetOptions {
    bool Netbios = true;    // ask for NetBIOS names where DNS has none
    bool AllowSmb1 = false; // list servers that speak only SMB1 (insecure)
};
// A logon with the Kerberos ticket alone that can not be tried: no ticket, an expired one, or
// a server known only by its address (a service ticket names the server). Lasting failures; the
// server is never asked.
inline constexpr int NoTicketCode = ENOKEY;
inline constexpr int TicketExpiredCode = EKEYEXPIRED;
inline constexpr int NeedsNameCode = EDESTADDRREQ;

// A folder listing under way without a thread waiting on it: its owner waits for Fd() to turn
// readable (or for the wake-up given when it was started, or for StallAt) and then calls Step.
// One thread uses it; destroyed before it ends, it is cancelled.
class TkxNetListing {
public:
    virtual ~TkxNetListing() = default;
    // -1 while there is nothing to read (it waits for its wake-up), or once it has ended.
    virtual int Fd() const = 0;
    // Goes on as far as it can without blocking; true once ended.
    virtual bool Step(std::chrono::steady_clock::time_point now) = 0;
    virtual std::chrono::steady_clock::time_point StallAt() const = 0;
    // Once ended: the listing could not go on without blocking, and is for a thread to make
    // the usual way.
    virtual bool NeedsThread() const = 0;
    // Once ended (and not NeedsThread): as ListFolder's.
    virtual TkxNetResult Result(std::vector<TkxDirEntry>& out) = 0;
};

class TkxNetServices {
public:
    virtual ~TkxNetServices() = default;

    // The official host name of an IPv4 address (network byte order), or an empty text.
    virtual QString ReverseLookup(quint32 networkOrderAddress, const TkxCancelToken& cancel) = 0;
    // Hosts about to be searched (network byte order, in search order): their names may be
    // looked up from now on, so ReverseLookup finds them ready.
    virtual void LookAhead(const std::vector<quint32>& networkOrderAddresses) {
        (void)networkOrderAddresses;
    }

    // The shares of \\host (the text after the two backslashes), in the server's order. On
    // anything but success out holds nothing.
    virtual TkxNetResult ListShares(const QString& host, std::vector<TkxShareEntry>& out,
                                    const TkxCancelToken& cancel) = 0;

    // One level of a folder given by its UNC path (\\host\share\dir). On failure out holds
    // nothing; a host that stopped answering is a failure here, not "no server".
    virtual TkxNetResult ListFolder(const QString& uncPath, std::vector<TkxDirEntry>& out,
                                    const TkxCancelToken& cancel) = 0;

    // As ListFolder, for a folder whose own id is known already: the "." entry may then come
    // without it, which spares a lookup per folder.
    virtual TkxNetResult ListKnownFolder(const QString& uncPath, std::vector<TkxDirEntry>& out,
                                         const TkxCancelToken& cancel) {
        return ListFolder(uncPath, out, cancel);
    }

    // ListFolder (ListKnownFolder when ownIdKnown) without blocking, or nullptr when it can
    // only be made the blocking way (the host not screened yet, a logon not settled, ...).
    // wake may be called on any thread: it must only wake whoever steps the listing.
    virtual std::unique_ptr<TkxNetListing> StartListing(const QString& uncPath, bool ownIdKnown,
                                                        std::function<void()> wake) {
        (void)uncPath;
        (void)ownIdKnown;
        (void)wake;
        return nullptr;
    }

    // The server's file id of the folder itself (0 when unknown or not reachable).
    virtual quint64 FolderId(const QString& uncPath, const TkxCancelToken& cancel) = 0;

    // Credentials for the connections made from now on (guest until set), up to the end of
    // the next search (ForgetPasswords).
    virtual void SetCredentials(const TkxCredentials& credentials) { (void)credentials; }
    // Credentials of one host (the text after the two backslashes of its address), used for it
    // instead of the ones above; none: that host goes back to them.
    virtual void SetHostCredentials(const QString& host, const TkxCredentials* credentials) {
        (void)host;
        (void)credentials;
    }

    // Applies to the requests made from now on.
    virtual void SetNetOptions(const TkxNetOptions& options) { (void)options; }

    // A search starts: what the services remember per search (refused logons) is forgotten.
    virtual void BeginSearch() {}
    // A search has ended (finished, stopped or failed): work started ahead for it ends now.
    virtual void EndSearch() {}

    // No search runs any more (the document's last manager has ended): the services wipe the
    // passwords they were given (the user names stay), so the next search must be handed its
    // credentials again.
    virtual void ForgetPasswords() {}

    // How long a host that does not answer is waited for before it counts as no server.
    virtual void SetConnectTimeout(std::chrono::milliseconds timeout) { (void)timeout; }
};
