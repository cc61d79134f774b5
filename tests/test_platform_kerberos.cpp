// The ticket cache as the services read it (when the ticket-granting ticket ends, what counts
// as a ticket at all), and the names a host may be connected by.

#include "platform/kxKerberos.h"
#include "platform/kxSmbPaths.h"

#include <QTest>

namespace {

// A file cache written as kinit writes one, big-endian.
class TCacheFile {
public:
    explicit TCacheFile(quint16 version) : Version(version) {
        U16(version);
        if (version == 0x0504) {
            U16(8);
            Bytes += QByteArray(8, '\x01'); // a header tag the reader must skip
        }
        Principal("ORV.TEST", {"alice"});
    }
    // One credential: key, times, flags, addresses, authorisation data and the tickets.
    void Credential(const QByteArray& realm, const QList<QByteArray>& server, quint32 end,
                    bool extras = false) {
        Principal("ORV.TEST", {"alice"});
        Principal(realm, server);
        U16(18);
        if (Version == 0x0503)
            U16(18);
        Counted(QByteArray(32, 'k'));
        for (quint32 t : {end - 100, end - 100, end, end + 100})
            U32(t);
        Bytes += '\0';
        U32(0x40e10000);
        for (int list = 0; list < 2; ++list) {
            U32(extras ? 1 : 0);
            if (extras) {
                U16(2);
                Counted("\x7f\x00\x00\x01");
            }
        }
        Counted(QByteArray(200, 't'));
        Counted({});
    }
    QByteArray Bytes;

private:
    void U16(quint16 v) { U32(v, 2); }
    void U32(quint32 v, int size = 4) {
        for (int shift = (size - 1) * 8; shift >= 0; shift -= 8)
            Bytes += char((v >> shift) & 0xFF);
    }
    void Counted(const QByteArray& data) {
        U32(quint32(data.size()));
        Bytes += data;
    }
    void Principal(const QByteArray& realm, const QList<QByteArray>& parts) {
        U32(1);
        U32(quint32(parts.size()));
        Counted(realm);
        for (const QByteArray& part : parts)
            Counted(part);
    }
    quint16 Version;
};

const QList<QByteArray> Tgt{"krbtgt", "ORV.TEST"};
const QList<QByteArray> Cifs{"cifs", "dc.orv.test"};
const QList<QByteArray> Setting{"krb5_ccache_conf_data", "pa_type", "krbtgt/ORV.TEST@ORV.TEST"};

} // namespace

class TestPlatformKerberos : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The ticket-granting ticket's end decides, whatever service tickets outlive it; settings
    // kept in the cache are no tickets; both formats; a cut-off file keeps what it said.
    void ticketEnds() {
        for (quint16 version : {quint16(0x0503), quint16(0x0504)}) {
            TCacheFile file(version);
            file.Credential("X-CACHECONF:", Setting, 9000);
            file.Credential("ORV.TEST", Cifs, 3000);
            file.Credential("ORV.TEST", Tgt, 2000, true);
            const TkxTicketCache cache = ParseCCache(file.Bytes);
            QCOMPARE(cache.Principal, QStringLiteral("alice@ORV.TEST"));
            QVERIFY(cache.HasTicket);
            QCOMPARE(cache.Expires, 2000);
            QVERIFY(!cache.ExpiredAt(1999) && cache.ExpiredAt(2000));

            const TkxTicketCache cut = ParseCCache(file.Bytes.left(file.Bytes.size() - 50));
            QCOMPARE(cut.Principal, QStringLiteral("alice@ORV.TEST"));
            QCOMPARE(cut.Expires, 3000); // the service ticket read before the cut
        }

        TCacheFile settingsOnly(0x0504);
        settingsOnly.Credential("X-CACHECONF:", Setting, 9000);
        const TkxTicketCache none = ParseCCache(settingsOnly.Bytes);
        QVERIFY(!none.HasTicket && !none.ExpiredAt(1 << 30));
        QCOMPARE(none.Principal, QStringLiteral("alice@ORV.TEST"));

        TCacheFile serviceOnly(0x0504);
        serviceOnly.Credential("ORV.TEST", Cifs, 3000);
        QCOMPARE(ParseCCache(serviceOnly.Bytes).Expires, 3000);
    }

    // Only a plain DNS host name may go on the wire; the network hands out anything.
    void wireNames() {
        for (const char* good : {"dc.orv.test", "fileserver-two", "host_1.example"})
            QVERIFY2(IsWireHostName(QString::fromLatin1(good)), good);
        for (const char* bad : {"", "127.0.0.90", "a..b", ".lead", "trail.", "evil/share",
                                "user@host", "host:445", "two words", "%41"})
            QVERIFY2(!IsWireHostName(QString::fromLatin1(bad)), bad);
        QVERIFY(!IsWireHostName(QStringLiteral("сервер.test")));
        QVERIFY(!IsWireHostName(QString(254, u'a')));
    }
};

QTEST_GUILESS_MAIN(TestPlatformKerberos)
#include "test_platform_kerberos.moc"
