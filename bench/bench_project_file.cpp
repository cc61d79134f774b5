// Writes a project of about a million nodes (ranges, hosts, shares, folders, files) and reads
// it back in a fresh process, printing the seconds taken and the peak memory per node.
//
//   bench_project_file [file]        build, write, then read in a child process
//   bench_project_file --read file   read only (the child's part)

#include "document/kxProjectDoc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int Ranges = 4;
constexpr int HostsPerRange = 250;
constexpr int SharesPerHost = 4;
constexpr int FoldersPerShare = 25;
constexpr int FilesPerFolder = 9;

qint64 StatusKb(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').front().toLongLong();
    }
    return -1;
}

bool SameBytes(const QString& a, const QString& b) {
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    constexpr qint64 Block = 1 << 20;
    while (!fa.atEnd()) {
        if (fa.read(Block) != fb.read(Block))
            return false;
    }
    return true;
}

double Days(int i) {
    return 45000.0 + (i % 1500) + (i % 86400) / 86400.0;
}

TkxInfo Record(const QString& name, const QString& address, int kind, int i) {
    TkxInfo r;
    r.SetName(name);
    r.SetAddress(address);
    r.SetKind(quint8(kind));
    r.SetScanned(kind == ikFile || i % 97 != 0 ? 1 : 0);
    if (kind == ikFolder || kind == ikFile) {
        r.SetSize(kind == ikFile ? 1000.0 + (i * 7919) % 50000000 : 0);
        r.SetCreating(Days(i));
        r.SetEditTime(Days(i + 11));
        r.SetLastAccess(Days(i + 23));
        r.SetMatched(kind == ikFile && i % 5 == 0 ? 1 : 0);
        r.SetHasMatch(r.Matched);
    } else if (kind != ikRange) {
        r.SetSize(0);
        r.SetHasMatch(1);
    }
    return r;
}

void BuildTree(TkxProjectDoc& doc) {
    int serial = 0;
    for (int g = 0; g < Ranges; ++g) {
        TkxNode* range = doc.AddRange(QStringLiteral("Office %1 (10.%1.0.1-250)").arg(g),
                                      QStringLiteral("10.%1.0.1 - 10.%1.0.250").arg(g));
        range->Info.SetScanned(1);
        std::vector<TkxInfo> hosts;
        for (int h = 0; h < HostsPerRange; ++h)
            hosts.push_back(Record(QStringLiteral("ws-%1-%2.corp.example").arg(g).arg(h),
                                   QStringLiteral("\\\\10.%1.0.%2").arg(g).arg(h + 1), ikHost,
                                   ++serial));
        doc.AddInfoNodes(std::move(hosts), range);
        for (auto& host : range->Children) {
            std::vector<TkxInfo> shares;
            for (int s = 0; s < SharesPerHost; ++s) {
                const QString name = QStringLiteral("Share%1").arg(s);
                shares.push_back(
                    Record(name, host->Info.AddressText() + u'\\' + name, ikShare, ++serial));
            }
            doc.AddInfoNodes(std::move(shares), host.get());
            for (auto& share : host->Children) {
                std::vector<TkxInfo> folders;
                for (int f = 0; f < FoldersPerShare; ++f) {
                    const QString name = QStringLiteral("Project %1").arg(f, 4, 10, QChar(u'0'));
                    folders.push_back(
                        Record(name, share->Info.AddressText() + u'\\' + name, ikFolder, ++serial));
                }
                doc.AddInfoNodes(std::move(folders), share.get());
                for (auto& folder : share->Children) {
                    std::vector<TkxInfo> files;
                    for (int f = 0; f < FilesPerFolder; ++f) {
                        const QString name = QStringLiteral("report_%1.docx").arg(++serial);
                        files.push_back(Record(name, folder->Info.AddressText() + u'\\' + name,
                                               ikFile, serial));
                    }
                    doc.AddInfoNodes(std::move(files), folder.get());
                }
            }
        }
    }
}

int ReadOnly(const QString& fileName) {
    const qint64 baseKb = StatusKb("VmHWM");
    TkxProjectDoc doc;
    QElapsedTimer clock;
    clock.start();
    doc.ReadProject(fileName);
    const double readSeconds = clock.elapsed() / 1000.0;
    const qint64 peakKb = StatusKb("VmHWM");
    const qint64 rssKb = StatusKb("VmRSS");
    const int nodes = doc.Tree().NodeCount();
    std::printf("read:   %d nodes in %.2f s (%d pending)\n", nodes, readSeconds,
                doc.PendingCount());
    std::printf("memory: baseline %lld KiB, peak %lld KiB, resident after %lld KiB\n",
                (long long)baseKb, (long long)peakKb, (long long)rssKb);
    std::printf("memory: %.0f bytes per node at peak above the empty process\n",
                nodes ? (peakKb - baseKb) * 1024.0 / nodes : 0.0);

    const QString again = fileName + QStringLiteral(".again");
    clock.restart();
    doc.WriteProject(again);
    std::printf("write:  loaded tree (times as texts) in %.2f s\n", clock.elapsed() / 1000.0);
    const bool same = SameBytes(again, fileName);
    std::printf("check:  rewritten file %s\n", same ? "is byte-identical" : "DIFFERS");
    QFile::remove(again);
    return same ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QStringLiteral("--read"))
        return ReadOnly(args[2]);

    QTemporaryDir dir;
    const QString fileName = args.size() > 1 ? args[1] : dir.filePath(QStringLiteral("bench.kxor"));
    {
        TkxProjectDoc doc;
        QElapsedTimer clock;
        clock.start();
        BuildTree(doc);
        std::printf("build:  %d nodes in %.2f s\n", doc.Tree().NodeCount(),
                    clock.elapsed() / 1000.0);
        clock.restart();
        doc.WriteProject(fileName);
        std::printf("write:  searched tree (times as dates) in %.2f s, %lld bytes\n",
                    clock.elapsed() / 1000.0, (long long)QFileInfo(fileName).size());
    }
    std::fflush(stdout);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(app.applicationFilePath(), {QStringLiteral("--read"), fileName});
    child.waitForFinished(-1);
    return child.exitCode();
}
