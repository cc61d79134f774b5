#include "model/kxErrors.h"
#include "storage/kxUtils.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

// A device whose every read and write fails, as a disk with an I/O error does.
class FailingDevice : public QIODevice {
public:
    FailingDevice() {
        open(QIODevice::ReadWrite);
        setErrorString(QStringLiteral("Input/output error"));
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return 100 + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64) override { return -1; }
};

QString VersionError(const QString& reason, const QString& fileName) {
    return QStringLiteral("Unhandled error <%1> with GetFileVersionInfoSize for <%2>")
        .arg(reason, fileName);
}

QString VersionErrorOf(const QString& fileName) {
    try {
        GetFileVersion(fileName);
    } catch (const EkxError& e) {
        return e.message();
    }
    return QStringLiteral("no error");
}

} // namespace

class TestStorageUtils : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void textWithDetail() {
        QCOMPARE(TextWithDetail("Searching is working", ""), "Searching is working");
        QCOMPARE(TextWithDetail("Searching stopped with Error", "Access denied"),
                 "Searching stopped with Error (Access denied)");
        QCOMPARE(TextWithDetail("%1", "%2"), "%1 (%2)");
    }

    void lineRoundTrip() {
        const QStringList lines = {
            QString::fromUtf8(u8"Маски папок и файлов"),
            QString(),
            QStringLiteral("*.doc;*.txt"),
            QStringLiteral("lone\rcarriage return"),
            QStringLiteral("ends in CR\r"),
            QString(QChar(0)) + QStringLiteral("nul and ") + QString::fromUtf8(u8"😀"),
            QString(20000, u'x'),
        };
        QBuffer buffer;
        QVERIFY(buffer.open(QIODevice::WriteOnly));
        for (const QString& line : lines)
            WriteTextLine(buffer, line);
        buffer.close();

        QByteArray expected;
        for (const QString& line : lines)
            expected += line.toUtf8() + "\r\n";
        QCOMPARE(buffer.data(), expected);

        QVERIFY(buffer.open(QIODevice::ReadOnly));
        for (const QString& line : lines) {
            QVERIFY(!buffer.atEnd());
            QCOMPARE(ReadTextLine(buffer), line);
        }
        QVERIFY(buffer.atEnd());
        QCOMPARE(ReadTextLine(buffer), QString());
    }

    // A line feed inside a value must not shift the lines after it.
    void lineFeedInsideText() {
        QBuffer buffer;
        QVERIFY(buffer.open(QIODevice::ReadWrite));
        WriteTextLine(buffer, "two\nlines");
        WriteTextLine(buffer, "next");
        buffer.seek(0);
        QCOMPARE(ReadTextLine(buffer),
                 QString("two") + QChar(QChar::ReplacementCharacter) + "lines");
        QCOMPARE(ReadTextLine(buffer), "next");
    }

    void readForeignLines() {
        QBuffer buffer;
        buffer.setData(QByteArray("unix\nbad \xff\xfe utf8\r\n\xd0\r\nlast without end"));
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        QCOMPARE(ReadTextLine(buffer), "unix");
        const QString bad = ReadTextLine(buffer);
        QVERIFY(bad.startsWith("bad ") && bad.endsWith(" utf8"));
        QVERIFY(bad.contains(QChar::ReplacementCharacter));
        QCOMPARE(ReadTextLine(buffer), QString(QChar::ReplacementCharacter));
        QCOMPARE(ReadTextLine(buffer), "last without end");
        QVERIFY(buffer.atEnd());
    }

    void overlongLineRefused() {
        QBuffer buffer;
        buffer.setData(QByteArray(MaxTextLineBytes + 10, 'a'));
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        QVERIFY_THROWS_EXCEPTION(EkxError, ReadTextLine(buffer));
    }

    void ioErrorsRaised() {
        FailingDevice device;
        QVERIFY_THROWS_EXCEPTION(EkxError, WriteTextLine(device, "x"));
        QVERIFY_THROWS_EXCEPTION(EkxError, ReadTextLine(device));
        QBuffer closed;
        QVERIFY_THROWS_EXCEPTION(EkxError, WriteTextLine(closed, "x"));
        QVERIFY_THROWS_EXCEPTION(EkxError, ReadTextLine(closed));
    }

    void reDelimit_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two words") << "File Name"
                                   << "File_Name";
        QTest::newRow("two blanks") << "File  Name"
                                    << "File_Name";
        QTest::newRow("underscore quoted") << "a_b c"
                                           << "\"a_b\"_c";
        QTest::newRow("edges trimmed") << "  Size "
                                       << "Size";
        QTest::newRow("russian") << QString::fromUtf8(u8"Дата последнего изменения")
                                 << QString::fromUtf8(u8"Дата_последнего_изменения");
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("quoted blank kept") << "say \"hi there\""
                                           << "say_\"hi there\"";
        QTest::newRow("inner quote") << "x \"a\"\"b\""
                                     << "x_\"a\"\"b\"";
    }
    void reDelimit() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(SpacesToUnderscores(text), expected);
    }

    void reDelimitOtherDelimiters() {
        QCOMPARE(ReDelimit("*.doc;*.txt", u';', u','), "*.doc,*.txt");
        QCOMPARE(ReDelimit("a;;b", u';', u'|'), "a||b");
        QCOMPARE(ReDelimit("\"x y\";z", u';', u';'), "\"x y\";z");
    }

    void ownVersion() {
        const TkxFileVersion version = GetFileVersion(QCoreApplication::applicationFilePath());
        const QString text = QStringLiteral("%1.%2.%3.%4")
                                 .arg(version.Major)
                                 .arg(version.Minor)
                                 .arg(version.Release)
                                 .arg(version.Build);
        QCOMPARE(text, QStringLiteral(ORVANE_VERSION_TEXT));
        QCOMPARE(ProgramVersionText(), QStringLiteral(ORVANE_VERSION_TEXT));
        QCOMPARE(GetFileVersion("/proc/self/exe"), version);
    }

    void missingVersion() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString text = dir.filePath("notes.txt");
        QFile file(text);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("just text\r\n");
        file.close();
        const QString missing = dir.filePath("missing.exe");
        const QString noInfo = "The file has no version information";

        QCOMPARE(VersionErrorOf(missing), VersionError("No such file or directory", missing));
        QCOMPARE(VersionErrorOf(text), VersionError(noInfo, text));
        QCOMPARE(VersionErrorOf(dir.path()), VersionError("Is a directory", dir.path()));
        QCOMPARE(VersionErrorOf(""), VersionError("No such file or directory", ""));
        if (QFile::exists("/bin/true"))
            QCOMPARE(VersionErrorOf("/bin/true"), VersionError(noInfo, "/bin/true"));
    }

    // Truncated and damaged copies of a stamped executable must fail cleanly, never crash.
    void damagedExecutables() {
        QFile self(QCoreApplication::applicationFilePath());
        QVERIFY(self.open(QIODevice::ReadOnly));
        const QByteArray image = self.readAll();
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString copy = dir.filePath("copy");
        auto writeCopy = [&](const QByteArray& bytes) {
            QFile out(copy);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(out.write(bytes), bytes.size());
        };
        const QString noInfo = VersionError("The file has no version information", copy);

        for (qsizetype size : {qsizetype(0), qsizetype(3), qsizetype(40), qsizetype(63),
                               image.size() / 2, image.size() - 1}) {
            writeCopy(image.left(size));
            QCOMPARE(VersionErrorOf(copy), noInfo);
        }

        // The stamp as laid out in the file; the magic alone also occurs in the reader's code.
        const TkxFileVersion good = GetFileVersion(self.fileName());
        QByteArray stampBytes = QByteArray("ORVVER") + "01";
        for (quint16 part : {good.Major, good.Minor, good.Release, good.Build})
            stampBytes += char(part & 0xFF) + QByteArray(1, char(part >> 8));
        QByteArray wrongMagic = image;
        const qsizetype stamp = wrongMagic.indexOf(stampBytes);
        QVERIFY(stamp > 0);
        QCOMPARE(wrongMagic.indexOf(stampBytes, stamp + 1), -1);
        wrongMagic[stamp + 7] = '2';
        writeCopy(wrongMagic);
        QCOMPARE(VersionErrorOf(copy), noInfo);

        // Every byte of the file header and of the section header table, set to extremes.
        writeCopy(image);
        QFile patched(copy);
        QVERIFY(patched.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        QCOMPARE(GetFileVersion(copy), good);
        auto little = [&](qsizetype at, int bytes) {
            quint64 value = 0;
            for (int k = bytes - 1; k >= 0; --k)
                value = (value << 8) | quint8(image.at(at + k));
            return qsizetype(value);
        };
        QVERIFY(image.size() > 64);
        const qsizetype shoff = little(0x28, 8);
        const qsizetype shsize = little(0x3A, 2) * little(0x3C, 2);
        QVERIFY(shoff > 0 && shsize > 0 && shoff + shsize <= image.size());
        QList<qsizetype> positions;
        for (qsizetype i = 0; i < 64; ++i)
            positions.append(i);
        for (qsizetype i = 0; i < shsize; ++i)
            positions.append(shoff + i);
        int failures = 0;
        for (qsizetype pos : positions) {
            for (char value : {char(0x00), char(0xFF), char(0x7F)}) {
                if (image[pos] == value)
                    continue;
                QVERIFY(patched.seek(pos) && patched.write(&value, 1) == 1);
                try {
                    QCOMPARE(GetFileVersion(copy), good);
                } catch (const EkxError& e) {
                    QCOMPARE(e.message(), noInfo);
                    ++failures;
                }
                QVERIFY(patched.seek(pos) && patched.write(image.constData() + pos, 1) == 1);
            }
        }
        QVERIFY(failures > 0);
    }

    // Outputs that would overwrite each other are told apart from different files.
    void sameWriteTarget() {
        QTemporaryDir dir;
        const QString d = dir.path() + u'/';
        QVERIFY(QDir().mkdir(d + "sub"));
        QFile(d + "w.kxor").open(QIODevice::WriteOnly);
        QVERIFY(QFile::link(d + "w.kxor", d + "link.csv"));
        QVERIFY(::link(QFile::encodeName(d + "w.kxor"), QFile::encodeName(d + "hard.xml")) == 0);
        QVERIFY(QFile::link(d + "sub", d + "sublink"));
        QVERIFY(QFile::link(d + "new.txt", d + "dangling"));
        const QList<std::pair<QString, QString>> same{
            {d + "w.kxor", d + "link.csv"},      {d + "w.kxor", d + "hard.xml"},
            {d + "w.kxor", d + "sub/../w.kxor"}, {d + "sub/n.csv", d + "sublink/n.csv"},
            {d + "dangling", d + "./new.txt"},
        };
        for (const auto& [a, b] : same)
            QVERIFY2(SameWriteTarget(a, b), qPrintable(a + " " + b));
        const QList<std::pair<QString, QString>> different{{d + "w.kxor", d + "w.csv"},
                                                           {d + "sub/n.csv", d + "n.csv"},
                                                           {d + "new.txt", d + "w.kxor"}};
        for (const auto& [a, b] : different)
            QVERIFY2(!SameWriteTarget(a, b), qPrintable(a + " " + b));
    }
};

QTEST_GUILESS_MAIN(TestStorageUtils)
#include "test_storage_utils.moc"
