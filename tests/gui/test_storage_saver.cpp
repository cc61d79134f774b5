#include "app/kxSaverWindow.h"
#include "gui/kxPrivateSettings.h"
#include "model/kxErrors.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

namespace {

QString Stored(const QString& valueName) {
    QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
    return settings.value(valueName).toString();
}

void Store(const QString& valueName, const QString& value) {
    QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
    settings.setValue(valueName, value);
}

void StoreText(const QString& valueName, const QString& bagText) {
    Store(valueName, EncodeSettingsText(PropsComponentText(bagText)));
}

} // namespace

class TestStorageSaver : public QObject {
    Q_OBJECT

    TkxPrivateSettings ConfigDir;

private Q_SLOTS:
    void initTestCase() {
        // Settings go to a private directory, never to the user's own.
        QVERIFY(ConfigDir.isValid());
    }

    void init() {
        QSettings settings(QStringLiteral("KX"), QStringLiteral("Orvane"));
        QVERIFY(settings.fileName().startsWith(ConfigDir.path()));
        settings.clear();
    }

    void nothingStored() {
        QWidget window;
        window.move(10, 20);
        TkxSaver saver(&window, 3);
        int failed = 0, loaded = 0;
        saver.OnRestoreFailed = [&](TkxProps& bag) {
            ++failed;
            QCOMPARE(bag.Count(), 0);
        };
        saver.OnLoad = [&](TkxProps&) { ++loaded; };
        saver.Restore();
        QCOMPARE(failed, 1);
        QCOMPARE(loaded, 0);
        QCOMPARE(window.pos(), QPoint(10, 20));
    }

    void saveAndRestore() {
        QWidget window;
        window.move(120, 80);
        window.resize(640, 480);
        TkxSaver saver(&window, 2);
        QCOMPARE(saver.ValueName(), "Data2");
        saver.OnSave = [](TkxProps& bag) {
            QCOMPARE(bag.Count(), TkxProps::FirstOwnIndex);
            bag.Add(1049);
            bag.Add(QStringLiteral("it's\tdone"));
            bag.Add(QString(100, u'w'));
        };
        saver.Save();
        QCOMPARE(saver.Props().Count(), 0);
        QCOMPARE(DecodeSettingsText(Stored("Data2")),
                 "object TkxProps\r\n  Text = \r\n    '120'#13#10'80'#13#10'640'#13#10'480'#13#10"
                 "'1049'#13#10'it'#39's'#9'done'#13#10'" +
                     QString(28, u'w') + "' +\r\n    '" + QString(64, u'w') + "' +\r\n    '" +
                     QString(8, u'w') + "'#13#10\r\nend\r\n");

        QWidget other;
        other.move(1, 1);
        other.resize(100, 100);
        TkxSaver restorer(&other, 2);
        QStringList own;
        restorer.OnLoad = [&](TkxProps& bag) {
            QCOMPARE(bag.Count(), 7);
            // Values come back as texts.
            QCOMPARE(bag.Items(4).typeId(), QMetaType::QString);
            QCOMPARE(bag.Items(4).toInt(), 1049);
            own << bag.Items(5).toString() << bag.Items(6).toString();
        };
        restorer.OnRestoreFailed = [](TkxProps&) { QFAIL("restore failed"); };
        restorer.Restore();
        QCOMPARE(other.pos(), QPoint(120, 80));
        QCOMPARE(other.size(), QSize(640, 480));
        QCOMPARE(own, QStringList({"it's\tdone", QString(100, u'w')}));
        QCOMPARE(restorer.Props().Count(), 0);
    }

    void handlerAsksBeyondTheValues() {
        StoreText("Data0", "30\r\n40\r\n300\r\n200\r\n");
        QWidget window;
        window.move(1, 1);
        window.resize(50, 50);
        TkxSaver saver(&window, 0);
        QStringList calls;
        saver.OnLoad = [&](TkxProps& bag) {
            calls << "load";
            bag.Items(TkxProps::FirstOwnIndex);
        };
        saver.OnRestoreFailed = [&](TkxProps& bag) {
            calls << "failed";
            QCOMPARE(bag.Count(), 4);
            // The placement was applied before the handler failed.
            QCOMPARE(window.pos(), QPoint(30, 40));
            QCOMPARE(window.size(), QSize(300, 200));
        };
        saver.Restore();
        QCOMPARE(calls, QStringList({"load", "failed"}));
        // The next save starts from a clear bag.
        saver.Save();
        QCOMPARE(
            DecodeSettingsText(Stored("Data0")),
            "object TkxProps\r\n  Text = '30'#13#10'40'#13#10'300'#13#10'200'#13#10\r\nend\r\n");
    }

    void badSettings_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<QSize>("size");
        const QPoint start(5, 6);
        const QSize startSize(70, 80);
        QTest::newRow("not hex") << "zz" << start << startSize;
        QTest::newRow("not a component") << EncodeSettingsText("abc") << start << startSize;
        QTest::newRow("not UTF-8") << ComplementHexEncode("\xff\xfe\x00\x80") << start << startSize;
        QTest::newRow("truncated")
            << EncodeSettingsText(PropsComponentText("1\r\n2\r\n3\r\n4\r\n")).left(40) << start
            << startSize;
        QTest::newRow("width not a number")
            << EncodeSettingsText(PropsComponentText("11\r\n12\r\nwide\r\n40\r\n"))
            << QPoint(11, 12) << startSize;
        QTest::newRow("height too large")
            << EncodeSettingsText(PropsComponentText("11\r\n12\r\n90\r\n2000000000\r\n"))
            << QPoint(11, 12) << QSize(90, 80);
        QTest::newRow("three values")
            << EncodeSettingsText(PropsComponentText("11\r\n12\r\n90\r\n")) << QPoint(11, 12)
            << QSize(90, 80);
    }

    void badSettings() {
        QFETCH(QString, stored);
        QFETCH(QPoint, pos);
        QFETCH(QSize, size);
        Store("Data1", stored);
        QWidget window;
        window.move(5, 6);
        window.resize(70, 80);
        TkxSaver saver(&window, 1);
        int failed = 0;
        saver.OnRestoreFailed = [&](TkxProps&) { ++failed; };
        saver.OnLoad = [](TkxProps&) { QFAIL("loaded"); };
        saver.Restore();
        QCOMPARE(failed, 1);
        QCOMPARE(window.pos(), pos);
        QCOMPARE(window.size(), size);
    }

    void disabledSaverTouchesNothing() {
        StoreText("Data4", "1\r\n2\r\n3\r\n4\r\n");
        QWidget window;
        window.move(50, 60);
        TkxSaver saver(&window, 4);
        saver.Enabled = false;
        bool called = false;
        saver.OnRestoreFailed = [&](TkxProps&) { called = true; };
        saver.OnLoad = [&](TkxProps&) { called = true; };
        saver.OnSave = [&](TkxProps&) { called = true; };
        saver.Restore();
        QCOMPARE(window.pos(), QPoint(50, 60));
        saver.Save();
        QVERIFY(!called);
        QCOMPARE(DecodeSettingsText(Stored("Data4")), PropsComponentText("1\r\n2\r\n3\r\n4\r\n"));
    }

    void sameTagSharesTheValue() {
        QWidget first;
        first.setProperty("tag", 7);
        first.move(33, 44);
        first.resize(210, 110);
        TkxSaver one(&first);
        QCOMPARE(one.ValueName(), "Data7");
        one.Save();
        QWidget second;
        TkxSaver two(&second, 7);
        two.Restore();
        QCOMPARE(second.pos(), QPoint(33, 44));
        QCOMPARE(second.size(), QSize(210, 110));
    }

    void onlyWindowsAreSaved() {
        QWidget window;
        QWidget child(&window);
        TkxSaver saver(&child, 5);
        bool called = false;
        saver.OnSave = [&](TkxProps&) { called = true; };
        saver.OnRestoreFailed = [&](TkxProps&) { called = true; };
        saver.Save();
        saver.Restore();
        QVERIFY(!called);
        QVERIFY(Stored("Data5").isEmpty());
    }
};

QTEST_MAIN(TestStorageSaver)
#include "test_storage_saver.moc"
