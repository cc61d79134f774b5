#pragma once

// Who the search connects as: guest (the default), an account with its password, or the
// user's Kerberos ticket, for every host and, while the program runs, for single hosts. The
// choice for every host is kept in the window's settings; passwords only in the desktop's
// secret store, and only when the user asks for it. No widgets: the window asks through the
// connect-as dialog (ExecuteConnectAs), orvane-scan through its options.

#include "platform/kxKeyring.h"

#include "platform/kxSecrets.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class TkxNetServices;
struct TkxCredentials;

struct TkxConnectAs {
    enum TMode : int {
        Guest,
        Account,      // User with Password
        Kerberos,     // the ticket in the user's cache
        AsOtherHosts, // a host without a choice of its own
    };
    TMode Mode = Guest;
    QString User; // DOMAIN\user, user@REALM or user
    QString Password;
    bool Remember = false;
    // No secret store runs: a password lasts for this run only. Told to the dialog.
    bool NoStore = false;

    TkxCredentials Credentials() const;
};

// The secret store's key of a remembered password: the user name, and for a single host
// "\\host\" in front of it, so one account may have another password on another host.
QString RememberedPasswordKey(const QString& host, const QString& user);

// "10.0.0.7" for "\\10.0.0.7", "\\10.0.0.7\share" or "10.0.0.7".
QString HostOfAddress(const QString& address);

// Whether the user has a Kerberos ticket cache to offer.
bool HaveTicketCache();
// The password remembered for user (on host; empty host: for every host), asked of the secret
// store; `done` runs on context's thread once the store has answered.
void LookUpRememberedPassword(const QString& host, const QString& user, QObject* context,
                              TkxKeyringDone done);

// Lives on the GUI thread beside the main window.
class TkxAccounts : public QObject {
    Q_OBJECT
public:
    explicit TkxAccounts(QObject* parent = nullptr);
    ~TkxAccounts() override;

    // The choice for every host from the settings; a remembered password follows from the
    // secret store (Changed when it has come).
    void Load();
    // These services get the credentials now, after every change and on Reapply.
    void SetNetServices(std::shared_ptr<TkxNetServices> services);
    // Hands every choice to the services again: they forget the passwords when a search ends.
    void Reapply();

    // For every host (host empty), or one host's own (AsOtherHosts when it has none). The
    // address of a host node will do for host.
    TkxConnectAs Choice(const QString& host = {}) const;
    // Kept, handed to the services, and the password remembered or forgotten as asked. A
    // host's choice lasts while the program runs; AsOtherHosts drops it.
    void SetChoice(TkxConnectAs choice, const QString& host = {});
    // For the status bar: "User: Guest", "User: LAN\alice", "User: alice@LAN.TEST".
    QString StatusText() const;
    // An account without its password (not remembered, or the store has not answered):
    // worth asking for before a search. host: whose it is (empty for every host).
    bool NeedsPassword(QString* host = nullptr) const;
    int HostCount() const { return int(Hosts.size()); }

Q_SIGNALS:
    // The choice, the password or what the status bar says has changed.
    void Changed();

private:
    void Apply(const QString& host);
    void KeepPassword(const TkxConnectAs& old, const TkxConnectAs& choice, const QString& host);
    void Heard(int outcome);

    TkxConnectAs Default;
    QHash<QString, TkxConnectAs> Hosts;
    std::shared_ptr<TkxNetServices> Services;
    bool NoStore = false;
    // A late answer from the store must not undo a newer choice.
    quint64 Generation = 0;
    // Engaged while a password is kept here.
    std::optional<TkxNotDumpable> Hold;
    void UpdateHold();
};
