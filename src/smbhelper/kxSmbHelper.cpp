// orvane-smb-helper: the only place that calls libsmbclient, which is not safe to use from
// several threads. One request at a time arrives on fd 3 (a socketpair with the search
// process); the answer is streamed back as entries and one END. EOF on fd 3 ends the process.
// Credentials arrive only over the socket, never through argv, the environment or a file.

#include "smbhelper/kxSmbProtocol.h"

#include <libsmbclient.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace kxsmb;

constexpr std::size_t MaxRequest = 64 * 1024;
constexpr std::size_t FlushAt = 64 * 1024;
// Connections to this many servers stay cached; a request to one more drops them all, so a
// helper walking a large range does not collect sockets.
constexpr std::size_t MaxCachedHosts = 8;

struct Credentials {
    std::string User, Domain, Password;
    bool Kerberos = false;

    // A ticket is an account too: its refusal must not become an anonymous logon.
    bool HasAccount() const { return !User.empty() || Kerberos; }
    bool TicketOnly() const { return Kerberos && Password.empty(); }
};

Credentials Creds;
// Hosts with credentials of their own, by HostKey; every other host gets Creds.
std::map<std::string, Credentials> HostCreds;
// Those of the host the current request goes to, and the key of the name it is reached by.
const Credentials* Current = &Creds;
std::string CurrentWire;
SMBCCTX* Ctx = nullptr;
std::uint8_t Protocols = 0; // ProtocolFlags
int TimeoutMs = 5000;
bool DebugLog = false;
std::set<std::string> CachedHosts;
Writer Out;
// The user's ticket cache as the helper was started with it: libsmbclient points KRB5CCNAME at
// a memory cache of its own when it logs on with a password, and a logon with the ticket must
// find the user's again.
std::string UserCCache;
bool HadCCache = false;
// The server refused a session set-up of the current request (see LogCallback).
bool SessionRefused = false;

void WipeString(std::string& s) {
    volatile char* p = s.data();
    for (std::size_t i = 0; i < s.size(); ++i)
        p[i] = 0;
    s.clear();
}

// Hosts as they appear in URLs (percent-encoded), letters in lower case: host names are not
// case-sensitive, and libsmbclient hands the auth callback the decoded name.
std::string HostKeyOfEncoded(std::string_view encoded) {
    std::string key(encoded);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

std::string HostKey(std::string_view name) {
    return HostKeyOfEncoded(PercentEncode(name));
}

const Credentials& CredentialsFor(const std::string& key) {
    const auto it = HostCreds.find(key);
    return it != HostCreds.end() ? it->second : Creds;
}

// What libsmbclient said during the current request. Its errno cannot tell a server's
// garbage reply (status "invalid network response", EINVAL) from a name it refused or could
// not convert (EINVAL as well); its log at level 3 can: a connection that was being made and
// never became one, or the status itself, without a conversion error.
struct TRequestLog {
    bool Connecting = false;      // "Connecting to HOST at port N"
    bool Connected = false;       // "Server connect ok"
    bool ConversionError = false; // a name in a reply could not be converted
    bool BadResponse = false;     // NT_STATUS_INVALID_NETWORK_RESPONSE
};
TRequestLog Seen;

void BeginRequest() {
    Seen = {};
}

int Classified(int err) {
    if (err != EINVAL || Seen.ConversionError)
        return err;
    if ((Seen.Connecting && !Seen.Connected) || Seen.BadResponse)
        return ErrBadReply;
    return err;
}

// Level 3 tells a refused session set-up, whatever errno the refusal is then mapped to (a
// domain controller answers a wrong password for user@REALM with NT_STATUS_NOT_FOUND, which
// becomes EINVAL); lower levels say nothing of it.
constexpr int LibraryLogLevel = 3;

// libsmbclient would print to stdout; keep its words off every stream unless asked.
void LogCallback(void*, int level, const char* msg) {
    if (!msg)
        return;
    if (std::strstr(msg, "Connecting to "))
        Seen.Connecting = true;
    else if (std::strstr(msg, "Server connect ok"))
        Seen.Connected = true;
    else if (std::strstr(msg, "Conversion error"))
        Seen.ConversionError = true;
    else if (std::strstr(msg, "c00000c3"))
        Seen.BadResponse = true;
    if (std::strstr(msg, "SPNEGO login failed"))
        SessionRefused = true;
    if (DebugLog)
        std::fprintf(stderr, "orvane-smb-helper[%d] %d: %s", static_cast<int>(getpid()), level,
                     msg);
}

void CopyField(char* dst, int len, const std::string& value) {
    if (len <= 0)
        return;
    const std::size_t n = std::min(value.size(), static_cast<std::size_t>(len - 1));
    std::memcpy(dst, value.data(), n);
    dst[n] = '\0';
}

// The key of the server named in the last call: the library asks for every folder it opens,
// nearly always about the same server.
std::string AskedServer, AskedKey;

// Asked by server name, so a server reached through another (a referral) gets its own.
void AuthData(SMBCCTX*, const char* server, const char*, char* wg, int wglen, char* un, int unlen,
              char* pw, int pwlen) {
    if (server && AskedServer != server) {
        AskedServer = server;
        AskedKey = HostKey(server);
    }
    const Credentials& c = server && AskedKey != CurrentWire ? CredentialsFor(AskedKey) : *Current;
    if (!c.Domain.empty())
        CopyField(wg, wglen, c.Domain);
    CopyField(un, unlen, c.User);
    CopyField(pw, pwlen, c.Password);
}

// The options are the context's, not a server's: set before every request for its host.
void ApplyCredentialOptions(const Credentials& c) {
    // An account logs on with Kerberos where the server's name and the user's realm allow it
    // (libsmbclient gets a ticket with the password itself); with a password it may fall back
    // to NTLM, with the ticket alone it may not.
    smbc_setOptionUseKerberos(Ctx, c.HasAccount() ? 1 : 0);
    smbc_setOptionFallbackAfterKerberos(Ctx, c.TicketOnly() ? 0 : 1);
    smbc_setOptionUseCCache(Ctx, c.TicketOnly() ? 1 : 0);
    // With an account given, a refused logon must fail, not quietly become an anonymous one.
    smbc_setOptionNoAutoAnonymousLogin(Ctx, c.HasAccount() ? 1 : 0);
    if (c.TicketOnly()) {
        if (HadCCache)
            setenv("KRB5CCNAME", UserCCache.c_str(), 1);
        else
            unsetenv("KRB5CCNAME");
    }
}

// The protocol range is a setting of the whole library, not of the context.
void ApplyProtocols() {
    // SMB1 as the lowest offered: a server that speaks SMB 2 or 3 still picks its highest.
    smbc_setOptionProtocols(Ctx, (Protocols & ProtocolsSmb1) ? "NT1" : "SMB2_02", nullptr);
}

bool EnsureContext() {
    if (Ctx)
        return true;
    SMBCCTX* ctx = smbc_new_context();
    if (!ctx)
        return false;
    // Level 3 says how a connection went (a few lines per connection made, none per listing):
    // what tells a garbage reply apart. Nothing reaches a stream unless asked (LogCallback).
    smbc_setDebug(ctx, LibraryLogLevel);
    smbc_setLogCallback(ctx, nullptr, LogCallback);
    smbc_setTimeout(ctx, TimeoutMs);
    smbc_setFunctionAuthDataWithContext(ctx, AuthData);
    Ctx = ctx;
    if (Protocols != 0)
        ApplyProtocols();
    ApplyCredentialOptions(Creds);
    if (!smbc_init_context(ctx)) {
        smbc_free_context(ctx, 1);
        Ctx = nullptr;
        return false;
    }
    return true;
}

void Flush() {
    if (!Out.Buf.empty() && !kxsmb::SendAll(HelperFd, Out.Buf.data(), Out.Buf.size()))
        std::_Exit(0); // the search process is gone
    Out.Buf.clear();
}

void SendEnd(int err, std::uint32_t count) {
    Out.Begin(MsgEnd);
    Out.I32(err);
    Out.U32(count);
    Out.End();
    Flush();
}

TimeSpec ToSpec(const timespec& ts) {
    TimeSpec t;
    t.Sec = ts.tv_sec;
    t.Nsec = static_cast<std::uint32_t>(ts.tv_nsec);
    return t;
}

std::string HostOfUrl(std::string_view url) {
    constexpr std::string_view scheme = "smb://";
    if (url.substr(0, scheme.size()) != scheme)
        return {};
    url.remove_prefix(scheme.size());
    return std::string(url.substr(0, url.find('/')));
}

// The URL with its host replaced by the (encoded) wire name.
std::string OnWire(std::string_view url, const std::string& host, const std::string& wire) {
    if (wire.empty() || wire == host)
        return std::string(url);
    return "smb://" + wire + std::string(url.substr(6 + host.size()));
}

// An IPv4 address as a URL carries it.
bool IsAddressLiteral(const std::string& host) {
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

// Readies the context for a request to host (as encoded in the URL) reached as wire. An errno
// when the logon can not be tried at all: the ticket alone needs a principal and a server's name.
int PrepareFor(const std::string& host, const std::string& wire, std::uint16_t port) {
    if (!CachedHosts.count(wire) && CachedHosts.size() >= MaxCachedHosts) {
        smbc_getFunctionPurgeCachedServers(Ctx)(Ctx);
        CachedHosts.clear();
    }
    CachedHosts.insert(wire);
    smbc_setPort(Ctx, port);
    Current = &CredentialsFor(HostKeyOfEncoded(host));
    CurrentWire = HostKeyOfEncoded(wire);
    ApplyCredentialOptions(*Current);
    SessionRefused = false;
    if (Current->TicketOnly()) {
        // libsmbclient would log on anonymously without a user name, and refuses a ticket for
        // an address only after asking the server.
        if (Current->User.empty())
            return ErrNoTicket;
        if (IsAddressLiteral(wire))
            return ErrNeedsName;
    }
    return 0;
}

std::uint32_t ShareTypeOf(unsigned int smbcType) {
    switch (smbcType) {
    case SMBC_PRINTER_SHARE:
        return SharePrinter;
    case SMBC_COMMS_SHARE:
        return ShareDevice;
    case SMBC_IPC_SHARE:
        return ShareIpc;
    default:
        return ShareDisk;
    }
}

bool Denied(int err) {
    return err == EACCES || err == EPERM;
}

// A refused session set-up is a logon failure whatever errno libsmbclient makes of it.
// libsmbclient also gives EACCES for a refused logon on a connection it had; with an account
// given, a server that will not even list its shares to it has refused the logon.
int LogonOr(int err, const std::string& wire) {
    if (!Current->HasAccount())
        return err;
    if (SessionRefused)
        return ErrLogonFailure;
    if (!Denied(err))
        return err;
    if (wire.empty())
        return ErrLogonFailure;
    errno = 0;
    SessionRefused = false;
    SMBCFILE* dir = smbc_getFunctionOpendir(Ctx)(Ctx, ("smb://" + wire + "/").c_str());
    const int probe = errno;
    if (dir) {
        smbc_getFunctionClosedir(Ctx)(Ctx, dir);
        return err;
    }
    return Denied(probe) || SessionRefused ? ErrLogonFailure : err;
}

void ListShares(std::uint16_t port, std::string_view host, std::string_view wireName) {
    if (!EnsureContext())
        return SendEnd(ENOMEM, 0);
    const std::string encodedHost = PercentEncode(host);
    const std::string wire = wireName.empty() ? encodedHost : PercentEncode(wireName);
    if (const int refused = PrepareFor(encodedHost, wire, port))
        return SendEnd(refused, 0);
    const std::string url = "smb://" + wire + "/";
    errno = 0;
    SMBCFILE* dir = smbc_getFunctionOpendir(Ctx)(Ctx, url.c_str());
    if (!dir)
        return SendEnd(Classified(LogonOr(errno ? errno : EIO, {})), 0);
    std::uint32_t count = 0;
    while (const smbc_dirent* e = smbc_getFunctionReaddir(Ctx)(Ctx, dir)) {
        if (e->smbc_type < SMBC_FILE_SHARE || e->smbc_type > SMBC_IPC_SHARE)
            continue; // workgroups and servers do not belong in a host's share list
        Out.Begin(MsgShare);
        Out.U32(ShareTypeOf(e->smbc_type));
        Out.Str(std::string_view(e->name, strnlen(e->name, e->namelen + 1)));
        Out.Str(e->comment ? std::string_view(e->comment) : std::string_view());
        if (Out.End())
            ++count;
        if (Out.Buf.size() >= FlushAt)
            Flush();
    }
    smbc_getFunctionClosedir(Ctx)(Ctx, dir);
    SendEnd(0, count);
}

// One listing in the order the server gave it, the file id of each folder beside it.
struct Listed {
    const libsmb_file_info* Info;
    std::uint64_t FileId;
};
std::vector<Listed> Listing;

bool IsFolder(const libsmb_file_info* fi) {
    return (fi->attrs & 0x10) != 0;
}

bool IsDot(const libsmb_file_info* fi, bool dotDot) {
    return fi->name && fi->name[0] == '.' &&
           (dotDot ? fi->name[1] == '.' && fi->name[2] == '\0' : fi->name[1] == '\0');
}

// readdirplus2 with a stat buffer looks the connection up again for every entry and rebuilds
// the credentials each time (a quarter of the helper's time on a large walk). Only folders
// need the file id it gives (".." never, "." only when wanted), so the entries are read
// without it first, then the listing is rewound and read again with the stat buffer for those
// folders alone. False when the second pass does not meet the same entries (the listing is
// then read again the plain way).
bool ReadFolderIds(SMBCFILE* dir, bool ownIdKnown) {
    const auto plus = smbc_getFunctionReaddirPlus(Ctx);
    const auto plus2 = smbc_getFunctionReaddirPlus2(Ctx);
    Listing.clear();
    while (const libsmb_file_info* fi = plus(Ctx, dir))
        Listing.push_back({fi, 0});
    if (smbc_getFunctionLseekdir(Ctx)(Ctx, dir, 0) != 0)
        return false;
    for (Listed& item : Listing) {
        if (!IsFolder(item.Info) || IsDot(item.Info, true) ||
            (ownIdKnown && IsDot(item.Info, false))) {
            if (plus(Ctx, dir) != item.Info)
                return false;
            continue;
        }
        struct stat st {};
        if (plus2(Ctx, dir, &st) != item.Info)
            return false;
        item.FileId = static_cast<std::uint64_t>(st.st_ino);
    }
    return plus(Ctx, dir) == nullptr;
}

// The plain way: every entry with its stat buffer.
void ReadEveryId(SMBCFILE* dir) {
    const auto plus2 = smbc_getFunctionReaddirPlus2(Ctx);
    Listing.clear();
    for (;;) {
        struct stat st {};
        const libsmb_file_info* fi = plus2(Ctx, dir, &st);
        if (!fi)
            break;
        Listing.push_back({fi, static_cast<std::uint64_t>(st.st_ino)});
    }
}

void PutEntry(std::string_view name, std::uint64_t fileId, std::uint32_t attrs, std::uint64_t size,
              const timespec& btime, const timespec& mtime, const timespec& atime) {
    Out.Begin(MsgDirEntry);
    Out.U32(attrs);
    Out.U64(size);
    Out.Time(ToSpec(btime));
    Out.Time(ToSpec(mtime));
    Out.Time(ToSpec(atime));
    Out.U64(fileId);
    Out.Str(name);
}

SMBCFILE* OpenDir(const std::string& url) {
    errno = 0;
    return smbc_getFunctionOpendir(Ctx)(Ctx, url.c_str());
}

void ListDir(std::uint16_t port, std::string_view url, std::uint8_t flags,
             std::string_view wireName) {
    if (!EnsureContext())
        return SendEnd(ENOMEM, 0);
    const std::string host = HostOfUrl(url);
    const std::string wire = wireName.empty() ? host : PercentEncode(wireName);
    if (const int refused = PrepareFor(host, wire, port))
        return SendEnd(refused, 0);
    const std::string u = OnWire(url, host, wire);
    SMBCFILE* dir = OpenDir(u);
    if (!dir)
        return SendEnd(Classified(LogonOr(errno ? errno : EIO, wire)), 0);
    if (!ReadFolderIds(dir, (flags & ListOwnIdKnown) != 0)) {
        smbc_getFunctionClosedir(Ctx)(Ctx, dir);
        dir = OpenDir(u);
        if (!dir)
            return SendEnd(Classified(errno ? errno : EIO), 0);
        ReadEveryId(dir);
    }
    std::uint32_t count = 0;
    for (const Listed& item : Listing) {
        const libsmb_file_info* fi = item.Info;
        if (!fi->name)
            continue;
        PutEntry(fi->name, item.FileId, fi->attrs, fi->size, fi->btime_ts, fi->mtime_ts,
                 fi->atime_ts);
        if (Out.End())
            ++count;
        if (Out.Buf.size() >= FlushAt)
            Flush();
    }
    Listing.clear();
    smbc_getFunctionClosedir(Ctx)(Ctx, dir);
    SendEnd(0, count);
}

void Stat(std::uint16_t port, std::string_view url, std::string_view wireName) {
    if (!EnsureContext())
        return SendEnd(ENOMEM, 0);
    const std::string host = HostOfUrl(url);
    const std::string wire = wireName.empty() ? host : PercentEncode(wireName);
    if (const int refused = PrepareFor(host, wire, port))
        return SendEnd(refused, 0);
    const std::string u = OnWire(url, host, wire);
    struct stat st {};
    errno = 0;
    if (smbc_getFunctionStat(Ctx)(Ctx, u.c_str(), &st) < 0) {
        const int err = Classified(errno ? errno : EIO);
        return SendEnd(Current->HasAccount() && SessionRefused ? ErrLogonFailure : err, 0);
    }
    // The stat call gives no DOS attributes or creation time; the mode says directory or not.
    const std::uint32_t attrs = S_ISDIR(st.st_mode) ? 0x10 : 0;
    PutEntry({}, static_cast<std::uint64_t>(st.st_ino), attrs,
             static_cast<std::uint64_t>(st.st_size), timespec{}, st.st_mtim, st.st_atim);
    Out.End();
    SendEnd(0, 1);
}

Credentials ReadCredentials(Reader& r) {
    Credentials c;
    c.User = std::string(r.Str());
    c.Domain = std::string(r.Str());
    c.Password = std::string(r.Str());
    c.Kerberos = r.U8() != 0;
    if (!r.Ok() || !r.AtEnd())
        std::_Exit(2);
    return c;
}

// Connections made with other credentials must not be reused.
void ForgetConnections() {
    if (Ctx) {
        smbc_getFunctionPurgeCachedServers(Ctx)(Ctx);
        CachedHosts.clear();
    }
}

void SetCredentials(Reader& r) {
    Credentials c = ReadCredentials(r);
    WipeString(Creds.Password);
    Creds = std::move(c);
    ForgetConnections();
    SendEnd(0, 0);
}

void SetProtocols(Reader& r) {
    const std::uint8_t flags = r.U8();
    if (!r.Ok() || !r.AtEnd())
        std::_Exit(2);
    Protocols = flags;
    if (Ctx) {
        ApplyProtocols();
        ForgetConnections();
    }
    SendEnd(0, 0);
}

void SetHostCredentials(Reader& r) {
    const std::string key = HostKey(r.Str());
    Credentials c = ReadCredentials(r);
    auto [it, added] = HostCreds.try_emplace(key);
    if (!added)
        WipeString(it->second.Password);
    it->second = std::move(c);
    Current = &Creds;
    ForgetConnections();
    SendEnd(0, 0);
}

// Requests as they arrive: one read takes whatever is there, a request split over several
// reads waits for the rest. Credentials pass through here, so consumed bytes are wiped.
class Inbox {
public:
    // The next whole request; false on EOF, a broken socket or a request too large to be one.
    bool Next(std::uint8_t& type, std::string_view& body) {
        Consume();
        for (;;) {
            std::uint32_t len = 0;
            if (PeekHeader(std::string_view(Buf, Have), len, type)) {
                if (len > MaxRequest)
                    return false;
                if (Have >= HeaderSize + len) {
                    Taken = HeaderSize + len;
                    body = std::string_view(Buf + HeaderSize, len);
                    return true;
                }
            }
            const ssize_t r = read(HelperFd, Buf + Have, sizeof Buf - Have);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            Have += static_cast<std::size_t>(r);
        }
    }
    // Forgets the request handed out last.
    void Consume() {
        if (Taken == 0)
            return;
        std::memmove(Buf, Buf + Taken, Have - Taken);
        volatile char* tail = Buf + Have - Taken;
        for (std::size_t i = 0; i < Taken; ++i)
            tail[i] = 0;
        Have -= Taken;
        Taken = 0;
    }
    void Wipe() {
        Taken = Have;
        Consume();
    }

private:
    char Buf[HeaderSize + MaxRequest];
    std::size_t Have = 0;
    std::size_t Taken = 0;
};

Inbox Requests;

void KeepStdioQuiet() {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return;
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    if (null > STDERR_FILENO)
        close(null);
}

} // namespace

#if defined(__SANITIZE_THREAD__)
// The helper has one thread, so there are no races to find; what ThreadSanitizer does report
// here is libsmbclient's own signal handling (tdb's handler changes errno), and with
// halt_on_error from the test environment that would kill the helper mid-request. The
// spawner forks helpers; a thread the library or the checker's runtime started in it would
// make the checker kill every helper forked after it.
extern "C" const char* __tsan_default_options() {
    return "report_bugs=0:die_after_fork=0";
}
#endif

namespace {

// Answers requests on HelperFd until EOF.
int Serve() {
    std::uint8_t type = 0;
    std::string_view body;
    while (Requests.Next(type, body)) {
        Reader r(body);
        switch (type) {
        case MsgSetCredentials:
            SetCredentials(r);
            break;
        case MsgSetHostCredentials:
            SetHostCredentials(r);
            break;
        case MsgSetProtocols:
            SetProtocols(r);
            break;
        case MsgListShares:
        case MsgListDir:
        case MsgStat: {
            const std::uint16_t port = r.U16();
            const std::string_view arg = r.Str();
            const std::uint8_t flags = type == MsgListDir && !r.AtEnd() ? r.U8() : 0;
            const std::string_view wire = r.AtEnd() ? std::string_view() : r.Str();
            if (!r.Ok() || !r.AtEnd())
                return 2;
            BeginRequest();
            if (type == MsgListShares)
                ListShares(port, arg, wire);
            else if (type == MsgListDir)
                ListDir(port, arg, flags, wire);
            else
                Stat(port, arg, wire);
            break;
        }
        default:
            return 2;
        }
    }
    Requests.Wipe();
    WipeString(Creds.Password);
    for (auto& [host, c] : HostCreds)
        WipeString(c.Password);
    return 0;
}

// --- the spawner -------------------------------------------------------------------------------

// A helper forked ahead, waiting to be handed out.
struct Forked {
    pid_t Pid = -1;
    int Sock = -1;  // the search process's end
    int PidFd = -1; // -1 when the kernel has none
};

// The search process, watched so that its death (a kill -9 included) takes the helpers along: a
// helper in the middle of a listing would otherwise go on until the server has answered.
int ParentPidFd = -1;
std::vector<pid_t> Children; // forked and not reaped yet

bool ReadFully(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// In the child: true, with fd 3 its own socket and nothing of the spawner's left open (the
// spawner holds no other helper's descriptors while it forks). In the spawner: false, with the
// new helper in `out` (Pid -1 when fork failed).
bool ForkHelper(Forked& out) {
    int sv[2];
    out = Forked{};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return false;
    const pid_t pid = fork();
    if (pid == 0) {
        // The control socket is replaced by the helper's own (dup2 clears close-on-exec, which
        // matters for nothing here but keeps fd 3 as an exec'd helper would find it).
        if (dup2(sv[1], HelperFd) < 0)
            std::_Exit(2);
        close(sv[0]);
        if (ParentPidFd >= 0)
            close(ParentPidFd);
        Children.clear();
        if (sv[1] != HelperFd)
            close(sv[1]);
        return true;
    }
    close(sv[1]);
    if (pid < 0) {
        close(sv[0]);
        return false;
    }
    out.Pid = pid;
    out.Sock = sv[0];
    Children.push_back(pid);
#ifdef SYS_pidfd_open
    out.PidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    return false;
}

// Hands a forked helper over: status, pid, and its socket and pidfd as ancillary data.
bool HandOver(const Forked& f) {
    char data[5];
    data[0] = f.Pid > 0 ? 0 : 1;
    const std::int32_t pid = f.Pid;
    std::memcpy(data + 1, &pid, sizeof pid);
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
    int fds[2] = {f.Sock, f.PidFd};
    const int nfds = f.Pid > 0 ? (f.PidFd >= 0 ? 2 : 1) : 0;
    if (nfds > 0) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(nfds * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(nfds * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds, nfds * sizeof(int));
    }
    ssize_t sent;
    do
        sent = sendmsg(HelperFd, &msg, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(sizeof data);
}

void Discard(Forked& f) {
    if (f.Sock >= 0)
        close(f.Sock);
    if (f.PidFd >= 0)
        close(f.PidFd);
    f = Forked{};
}

// Whether the search process has ended, waiting for it at most `ms` (-1: without limit).
bool ParentGone(int ms) {
    if (ParentPidFd < 0)
        return false;
    pollfd p{ParentPidFd, POLLIN, 0};
    int ready;
    do
        ready = poll(&p, 1, ms);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// Waits for the next request. False when the search process has gone (its end is noticed even
// while nothing is asked) or the connection ended.
bool NextRequest(char& op) {
    pollfd p[2] = {{HelperFd, POLLIN, 0}, {ParentPidFd, POLLIN, 0}};
    for (;;) {
        const int ready = poll(p, ParentPidFd >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (p[1].revents & POLLIN))
            return false;
        if (p[0].revents)
            return ReadFully(HelperFd, &op, 1);
    }
}

// The search process died: every helper it had goes with it, busy or not.
void EndChildren() {
    for (pid_t pid : Children)
        kill(pid, SIGKILL);
    for (pid_t pid : Children) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    Children.clear();
}

// The spawner's loop. Returns 1 in a forked child, which then serves as a helper; 0 when the
// search process has gone.
int Spawn() {
#ifdef SYS_pidfd_open
    ParentPidFd = static_cast<int>(syscall(SYS_pidfd_open, getppid(), 0));
    if (ParentPidFd >= 0)
        fcntl(ParentPidFd, F_SETFD, FD_CLOEXEC);
#endif
    // One helper is always forked ahead, so a request is answered at once.
    Forked reserve;
    if (ForkHelper(reserve))
        return 1;
    for (;;) {
        char op = 0;
        if (!NextRequest(op))
            break;
        if (op == SpawnHelper) {
            Forked given = reserve;
            reserve = Forked{};
            if (given.Pid <= 0 && ForkHelper(given))
                return 1;
            const bool sent = HandOver(given);
            Discard(given); // ours are copies now, or the helper is lost with the connection
            if (!sent)
                break;
            if (ForkHelper(reserve))
                return 1;
        } else if (op == ReapHelper) {
            std::int32_t pid = 0;
            if (!ReadFully(HelperFd, reinterpret_cast<char*>(&pid), sizeof pid))
                break;
            if (pid > 0) {
                while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                }
                Children.erase(std::remove(Children.begin(), Children.end(), pid), Children.end());
            }
            const char done = 0;
            if (!kxsmb::SendAll(HelperFd, &done, 1))
                break;
        } else {
            break;
        }
    }
    // The helper forked ahead reads EOF and ends. The connection also ends when the search
    // process dies; then its end shows here at once. (A pool that lets the spawner go kills it
    // right after closing, and its helpers live on.)
    Discard(reserve);
    if (ParentGone(2000))
        EndChildren();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Credentials arrive at any time and stay in memory: no core file or debugger of the same
    // user may read them. Helpers forked by the spawner inherit this.
    prctl(PR_SET_DUMPABLE, 0);
    std::signal(SIGPIPE, SIG_IGN);
    bool spawner = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc)
            TimeoutMs = std::max(100, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--spawner") == 0)
            spawner = true;
    }
    DebugLog = std::getenv("ORVANE_SMB_HELPER_DEBUG") != nullptr;
    if (const char* cc = std::getenv("KRB5CCNAME")) {
        UserCCache = cc;
        HadCCache = true;
    }
    struct stat st {};
    if (fstat(HelperFd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        std::fprintf(stderr, "orvane-smb-helper: started by the Orvane search, not by hand\n");
        return 2;
    }
    KeepStdioQuiet();
    if (spawner && Spawn() == 0)
        return 0;
    return Serve();
}
