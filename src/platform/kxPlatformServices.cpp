#include "platform/kxPlatformServices.h"

#include "platform/kxSmbNegotiate.h"
#include "platform/kxSmbPaths.h"

#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

thread_local int LastErrno = 0;

// A server answers a negotiate within the SMB time-out the helpers use.
constexpr std::chrono::milliseconds SmbProbeLimit{5000};
constexpr std::size_t MostProbedHosts = 4096;

int Fail(int error) {
    LastErrno = error;
    return error;
}

bool IsConnectionError(int error) {
    switch (error) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ECONNRESET:
    case EHOSTDOWN:
        return true;
    default:
        return false;
    }
}

bool IsShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
           error == EADDRNOTAVAIL;
}

} // namespace

TkxPlatformServices::TkxPlatformServices(TkxSmbPoolOptions options) : Helpers(std::move(options)) {}

int TkxPlatformServices::LastError() {
    return LastErrno;
}

namespace {
bool IsAccount(const TkxCredentials& c) {
    return !c.User.isEmpty() || c.UseKerberos;
}
} // namespace

void TkxPlatformServices::SetCredentials(const TkxCredentials& credentials) {
    Helpers.SetCredentials(credentials);
    {
        std::lock_guard lock(Mutex);
        DefaultAccount = IsAccount(credentials);
    }
    BeginSearch();
}

void TkxPlatformServices::SetNetOptions(const TkxNetOptions& options) {
    Names.SetNetbios(options.Netbios);
    Helpers.SetAllowSmb1(options.AllowSmb1);
    std::lock_guard lock(Mutex);
    AllowSmb1 = options.AllowSmb1;
}

void TkxPlatformServices::SetHostCredentials(const QString& host,
                                             const TkxCredentials* credentials) {
    TkxSmbTarget target;
    if (!UncToSmbTarget(QStringLiteral("\\\\") + host, target) || target.HasShare())
        return;
    Helpers.SetHostCredentials(target.Host, credentials);
    std::lock_guard lock(Mutex);
    if (credentials)
        HostAccount[target.Host] = IsAccount(*credentials);
    else
        HostAccount.erase(target.Host);
    // Other credentials deserve their own attempt.
    if (const auto it = Logons.find(target.Host);
        it != Logons.end() && it->second != TLogon::Trying)
        Logons.erase(it);
}

QString TkxPlatformServices::ReverseLookup(quint32 networkOrderAddress,
                                           const TkxCancelToken& cancel) {
    LastErrno = 0;
    if (cancel.IsCancelled()) {
        Fail(ECANCELED);
        return {};
    }
    if (Names.Ready()) {
        int error = 0;
        QString name =
            Names.Lookup(networkOrderAddress, cancel, &error, TkxNameResolver::TWait::Dns);
        if (error == EINPROGRESS) {
            // DNS has no name and the NetBIOS question is under way. Its answer is worth waiting
            // for only from a host with an SMB server: the screen, kept for the share listing that
            // follows, runs meanwhile, and an address where nothing listens is not held.
            char dotted[INET_ADDRSTRLEN] = {};
            in_addr a{};
            a.s_addr = networkOrderAddress;
            inet_ntop(AF_INET, &a, dotted, sizeof dotted);
            int screenError = 0;
            const bool server = Hosts.Screen(dotted, cancel, &screenError) != 0;
            name =
                Names.Lookup(networkOrderAddress, cancel, &error,
                             server ? TkxNameResolver::TWait::All : TkxNameResolver::TWait::None);
        }
        if (error)
            Fail(error == ETIMEDOUT ? ENOENT : error);
        return name;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = networkOrderAddress;
    char name[NI_MAXHOST];
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, name,
                               sizeof name, nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        Fail(ENOENT);
        return {};
    }
    name[sizeof name - 1] = '\0';
    return NameFromServer(name);
}

std::uint16_t TkxPlatformServices::PortFor(const std::string& host, const TkxCancelToken& cancel) {
    int error = 0;
    const std::uint16_t port = Hosts.Screen(host, cancel, &error);
    if (!port)
        Fail(error ? error : EHOSTUNREACH);
    return port;
}

void TkxPlatformServices::Judge(const std::string& host, int error, bool shareLevel) {
    Fail(error);
    // A share or folder the server refused to connect (libsmbclient says ECONNREFUSED for a
    // share it can not open) came from a host that answers: it stays known as a server.
    if (IsConnectionError(error) && !(shareLevel && error == ECONNREFUSED))
        Hosts.Forget(host);
}

int TkxPlatformServices::Recognise(const std::string& host, std::uint16_t port, int error,
                                   const TkxCancelToken& cancel) {
    // Only a probe of ours says SMB1.
    if (error == Smb1OnlyCode)
        error = EPROTO;
    // The library drops a server that answers its negotiation in SMB1 only.
    if (error != ECONNABORTED && error != ECONNRESET)
        return error;
    {
        std::lock_guard lock(Mutex);
        if (AllowSmb1)
            return error;
        if (const auto it = Smb1Only.find(host); it != Smb1Only.end())
            return it->second ? Smb1OnlyCode : error;
    }
    const TkxSmbDialects dialects = ProbeSmbDialects(host, port, SmbProbeLimit, cancel);
    if (dialects == TkxSmbDialects::Unknown)
        return error; // asked again next time
    std::lock_guard lock(Mutex);
    if (Smb1Only.size() >= MostProbedHosts)
        Smb1Only.clear();
    Smb1Only[host] = dialects == TkxSmbDialects::Smb1Only;
    return dialects == TkxSmbDialects::Smb1Only ? Smb1OnlyCode : error;
}

int TkxPlatformServices::EnterHost(const std::string& host, const TkxCancelToken& cancel,
                                   bool* trial) {
    *trial = false;
    std::unique_lock lock(Mutex);
    const auto own = HostAccount.find(host);
    if (!(own != HostAccount.end() ? own->second : DefaultAccount))
        return 0;
    for (;;) {
        TLogon& state = Logons[host];
        switch (state) {
        case TLogon::Accepted:
            return 0;
        case TLogon::Refused:
            return Fail(LogonFailureCode);
        case TLogon::Untried:
            state = TLogon::Trying;
            *trial = true;
            return 0;
        case TLogon::Trying:
            break;
        }
        if (!LogonSettled.wait(lock, cancel.StopToken(), [&] {
                const auto it = Logons.find(host);
                return it == Logons.end() || it->second != TLogon::Trying;
            }))
            return Fail(ECANCELED);
    }
}

void TkxPlatformServices::LeaveHost(const std::string& host, bool trial, int error) {
    if (!trial && error != LogonFailureCode)
        return;
    std::lock_guard lock(Mutex);
    TLogon& state = Logons[host];
    if (error == LogonFailureCode) {
        state = TLogon::Refused;
    } else if (trial) {
        // Any answer of the server but a refusal means it took the logon; a lost connection or
        // a cancelled request leaves the question open for the next request.
        const bool answered =
            error == 0 || TkxNetResult::FromCode(error).Kind == TkxNetResult::Lasting;
        state = answered ? TLogon::Accepted : TLogon::Untried;
    }
    if (trial)
        LogonSettled.notify_all();
}

int TkxPlatformServices::Admit(const std::string& host, std::uint16_t port,
                               const TkxCancelToken& cancel) {
    bool trial = false;
    if (const int refused = EnterHost(host, cancel, &trial))
        return refused;
    if (!trial)
        return 0;
    std::vector<TkxShareEntry> ignored;
    const int error =
        Recognise(host, port, Helpers.ListShares(host, port, ignored, cancel), cancel);
    LeaveHost(host, true, error);
    // Anything else is for the folder's own request to find out again.
    return error == LogonFailureCode ? Fail(error) : 0;
}

void TkxPlatformServices::LookAhead(const std::vector<quint32>& networkOrderAddresses) {
    Names.LookAhead(networkOrderAddresses);
    Hosts.ScreenAhead(networkOrderAddresses);
}

void TkxPlatformServices::SetConnectTimeout(std::chrono::milliseconds timeout) {
    Hosts.SetLimit(timeout);
}

void TkxPlatformServices::EndSearch() {
    Hosts.Clear();
}

void TkxPlatformServices::BeginSearch() {
    Names.Clear();
    Hosts.Clear();
    std::lock_guard lock(Mutex);
    Smb1Only.clear();
    // A trial under way settles its host again when it ends.
    std::erase_if(Logons, [](const auto& entry) { return entry.second != TLogon::Trying; });
}

void TkxPlatformServices::ForgetPasswords() {
    Helpers.ForgetPasswords();
}

namespace {
bool IsShareRoot(const std::string& url) {
    const std::size_t slash = url.find('/', 6);
    return slash != std::string::npos && url.find('/', slash + 1) == std::string::npos;
}
} // namespace

TkxNetResult TkxPlatformServices::ListShares(const QString& host, std::vector<TkxShareEntry>& out,
                                             const TkxCancelToken& cancel) {
    out.clear();
    LastErrno = 0;
    TkxSmbTarget target;
    if (!UncToSmbTarget(QStringLiteral("\\\\") + host, target) || target.HasShare())
        return TkxNetResult::FromCode(Fail(EINVAL));
    // A host that does not answer the screen is no server: no failure. One that could not be
    // screened for want of sockets is not known to be none.
    const std::uint16_t port = PortFor(target.Host, cancel);
    if (!port)
        return IsShortage(LastErrno) ? TkxNetResult::FromCode(LastErrno)
                                     : TkxNetResult::NotServer(LastErrno);
    bool trial = false;
    if (const int refused = EnterHost(target.Host, cancel, &trial))
        return TkxNetResult::FromCode(refused);
    const int error =
        Recognise(target.Host, port, Helpers.ListShares(target.Host, port, out, cancel), cancel);
    LeaveHost(target.Host, trial, error);
    if (error != 0) {
        Judge(target.Host, error, false);
        out.clear();
        return TkxNetResult::FromCode(error);
    }
    // Printer queues, devices and the IPC share hold no folders: their listing fails by
    // nature, which is no failure of the search.
    std::lock_guard lock(Mutex);
    for (const TkxShareEntry& share : out) {
        TkxSmbTarget shareTarget;
        if ((share.Type == 1 || share.Type == 2 || share.Type == 3) &&
            UncToSmbTarget(QStringLiteral("\\\\") + host + u'\\' + share.Name, shareTarget))
            NoFolders.insert(shareTarget.Url);
    }
    return {};
}

TkxNetResult TkxPlatformServices::ListFolder(const QString& uncPath, std::vector<TkxDirEntry>& out,
                                             const TkxCancelToken& cancel) {
    return List(uncPath, out, cancel, false);
}

TkxNetResult TkxPlatformServices::ListKnownFolder(const QString& uncPath,
                                                  std::vector<TkxDirEntry>& out,
                                                  const TkxCancelToken& cancel) {
    return List(uncPath, out, cancel, true);
}

TkxNetResult TkxPlatformServices::List(const QString& uncPath, std::vector<TkxDirEntry>& out,
                                       const TkxCancelToken& cancel, bool ownIdKnown) {
    out.clear();
    LastErrno = 0;
    TkxSmbTarget target;
    if (!UncToSmbTarget(uncPath, target) || !target.HasShare())
        return TkxNetResult::FromCode(Fail(EINVAL));
    if (IsShareRoot(target.Url)) {
        const QStringList parts = uncPath.split(u'\\', Qt::SkipEmptyParts);
        bool noFolders = parts.size() == 2 && parts[1].compare(u"IPC$", Qt::CaseInsensitive) == 0;
        if (!noFolders) {
            std::lock_guard lock(Mutex);
            noFolders = NoFolders.count(target.Url) > 0;
        }
        if (noFolders)
            return {};
    }
    // The path came from a listing of this host, so a host that stopped answering is a
    // failure here (it may pass), not an address without a server.
    const std::uint16_t port = PortFor(target.Host, cancel);
    if (!port)
        return TkxNetResult::FromCode(LastErrno);
    if (const int refused = Admit(target.Host, port, cancel))
        return TkxNetResult::FromCode(refused);
    const int error =
        Recognise(target.Host, port,
                  Helpers.ListDir(target.Host, target.Url, port, out, cancel, ownIdKnown), cancel);
    LeaveHost(target.Host, false, error);
    if (error != 0) {
        Judge(target.Host, error, true);
        out.clear();
        return TkxNetResult::FromCode(error);
    }
    return {};
}
quint64 TkxPlatformServices::FolderId(const QString& uncPath, const TkxCancelToken& cancel) {
    LastErrno = 0;
    TkxSmbTarget target;
    if (!UncToSmbTarget(uncPath, target) || !target.HasShare()) {
        Fail(EINVAL);
        return 0;
    }
    const std::uint16_t port = PortFor(target.Host, cancel);
    if (!port)
        return 0;
    if (Admit(target.Host, port, cancel))
        return 0;
    TkxDirEntry entry;
    const int error = Recognise(target.Host, port,
                                Helpers.Stat(target.Host, target.Url, port, entry, cancel), cancel);
    if (error != 0) {
        Judge(target.Host, error, true);
        return 0;
    }
    return entry.FileId;
}
