// A firewalled network: in a network namespace of its own (scripts/smb-fixture with-firewall)
// every address of 127.5.0.0/16 drops every packet, but the Samba server on
// $ORVANE_FIREWALL_SERVER. Silent addresses are screened many at once, become empty host nodes
// without a failed task, Stop ends their screens at once, and a server among them is found
// exactly as it is alone.

#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "platform/kxHostScreen.h"
#include "platform/kxPlatformServices.h"

#include <QDir>
#include <QTest>

#include <arpa/inet.h>
#include <map>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::shared_ptr<TkxNetServices> Net() {
    static const auto services = std::make_shared<TkxPlatformServices>();
    return services;
}

std::uint32_t Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

std::string Dotted(std::uint32_t hostOrder) {
    char text[INET_ADDRSTRLEN];
    const in_addr a{htonl(hostOrder)};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// Network-order addresses from first on.
std::vector<std::uint32_t> Block(const char* first, int count) {
    std::vector<std::uint32_t> out;
    const std::uint32_t h = ntohl(Ip(first));
    for (int i = 0; i < count; ++i)
        out.push_back(htonl(h + std::uint32_t(i)));
    return out;
}

int OpenDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

// posix_spawn, not QProcess: its fork-like start confuses ThreadSanitizer in the parent.
bool Iptables(std::vector<std::string> args) {
    args.insert(args.begin(), "iptables");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "iptables", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TkxParams Params(quint32 depth = 0) {
    TkxParams p;
    p.TotalThreads = 16;
    p.Depth = depth;
    p.LifeTime = 2;
    p.Masks = QStringLiteral("*");
    return p;
}

struct Fields {
    QString Name;
    quint8 Kind;
    QString Size, Edit;
    bool operator==(const Fields&) const = default;
};

std::map<QString, Fields> Below(const TkxNode* top) {
    std::map<QString, Fields> out;
    std::vector<const TkxNode*> stack{top};
    while (!stack.empty()) {
        const TkxNode* n = stack.back();
        stack.pop_back();
        out[n->Info.AddressText()] = {n->Info.NameText(), n->Info.Kind, n->Info.SizeRawText(),
                                      n->Info.EditTimeText()};
        for (const auto& c : n->Children)
            stack.push_back(c.get());
    }
    return out;
}

// Every child of the range is an empty, scanned host.
void VerifyEmptyHosts(const TkxNode* range, int count, const QString& except = {}) {
    QCOMPARE(int(range->Children.size()), count);
    for (const auto& host : range->Children) {
        QCOMPARE(host->Info.Kind, quint8(ikHost));
        QCOMPARE(host->Info.Scanned, quint8(1));
        if (host->Info.AddressText() != except)
            QVERIFY2(host->Children.empty(), qPrintable(host->Info.AddressText()));
    }
}

// A TCP listener nobody accepts from: the kernel answers the handshake.
class Listener {
public:
    explicit Listener(const char* address) {
        Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(445);
        at.sin_addr.s_addr = Ip(address);
        const int one = 1;
        setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        Ok = bind(Fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 && listen(Fd, 8) == 0;
    }
    ~Listener() { close(Fd); }
    int Fd = -1;
    bool Ok = false;
};

} // namespace

class TestEngineFirewall : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        SetCurrentLanguage(1033);
        QVERIFY2(qEnvironmentVariableIsSet("ORVANE_FIREWALL_SERVER"),
                 "run under scripts/smb-fixture with-firewall");
    }
    void cleanup() { TkxInfoThread::WaitForAll(); }

    void screensRunManyAtOnceAndEndAtOnce() {
        TkxHostScreen screen;
        const int before = OpenDescriptors();
        const auto silent = Block("127.5.8.0", 1024);
        screen.ScreenAhead(silent);
        TkxCancelToken cancel;
        for (const std::uint32_t a : silent) {
            int error = 0;
            QCOMPARE(screen.Screen(Dotted(ntohl(a)), cancel, &error), std::uint16_t(0));
            QCOMPARE(error, ETIMEDOUT);
        }
        const TkxHostScreen::TFigures f = screen.Figures();
        QVERIFY2(f.PeakSockets >= std::min<std::size_t>(512, f.SocketCap) &&
                     f.PeakSockets <= f.SocketCap,
                 qPrintable(QStringLiteral("%1 of %2").arg(f.PeakSockets).arg(f.SocketCap)));
        QCOMPARE(f.Retried, std::size_t(0)); // nothing answered late: no second try

        // Clearing (the end of a search) closes every screen under way.
        screen.ScreenAhead(Block("127.5.12.0", 1024));
        const int many = int(std::min<std::size_t>(256, f.SocketCap / 2));
        QVERIFY(WaitFor([&] { return OpenDescriptors() > before + many; }, 5000));
        screen.Clear();
        QVERIFY(WaitFor([&] { return OpenDescriptors() <= before + 2; }, 500));
    }

    void hostAnsweringLateGetsASecondTry() {
        // Both listen, behind the firewall at first. The first is let through after its first
        // SYN was dropped and answers the retransmission a second later: more than half the
        // time-out. The second is let through only after its first screen gave up; its second
        // try, three times as long, finds it.
        const Listener late("127.5.9.1"), later("127.5.9.2");
        QVERIFY(late.Ok && later.Ok);
        TkxHostScreen screen(std::chrono::milliseconds(1500));
        screen.ScreenAhead({Ip("127.5.9.1"), Ip("127.5.9.2")});
        std::thread opener([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            Iptables({"-I", "INPUT", "-d", "127.5.9.1", "-j", "ACCEPT"});
            std::this_thread::sleep_for(std::chrono::milliseconds(1700));
            Iptables({"-I", "INPUT", "-d", "127.5.9.2", "-j", "ACCEPT"});
        });
        TkxCancelToken cancel;
        int error = 0;
        const std::uint16_t first = screen.Screen("127.5.9.1", cancel, &error);
        const std::uint16_t second = screen.Screen("127.5.9.2", cancel, &error);
        opener.join();
        Iptables({"-D", "INPUT", "-d", "127.5.9.1", "-j", "ACCEPT"});
        Iptables({"-D", "INPUT", "-d", "127.5.9.2", "-j", "ACCEPT"});
        QCOMPARE(first, std::uint16_t(445));
        QCOMPARE(second, std::uint16_t(445));
        QCOMPARE(screen.Figures().Retried, std::size_t(1));
    }

    void everySilentAddressBecomesAnEmptyHost() {
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params());
        TkxNode* range =
            doc.AddRange(QStringLiteral("dropped"), QStringLiteral("127.5.1.0 - 127.5.4.255"));
        doc.Run();
        QVERIFY(WaitIdle(doc, 120000));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(doc.FailedTaskCount(), 0);
        VerifyEmptyHosts(range, 1024);
    }

    void stopEndsAtOnceAndContinueFinishes() {
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params());
        TkxNode* range =
            doc.AddRange(QStringLiteral("dropped"), QStringLiteral("127.5.16.0 - 127.5.31.255"));
        doc.Run();
        const auto scanned = [&] {
            int n = 0;
            for (const auto& host : range->Children)
                n += host->Info.Scanned;
            return n;
        };
        QVERIFY(WaitFor([&] { return scanned() >= 64; }, 60000));
        QElapsedTimer stopping;
        stopping.start();
        doc.Stop();
        QVERIFY(WaitIdle(doc, 10000));
        QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(doc.SearchState(), srUserStopped);
        QVERIFY(doc.PendingCount() > 0);
        QVERIFY(scanned() < 4096);

        doc.Continue();
        QVERIFY(WaitIdle(doc, 120000));
        QCOMPARE(doc.SearchState(), srFinished);
        QCOMPARE(doc.FailedTaskCount(), 0);
        VerifyEmptyHosts(range, 4096);
    }

    void serverAmongSilentAddressesIsFoundAsAlone() {
        const QString server = qEnvironmentVariable("ORVANE_FIREWALL_SERVER");
        const QString serverAddress = QStringLiteral("\\\\") + server;
        TkxProjectDoc mixed, alone;
        for (TkxProjectDoc* doc : {&mixed, &alone}) {
            doc->SetNetServices(Net());
            doc->SetParams(Params());
        }
        TkxNode* many =
            mixed.AddRange(QStringLiteral("mixed"), QStringLiteral("127.5.0.1 - 127.5.0.40"));
        TkxNode* one = alone.AddRange(QStringLiteral("alone"), server + " - " + server);
        mixed.Run();
        QVERIFY(WaitIdle(mixed, 120000));
        alone.Run();
        QVERIFY(WaitIdle(alone, 120000));
        QCOMPARE(mixed.SearchState(), srFinished);
        QCOMPARE(alone.SearchState(), srFinished);
        QCOMPARE(mixed.FailedTaskCount(), alone.FailedTaskCount());
        VerifyEmptyHosts(many, 40, serverAddress);

        QCOMPARE(one->Children.size(), size_t(1));
        const auto found = Below(one->Children.front().get());
        QVERIFY(found.count(serverAddress + QStringLiteral("\\docs\\manual.txt")));
        QVERIFY(found.count(serverAddress + QStringLiteral("\\docs\\notes\\note.txt")));
        const TkxNode* inMixed = nullptr;
        for (const auto& host : many->Children) {
            if (host->Info.AddressText() == serverAddress)
                inMixed = host.get();
        }
        QVERIFY(inMixed);
        QVERIFY(Below(inMixed) == found);
    }
};

QTEST_GUILESS_MAIN(TestEngineFirewall)
#include "test_engine_firewall.moc"
