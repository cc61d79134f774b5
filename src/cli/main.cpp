// orvane-scan: the search engine and project document without a window.

#include "app/kxProjectDoc.h"
#include "engine/kxServices.h"
#include "engine/kxThreadForInfo.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "model/kxIPs.h"
#include "storage/kxUtils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char* const Usage =
    R"(Usage: orvane-scan [OPTIONS]

Searches IPv4 ranges for SMB shares, folders and files whose names match the masks, with the
same engine and project files as the Orvane window.

  --range "[NAME=]FIRST - LAST"  add a range (repeatable); without NAME the first address names it
  --open FILE.kxor       read a project (its ranges, results and parameters)
  --run                  search every range from the top (earlier results are dropped)
  --continue             explore what is still pending (a new project: all of its ranges)
  --threads N            maximum number of worker threads (default 16)
  --depth N              deepest tree level explored: 1 hosts, 2 shares, 3 share folders...
                         (default 0: no limit)
  --lifetime MIN         minutes one task may run before it is timed out (default 1)
  --masks TEXT           file masks separated by ";" (default *.*)
  --user [DOMAIN\]USER   connect as this user; the password comes from ORVANE_PASSWORD or a
                         prompt (default: guest)
  --save FILE.kxor       write the project when done (also after Ctrl-C, so it can be continued)
  --csv FILE|-           write one row per tree node (- is standard output)
  --xml FILE             export the tree as XML
  --quiet                no progress on standard error
  --help                 this text

Without --run or --continue nothing is searched: the project is only built or read, then
saved or exported. Ctrl-C stops the search like the Stop command: unfinished folders are
queued again. Exit status: 0 the search finished (or none was asked for), 1 it failed or was
stopped, 2 bad usage.
)";

int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(SignalPipe[1], &c, 1);
    std::signal(SIGINT, SIG_DFL); // a second Ctrl-C ends the program at once
}

struct Options {
    QStringList Ranges;
    QString Open, Save, Csv, Xml, User;
    bool Run = false, Continue = false, Quiet = false;
    std::optional<quint32> Threads, Depth, LifeTime;
    std::optional<QString> Masks;
};

[[noreturn]] void BadUsage(const QString& message) {
    QTextStream(stderr) << "orvane-scan: " << message << "\n"
                        << "Try 'orvane-scan --help'.\n";
    std::exit(2);
}

quint32 Number(const QString& option, const QString& text) {
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    if (!ok || v < 0 || v > 0xFFFFFFFFll)
        BadUsage(QStringLiteral("%1 needs a whole number, not '%2'").arg(option, text));
    return quint32(v);
}

Options Parse(const QStringList& args) {
    Options o;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&]() -> QString {
            if (i + 1 >= args.size())
                BadUsage(QStringLiteral("%1 needs a value").arg(a));
            return args[++i];
        };
        if (a == u"--help" || a == u"-h") {
            std::fputs(Usage, stdout);
            std::exit(0);
        } else if (a == u"--range") {
            o.Ranges << value();
        } else if (a == u"--open") {
            o.Open = value();
        } else if (a == u"--run") {
            o.Run = true;
        } else if (a == u"--continue") {
            o.Continue = true;
        } else if (a == u"--threads") {
            o.Threads = Number(a, value());
        } else if (a == u"--depth") {
            o.Depth = Number(a, value());
        } else if (a == u"--lifetime") {
            o.LifeTime = Number(a, value());
        } else if (a == u"--masks") {
            o.Masks = value();
        } else if (a == u"--user") {
            o.User = value();
        } else if (a == u"--save") {
            o.Save = value();
        } else if (a == u"--csv") {
            o.Csv = value();
        } else if (a == u"--xml") {
            o.Xml = value();
        } else if (a == u"--quiet") {
            o.Quiet = true;
        } else {
            BadUsage(QStringLiteral("unknown argument '%1'").arg(a));
        }
    }
    if (o.Run && o.Continue)
        BadUsage(QStringLiteral("--run and --continue exclude each other"));
    for (const QString& r : o.Ranges) {
        const QString text = r.section(u'=', -1).trimmed();
        if (!text.contains(u'-') || TIPRange(text).First.IsEmpty())
            BadUsage(QStringLiteral("'%1' is no range like 192.0.2.1 - 192.0.2.254").arg(r));
    }
    return o;
}

QString PromptPassword(const QString& user) {
    QFile tty(QStringLiteral("/dev/tty"));
    if (!tty.open(QIODevice::ReadWrite))
        return QString();
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
    return QString::fromUtf8(line);
}

QString KindName(quint8 kind) {
    static const char* const names[] = {"none", "range", "host", "share", "folder", "file"};
    return QString::fromLatin1(kind < 6 ? names[kind] : "unknown");
}

QString CsvField(const QString& text) {
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') &&
        !text.contains(u'\r'))
        return text;
    QString quoted = text;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

void WriteCsv(const TkxProjectDoc& doc, QIODevice& out) {
    QByteArray buffer = "level,kind,name,address,size,created,edited,accessed,matched,"
                        "has_match,scanned\r\n";
    for (TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        const TkxInfo& r = n->Info;
        const QStringList fields{QString::number(n->Level()), KindName(r.Kind),
                                 CsvField(r.NameText()),      CsvField(r.AddressText()),
                                 CsvField(r.SizeRawText()),   CsvField(r.CreatingText()),
                                 CsvField(r.EditTimeText()),  CsvField(r.LastAccessText()),
                                 QString::number(r.Matched),  QString::number(r.HasMatch),
                                 QString::number(r.Scanned)};
        buffer += fields.join(u',').toUtf8();
        buffer += "\r\n";
        if (buffer.size() > (1 << 20)) {
            out.write(buffer);
            buffer.clear();
        }
    }
    out.write(buffer);
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationName(QStringLiteral("KX"));
    SetCurrentLanguage(BuiltInLanguages()[0]);
    const Options o = Parse(QCoreApplication::arguments());
    QTextStream err(stderr);
    QTextStream out(stdout);

    if (!o.User.isEmpty()) {
        TkxCredentials c;
        c.User = o.User;
        if (o.User.contains(u'\\')) {
            c.Domain = o.User.section(u'\\', 0, 0);
            c.User = o.User.section(u'\\', 1);
        }
        c.Password = qEnvironmentVariableIsSet("ORVANE_PASSWORD")
                         ? qEnvironmentVariable("ORVANE_PASSWORD")
                         : PromptPassword(o.User);
        c.UseKerberos = qEnvironmentVariableIsSet("KRB5CCNAME");
        DefaultNetServices()->SetCredentials(c);
    }

    TkxProjectDoc doc;
    try {
        if (!o.Open.isEmpty()) {
            doc.ReadProject(o.Open);
        } else {
            doc.NewProject();
        }
    } catch (const std::exception& e) {
        err << "orvane-scan: " << ErrorMessage(e) << "\n";
        return 1;
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
    for (const QString& r : o.Ranges) {
        const qsizetype eq = r.indexOf(u'=');
        const TIPRange range(eq >= 0 ? r.mid(eq + 1).trimmed() : r.trimmed());
        const QString name = eq >= 0 ? r.left(eq).trimmed() : range.First.AsText();
        doc.AddRange(TextWithDetail(name, range.ShortText()), range.AsText());
    }

    int status = 0;
    if (o.Run || o.Continue) {
        if (::pipe2(SignalPipe, O_CLOEXEC) == 0) {
            auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &app);
            QObject::connect(notifier, &QSocketNotifier::activated, &doc, [&] {
                char c;
                [[maybe_unused]] auto n = ::read(SignalPipe[0], &c, 1);
                if (!o.Quiet)
                    err << "\nStopping...\n" << Qt::flush;
                doc.Stop();
            });
            std::signal(SIGINT, OnSignal);
            std::signal(SIGTERM, OnSignal);
        }
        QElapsedTimer shown;
        shown.start();
        auto progress = [&](bool force) {
            if (o.Quiet || (!force && shown.elapsed() < 500))
                return;
            shown.restart();
            err << "\r" << doc.StatusStateText() << " | pending " << doc.PendingCount()
                << " | nodes " << doc.Tree().NodeCount() << "\x1b[K" << Qt::flush;
        };
        // The connections refer to this block's locals: they end with it.
        std::vector<QMetaObject::Connection> connections;
        connections.push_back(
            QObject::connect(&doc, &TkxProjectDoc::StatusChanged, &doc, [&] { progress(false); }));
        // A failed task (a folder loop, a bad mask) shows in the thread list only briefly:
        // keep a line of it.
        connections.push_back(QObject::connect(&doc, &TkxProjectDoc::TaskFailed, &doc,
                                               [&](const QString& address, const QString& state) {
                                                   if (!o.Quiet)
                                                       err << "\r" << address << ": " << state
                                                           << "\x1b[K\n"
                                                           << Qt::flush;
                                               }));
        QObject::connect(&doc, &TkxProjectDoc::ManagersIdle, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
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
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        status = doc.SearchState() == srFinished ? 0 : 1;
    }

    try {
        if (!o.Save.isEmpty())
            doc.WriteProject(o.Save);
        if (!o.Csv.isEmpty()) {
            QFile file;
            const bool ok = o.Csv == u"-" ? file.open(stdout, QIODevice::WriteOnly)
                                          : (file.setFileName(o.Csv),
                                             file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            if (!ok)
                throw EkxError(
                    QStringLiteral("Can not write %1: %2").arg(o.Csv, file.errorString()));
            WriteCsv(doc, file);
        }
        if (!o.Xml.isEmpty())
            doc.ExportXml(o.Xml);
    } catch (const std::exception& e) {
        err << "orvane-scan: " << ErrorMessage(e) << "\n";
        status = 1;
    }

    if (o.Run || o.Continue || o.Csv != u"-") {
        const Summary s = Summarise(doc);
        QTextStream& sink = o.Csv == u"-" ? err : out;
        sink << (doc.SearchState() == srNone ? QStringLiteral("Nothing searched")
                                             : doc.StatusStateText())
             << "\n"
             << "Nodes " << s.Nodes << ": hosts " << s.Hosts << ", shares " << s.Shares
             << ", folders " << s.Folders << ", files " << s.Files << "; matches " << s.Matches
             << "; pending " << doc.PendingCount() << "\n"
             << Qt::flush;
    }
    TkxInfoThread::WaitForAll();
    return status;
}
