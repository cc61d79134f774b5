#include "document/kxProjectDoc.h"
#include "kxTestErrors.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "storage/kxXmlExport.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

QByteArray ReadAll(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

TkxInfo Info(const QString& name, const QString& address, TkxItemKind kind) {
    TkxInfo r;
    r.SetName(name);
    r.SetAddress(address);
    r.SetKind(kind);
    r.SetScanned(1);
    if (kind != ikRange)
        r.SetSize(0);
    return r;
}

void BuildSmallTree(TkxProjectDoc& doc) {
    TkxNode* range = doc.AddInfoNode(
        Info(QStringLiteral("Office (10.0.0.1-9)"), QStringLiteral("10.0.0.1 - 10.0.0.9"), ikRange),
        nullptr);
    TkxNode* host = doc.AddInfoNode(
        Info(QStringLiteral("fileserver"), QStringLiteral("\\\\10.0.0.7"), ikHost), range);
    TkxNode* share = doc.AddInfoNode(
        Info(QStringLiteral("Docs"), QStringLiteral("\\\\10.0.0.7\\Docs"), ikShare), host);
    TkxInfo file = Info(QStringLiteral("a&b <1>.txt"),
                        QStringLiteral("\\\\10.0.0.7\\Docs\\a&b <1>.txt"), ikFile);
    file.SetSize(1536);
    file.SetCreatingText(QStringLiteral("01.02.2024 10:11"));
    file.SetEditTimeText(QStringLiteral("02.02.2024 11:12"));
    file.SetLastAccessText(QStringLiteral("03.02.2024"));
    doc.AddInfoNode(std::move(file), share);
    doc.AddInfoNode(Info(QStringLiteral("10.0.0.8"), QStringLiteral("\\\\10.0.0.8"), ikHost),
                    range);
    doc.AddInfoNode(
        Info(QStringLiteral("Empty (10.1.0.1)"), QStringLiteral("10.1.0.1 - 10.1.0.1"), ikRange),
        nullptr);
}

QByteArray Export(const TkxProjectDoc& doc, const QString& root) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    WriteXmlData(buffer, root, XmlFieldNames(), doc.Tree());
    return buffer.data();
}

// Element names and texts in document order, as a parser sees them.
QStringList Parsed(const QByteArray& xml) {
    QXmlStreamReader reader(xml);
    QStringList items;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement())
            items << "<" + reader.name().toString();
        else if (reader.isCharacters() && !reader.isWhitespace())
            items << reader.text().toString();
    }
    if (reader.hasError())
        items << "ERROR " + reader.errorString();
    return items;
}

} // namespace

class TestStorageXml : public QObject {
    Q_OBJECT

    QTemporaryDir Dir;
    QString Path(const QString& name) const { return Dir.filePath(name); }

private Q_SLOTS:
    void init() { SetCurrentLanguage(LangEnglish); }
    void cleanup() { SetCurrentLanguage(0); }

    void smallTreeByteForByte() {
        TkxProjectDoc doc;
        BuildSmallTree(doc);
        doc.SetProjectFileName(Path("My scan.kxor"));
        QCOMPARE(doc.XmlFileName(), Path("My scan.xml"));
        const QString written = doc.ExportXml();
        QCOMPARE(written, Path("My scan.xml"));
        const QByteArray expected = ReadAll(QFINDTESTDATA("data/export_small.xml"));
        QVERIFY(!expected.isEmpty());
        QCOMPARE(ReadAll(written), expected);
        QVERIFY(!Parsed(expected).join(u' ').contains("ERROR"));

        // Again after a change: the file is replaced, not appended to.
        doc.DeleteNode(doc.Tree().Root()->Children[0].get());
        doc.ExportXml();
        const QByteArray second = ReadAll(written);
        QVERIFY(!second.contains("Office"));
        QCOMPARE(second.count("<Level0>"), 1);
    }

    void emptyTree() {
        TkxProjectDoc doc;
        doc.NewProject();
        QCOMPARE(Export(doc, doc.ProjectName()),
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Project1/>\r\n");
    }

    void russianNames() {
        SetCurrentLanguage(LangRussian);
        TkxProjectDoc doc;
        BuildSmallTree(doc);
        const QByteArray xml = Export(doc, QString::fromUtf8(u8"Проект_1"));
        const QStringList items = Parsed(xml);
        QCOMPARE(items.mid(0, 6),
                 QStringList({QString::fromUtf8(u8"<Проект_1"), "<Level0", "<Info",
                              QString::fromUtf8(u8"<Название_файла"), "Office (10.0.0.1-9)",
                              QString::fromUtf8(u8"<Адрес_файла")}));
        QVERIFY(xml.contains(QString::fromUtf8(u8"      <Дата_последнего_изменения/>\r\n"
                                               u8"      <Дата_последнего_доступа/>\r\n"
                                               u8"      <Размер/>\r\n")
                                 .toUtf8()));
    }

    void awkwardValues() {
        TkxProjectDoc doc;
        QString name = QStringLiteral("tab\there\r\nnext ]]> & \"q\" 'a'");
        name += QChar(0x01);
        name += QChar(0xD800);
        name += QChar(0xFFFE);
        name += QString::fromUtf8(u8"😀я");
        doc.AddInfoNode(Info(name, QStringLiteral("x"), ikRange), nullptr);
        const QByteArray xml = Export(doc, QStringLiteral("P"));
        QVERIFY(xml.contains("      <File_Name>tab&#9;here&#13;&#10;next ]]&gt; &amp; \"q\" 'a'"
                             "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xF0\x9F\x98\x80\xD1\x8F"
                             "</File_Name>\r\n"));
        // Every line ends in CR LF; no value adds a line.
        QCOMPARE(xml.count('\n'), xml.count("\r\n"));
        QCOMPARE(xml.count("\r\n"), 13);
        const QStringList items = Parsed(xml);
        QVERIFY2(!items.join(u' ').contains("ERROR"), qPrintable(items.join(u' ')));
        QString expected = QStringLiteral("tab\there\r\nnext ]]> & \"q\" 'a'");
        expected += QString(3, QChar(QChar::ReplacementCharacter));
        expected += QString::fromUtf8(u8"😀я");
        QCOMPARE(items.at(4), expected);
    }

    void nestedLevels() {
        TkxProjectDoc doc;
        TkxNode* parent = nullptr;
        for (int i = 0; i < 6; ++i)
            parent =
                doc.AddInfoNode(Info(QString::number(i), QStringLiteral("a"), ikFolder), parent);
        const QByteArray xml = Export(doc, QStringLiteral("P"));
        for (int i = 0; i < 6; ++i) {
            const QByteArray indent(2 * (i + 1), ' ');
            QVERIFY(xml.contains(indent + "<Level" + QByteArray::number(i) + ">\r\n" + indent +
                                 "  <Info>\r\n"));
            QVERIFY(xml.contains(indent + "</Level" + QByteArray::number(i) + ">\r\n"));
        }
        QVERIFY(xml.endsWith("  </Level0>\r\n</P>\r\n"));
    }

    void ordinaryProjectNamesExport() {
        // Names of files people make: the root element becomes a valid name instead of the
        // export failing; a name that is valid already stays exactly as it was.
        TkxProjectDoc doc;
        BuildSmallTree(doc);
        const std::pair<const char*, const char*> cases[] = {
            {"1st scan.kxor", "_1st_scan"}, {"2024-scan.kxor", "_2024-scan"},
            {"scan (2).kxor", "scan__2_"},  {"a&b.kxor", "a_b"},
            {"ok_name.kxor", "ok_name"},    {"Отчёт.kxor", "Отчёт"}};
        for (const auto& [file, root] : cases) {
            doc.SetProjectFileName(Path(QString::fromUtf8(file)));
            QCOMPARE(ErrorOf([&] { doc.ExportXml(); }), "no error");
            const QByteArray xml = ReadAll(doc.XmlFileName());
            QVERIFY2(xml.contains("\r\n<" + QByteArray(root) + ">\r\n"), file);
            QVERIFY(xml.endsWith("</" + QByteArray(root) + ">\r\n"));
            QFile::remove(doc.XmlFileName());
        }
        QCOMPARE(XmlElementNameOf(QStringLiteral("a:b")), QStringLiteral("a_b"));
        QCOMPARE(XmlElementNameOf(QString()), QStringLiteral("_"));
    }

    void elementNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << "Project1" << true;
        QTest::newRow("underscore first") << "_x" << true;
        QTest::newRow("cyrillic") << QString::fromUtf8(u8"Проект1") << true;
        QTest::newRow("dot and dash") << "a.b-c" << true;
        QTest::newRow("digit first") << "1a" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("colon") << "a:b" << false;
        QTest::newRow("blank") << "a b" << false;
        QTest::newRow("parenthesis") << "a(b)" << false;
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << false;
        QTest::newRow("dash first") << "-a" << false;
    }

    void elementNames() {
        QFETCH(QString, name);
        QFETCH(bool, valid);
        QCOMPARE(IsXmlElementName(name), valid);
    }

    void fileNames_data() {
        QTest::addColumn<QString>("project");
        QTest::addColumn<QString>("xml");
        QTest::newRow("extension replaced") << "/scans/Office.kxor"
                                            << "/scans/Office.xml";
        QTest::newRow("backslashes") << "C:\\Scans\\Office.kxor"
                                     << "C:\\Scans\\Office.xml";
        QTest::newRow("no extension") << "/scans/Office"
                                      << "/scans/Office.xml";
        QTest::newRow("dot in folder") << "/a.b/c"
                                       << "/a.b/c.xml";
        QTest::newRow("last dot") << "/s/x.y.kxor"
                                  << "/s/x.y.xml";
    }

    void fileNames() {
        QFETCH(QString, project);
        QFETCH(QString, xml);
        TkxProjectDoc doc;
        doc.SetProjectFileName(project);
        QCOMPARE(doc.XmlFileName(), xml);
    }

    void untitledGoesToCurrentDirectory() {
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(Dir.path()));
        TkxProjectDoc doc;
        doc.NewProject();
        const QString written = doc.ExportXml();
        QDir::setCurrent(saved);
        QCOMPARE(written, Path("Project1.xml"));
        QVERIFY(ReadAll(written).contains("<Project1/>"));
    }

    void neverOverwritesTheProject() {
        TkxProjectDoc doc;
        BuildSmallTree(doc);
        const QString name = Path("scan.xml");
        doc.WriteProject(name);
        const QByteArray project = ReadAll(name);
        QVERIFY(ErrorOf([&] { doc.ExportXml(); }).contains("would replace the project file"));
        QCOMPARE(ReadAll(name), project);
    }
};

QTEST_GUILESS_MAIN(TestStorageXml)
#include "test_storage_xml.moc"
