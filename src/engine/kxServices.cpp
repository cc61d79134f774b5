#include "engine/kxServices.h"

#include <QStringList>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

TkxCancelToken::TkxCancelToken() = default;

TkxCancelToken::~TkxCancelToken() {
    if (EventFd >= 0)
        close(EventFd);
}

namespace {
void Signal(int fd) {
    const std::uint64_t one = 1;
    // The counter cannot overflow on a single write; a failure leaves the flag for pollers.
    [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}
} // namespace

// Most tasks never wait on a file descriptor (a file, a range, a dead host): the eventfd is
// made only when someone asks for it.
int TkxCancelToken::Fd() const {
    std::lock_guard lock(FdMutex);
    if (EventFd < 0) {
        EventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (EventFd >= 0 && IsCancelled())
            Signal(EventFd);
    }
    return EventFd;
}

void TkxCancelToken::Cancel() {
    if (Cancelled.exchange(true, std::memory_order_acq_rel))
        return;
    {
        std::lock_guard lock(FdMutex);
        if (EventFd >= 0)
            Signal(EventFd);
    }
    Stop.request_stop();
}

TkxNetResult TkxNetResult::NotServer(int code) {
    TkxNetResult e;
    e.Kind = NoServer;
    e.Code = code;
    return e;
}

TkxNetResult TkxNetResult::FromCode(int code) {
    TkxNetResult e;
    if (code == 0)
        return e;
    e.Code = code;
    e.Kind = Lasting;
    switch (code) {
    case LogonFailureCode:
        e.Text = QStringLiteral("Logon failure");
        break;
    case NoTicketCode:
        e.Text = QStringLiteral("There is no Kerberos ticket");
        break;
    case TicketExpiredCode:
        e.Text = QStringLiteral("The Kerberos ticket has expired");
        break;
    case NeedsNameCode:
        e.Text = QStringLiteral("Kerberos needs the server's name");
        break;
    case EACCES:
    case EPERM:
        e.Text = QStringLiteral("Access denied");
        break;
    case ENOENT:
        e.Text = QStringLiteral("No such share or folder");
        break;
    case ENOTDIR:
        e.Text = QStringLiteral("Not a folder");
        break;
    case EINVAL:
    case EILSEQ:
        // Also what libsmbclient gives for a whole listing when one name in it can not be
        // converted (an unpaired surrogate): it hands out none of the entries then.
        e.Text = QStringLiteral("Name refused, or a name in the listing can not be read");
        break;
    case BadReplyCode:
        // Asking the server again will not make its garbage a reply.
        e.Text = QStringLiteral("The server's reply could not be read");
        break;
    case ENAMETOOLONG:
        e.Text = QStringLiteral("Name too long");
        break;
    case EFBIG:
        e.Text = QStringLiteral("Too many entries");
        break;
    case Smb1OnlyCode:
        e.Text = QStringLiteral("The server speaks only SMB1, which is turned off");
        break;
    case ECONNRESET:
    case EPIPE:
    case EIO:
    case ECONNABORTED:
        e.Kind = Passing;
        e.Text = QStringLiteral("Connection lost");
        break;
    case ECONNREFUSED:
        e.Kind = Passing;
        e.Text = QStringLiteral("Connection refused");
        break;
    case ETIMEDOUT:
        e.Kind = Passing;
        e.Text = QStringLiteral("Timed out");
        break;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        e.Kind = Passing;
        e.Text = QStringLiteral("Host unreachable");
        break;
    case ENOEXEC:
        e.Kind = Passing;
        e.Text = QStringLiteral("The SMB helper could not be started");
        break;
    default:
        // Unknown: may pass (out of memory, busy, cancelled...); Continue tries it again.
        e.Kind = Passing;
        if (const char* text = strerrordesc_np(code))
            e.Text = QString::fromLocal8Bit(text);
        else
            e.Text = QStringLiteral("Error %1").arg(code);
        break;
    }
    return e;
}

TkxCredentials TkxCredentials::ForUser(const QString& userText) {
    TkxCredentials c;
    const QString text = userText.trimmed();
    const qsizetype slash = text.indexOf(u'\\');
    if (slash >= 0) {
        c.Domain = text.left(slash);
        c.User = text.mid(slash + 1);
    } else {
        c.User = text;
    }
    return c;
}

bool TkxCredentials::IsUserText(const QString& userText) {
    const QString text = userText.trimmed();
    if (text.isEmpty())
        return false;
    for (const QChar ch : text) {
        if (ch.category() == QChar::Other_Control)
            return false;
    }
    const QStringList byDomain = text.split(u'\\');
    if (byDomain.size() > 2)
        return false;
    for (const QString& part : byDomain) {
        if (part.trimmed().isEmpty())
            return false;
    }
    const QString& user = byDomain.back();
    const qsizetype at = user.indexOf(u'@');
    if (at < 0)
        return true;
    // A principal has one realm, after one at sign.
    return at > 0 && at < user.size() - 1 && user.indexOf(u'@', at + 1) < 0;
}
