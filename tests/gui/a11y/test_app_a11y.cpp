// What a screen reader hears of the main window, asked over the accessibility bus (AT-SPI) the
// way a screen reader asks: the status panels say their role and their value, kept current, in
// both languages, and a node whose task failed says why. Runs on an X server with the bus up
// (scripts/with-a11y).

#include "app/kxMain.h"
#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"

#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

namespace {

// What the bus says of the window: "role<TAB>name<TAB>description" per object. The reader
// runs beside this process, whose event loop answers it meanwhile.
QStringList Heard() {
    QProcess reader;
    // The system's Python, which has the GObject bindings (another one on PATH may not).
    reader.start(QStringLiteral("/usr/bin/python3"),
                 {qEnvironmentVariable("ORVANE_SOURCE_DIR") + "/tests/gui/a11y/a11y-names.py"});
    if (!WaitFor([&] { return reader.state() == QProcess::NotRunning; }, 60000))
        return {QStringLiteral("the reader did not finish")};
    const QString err = QString::fromUtf8(reader.readAllStandardError());
    if (reader.exitCode() != 0)
        return {QStringLiteral("the reader failed: ") + err};
    return QString::fromUtf8(reader.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

// The names heard that start with one of the prefixes.
QStringList NamesStartingWith(const QStringList& heard, const QStringList& prefixes) {
    QStringList names;
    for (const QString& line : heard) {
        const QString name = line.section(u'\t', 1, 1);
        for (const QString& prefix : prefixes)
            if (name.startsWith(prefix))
                names << name;
    }
    return names;
}

} // namespace

class TestAppA11y : public QObject {
    Q_OBJECT
    QTemporaryDir Config;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(Config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Config.path()));
        QSettings(QStringLiteral("KX"), QStringLiteral("Orvane")).clear();
    }
    void cleanup() {
        TkxInfoThread::WaitForAll();
        SetCurrentLanguage(LangEnglish);
    }

    void statusPanelsAndFailedNodes() {
        auto net = std::make_shared<TkxFakeServices>();
        const QString share = QStringLiteral("\\\\h\\s");
        net->AddFolder(share, {"denied\\", "a.txt"});
        net->Errors[share + QStringLiteral("\\denied")] = EACCES;
        TfrmMain w({}, TfrmMain::TOptions{false, net});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.Doc().ClearTree();
        AddTop(w.Doc(), ikShare, share);
        w.Doc().AddRange(QStringLiteral("r"), QStringLiteral("10.0.0.1 - 10.0.0.1"));
        QTRY_COMPARE(w.actRun->text(), QStringLiteral("Run"));
        const QStringList roles{"Pending nodes", "Search state", "Connected as"};
        auto panels = [&](const QStringList& prefixes) {
            return NamesStartingWith(Heard(), prefixes);
        };
        QCOMPARE(panels(roles),
                 QStringList({"Pending nodes: 2", "Search state", "Connected as: User: Guest"}));

        // After a search with a denied folder: the new values, and the folder says why.
        w.Doc().ClearPending();
        w.Doc().AppendPending(w.Doc().Tree().Root()->Children[0].get());
        w.aeMainIdle();
        w.actContinue->trigger();
        QVERIFY(WaitIdle(w.Doc()));
        w.tvMain->expandAll();
        const QStringList heard = Heard();
        QCOMPARE(NamesStartingWith(heard, roles),
                 QStringList({"Pending nodes: 0",
                              "Search state: Searching stopped successfully (1 task failed)",
                              "Connected as: User: Guest"}));
        const QStringList denied = heard.filter(QStringLiteral("\tdenied\t"));
        QVERIFY2(denied.size() == 1 && denied[0].endsWith(QStringLiteral(
                                           "Thread has stopped with error (Access denied)")),
                 qPrintable(denied.join(u'\n')));

        SetCurrentLanguage(LangRussian);
        w.SendApplyTexts();
        QCOMPARE(panels({"Узлы в очереди", "Состояние поиска", "Подключение от имени"}),
                 QStringList({"Узлы в очереди: 0", "Состояние поиска: " + w.Doc().StatusStateText(),
                              "Подключение от имени: " + w.Panels[4]->text()}));
        w.Doc().SetModified(false);
    }
};

QTEST_MAIN(TestAppA11y)
#include "test_app_a11y.moc"
