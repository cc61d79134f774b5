#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "model/kxProgram.h"
#include "platform/kxDesktop.h"

#include <QApplication>
#include <QMimeDatabase>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString ReadText(const QString& fileName) {
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString ExecOf(const QString& entry) {
    for (const QString& line : entry.split(u'\n'))
        if (line.startsWith(QLatin1String("Exec=")))
            return line;
    return {};
}

} // namespace

class TestPlatformDesktop : public QObject {
    Q_OBJECT
    QTemporaryDir DataHome;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(DataHome.isValid());
        // Before anything reads the data directories: the MIME database included.
        qputenv("XDG_DATA_HOME", QFile::encodeName(DataHome.path()));
    }

    // Network paths become percent-encoded smb:// URLs, links stay as they are, the rest
    // are local files.
    void shellOpenUrls() {
        const QList<std::pair<QString, QString>> cases{
            {QStringLiteral("\\\\srv\\Share\\Папка\\a b#1%.txt"),
             QStringLiteral("smb://srv/Share/%D0%9F%D0%B0%D0%BF%D0%BA%D0%B0/a%20b%231%25.txt")},
            {QStringLiteral("\\\\127.0.0.2\\pub"), QStringLiteral("smb://127.0.0.2/pub")},
            {QStringLiteral("\\\\srv"), QStringLiteral("smb://srv/")},
            {QStringLiteral("mailto:orvane@example.org"),
             QStringLiteral("mailto:orvane@example.org")},
            {QStringLiteral("https://www.example.org/orvane/?a=b"),
             QStringLiteral("https://www.example.org/orvane/?a=b")},
            {QStringLiteral("/tmp/x y#.kxor"), QStringLiteral("file:///tmp/x%20y%23.kxor")},
            // A host that is no host opens nothing, rather than smb:///share/f.
            {QStringLiteral("\\\\a b\\share\\f"), QString()},
        };
        for (const auto& [target, url] : cases)
            QCOMPARE(ShellOpenUrl(target).toString(QUrl::FullyEncoded), url);
    }

    // The entry starts the running program with the file, the package names the type in the
    // language of the moment, the icon is the packaged one, and the desktop's databases
    // take them in.
    void registeredFiles() {
        SetCurrentLanguage(0);
        RegisterFileAssociation();
        const QDir home(DataHome.path());
        const QString entryFile = home.filePath(QStringLiteral("applications/orvane.desktop"));
        const QString packageFile = home.filePath(QStringLiteral("mime/packages/orvane.xml"));
        const QString entry = ReadText(entryFile);
        QCOMPARE(ExecOf(entry),
                 QStringLiteral("Exec=\"%1\" %f").arg(QCoreApplication::applicationFilePath()));
        QVERIFY(entry.contains(QStringLiteral("\nMimeType=application/x-orvane-project;")));
        QVERIFY(ReadText(packageFile)
                    .contains(QStringLiteral("<comment>%1 (Orvane)</comment>")
                                  .arg(LanguageText(0, txtProjects))));
        QFile icon(home.filePath(QStringLiteral("icons/hicolor/scalable/apps/orvane.svg")));
        QFile packaged(qEnvironmentVariable("ORVANE_SOURCE_DIR") + "/packaging/orvane.svg");
        QVERIFY(icon.open(QIODevice::ReadOnly) && packaged.open(QIODevice::ReadOnly));
        QCOMPARE(icon.readAll(), packaged.readAll());

        const QString validate =
            QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (!validate.isEmpty())
            QCOMPARE(RunProgram(validate, {entryFile}, 60000).ExitCode, 0);
        if (!QStandardPaths::findExecutable(QStringLiteral("update-mime-database")).isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(
                QFile::exists(home.filePath(QStringLiteral("mime/mime.cache"))), 30000);
            QCOMPARE(QMimeDatabase()
                         .mimeTypeForFile(QStringLiteral("a.kxor"), QMimeDatabase::MatchExtension)
                         .name(),
                     QStringLiteral("application/x-orvane-project"));
        }

        SetCurrentLanguage(LangRussian);
        RegisterFileAssociation();
        QVERIFY(
            ReadText(packageFile).contains(QStringLiteral("<comment>Проекты (Orvane)</comment>")));
        SetCurrentLanguage(LangEnglish);
    }

    // A program path with blanks, quotes, dollars, percent signs and backslashes starts that
    // very program; an entry that is a link is refused and what it points to left alone.
    void quotingAndLinks() {
        QTemporaryDir home;
        RegisterFileAssociation(home.path(), QStringLiteral("/opt/my apps/a\"b$c%d\\0e`f"));
        QCOMPARE(ExecOf(ReadText(home.filePath(QStringLiteral("applications/orvane.desktop")))),
                 QStringLiteral("Exec=\"/opt/my apps/a\\\\\"b\\\\$c%%d\\\\\\\\0e\\\\`f\" %f"));

        QTemporaryDir elsewhere;
        const QString outside = elsewhere.filePath(QStringLiteral("keep.xml"));
        QFile keep(outside);
        QVERIFY(keep.open(QIODevice::WriteOnly) && keep.write("mine") == 4);
        keep.close();
        const QString package = home.filePath(QStringLiteral("mime/packages/orvane.xml"));
        QVERIFY(QFile::remove(package));
        QVERIFY(QFile::link(outside, package));
        QVERIFY_THROWS_EXCEPTION(EkxError,
                                 RegisterFileAssociation(home.path(), QStringLiteral("/x")));
        QCOMPARE(ReadText(outside), QStringLiteral("mine"));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TestPlatformDesktop test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_platform_desktop.moc"
