#pragma once

// The user's Kerberos ticket cache, as the SMB helpers will find it: whether there is one to
// offer, whose tickets it holds and until when.

#include <QByteArray>
#include <QString>

struct TkxTicketCache {
    bool Present = false;
    QString Principal; // "alice@EXAMPLE.COM"; empty when the cache could not be read
    // Whether it holds a ticket at all, and when its ticket-granting ticket ends (seconds since
    // 1970, UTC; 0 when the cache does not say, as with caches kept by a service).
    bool HasTicket = false;
    qint64 Expires = 0;

    bool ExpiredAt(qint64 now) const { return HasTicket && Expires != 0 && Expires <= now; }
};

// KRB5CCNAME, else the default file cache /tmp/krb5cc_<uid>. A memory cache of this process
// holds nothing; caches kept by a service (KEYRING:, KCM:) count as present, and their
// principal and whether they hold a valid ticket come from klist when it is installed.
TkxTicketCache FindTicketCache();

// The contents of a file cache (formats 3 and 4): its default principal and its tickets;
// nothing for anything else.
TkxTicketCache ParseCCache(const QByteArray& bytes);
inline QString CCachePrincipal(const QByteArray& bytes) {
    return ParseCCache(bytes).Principal;
}
