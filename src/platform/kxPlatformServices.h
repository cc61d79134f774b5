#pragma once

// The network services on Linux: reverse lookups many at once with a bound (getnameinfo when
// c-ares can not be set up), NetBIOS names where DNS has none, shares and folders through the
// pool of SMB helper processes, every host screened with a short TCP connect first, servers
// that speak only SMB1 recognised. A host is connected by its DNS name when it has one that
// maps back to its address (Kerberos needs the server's name), by its address otherwise; the
// records keep the address either way.

#include "engine/kxServices.h"
#include "platform/kxHostScreen.h"
#include "platform/kxKerberos.h"
#include "platform/kxNameResolver.h"
#include "platform/kxSmbPool.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

class TkxPlatformServices : public TkxNetServices {
public:
    explicit TkxPlatformServices(TkxSmbPoolOptions options = {});

    QString ReverseLookup(quint32 networkOrderAddress, const TkxCancelToken& cancel) override;
    void LookAhead(const std::vector<quint32>& networkOrderAddresses) override;
    TkxNetResult ListShares(const QString& host, std::vector<TkxShareEntry>& out,
                            const TkxCancelToken& cancel) override;
    TkxNetResult ListFolder(const QString& uncPath, std::vector<TkxDirEntry>& out,
                            const TkxCancelToken& cancel) override;
    TkxNetResult ListKnownFolder(const QString& uncPath, std::vector<TkxDirEntry>& out,
                                 const TkxCancelToken& cancel) override;
    std::unique_ptr<TkxNetListing> StartListing(const QString& uncPath, bool ownIdKnown,
                                                std::function<void()> wake) override;
    quint64 FolderId(const QString& uncPath, const TkxCancelToken& cancel) override;
    void SetCredentials(const TkxCredentials& credentials) override;
    void SetHostCredentials(const QString& host, const TkxCredentials* credentials) override;
    void SetNetOptions(const TkxNetOptions& options) override;
    void BeginSearch() override;
    void EndSearch() override;
    void SetConnectTimeout(std::chrono::milliseconds timeout) override;
    void ForgetPasswords() override;

    // The errno value behind the calling thread's last false/0/empty answer (0 after success).
    static int LastError();

    TkxSmbPool& Pool() { return Helpers; }
    TkxHostScreen& Screen() { return Hosts; }

private:
    // Who a host logs on as, as far as the services must know.
    struct TAccount {
        bool Any = false;        // not a guest
        bool TicketOnly = false; // the Kerberos ticket alone
        QString Principal;       // given with the ticket; empty: whoever the cache holds
        QString Sent;            // the cache's principal the helpers were given
    };
    static TAccount AccountOf(const TkxCredentials& credentials);
    // The credentials the helpers get for a ticket-only account.
    static TkxCredentials TicketCredentials(const TAccount& account);

    // The ticket cache, read again at most every TicketRecheck (or now when fresh).
    TkxTicketCache Ticket(bool fresh = false);
    // The name host (the text after the two backslashes) is connected by: an address's DNS
    // name when that maps back to it, else empty (by the host text itself, which may be a
    // name already). Found once per search.
    std::string WireName(const std::string& host, const TkxCancelToken& cancel);
    // With Mutex held: the name found for an address this search ("" for none).
    void KeepWireName(const std::string& host, const std::string& wire);
    // The wire name of host, or the failure that keeps the request from the server (a logon
    // with the ticket alone that can not work: no ticket, an expired one, no name).
    TkxNetResult Route(const std::string& host, const TkxCancelToken& cancel, std::string* wire);

    TkxNetResult List(const QString& uncPath, std::vector<TkxDirEntry>& out,
                      const TkxCancelToken& cancel, bool ownIdKnown);
    // The port to reach host on, or 0 (LastError set).
    std::uint16_t PortFor(const std::string& host, const TkxCancelToken& cancel);
    // After a failed call: a host that stopped answering is screened again next time.
    void Judge(const std::string& host, int error, bool shareLevel);
    // The error of a failed request, or Smb1OnlyCode for a server found to speak only SMB1.
    int Recognise(const std::string& host, std::uint16_t port, int error,
                  const TkxCancelToken& cancel);
    // The same from what this search has found out already, without probing (*unknown: a
    // probe could tell).
    int RecogniseKnown(const std::string& host, int error, bool* unknown = nullptr);
    // What a listing made without a thread ends as.
    TkxNetResult Listed(const std::string& host, int error);
    class TListing;

    // A server sees one refused logon per search, never one per request: with an account, the
    // first request to a host goes alone and the others wait for its outcome; a refusal is
    // kept for the rest of the search. A guest is never refused, so it never waits. 0 to go
    // ahead (*trial: this request is the one that tries), else LogonFailureCode or ECANCELED.
    int EnterHost(const std::string& host, const TkxCancelToken& cancel, bool* trial);
    void LeaveHost(const std::string& host, bool trial, int error);
    // EnterHost for a folder: its listing can not tell a refused logon from a share the
    // account may not read without logging on once more, so the trial lists the shares.
    int Admit(const std::string& host, const std::string& wire, std::uint16_t port,
              const TkxCancelToken& cancel);

    enum class TLogon { Untried, Trying, Accepted, Refused };

    TkxSmbPool Helpers;
    TkxHostScreen Hosts;
    TkxNameResolver Names;
    std::mutex Mutex;
    std::condition_variable_any LogonSettled;
    std::unordered_map<std::string, TLogon> Logons; // this search
    TAccount DefaultAccount;
    std::unordered_map<std::string, TAccount> HostAccount; // hosts with credentials of their own
    std::unordered_set<std::string> NoFolders; // host/share of printers and devices listed
    std::unordered_map<std::string, std::string> WireNames; // this search, by address
    bool AllowSmb1 = false;
    std::unordered_map<std::string, bool> Smb1Only; // hosts probed this search

    static constexpr std::chrono::seconds TicketRecheck{5};
    std::mutex TicketMutex;
    TkxTicketCache TicketSeen;
    std::chrono::steady_clock::time_point TicketReadAt;
    bool TicketRead = false;
};
