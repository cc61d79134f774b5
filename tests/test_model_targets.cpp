#include "model/kxTargets.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {
// "Name=FIRST - LAST; ..." (no "Name=" for an unnamed range), or "error LINE: message".
QString Render(const TkxTargetsResult& r) {
    if (!r.Ok()) {
        if (!r.Targets.empty())
            return QStringLiteral("targets beside an error");
        return QStringLiteral("error %1: %2").arg(r.Error->Line).arg(r.Error->Message());
    }
    QStringList out;
    for (const TkxTarget& t : r.Targets)
        out << (t.Name.isEmpty() ? QString() : t.Name + u'=') + t.RangeText();
    return out.join(QStringLiteral("; "));
}

TkxTarget Target(quint32 first, quint32 last) {
    return TkxTarget{QString(), first, last};
}
} // namespace

class TestModelTargets : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void list_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        auto row = [](const char* name, const char* text, const char* expected) {
            QTest::newRow(name) << QString::fromUtf8(text) << QString::fromUtf8(expected);
        };
        // The three forms, named and not.
        row("address", "10.0.0.7", "10.0.0.7 - 10.0.0.7");
        row("range", "10.0.0.1-10.0.1.3", "10.0.0.1 - 10.0.1.3");
        row("named range", " Office = 10.0.0.1 - 10.0.0.9 ", "Office=10.0.0.1 - 10.0.0.9");
        row("empty name", "=10.0.0.1", "10.0.0.1 - 10.0.0.1");
        row("name with blanks and dashes", "Floor 2 - east=10.2.0.0/30",
            "Floor 2 - east=10.2.0.0 - 10.2.0.3");
        row("leading zeros are decimal", "010.000.0.09", "10.0.0.9 - 10.0.0.9");
        row("no-break spaces and tabs", "10.0.0.1\u00a0-\t10.0.0.2", "10.0.0.1 - 10.0.0.2");
        // CIDR edges.
        row("/0", "1.2.3.4/0", "0.0.0.0 - 255.255.255.255");
        row("/1 high half", "255.255.255.255/1", "128.0.0.0 - 255.255.255.255");
        row("/31", "10.0.0.7/31", "10.0.0.6 - 10.0.0.7");
        row("/32", "10.0.0.7/32", "10.0.0.7 - 10.0.0.7");
        row("not the first address", "10.1.2.77/24", "10.1.2.0 - 10.1.2.255");
        row("across octets", "10.1.3.1/23", "10.1.2.0 - 10.1.3.255");
        row("blanks around the slash", "B = 10.0.0.0 / 30", "B=10.0.0.0 - 10.0.0.3");
        // Lines, comments, line ends.
        row("comments and blanks", "# office\n\n  # indented\n10.0.0.1\n\n", "10.0.0.1 - 10.0.0.1");
        row("CR LF", "A=10.0.0.1\r\nB=10.0.0.2\r\n",
            "A=10.0.0.1 - 10.0.0.1; B=10.0.0.2 - 10.0.0.2");
        row("order kept, duplicates kept", "10.0.0.9\n10.0.0.1\n10.0.0.9",
            "10.0.0.9 - 10.0.0.9; 10.0.0.1 - 10.0.0.1; 10.0.0.9 - 10.0.0.9");
        row("empty list", "\n# nothing\n", "");
        // Exclusions split what came before them, and only that.
        row("middle", "Net=10.0.0.0/24\n!10.0.0.5",
            "Net #1=10.0.0.0 - 10.0.0.4; Net #2=10.0.0.6 - 10.0.0.255");
        row("start keeps the name", "Net=10.0.0.0/24\n!10.0.0.0 - 10.0.0.9",
            "Net=10.0.0.10 - 10.0.0.255");
        row("end", "Net=10.0.0.0/24\n! 10.0.0.128/25", "Net=10.0.0.0 - 10.0.0.127");
        row("whole range", "A=10.0.0.0/30\nB=10.0.1.0/30\n!10.0.0.0/24", "B=10.0.1.0 - 10.0.1.3");
        row("overlapping two",
            "A=10.0.0.0 - 10.0.0.9\nB=10.0.0.5 - 10.0.0.20\n!10.0.0.3 - 10.0.0.7",
            "A #1=10.0.0.0 - 10.0.0.2; A #2=10.0.0.8 - 10.0.0.9; B=10.0.0.8 - 10.0.0.20");
        row("unnamed pieces take their first address", "10.0.0.0/29\n!10.0.0.3",
            "10.0.0.0 - 10.0.0.2; 10.0.0.4 - 10.0.0.7");
        row("later ranges untouched", "A=10.0.0.0/30\n!10.0.0.1\nB=10.0.0.0/30",
            "A #1=10.0.0.0 - 10.0.0.0; A #2=10.0.0.2 - 10.0.0.3; B=10.0.0.0 - 10.0.0.3");
        row("pieces numbered once at the end", "A=10.0.0.0/28\n!10.0.0.3\n!10.0.0.9\n!10.0.0.0/30",
            "A #1=10.0.0.4 - 10.0.0.8; A #2=10.0.0.10 - 10.0.0.15");
        row("ends of the address space", "0.0.0.0/0\n!0.0.0.0\n!255.255.255.255",
            "0.0.0.1 - 255.255.255.254");
        // The first wrong line stops the list, named by its number.
        row("octet over 255", "10.0.0.1\n# c\n10.0.0.300",
            "error 3: '10.0.0.300' has an octet over 255");
        row("long octet", "10.0.0.0001", "error 1: '10.0.0.0001' is no address like 192.0.2.1");
        row("three octets", "\n10.0.1", "error 2: '10.0.1' is no address like 192.0.2.1");
        row("host name", "server.local", "error 1: 'server.local' is no address like 192.0.2.1");
        row("prefix over 32", "10.0.0.0/33", "error 1: '/33' is no prefix from /0 to /32");
        row("prefix not a number", "10.0.0.0/x", "error 1: '/x' is no prefix from /0 to /32");
        row("first above last", "10.0.0.9 - 10.0.0.1",
            "error 1: '10.0.0.9 - 10.0.0.1' ends before it starts");
        row("exclusion first", "# c\n!10.0.0.1\n10.0.0.0/24",
            "error 2: an exclusion before any range");
        row("bad exclusion", "10.0.0.0/24\n!10.0.0",
            "error 2: '10.0.0' is no address like 192.0.2.1");
        row("text after", "10.0.0.1 printer", "error 1: text after the target: 'printer'");
        row("comment after", "10.0.0.0/24 # lab", "error 1: text after the target: '# lab'");
        row("second range", "10.0.0.1 - 10.0.0.2 - 10.0.0.3",
            "error 1: text after the target: '- 10.0.0.3'");
        row("end missing", "10.0.0.1 -", "error 1: an address is missing");
        row("name alone", "Office=", "error 1: an address is missing");
        row("named exclusion", "10.0.0.0/24\n!x=10.0.0.1",
            "error 2: 'x=10.0.0.1' is no address like 192.0.2.1");
        row("long piece cut short",
            "10.0.0.1 0123456789012345678901234567890123456789012345678901234567890123",
            "error 1: text after the target: "
            "'012345678901234567890123456789012345678901234567890123456...'");
        row("CR LF line number", "10.0.0.1\r\n\r\nbad\r\n",
            "error 3: 'bad' is no address like 192.0.2.1");
    }
    void list() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(Render(ParseTargetList(text)), expected);
    }

    // One target as --range takes it: no list syntax, and no line to name.
    void single() {
        QCOMPARE(Render(ParseTarget(u"Lab=10.0.0.0/30")), "Lab=10.0.0.0 - 10.0.0.3");
        QCOMPARE(Render(ParseTarget(u"!10.0.0.1")),
                 "error 0: '!10.0.0.1' is no address like 192.0.2.1");
        QCOMPARE(Render(ParseTarget(u"10.0.0.1\n10.0.0.2")),
                 "error 0: text after the target: '10.0.0.2'");
        QCOMPARE(Render(ParseTarget(u"")), "error 0: an address is missing");
        QCOMPARE(StrictAddress(u" 192.0.2.1 "), std::optional<quint32>(0xC0000201));
        QCOMPARE(StrictAddress(u"192.0.2.256"), std::nullopt);
        QCOMPARE(DottedAddress(0xC0000201), "192.0.2.1");
    }

    void captions() {
        QCOMPARE((TkxTarget{"Office", 0x0A010200, 0x0A0102FF}).Caption(), "Office (10.1.2.0-255)");
        QCOMPARE(Target(0x0A000005, 0x0A000005).Caption(), "10.0.0.5 (10.0.0.5-5)");
        // As the range dialog writes it, wide or not.
        QCOMPARE((TkxTarget{"Site", 0x0A010000, 0x0A01FFFF}).Caption(), "Site (10.1.0.0-255)");
        QCOMPARE(Target(0, 0xFFFFFFFF).Count(), quint64(1) << 32);
    }

    void fileText_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        // Lines end in LF whatever the file used.
        QTest::newRow("byte order mark, CR LF, Cyrillic name")
            << QByteArray("\xEF\xBB\xBF\xD0\x9E\xD1\x84\xD0\xB8\xD1\x81=10.0.0.1\r\n\t# c\r\n")
            << QString::fromUtf8("Офис=10.0.0.1\n\t# c\n");
        QTest::newRow("no last line end") << QByteArray("a\nb") << "a\nb";
        QTest::newRow("NUL") << QByteArray("10.0.0.1\n10.0.\0.2\n", 19) << "error 2";
        QTest::newRow("invalid UTF-8") << QByteArray("a\nb\n\xC3\x28=10.0.0.1\n") << "error 3";
        QTest::newRow("lone CR") << QByteArray("10.0.0.1\r10.0.0.2\r\n") << "error 1";
        QTest::newRow("too large") << QByteArray(MaxTargetListBytes + 1, '#') << "error 0";
    }
    void fileText() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const TkxTargetText t = TargetTextOf(bytes);
        QCOMPARE(t.Error ? QStringLiteral("error %1").arg(t.Error->Line) : t.Text, expected);
        if (t.Error && t.Error->Line > 0)
            QCOMPARE(t.Error->Fault, TkxTargetFault::NotText);
    }

    void files() {
        QTemporaryDir dir;
        const QString list = dir.filePath("list.txt");
        QFile f(list);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("A=10.0.0.0/30\r\n!10.0.0.2\r\n");
        f.close();
        const TkxTargetText read = ReadTargetFile(list, false);
        QVERIFY(!read.Error);
        QCOMPARE(Render(ParseTargetList(read.Text)),
                 "A #1=10.0.0.0 - 10.0.0.1; A #2=10.0.0.3 - 10.0.0.3");

        auto failure = [](const QString& name, bool allowPipes) {
            const TkxTargetText t = ReadTargetFile(name, allowPipes);
            return t.Error && t.Error->Fault == TkxTargetFault::CanNotRead && t.Text.isEmpty()
                       ? t.Error->Message()
                       : QStringLiteral("read");
        };
        QCOMPARE(failure(dir.filePath("missing"), true),
                 "can not be read: No such file or directory");
        QCOMPARE(failure(dir.path(), true), "can not be read: not a regular file");
        // A pipe nobody writes to would hold a window for ever.
        const QString fifo = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(failure(fifo, false), "can not be read: not a regular file");
        // A device without end is cut off at the size limit.
        QCOMPARE(failure("/dev/zero", true), "can not be read: larger than 16 MiB");
    }

    void counts() {
        const TkxTargetList list = ParseTargetList(u"10.0.0.0/24\n10.0.0.9\n10.0.1.0/24\n"
                                                   u"10.0.1.255 - 10.0.2.0\n10.0.3.0")
                                       .Targets;
        QCOMPARE(AddressCount(list), quint64(256 + 1 + 256 + 2 + 1));
        QCOMPARE(OverlappingCount(list), 4);
        QCOMPARE(OverlappingCount({}), 0);
        QCOMPARE(FirstLargeTarget(list), nullptr);
        const TkxTargetList large{Target(0, 65535), Target(0, 65536), Target(0, 0xFFFFFFFF)};
        QCOMPARE(FirstLargeTarget(large), &large[1]);
        QCOMPARE(AddressCount(large), 65536 + 65537 + (quint64(1) << 32));
    }

    // Exclusions against their plain definition (each one cuts every piece of every range
    // above it), over many random lists with touching, nested and repeated spans.
    void exclusionsAgreeWithTheDefinition() {
        QRandomGenerator random(2121);
        for (int round = 0; round < 3000; ++round) {
            QStringList lines;
            std::vector<std::vector<std::pair<quint32, quint32>>> expected;
            const int n = 1 + random.bounded(10);
            for (int i = 0; i < n; ++i) {
                const quint32 first = 0xFFFFFFE0u + random.bounded(32);
                const quint32 last =
                    std::min<quint64>(quint64(first) + random.bounded(12), 0xFFFFFFFFu);
                const bool exclusion = i > 0 && random.bounded(2) == 0;
                lines << (exclusion ? QStringLiteral("!") : QString()) + DottedAddress(first) +
                             QStringLiteral(" - ") + DottedAddress(last);
                if (!exclusion) {
                    expected.push_back({{first, last}});
                    continue;
                }
                for (auto& pieces : expected) {
                    std::vector<std::pair<quint32, quint32>> kept;
                    for (const auto& [f, l] : pieces) {
                        if (l < first || f > last)
                            kept.emplace_back(f, l);
                        if (f < first && l >= first)
                            kept.emplace_back(f, first - 1);
                        if (l > last && f <= last)
                            kept.emplace_back(last + 1, l);
                    }
                    pieces = std::move(kept);
                }
            }
            TkxTargetList flat;
            for (const auto& pieces : expected)
                for (const auto& [f, l] : pieces)
                    flat.push_back(Target(f, l));
            const TkxTargetsResult parsed = ParseTargetList(lines.join(u'\n'));
            QVERIFY(parsed.Ok());
            QVERIFY2(parsed.Targets == flat, qPrintable(lines.join(QStringLiteral(" | "))));
        }
    }

    // The sweep against the plain definition, over many small random lists.
    void overlapsAgreeWithPairs() {
        QRandomGenerator random(21);
        for (int round = 0; round < 2000; ++round) {
            TkxTargetList list;
            const int n = random.bounded(8);
            for (int i = 0; i < n; ++i) {
                const quint32 first = random.bounded(40);
                list.push_back(Target(first, first + random.bounded(10)));
            }
            int expected = 0;
            for (size_t i = 0; i < list.size(); ++i) {
                bool any = false;
                for (size_t j = 0; j < list.size(); ++j)
                    any |= i != j && list[i].First <= list[j].Last && list[j].First <= list[i].Last;
                expected += any;
            }
            QCOMPARE(OverlappingCount(list), expected);
        }
    }
};

QTEST_APPLESS_MAIN(TestModelTargets)
#include "test_model_targets.moc"
