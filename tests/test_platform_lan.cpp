// What hosts on a LAN send back, read defensively: NetBIOS node status answers and the first
// reply to an SMB negotiate. Both are untrusted; malformed and mutated packets are turned down
// without reading past their end (the suite also runs under AddressSanitizer).

#include "platform/kxNetbios.h"
#include "platform/kxSmbNegotiate.h"

#include <QtTest>

#include <random>

namespace {

struct Name {
    std::string Text;
    unsigned char Suffix = 0;
    std::uint16_t Flags = 0x0400; // active
};

void Put16(std::string& s, std::uint16_t v) {
    s.push_back(char(v >> 8));
    s.push_back(char(v & 0xFF));
}

// A node status answer as a host sends it; pointerName: the answer's name points back
// instead of being spelled out.
std::string Status(std::uint16_t id, const std::vector<Name>& names, bool pointerName = false) {
    std::string p;
    Put16(p, id);
    Put16(p, 0x8400); // response, authoritative
    Put16(p, 0);
    Put16(p, 1);
    Put16(p, 0);
    Put16(p, 0);
    if (pointerName)
        p += std::string("\xC0\x0C", 2);
    else
        p += NetbiosEncodedName("*", '\0', 0);
    Put16(p, 0x0021);
    Put16(p, 0x0001);
    p.append(4, '\0');
    std::string data;
    data.push_back(char(names.size()));
    for (const Name& n : names) {
        std::string padded = n.Text;
        padded.resize(15, ' ');
        data += padded;
        data.push_back(char(n.Suffix));
        Put16(data, n.Flags);
    }
    data.append(46, '\0'); // statistics: the MAC address first
    Put16(p, std::uint16_t(data.size()));
    return p + data;
}

QByteArray Row(std::uint16_t id, const std::vector<Name>& names, bool pointerName = false) {
    return QByteArray::fromStdString(Status(id, names, pointerName));
}

QString Parsed(const std::string& packet, bool* ok = nullptr) {
    TkxNetbiosStatus status;
    const bool parsed = ParseNetbiosStatus(packet, status);
    if (ok)
        *ok = parsed;
    return parsed ? status.Name : QStringLiteral("<refused>");
}

// An SMB1 negotiate answer: status, word count, dialect index.
std::string Smb1Reply(std::uint32_t status, unsigned char words, std::uint16_t dialect,
                      unsigned char command = 0x72) {
    std::string m("\xFFSMB", 4);
    m.push_back(char(command));
    for (int i = 0; i < 4; ++i)
        m.push_back(char((status >> (8 * i)) & 0xFF));
    m.append(23, '\0');
    m.push_back(char(words));
    m.push_back(char(dialect & 0xFF));
    m.push_back(char(dialect >> 8));
    m.append(std::size_t(words) * 2, '\0');
    return m;
}

} // namespace

class TestPlatformLan : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusRequestAsksForTheWildcard() {
        const std::string request = NetbiosStatusRequest(0x1234);
        const std::string expected = std::string("\x12\x34\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                                                 "\x20"
                                                 "CK",
                                                 15) +
                                     std::string(30, 'A') + std::string("\x00\x00\x21\x00\x01", 5);
        QCOMPARE(QByteArray::fromStdString(request).toHex(),
                 QByteArray::fromStdString(expected).toHex());
    }

    void nameChoice_data() {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QString>("name");
        const std::uint16_t group = 0x8400, conflict = 0x0C00, leaving = 0x1400;
        QTest::newRow("server name of a Samba host") << Row(7, {{"FILESRV81", 0x00},
                                                                {"FILESRV81", 0x03},
                                                                {"FILESRV81", 0x20},
                                                                {"LANFIX", 0x00, group},
                                                                {"LANFIX", 0x1E, group}})
                                                     << "FILESRV81";
        QTest::newRow("server over workstation")
            << Row(7, {{"PC-WS", 0x00}, {"PC-SRV", 0x20}}) << "PC-SRV";
        QTest::newRow("workstation alone, case as sent")
            << Row(7, {{"Old Box", 0x00}}) << "Old Box";
        QTest::newRow("answer pointing back") << Row(7, {{"NAS", 0x20}}, true) << "NAS";
        QTest::newRow("group names only") << Row(7, {{"LANFIX", 0x00, group}}) << "";
        QTest::newRow("no names at all") << Row(7, {}) << "";
        QTest::newRow("other services only") << Row(7, {{"USER", 0x03}, {"X", 0x1B}}) << "";
        QTest::newRow("in conflict or leaving")
            << Row(7, {{"BAD", 0x20, conflict}, {"GONE", 0x20, leaving}, {"GOOD", 0x00}}) << "GOOD";
        QTest::newRow("padded with NULs")
            << Row(7, {{std::string("NULPAD\0\0\0\0\0\0\0\0\0", 15), 0x20}}) << "NULPAD";
        QTest::newRow("control character") << Row(7, {{"BAD\x01NAME", 0x20}, {"WS", 0x00}}) << "WS";
        QTest::newRow("path characters") << Row(7, {{"A\\B", 0x20}, {"C:D", 0x00}}) << "";
        QTest::newRow("bytes of an OEM code page") << Row(7, {{"\x8F\xE0\xA8", 0x20}}) << "";
        QTest::newRow("leading blank") << Row(7, {{" X", 0x20}}) << "";
    }
    void nameChoice() {
        QFETCH(QByteArray, packet);
        QFETCH(QString, name);
        TkxNetbiosStatus status;
        QVERIFY(ParseNetbiosStatus(packet.toStdString(), status));
        QCOMPARE(status.Id, std::uint16_t(7));
        QCOMPARE(status.Name, name);
    }

    void malformedAnswersRefused() {
        const std::string good = Status(9, {{"HOST", 0x20}});
        // Cut anywhere before the names end.
        for (std::size_t n = 0; n < good.size() - 46; ++n)
            QCOMPARE(Parsed(good.substr(0, n)), QStringLiteral("<refused>"));
        QCOMPARE(Parsed(good), QStringLiteral("HOST"));
        auto with = [&](std::size_t at, std::initializer_list<unsigned char> bytes) {
            std::string p = good;
            for (const unsigned char b : bytes)
                p[at++] = char(b);
            return p;
        };
        const std::size_t rr = 12 + 34; // type, class, TTL, length follow the name
        QCOMPARE(Parsed(with(2, {0x04, 0x00})), QStringLiteral("<refused>")); // a question
        QCOMPARE(Parsed(with(2, {0x84, 0x03})), QStringLiteral("<refused>")); // name error
        QCOMPARE(Parsed(with(2, {0xAC, 0x00})), QStringLiteral("<refused>")); // opcode 5
        QCOMPARE(Parsed(with(6, {0x00, 0x00})), QStringLiteral("<refused>"));
        QCOMPARE(Parsed(with(4, {0x00, 0x05})), QStringLiteral("<refused>"));  // 5 questions
        QCOMPARE(Parsed(with(rr, {0x00, 0x20})), QStringLiteral("<refused>")); // NB, not NBSTAT
        QCOMPARE(Parsed(with(rr + 2, {0x00, 0x03})), QStringLiteral("<refused>"));
        QCOMPARE(Parsed(with(rr + 8, {0xFF, 0xFF})), QStringLiteral("<refused>")); // past the end
        QCOMPARE(Parsed(with(rr + 8, {0x00, 0x00})), QStringLiteral("<refused>"));
        QCOMPARE(Parsed(with(rr + 10, {0xFF})), QStringLiteral("<refused>")); // 255 names
        QCOMPARE(Parsed(with(12, {0x60})), QStringLiteral("<refused>"));      // label flags
        QCOMPARE(Parsed(with(12, {0x3F})), QStringLiteral("<refused>"));      // label past the end
    }

    void mutatedAnswersNeverGiveBadNames() {
        const std::string good =
            Status(3, {{"WORKGROUP", 0x00, 0x8400}, {"SERVER-1", 0x00}, {"SERVER-1", 0x20}});
        std::mt19937 random(20240518);
        int accepted = 0;
        for (int round = 0; round < 20000; ++round) {
            std::string p = good;
            const int edits = 1 + int(random() % 8);
            for (int e = 0; e < edits; ++e) {
                const std::size_t at = random() % p.size();
                switch (random() % 4) {
                case 0:
                    p[at] = char(random());
                    break;
                case 1:
                    p.erase(at, 1 + random() % 16);
                    break;
                case 2:
                    p.insert(at, std::string(1 + random() % 4, char(random())));
                    break;
                default:
                    p.resize(at);
                    break;
                }
                if (p.empty())
                    p.push_back('\0');
            }
            bool ok = false;
            const QString name = Parsed(p, &ok);
            if (!ok)
                continue;
            ++accepted;
            QVERIFY(name.size() <= 15);
            for (const QChar c : name)
                QVERIFY2(c.unicode() >= 0x20 && c.unicode() < 0x7F &&
                             !QStringLiteral("\\/:*?\"<>|").contains(c),
                         qPrintable(name));
        }
        QVERIFY(accepted > 0); // the mutations also reach the name table
    }

    void negotiateRequestOffersSmb1AndSmb2() {
        const std::string r = SmbNegotiateRequest();
        QVERIFY(r.size() > 36);
        QCOMPARE(std::size_t((std::uint8_t(r[1]) << 16) | (std::uint8_t(r[2]) << 8) |
                             std::uint8_t(r[3])),
                 r.size() - 4);
        QCOMPARE(r.substr(4, 5), std::string("\xFFSMB\x72", 5));
        const std::string dialects = r.substr(4 + 32 + 3);
        QCOMPARE(dialects, std::string("\x02NT LM 0.12\0\x02SMB 2.002\0\x02SMB 2.???\0", 34));
    }

    void negotiateReplies() {
        using D = TkxSmbDialects;
        std::string smb2("\xFESMB", 4);
        smb2.append(60, '\0');
        QCOMPARE(ParseSmbNegotiateReply(smb2), D::Smb2);
        QCOMPARE(ParseSmbNegotiateReply(Smb1Reply(0, 17, 0)), D::Smb1Only);
        QCOMPARE(ParseSmbNegotiateReply(Smb1Reply(0, 1, 0xFFFF)), D::Smb1Only);
        QCOMPARE(ParseSmbNegotiateReply(Smb1Reply(0, 17, 1)), D::Unknown);
        QCOMPARE(ParseSmbNegotiateReply(Smb1Reply(0xC0000022, 17, 0)), D::Unknown);
        QCOMPARE(ParseSmbNegotiateReply(Smb1Reply(0, 0, 0)), D::Unknown);
        QCOMPARE(ParseSmbNegotiateReply(Smb1Reply(0, 17, 0, 0x73)), D::Unknown);
        QCOMPARE(ParseSmbNegotiateReply("HTTP/1.1 400 Bad Request\r\n"), D::Unknown);
        const std::string smb1 = Smb1Reply(0, 17, 0);
        for (std::size_t n = 0; n < 35; ++n)
            QCOMPARE(ParseSmbNegotiateReply(smb1.substr(0, n)), D::Unknown);
    }
};

QTEST_GUILESS_MAIN(TestPlatformLan)
#include "test_platform_lan.moc"
