#pragma once

// The network services on Linux: reverse lookups many at once with a bound (getnameinfo when
// c-ares can not be set up), shares and folders through the pool of SMB helper processes,
// every host screened with a short TCP connect first.

#include "engine/kxServices.h"
#include "platform/kxHostScreen.h"
#include "platform/kxNameResolver.h"
#include "platform/kxSmbPool.h"

#include <mutex>
#include <string>
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
    quint64 FolderId(const QString& uncPath, const TkxCancelToken& cancel) override;
    void SetCredentials(const TkxCredentials& credentials) override;
    void BeginSearch() override;

    // The errno value behind the calling thread's last false/0/empty answer (0 after success).
    static int LastError();

    TkxSmbPool& Pool() { return Helpers; }
    TkxHostScreen& Screen() { return Hosts; }

private:
    TkxNetResult List(const QString& uncPath, std::vector<TkxDirEntry>& out,
                      const TkxCancelToken& cancel, bool ownIdKnown);
    // The port to reach host on, or 0 (LastError set).
    std::uint16_t PortFor(const std::string& host, const TkxCancelToken& cancel);
    // After a failed call: a host that stopped answering is screened again next time, and a
    // refused logon is remembered for the rest of the search.
    void Judge(const std::string& host, int error, bool shareLevel);
    // The logon refused by host in this search, if any.
    int RefusedLogon(const std::string& host);

    TkxSmbPool Helpers;
    TkxHostScreen Hosts;
    TkxNameResolver Names;
    std::mutex Mutex;
    std::unordered_set<std::string> Refused;   // hosts that refused the logon, this search
    std::unordered_set<std::string> NoFolders; // host/share of printers and devices listed
};
