#include "platform/kxPlatformServices.h"

#include "platform/kxSmbNegotiate.h"
#include "platform/kxSmbPaths.h"

#include <QDateTime>
#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
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

TkxPlatformServices::TAccount TkxPlatformServices::AccountOf(const TkxCredentials& c) {
    TAccount a;
    a.Any = !c.User.isEmpty() || c.UseKerberos;
    a.TicketOnly = c.TicketOnly();
    if (a.TicketOnly)
        a.Principal = c.User.trimmed();
    return a;
}

TkxCredentials TkxPlatformServices::TicketCredentials(const TAccount& a) {
    TkxCredentials c;
    c.UseKerberos = true;
    // Without a user name libsmbclient would log on anonymously; the helper refuses that.
    c.User = a.Principal.isEmpty() ? a.Sent : a.Principal;
    return c;
}

TkxTicketCache TkxPlatformServices::Ticket(bool fresh) {
    std::lock_guard lock(TicketMutex);
    const auto now = std::chrono::steady_clock::now();
    if (fresh || !TicketRead || now - TicketReadAt >= TicketRecheck) {
        TicketSeen = FindTicketCache();
        TicketReadAt = now;
        TicketRead = true;
    }
    return TicketSeen;
}

void TkxPlatformServices::SetCredentials(const TkxCredentials& credentials) {
    TAccount account = AccountOf(credentials);
    if (account.TicketOnly && account.Principal.isEmpty())
        account.Sent = Ticket(true).Principal;
    {
        std::lock_guard lock(Mutex);
        DefaultAccount = account;
    }
    if (account.TicketOnly)
        Helpers.SetCredentials(TicketCredentials(account));
    else
        Helpers.SetCredentials(credentials);
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
    TAccount account;
    if (credentials) {
        account = AccountOf(*credentials);
        if (account.TicketOnly && account.Principal.isEmpty())
            account.Sent = Ticket(true).Principal;
    }
    if (credentials && account.TicketOnly) {
        const TkxCredentials c = TicketCredentials(account);
        Helpers.SetHostCredentials(target.Host, &c);
    } else {
        Helpers.SetHostCredentials(target.Host, credentials);
    }
    std::lock_guard lock(Mutex);
    if (credentials)
        HostAccount[target.Host] = account;
    else
        HostAccount.erase(target.Host);
    // Other credentials deserve their own attempt.
    if (const auto it = Logons.find(target.Host);
        it != Logons.end() && it->second != TLogon::Trying)
        Logons.erase(it);
}

namespace {

std::string DottedText(quint32 networkOrderAddress) {
    in_addr a{};
    a.s_addr = networkOrderAddress;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool IsAddress(const std::string& host) {
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1;
}

// getaddrinfo's answer to whether name maps back to the address (when c-ares is not there).
bool ConfirmedBySystem(const QString& name, quint32 networkOrderAddress) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.toUtf8().constData(), nullptr, &hints, &found) != 0)
        return false;
    bool confirmed = false;
    for (const addrinfo* a = found; a && !confirmed; a = a->ai_next)
        confirmed = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr ==
                    networkOrderAddress;
    freeaddrinfo(found);
    return confirmed;
}

} // namespace

void TkxPlatformServices::KeepWireName(const std::string& host, const std::string& wire) {
    // Bounded like the resolver's questions; a host beyond asks again.
    if (WireNames.size() < TkxNameResolver::MostQueued)
        WireNames[host] = wire;
}

QString TkxPlatformServices::ReverseLookup(quint32 networkOrderAddress,
                                           const TkxCancelToken& cancel) {
    LastErrno = 0;
    if (cancel.IsCancelled()) {
        Fail(ECANCELED);
        return {};
    }
    QString name;
    if (Names.Ready()) {
        int error = 0;
        name = Names.Lookup(networkOrderAddress, cancel, &error, TkxNameResolver::TWait::Dns);
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
    } else {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = networkOrderAddress;
        char found[NI_MAXHOST];
        const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, found,
                                   sizeof found, nullptr, 0, NI_NAMEREQD);
        if (rc != 0) {
            Fail(ENOENT);
        } else {
            found[sizeof found - 1] = '\0';
            name = NameFromServer(found);
        }
    }
    if (LastErrno == ECANCELED)
        return name;
    // The name goes on the wire only when it maps back to the address: a reverse zone may
    // claim any name, and the server behind another name is another server.
    const int lookupError = LastErrno;
    std::string wire;
    if (IsWireHostName(name)) {
        int error = 0;
        const bool confirmed = Names.Ready()
                                   ? Names.Confirms(networkOrderAddress, name, cancel, &error)
                                   : ConfirmedBySystem(name, networkOrderAddress);
        if (error == ECANCELED)
            return name;
        if (confirmed)
            wire = name.toStdString();
    }
    {
        std::lock_guard lock(Mutex);
        KeepWireName(DottedText(networkOrderAddress), wire);
    }
    LastErrno = lookupError;
    return name;
}

std::string TkxPlatformServices::WireName(const std::string& host, const TkxCancelToken& cancel) {
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1)
        return {}; // a name already: connected by it
    {
        std::lock_guard lock(Mutex);
        if (const auto it = WireNames.find(host); it != WireNames.end())
            return it->second;
    }
    // Not looked up this search (a folder continued from a project file, say).
    const int saved = LastErrno;
    ReverseLookup(a.s_addr, cancel);
    LastErrno = saved;
    std::lock_guard lock(Mutex);
    const auto it = WireNames.find(DottedText(a.s_addr));
    const std::string wire = it != WireNames.end() ? it->second : std::string();
    if (it != WireNames.end())
        KeepWireName(host, wire); // the address as the path spells it
    return wire;
}

TkxNetResult TkxPlatformServices::Route(const std::string& host, const TkxCancelToken& cancel,
                                        std::string* wire) {
    *wire = WireName(host, cancel);
    TAccount account;
    {
        std::lock_guard lock(Mutex);
        const auto own = HostAccount.find(host);
        account = own != HostAccount.end() ? own->second : DefaultAccount;
    }
    if (!account.TicketOnly)
        return {};
    const TkxTicketCache ticket = Ticket();
    const QString principal = account.Principal.isEmpty() ? account.Sent : account.Principal;
    TkxNetResult refused;
    if (!ticket.HasTicket ||
        (!account.Principal.isEmpty() &&
         ticket.Principal.compare(account.Principal, Qt::CaseInsensitive) != 0)) {
        refused = TkxNetResult::FromCode(Fail(NoTicketCode));
        if (!account.Principal.isEmpty())
            refused.Text += QStringLiteral(" for ") + account.Principal;
    } else if (ticket.ExpiredAt(QDateTime::currentSecsSinceEpoch())) {
        refused = TkxNetResult::FromCode(Fail(TicketExpiredCode));
    } else if (account.Principal.isEmpty() && ticket.Principal != principal) {
        // Another kinit since the helpers were told: they log on as the new principal from
        // the next search on; this one must not pass as the old.
        refused = TkxNetResult::FromCode(Fail(NoTicketCode));
        refused.Text += QStringLiteral(" for ") + principal;
    } else if (wire->empty() && IsAddress(host)) {
        refused = TkxNetResult::FromCode(Fail(NeedsNameCode));
        refused.Text += QStringLiteral("; no DNS name maps to ") + QString::fromStdString(host);
    }
    return refused;
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
    bool unknown = false;
    error = RecogniseKnown(host, error, &unknown);
    if (!unknown)
        return error;
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
    if (!(own != HostAccount.end() ? own->second : DefaultAccount).Any)
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
        // Only a listing proves the logon was taken: whatever else failed (a lost connection,
        // a cancelled request, an answer the helper could not read as a refusal) leaves the
        // question open for the next request.
        state = error == 0 ? TLogon::Accepted : TLogon::Untried;
    }
    if (trial)
        LogonSettled.notify_all();
}

int TkxPlatformServices::Admit(const std::string& host, const std::string& wire, std::uint16_t port,
                               const TkxCancelToken& cancel) {
    bool trial = false;
    if (const int refused = EnterHost(host, cancel, &trial))
        return refused;
    if (!trial)
        return 0;
    std::vector<TkxShareEntry> ignored;
    const int error =
        Recognise(host, port, Helpers.ListShares(host, port, ignored, cancel, wire), cancel);
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
    bool ticketOnly = false;
    {
        std::lock_guard lock(Mutex);
        ticketOnly = DefaultAccount.TicketOnly;
        for (const auto& [host, account] : HostAccount)
            ticketOnly = ticketOnly || account.TicketOnly;
    }
    const QString principal = ticketOnly ? Ticket(true).Principal : QString();
    // Accounts that are whoever the cache holds follow a kinit made since.
    std::optional<TAccount> resendDefault;
    std::vector<std::pair<std::string, TAccount>> resend;
    {
        std::lock_guard lock(Mutex);
        // A trial under way settles its host again when it ends.
        std::erase_if(Logons, [](const auto& entry) { return entry.second != TLogon::Trying; });
        WireNames.clear();
        Smb1Only.clear();
        auto follows = [&](TAccount& a) {
            if (!a.TicketOnly || !a.Principal.isEmpty() || a.Sent == principal)
                return false;
            a.Sent = principal;
            return true;
        };
        if (follows(DefaultAccount))
            resendDefault = DefaultAccount;
        for (auto& [host, account] : HostAccount) {
            if (follows(account))
                resend.emplace_back(host, account);
        }
    }
    if (resendDefault)
        Helpers.SetCredentials(TicketCredentials(*resendDefault));
    for (const auto& [host, account] : resend) {
        const TkxCredentials c = TicketCredentials(account);
        Helpers.SetHostCredentials(host, &c);
    }
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
    std::string wire;
    if (TkxNetResult refused = Route(target.Host, cancel, &wire); refused.Failed())
        return refused;
    bool trial = false;
    if (const int refused = EnterHost(target.Host, cancel, &trial))
        return TkxNetResult::FromCode(refused);
    const int error = Recognise(target.Host, port,
                                Helpers.ListShares(target.Host, port, out, cancel, wire), cancel);
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
    std::string wire;
    if (TkxNetResult refused = Route(target.Host, cancel, &wire); refused.Failed())
        return refused;
    if (const int refused = Admit(target.Host, wire, port, cancel))
        return TkxNetResult::FromCode(refused);
    const int error = Recognise(
        target.Host, port,
        Helpers.ListDir(target.Host, target.Url, port, out, cancel, ownIdKnown, wire), cancel);
    LeaveHost(target.Host, false, error);
    if (error != 0) {
        Judge(target.Host, error, true);
        out.clear();
        return TkxNetResult::FromCode(error);
    }
    return {};
}
class TkxPlatformServices::TListing final : public TkxNetListing {
public:
    TListing(TkxPlatformServices& services, std::string host,
             std::unique_ptr<TkxSmbPool::Request> request)
        : Services(services), Host(std::move(host)), Request(std::move(request)) {}
    int Fd() const override { return Request->Fd(); }
    bool Step(std::chrono::steady_clock::time_point now) override { return Request->Step(now); }
    std::chrono::steady_clock::time_point StallAt() const override { return Request->StallAt(); }
    bool NeedsThread() const override { return Request->NeedsThread(); }
    TkxNetResult Result(std::vector<TkxDirEntry>& out) override {
        out.clear();
        TkxNetResult result = Services.Listed(Host, Request->Error());
        if (result)
            out = std::move(Request->Entries());
        return result;
    }

private:
    TkxPlatformServices& Services;
    const std::string Host;
    const std::unique_ptr<TkxSmbPool::Request> Request;
};

std::unique_ptr<TkxNetListing> TkxPlatformServices::StartListing(const QString& uncPath,
                                                                 bool ownIdKnown,
                                                                 std::function<void()> wake) {
    // Only the common case goes without a thread: a folder below a share root of a host
    // screened and logged on to this search. Anything that could wait goes the blocking way.
    TkxSmbTarget target;
    if (!UncToSmbTarget(uncPath, target) || !target.HasShare() || IsShareRoot(target.Url))
        return nullptr;
    const std::uint16_t port = Hosts.KnownPort(target.Host);
    if (!port)
        return nullptr;
    std::string wire;
    {
        std::lock_guard lock(Mutex);
        const auto own = HostAccount.find(target.Host);
        const TAccount& account = own != HostAccount.end() ? own->second : DefaultAccount;
        if (account.TicketOnly)
            return nullptr;
        if (account.Any) {
            const auto logon = Logons.find(target.Host);
            if (logon == Logons.end() || logon->second != TLogon::Accepted)
                return nullptr;
        }
        in_addr a{};
        if (inet_pton(AF_INET, target.Host.c_str(), &a) == 1) {
            const auto it = WireNames.find(target.Host);
            if (it == WireNames.end())
                return nullptr;
            wire = it->second;
        }
    }
    std::unique_ptr<TkxSmbPool::Request> request =
        Helpers.BeginListDir(target.Url, port, ownIdKnown, wire, std::move(wake));
    if (!request)
        return nullptr;
    return std::make_unique<TListing>(*this, target.Host, std::move(request));
}

int TkxPlatformServices::RecogniseKnown(const std::string& host, int error, bool* unknown) {
    // Only a probe of ours says SMB1.
    if (error == Smb1OnlyCode)
        error = EPROTO;
    // The library drops a server that answers its negotiation in SMB1 only.
    if (error != ECONNABORTED && error != ECONNRESET)
        return error;
    std::lock_guard lock(Mutex);
    if (AllowSmb1)
        return error;
    const auto it = Smb1Only.find(host);
    if (it == Smb1Only.end() && unknown)
        *unknown = true;
    return it != Smb1Only.end() && it->second ? Smb1OnlyCode : error;
}

TkxNetResult TkxPlatformServices::Listed(const std::string& host, int error) {
    error = RecogniseKnown(host, error);
    LeaveHost(host, false, error);
    if (error != 0)
        Judge(host, error, true);
    return TkxNetResult::FromCode(error);
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
    std::string wire;
    if (Route(target.Host, cancel, &wire).Failed() || Admit(target.Host, wire, port, cancel))
        return 0;
    TkxDirEntry entry;
    const int error =
        Recognise(target.Host, port,
                  Helpers.Stat(target.Host, target.Url, port, entry, cancel, wire), cancel);
    if (error != 0) {
        Judge(target.Host, error, true);
        return 0;
    }
    return entry.FileId;
}
