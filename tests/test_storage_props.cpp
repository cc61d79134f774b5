#include "kxTestErrors.h"
#include "model/kxErrors.h"
#include "storage/kxProps.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

QString Component(const QString& textLine) {
    return QStringLiteral("object TkxProps\r\n") + textLine + QStringLiteral("\r\nend\r\n");
}

// Mixed text: printable runs, quotes, control characters, Cyrillic, pairs and lone surrogates.
QString RandomText(QRandomGenerator& random, int maxLength) {
    const int length = int(random.bounded(maxLength + 1));
    QString s;
    while (s.size() < length) {
        switch (random.bounded(8)) {
        case 0:
            s += QChar(char16_t(random.bounded(32)));
            break;
        case 1:
            s += u'\'';
            break;
        case 2:
            s += QChar(char16_t(0x410 + random.bounded(64)));
            break;
        case 3:
            s += QString::fromUtf8(u8"😀");
            break;
        case 4:
            s += QChar(char16_t(0xD800 + random.bounded(0x800)));
            break;
        default:
            s += QChar(char16_t(32 + random.bounded(95)));
            break;
        }
    }
    return s;
}

} // namespace

class TestStorageProps : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void itemsOutOfRange() {
        TkxProps bag;
        bag.Add(120);
        bag.Add(QStringLiteral("x"));
        QCOMPARE(bag.Count(), 2);
        QCOMPARE(bag.Items(0).toInt(), 120);
        bag.SetItems(1, QStringLiteral("y"));
        QCOMPARE(bag.Items(1).toString(), "y");
        const QString message = QStringLiteral("Props: Index out of range");
        QCOMPARE(ErrorOf([&] { bag.Items(2); }), message);
        QCOMPARE(ErrorOf([&] { bag.Items(-1); }), message);
        QCOMPARE(ErrorOf([&] { bag.SetItems(2, 1); }), message);
        QCOMPARE(bag.Count(), 2);
        bag.Clear();
        QCOMPARE(ErrorOf([&] { bag.Items(0); }), message);
        QCOMPARE(TkxProps::FirstOwnIndex, 4);
    }

    void textLines() {
        TkxProps bag;
        bag.Add(-12);
        bag.Add(QStringLiteral("Office"));
        QCOMPARE(bag.GetText(), "-12\r\nOffice\r\n");
        bag.SetText(QStringLiteral("a\r\nb\rc\n"));
        QCOMPARE(bag.Count(), 5);
        QCOMPARE(bag.Items(2).toString(), "a");
        QCOMPARE(bag.Items(3).toString(), "b");
        QCOMPARE(bag.Items(4).toString(), "c");
        // LF CR is two breaks; a break at the very end starts no line.
        TkxProps other;
        other.SetText(QStringLiteral("x\n\ry\r\n\r\n"));
        QCOMPARE(other.GetText(), "x\r\n\r\ny\r\n\r\n");
        TkxProps none;
        none.SetText(QString());
        QCOMPARE(none.Count(), 0);
    }

    void componentText_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two lines") << "100\r\n200\r\n"
                                   << Component("  Text = '100'#13#10'200'#13#10");
        QTest::newRow("empty") << "" << Component("  Text = ''");
        QTest::newRow("quote and tab") << "it's\r\na\tb\r\n"
                                       << Component("  Text = 'it'#39's'#13#10'a'#9'b'#13#10");
        QTest::newRow("exactly 64")
            << QString(64, u'y') << Component("  Text = '" + QString(64, u'y') + "'");
        QTest::newRow("65") << QString(65, u'y')
                            << Component("  Text = \r\n    '" + QString(64, u'y') +
                                         "' +\r\n    'y'");
        QTest::newRow("codes end a line")
            << QString(62, u'a') + "\r\n" + QString(10, u'b')
            << Component("  Text = \r\n    '" + QString(62, u'a') + "'#13#10 +\r\n    '" +
                         QString(10, u'b') + "'");
        QTest::newRow("three lines")
            << QString(150, u'q')
            << Component("  Text = \r\n    '" + QString(64, u'q') + "' +\r\n    '" +
                         QString(64, u'q') + "' +\r\n    '" + QString(22, u'q') + "'");
        const QString emoji = QString::fromUtf8(u8"😀");
        QTest::newRow("pair not split")
            << QString(63, u'z') + emoji + "w"
            << Component("  Text = \r\n    '" + QString(63, u'z') + "' +\r\n    '" + emoji + "w'");
        QTest::newRow("lone surrogate")
            << QStringLiteral("a") + QChar(0xD800) + "b" << Component("  Text = 'a'#55296'b'");
        QTest::newRow("cyrillic") << QString::fromUtf8(u8"Привет 'мир'")
                                  << Component(
                                         QString::fromUtf8(u8"  Text = 'Привет '#39'мир'#39"));
    }

    void componentText() {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        QCOMPARE(PropsComponentText(value), expected);
        QCOMPARE(ParsePropsComponentText(expected), value);
    }

    void bagComponentText() {
        TkxProps bag;
        bag.Add(100);
        bag.Add(200);
        QCOMPARE(bag.ComponentText(), Component("  Text = '100'#13#10'200'#13#10"));
        TkxProps back;
        back.Add(QStringLiteral("kept"));
        back.ReadComponentText(bag.ComponentText());
        QCOMPARE(back.Count(), 3);
        QCOMPARE(back.Items(1).toString(), "100");
        QCOMPARE(back.Items(2).toInt(), 200);
    }

    void randomRoundTrip() {
        QRandomGenerator random(20240611);
        for (int i = 0; i < 2000; ++i) {
            const QString value = RandomText(random, i % 10 == 0 ? 400 : 90);
            const QString text = PropsComponentText(value);
            // Printable throughout, so it survives UTF-8 and the encoding.
            for (QChar c : text)
                QVERIFY(c.unicode() >= 32 || c == u'\r' || c == u'\n');
            QCOMPARE(DecodeSettingsText(EncodeSettingsText(text)), text);
            QCOMPARE(ParsePropsComponentText(text), value);
        }
    }

    void parseVariants_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("value");
        QTest::newRow("doubled quote") << Component("  Text = 'it''s'") << "it's";
        QTest::newRow("hex code") << Component("  Text = #$41'b'#$d") << "Ab\r";
        QTest::newRow("code point") << Component("  Text = #128512") << QString::fromUtf8(u8"😀");
        QTest::newRow("named") << "object Saver1: TkxProps\n  Text = 'a'\nend"
                               << "a";
        QTest::newRow("no text") << "object TkxProps\r\nend\r\n"
                                 << "";
        QTest::newRow("blanks") << "  object   TkxProps\n\tText='a' +\n\n 'b'\nEND\n\n"
                                << "ab";
    }

    void parseVariants() {
        QFETCH(QString, text);
        QFETCH(QString, value);
        QCOMPARE(ParsePropsComponentText(text), value);
    }

    void parseErrors_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("garbage") << "abc";
        QTest::newRow("other class") << "object TForm\r\n  Text = 'a'\r\nend\r\n";
        QTest::newRow("other property") << Component("  Caption = 'a'");
        QTest::newRow("number value") << Component("  Text = 12");
        QTest::newRow("unterminated") << Component("  Text = 'abc");
        QTest::newRow("line break in run") << "object TkxProps\r\n  Text = 'a\r\nb'\r\nend\r\n";
        QTest::newRow("dangling plus") << Component("  Text = 'a' +");
        QTest::newRow("no end") << "object TkxProps\r\n  Text = 'a'\r\n";
        QTest::newRow("after end") << Component("  Text = 'a'") + "x";
        QTest::newRow("no equals") << Component("  Text 'a'");
        QTest::newRow("bare hash") << Component("  Text = #");
        QTest::newRow("code too big") << Component("  Text = #1114112");
        QTest::newRow("huge code") << Component("  Text = #99999999999999999999");
        QTest::newRow("blank between pieces") << Component("  Text = 'a' 'b'");
    }

    void parseErrors() {
        QFETCH(QString, text);
        TkxProps bag;
        bag.Add(1);
        QVERIFY(ErrorOf([&] { bag.ReadComponentText(text); }).startsWith("Props: "));
        QCOMPARE(bag.Count(), 1);
    }

    void encoding() {
        QCOMPARE(EncodeSettingsText(QStringLiteral("abc")), "E9D9C9");
        QCOMPARE(DecodeSettingsText(QStringLiteral("E9D9C9")), "abc");
        QCOMPARE(DecodeSettingsText(QStringLiteral("e9d9c9")), "abc");
        QCOMPARE(DecodeSettingsText(QStringLiteral("E9D9C9F")), "abc");
        QCOMPARE(DecodeSettingsText(QString()), QString());
        QCOMPARE(ComplementHexEncode(QByteArray("\x00\xff\x10", 3)), "FF00FE");
        QCOMPARE(EncodeSettingsText(QString::fromUtf8(u8"я")).size(), 4);
        QVERIFY(ErrorOf([] {
                    DecodeSettingsText(QStringLiteral("E9DG"));
                }).contains("not a valid hexadecimal value"));
        QVERIFY(ErrorOf([] {
                    DecodeSettingsText(QStringLiteral("E9 9"));
                }).contains("not a valid hexadecimal value"));
    }

    void encodingRandomBytes() {
        QRandomGenerator random(7);
        for (int i = 0; i < 500; ++i) {
            QByteArray bytes(qsizetype(random.bounded(300)), Qt::Uninitialized);
            for (char& b : bytes)
                b = char(random.bounded(256));
            const QString stored = ComplementHexEncode(bytes);
            QCOMPARE(stored.size(), bytes.size() * 2);
            QCOMPARE(ComplementHexDecode(stored), bytes);
        }
    }
};

QTEST_GUILESS_MAIN(TestStorageProps)
#include "test_storage_props.moc"
