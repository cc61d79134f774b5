// The SMB helper pool against a scripted helper (this executable, started with
// ORVANE_FAKE_SMB_HELPER set), and the path and name rules of the platform layer. The scripted
// helper answers by the URL it is asked for, so each case picks its own misbehaviour.

#include "engine/kxServices.h"
#include "model/kxLists.h"
#include "platform/kxPoolSizer.h"
#include "platform/kxSecrets.h"
#include "platform/kxSmbPaths.h"
#include "platform/kxSmbPool.h"
#include "smbhelper/kxSmbProtocol.h"

#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kxsmb;

namespace {

// --- the scripted helper -------------------------------------------------------------------

bool ReadExactly(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= std::size_t(r);
    }
    return true;
}

void Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = send(HelperFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w <= 0)
            _exit(0);
        done += std::size_t(w);
    }
}

void PutEntry(Writer& w, std::string_view name, TimeSpec time = {1614834367, 123456789},
              std::uint64_t ino = 7) {
    w.Begin(MsgDirEntry);
    w.U32(0x80);
    w.U64(42);
    w.Time(time);
    w.Time(time);
    w.Time(time);
    w.U64(ino);
    w.Str(name);
    w.End();
}

void PutEnd(Writer& w, int err, std::uint32_t count) {
    w.Begin(MsgEnd);
    w.I32(err);
    w.U32(count);
    w.End();
}

std::string Credentials;

void Answer(std::string_view url) {
    Writer w;
    const std::string_view what = url.substr(url.rfind('/') + 1);
    if (what == "names") {
        const std::string names[] = {"plain.txt",
                                     "bad\xff\xfe",
                                     "cr\r\nlf",
                                     "ctl\x01\x1f",
                                     "\xef\xbb\xbf"
                                     "bom",
                                     "a/b",
                                     "a\\b",
                                     "",
                                     std::string(5000, 'x'),
                                     std::string(200, 'y')};
        for (const std::string& n : names)
            PutEntry(w, n);
        PutEnd(w, 0, std::size(names));
    } else if (what == "times") {
        PutEntry(w, "zero", {0, 0});
        PutEntry(w, "far", {std::int64_t(1) << 50, 0});
        PutEntry(w, "badns", {1614834367, 1500000000u});
        PutEntry(w, "old", {-11644473600LL + 86400, 0});
        PutEnd(w, 0, 4);
    } else if (what == "whoami") {
        PutEntry(w, Credentials);
        PutEnd(w, 0, 1);
    } else if (what == "pid") {
        PutEntry(w, std::to_string(getpid()));
        PutEnd(w, 0, 1);
    } else if (what == "fds") {
        // Every descriptor this process has besides stdio, its socket and the listing itself.
        DIR* d = opendir("/proc/self/fd");
        std::uint32_t n = 0;
        while (dirent* e = readdir(d)) {
            const int fd = atoi(e->d_name);
            if (e->d_name[0] != '.' && fd > HelperFd && fd != dirfd(d)) {
                PutEntry(w, e->d_name);
                ++n;
            }
        }
        closedir(d);
        PutEnd(w, 0, n);
    } else if (what == "slow") {
        usleep(50 * 1000);
        PutEntry(w, "slow");
        PutEnd(w, 0, 1);
    } else if (what.substr(0, 6) == "sleep-") {
        // Answers with its pid after the given number of milliseconds.
        usleep(std::atoi(std::string(what.substr(6)).c_str()) * 1000);
        PutEntry(w, std::to_string(getpid()));
        PutEnd(w, 0, 1);
    } else if (what == "denied") {
        PutEnd(w, EACCES, 0);
    } else if (what == "crash") {
        _exit(3);
    } else if (what == "crash-midway") {
        PutEntry(w, "first");
        Send(w.Buf);
        _exit(3);
    } else if (what == "silent") {
        pause();
    } else if (what == "huge-length") {
        w.Buf = std::string("\xf0\xff\xff\xff\x82", 5);
    } else if (what == "wrong-count") {
        PutEntry(w, "one");
        PutEnd(w, 0, 2);
    } else if (what == "trailing") {
        PutEntry(w, "one");
        PutEnd(w, 0, 1);
        PutEntry(w, "stray");
    } else if (what == "short-body") {
        w.Begin(MsgDirEntry);
        w.U32(0x80);
        w.End();
        PutEnd(w, 0, 1);
    } else if (what == "wrong-type") {
        w.Begin(MsgShare);
        w.U32(0);
        w.Str("share");
        w.Str("");
        w.End();
        PutEnd(w, 0, 1);
    } else if (what == "flood") {
        for (int i = 0; i < 5000; ++i)
            PutEntry(w, "file" + std::to_string(i));
        PutEnd(w, 0, 5000);
    } else {
        PutEntry(w, "ok");
        PutEnd(w, 0, 1);
    }
    Send(w.Buf);
}

int FakeHelper() {
    std::string body;
    for (;;) {
        char header[HeaderSize];
        if (!ReadExactly(HelperFd, header, HeaderSize))
            return 0;
        std::uint32_t len = 0;
        std::uint8_t type = 0;
        PeekHeader(std::string_view(header, HeaderSize), len, type);
        body.resize(len);
        if (!ReadExactly(HelperFd, body.data(), len))
            return 0;
        Reader r(body);
        if (type == MsgSetCredentials || type == MsgSetHostCredentials) {
            const std::string host(type == MsgSetHostCredentials ? r.Str() : "");
            const std::string user(r.Str()), domain(r.Str()), password(r.Str());
            const std::string text =
                user + "|" + domain + "|" + password + "|" + std::to_string(r.U8());
            if (host.empty())
                Credentials = text;
            else
                Credentials += " " + host + "=" + text;
            Writer w;
            PutEnd(w, 0, 0);
            Send(w.Buf);
        } else {
            r.U16();
            Answer(r.Str());
        }
    }
}

// --- helpers for the tests -----------------------------------------------------------------

TkxSmbPoolOptions FakeOptions() {
    TkxSmbPoolOptions options;
    options.HelperPath = QCoreApplication::applicationFilePath();
    options.MaxHelpers = 2;
    return options;
}

int List(TkxSmbPool& pool, const char* what, std::vector<TkxDirEntry>& out,
         const std::string& host = "fake") {
    TkxCancelToken cancel;
    return pool.ListDir(host, "smb://" + host + "/share/" + what, 445, out, cancel);
}

QString Single(TkxSmbPool& pool, const char* what, const std::string& host = "fake") {
    std::vector<TkxDirEntry> out;
    if (List(pool, what, out, host) != 0 || out.size() != 1)
        return QStringLiteral("<failed>");
    return out.front().Name;
}

// Steps a request as the search's manager does: on input, on its wake-up, at its stall time.
int Drive(TkxSmbPool::Request& request, const std::atomic<bool>& woken,
          std::chrono::steady_clock::time_point give_up) {
    for (;;) {
        if (request.Step(std::chrono::steady_clock::now()))
            return request.NeedsThread() ? -1 : request.Error();
        if (std::chrono::steady_clock::now() > give_up)
            return -2;
        if (request.Fd() < 0 && !woken.load()) {
            QTest::qWait(5);
            continue;
        }
        pollfd p{request.Fd(), POLLIN, 0};
        poll(&p, request.Fd() < 0 ? 0 : 1, 20);
    }
}

std::vector<QString> Names(TkxSmbPool::Request& request) {
    std::vector<QString> names;
    for (const TkxDirEntry& e : request.Entries())
        names.push_back(e.Name);
    return names;
}

double Days(qint64 msecs) {
    return DateTimeToDays(QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC));
}

} // namespace

class TestPlatformPool : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void uncToUrl_data();
    void uncToUrl();
    void openableAddresses();
    void namesFromTheNetwork_data();
    void namesFromTheNetwork();
    void readerStaysInBounds();

    void namesAreDecodedAndPathBreakersDropped();
    void outOfRangeTimesBecomeEmpty();
    void brokenStreams_data();
    void brokenStreams();
    void serverErrorKeepsTheHelper();
    void tooManyEntries();
    void stalledHelper();
    void credentialsTravelOverTheSocket();
    void helperIsNeverDumpable();
    void helperInheritsNoDescriptors();
    void requestsStayWithTheirHost();
    void requestsStayWithTheirShare();
    void poolNeverExceedsItsSize();
    void freedHelperGoesToAWaiterForItsHost();
    void cancelledWaitersLoseNoHelper();
    void requestsWithoutAThread();
    void helperCountFromTheEnvironment();
    void sizerFollowsTheWork();
};

void TestPlatformPool::uncToUrl_data() {
    QTest::addColumn<QString>("unc");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("url");
    QTest::newRow("host") << "\\\\10.0.0.7" << true << "10.0.0.7"
                          << "smb://10.0.0.7";
    QTest::newRow("share") << "\\\\10.0.0.7\\public" << true << "10.0.0.7"
                           << "smb://10.0.0.7/public";
    QTest::newRow("trailing backslash") << "\\\\h\\s\\dir\\" << true << "h"
                                        << "smb://h/s/dir";
    QTest::newRow("blanks, percent, reserved")
        << "\\\\h\\My Files\\100%\\a#b?c&d=e+f;g" << true << "h"
        << "smb://h/My%20Files/100%25/a%23b%3Fc%26d%3De%2Bf%3Bg";
    QTest::newRow("already encoded stays literal") << "\\\\h\\dir%41" << true << "h"
                                                   << "smb://h/dir%2541";
    QTest::newRow("Cyrillic") << QString::fromUtf8("\\\\h\\Документы") << true << "h"
                              << "smb://h/%D0%94%D0%BE%D0%BA%D1%83%D0%BC%D0%B5%D0%BD%D1%82%D1%8B";
    QTest::newRow("unreserved kept") << "\\\\h\\a-b_c.d~e" << true << "h"
                                     << "smb://h/a-b_c.d~e";
    QTest::newRow("one backslash") << "\\h\\s" << false << ""
                                   << "";
    QTest::newRow("no host") << "\\\\" << false << ""
                             << "";
    QTest::newRow("empty component") << "\\\\h\\s\\\\d" << false << ""
                                     << "";
    QTest::newRow("dot dot") << "\\\\h\\s\\..\\other" << false << ""
                             << "";
    QTest::newRow("slash") << "\\\\h\\s\\a/b" << false << ""
                           << "";
    QTest::newRow("forward slashes") << "//h/s" << false << ""
                                     << "";
    QTest::newRow("blank in the host") << "\\\\a b\\share\\f" << false << ""
                                       << "";
    QTest::newRow("user in the host") << "\\\\evil@h\\s" << false << ""
                                      << "";
    QTest::newRow("port in the host") << "\\\\h:80\\s" << false << ""
                                      << "";
    QTest::newRow("host name") << "\\\\file-server_2.lan\\s" << true << "file-server_2.lan"
                               << "smb://file-server_2.lan/s";
    QTest::newRow("longest path") << "\\\\h\\" + QString(int(MaxUrlBytes) - 8, 'x') << true << "h"
                                  << "smb://h/" + QString(int(MaxUrlBytes) - 8, 'x');
    QTest::newRow("path too long") << "\\\\h\\" + QString(int(MaxUrlBytes) - 7, 'x') << false << ""
                                   << "";
}

void TestPlatformPool::uncToUrl() {
    QFETCH(QString, unc);
    QFETCH(bool, ok);
    QFETCH(QString, host);
    QFETCH(QString, url);
    TkxSmbTarget target;
    QCOMPARE(UncToSmbTarget(unc, target), ok);
    if (ok) {
        QCOMPARE(QString::fromStdString(target.Host), host);
        QCOMPARE(QString::fromStdString(target.Url), url);
    }
}

// Only a network path with a valid host opens; every other address of a node (it may come from
// anyone's project file) is refused with a reason.
void TestPlatformPool::openableAddresses() {
    const QList<std::pair<QString, QString>> opened{
        {"\\\\127.0.0.2\\pub\\a b#1%.txt", "smb://127.0.0.2/pub/a%20b%231%25.txt"},
        {"\\\\srv", "smb://srv/"},
        {QString::fromUtf8("\\\\srv\\Папка"), "smb://srv/%D0%9F%D0%B0%D0%BF%D0%BA%D0%B0"},
    };
    for (const auto& [address, url] : opened) {
        QString reason = "stale";
        QCOMPARE(OpenableAddressUrl(address, &reason).toString(QUrl::FullyEncoded), url);
        QVERIFY(reason.isEmpty());
    }
    const QList<std::pair<QString, QString>> refused{
        {"https://evil.example/payload?x=$(id)", "is no network path"},
        {"file:///etc/passwd", "is no network path"},
        {"/usr/bin/xterm", "is no network path"},
        {"127.0.0.1 - 127.0.0.1", "is no network path"},
        {"\\\\a b\\share\\f", "the host of"},
        {"\\\\evil.example@attacker\\s", "the host of"},
        {"\\\\h\\s\\..\\other", "is no usable network path"},
    };
    for (const auto& [address, why] : refused) {
        QString reason;
        QVERIFY2(!OpenableAddressUrl(address, &reason).isValid(), qPrintable(address));
        QVERIFY2(reason.contains(why) && reason.contains(address), qPrintable(reason));
    }
}

void TestPlatformPool::namesFromTheNetwork_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("usable");
    QTest::newRow("plain") << QByteArray("a.txt") << "a.txt" << true;
    QTest::newRow("invalid UTF-8") << QByteArray("a\xff"
                                                 "b")
                                   << QString::fromUtf8("a\uFFFDb") << true;
    QTest::newRow("truncated sequence")
        << QByteArray("a\xd0") << QString::fromUtf8("a\uFFFD") << true;
    QTest::newRow("CR LF kept") << QByteArray("a\r\nb") << "a\r\nb" << true;
    QTest::newRow("byte order mark kept")
        << QByteArray("\xef\xbb\xbfx") << QString(QChar(0xFEFF)) + "x" << true;
    QTest::newRow("dot") << QByteArray(".") << "." << true;
    QTest::newRow("empty") << QByteArray() << "" << false;
    QTest::newRow("slash") << QByteArray("a/b") << "a/b" << false;
    QTest::newRow("backslash") << QByteArray("a\\b") << "a\\b" << false;
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << QString::fromUtf8("a\0b", 3) << false;
    QTest::newRow("longest") << QByteArray(int(MaxNameBytes), 'x')
                             << QString(int(MaxNameBytes), 'x') << true;
    QTest::newRow("too long") << QByteArray(int(MaxNameBytes) + 1, 'x')
                              << QString(int(MaxNameBytes) + 1, 'x') << false;
}

void TestPlatformPool::namesFromTheNetwork() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(bool, usable);
    const std::string_view view(bytes.constData(), std::size_t(bytes.size()));
    QCOMPARE(NameFromServer(view), text);
    QCOMPARE(IsUsableEntryName(view), usable);
}

void TestPlatformPool::readerStaysInBounds() {
    Writer w;
    w.Begin(MsgDirEntry);
    w.U32(5);
    w.Str("name");
    QVERIFY(w.End());
    std::uint32_t len = 0;
    std::uint8_t type = 0;
    QVERIFY(PeekHeader(w.Buf, len, type));
    QCOMPARE(len, 12u);
    QCOMPARE(type, std::uint8_t(MsgDirEntry));
    QVERIFY(!PeekHeader(std::string_view(w.Buf).substr(0, 4), len, type));

    Reader ok(std::string_view(w.Buf).substr(HeaderSize));
    QCOMPARE(ok.U32(), 5u);
    QCOMPARE(ok.Str(), std::string_view("name"));
    QVERIFY(ok.Ok() && ok.AtEnd());
    QCOMPARE(ok.U8(), std::uint8_t(0)); // past the end: nothing, and the reader says so
    QVERIFY(!ok.Ok());

    // A string length that points past the body.
    Reader lying(std::string_view(w.Buf).substr(HeaderSize, 10));
    lying.U32();
    QVERIFY(lying.Str().empty());
    QVERIFY(!lying.Ok());

    // Every width little-endian, high bits and negative numbers included.
    Writer widths;
    widths.U16(0xA1B2);
    widths.U64(0x0102030405060708ull);
    widths.Time({-2, 0xFFFFFFFFu});
    QCOMPARE(QByteArray::fromStdString(widths.Buf).toHex(),
             QByteArray("b2a10807060504030201feffffffffffffffffffffff"));
    Reader back(widths.Buf);
    QCOMPARE(back.U16(), std::uint16_t(0xA1B2));
    QCOMPARE(back.U64(), 0x0102030405060708ull);
    const TimeSpec t = back.Time();
    QVERIFY(t.Sec == -2 && t.Nsec == 0xFFFFFFFFu && back.Ok() && back.AtEnd());

    Writer big;
    big.Begin(MsgDirEntry);
    big.Str(std::string(MaxBody, 'x'));
    QVERIFY(!big.End());
    QVERIFY(big.Buf.empty());
}

void TestPlatformPool::namesAreDecodedAndPathBreakersDropped() {
    TkxSmbPool pool(FakeOptions());
    std::vector<TkxDirEntry> out;
    QCOMPARE(List(pool, "names", out), 0);
    QStringList names;
    for (const TkxDirEntry& e : out)
        names << e.Name;
    QCOMPARE(names,
             QStringList({"plain.txt", QString::fromUtf8("bad\uFFFD\uFFFD"), "cr\r\nlf",
                          "ctl\x01\x1f", QString(QChar(0xFEFF)) + "bom", QString(200, 'y')}));
    QCOMPARE(out.front().Size, quint64(42));
    QCOMPARE(out.front().FileId, quint64(7));
    QCOMPARE(out.front().Attributes, 0x80u);
    QVERIFY(!out.front().IsDirectory);
    QCOMPARE(out.front().EditTime, Days(1614834367123));
}

void TestPlatformPool::outOfRangeTimesBecomeEmpty() {
    TkxSmbPool pool(FakeOptions());
    std::vector<TkxDirEntry> out;
    QCOMPARE(List(pool, "times", out), 0);
    QCOMPARE(out.size(), std::size_t(4));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(out[i].Creating, 0.0);
        QCOMPARE(out[i].EditTime, 0.0);
        QCOMPARE(out[i].LastAccess, 0.0);
    }
    QCOMPARE(out[3].EditTime, Days((-11644473600LL + 86400) * 1000)); // 2 January 1601
    QVERIFY(out[3].EditTime < 0);
}

void TestPlatformPool::brokenStreams_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("error");
    QTest::newRow("dies before answering") << "crash" << EIO;
    QTest::newRow("dies halfway") << "crash-midway" << EIO;
    QTest::newRow("absurd frame length") << "huge-length" << EIO;
    QTest::newRow("count disagrees") << "wrong-count" << EIO;
    QTest::newRow("bytes after END") << "trailing" << EIO;
    QTest::newRow("truncated entry") << "short-body" << EIO;
    QTest::newRow("share entry in a folder") << "wrong-type" << EIO;
}

void TestPlatformPool::brokenStreams() {
    QFETCH(QString, what);
    QFETCH(int, error);
    TkxSmbPool pool(FakeOptions());
    std::vector<TkxDirEntry> out(1);
    const pid_t before = Single(pool, "pid").toInt();
    QVERIFY(before > 0);
    QCOMPARE(List(pool, what.toLatin1().constData(), out), error);
    QVERIFY(out.size() == 1); // nothing committed on failure
    // The broken helper is gone (killed and reaped); a fresh one serves the next request.
    QVERIFY(kill(before, 0) != 0);
    QCOMPARE(std::ranges::count(pool.HelperPids(), before), 0);
    const pid_t after = Single(pool, "pid").toInt();
    QVERIFY(after > 0 && after != before);
}

void TestPlatformPool::serverErrorKeepsTheHelper() {
    TkxSmbPool pool(FakeOptions());
    std::vector<TkxDirEntry> out;
    const QString pid = Single(pool, "pid");
    QCOMPARE(List(pool, "denied", out), EACCES);
    QCOMPARE(Single(pool, "pid"), pid);
}

void TestPlatformPool::tooManyEntries() {
    TkxSmbPoolOptions options = FakeOptions();
    options.MaxEntries = 100;
    TkxSmbPool pool(options);
    std::vector<TkxDirEntry> out;
    QCOMPARE(List(pool, "flood", out), EFBIG);
    QVERIFY(out.empty());
    QCOMPARE(Single(pool, "ok"), QStringLiteral("ok"));
}

void TestPlatformPool::stalledHelper() {
    TkxSmbPoolOptions options = FakeOptions();
    // The limit covers the helper's start too, which takes a while under the thread checker.
    options.StallLimit = std::chrono::milliseconds(1000);
    TkxSmbPool pool(options);
    const pid_t stalled = Single(pool, "pid").toInt();
    QVERIFY(stalled > 0);
    std::vector<TkxDirEntry> out;
    QCOMPARE(List(pool, "silent", out), ETIMEDOUT);
    QVERIFY(kill(stalled, 0) != 0);
    QCOMPARE(std::ranges::count(pool.HelperPids(), stalled), 0);
    QCOMPARE(Single(pool, "ok"), QStringLiteral("ok"));
}

void TestPlatformPool::credentialsTravelOverTheSocket() {
    const bool dumpable = TkxNotDumpable::ProcessDumpable();
    TkxSmbPool pool(FakeOptions());
    QCOMPARE(Single(pool, "whoami"), QStringLiteral("|||0")); // guest
    TkxCredentials c;
    c.User = QString::fromUtf8("иван");
    c.Domain = "LAN";
    c.Password = "p\xc3\xa4ss word";
    c.UseKerberos = true;
    pool.SetCredentials(c);
    QCOMPARE(Single(pool, "whoami"), QString::fromUtf8("иван|LAN|p\xc3\xa4ss word|1"));
    // A host's own credentials reach every helper started after them, beside the default.
    TkxCredentials own;
    own.User = "bob";
    own.Password = "pw";
    pool.SetHostCredentials("10.0.0.7", &own);
    QCOMPARE(Single(pool, "whoami"),
             QString::fromUtf8("иван|LAN|p\xc3\xa4ss word|1 10.0.0.7=bob||pw|0"));
    pool.SetHostCredentials("10.0.0.7", nullptr);
    QCOMPARE(Single(pool, "whoami"), QString::fromUtf8("иван|LAN|p\xc3\xa4ss word|1"));
    // Holding a password, the process may not be dumped; a search that ended wipes it.
    QVERIFY(pool.HoldsPasswords() && !TkxNotDumpable::ProcessDumpable());
    pool.ForgetPasswords();
    QVERIFY(!pool.HoldsPasswords() && TkxNotDumpable::ProcessDumpable() == dumpable);
    QCOMPARE(Single(pool, "whoami"), QString::fromUtf8("иван|LAN||1"));
    const QString pid = Single(pool, "pid");
    const QByteArray cmdline = [&] {
        QFile f("/proc/" + pid + "/cmdline");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }();
    QVERIFY(!cmdline.isEmpty() && !cmdline.contains("ss word") && !cmdline.contains("<unr"));
    QFile environ("/proc/" + pid + "/environ");
    QVERIFY(environ.open(QIODevice::ReadOnly));
    QVERIFY(!environ.readAll().contains("ss word"));
}

// The real helper holds passwords from its first request on: it is never dumpable. Run as
// nobody, so that /proc tells: the files of a process that may not be dumped belong to root.
void TestPlatformPool::helperIsNeverDumpable() {
    const QByteArray helper = QFile::encodeName(TkxSmbPool::FindHelper());
    if (helper.isEmpty() || geteuid() != 0)
        QSKIP("needs orvane-smb-helper and root");
    int sv[2];
    QVERIFY(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (dup2(sv[1], HelperFd) == HelperFd && setgid(65534) == 0 && setuid(65534) == 0)
            execl(helper.constData(), helper.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    QVERIFY(pid > 0);
    close(sv[1]);
    const auto reap = qScopeGuard([&] {
        close(sv[0]);
        waitpid(pid, nullptr, 0);
    });
    // An answer (to a port where nothing listens) means the helper is in its request loop.
    Writer w;
    w.Begin(MsgListShares);
    w.U16(9);
    w.Str("127.0.0.1");
    w.End();
    QVERIFY(SendAll(sv[0], w.Buf.data(), w.Buf.size()));
    char header[HeaderSize];
    if (!ReadExactly(sv[0], header, HeaderSize))
        QSKIP("the helper could not run as nobody here");
    struct stat st {};
    QVERIFY(stat(QByteArray("/proc/" + QByteArray::number(pid) + "/environ").constData(), &st) ==
            0);
    QCOMPARE(st.st_uid, uid_t(0));
}

void TestPlatformPool::helperInheritsNoDescriptors() {
    // A descriptor this process opens without close-on-exec must not reach the helper.
    const int leaky = dup(STDERR_FILENO);
    QVERIFY(leaky > HelperFd);
    TkxSmbPool pool(FakeOptions());
    std::vector<TkxDirEntry> out;
    QCOMPARE(List(pool, "fds", out), 0);
    close(leaky);
    QStringList fds;
    for (const TkxDirEntry& e : out)
        fds << e.Name;
    QCOMPARE(fds, QStringList());
}

void TestPlatformPool::requestsStayWithTheirHost() {
    TkxSmbPool pool(FakeOptions());
    const QString a = Single(pool, "pid", "hosta");
    const QString b = Single(pool, "pid", "hostb");
    QVERIFY(a != "<failed>" && b != "<failed>");
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(Single(pool, "pid", "hostb"), b);
        QCOMPARE(Single(pool, "pid", "hosta"), a);
    }
}

void TestPlatformPool::requestsStayWithTheirShare() {
    // libsmbclient connects once per share: two shares of one host are two connections, so
    // each share's requests go to the helper that holds its connection.
    TkxSmbPool pool(FakeOptions());
    auto pidOf = [&](const char* share) {
        std::vector<TkxDirEntry> out;
        TkxCancelToken cancel;
        const std::string url = std::string("smb://fake/") + share + "/sub/pid";
        return pool.ListDir("fake", url, 445, out, cancel) == 0 && out.size() == 1
                   ? out.front().Name
                   : QStringLiteral("<failed>");
    };
    const QString a = pidOf("a");
    const QString b = pidOf("b");
    QVERIFY(a != b && a != "<failed>" && b != "<failed>");
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(pidOf("b"), b);
        QCOMPARE(pidOf("a"), a);
    }
}

void TestPlatformPool::poolNeverExceedsItsSize() {
    TkxSmbPool pool(FakeOptions());
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> most{0};
    std::thread watcher([&] {
        while (!stop) {
            most = std::max<std::size_t>(most, pool.HelperPids().size());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i)
                if (Single(pool, "slow", "host" + std::to_string(i)) != "slow")
                    ++failures;
        });
    for (auto& t : threads)
        t.join();
    stop = true;
    watcher.join();
    QCOMPARE(failures.load(), 0);
    QVERIFY(most.load() >= 1);
    QVERIFY(most.load() <= 2);
}

void TestPlatformPool::freedHelperGoesToAWaiterForItsHost() {
    TkxSmbPool pool(FakeOptions());
    const QString a = Single(pool, "pid", "hosta");
    QString b;
    std::thread holdA([&] { Single(pool, "sleep-300", "hosta"); });
    QTRY_COMPARE(pool.BusyHelperPids().size(), std::size_t(1));
    b = Single(pool, "pid", "hostb");
    QVERIFY(b != a && b != "<failed>");
    std::thread holdB([&] { Single(pool, "sleep-600", "hostb"); });
    QTRY_COMPARE(pool.BusyHelperPids().size(), std::size_t(2));

    // The waiter for hostb comes first, yet the helper that frees up first is hosta's: it
    // goes to the waiter for hosta. Handed to the first waiter instead, it would be held for
    // 400 ms, and hosta's waiter would get hostb's helper.
    QString forB, forA;
    std::thread waitB([&] { forB = Single(pool, "sleep-400", "hostb"); });
    QTest::qWait(50);
    std::thread waitA([&] { forA = Single(pool, "pid", "hosta"); });
    for (std::thread* t : {&holdA, &holdB, &waitB, &waitA})
        t->join();
    QCOMPARE(forA, a);
    QVERIFY(forB == a || forB == b);
}

void TestPlatformPool::cancelledWaitersLoseNoHelper() {
    TkxSmbPoolOptions options = FakeOptions();
    options.MaxHelpers = 1;
    TkxSmbPool pool(options);
    constexpr int Waiters = 8;
    TkxCancelToken tokens[Waiters];
    int results[Waiters] = {};
    std::thread hold([&] { Single(pool, "sleep-200"); });
    QTRY_COMPARE(pool.BusyHelperPids().size(), std::size_t(1));
    std::vector<std::thread> threads;
    for (int i = 0; i < Waiters; ++i)
        threads.emplace_back([&, i] {
            std::vector<TkxDirEntry> out;
            results[i] = pool.ListDir("fake", "smb://fake/share/sleep-20", 445, out, tokens[i]);
        });
    QTest::qWait(50);
    // Every other waiter gives up, one of them just as the helper is handed over.
    for (int i = 0; i < Waiters; i += 2)
        tokens[i].Cancel();
    QTest::qWait(150);
    tokens[Waiters - 1].Cancel();
    hold.join();
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < Waiters - 1; ++i)
        QCOMPARE(results[i], i % 2 == 0 ? ECANCELED : 0);
    QVERIFY(results[Waiters - 1] == 0 || results[Waiters - 1] == ECANCELED);

    // The one helper is still there for the next request, and it is the only one.
    TkxCancelToken cancel, answered;
    std::thread limit([&] {
        pollfd p{answered.Fd(), POLLIN, 0};
        if (poll(&p, 1, 10000) == 0)
            cancel.Cancel(); // a lost helper would leave the request waiting for ever
    });
    std::vector<TkxDirEntry> out;
    const int error = pool.ListDir("fake", "smb://fake/share/ok", 445, out, cancel);
    answered.Cancel();
    limit.join();
    QCOMPARE(error, 0);
    QCOMPARE(pool.HelperPids().size(), std::size_t(1));
}

void TestPlatformPool::helperCountFromTheEnvironment() {
    qputenv("ORVANE_SMB_HELPERS", "5");
    QCOMPARE(TkxSmbPool::DefaultHelperCount(), 5);
    qputenv("ORVANE_SMB_HELPERS", "nonsense");
    const int cores = int(std::thread::hardware_concurrency());
    QCOMPARE(TkxSmbPool::DefaultHelperCount(), std::max(2, cores));
    qputenv("ORVANE_SMB_HELPERS", "0");
    QCOMPARE(TkxSmbPool::DefaultHelperCount(), std::max(2, cores));
    qunsetenv("ORVANE_SMB_HELPERS");
    TkxSmbPool pool(FakeOptions());
    QCOMPARE(pool.MaxHelpers(), 2);
    pool.SetMaxHelpers(1);
    QCOMPARE(pool.MaxHelpers(), 1);
}

void TestPlatformPool::sizerFollowsTheWork() {
    using namespace std::chrono_literals;
    using Clock = TkxPoolSizer::Clock;
    TkxPoolSizer::Options o;
    o.Initial = 2;
    o.Ceiling = 16;
    o.MinWindow = 10ms;
    o.CompletionsPerHelper = 2;
    o.Hold = 25ms;
    Clock::time_point now{};
    double idle = 0;
    // One window: n requests over ms, with waiters or not, the machine idle for the given
    // cores meanwhile; the new target, or -1 when the window is not judged yet.
    auto window = [&](TkxPoolSizer& s, int n, int ms, bool waiting, double idleCores, int demand) {
        if (waiting)
            s.Waited();
        bool due = false;
        for (int i = 0; i < n; ++i) {
            now += std::chrono::microseconds(ms * 1000 / n);
            due = s.Completed(now);
        }
        idle += idleCores * ms / 1000.0;
        return due ? s.Judge(now, idle, demand) : -1;
    };

    TkxPoolSizer late(o, now, idle);
    // The first window holds the start-up. Then, with requests waiting and idle cores: twice
    // the helpers for a window, the old number for one more (the others kept idle), and the
    // growth kept when it beat both.
    QCOMPARE(window(late, 4, 10, true, 1.5, 16), 2);
    QCOMPARE(window(late, 4, 10, true, 1.5, 16), 4);
    QCOMPARE(window(late, 8, 10, true, 1.5, 16), 2); // twice as fast; back for a window
    QCOMPARE(late.Keep(), 4);
    QCOMPARE(window(late, 4, 10, true, 1.5, 16), 4); // as slow as before: the growth stays
    QCOMPARE(window(late, 8, 10, true, 1.5, 16), 8);
    late.Fresh(+1, now); // a helper starting: what is served meanwhile is not judged
    QCOMPARE(window(late, 40, 10, true, 1.5, 16), -1);
    late.Fresh(-1, now);
    QCOMPARE(window(late, 16, 20, true, 1.5, 16), 4); // no faster than with 4
    QCOMPARE(window(late, 8, 10, true, 1.5, 16), 4);  // nor slower without: 4 it is
    QCOMPARE(late.Keep(), 4);
    QCOMPARE(window(late, 8, 10, true, 1.5, 16), 4); // held for a while
    QCOMPARE(window(late, 8, 10, true, 1.5, 16), 4);
    QCOMPARE(window(late, 8, 10, true, 1.5, 6), 6); // then grown again, never beyond the demand
    QCOMPARE(late.MostAllowed(), 8);

    // A walk that speeds up by itself: faster with the growth, as fast again without it.
    TkxPoolSizer warming(o, now, idle);
    window(warming, 4, 10, true, 1.5, 16);
    QCOMPARE(window(warming, 4, 10, true, 1.5, 16), 4);
    QCOMPARE(window(warming, 12, 20, true, 1.5, 16), 2);
    QCOMPARE(window(warming, 8, 10, true, 1.5, 16), 2);
    QCOMPARE(warming.Keep(), 2);

    // No CPU to spare: no growth however many wait; nobody waiting: back toward the floor.
    TkxPoolSizer busy(o, now, idle);
    QCOMPARE(window(busy, 4, 10, true, 0.1, 16), 2);
    QCOMPARE(window(busy, 4, 10, true, 0.0, 16), 2);
    TkxPoolSizer grown(o, now, idle);
    window(grown, 4, 10, true, 1.5, 16);
    window(grown, 4, 10, true, 1.5, 16);
    window(grown, 8, 10, true, 1.5, 16);
    QCOMPARE(window(grown, 4, 10, true, 1.5, 16), 4);
    QCOMPARE(window(grown, 8, 10, false, 0.0, 1), 3);
    QCOMPARE(window(grown, 8, 10, false, 0.0, 1), 2);
    QCOMPARE(window(grown, 8, 10, false, 0.0, 1), 2);
}

int main(int argc, char** argv) {
    struct stat st {};
    if (qEnvironmentVariableIsSet("ORVANE_FAKE_SMB_HELPER") && fstat(HelperFd, &st) == 0 &&
        S_ISSOCK(st.st_mode))
        return FakeHelper();
    qputenv("ORVANE_FAKE_SMB_HELPER", "1");
    QCoreApplication app(argc, argv);
    TestPlatformPool test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_platform_pool.moc"

void TestPlatformPool::requestsWithoutAThread() {
    TkxSmbPoolOptions options = FakeOptions(); // two helpers
    options.StallLimit = std::chrono::milliseconds(300);
    TkxSmbPool pool(options);
    std::atomic<bool> woken{false};
    auto wake = [&] { woken = true; };
    auto begin = [&](const std::string& what, const std::string& host = "fake") {
        return pool.BeginListDir("smb://" + host + "/share/" + what, 445, false, {}, wake);
    };
    const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(20); };
    const auto now = [] { return std::chrono::steady_clock::now(); };

    // No helper yet: starting one blocks, so the request is a thread's.
    QVERIFY(!begin("ok"));
    TkxCredentials c;
    c.User = "ann";
    c.Password = "pw";
    pool.SetCredentials(c);
    QCOMPARE(Single(pool, "ok"), QStringLiteral("ok")); // and one more started in reserve

    // The fresh one, for another host: its credentials go first, over the socket.
    auto whoami = begin("whoami", "other");
    QVERIFY(whoami);
    QCOMPARE(Drive(*whoami, woken, soon()), 0);
    QCOMPARE(Names(*whoami), std::vector<QString>{QStringLiteral("ann||pw|0")});
    // An answer in many reads; a refusal.
    auto flood = begin("flood");
    QCOMPARE(Drive(*flood, woken, soon()), 0);
    QCOMPARE(flood->Entries().size(), std::size_t(5000));
    auto denied = begin("denied");
    QCOMPARE(Drive(*denied, woken, soon()), EACCES);
    QVERIFY(denied->Entries().empty());

    // Both helpers busy: the request waits, and is woken when one is handed over.
    auto slow = begin("sleep-50");
    auto slow2 = begin("sleep-50");
    auto waiting = begin("ok", "third");
    QVERIFY(slow && slow2 && waiting && waiting->Fd() < 0 && !woken);
    QVERIFY(!waiting->Step(now()));
    QVERIFY(Drive(*slow, woken, soon()) == 0 && woken);
    QCOMPARE(Drive(*waiting, woken, soon()), 0);
    QCOMPARE(Names(*waiting), std::vector<QString>{QStringLiteral("ok")});
    QCOMPARE(Drive(*slow2, woken, soon()), 0);

    // Given up while waiting, or with a helper handed over: no helper is lost.
    slow = begin("sleep-50");
    slow2 = begin("sleep-50");
    waiting = begin("ok");
    waiting.reset();
    QCOMPARE(Drive(*slow, woken, soon()), 0);
    woken = false;
    slow = begin("sleep-50");
    waiting = begin("ok");
    QCOMPARE(Drive(*slow, woken, soon()), 0);
    QVERIFY(woken);
    waiting.reset();
    QCOMPARE(Drive(*slow2, woken, soon()), 0);
    QCOMPARE(pool.HelperPids().size(), std::size_t(2));
    QCOMPARE(pool.HelperCounts().Started, 2);

    // Given up with its request out, or hung, or dead midway: the helper is killed.
    auto silent = begin("silent");
    QVERIFY(silent && !silent->Step(now()));
    const pid_t helper = pool.BusyHelperPids().front();
    silent.reset();
    QVERIFY(kill(helper, 0) != 0);
    silent = begin("silent");
    QVERIFY(silent && !silent->Step(now()));
    const pid_t hung = pool.BusyHelperPids().front();
    QVERIFY(silent->Step(silent->StallAt()));
    QCOMPARE(silent->Error(), ETIMEDOUT);
    QVERIFY(kill(hung, 0) != 0);
    QCOMPARE(Single(pool, "ok"), QStringLiteral("ok"));
    auto crash = begin("crash-midway");
    QVERIFY(crash);
    QCOMPARE(Drive(*crash, woken, soon()), EIO);
    QCOMPARE(Single(pool, "ok"), QStringLiteral("ok"));
}
