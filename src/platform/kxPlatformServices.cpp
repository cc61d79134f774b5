#include "platform/kxPlatformServices.h"

#include "platform/kxSmbPaths.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

thread_local int LastErrno = 0;

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

} // namespace

TkxPlatformServices::TkxPlatformServices(TkxSmbPoolOptions options) : Helpers(std::move(options)) {}

int TkxPlatformServices::LastError() {
    return LastErrno;
}

void TkxPlatformServices::SetCredentials(const TkxCredentials& credentials) {
    Helpers.SetCredentials(credentials);
}

QString TkxPlatformServices::ReverseLookup(quint32 networkOrderAddress,
                                           const TkxCancelToken& cancel) {
    LastErrno = 0;
    if (cancel.IsCancelled()) {
        Fail(ECANCELED);
        return {};
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

void TkxPlatformServices::Judge(const std::string& host, int error) {
    Fail(error);
    if (IsConnectionError(error))
        Hosts.Forget(host);
}

bool TkxPlatformServices::ListShares(const QString& host, std::vector<TkxShareEntry>& out,
                                     const TkxCancelToken& cancel) {
    out.clear();
    LastErrno = 0;
    TkxSmbTarget target;
    if (!UncToSmbTarget(QStringLiteral("\\\\") + host, target) || target.HasShare()) {
        Fail(EINVAL);
        return false;
    }
    const std::uint16_t port = PortFor(target.Host, cancel);
    if (!port)
        return false;
    const int error = Helpers.ListShares(target.Host, port, out, cancel);
    if (error != 0) {
        Judge(target.Host, error);
        out.clear();
        return false;
    }
    return true;
}

bool TkxPlatformServices::ListFolder(const QString& uncPath, std::vector<TkxDirEntry>& out,
                                     const TkxCancelToken& cancel) {
    out.clear();
    LastErrno = 0;
    TkxSmbTarget target;
    if (!UncToSmbTarget(uncPath, target) || !target.HasShare()) {
        Fail(EINVAL);
        return false;
    }
    const std::uint16_t port = PortFor(target.Host, cancel);
    if (!port)
        return false;
    const int error = Helpers.ListDir(target.Host, target.Url, port, out, cancel);
    if (error != 0) {
        Judge(target.Host, error);
        out.clear();
        return false;
    }
    return true;
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
    TkxDirEntry entry;
    const int error = Helpers.Stat(target.Host, target.Url, port, entry, cancel);
    if (error != 0) {
        Judge(target.Host, error);
        return 0;
    }
    return entry.FileId;
}
