#include "model/kxErrors.h"
#include "model/kxLists.h"

#include <QLocale>
#include <QtTest>

#include <cmath>

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
    std::vector<std::unique_ptr<FakeWorker>> Workers;
    bool Throw = false;

    TkxWorkerFactory Make() {
        return [this](TkxInfoList&) -> TkxSlotWorker* {
            if (Throw)
                throw EkxError(QStringLiteral("no thread"));
            Workers.push_back(std::make_unique<FakeWorker>(&Log, int(Workers.size()) + 1));
            Log << QStringLiteral("start %1").arg(Workers.size());
            return Workers.back().get();
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
        QVERIFY2(time.contains(u"45") && time.contains(u"10"), qPrintable(text));
        QVERIFY2(time == time.trimmed() && !time.isEmpty(), qPrintable(text));
        const QString zone = QDateTime(date, QTime(13, 45, 10)).timeZoneAbbreviation();
        if (!zone.isEmpty())
            QVERIFY2(!time.contains(zone), qPrintable(text));

        QVERIFY(DateTimeText(std::nan("")).isEmpty());
        QVERIFY(DateTimeText(1e12).isEmpty());
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
        QVERIFY(slot.Worker == factory.Workers.at(0).get());

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
