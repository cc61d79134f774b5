#include "document/kxAccounts.h"

#include "engine/kxServices.h"
#include "lang/kxLanguages.h"
#include "platform/kxKerberos.h"

#include <QSettings>

namespace {

const QString Group = QStringLiteral("ConnectAs");

QString ModeName(TkxConnectAs::TMode mode) {
    switch (mode) {
    case TkxConnectAs::Account:
        return QStringLiteral("user");
    case TkxConnectAs::Kerberos:
        return QStringLiteral("kerberos");
    default:
        return QStringLiteral("guest");
    }
}

TkxConnectAs::TMode ModeOf(const QString& name) {
    if (name == u"user")
        return TkxConnectAs::Account;
    if (name == u"kerberos")
        return TkxConnectAs::Kerberos;
    return TkxConnectAs::Guest;
}

void Wipe(QString& text) {
    text.fill(QChar(0));
    text.clear();
}

} // namespace

TkxCredentials TkxConnectAs::Credentials() const {
    TkxCredentials c;
    if (Mode == Account) {
        c = TkxCredentials::ForUser(User);
        c.Password = Password;
    } else if (Mode == Kerberos) {
        c.UseKerberos = true;
    }
    return c;
}

QString HostOfAddress(const QString& address) {
    QString text = address.trimmed();
    while (text.startsWith(u'\\'))
        text.remove(0, 1);
    return text.section(u'\\', 0, 0);
}

QString RememberedPasswordKey(const QString& host, const QString& user) {
    const QString name = HostOfAddress(host);
    if (name.isEmpty())
        return user.trimmed();
    return QStringLiteral("\\\\%1\\%2").arg(name, user.trimmed());
}

bool HaveTicketCache() {
    return FindTicketCache().Present;
}

void LookUpRememberedPassword(const QString& host, const QString& user, QObject* context,
                              TkxKeyringDone done) {
    ReadRememberedPassword(RememberedPasswordKey(host, user), context, std::move(done));
}

TkxAccounts::TkxAccounts(QObject* parent) : QObject(parent) {}

TkxAccounts::~TkxAccounts() {
    Wipe(Default.Password);
    for (TkxConnectAs& c : Hosts)
        Wipe(c.Password);
    Hold.reset();
}

void TkxAccounts::UpdateHold() {
    bool held = !Default.Password.isEmpty();
    for (const TkxConnectAs& c : Hosts)
        held = held || !c.Password.isEmpty();
    if (held && !Hold)
        Hold.emplace();
    else if (!held)
        Hold.reset();
}

void TkxAccounts::Load() {
    QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
    settings.beginGroup(Group);
    Wipe(Default.Password);
    Default = {};
    UpdateHold();
    Default.Mode = ModeOf(settings.value(QStringLiteral("Mode")).toString());
    Default.User = settings.value(QStringLiteral("User")).toString().trimmed();
    Default.Remember = settings.value(QStringLiteral("Remember"), false).toBool();
    if (Default.Mode == TkxConnectAs::Account && !TkxCredentials::IsUserText(Default.User))
        Default.Mode = TkxConnectAs::Guest; // damaged settings: no account to log on with
    const quint64 generation = ++Generation;
    Apply({});
    Q_EMIT Changed();
    if (Default.Mode != TkxConnectAs::Account || !Default.Remember)
        return;
    ReadRememberedPassword(RememberedPasswordKey({}, Default.User), this,
                           [this, generation](const TkxKeyringAnswer& a) {
                               Heard(a.Outcome);
                               if (generation != Generation || a.Outcome != TkxKeyringAnswer::Ok)
                                   return;
                               Default.Password = a.Password;
                               UpdateHold();
                               Apply({});
                               Q_EMIT Changed();
                           });
}

void TkxAccounts::SetNetServices(std::shared_ptr<TkxNetServices> services) {
    Services = std::move(services);
    Reapply();
}

void TkxAccounts::Reapply() {
    Apply({});
    for (auto it = Hosts.cbegin(); it != Hosts.cend(); ++it)
        Apply(it.key());
}

TkxConnectAs TkxAccounts::Choice(const QString& host) const {
    TkxConnectAs c;
    const QString name = HostOfAddress(host);
    if (name.isEmpty())
        c = Default;
    else if (const auto it = Hosts.constFind(name); it != Hosts.cend())
        c = *it;
    else
        c.Mode = TkxConnectAs::AsOtherHosts;
    c.NoStore = NoStore;
    return c;
}

void TkxAccounts::SetChoice(TkxConnectAs choice, const QString& host) {
    const QString name = HostOfAddress(host);
    choice.NoStore = false;
    choice.User = choice.User.trimmed();
    TkxConnectAs old;
    if (name.isEmpty()) {
        if (choice.Mode == TkxConnectAs::AsOtherHosts)
            choice.Mode = TkxConnectAs::Guest;
        old = std::move(Default);
        Default = choice;
        ++Generation;
        // The user name stays with a guest choice too, so that it is there when wanted again.
        QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
        settings.beginGroup(Group);
        settings.setValue(QStringLiteral("Mode"), ModeName(choice.Mode));
        settings.setValue(QStringLiteral("User"), choice.User);
        settings.setValue(QStringLiteral("Remember"), choice.Remember);
    } else {
        old = Hosts.value(name);
        if (!Hosts.contains(name))
            old.Mode = TkxConnectAs::AsOtherHosts;
        if (choice.Mode == TkxConnectAs::AsOtherHosts)
            Hosts.remove(name);
        else
            Hosts.insert(name, choice);
    }
    KeepPassword(old, choice, name);
    Wipe(old.Password);
    Wipe(choice.Password);
    UpdateHold();
    Apply(name);
    Q_EMIT Changed();
}

void TkxAccounts::KeepPassword(const TkxConnectAs& old, const TkxConnectAs& choice,
                               const QString& host) {
    auto heard = [this](const TkxKeyringAnswer& a) { Heard(a.Outcome); };
    if (choice.Mode == TkxConnectAs::Account && choice.Remember && !choice.Password.isEmpty()) {
        RememberPassword(RememberedPasswordKey(host, choice.User), choice.Password, this, heard);
    } else if (old.Remember && !choice.Remember && !old.User.isEmpty() &&
               old.User.trimmed() == choice.User) {
        // Unticked: the store must not keep what the user no longer wants kept.
        ForgetPassword(RememberedPasswordKey(host, old.User), this, heard);
    }
}

void TkxAccounts::Heard(int outcome) {
    const bool noStore = outcome == TkxKeyringAnswer::NoStore;
    if (outcome == TkxKeyringAnswer::Failed || noStore == NoStore)
        return;
    NoStore = noStore;
    Q_EMIT Changed();
}

void TkxAccounts::Apply(const QString& host) {
    if (!Services)
        return;
    if (host.isEmpty()) {
        TkxCredentials c = Default.Credentials();
        Services->SetCredentials(c);
        Wipe(c.Password);
        return;
    }
    const auto it = Hosts.constFind(host);
    if (it == Hosts.cend()) {
        Services->SetHostCredentials(host, nullptr);
        return;
    }
    TkxCredentials c = it->Credentials();
    Services->SetHostCredentials(host, &c);
    Wipe(c.Password);
}

QString TkxAccounts::StatusText() const {
    QString who;
    switch (Default.Mode) {
    case TkxConnectAs::Account:
        who = Default.User;
        break;
    case TkxConnectAs::Kerberos:
        who = FindTicketCache().Principal;
        if (who.isEmpty())
            who = TextKerberosTicket();
        break;
    default:
        who = TextGuest();
        break;
    }
    return QStringLiteral("%1: %2").arg(TextUser(), who);
}

bool TkxAccounts::NeedsPassword(QString* host) const {
    auto lacks = [](const TkxConnectAs& c) {
        return c.Mode == TkxConnectAs::Account && c.Password.isEmpty();
    };
    if (lacks(Default)) {
        if (host)
            host->clear();
        return true;
    }
    for (auto it = Hosts.cbegin(); it != Hosts.cend(); ++it) {
        if (lacks(*it)) {
            if (host)
                *host = it.key();
            return true;
        }
    }
    return false;
}
