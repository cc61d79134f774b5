// orvane-scan: the search engine and project document without a window.

#include "cli/kxScanPage.h"
#include "document/kxAccounts.h"
#include "document/kxProjectDoc.h"
#include "engine/kxManager.h"
#include "engine/kxServices.h"
#include "kxScanStore.h"
#include "lang/kxLanguages.h"
#include "model/kxDelimited.h"
#include "model/kxErrors.h"
#include "model/kxMasks.h"
#include "model/kxShards.h"
#include "model/kxTargets.h"
#include "platform/kxKerberos.h"
#include "platform/kxKeyring.h"
#include "platform/kxPlatformServices.h"
#include "platform/kxSecrets.h"
#include "storage/kxProjectFile.h"
#include "storage/kxUtils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};
volatile std::sig_atomic_t Writing = 0;

void OnSignal(int) {
    if (Writing) {
        static const char message[] =
            "\norvane-scan: still writing the results; press Ctrl-C again to abort\n";
        [[maybe_unused]] auto n = ::write(STDERR_FILENO, message, sizeof message - 1);
    } else {
        const char c = 1;
        [[maybe_unused]] auto n = ::write(SignalPipe[1], &c, 1);
    }
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
}

// SIGTERM (a shutdown) and SIGHUP (the terminal went away) mean what Ctrl-C means.
void CatchStopSignals() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
}

struct Options {
    TkxTargetList Targets; // from --range and --targets, in the order given
    QString Open, Save, Csv, Xml, User;
    bool Run = false, Continue = false, Quiet = false, AllowLargeRange = false, CsvRaw = false;
    bool RememberPassword = false, ForgetPassword = false, Kerberos = false;
    TkxNetOptions Net;
    std::optional<quint32> Threads, Depth, LifeTime, ConnectTimeout;
    std::optional<QString> Masks;
    std::optional<TkxShard> Shard;
    std::optional<TkxStoreUrl> Store, FromStore;
    QString Scan;
    std::optional<quint32> Checkpoint; // seconds
};

constexpr quint32 DefaultCheckpointSeconds = 60;

[[noreturn]] void BadUsage(const QString& message) {
    QTextStream(stderr) << "orvane-scan: " << message << "\n"
                        << "Try 'orvane-scan --help'.\n";
    std::exit(2);
}

// "[NAME=]ADDRESS", "[NAME=]FIRST - LAST" or "[NAME=]ADDRESS/N", parsed once: what is checked
// is what is searched.
TkxTarget TargetOf(const QString& arg) {
    TkxTargetsResult parsed = ParseTarget(arg);
    if (!parsed.Ok())
        BadUsage(QStringLiteral("--range '%1': %2").arg(arg, parsed.Error->Message()));
    return parsed.Targets.front();
}

// A list of targets from a file, or from standard input for "-". A wrong line stops
// everything before anything is searched.
TkxTargetList TargetsOf(const QString& arg) {
    const bool standardInput = arg == u"-";
    const QString shown = standardInput ? QStringLiteral("standard input") : arg;
    TkxTargetText text;
    if (standardInput) {
        QFile in;
        if (!in.open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered,
                     QFileDevice::DontCloseHandle))
            BadUsage(
                QStringLiteral("--targets: %1 can not be read: %2").arg(shown, in.errorString()));
        text = ReadTargetText(in);
    } else {
        // A pipe is fine here: "--targets <(command)" hands over a list that way.
        text = ReadTargetFile(arg, true);
    }
    std::optional<TkxTargetError> error = text.Error;
    TkxTargetsResult parsed;
    if (!error) {
        parsed = ParseTargetList(text.Text);
        error = parsed.Error;
    }
    if (error) {
        if (error->Line > 0)
            BadUsage(QStringLiteral("--targets %1, line %2: %3")
                         .arg(shown)
                         .arg(error->Line)
                         .arg(error->Message()));
        BadUsage(QStringLiteral("--targets %1 %2").arg(shown, error->Message()));
    }
    // An empty list is a wrong file rather than a search of nothing.
    if (parsed.Targets.empty())
        BadUsage(QStringLiteral("--targets %1 gives no target").arg(shown));
    return std::move(parsed.Targets);
}

// Every mask compiles, and there is at least one: otherwise the search finds nothing.
void CheckMasks(const QString& text) {
    const QStringList masks = SplitDelimited(text, u';'); // as the search splits them
    if (masks.isEmpty())
        BadUsage(QStringLiteral("--masks holds no mask, so nothing would be found"));
    for (const QString& mask : masks) {
        try {
            NameMatchesMasks(QStringLiteral("x"), {mask});
        } catch (const std::exception& e) {
            BadUsage(QStringLiteral("--masks: %1").arg(ErrorMessage(e)));
        }
    }
}

quint32 Number(const QString& option, const QString& text) {
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    if (!ok || v < 0 || v > 0xFFFFFFFFll)
        BadUsage(QStringLiteral("%1 needs a whole number, not '%2'").arg(option, text));
    return quint32(v);
}

// --shard, --store, --scan and --from-store only where they mean something.
void CheckStoreOptions(const Options& o) {
    // A shard is a part of the targets given here; a project's ranges are another matter.
    if (o.Shard && o.Targets.empty())
        BadUsage(QStringLiteral("--shard needs the targets, from --range or --targets"));
    if (o.Shard && !o.Open.isEmpty())
        BadUsage(QStringLiteral("--shard takes the targets of --range or --targets, not --open"));
    if ((o.Store || o.FromStore) && o.Scan.isEmpty())
        BadUsage(QStringLiteral("--store and --from-store need --scan NAME"));
    if (!o.Scan.isEmpty() && !o.Store && !o.FromStore)
        BadUsage(QStringLiteral("--scan goes with --store or --from-store"));
    if (o.Store) {
        if (!o.Run && !o.Continue)
            BadUsage(QStringLiteral("--store writes a search: add --run"));
        // A stored run holds all a shard found from its targets, so a scan's runs can be
        // put together; a project opened here would make it hold something else.
        if (!o.Open.isEmpty())
            BadUsage(QStringLiteral("--store goes with --range or --targets, not --open"));
        if (o.Targets.empty())
            BadUsage(QStringLiteral("--store needs the targets, from --range or --targets"));
    }
    if (o.FromStore &&
        (o.Store || o.Run || o.Continue || !o.Open.isEmpty() || !o.Targets.empty() || o.Shard))
        BadUsage(QStringLiteral("--from-store builds a project from the store alone: no --run, "
                                "--continue, --open, --range, --targets, --shard or --store"));
}

[[noreturn]] void PrintVersion() {
    try {
        QTextStream(stdout) << "orvane-scan (Orvane) " << ProgramVersionText() << "\n";
    } catch (const std::exception& e) {
        QTextStream(stderr) << "orvane-scan: " << ErrorMessage(e) << "\n";
        std::exit(1);
    }
    std::exit(0);
}

Options Parse(const QStringList& args) {
    Options o;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        // Only what the page lists is an option, so --help and the manual page name them all.
        const TkxScanOption* option = FindScanOption(ScanPage(), a.toStdString());
        if (!option)
            BadUsage(QStringLiteral("unknown argument '%1'").arg(a));
        QString v;
        if (!option->Value.empty()) {
            if (i + 1 >= args.size())
                BadUsage(QStringLiteral("%1 needs a value").arg(a));
            v = args[++i];
        }
        // Given twice, an output would silently be only the last one.
        auto once = [&](QString& target) {
            if (!target.isEmpty())
                BadUsage(QStringLiteral("%1 is given more than once").arg(a));
            target = v;
            if (target.isEmpty())
                BadUsage(QStringLiteral("%1 needs a file name").arg(a));
        };
        auto storeUrl = [&](std::optional<TkxStoreUrl>& target) {
            QString reason;
            target = TkxStoreUrl::Parse(v, &reason);
            if (!target)
                BadUsage(QStringLiteral("%1: %2").arg(a, reason));
        };
        switch (option->Id) {
        case TkxScanOptionId::Help:
            std::fputs(ScanHelpText(ScanPage()).c_str(), stdout);
            std::exit(0);
        case TkxScanOptionId::Version:
            PrintVersion();
        case TkxScanOptionId::Range:
            o.Targets.push_back(TargetOf(v));
            break;
        case TkxScanOptionId::Targets: {
            TkxTargetList list = TargetsOf(v);
            o.Targets.insert(o.Targets.end(), std::make_move_iterator(list.begin()),
                             std::make_move_iterator(list.end()));
            break;
        }
        case TkxScanOptionId::AllowLargeRange:
            o.AllowLargeRange = true;
            break;
        case TkxScanOptionId::Open:
            o.Open = v;
            break;
        case TkxScanOptionId::Run:
            o.Run = true;
            break;
        case TkxScanOptionId::Continue:
            o.Continue = true;
            break;
        case TkxScanOptionId::Threads:
            o.Threads = Number(a, v);
            break;
        case TkxScanOptionId::Depth:
            o.Depth = Number(a, v);
            break;
        case TkxScanOptionId::LifeTime:
            o.LifeTime = Number(a, v);
            break;
        case TkxScanOptionId::Masks:
            o.Masks = v;
            break;
        case TkxScanOptionId::ConnectTimeout:
            o.ConnectTimeout = Number(a, v);
            break;
        case TkxScanOptionId::User:
            o.User = v;
            break;
        case TkxScanOptionId::Kerberos:
            o.Kerberos = true;
            break;
        case TkxScanOptionId::RememberPassword:
            o.RememberPassword = true;
            break;
        case TkxScanOptionId::ForgetPassword:
            o.ForgetPassword = true;
            break;
        case TkxScanOptionId::NoNetbios:
            o.Net.Netbios = false;
            break;
        case TkxScanOptionId::AllowSmb1:
            o.Net.AllowSmb1 = true;
            break;
        case TkxScanOptionId::Save:
            once(o.Save);
            break;
        case TkxScanOptionId::Checkpoint:
            o.Checkpoint = Number(a, v);
            break;
        case TkxScanOptionId::Csv:
            once(o.Csv);
            break;
        case TkxScanOptionId::CsvRaw:
            o.CsvRaw = true;
            break;
        case TkxScanOptionId::Xml:
            once(o.Xml);
            break;
        case TkxScanOptionId::Shard:
            o.Shard = ParseShard(v);
            if (!o.Shard)
                BadUsage(QStringLiteral("--shard '%1' is no I/N with 1 <= I <= N").arg(v));
            break;
        case TkxScanOptionId::Store:
            storeUrl(o.Store);
            break;
        case TkxScanOptionId::FromStore:
            storeUrl(o.FromStore);
            break;
        case TkxScanOptionId::Scan:
            o.Scan = v;
            if (!IsScanName(o.Scan))
                BadUsage(QStringLiteral("--scan needs a name without control characters"));
            break;
        case TkxScanOptionId::Quiet:
            o.Quiet = true;
            break;
        }
    }
    if (o.Run && o.Continue)
        BadUsage(QStringLiteral("--run and --continue exclude each other"));
    if (!o.User.isEmpty() && !TkxCredentials::IsUserText(o.User))
        BadUsage(QStringLiteral("--user '%1' is no DOMAIN\\user, user@REALM or user").arg(o.User));
    if (o.Kerberos && !o.User.isEmpty())
        BadUsage(QStringLiteral("--kerberos and --user exclude each other"));
    if ((o.RememberPassword || o.ForgetPassword) && o.User.isEmpty())
        BadUsage(QStringLiteral("--remember-password and --forget-password need --user"));
    if (o.RememberPassword && o.ForgetPassword)
        BadUsage(QStringLiteral("--remember-password and --forget-password exclude each other"));
    // Options that would make a search find nothing are mistakes, not searches.
    if (o.Threads && *o.Threads == 0)
        BadUsage(QStringLiteral("--threads must be at least 1"));
    if (o.Threads && *o.Threads > MaxSearchSlots)
        BadUsage(QStringLiteral("--threads must be at most %1, the most a search runs")
                     .arg(MaxSearchSlots));
    if (o.CsvRaw && o.Csv.isEmpty())
        BadUsage(QStringLiteral("--csv-raw needs --csv"));
    if (o.Depth && *o.Depth > 0x7FFFFFFFu)
        BadUsage(QStringLiteral("--depth must be below 2147483648"));
    if (o.LifeTime && *o.LifeTime == 0)
        BadUsage(QStringLiteral("--lifetime must be at least 1 minute"));
    if (o.ConnectTimeout && (qint64(*o.ConnectTimeout) < TkxHostScreen::MinLimit.count() ||
                             qint64(*o.ConnectTimeout) > TkxHostScreen::MaxLimit.count()))
        BadUsage(QStringLiteral("--connect-timeout must be %1 to %2 milliseconds")
                     .arg(TkxHostScreen::MinLimit.count())
                     .arg(TkxHostScreen::MaxLimit.count()));
    if (o.Masks)
        CheckMasks(*o.Masks);
    CheckStoreOptions(o);
    if (o.Checkpoint && o.Save.isEmpty())
        BadUsage(QStringLiteral("--checkpoint needs --save, the file it writes"));
    if (o.Checkpoint && *o.Checkpoint > 24u * 3600u)
        BadUsage(QStringLiteral("--checkpoint takes at most 86400 seconds"));
    if (const TkxTarget* large = FirstLargeTarget(o.Targets); large && !o.AllowLargeRange)
        BadUsage(QStringLiteral("%1 holds %2 addresses; add --allow-large-range to search "
                                "more than %3")
                     .arg(large->RangeText())
                     .arg(large->Count())
                     .arg(LargeRangeSize));
    return o;
}

void Wipe(QByteArray& bytes) {
    volatile char* p = bytes.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        p[i] = 0;
    bytes.clear();
}

void Wipe(QString& text) {
    text.fill(QChar(0));
    text.clear();
}

// ORVANE_PASSWORD leaves the environment before anything can copy it (helper processes are
// started later with a filtered environment anyway), and its bytes are wiped in place, so
// /proc/PID/environ no longer shows it either.
std::optional<QByteArray> TakePasswordFromEnvironment() {
    char* value = std::getenv("ORVANE_PASSWORD");
    if (!value)
        return std::nullopt;
    QByteArray password(value);
    for (volatile char* p = value; *p; ++p)
        *p = 0;
    ::unsetenv("ORVANE_PASSWORD");
    return password;
}

// The password typed on the terminal; nothing when there is no terminal to ask on. Only a
// terminal on standard input counts: a run fed from a pipe or a job scheduler must fail, not
// wait for someone at whatever terminal it was started from.
std::optional<QString> PromptPassword(const QString& user) {
    if (!::isatty(STDIN_FILENO))
        return std::nullopt;
    QFile tty(QStringLiteral("/dev/tty"));
    if (!tty.open(QIODevice::ReadWrite))
        return std::nullopt;
    tty.write(QStringLiteral("Password for %1: ").arg(user).toUtf8());
    tty.flush();
    termios old{};
    const bool haveTerm = ::tcgetattr(tty.handle(), &old) == 0;
    if (haveTerm) {
        termios quiet = old;
        quiet.c_lflag &= tcflag_t(~ECHO);
        ::tcsetattr(tty.handle(), TCSAFLUSH, &quiet);
    }
    QByteArray line = tty.readLine();
    if (haveTerm)
        ::tcsetattr(tty.handle(), TCSAFLUSH, &old);
    tty.write("\n");
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    QString password = QString::fromUtf8(line);
    Wipe(line);
    return password;
}

// The password of --user, first found: ORVANE_PASSWORD, the secret store (not when it is to be
// remembered there anew), the terminal.
bool TakePassword(const Options& o, const QString& account, const QString& key,
                  const std::optional<QByteArray>& envPassword, QString& password) {
    if (envPassword) {
        password = QString::fromLocal8Bit(*envPassword);
        return true;
    }
    if (!o.RememberPassword && !o.ForgetPassword) {
        TkxKeyringAnswer stored = ReadRememberedPasswordNow(key);
        if (stored.Outcome == TkxKeyringAnswer::Ok) {
            password = std::move(stored.Password);
            return true;
        }
    }
    if (auto typed = PromptPassword(account)) {
        password = std::move(*typed);
        return true;
    }
    return false;
}

// Who the search connects as with the ticket alone; principal: the one asked for, if any.
QString TicketLine(const QString& principal) {
    const TkxTicketCache ticket = FindTicketCache();
    const bool mine =
        ticket.HasTicket &&
        (principal.isEmpty() || ticket.Principal.compare(principal, Qt::CaseInsensitive) == 0);
    if (!mine || ticket.Principal.isEmpty())
        return QStringLiteral("Connecting with a Kerberos ticket, but there is none") +
               (principal.isEmpty() ? QString() : QStringLiteral(" for ") + principal);
    return QStringLiteral("Connecting as %1 (Kerberos ticket%2)")
        .arg(ticket.Principal, ticket.ExpiredAt(QDateTime::currentSecsSinceEpoch())
                                   ? QStringLiteral(", expired")
                                   : QString());
}

// Whether anything besides the secret store was asked for.
bool SearchOrOutput(const Options& o) {
    return o.Run || o.Continue || !o.Targets.empty() || !o.Open.isEmpty() || !o.Save.isEmpty() ||
           !o.Csv.isEmpty() || !o.Xml.isEmpty() || o.FromStore;
}

QString KindName(quint8 kind) {
    static const char* const names[] = {"none", "range", "host", "share", "folder", "file"};
    return QString::fromLatin1(kind < 6 ? names[kind] : "unknown");
}

// A text field of the CSV. Names come from the network: one that starts like a formula would
// run in the spreadsheet that opens the report, so (unless raw) it gets a leading ' that
// makes it text there.
QString CsvField(const QString& text, bool raw) {
    QString field = text;
    if (!raw && !field.isEmpty() && QStringView(u"=+-@\t\r").contains(field.front()))
        field.prepend(u'\'');
    if (!field.contains(u',') && !field.contains(u'"') && !field.contains(u'\n') &&
        !field.contains(u'\r'))
        return field;
    field.replace(u'"', QStringLiteral("\"\""));
    return u'"' + field + u'"';
}

void WriteCsvData(const TkxProjectDoc& doc, QIODevice& out, bool raw) {
    QByteArray buffer = "level,kind,name,address,size,created,edited,accessed,matched,"
                        "has_match,scanned\r\n";
    for (TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        const TkxInfo& r = n->Info;
        const QStringList fields{QString::number(n->Level()),     KindName(r.Kind),
                                 CsvField(r.NameText(), raw),     CsvField(r.AddressText(), raw),
                                 CsvField(r.SizeRawText(), raw),  CsvField(r.CreatingText(), raw),
                                 CsvField(r.EditTimeText(), raw), CsvField(r.LastAccessText(), raw),
                                 QString::number(r.Matched),      QString::number(r.HasMatch),
                                 QString::number(r.Scanned)};
        buffer += fields.join(u',').toUtf8();
        buffer += "\r\n";
        if (buffer.size() > (1 << 20))
            WriteBuffer(out, buffer, QStringLiteral("CSV file"));
    }
    WriteBuffer(out, buffer, QStringLiteral("CSV file"));
}

// Like the project file: a finished file replaces the old one, never half a file; standard
// output is checked for every write too.
void WriteCsv(const TkxProjectDoc& doc, const QString& target, bool raw) {
    if (target == u"-") {
        QFile out;
        if (!out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered,
                      QFileDevice::DontCloseHandle))
            throw EkxError(
                QStringLiteral("Can not write CSV to standard output: %1").arg(out.errorString()));
        WriteCsvData(doc, out, raw);
        return;
    }
    WriteFileSafely(target, QStringLiteral("CSV file"),
                    [&](QIODevice& file) { WriteCsvData(doc, file, raw); });
}

struct Summary {
    int Nodes = 0, Hosts = 0, Shares = 0, Folders = 0, Files = 0, Matches = 0;
};

Summary Summarise(const TkxProjectDoc& doc) {
    Summary s;
    for (TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        ++s.Nodes;
        switch (n->Info.Kind) {
        case ikHost:
            ++s.Hosts;
            break;
        case ikShare:
            ++s.Shares;
            break;
        case ikFolder:
            ++s.Folders;
            break;
        case ikFile:
            ++s.Files;
            break;
        default:
            break;
        }
        s.Matches += n->Info.Matched;
    }
    return s;
}

// Every output is checked before the search, so a typo does not cost a whole search.
void CheckOutputs(const Options& o) {
    try {
        if (!o.Save.isEmpty())
            CheckWriteTarget(o.Save, QStringLiteral("project file"));
        if (!o.Xml.isEmpty())
            CheckWriteTarget(o.Xml, QStringLiteral("XML file"));
        if (!o.Csv.isEmpty() && o.Csv != u"-")
            CheckWriteTarget(o.Csv, QStringLiteral("CSV file"));
    } catch (const std::exception& e) {
        BadUsage(ErrorMessage(e));
    }
    // Written one after the other, two outputs on one file would leave only the last; a CSV
    // or XML file over the project that was read would destroy it. Saving the project over
    // its own file is what --open and --save are for.
    const std::pair<const char*, QString> outputs[] = {
        {"--save", o.Save}, {"--csv", o.Csv == u"-" ? QString() : o.Csv}, {"--xml", o.Xml}};
    for (size_t i = 0; i < std::size(outputs); ++i) {
        const auto& [option, file] = outputs[i];
        if (file.isEmpty())
            continue;
        for (size_t k = i + 1; k < std::size(outputs); ++k) {
            if (!outputs[k].second.isEmpty() && SameWriteTarget(file, outputs[k].second))
                BadUsage(QStringLiteral("%1 and %2 name the same file, %3")
                             .arg(QLatin1String(option), QLatin1String(outputs[k].first), file));
        }
        if (i > 0 && !o.Open.isEmpty() && SameWriteTarget(file, o.Open))
            BadUsage(QStringLiteral("%1 would replace the project file --open reads, %2")
                         .arg(QLatin1String(option), o.Open));
    }
}

// --kerberos, or --user: forgets, takes or remembers the password and hands the account to the
// services. An exit status when the run ends here (the secret store was all that was asked
// for, or it failed). *connecting says who the search connects as.
std::optional<int> SetUpAccount(const Options& o, const std::optional<QByteArray>& envPassword,
                                TkxNetServices& services, QTextStream& err, QString* connecting) {
    *connecting = QStringLiteral("Connecting as guest");
    if (o.Kerberos) {
        TkxCredentials c;
        c.UseKerberos = true;
        services.SetCredentials(c);
        *connecting = TicketLine({});
        return std::nullopt;
    }
    if (o.User.isEmpty())
        return std::nullopt;
    const QString account = o.User.trimmed();
    // Where the window finds it too: the key of a password for every host.
    const QString key = RememberedPasswordKey({}, account);
    if (o.ForgetPassword) {
        const TkxKeyringAnswer forgot = ForgetPasswordNow(key);
        if (forgot.Outcome != TkxKeyringAnswer::Ok &&
            forgot.Outcome != TkxKeyringAnswer::NotFound) {
            err << "orvane-scan: could not forget the password of " << account << ": "
                << forgot.ErrorText << "\n";
            return 1;
        }
    }
    if (o.ForgetPassword && !SearchOrOutput(o))
        return 0;
    TkxCredentials c = TkxCredentials::ForUser(account);
    // A ticket for the user stands in for a password that was not given, but not for one to be
    // remembered; a valid one before the store and the terminal, an expired one only when
    // neither has a password (its failures then say so).
    const TkxTicketCache ticket =
        o.RememberPassword || o.ForgetPassword ? TkxTicketCache() : FindTicketCache();
    const bool ticketForUser =
        ticket.HasTicket && ticket.Principal.compare(account, Qt::CaseInsensitive) == 0;
    if (!envPassword && ticketForUser && !ticket.ExpiredAt(QDateTime::currentSecsSinceEpoch())) {
        c.UseKerberos = true;
    } else if (!TakePassword(o, account, key, envPassword, c.Password)) {
        if (!ticketForUser) {
            // An empty password would only fail at every host, or pass as someone else.
            BadUsage(QStringLiteral("--user needs a password: set ORVANE_PASSWORD, get a Kerberos "
                                    "ticket for it with kinit, remember one with "
                                    "--remember-password, or run orvane-scan on a terminal"));
        }
        c.UseKerberos = true;
    }
    if (o.RememberPassword) {
        const TkxKeyringAnswer kept = RememberPasswordNow(key, c.Password);
        if (kept.Outcome != TkxKeyringAnswer::Ok) {
            err << "orvane-scan: could not remember the password of " << account << ": "
                << kept.ErrorText << "\n";
            Wipe(c.Password);
            return 1;
        }
        if (!SearchOrOutput(o)) {
            Wipe(c.Password);
            return 0;
        }
    }
    *connecting = c.UseKerberos ? TicketLine(account)
                                : QStringLiteral("Connecting as %1 with a password").arg(account);
    services.SetCredentials(c);
    Wipe(c.Password);
    return std::nullopt;
}

// The project read or made new, with the parameters and ranges of the command line (of this
// shard's part only). A project file that holds more than its header announced is read as far
// as it goes; it may then not be saved over (its name is not the project's), but another file
// may.
bool BuildProject(TkxProjectDoc& doc, const Options& o, const TkxShardPlan& plan,
                  QTextStream& err) {
    try {
        if (!o.Open.isEmpty()) {
            doc.ReadProject(o.Open);
        } else {
            doc.NewProject();
        }
    } catch (const EkxDamagedProject& e) {
        err << "orvane-scan: " << e.message() << "\n" << Qt::flush;
        if (!o.Save.isEmpty() && SameWriteTarget(o.Save, o.Open)) {
            err << "orvane-scan: --save " << o.Save
                << " would replace that file with what was read of it; save to another file\n";
            return false;
        }
    } catch (const std::exception& e) {
        err << "orvane-scan: " << ErrorMessage(e) << "\n";
        return false;
    }
    TkxParams params = doc.Params();
    if (o.Threads)
        params.TotalThreads = *o.Threads;
    if (o.Depth)
        params.Depth = *o.Depth;
    if (o.LifeTime)
        params.LifeTime = *o.LifeTime;
    if (o.Masks)
        params.Masks = *o.Masks;
    doc.SetParams(params);
    doc.AddTargets(plan.Targets);
    if (o.Shard && plan.Targets.empty())
        err << "orvane-scan: shard " << o.Shard->Index << '/' << o.Shard->Count
            << " holds no address: the targets give fewer addresses than there are shards\n";
    return true;
}

// Runs --run or --continue to its end or to Ctrl-C, with who it connects as, progress and
// failed tasks on standard error. The exit status: 0 finished, 1 stopped or failed, 3 finished
// with failed tasks.
int Search(QCoreApplication& app, TkxProjectDoc& doc, const Options& o, const QString& connecting,
           QTextStream& err) {
    if (::pipe2(SignalPipe, O_CLOEXEC) == 0) {
        auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &doc, [&] {
            char c;
            [[maybe_unused]] auto n = ::read(SignalPipe[0], &c, 1);
            if (!o.Quiet)
                err << "\nStopping...\n" << Qt::flush;
            doc.Stop();
        });
        CatchStopSignals();
    }
    QElapsedTimer shown;
    shown.start();
    auto progress = [&](bool force) {
        if (o.Quiet || (!force && shown.elapsed() < 500))
            return;
        shown.restart();
        err << "\r" << doc.StatusStateText() << " | pending " << doc.PendingCount() << " | nodes "
            << doc.Tree().NodeCount() << "\x1b[K" << Qt::flush;
    };
    // The connections refer to this function's locals: they end with it.
    std::vector<QMetaObject::Connection> connections;
    connections.push_back(
        QObject::connect(&doc, &TkxProjectDoc::StatusChanged, &doc, [&] { progress(false); }));
    // A failed task (a refused listing, a folder loop, a bad mask) shows in the thread list
    // only briefly: keep a line of it, also with --quiet.
    connections.push_back(QObject::connect(
        &doc, &TkxProjectDoc::TaskFailed, &doc, [&](const QString& address, const QString& state) {
            err << "\r" << address << ": " << state << (o.Quiet ? "\n" : "\x1b[K\n") << Qt::flush;
        }));
    QObject::connect(&doc, &TkxProjectDoc::ManagersIdle, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // Also with --quiet: a search that runs as guest or as someone else must say so.
    err << connecting << "\n" << Qt::flush;
    // --save is written as it stands every so often, so a killed run loses little. A failure
    // (a full disk) keeps the last checkpoint and is said once until one is written again.
    QTimer checkpoints;
    const quint32 every = o.Checkpoint.value_or(DefaultCheckpointSeconds);
    bool failureShown = false;
    // The timer's slot reads this while the search runs: it lives as long as the timer.
    quint64 written = doc.Revision();
    if (!o.Save.isEmpty() && every > 0) {
        checkpoints.setInterval(std::chrono::seconds(every));
        QObject::connect(&checkpoints, &QTimer::timeout, &doc, [&] {
            if (doc.IsSearching() && doc.Revision() != written && doc.StartCheckpoint(o.Save))
                written = doc.Revision();
        });
        connections.push_back(QObject::connect(
            &doc, &TkxProjectDoc::CheckpointWritten, &doc,
            [&](const QString&, const QString& error) {
                if (error.isEmpty()) {
                    failureShown = false;
                } else if (!failureShown) {
                    failureShown = true;
                    err << "\rorvane-scan: checkpoint not written, the previous one is kept: "
                        << error << "\n"
                        << Qt::flush;
                }
            }));
        checkpoints.start();
    }
    if (o.Run)
        doc.Run();
    else
        doc.Continue();
    if (doc.IsBusy())
        app.exec();
    progress(true);
    for (const auto& c : connections)
        QObject::disconnect(c);
    if (!o.Quiet)
        err << "\n";
    if (doc.SearchState() != srFinished)
        return 1;
    return doc.FailedTaskCount() > 0 ? 3 : 0;
}

// Writes --save, --csv and --xml, each on its own: one that fails does not keep the others
// from being written. False when any failed.
bool WriteOutputs(TkxProjectDoc& doc, const Options& o, QTextStream& err) {
    // A Ctrl-C now must not lose the search: the first one only says so.
    Writing = 1;
    CatchStopSignals();
    bool written = true;
    auto attempt = [&](auto&& write) {
        try {
            write();
        } catch (const std::exception& e) {
            err << "orvane-scan: " << ErrorMessage(e) << "\n" << Qt::flush;
            written = false;
        }
    };
    if (!o.Save.isEmpty())
        attempt([&] { doc.WriteProject(o.Save); });
    if (!o.Csv.isEmpty())
        attempt([&] { WriteCsv(doc, o.Csv, o.CsvRaw); });
    if (!o.Xml.isEmpty())
        attempt([&] { doc.ExportXml(o.Xml); });
    return written;
}

// The final state and what the tree holds; on standard error when the CSV went to standard
// output.
void PrintSummary(const TkxProjectDoc& doc, const Options& o, const TkxStoreWriter* store,
                  QTextStream& out, QTextStream& err) {
    const Summary s = Summarise(doc);
    QTextStream& sink = o.Csv == u"-" ? err : out;
    sink << (o.FromStore ? QStringLiteral("Scan '%1' read from the store").arg(o.Scan)
             : doc.SearchState() == srNone ? QStringLiteral("Nothing searched")
                                           : doc.StatusStateText())
         << "\n"
         << "Nodes " << s.Nodes << ": hosts " << s.Hosts << ", shares " << s.Shares << ", folders "
         << s.Folders << ", files " << s.Files << "; matches " << s.Matches << "; pending "
         << doc.PendingCount() << "; failed tasks " << doc.FailedTaskCount() << "\n";
    if (store && store->Incomplete())
        sink << "Store " << o.Store->Text << ": INCOMPLETE, run " << store->RunId() << " of scan '"
             << o.Scan << "' lacks what came after the failure (" << store->FailureText() << ")\n";
    else if (store)
        sink << "Store " << o.Store->Text << ": run " << store->RunId() << " of scan '" << o.Scan
             << "' complete\n";
    sink << Qt::flush;
}

// --from-store: the scan as one project, written like any other.
int FromStore(const Options& o, QTextStream& out, QTextStream& err) {
    TkxProjectDoc doc;
    int status;
    try {
        status = ReadScanFromStore(*o.FromStore, o.Scan, doc, err);
    } catch (const std::exception& e) {
        err << "orvane-scan: the store " << o.FromStore->Text
            << " can not be read: " << ErrorMessage(e) << "\n";
        return 2;
    }
    if (!WriteOutputs(doc, o, err))
        status = 1;
    if (o.Csv != u"-")
        PrintSummary(doc, o, nullptr, out, err);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // Not dumpable while this process holds a password of its own (the search's helpers and
    // the pool keep theirs the same way).
    std::optional<TkxNotDumpable> holding;
    if (std::getenv("ORVANE_PASSWORD"))
        holding.emplace();
    std::optional<QByteArray> envPassword = TakePasswordFromEnvironment();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationName(QStringLiteral("KX"));
    SetCurrentLanguage(BuiltInLanguages()[0]);
    const Options o = Parse(QCoreApplication::arguments());
    QTextStream err(stderr);
    QTextStream out(stdout);
    CheckOutputs(o);
    if (o.FromStore)
        return FromStore(o, out, err);

    auto services = std::make_shared<TkxPlatformServices>();
    if (o.ConnectTimeout)
        services->SetConnectTimeout(std::chrono::milliseconds(*o.ConnectTimeout));
    services->SetNetOptions(o.Net);
    if (!o.User.isEmpty() && !holding)
        holding.emplace();
    QString connecting;
    if (const std::optional<int> status = SetUpAccount(o, envPassword, *services, err, &connecting))
        return *status;
    if (envPassword)
        Wipe(*envPassword);
    holding.reset();

    TkxProjectDoc doc;
    doc.SetNetServices(services);
    const TkxShardPlan plan = PlanShard(o.Targets, o.Shard);
    if (!BuildProject(doc, o, plan, err))
        return 1;
    // Declared after the document: it lets go of it first.
    std::unique_ptr<TkxStoreWriter> store;
    bool storeReported = false;
    if (o.Store) {
        store = std::make_unique<TkxStoreWriter>(
            *o.Store, StoreRunOf(o.Scan, o.Shard, doc.Params(), plan.Targets));
        try {
            store->Open();
        } catch (const std::exception& e) {
            err << "orvane-scan: the store " << o.Store->Text
                << " can not be used: " << ErrorMessage(e) << "\n";
            return 2;
        }
        store->Attach(doc, plan.Parts);
        QObject::connect(
            store.get(), &TkxStoreWriter::StoreFailed, &doc, [&](const QString& reason) {
                if (std::exchange(storeReported, true))
                    return;
                err << "\rorvane-scan: the store " << o.Store->Text << " failed: " << reason
                    << "; the search goes on, and --save still gets all of it"
                    << (o.Quiet ? "\n" : "\x1b[K\n") << Qt::flush;
            });
    }
    int status = o.Run || o.Continue ? Search(app, doc, o, connecting, err) : 0;
    if (!WriteOutputs(doc, o, err))
        status = 1;
    if (store && !store->Finish(doc.SearchState(), doc.FailedTaskCount())) {
        if (!std::exchange(storeReported, true))
            err << "orvane-scan: the store " << o.Store->Text << " failed: " << store->FailureText()
                << "\n";
        if (status == 0)
            status = 1;
    }
    if (o.Run || o.Continue || o.Csv != u"-")
        PrintSummary(doc, o, store.get(), out, err);
    return status;
}
