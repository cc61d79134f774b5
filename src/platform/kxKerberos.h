#pragma once

// The user's Kerberos ticket cache, as the SMB helpers will find it: whether there is one to
// offer, and whose tickets it holds.

#include <QByteArray>
#include <QString>

struct TkxTicketCache {
    bool Present = false;
    QString Principal; // "alice@EXAMPLE.COM"; empty when the cache could not be read
};

// KRB5CCNAME, else the default file cache /tmp/krb5cc_<uid>. A memory cache of this process
// holds nothing; caches kept by a service (KEYRING:, KCM:) count as present, and their
// principal comes from klist when it is installed.
TkxTicketCache FindTicketCache();

// The default principal of a file cache (formats 3 and 4); empty for anything else.
QString CCachePrincipal(const QByteArray& bytes);
