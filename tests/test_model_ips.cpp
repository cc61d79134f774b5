#include "model/kxDecimal.h"
#include "model/kxErrors.h"
#include "model/kxIPs.h"

#include <QtTest>

#include <arpa/inet.h>

namespace {
QStringList Visited(const QString& rangeText) {
    QStringList result;
    VisitRange(TIPRange(rangeText), [&](const TIPAddress& a) { result << a.AsText(); });
    return result;
}
} // namespace

class TestModelIPs : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parsing_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << ""
                               << "0.0.0.0";
        QTest::newRow("no digits") << "abc"
                                   << "0.0.0.0";
        QTest::newRow("plain") << "192.168.100.254"
                               << "192.168.100.254";
        QTest::newRow("blanks and doubled dot") << " 10 . 0 .. 7 "
                                                << "10.0.7.0";
        QTest::newRow("leading and trailing dots") << "..10.1.2.3.."
                                                   << "10.1.2.3";
        QTest::newRow("low 8 bits") << "300.1.2.3"
                                    << "44.1.2.3";
        QTest::newRow("minus one") << "-1.0.0.1"
                                   << "255.0.0.1";
        QTest::newRow("extra words ignored") << "1.2.3.4.5"
                                             << "1.2.3.4";
        QTest::newRow("host name") << "server.local"
                                   << "0.0.0.0";
        QTest::newRow("mixed word") << "1.2x.3.4"
                                    << "1.0.3.4";
        QTest::newRow("plus sign") << "+7.8.9.10"
                                   << "7.8.9.10";
        QTest::newRow("inner blank") << "1 2.3.4.5"
                                     << "0.3.4.5";
        QTest::newRow("control chars trimmed") << "\t1\n.\r2.3.4"
                                               << "1.2.3.4";
        QTest::newRow("hex is not decimal") << "0x10.1.1.1"
                                            << "0.1.1.1";
        QTest::newRow("int64 max") << "9223372036854775807.1.1.1"
                                   << "255.1.1.1";
        QTest::newRow("int64 min") << "-9223372036854775808.1.1.1"
                                   << "0.1.1.1";
        QTest::newRow("beyond 64 bits") << "9223372036854775808.1.1.1"
                                        << "0.1.1.1";
        QTest::newRow("huge") << QString(400, u'9') + ".1.1.1"
                              << "0.1.1.1";
        QTest::newRow("sign only") << "-.+.1.1"
                                   << "0.0.1.1";
        QTest::newRow("arabic digits") << QString::fromUtf8("\u0661.2.3.4") << "0.2.3.4";
    }
    void parsing() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const TIPAddress a(text);
        QCOMPARE(a.AsText(), expected);
        QCOMPARE(a.IsEmpty(), expected == "0.0.0.0");
    }

    // The shared parser with other bounds than 64 bits, and overflows that would wrap around
    // into them.
    void decimalBounds() {
        using V = std::optional<qint64>;
        QCOMPARE(ParseDecimal(u"255", 0, 255), V(255));
        QCOMPARE(ParseDecimal(u"256", 0, 255), std::nullopt);
        QCOMPARE(ParseDecimal(u"-0", 0, 255), V(0));
        QCOMPARE(ParseDecimal(u"-1", 0, 255), std::nullopt);
        QCOMPARE(ParseDecimal(u"-18446744073709551616", 0, 255), std::nullopt); // 2^64
        QCOMPARE(ParseDecimal(u"18446744073709551617"), std::nullopt);          // 2^64 + 1
        QCOMPARE(ParseDecimal("-5", -9, -1), V(-5));
        QCOMPARE(ParseDecimal("5", -9, -1), std::nullopt);
        QCOMPARE(ParseDecimal("0", 1, 9), std::nullopt);
        QCOMPARE(ParseDecimal("\xd9\xa1"), std::nullopt); // bytes above 0x7F are no digits
    }

    void networkLong() {
        for (const char* text : {"10.0.0.1", "192.168.100.254", "255.255.255.255", "1.2.3.4"}) {
            QCOMPARE(TIPAddress(QString::fromLatin1(text)).AsNetworkLong(),
                     quint32(inet_addr(text)));
        }
    }

    void compare_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");
        QTest::newRow("third octet") << "10.0.0.9"
                                     << "10.0.1.0" << int(TIPAddress::crLess);
        QTest::newRow("first octet unsigned") << "192.0.0.0"
                                              << "10.255.255.255" << int(TIPAddress::crGreater);
        QTest::newRow("equal") << "1.2.3.4"
                               << "1.2.3.4" << int(TIPAddress::crEqual);
        QTest::newRow("last octet") << "1.2.3.200"
                                    << "1.2.3.100" << int(TIPAddress::crGreater);
        QTest::newRow("empty") << ""
                               << "0.0.0.1" << int(TIPAddress::crLess);
    }
    void compare() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        QCOMPARE(int(TIPAddress(a).Compare(TIPAddress(b))), expected);
    }

    void advance() {
        TIPAddress a(u"10.0.0.255");
        a.Advance(1);
        QCOMPARE(a.AsText(), "10.0.1.0");
        a = TIPAddress(u"10.255.255.255");
        a.Advance(1);
        QCOMPARE(a.AsText(), "11.0.0.0");
        a = TIPAddress(u"0.0.0.0");
        a.Advance(0x01020304);
        QCOMPARE(a.AsText(), "1.2.3.4");
    }

    void advanceOverflow() {
        TIPAddress a(u"255.255.255.255");
        try {
            a.Advance(1);
            QFAIL("no error");
        } catch (const EkxError& e) {
            QCOMPARE(e.message(), "<1> is too much for IP <255.255.255.255>");
        }
        // The octets passed on the way have wrapped.
        QCOMPARE(a.AsText(), "0.0.0.0");

        TIPAddress b(u"1.2.3.4");
        QVERIFY_THROWS_EXCEPTION(EkxError, b.Advance(qint64(1) << 40));
        TIPAddress c(u"1.2.3.4");
        try {
            c.Advance(-1);
            QFAIL("no error");
        } catch (const EkxError& e) {
            QCOMPARE(e.message(), "<-1> is too much for IP <1.2.3.4>");
        }
        QCOMPARE(c.AsText(), "1.2.3.4");
    }

    void rangeText() {
        const TIPRange r(u"  192.168.0.1 -192.168.0.254 ");
        QCOMPARE(r.AsText(), "192.168.0.1 - 192.168.0.254");
        QCOMPARE(r.ShortText(), "192.168.0.1-254");
        QCOMPARE(TIPRange(u"10.0.0.1 - 10.0.3.9").ShortText(), "10.0.0.1-9");
        const TIPRange noDash(u"10.0.0.1");
        QCOMPARE(noDash.Last.AsText(), "0.0.0.0");
        QCOMPARE(TIPRange(u"--1.1.1.1--2.2.2.2-3.3.3.3").AsText(), "1.1.1.1 - 2.2.2.2");
        QCOMPARE(TIPRange(u"").AsText(), "0.0.0.0 - 0.0.0.0");
    }

    void visiting_data() {
        QTest::addColumn<QString>("range");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("single") << "10.0.0.1 - 10.0.0.1" << QStringList{"10.0.0.1"};
        QTest::newRow("no dash") << "10.0.0.1" << QStringList{"10.0.0.1"};
        QTest::newRow("reversed") << "10.0.0.5 - 10.0.0.1" << QStringList{"10.0.0.5"};
        QTest::newRow("four") << "10.0.0.1 - 10.0.0.4"
                              << QStringList{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"};
        QTest::newRow("carry") << "10.0.0.254 - 10.0.1.1"
                               << QStringList{"10.0.0.254", "10.0.0.255", "10.0.1.0", "10.0.1.1"};
        QTest::newRow("carry to first")
            << "9.255.255.255 - 10.0.0.0" << QStringList{"9.255.255.255", "10.0.0.0"};
        QTest::newRow("top") << "255.255.255.254 - 255.255.255.255"
                             << QStringList{"255.255.255.254", "255.255.255.255"};
        QTest::newRow("top alone")
            << "255.255.255.255 - 255.255.255.255" << QStringList{"255.255.255.255"};
    }
    void visiting() {
        QFETCH(QString, range);
        QFETCH(QStringList, expected);
        QCOMPARE(Visited(range), expected);
    }

    void visitingCounts() {
        int count = 0;
        TIPAddress last;
        VisitRange(TIPRange(u"10.0.0.0 - 10.0.3.255"), [&](TIPAddress a) {
            ++count;
            last = a;
        });
        QCOMPARE(count, 1024);
        QCOMPARE(last.AsText(), "10.0.3.255");

        count = 0;
        VisitRange(TIPRange(u"10.0.0.0 - 10.0.0.255"),
                   [&](const TIPAddress&) { return ++count < 3; });
        QCOMPARE(count, 3);
    }
};

QTEST_GUILESS_MAIN(TestModelIPs)
#include "test_model_ips.moc"
