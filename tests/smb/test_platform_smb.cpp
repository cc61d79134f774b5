// The platform's network services against the Samba fixture servers on 127.0.0.2 and 127.0.0.3.

#include "engine/kxServices.h"
#include "model/kxLists.h"
#include "model/kxProgram.h"
#include "platform/kxPlatformServices.h"
#include "smbhelper/kxSmbProtocol.h"

#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

const QString Two = QStringLiteral("127.0.0.2");
const QString Three = QStringLiteral("127.0.0.3");

QString Unc(const QString& path) {
    return QStringLiteral("\\\\") + path;
}

QString FixtureTree(const QString& relative) {
    return QString::fromLocal8Bit(qgetenv("ORVANE_FIXTURE_DIR")) + QStringLiteral("/trees/") +
           relative;
}

double Days(std::int64_t sec, std::int64_t nsec) {
    return DateTimeToDays(QDateTime::fromMSecsSinceEpoch(sec * 1000 + nsec / 1000000, Qt::UTC));
}

std::map<QString, TkxDirEntry> ByName(const std::vector<TkxDirEntry>& entries) {
    std::map<QString, TkxDirEntry> map;
    for (const TkxDirEntry& e : entries)
        map[e.Name] = e;
    return map;
}

QStringList Names(const std::vector<TkxDirEntry>& entries) {
    QStringList names;
    for (const TkxDirEntry& e : entries)
        names << e.Name;
    names.sort();
    return names;
}

QStringList ShareNames(const std::vector<TkxShareEntry>& shares) {
    QStringList names;
    for (const TkxShareEntry& s : shares)
        names << s.Name;
    return names;
}

quint32 Address(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// Accepts TCP connections on addr:445 (the kernel completes them) and never says a word: an
// SMB client waits there until its own time-out.
class SilentServer {
public:
    explicit SilentServer(const char* addr) {
        Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(445);
        inet_pton(AF_INET, addr, &sa.sin_addr);
        Ok = bind(Fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(Fd, 16) == 0;
    }
    ~SilentServer() { close(Fd); }
    bool Ok = false;
    int Fd = -1;
};

// Answers every request on addr:445 with 64 bytes of garbage in a frame: no SMB reply at all.
class GarbageServer {
public:
    explicit GarbageServer(const char* addr) : Listener(addr) {
        if (!Listener.Ok || pipe2(Stop, O_CLOEXEC) != 0)
            return;
        Ok = true;
        Thread = std::thread([this] {
            std::vector<int> clients;
            for (;;) {
                std::vector<pollfd> fds{{Stop[0], POLLIN, 0}, {Listener.Fd, POLLIN, 0}};
                for (int c : clients)
                    fds.push_back({c, POLLIN, 0});
                if (poll(fds.data(), fds.size(), -1) < 0 || fds[0].revents)
                    break;
                if (fds[1].revents)
                    clients.push_back(accept4(Listener.Fd, nullptr, nullptr, SOCK_CLOEXEC));
                for (size_t i = 2; i < fds.size(); ++i) {
                    char buffer[4096];
                    if (fds[i].revents && read(fds[i].fd, buffer, sizeof buffer) > 0) {
                        static const std::string reply =
                            std::string("\0\0\0\x40", 4) + std::string(64, '\xab');
                        [[maybe_unused]] auto n = write(fds[i].fd, reply.data(), reply.size());
                    }
                }
            }
            for (int c : clients)
                close(c);
        });
    }
    ~GarbageServer() {
        if (!Ok)
            return;
        [[maybe_unused]] auto n = write(Stop[1], "x", 1);
        Thread.join();
        close(Stop[0]);
        close(Stop[1]);
    }
    bool Ok = false;

private:
    SilentServer Listener;
    int Stop[2] = {-1, -1};
    std::thread Thread;
};

bool ProcessGone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace

class TestPlatformSmb : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void sharesInServerOrder();
    void unlistableShares_data();
    void unlistableShares();
    void folderEntriesMatchTheFiles();
    void attributesAndSizes();
    void namesRoundTrip_data();
    void namesRoundTrip();
    void fileIdsExposeFolderLoops();
    void largeFolder();
    void refusedAddressFailsFast();
    void garbageReplyFailsForGood();
    void killedHelperFailsOnlyItsRequest();
    void cancelReturnsPromptly();
    void cancelWhileWaitingForAHelper();
    void stalledHelperIsReplaced();
    void missingHelperFails();
    void spawnedHelpersHoldOnlyTheirOwnSocket();
    void lostSpawnerStillGivesHelpers();
    void manyThreadsAtOnce();
    void helperTakesRequestsInPieces();
    // The tests that run programs come last (they run them through posix_spawn, which
    // ThreadSanitizer follows, unlike QProcess's vfork).
    void netbiosNamesWhereDnsHasNone();
    void serversThatSpeakOnlySmb1();
    void reverseLookupOfLoopback();
    void reverseLookupInPrivateNames();

private:
    std::unique_ptr<TkxPlatformServices> Services;
};

void TestPlatformSmb::initTestCase() {
    QVERIFY2(!qgetenv("ORVANE_FIXTURE_DIR").isEmpty(), "ORVANE_FIXTURE_DIR is not set");
    QVERIFY2(QFileInfo(FixtureTree(QStringLiteral("public/readme.txt"))).exists(),
             "the fixture trees are missing; run scripts/smb-fixture start");
    Services = std::make_unique<TkxPlatformServices>();
    QVERIFY2(!Services->Pool().HelperPath().isEmpty(), "orvane-smb-helper not found");
}

void TestPlatformSmb::sharesInServerOrder() {
    TkxCancelToken cancel;
    std::vector<TkxShareEntry> shares;
    QVERIFY(Services->ListShares(Two, shares, cancel));

    QStringList expected = {"public", "denied", "laser", "hidden$", "big", "loop", "bulk"};
    for (int i = 1; i <= 40; ++i)
        expected << QStringLiteral("extra%1").arg(i, 2, 10, QLatin1Char('0'));
    expected << QStringLiteral("IPC$");
    QCOMPARE(ShareNames(shares), expected);

    // Far more than the first 1 KiB listing buffer holds, and still every share arrives.
    int infoBytes = 0;
    for (const TkxShareEntry& s : shares)
        infoBytes += s.Name.toUtf8().size() + s.Comment.toUtf8().size();
    QVERIFY(infoBytes > 1024);

    QCOMPARE(shares[0].Type, 0);
    QCOMPARE(shares[0].Comment, QStringLiteral("Public fixture files"));
    QCOMPARE(shares[2].Type, 1);
    QCOMPARE(shares[3].Type, 0);
    QCOMPARE(shares.back().Type, 3);

    QVERIFY(Services->ListShares(Three, shares, cancel));
    QCOMPARE(ShareNames(shares), QStringList({"docs", "IPC$"}));
}

void TestPlatformSmb::unlistableShares_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error");
    QTest::newRow("guest denied") << "127.0.0.2\\denied" << EACCES;
    // Printer queues and the IPC share hold no folders: nothing to list, and no failure.
    QTest::newRow("printer") << "127.0.0.2\\laser" << -1;
    QTest::newRow("IPC$") << "127.0.0.2\\IPC$" << -1;
    QTest::newRow("no such share") << "127.0.0.2\\nosuch" << ENOENT;
    QTest::newRow("no such folder") << "127.0.0.2\\public\\nosuch" << ENOENT;
    QTest::newRow("a file, not a folder") << "127.0.0.2\\public\\readme.txt" << 0;
}

void TestPlatformSmb::unlistableShares() {
    QFETCH(QString, path);
    QFETCH(int, error);
    TkxCancelToken cancel;
    std::vector<TkxDirEntry> entries(3);
    std::vector<TkxShareEntry> shares;
    QVERIFY(Services->ListShares(Two, shares, cancel)); // tells the share types
    const TkxNetResult result = Services->ListFolder(Unc(path), entries, cancel);
    QVERIFY(entries.empty());
    if (error < 0) {
        QVERIFY(result);
        return;
    }
    QCOMPARE(result.Kind, TkxNetResult::Lasting);
    QVERIFY(!result.Text.isEmpty());
    QVERIFY(TkxPlatformServices::LastError() != 0);
    if (error)
        QCOMPARE(TkxPlatformServices::LastError(), error);
}

void TestPlatformSmb::folderEntriesMatchTheFiles() {
    TkxCancelToken cancel;
    std::vector<TkxDirEntry> entries;
    QVERIFY(Services->ListFolder(Unc(Two + "\\public"), entries, cancel));

    QDir local(FixtureTree(QStringLiteral("public")));
    QStringList expected =
        local.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    expected << "."
             << "..";
    expected.sort();
    QCOMPARE(Names(entries), expected);

    for (const TkxDirEntry& e : entries) {
        if (e.Name == "." || e.Name == "..")
            continue;
        const QByteArray path = QFile::encodeName(local.filePath(e.Name));
        struct statx st {};
        QVERIFY(statx(AT_FDCWD, path.constData(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) == 0);
        QCOMPARE(e.IsDirectory, S_ISDIR(st.stx_mode));
        const double mtime = Days(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
        QVERIFY2(qAbs(e.EditTime - mtime) < 1e-8, qPrintable(e.Name));
        if (!e.IsDirectory) {
            // Listing a folder may touch its access time, never a file's.
            const double atime = Days(st.stx_atime.tv_sec, st.stx_atime.tv_nsec);
            QVERIFY2(qAbs(e.LastAccess - atime) < 1e-8, qPrintable(e.Name));
            QCOMPARE(e.Size, quint64(st.stx_size));
        }
        // This Samba computes a creation time when the file system keeps none for it; a
        // server that reads the birth time gives that instead.
        const double birth =
            (st.stx_mask & STATX_BTIME) ? Days(st.stx_btime.tv_sec, st.stx_btime.tv_nsec) : -1;
        QVERIFY2(qAbs(e.Creating - birth) < 1e-8 || e.Creating <= e.EditTime + 1e-8,
                 qPrintable(e.Name));
        QVERIFY(e.Creating > 0);
        // Folders carry the server's file id (folder loops are found by it); files are left at
        // 0, which spares the helper a connection lookup for every entry.
        QCOMPARE(e.FileId, e.IsDirectory ? quint64(st.stx_ino) : quint64(0));
    }
    struct stat self {};
    QVERIFY(stat(QFile::encodeName(local.path()).constData(), &self) == 0);
    QCOMPARE(ByName(entries).at(".").FileId, quint64(self.st_ino));

    // The conversion is to local time: 2021-03-04 05:06:07.123 UTC is 06:06:07.123 in Berlin.
    const auto times = ByName(entries).at("times.txt");
    QCOMPARE(times.EditTime, 44259.0 + (6 * 3600 + 6 * 60 + 7.123) / 86400.0);
    // 2022-07-08 09:10:11.5 UTC, summer time: 11:10:11.5.
    QCOMPARE(times.LastAccess, 44750.0 + (11 * 3600 + 10 * 60 + 11.5) / 86400.0);
}

void TestPlatformSmb::attributesAndSizes() {
    TkxCancelToken cancel;
    std::vector<TkxDirEntry> entries;
    QVERIFY(Services->ListFolder(Unc(Two + "\\public\\"), entries, cancel));
    const auto map = ByName(entries);
    QCOMPARE(map.at("huge.bin").Size, quint64(5368709120ULL));
    QCOMPARE(map.at("empty.txt").Size, quint64(0));
    QCOMPARE(map.at("kilo.dat").Size, quint64(1536));
    QVERIFY(map.at("hidden.txt").Attributes & 0x02);
    QVERIFY(!(map.at("hidden.txt").Attributes & 0x04));
    QVERIFY(map.at("system.sys").Attributes & 0x04);
    QCOMPARE(map.at("hidsys.dat").Attributes & 0x06, 0x06u);
    QVERIFY(map.at(".dotfile").Attributes & 0x02);
    QVERIFY(!(map.at("readme.txt").Attributes & 0x16));
    QVERIFY(map.at("level1").IsDirectory);
    QVERIFY(map.at("level1").Attributes & 0x10);
    QVERIFY(map.at(".").IsDirectory);
    QVERIFY(!map.at("readme.txt").IsDirectory);

    QVERIFY(Services->ListFolder(Unc(Two + "\\public\\level1\\level2\\level3"), entries, cancel));
    QCOMPARE(Names(entries), QStringList({".", "..", "deep.txt", "level4"}));
    QVERIFY(Services->ListFolder(Unc(Two + "\\public\\level1\\level2\\level3\\level4"), entries,
                                 cancel));
    QCOMPARE(Names(entries), QStringList({".", "..", "bottom.txt"}));
}

void TestPlatformSmb::namesRoundTrip_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("entry");
    QTest::newRow("Cyrillic") << QString::fromUtf8("Документы") << QString::fromUtf8("отчёт.txt");
    QTest::newRow("blanks") << "My Files"
                            << "a b c.txt";
    QTest::newRow("percent") << "dir%41"
                             << "inside%20.txt";
}

void TestPlatformSmb::namesRoundTrip() {
    QFETCH(QString, folder);
    QFETCH(QString, entry);
    TkxCancelToken cancel;
    std::vector<TkxDirEntry> entries;
    QVERIFY(Services->ListFolder(Unc(Two + "\\public"), entries, cancel));
    QVERIFY(ByName(entries).count(folder));
    QVERIFY(ByName(entries).count(QStringLiteral("#hash & plus+;semi=,comma'quote[br]~tilde.txt")));
    QVERIFY(ByName(entries).count(QStringLiteral("100%.txt")));

    // The name as listed leads back into the folder.
    QVERIFY(Services->ListFolder(Unc(Two + "\\public\\" + folder), entries, cancel));
    QCOMPARE(Names(entries), QStringList({".", "..", entry}));
    QVERIFY(Services->FolderId(Unc(Two + "\\public\\" + folder + "\\" + entry), cancel) != 0);
}

void TestPlatformSmb::fileIdsExposeFolderLoops() {
    TkxCancelToken cancel;
    const quint64 root = Services->FolderId(Unc(Two + "\\loop"), cancel);
    const quint64 sub = Services->FolderId(Unc(Two + "\\loop\\sub"), cancel);
    const quint64 b = Services->FolderId(Unc(Two + "\\loop\\b"), cancel);
    QVERIFY(root != 0 && sub != 0 && b != 0);
    struct stat st {};
    QVERIFY(stat(QFile::encodeName(FixtureTree("loop")).constData(), &st) == 0);
    QCOMPARE(root, quint64(st.st_ino));

    std::vector<TkxDirEntry> entries;
    QVERIFY(Services->ListFolder(Unc(Two + "\\loop\\sub"), entries, cancel));
    QCOMPARE(ByName(entries).at("up").FileId, root);
    QCOMPARE(ByName(entries).at(".").FileId, sub);

    // The link is followed: sub\up lists the share root again, and sub\up\sub is sub.
    QVERIFY(Services->ListFolder(Unc(Two + "\\loop\\sub\\up"), entries, cancel));
    QCOMPARE(ByName(entries).at("sub").FileId, sub);
    QCOMPARE(Services->FolderId(Unc(Two + "\\loop\\sub\\up\\sub\\up"), cancel), root);

    QVERIFY(Services->ListFolder(Unc(Two + "\\loop\\a"), entries, cancel));
    QCOMPARE(ByName(entries).at("tosibling").FileId, b);

    // ".." never carries an id, and "." none when the folder's own id is known already; the
    // entries are the same either way.
    QCOMPARE(ByName(entries).at("..").FileId, quint64(0));
    std::vector<TkxDirEntry> known;
    QVERIFY(Services->ListKnownFolder(Unc(Two + "\\loop\\a"), known, cancel));
    QCOMPARE(Names(known), Names(entries));
    QCOMPARE(ByName(known).at(".").FileId, quint64(0));
    QCOMPARE(ByName(known).at("tosibling").FileId, b);
}

void TestPlatformSmb::largeFolder() {
    TkxCancelToken cancel;
    std::vector<TkxDirEntry> entries;
    QVERIFY(Services->ListFolder(Unc(Two + "\\big"), entries, cancel));
    QCOMPARE(entries.size(), std::size_t(5002));
    const auto map = ByName(entries);
    QVERIFY(map.count("file0000.txt") && map.count("file4999.txt"));
}

void TestPlatformSmb::refusedAddressFailsFast() {
    TkxCancelToken cancel;
    std::vector<TkxShareEntry> shares;
    std::vector<TkxDirEntry> entries;
    // Nothing listens there: each call ends on the refusal itself, not on a time-out (which
    // would report ETIMEDOUT).
    QVERIFY(!Services->ListShares("127.0.0.9", shares, cancel));
    QCOMPARE(TkxPlatformServices::LastError(), ECONNREFUSED);
    QVERIFY(!Services->ListFolder(Unc("127.0.0.9\\share"), entries, cancel));
    QCOMPARE(TkxPlatformServices::LastError(), ECONNREFUSED);
    QCOMPARE(Services->FolderId(Unc("127.0.0.9\\share"), cancel), quint64(0));
}

// A server that answers with garbage is said to, and asking it again would not help. A name
// in a listing that can not be converted stays what it is.
void TestPlatformSmb::garbageReplyFailsForGood() {
    GarbageServer garbage("127.0.0.8");
    QVERIFY(garbage.Ok);
    TkxCancelToken cancel;
    std::vector<TkxShareEntry> shares;
    std::vector<TkxDirEntry> entries;
    for (const TkxNetResult& r :
         {Services->ListShares("127.0.0.8", shares, cancel),
          Services->ListFolder(Unc("127.0.0.8\\share\\dir"), entries, cancel)}) {
        QCOMPARE(r.Kind, TkxNetResult::Lasting);
        QCOMPARE(r.Text, QStringLiteral("The server's reply could not be read"));
    }
    const TkxNetResult odd = Services->ListFolder(Unc("127.0.0.4\\mixed\\odd"), entries, cancel);
    if (odd.Code != EINVAL)
        QSKIP("the file system here holds no name that is an unpaired surrogate");
    QCOMPARE(odd.Text, QStringLiteral("Name refused, or a name in the listing can not be read"));
}

void TestPlatformSmb::killedHelperFailsOnlyItsRequest() {
    SilentServer silent("127.0.0.8");
    QVERIFY(silent.Ok);
    TkxSmbPoolOptions options;
    options.SmbTimeout = std::chrono::seconds(30);
    TkxPlatformServices services(options);

    std::atomic<bool> done{false};
    bool result = true;
    int error = 0;
    std::thread worker([&] {
        TkxCancelToken cancel;
        std::vector<TkxShareEntry> shares;
        result = bool(services.ListShares("127.0.0.8", shares, cancel));
        error = TkxPlatformServices::LastError();
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(!services.Pool().BusyHelperPids().empty(), 10000);
    const pid_t pid = services.Pool().BusyHelperPids().front();
    QVERIFY(kill(pid, SIGKILL) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 10000);
    worker.join();
    QVERIFY(!result);
    QCOMPARE(error, EIO);
    QVERIFY(ProcessGone(pid)); // reaped, no zombie left
    const std::vector<pid_t> live = services.Pool().HelperPids();
    QVERIFY(std::find(live.begin(), live.end(), pid) == live.end());

    TkxCancelToken cancel;
    std::vector<TkxShareEntry> shares;
    QVERIFY(services.ListShares(Three, shares, cancel));
    QCOMPARE(ShareNames(shares), QStringList({"docs", "IPC$"}));
}

void TestPlatformSmb::cancelReturnsPromptly() {
    SilentServer silent("127.0.0.8");
    QVERIFY(silent.Ok);
    TkxSmbPoolOptions options;
    options.SmbTimeout = std::chrono::seconds(30);
    TkxPlatformServices services(options);

    TkxCancelToken cancel;
    std::atomic<bool> done{false};
    bool result = true;
    int error = 0;
    std::thread worker([&] {
        std::vector<TkxDirEntry> entries;
        result = bool(services.ListFolder(Unc("127.0.0.8\\share\\folder"), entries, cancel));
        error = TkxPlatformServices::LastError();
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(!services.Pool().BusyHelperPids().empty(), 10000);
    const pid_t pid = services.Pool().BusyHelperPids().front();
    cancel.Cancel();
    // The helper would wait 30 s on its own.
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 10000);
    worker.join();
    QVERIFY(!result);
    QCOMPARE(error, ECANCELED);
    QVERIFY(ProcessGone(pid));

    TkxCancelToken fresh;
    std::vector<TkxDirEntry> entries;
    QVERIFY(services.ListFolder(Unc(Three + "\\docs"), entries, fresh));
    QCOMPARE(Names(entries), QStringList({".", "..", "guide.txt", "manual.txt", "notes"}));
}

void TestPlatformSmb::cancelWhileWaitingForAHelper() {
    SilentServer silent("127.0.0.8");
    QVERIFY(silent.Ok);
    TkxSmbPoolOptions options;
    options.SmbTimeout = std::chrono::seconds(30);
    options.MaxHelpers = 1;
    TkxPlatformServices services(options);

    TkxCancelToken first, second;
    std::atomic<int> finished{0};
    int secondError = 0;
    std::thread busy([&] {
        std::vector<TkxShareEntry> shares;
        services.ListShares("127.0.0.8", shares, first);
        ++finished;
    });
    QTRY_VERIFY_WITH_TIMEOUT(!services.Pool().BusyHelperPids().empty(), 10000);
    std::thread waiting([&] {
        std::vector<TkxShareEntry> shares;
        services.ListShares(Two, shares, second);
        secondError = TkxPlatformServices::LastError();
        ++finished;
    });
    QTest::qWait(200);
    QCOMPARE(finished.load(), 0); // the only helper is taken
    second.Cancel();
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), 1, 5000);
    waiting.join();
    QCOMPARE(secondError, ECANCELED);
    first.Cancel();
    busy.join();

    TkxCancelToken cancel;
    std::vector<TkxShareEntry> shares;
    QVERIFY(services.ListShares(Three, shares, cancel));
}

void TestPlatformSmb::stalledHelperIsReplaced() {
    SilentServer silent("127.0.0.8");
    QVERIFY(silent.Ok);
    TkxSmbPoolOptions options;
    options.SmbTimeout = std::chrono::seconds(30);
    options.StallLimit = std::chrono::milliseconds(300);
    TkxPlatformServices services(options);
    std::atomic<bool> done{false};
    bool result = true;
    int error = 0;
    std::thread worker([&] {
        TkxCancelToken cancel;
        std::vector<TkxShareEntry> shares;
        result = bool(services.ListShares("127.0.0.8", shares, cancel));
        error = TkxPlatformServices::LastError();
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(!services.Pool().BusyHelperPids().empty(), 10000);
    const pid_t stalled = services.Pool().BusyHelperPids().front();
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 10000);
    worker.join();
    QVERIFY(!result);
    QCOMPARE(error, ETIMEDOUT);
    QVERIFY(ProcessGone(stalled));
    const std::vector<pid_t> live = services.Pool().HelperPids();
    QVERIFY(std::find(live.begin(), live.end(), stalled) == live.end());
    TkxCancelToken cancel;
    std::vector<TkxShareEntry> shares;
    QVERIFY(services.ListShares(Three, shares, cancel));
}

// The Unix sockets among a process's descriptors above fd 3.
QStringList UnixSocketsAbove3(pid_t pid) {
    QFile table(QStringLiteral("/proc/net/unix"));
    QSet<QString> unix;
    if (table.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : table.readAll().split('\n'))
            unix.insert(QString::fromLatin1(line.simplified().split(' ').value(6)));
    }
    QStringList found;
    const QString dir = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& fd : QDir(dir).entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(dir + u'/' + fd);
        if (fd.toInt() > 3 && target.contains(QLatin1String("socket:[")) &&
            unix.contains(target.section(u'[', 1).chopped(1)))
            found << fd;
    }
    return found;
}

void TestPlatformSmb::spawnedHelpersHoldOnlyTheirOwnSocket() {
    // Forked by the spawner: a helper that kept the spawner's control socket or another
    // helper's socket would hide that one's end of file, and outlive its search process.
    TkxPlatformServices services;
    QVERIFY(services.Pool().SpawnerPid() > 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            TkxCancelToken cancel;
            std::vector<TkxDirEntry> entries;
            services.ListFolder(Unc(Two + "\\public"), entries, cancel);
        });
    for (auto& t : threads)
        t.join();
    const std::vector<pid_t> helpers = services.Pool().HelperPids();
    QVERIFY(helpers.size() >= 2);
    for (pid_t pid : helpers)
        QCOMPARE(UnixSocketsAbove3(pid), QStringList());
}

void TestPlatformSmb::lostSpawnerStillGivesHelpers() {
    TkxSmbPoolOptions options;
    options.MaxHelpers = 1;
    TkxPlatformServices services(options);
    TkxCancelToken cancel;
    std::vector<TkxDirEntry> entries;
    QVERIFY(services.ListFolder(Unc(Two + "\\loop\\b"), entries, cancel));
    const pid_t spawner = services.Pool().SpawnerPid();
    QVERIFY(spawner > 0);
    QVERIFY(kill(spawner, SIGKILL) == 0);
    // The helper it gave keeps working; the next one is started directly.
    const pid_t first = services.Pool().HelperPids().front();
    QVERIFY(services.ListFolder(Unc(Two + "\\loop\\b"), entries, cancel));
    QVERIFY(kill(first, SIGKILL) == 0);
    QTRY_VERIFY(services.ListFolder(Unc(Two + "\\loop\\b"), entries, cancel));
    QCOMPARE(Names(entries), QStringList({".", "..", "leaf.txt"}));
    QCOMPARE(services.Pool().SpawnerPid(), -1);
    const std::vector<pid_t> live = services.Pool().HelperPids();
    QVERIFY(live.size() == 1 && live.front() != first);
    // An orphan of the lost spawner: reaped by init, not by us.
    QTRY_VERIFY(ProcessGone(first));
}

void TestPlatformSmb::missingHelperFails() {
    TkxSmbPoolOptions options;
    options.HelperPath = QStringLiteral("/nonexistent/orvane-smb-helper");
    TkxPlatformServices services(options);
    TkxCancelToken cancel;
    std::vector<TkxShareEntry> shares;
    QVERIFY(!services.ListShares(Two, shares, cancel));
    QCOMPARE(TkxPlatformServices::LastError(), ENOEXEC);
}

void TestPlatformSmb::manyThreadsAtOnce() {
    constexpr int Threads = 16;
    constexpr int Requests = 200;
    std::atomic<int> wrong{0}, failed{0};
    const QStringList publicNames = [&] {
        TkxCancelToken cancel;
        std::vector<TkxDirEntry> entries;
        Services->ListFolder(Unc(Two + "\\public"), entries, cancel);
        return Names(entries);
    }();
    QVERIFY(publicNames.contains("huge.bin"));
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            TkxCancelToken cancel;
            for (int i = 0; i < Requests; ++i) {
                std::vector<TkxDirEntry> entries;
                std::vector<TkxShareEntry> shares;
                switch ((t + i) % 4) {
                case 0:
                    if (!Services->ListFolder(Unc(Two + "\\public"), entries, cancel))
                        ++failed;
                    else if (Names(entries) != publicNames)
                        ++wrong;
                    break;
                case 1:
                    if (!Services->ListFolder(Unc(Three + "\\docs\\notes"), entries, cancel))
                        ++failed;
                    else if (Names(entries) != QStringList({".", "..", "note.txt"}))
                        ++wrong;
                    break;
                case 2:
                    if (!Services->ListShares(Three, shares, cancel))
                        ++failed;
                    else if (ShareNames(shares) != QStringList({"docs", "IPC$"}))
                        ++wrong;
                    break;
                default:
                    if (!Services->ListFolder(Unc(Two + "\\loop\\sub"), entries, cancel))
                        ++failed;
                    else if (Names(entries) != QStringList({".", "..", "up"}))
                        ++wrong;
                    break;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    QCOMPARE(failed.load(), 0);
    QCOMPARE(wrong.load(), 0);
    QVERIFY(Services->Pool().HelperPids().size() <= std::size_t(Services->Pool().MaxHelpers()));
}

void TestPlatformSmb::helperTakesRequestsInPieces() {
    using namespace kxsmb;
    int sv[2];
    QVERIFY(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sv[1], HelperFd);
    const QByteArray path = QFile::encodeName(Services->Pool().HelperPath());
    char* argv[] = {const_cast<char*>(path.constData()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(sv[1]);
    QCOMPARE(spawned, 0);

    // Credentials and a listing, trickled in one byte at a time.
    Writer w;
    w.Begin(MsgSetCredentials);
    w.Str("");
    w.Str("");
    w.Str("");
    w.U8(0);
    w.End();
    w.Begin(MsgListDir);
    w.U16(445);
    w.Str("smb://127.0.0.2/loop/b");
    w.End();
    for (const char byte : w.Buf) {
        QCOMPARE(send(sv[0], &byte, 1, MSG_NOSIGNAL), ssize_t(1));
        QTest::qWait(1);
    }

    std::string in;
    QStringList answers;
    QElapsedTimer timer;
    timer.start();
    while (answers.size() < 2 && timer.elapsed() < 10000) {
        pollfd p{sv[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        const ssize_t got = read(sv[0], buf, sizeof buf);
        QVERIFY(got > 0);
        in.append(buf, std::size_t(got));
        std::uint32_t len = 0;
        std::uint8_t type = 0;
        while (PeekHeader(in, len, type) && in.size() >= HeaderSize + len) {
            Reader r(std::string_view(in).substr(HeaderSize, len));
            if (type == MsgEnd) {
                const int err = r.I32();
                answers << QStringLiteral("%1/%2").arg(err).arg(r.U32());
            }
            in.erase(0, HeaderSize + len);
        }
    }
    QCOMPARE(answers, QStringList({"0/0", "0/3"})); // ".", ".." and leaf.txt

    // A length no request can have: the helper ends instead of waiting for a megabyte.
    const char absurd[HeaderSize] = {'\xff', '\xff', '\xff', '\x7f', char(MsgListDir)};
    QCOMPARE(send(sv[0], absurd, sizeof absurd, MSG_NOSIGNAL), ssize_t(sizeof absurd));
    pollfd p{sv[0], POLLIN, 0};
    QVERIFY(poll(&p, 1, 10000) == 1);
    char byte = 0;
    QCOMPARE(read(sv[0], &byte, 1), ssize_t(0));
    int status = 0;
    QCOMPARE(waitpid(pid, &status, 0), pid);
    QVERIFY(WIFEXITED(status));
    close(sv[0]);
}

void TestPlatformSmb::reverseLookupOfLoopback() {
    const TkxProgramRun getent = RunProgram(
        QStringLiteral("getent"), {QStringLiteral("hosts"), QStringLiteral("127.0.0.1")}, 10000);
    QVERIFY(getent.Finished);
    const QString expected = QString::fromUtf8(getent.Output).simplified().section(u' ', 1, 1);
    QVERIFY(!expected.isEmpty());
    TkxCancelToken cancel;
    QCOMPARE(Services->ReverseLookup(Address("127.0.0.1"), cancel), expected);
}

// Runs itself again inside the fixture's private names (/etc/hosts naming 127.0.0.2 and a
// resolver that answers nothing), where the checks below hold.
void TestPlatformSmb::reverseLookupInPrivateNames() {
    if (qEnvironmentVariableIsSet("ORVANE_IN_PRIVATE_NAMES")) {
        TkxCancelToken cancel;
        QCOMPARE(Services->ReverseLookup(Address("127.0.0.2"), cancel),
                 QStringLiteral("fileserver-two.test"));
        QCOMPARE(Services->ReverseLookup(Address("127.0.0.3"), cancel),
                 QStringLiteral("fileserver-three.test"));
        QCOMPARE(Services->ReverseLookup(Address("127.0.0.9"), cancel), QString());
        QCOMPARE(TkxPlatformServices::LastError(), ENOENT);
        // Looked up ahead, found ready; a name is handed out once, then asked for anew.
        Services->LookAhead({Address("127.0.0.3"), Address("127.0.0.9"), Address("127.0.0.2")});
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(Services->ReverseLookup(Address("127.0.0.2"), cancel),
                     QStringLiteral("fileserver-two.test"));
            QCOMPARE(Services->ReverseLookup(Address("127.0.0.9"), cancel), QString());
            QCOMPARE(Services->ReverseLookup(Address("127.0.0.3"), cancel),
                     QStringLiteral("fileserver-three.test"));
        }
        // More looked up ahead than go out at once: a host task's own question does not
        // queue behind them.
        std::vector<quint32> many;
        for (int i = 1; i <= 300; ++i)
            many.push_back(
                Address(QStringLiteral("127.0.%1.%2").arg(100 + i / 200).arg(i % 200).toLatin1()));
        Services->LookAhead(many);
        QCOMPARE(Services->ReverseLookup(Address("127.0.0.2"), cancel),
                 QStringLiteral("fileserver-two.test"));
        QCOMPARE(Services->ReverseLookup(many.back(), cancel), QString());
        TkxCancelToken cancelled;
        cancelled.Cancel();
        QCOMPARE(Services->ReverseLookup(Address("127.0.0.5"), cancelled), QString());
        QCOMPARE(TkxPlatformServices::LastError(), ECANCELED);
        std::vector<TkxShareEntry> shares;
        QVERIFY(Services->ListShares(QStringLiteral("fileserver-three.test"), shares, cancel));
        QCOMPARE(ShareNames(shares), QStringList({"docs", "IPC$"}));
        return;
    }
    if (geteuid() != 0)
        QSKIP("private mount namespaces need root");
    const QString script = QString::fromLocal8Bit(qgetenv("ORVANE_SOURCE_DIR")) +
                           QStringLiteral("/scripts/smb-fixture");
    QVERIFY(QFileInfo(script).isExecutable());
    const TkxProgramRun child = RunProgram(script,
                                           {QStringLiteral("with-names"), QStringLiteral("env"),
                                            QStringLiteral("ORVANE_IN_PRIVATE_NAMES=1"),
                                            QCoreApplication::applicationFilePath(),
                                            QStringLiteral("reverseLookupInPrivateNames")},
                                           60000);
    QVERIFY2(child.NormalExit && child.ExitCode == 0, child.Output.constData());
}

void TestPlatformSmb::netbiosNamesWhereDnsHasNone() {
    if (!qEnvironmentVariableIsSet("ORVANE_IN_NAMES"))
        QSKIP("needs the fixture's private names (scripts/smb-fixture with-names)");
    // UDP 137 held by a socket that reads nothing: questions there go unanswered.
    const int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(137);
    at.sin_addr.s_addr = Address("127.0.0.83");
    QVERIFY(bind(silent, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0);
    TkxCancelToken cancel;
    TkxPlatformServices services;
    services.LookAhead({Address("127.0.0.2"), Address("127.0.0.81"), Address("127.0.0.83")});
    QCOMPARE(services.ReverseLookup(Address("127.0.0.81"), cancel), QStringLiteral("FILESRV81"));
    // DNS first; then an SMB server without NetBIOS, a refused and a silent address.
    QCOMPARE(services.ReverseLookup(Address("127.0.0.2"), cancel),
             QStringLiteral("fileserver-two.test"));
    for (const char* nameless : {"127.0.0.4", "127.0.0.84", "127.0.0.83"}) {
        QCOMPARE(services.ReverseLookup(Address(nameless), cancel), QString());
        QCOMPARE(TkxPlatformServices::LastError(), ENOENT);
    }
    // Asked again in a new search, as the first time.
    services.BeginSearch();
    QCOMPARE(services.ReverseLookup(Address("127.0.0.81"), cancel), QStringLiteral("FILESRV81"));
    services.SetNetOptions({.Netbios = false});
    QCOMPARE(services.ReverseLookup(Address("127.0.0.81"), cancel), QString());
    close(silent);
}

namespace {
// The protocol of each session the fixture server at address has now.
QString SessionProtocols(const char* address) {
    const TkxProgramRun status =
        RunProgram(QStringLiteral("smbstatus"),
                   {QStringLiteral("-b"), QStringLiteral("-s"),
                    QString::fromLocal8Bit(qgetenv("ORVANE_FIXTURE_DIR")) +
                        QStringLiteral("/srv-%1/smb.conf").arg(QLatin1String(address))},
                   20000);
    return QString::fromUtf8(status.Output);
}
} // namespace

void TestPlatformSmb::serversThatSpeakOnlySmb1() {
    const QString old = QStringLiteral("127.0.0.82");
    TkxCancelToken cancel;
    std::vector<TkxShareEntry> shares;
    std::vector<TkxDirEntry> entries;
    // Turned off by default: a lasting failure that says why, for the host and its folders.
    TkxNetResult result = Services->ListShares(old, shares, cancel);
    QCOMPARE(result.Kind, TkxNetResult::Lasting);
    QCOMPARE(result.Code, Smb1OnlyCode);
    QCOMPARE(result.Text, QStringLiteral("The server speaks only SMB1, which is turned off"));
    result = Services->ListFolder(Unc(old + "\\old"), entries, cancel);
    QCOMPARE(result.Code, Smb1OnlyCode);
    // A server that speaks SMB 2 and drops the connection is no SMB1 server.
    QVERIFY(Services->ListShares(Two, shares, cancel));

    TkxPlatformServices allowed;
    allowed.SetNetOptions({.AllowSmb1 = true});
    QVERIFY(allowed.ListShares(old, shares, cancel));
    QCOMPARE(ShareNames(shares), QStringList({"old", "IPC$"}));
    QVERIFY(allowed.ListFolder(Unc(old + "\\old"), entries, cancel));
    QCOMPARE(Names(entries), QStringList({".", "..", "archive", "old.txt"}));
    QVERIFY(allowed.ListShares(Two, shares, cancel));
    QVERIFY(allowed.ListFolder(Unc(Two + "\\public"), entries, cancel));
    // The helpers are still connected: each server shows the protocol it negotiated.
    QVERIFY2(SessionProtocols("127.0.0.82").contains(QStringLiteral("NT1")),
             qPrintable(SessionProtocols("127.0.0.82")));
    const QString two = SessionProtocols("127.0.0.2");
    QVERIFY2(two.contains(QStringLiteral("SMB3_11")) && !two.contains(QStringLiteral("NT1")),
             qPrintable(two));
    // Turned off again: helpers that may speak SMB1 are not used any more.
    allowed.SetNetOptions({.AllowSmb1 = false});
    QCOMPARE(allowed.ListShares(old, shares, cancel).Code, Smb1OnlyCode);
}

int main(int argc, char** argv) {
    // Local time with summer time, so the conversion from the server's UTC shows.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    QCoreApplication app(argc, argv);
    TestPlatformSmb test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_platform_smb.moc"
