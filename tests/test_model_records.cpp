#include "model/kxErrors.h"
#include "model/kxLists.h"
#include "model/kxTree.h"
#include "model/kxUtf8.h"

#include <QAbstractItemModelTester>
#include <QLocale>
#include <QtTest>

#include <cmath>
#include <random>

namespace {

// A worker that only records what the slot does to it.
class FakeWorker : public TkxSlotWorker {
public:
    explicit FakeWorker(QStringList* log, int id) : Log(log), Id(id) {}
    void SetOwnerNone() override { *Log << QStringLiteral("owner-none %1").arg(Id); }
    void Terminate() override { *Log << QStringLiteral("terminate %1").arg(Id); }

private:
    QStringList* Log;
    int Id;
};

struct FakeFactory {
    QStringList Log;
    std::vector<std::shared_ptr<FakeWorker>> Workers;
    bool Throw = false;

    TkxWorkerFactory Make() {
        return [this](TkxInfoList&) -> std::shared_ptr<TkxSlotWorker> {
            if (Throw)
                throw EkxError(QStringLiteral("no thread"));
            Workers.push_back(std::make_shared<FakeWorker>(&Log, int(Workers.size()) + 1));
            Log << QStringLiteral("start %1").arg(Workers.size());
            return Workers.back();
        };
    }
};

QString LoneSurrogates() {
    QString s = QStringLiteral("a");
    s += QChar(0xD800);
    s += u'b';
    s += QChar(0xDC00);
    s += QChar(0xDBFF);
    return s;
}

// Local time without daylight-saving gaps while a test runs.
class UtcZone {
public:
    UtcZone() : Old(qgetenv("TZ")) {
        qputenv("TZ", "UTC");
        tzset();
    }
    ~UtcZone() {
        if (Old.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", Old);
        tzset();
    }

private:
    QByteArray Old;
};

// The text as the locale gives it through QDateTime, value by value.
QString PlainDateTimeText(const QLocale& locale, const QString& timeFormat, double days) {
    const QDateTime t = DaysToDateTime(days);
    if (!t.isValid())
        return {};
    QString text = locale.toString(t.date(), QLocale::ShortFormat);
    if (t.time().msecsSinceStartOfDay() != 0)
        text += u' ' + locale.toString(t.time(), timeFormat);
    return text;
}

QLocale LocaleNamed(const QString& name) {
    return name == u"system" ? QLocale::system() : QLocale(name);
}

double SecondsIntoDay(double day, double seconds) {
    return day + seconds / 86400.0;
}

} // namespace

class TestModelRecords : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sizeText_data() {
        QTest::addColumn<double>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("0") << 0.0 << "";
        QTest::newRow("1") << 1.0 << "1b";
        QTest::newRow("fraction truncated") << 1.9 << "1b";
        QTest::newRow("below one") << 0.7 << "";
        QTest::newRow("1023") << 1023.0 << "1023b";
        QTest::newRow("1024") << 1024.0 << "1Kb";
        QTest::newRow("1536") << 1536.0 << "1Kb";
        QTest::newRow("1048575") << 1048575.0 << "1023Kb";
        QTest::newRow("1048576") << 1048576.0 << "1Mb";
        QTest::newRow("2^30") << std::ldexp(1.0, 30) << "1Gb";
        QTest::newRow("2^40") << std::ldexp(1.0, 40) << "1Tb";
        QTest::newRow("2^50-1") << std::ldexp(1.0, 50) - 1 << "1023Tb";
        QTest::newRow("2^50") << std::ldexp(1.0, 50) << "Very big size";
        QTest::newRow("beyond 64 bits") << 1e30 << "Very big size";
        QTest::newRow("infinite") << HUGE_VAL << "Very big size";
        QTest::newRow("not a number") << std::nan("") << "";
        QTest::newRow("negative") << -2000.0 << "-2000b";
    }
    void sizeText() {
        QFETCH(double, bytes);
        QFETCH(QString, expected);
        TkxNumber size;
        size.SetNumber(bytes);
        QCOMPARE(size.SizeText(), expected);
    }

    void sizeFromText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("number text") << "12345"
                                     << "12Kb";
        QTest::newRow("blanks") << " 2048 "
                                << "2Kb";
        QTest::newRow("big") << "1125899906842624"
                             << "Very big size";
        QTest::newRow("not a number") << "abc"
                                      << "";
        QTest::newRow("date text") << "05.03.2024 13:45:10"
                                   << "";
    }
    void sizeFromText() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        TkxNumber size;
        size.SetText(text);
        QCOMPARE(size.SizeText(), expected);
        QCOMPARE(size.AsText(), text);
    }

    void numberText_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("0") << 0.0 << "0";
        QTest::newRow("negative zero") << -0.0 << "0";
        QTest::newRow("whole") << 12345.0 << "12345";
        QTest::newRow("2^40") << std::ldexp(1.0, 40) << "1099511627776";
        QTest::newRow("2^50") << std::ldexp(1.0, 50) << "1125899906842624";
        QTest::newRow("2^53") << std::ldexp(1.0, 53) << "9007199254740992";
        QTest::newRow("negative") << -4096.0 << "-4096";
        QTest::newRow("fraction") << 1.5 << "1.5";
        QTest::newRow("15 digits") << 0.1 << "0.1";
        QTest::newRow("huge") << 1e20 << "1e+20";
    }
    void numberText() {
        QFETCH(double, value);
        QFETCH(QString, expected);
        TkxField f;
        f.SetNumber(value);
        QVERIFY(!f.IsEmpty());
        QCOMPARE(f.AsText(), expected);
    }

    void emptyValues() {
        TkxInfo info;
        QVERIFY(info.NameText().isEmpty());
        QVERIFY(info.SizeRawText().isEmpty());
        QVERIFY(info.SizeText().isEmpty());
        QVERIFY(info.CreatingText().isEmpty());

        info.SetSize(0);
        QVERIFY(!info.Size.IsEmpty());
        QCOMPARE(info.SizeRawText(), "0");
        QVERIFY(info.SizeText().isEmpty());

        info.SetCreating(45000.5);
        QVERIFY(!info.Creating.IsEmpty());
        info.SetCreating(0);
        QVERIFY(info.Creating.IsEmpty());
        info.SetEditTime(-3);
        QVERIFY(info.EditTime.IsEmpty());
        info.SetLastAccess(std::nan(""));
        QVERIFY(info.LastAccess.IsEmpty());

        info.SetCreatingText(QStringLiteral("x"));
        info.SetCreatingText(QString());
        QVERIFY(info.Creating.IsEmpty());

        bool ok = true;
        QCOMPARE(info.Creating.AsDouble(&ok), 0.0);
        QVERIFY(!ok);
    }

    void nameAndAddress() {
        TkxInfo info;
        info.SetAddress(QStringLiteral("\\\\10.0.0.7"));
        QCOMPARE(info.NameText(), "\\\\10.0.0.7");
        QCOMPARE(info.AddressText(), "\\\\10.0.0.7");

        TkxInfo named;
        named.SetName(QStringLiteral("docs"));
        named.SetAddress(QStringLiteral("\\\\host\\docs"));
        QCOMPARE(named.NameText(), "docs");
        named.SetName(QString());
        QCOMPARE(named.NameText(), "docs");
        named.SetAddress(QString());
        QVERIFY(named.Address.IsEmpty());
        QCOMPARE(named.NameText(), "docs");
    }

    void fieldCopyAndMove_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii") << "readme.txt";
        QTest::newRow("cyrillic") << QString::fromUtf8("Отчёт за 2024 год.doc");
        QTest::newRow("outside the BMP") << QString::fromUtf8("ноты \U0001D11E.pdf");
        QTest::newRow("lone surrogates") << LoneSurrogates();
        QTest::newRow("trailing high surrogate") << QString(QChar(0xD83D));
        QTest::newRow("embedded nul") << QString::fromUtf16(u"a\0b", 3);
        QTest::newRow("14 bytes, in the field") << "report_280.doc";
        QTest::newRow("15 bytes, in the field") << "report_280.docx";
        QTest::newRow("16 bytes, on the heap") << "report_2800.docx";
        QTest::newRow("cyrillic, 15 bytes") << QString::fromUtf8("абвгдеёx");
        QTest::newRow("cyrillic, 16 bytes") << QString::fromUtf8("абвгдеёж");
        QTest::newRow("pair ending at byte 15") << QString::fromUtf8("01234567890\U0001D11E");
        QTest::newRow("pair ending at byte 16") << QString::fromUtf8("012345678901\U0001D11E");
        QTest::newRow("lone surrogate at byte 15")
            << QStringLiteral("012345678901") + QChar(0xDC00);
        // Not byte order marks: names that begin with U+FEFF.
        QTest::newRow("leading U+FEFF") << QStringLiteral("\ufeffa.txt");
        QTest::newRow("two leading U+FEFF, on the heap")
            << QStringLiteral("\ufeff\ufeffreport_2800.doc");
    }
    void fieldCopyAndMove() {
        QFETCH(QString, text);
        TkxField f;
        f.SetText(text);
        QCOMPARE(f.ValueType(), TkxField::Type::Text);
        QCOMPARE(f.AsText(), text);

        TkxField copy(f);
        QCOMPARE(copy.AsText(), text);
        TkxField assigned;
        assigned.SetNumber(3);
        assigned = f;
        QCOMPARE(assigned.AsText(), text);
        assigned = assigned;
        QCOMPARE(assigned.AsText(), text);

        TkxField moved(std::move(copy));
        QCOMPARE(moved.AsText(), text);
        QVERIFY(copy.IsEmpty());
        TkxField target;
        target.SetText(QStringLiteral("old"));
        target = std::move(moved);
        QCOMPARE(target.AsText(), text);
        QVERIFY(moved.IsEmpty());

        f.SetNumber(7);
        QCOMPARE(f.AsText(), "7");
        QCOMPARE(target.AsText(), text);
    }

    // The shared encoder agrees with Qt's for every code point, and keeps a lone surrogate as
    // its own three bytes (what the fields rely on to give any QString back).
    void utf8Encoder() {
        char bytes[4];
        for (char32_t c = 0; c <= 0x10FFFF; ++c) {
            char* end = bytes;
            PutUtf8(c, end);
            const QByteArray encoded(bytes, end - bytes);
            if (QChar::isSurrogate(c))
                QCOMPARE(encoded.size(), 3);
            else if (encoded != QStringView(QChar::fromUcs4(c)).toUtf8())
                QFAIL(qPrintable(QStringLiteral("U+%1").arg(quint32(c), 0, 16)));
        }
        char* end = bytes;
        PutUtf8(char32_t(0xDC00), end);
        QCOMPARE(QByteArray(bytes, end - bytes), QByteArray("\xED\xB0\x80"));
    }

    void recordCopy() {
        TkxInfo info;
        info.SetName(QStringLiteral("файл.txt"));
        info.SetSize(2048);
        info.SetEditTime(45000.25);
        TkxInfo copy = info;
        info.SetName(QStringLiteral("other"));
        QCOMPARE(copy.NameText(), QStringLiteral("файл.txt"));
        QCOMPARE(copy.SizeText(), "2Kb");
        QCOMPARE(copy.EditTime.ValueType(), TkxField::Type::Date);
        QCOMPARE(copy.EditTime.AsDouble(), 45000.25);
    }

    void days() {
        QCOMPARE(DateTimeToDays(QDateTime(QDate(1899, 12, 30), QTime(0, 0))), 0.0);
        QCOMPARE(DateTimeToDays(QDateTime(QDate(2000, 1, 1), QTime(0, 0))), 36526.0);
        QCOMPARE(DateTimeToDays(QDateTime(QDate(2000, 1, 1), QTime(18, 0))), 36526.75);
        QCOMPARE(DateTimeToDays(QDateTime(QDate(1899, 12, 29), QTime(6, 0))), -1.25);

        const QDateTime t(QDate(2024, 3, 5), QTime(13, 45, 10, 500));
        QCOMPARE(DaysToDateTime(DateTimeToDays(t)), t);
        const QDateTime old(QDate(1899, 12, 29), QTime(6, 0));
        QCOMPARE(DaysToDateTime(-1.25), old);
        QVERIFY(!DaysToDateTime(std::nan("")).isValid());
        QVERIFY(!DaysToDateTime(1e300).isValid());

        const double before = DateTimeToDays(QDateTime::currentDateTime());
        const double now = NowDays();
        QVERIFY(now >= before && now - before < 1.0 / 24);
    }

    void utcToDaysMatchesQDateTime() {
        // The fast conversion used for file times must agree with QDateTime, also across
        // daylight-saving changes and before 1970 and 1899.
        const QByteArray oldTz = qgetenv("TZ");
        for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York", "Asia/Kolkata"}) {
            qputenv("TZ", zone);
            tzset();
            for (qint64 ms : {0LL, 1LL, -1LL, 1616893199999LL, 1616893200000LL, 1616896800000LL,
                              1635638399000LL, 1635642000001LL, -2209161600000LL, -2209161600001LL,
                              -5000000000000LL, 253402300799000LL}) {
                const double expected = DateTimeToDays(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
                QVERIFY2(qAbs(UtcMSecsToDays(ms) - expected) < 1e-9,
                         qPrintable(QStringLiteral("%1 %2").arg(zone).arg(ms)));
            }
            // Offsets of whole hours are remembered: sweep the Berlin and New York changes
            // twice, the second time from what was remembered.
            for (int round = 0; round < 2; ++round) {
                for (qint64 change : {1616893200000LL, 1635642000000LL, 1615705200000LL}) {
                    for (qint64 ms = change - 3 * 3600000; ms < change + 3 * 3600000;
                         ms += 7 * 60000 + 1) {
                        const double expected =
                            DateTimeToDays(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
                        QVERIFY2(qAbs(UtcMSecsToDays(ms) - expected) < 1e-9,
                                 qPrintable(QStringLiteral("%1 %2").arg(zone).arg(ms)));
                    }
                }
            }
        }
        if (oldTz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", oldTz);
        tzset();
    }

    void dateText() {
        const QLocale locale = QLocale::system();
        const QDate date(2024, 3, 5);
        const QString dateText = locale.toString(date, QLocale::ShortFormat);
        QCOMPARE(DateTimeText(DateTimeToDays(QDateTime(date, QTime(0, 0)))), dateText);

        TkxDateTime field;
        field.SetDate(DateTimeToDays(QDateTime(date, QTime(13, 45, 10))));
        const QString text = field.AsText();
        QVERIFY2(text.startsWith(dateText + u' '), qPrintable(text));
        const QString time = text.mid(dateText.size() + 1);
        QVERIFY2(time.contains(locale.toString(45)) && time.contains(locale.toString(10)),
                 qPrintable(text));
        QVERIFY2(time == time.trimmed() && !time.isEmpty(), qPrintable(text));
        const QString zone = QDateTime(date, QTime(13, 45, 10)).timeZoneAbbreviation();
        if (!zone.isEmpty())
            QVERIFY2(!time.contains(zone), qPrintable(text));

        QVERIFY(DateTimeText(std::nan("")).isEmpty());
        QVERIFY(DateTimeText(1e12).isEmpty());
    }

    // The prepared parts must give exactly what the locale gives through QDateTime, in
    // locales with names, twelve-hour clocks, quoted literals and digits of other scripts.
    void dateTextsMatchLocale_data() {
        QTest::addColumn<QString>("locale");
        for (const char* name :
             {"system", "C", "en_US", "de_DE", "ru_RU", "ja_JP", "ko_KR", "zh_TW", "ar_EG", "fa_IR",
              "bg_BG", "sq_AL", "el_GR", "hr_HR", "my_MM", "ccp_BD", "dz_BT"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void dateTextsMatchLocale() {
        QFETCH(QString, locale);
        const UtcZone utc;
        const QLocale l = LocaleNamed(locale);
        const TkxDateTexts texts(l);
        // A user's locale may mix the digits of one locale with the dates of another; that
        // one is formatted by the locale each time.
        if (locale != u"system")
            QVERIFY(texts.Prepared());
        QVERIFY(!texts.TimeFormat().contains(u't'));

        const double day = 45000;
        std::vector<double> values = {
            0,
            1e-9,                            // rounds to midnight: no time
            0.6 / 86400000,                  // rounds to 1 ms: 00:00:00 shown
            SecondsIntoDay(day, 43200.9996), // rounds up to the next second
            SecondsIntoDay(day, 43200.9994), // seconds are truncated
            SecondsIntoDay(day, 86399.9996), // rounds up to the next day
            day + 0.99999999999,             // the next midnight
            -1.25,                           // before 1899: the time counts forward
            -0.5,
            -0.999999999999,
            -693593, // 1 January 1
            -693592.75,
            -693593.5,                           // before the year 1: no text
            59,                                  // 28 February 1900
            60,                                  // 1 March 1900: 1900 was no leap year
            36526,                               // 2000
            2958465.5,                           // 31 December 9999
            SecondsIntoDay(2958465, 86399.9999), // rounds into the year 10000
            2958466,                             // beyond 9999: no text
            1e12,
            std::nan(""),
            HUGE_VAL,
            -HUGE_VAL};
        std::mt19937_64 random(20240305);
        std::uniform_real_distribution<double> anyDay(-693593.0, 2958466.0);
        std::uniform_real_distribution<double> recent(0, 80000);
        std::uniform_int_distribution<qint64> millisecond(0, 86400000 - 1);
        for (int i = 0; i < 3000; ++i) {
            values.push_back(anyDay(random));
            const double whole = std::floor(recent(random));
            const qint64 ms = millisecond(random);
            values.push_back(whole + double(ms) / 86400000);
            values.push_back(whole + double(ms / 1000 * 1000) / 86400000);
            values.push_back(-whole - double(ms) / 86400000);
        }
        for (const double v : values) {
            const QString expected = PlainDateTimeText(l, texts.TimeFormat(), v);
            const QString text = texts.Text(v);
            QVERIFY2(
                text == expected,
                qPrintable(
                    QStringLiteral("%1: %2 instead of %3").arg(v, 0, 'g', 17).arg(text, expected)));
            if (text.isEmpty())
                continue;
            // Every text of a year with four digits reads back as a value giving that text.
            const std::optional<double> back = texts.Parse(text);
            if (texts.Prepared() && DaysToDateTime(v).date().year() <= 9999)
                QVERIFY2(back.has_value(), qPrintable(text));
            if (back)
                QCOMPARE(texts.Text(*back), text);
        }
    }

    void dateTextsUseSystemLocale() {
        const UtcZone utc;
        const TkxDateTexts& texts = TkxDateTexts::System();
        for (const double v : {0.0, 45000.5, -12.75, 2958465.999})
            QCOMPARE(DateTimeText(v), PlainDateTimeText(QLocale::system(), texts.TimeFormat(), v));
    }

    void dateTextParse_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("found");
        auto row = [](const char* locale, const QString& text, bool found) {
            QTest::addRow("%s %s", locale, qPrintable(text)) << locale << text << found;
        };
        row("C", "5 Mar 2024", true);
        row("C", "5 Mar 2024 13:45:10", true);
        row("C", "5 Mar 2024 00:00:00", true); // a few milliseconds past midnight
        row("C", "29 Feb 2024", true);
        row("C", "1 Jan 0001", true);
        row("C", "31 Dec 9999 23:59:59", true);
        row("C", "", false);
        row("C", "x", false);
        row("C", "05 Mar 2024", false);
        row("C", "5 March 2024", false);
        row("C", "5 Mar 24", false);
        row("C", "29 Feb 2023", false);
        row("C", "31 Apr 2024", false);
        row("C", "5 Mar 2024 13:45", false);
        row("C", "5 Mar 2024 24:00:00", false);
        row("C", "5 Mar 2024 13:60:00", false);
        row("C", "5 Mar 2024 ", false);
        row("C", "5 Mar 2024  13:45:10", false);
        row("C", "5 Mar 2024 13:45:10 ", false);
        row("C", "5 Mar 2024 13:45:100", false);
        row("C", "1 Jan 0000", false);
        row("C", QString::fromUtf8("٥ Mar 2024"), false);
        row("C", "01.02.2024 10:11", false);
        row("en_US", "3/5/24 12:00:00 AM", true);
        row("en_US", "3/5/24 12:30:00 PM", true);
        row("en_US", "3/5/24 1:30:00 PM", true);
        row("en_US", "3/5/24 13:30:00 PM", false);
        row("en_US", "3/5/24 01:30:00 PM", false);
        row("en_US", "3/5/24 1:30:00", false);
        row("de_DE", "05.03.24 13:45:10", true);
        row("de_DE", "5.03.24 13:45:10", false);
        row("ar_EG", QString::fromUtf8("٥\u200F/٣\u200F/٢٠٢٤ ١:٠٤:٠٥ م"), true);
        row("ar_EG", QString::fromUtf8("5\u200F/3\u200F/2024 1:04:05 م"), false);
        row("ko_KR", QString::fromUtf8("24. 3. 5. 오후 1시 4분 5초"), true);
    }
    void dateTextParse() {
        QFETCH(QString, locale);
        QFETCH(QString, text);
        QFETCH(bool, found);
        const TkxDateTexts texts{QLocale(locale)};
        const std::optional<double> days = texts.Parse(text);
        QCOMPARE(days.has_value(), found);
        if (days)
            QCOMPARE(texts.Text(*days), text);
    }

    // A date text read back into a date field is still a text to everyone who asks.
    void dateFieldKeepsText() {
        const QString dateText = DateTimeText(45000.5);
        const QString other = QStringLiteral("01.02.2024 10:11");
        for (const QString& text : {dateText, DateTimeText(45000), other, DateTimeText(-3.5)}) {
            TkxInfo info;
            info.SetCreatingText(text);
            info.SetEditTimeText(text);
            QCOMPARE(info.CreatingText(), text);
            QCOMPARE(info.Creating.ValueType(), TkxField::Type::Text);
            TkxField plain;
            plain.SetText(text);
            bool ok = true;
            bool plainOk = true;
            QCOMPARE(info.Creating.AsDouble(&ok), plain.AsDouble(&plainOk));
            QCOMPARE(ok, plainOk);

            const TkxInfo copy = info;
            TkxInfo moved = std::move(info);
            QCOMPARE(copy.CreatingText(), text);
            QCOMPARE(moved.EditTimeText(), text);
        }
        TkxDateTime field;
        field.SetText(dateText);
        field.SetText(QString());
        QVERIFY(field.IsEmpty());
    }

    // Children kept in one block: rows, parents, counts and the model's view of them stay
    // right through growth, deletion in the middle and clearing.
    void treeChildren() {
        TkxTreeModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        auto record = [](int i) {
            TkxInfo info;
            info.SetName(QStringLiteral("node %1").arg(i));
            return info;
        };
        std::vector<TkxInfo> tops;
        for (int i = 0; i < 3; ++i)
            tops.push_back(record(i));
        const std::vector<TkxNode*> added = model.AppendNodes(nullptr, std::move(tops));
        TkxNode* middle = added[1];
        for (int i = 0; i < 100; ++i)
            model.AppendNode(middle, record(100 + i));
        TkxNode* deep = model.AppendNode(middle->Children[5].get(), record(1000));
        QCOMPARE(model.NodeCount(), 104);
        QCOMPARE(middle->Children.size(), size_t(100));
        QCOMPARE(deep->Level(), 2);
        QCOMPARE(deep->Parent, middle->Children[5].get());
        QCOMPARE(model.rowCount(model.IndexOf(middle)), 100);
        // Failure marks go with their nodes, never to a node that takes a freed one's place.
        for (TkxNode* n : {deep, middle->Children[7].get(), middle})
            model.SetFailure(n, QStringLiteral("denied"));
        QCOMPARE(model.FailureCount(), 3);

        model.DeleteNode(middle->Children[5].get());
        QCOMPARE(model.FailureCount(), 2);
        QCOMPARE(model.NodeCount(), 102);
        QCOMPARE(middle->Children.size(), size_t(99));
        int row = 0;
        for (const auto& child : middle->Children) {
            QCOMPARE(child->Row, row++);
            QCOMPARE(child->Parent, middle);
        }
        QCOMPARE(middle->Children[5]->Info.NameText(), QStringLiteral("node 106"));
        QCOMPARE(middle->Children.back()->Info.NameText(), QStringLiteral("node 199"));

        QStringList order;
        for (TkxNode* n = model.NextPreOrder(nullptr); n; n = model.NextPreOrder(n))
            order << n->Info.NameText();
        QCOMPARE(order.size(), 102);
        QCOMPARE(order.mid(0, 3), QStringList({"node 0", "node 1", "node 100"}));
        QCOMPARE(order.back(), QStringLiteral("node 2"));

        model.DeleteChildren(middle);
        QCOMPARE(model.FailureCount(), 1);
        QCOMPARE(model.data(model.IndexOf(middle), TkxTreeModel::FailureRole).toString(),
                 QStringLiteral("denied"));
        QVERIFY(middle->Children.empty());
        QCOMPARE(model.NodeCount(), 3);
        model.AppendNode(middle, record(7));
        QCOMPARE(middle->Children.front()->Row, 0);
        model.DeleteNode(added[2]);
        model.DeleteNode(added[0]);
        QCOMPARE(middle->Row, 0);
        model.Clear();
        QVERIFY(!model.HasNodes());
        QCOMPARE(model.NodeCount(), 0);
    }

    void slotCreation() {
        TkxInfoList slot(3, QStringLiteral("*.doc;;*.txt"));
        QCOMPARE(slot.SlotIndex, 3);
        QCOMPARE(slot.State, ssIdle);
        QCOMPARE(slot.Kind, ikNone);
        QCOMPARE(slot.Masks, QStringList({"*.doc", "", "*.txt"}));
        QVERIFY(slot.Name.IsEmpty() && slot.Address.IsEmpty());
        QCOMPARE(slot.WorksCount, 0);
        QVERIFY(std::fabs(slot.StateTime - NowDays()) < 1.0 / 24);
    }

    void slotSameStateKeepsTime() {
        TkxInfoList slot(0, QString());
        slot.StateTime = 1.0;
        slot.SetState(ssIdle);
        QCOMPARE(slot.StateTime, 1.0);
        slot.SetState(ssWaiting);
        QVERIFY(slot.StateTime > 1.0);
    }

    void slotWorkers() {
        FakeFactory factory;
        TkxInfoList slot(0, QStringLiteral("*.*"));
        slot.WorkerFactory = factory.Make();
        slot.SetName(QStringLiteral("host"));
        slot.SetAddress(QStringLiteral("\\\\host"));

        slot.SetState(ssWorking);
        QCOMPARE(slot.WorksCount, 1);
        QVERIFY(slot.Worker == factory.Workers.at(0));

        slot.SetState(ssWaiting);
        QVERIFY(slot.Worker == nullptr);
        slot.SetState(ssWorking);
        QCOMPARE(slot.WorksCount, 2);

        slot.SetState(ssIdle);
        QCOMPARE(factory.Log, QStringList({"start 1", "owner-none 1", "terminate 1", "start 2",
                                           "owner-none 2", "terminate 2"}));
        QVERIFY(slot.Address.IsEmpty());
        QCOMPARE(slot.NameText(), "host");

        factory.Throw = true;
        slot.SetState(ssWorking);
        QCOMPARE(slot.State, ssWorking);
        QCOMPARE(slot.WorksCount, 3);
        QVERIFY(slot.Worker == nullptr);
    }

    void slotErrorText() {
        TkxInfoList slot(0, QString());
        slot.SetState(ssWorking);
        slot.SetErrorText(QStringLiteral("Access denied"));
        slot.SetState(ssError);
        QCOMPARE(slot.ErrorText, "Access denied");
        slot.SetState(ssError);
        QCOMPARE(slot.ErrorText, "Access denied");
        slot.SetState(ssWaiting);
        QVERIFY(slot.ErrorText.isEmpty());
    }

    void slotDestroyLetsWorkerGo() {
        FakeFactory factory;
        {
            TkxInfoList slot(0, QString());
            slot.WorkerFactory = factory.Make();
            slot.SetState(ssWorking);
            TkxInfo record;
            record.SetName(QStringLiteral("found"));
            slot.Add(std::move(record));
            QCOMPARE(slot.Count(), 1);
            QCOMPARE(slot.Items(0)->NameText(), "found");
        }
        QCOMPARE(factory.Log, QStringList({"start 1", "owner-none 1", "terminate 1"}));
    }
};

QTEST_GUILESS_MAIN(TestModelRecords)
#include "test_model_records.moc"
