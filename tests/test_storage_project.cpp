#include "document/kxProjectDoc.h"
#include "kxTestErrors.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "storage/kxProjectFile.h"
#include "storage/kxUtils.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray ReadAll(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void WriteAll(const QString& fileName, const QByteArray& bytes) {
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray Lines(const QList<QByteArray>& lines) {
    QByteArray bytes;
    for (const QByteArray& line : lines)
        bytes += line + "\r\n";
    return bytes;
}

QByteArray Record(const QByteArray& level, const QByteArray& name, const QByteArray& flags = "0") {
    return Lines({level, name, "\\\\" + name, "", "", "", "", flags, flags, "2", "1"});
}

TkxInfo Info(const QString& name, const QString& address, TkxItemKind kind, quint8 scanned) {
    TkxInfo r;
    r.SetName(name);
    r.SetAddress(address);
    r.SetKind(kind);
    r.SetScanned(scanned);
    return r;
}

// A tree like one a search leaves: a resolved host, a share, folders with times, files that
// match, and nodes still waiting to be explored.
void BuildSearchedTree(TkxProjectDoc& doc) {
    TkxNode* range =
        doc.AddRange(QStringLiteral("Office (10.0.0.1-9)"), QStringLiteral("10.0.0.1 - 10.0.0.9"));
    range->Info.SetScanned(1);
    TkxInfo host = Info("10.0.0.7", "\\\\10.0.0.7", ikHost, 1);
    host.SetSize(0);
    host.SetName(QStringLiteral("fileserver"));
    TkxNode* hostNode = doc.AddInfoNode(std::move(host), range);
    doc.AddInfoNode(Info("10.0.0.8", "\\\\10.0.0.8", ikHost, 0), range);
    TkxNode* share =
        doc.AddInfoNode(Info(QString::fromUtf8(u8"Документы"),
                             QString::fromUtf8(u8"\\\\10.0.0.7\\Документы"), ikShare, 1),
                        hostNode);
    TkxInfo folder = Info(
        "Reports 2024", QString::fromUtf8(u8"\\\\10.0.0.7\\Документы\\Reports 2024"), ikFolder, 1);
    folder.SetCreatingText(QStringLiteral("01.02.2024 10:11"));
    folder.SetEditTimeText(QStringLiteral("02.02.2024 11:12:13"));
    folder.SetLastAccessText(QStringLiteral("03.02.2024"));
    folder.SetSize(0);
    folder.SetHasMatch(1);
    TkxNode* folderNode = doc.AddInfoNode(std::move(folder), share);
    TkxInfo file = Info(QStringLiteral("budget.xls"),
                        folderNode->Info.AddressText() + "\\budget.xls", ikFile, 1);
    file.SetSize(123456789012.0);
    file.SetMatched(1);
    file.SetHasMatch(1);
    file.SetCreatingText(QStringLiteral("05.02.2024 08:00"));
    doc.AddInfoNode(std::move(file), folderNode);
    TkxInfo odd =
        Info(QStringLiteral("size as text"), folderNode->Info.AddressText() + "\\x", ikFolder, 0);
    odd.SetSizeText(QStringLiteral("0012"));
    doc.AddInfoNode(std::move(odd), folderNode);
    doc.AddRange(QStringLiteral("Lab (192.168.5.1)"), QStringLiteral("192.168.5.1 - 192.168.5.1"));
}

struct NodeImage {
    int Level;
    QStringList Texts;
    QList<int> Flags;
    bool operator==(const NodeImage&) const = default;
};

QList<NodeImage> Image(const TkxTreeModel& tree) {
    QList<NodeImage> image;
    for (TkxNode* n = tree.NextPreOrder(nullptr); n; n = tree.NextPreOrder(n)) {
        const TkxInfo& r = n->Info;
        image.append({n->Level(),
                      {r.NameText(), r.AddressText(), r.SizeRawText(), r.SizeText(),
                       r.CreatingText(), r.EditTimeText(), r.LastAccessText()},
                      {r.Matched, r.HasMatch, r.Kind, r.Scanned}});
    }
    return image;
}

QStringList Captions(const TkxTreeModel& tree) {
    QStringList captions;
    for (TkxNode* n = tree.NextPreOrder(nullptr); n; n = tree.NextPreOrder(n))
        captions << QString(n->Level(), u'.') + n->Info.NameText();
    return captions;
}

} // namespace

class TestStorageProject : public QObject {
    Q_OBJECT

    QTemporaryDir Dir;
    QString Path(const QString& name) const { return Dir.filePath(name); }

private Q_SLOTS:
    void defaultProjectByteForByte() {
        TkxProjectDoc doc;
        doc.NewProject();
        doc.AddRange(QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1 - 127.0.0.1"));
        QVERIFY(doc.Modified());
        const QString name = Path("default.kxor");
        doc.WriteProject(name);
        const QByteArray expected = ReadAll(QFINDTESTDATA("data/default_project.kxor"));
        QVERIFY(!expected.isEmpty());
        QCOMPARE(ReadAll(name), expected);
        QVERIFY(!doc.Modified());
        QCOMPARE(doc.ProjectFileName(), name);
        QCOMPARE(doc.ProjectName(), "default");
    }

    void roundTrip() {
        TkxProjectDoc doc;
        BuildSearchedTree(doc);
        TkxParams params;
        params.TotalThreads = 4294967295u;
        params.Depth = 3;
        params.LifeTime = 7;
        params.Masks = QString::fromUtf8(u8"*.doc;отчёт*.xls;\"a b\"");
        doc.SetParams(params);
        const QString name = Path("round.kxor");
        doc.WriteProject(name);
        const QByteArray bytes = ReadAll(name);
        QCOMPARE(bytes.count("\r\n"), 5 + 11 * doc.Tree().NodeCount());
        QCOMPARE(bytes.count('\n'), bytes.count("\r\n"));
        QVERIFY(bytes.startsWith("4294967295\r\n3\r\n7\r\n"));
        QVERIFY(bytes.contains(params.Masks.toUtf8() + "\r\n"));

        TkxProjectDoc back;
        back.ReadProject(name);
        QCOMPARE(Image(back.Tree()), Image(doc.Tree()));
        QCOMPARE(
            Captions(back.Tree()),
            QStringList({"Office (10.0.0.1-9)", ".fileserver", "..Документы", "...Reports 2024",
                         "....budget.xls", "....size as text", ".10.0.0.8", "Lab (192.168.5.1)"}));
        // Written as such, read back as the default.
        QCOMPARE(back.Params().TotalThreads, 16u);
        QCOMPARE(back.Params().Depth, 3u);
        QCOMPARE(back.Params().LifeTime, 7u);
        QCOMPARE(back.Params().Masks, params.Masks);
        // Unexplored nodes are queued again, in file order, so Continue resumes.
        QStringList pending;
        for (TkxNode* n : back.PendingNodes())
            pending << n->Info.NameText();
        QCOMPARE(pending, QStringList({"size as text", "10.0.0.8", "Lab (192.168.5.1)"}));
        QVERIFY(!back.Modified());
        QCOMPARE(back.ProjectFileName(), name);

        // Written again, the same bytes.
        back.SetParams(doc.Params());
        const QString again = Path("again.kxor");
        back.WriteProject(again);
        QCOMPARE(ReadAll(again), bytes);
    }

    void valuesWithLineBreaks() {
        TkxProjectDoc doc;
        TkxInfo r = Info(QStringLiteral("two\r\nlines"), QStringLiteral("cr\ronly"), ikRange, 1);
        r.SetCreatingText(QStringLiteral("\n"));
        QString lone = QStringLiteral("lone ");
        lone += QChar(0xDC00);
        r.SetLastAccessText(lone);
        r.SetEditTimeText(QStringLiteral("\ufeffnot a byte order mark")); // kept, not dropped
        doc.AddInfoNode(std::move(r), nullptr);
        TkxParams params;
        params.Masks = QStringLiteral("*.a\n*.b");
        doc.SetParams(params);
        const QString name = Path("breaks.kxor");
        doc.WriteProject(name);
        QCOMPARE(ReadAll(name).count("\r\n"), 16);
        TkxProjectDoc back;
        back.ReadProject(name);
        const QString fffd(QChar(QChar::ReplacementCharacter));
        QCOMPARE(back.Params().Masks, "*.a" + fffd + "*.b");
        QCOMPARE(back.Tree().NodeCount(), 1);
        const TkxInfo& b = back.Tree().Root()->Children[0]->Info;
        QCOMPARE(b.NameText(), "two" + fffd + fffd + "lines");
        QCOMPARE(b.AddressText(), "cr" + fffd + "only");
        QCOMPARE(b.CreatingText(), fffd);
        QCOMPARE(b.LastAccessText(), "lone " + fffd);
        QCOMPARE(b.EditTimeText(), QStringLiteral("\ufeffnot a byte order mark"));
        QCOMPARE(b.Kind, quint8(ikRange));
        QCOMPARE(b.Scanned, quint8(1));
    }

    void headerLeniency_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<quint32>("threads");
        QTest::newRow("plain") << QByteArray("8") << 8u;
        QTest::newRow("not a number") << QByteArray("many") << 16u;
        QTest::newRow("empty") << QByteArray() << 16u;
        QTest::newRow("above int32") << QByteArray("2147483648") << 16u;
        QTest::newRow("int32 max") << QByteArray("2147483647") << 2147483647u;
        QTest::newRow("uint32 max") << QByteArray("4294967295") << 16u;
        QTest::newRow("huge") << QByteArray("99999999999999999999999") << 16u;
        QTest::newRow("negative") << QByteArray("-1") << 4294967295u;
        QTest::newRow("plus and blanks") << QByteArray(" +12 ") << 12u;
        QTest::newRow("leading zeros") << QByteArray("0007") << 7u;
        QTest::newRow("trailing text") << QByteArray("12abc") << 16u;
        QTest::newRow("hex") << QByteArray("0x10") << 16u;
    }

    void headerLeniency() {
        QFETCH(QByteArray, line);
        QFETCH(quint32, threads);
        const QString name = Path("header.kxor");
        WriteAll(name, Lines({line, line, line, "*.txt", "0"}));
        TkxProjectDoc doc;
        doc.ReadProject(name);
        QCOMPARE(doc.Params().TotalThreads, threads);
        const bool isDefault = threads == 16u && line != "16";
        QCOMPARE(doc.Params().Depth, isDefault ? 0u : threads);
        QCOMPARE(doc.Params().LifeTime, isDefault ? 1u : threads);
        QCOMPARE(doc.Params().Masks, "*.txt");
    }

    void nodeCountZeroOrNotANumber() {
        for (const QByteArray& count :
             {QByteArray("0"), QByteArray("none"), QByteArray("-4"), QByteArray("99999999999")}) {
            TkxProjectDoc doc;
            BuildSearchedTree(doc);
            doc.SetProjectFileName(QStringLiteral("previous.kxor"));
            const QString name = Path("empty.kxor");
            // The records after a count that is not a number are not read, and the file is
            // not taken as the project's: saved under its name, it would lose them.
            const QByteArray bytes = Lines({"3", "2", "9", "*.doc", count}) + Record("0", "a");
            WriteAll(name, bytes);
            QVERIFY(ErrorOf([&] {
                        doc.ReadProject(name);
                    }).contains(QStringLiteral("%1 holds more after the 0 nodes").arg(name)));
            QCOMPARE(doc.Tree().NodeCount(), 0);
            QCOMPARE(doc.PendingCount(), 0);
            QCOMPARE(doc.Params().TotalThreads, 3u);
            QCOMPARE(doc.Params().Depth, 2u);
            QCOMPARE(doc.Params().LifeTime, 9u);
            QCOMPARE(doc.Params().Masks, "*.doc");
            QVERIFY(doc.IsUntitled());
            QVERIFY(doc.Modified());
            doc.AskFileName = [] { return QString(); }; // Save asks for a name: cancelled
            QVERIFY(!doc.QuerySave(false));
            QCOMPARE(ReadAll(name), bytes);
        }
        // A count that holds fewer nodes than follow reads those; blank lines after the last
        // node are nothing more.
        const QString name = Path("fewer.kxor");
        WriteAll(name, Lines({"16", "0", "1", "*.*", "1"}) + Record("0", "r") + Record("1", "h"));
        TkxProjectDoc doc;
        QVERIFY(ErrorOf([&] { doc.ReadProject(name); }).contains("after the 1 nodes"));
        QCOMPARE(Captions(doc.Tree()), QStringList({"r"}));
        QVERIFY(doc.IsUntitled());
        WriteAll(name, Lines({"16", "0", "1", "*.*", "1"}) + Record("0", "r") + "\r\n \r\n\n");
        doc.ReadProject(name);
        QCOMPARE(doc.ProjectFileName(), name);
        QVERIFY(!doc.Modified());
    }

    void levelsThatJump() {
        const QString name = Path("levels.kxor");
        WriteAll(name, Lines({"16", "0", "1", "*.*", "8"}) + Record("0", "r1") +
                           Record("3", "deep") + Record("5", "deeper") + Record("1", "h") +
                           Record("x", "r2") + Record("2", "child") + Record("-2", "r3") +
                           Record("1", "h3"));
        TkxProjectDoc doc;
        doc.ReadProject(name);
        QCOMPARE(Captions(doc.Tree()),
                 QStringList({"r1", ".deep", "..deeper", ".h", "r2", ".child", "r3", ".h3"}));
    }

    void flagsTakeTheLowByte() {
        const QString name = Path("flags.kxor");
        WriteAll(name, Lines({"16", "0", "1", "*.*", "1", "0", "", "addr", "12345", "t1", "", "",
                              "257", "x", "-1", "2"}));
        TkxProjectDoc doc;
        doc.ReadProject(name);
        const TkxInfo& r = doc.Tree().Root()->Children[0]->Info;
        QCOMPARE(r.Matched, quint8(1));
        QCOMPARE(r.HasMatch, quint8(0));
        QCOMPARE(r.Kind, quint8(255));
        QCOMPARE(r.Scanned, quint8(2));
        // An empty name line leaves the caption to the address.
        QCOMPARE(r.NameText(), "addr");
        QCOMPARE(r.SizeRawText(), "12345");
        QCOMPARE(r.SizeText(), "12Kb");
        QCOMPARE(r.CreatingText(), "t1");
        QVERIFY(r.EditTime.IsEmpty());
        QCOMPARE(doc.PendingCount(), 0);
    }

    void lineEndsAndMark() {
        // LF alone ends a line too, a UTF-8 mark before the first line is skipped, and the
        // last line needs no line end.
        const QString name = Path("lf.kxor");
        WriteAll(name, "\xEF\xBB\xBF"
                       "5\n0\n1\n*.*\n1\n0\nr\naddr\n\n\n\n\n0\n0\n1\n1");
        TkxProjectDoc doc;
        doc.ReadProject(name);
        QCOMPARE(doc.Params().TotalThreads, 5u);
        QCOMPARE(Captions(doc.Tree()), QStringList({"r"}));
        QCOMPARE(doc.Tree().Root()->Children[0]->Info.Scanned, quint8(1));
    }

    void truncatedFile() {
        const QString name = Path("short.kxor");
        QByteArray bytes = Lines({"4", "0", "1", "*.*", "3"}) + Record("0", "r") + Record("1", "h");
        bytes += Lines({"1", "cut", "\\\\cut"});
        WriteAll(name, bytes);
        TkxProjectDoc doc;
        doc.SetProjectFileName(QStringLiteral("previous.kxor"));
        QCOMPARE(ErrorOf([&] { doc.ReadProject(name); }), "Unexpected end of project file");
        QCOMPARE(Captions(doc.Tree()), QStringList({"r", ".h"}));
        QCOMPARE(doc.Params().TotalThreads, 4u);
        QCOMPARE(doc.ProjectFileName(), "previous.kxor");
    }

    void hugeAnnouncedCount() {
        const QString name = Path("huge.kxor");
        WriteAll(name, Lines({"16", "0", "1", "*.*", "2000000000"}) + Record("0", "only"));
        TkxProjectDoc doc;
        QCOMPARE(ErrorOf([&] { doc.ReadProject(name); }), "Unexpected end of project file");
        QCOMPARE(doc.Tree().NodeCount(), 1);
    }

    void truncatedHeaderKeepsTree() {
        const QString name = Path("header-only.kxor");
        WriteAll(name, Lines({"6", "2"}));
        TkxProjectDoc doc;
        BuildSearchedTree(doc);
        const int nodes = doc.Tree().NodeCount();
        QCOMPARE(ErrorOf([&] { doc.ReadProject(name); }), "Unexpected end of project file");
        QCOMPARE(doc.Params().TotalThreads, 6u);
        QCOMPARE(doc.Params().Depth, 2u);
        QCOMPARE(doc.Params().LifeTime, 1u);
        QCOMPARE(doc.Tree().NodeCount(), nodes);

        WriteAll(name, QByteArray());
        QCOMPARE(ErrorOf([&] { doc.ReadProject(name); }), "Unexpected end of project file");
        QCOMPARE(doc.Tree().NodeCount(), nodes);
    }

    void tooDeep() {
        QByteArray bytes = Lines({"16", "0", "1", "*.*", QByteArray::number(MaxProjectDepth + 10)});
        for (int i = 0; i < MaxProjectDepth + 10; ++i)
            bytes += Record(QByteArray::number(i), "n");
        const QString name = Path("deep.kxor");
        WriteAll(name, bytes);
        TkxProjectDoc doc;
        QVERIFY(ErrorOf([&] { doc.ReadProject(name); }).contains("nests deeper"));
        QCOMPARE(doc.Tree().NodeCount(), MaxProjectDepth);
    }

    void notAProjectFile() {
        TkxProjectDoc doc;
        QVERIFY(ErrorOf([&] {
                    doc.ReadProject(Path("missing.kxor"));
                }).startsWith("Can not open project file"));
        QVERIFY(ErrorOf([&] { doc.ReadProject(Dir.path()); }).contains("Not a regular file"));
        QVERIFY(ErrorOf([&] { doc.ReadProject(QString()); }).startsWith("Can not open"));

        // Bytes that are no text are refused before anything changes; odd text is read
        // leniently as before.
        doc.SetParams(TkxParams{3, 0, 1, QStringLiteral("*.doc")});
        QByteArray random(1 << 20, '\0');
        quint32 seed = 12345;
        for (char& c : random)
            c = char((seed = seed * 1103515245u + 12345u) >> 24);
        for (const QByteArray& bytes : {random, QByteArray("16\r\n0\r\n1\r\n*\0x\r\n0\r\n", 18),
                                        QByteArray("16\r\n\xC3\x28\r\n1\r\n*\r\n0\r\n")}) {
            WriteAll(Path("binary.kxor"), bytes);
            QCOMPARE(ErrorOf([&] { doc.ReadProject(Path("binary.kxor")); }), "Not a project file");
            QCOMPARE(doc.Params().TotalThreads, 3u);
        }
        WriteAll(Path("odd.kxor"), "x\r\n0\r\n1\r\n\xD0\x96\r\nmany\r\n");
        QCOMPARE(ErrorOf([&] { doc.ReadProject(Path("odd.kxor")); }), "no error");
        QCOMPARE(doc.Params().TotalThreads, 16u);
        QCOMPARE(doc.Tree().NodeCount(), 0);
    }

    void writersReplaceOnlyRegularFiles() {
        // Device nodes and FIFOs are made in a private mount namespace on a tmpfs of its own,
        // never in the system's /dev.
        if (!qEnvironmentVariableIsSet("ORVANE_PRIVATE_TMPFS")) {
            const QString dir = Path("ns");
            QDir().mkpath(dir);
            QProcess p;
            p.setProcessChannelMode(QProcess::ForwardedChannels);
            p.start(QStringLiteral("unshare"),
                    {"-m", "--propagation", "private", "--", "sh", "-c",
                     "mount -t tmpfs orvane-test \"$0\" && mknod \"$0/null\" c 1 3 && "
                     "mkfifo \"$0/fifo\" && ORVANE_PRIVATE_TMPFS=\"$0\" exec \"$1\" "
                     "writersReplaceOnlyRegularFiles",
                     dir, QCoreApplication::applicationFilePath()});
            QVERIFY(p.waitForFinished(60000));
            QCOMPARE(p.exitCode(), 0);
            return;
        }
        const QString dir = qEnvironmentVariable("ORVANE_PRIVATE_TMPFS");
        SetCurrentLanguage(1033);
        TkxProjectDoc doc;
        doc.AddRange(QStringLiteral("r"), QStringLiteral("10.0.0.1 - 10.0.0.2"));
        for (const char* name : {"null", "fifo"}) {
            const QString target = dir + u'/' + QLatin1String(name);
            QCOMPARE(ErrorOf([&] { doc.WriteProject(target); }),
                     "Can not create project file " + target + ": Not a regular file");
            const QString xmlError = ErrorOf([&] { doc.ExportXml(target); });
            QVERIFY2(xmlError.endsWith(": Not a regular file"), qPrintable(xmlError));
            QVERIFY(!QFileInfo(target).isFile());
        }
        QVERIFY(ErrorOf([&] { doc.WriteProject(dir); }).endsWith(": Not a regular file"));
        QVERIFY(
            ErrorOf([&] { doc.WriteProject(dir + "/none/x.kxor"); }).endsWith("No such folder"));
        // A link to a regular file is followed: the link stays, the file gets the project.
        WriteAll(dir + "/real.kxor", "old");
        QVERIFY(QFile::link(dir + "/real.kxor", dir + "/link.kxor"));
        QCOMPARE(ErrorOf([&] { doc.WriteProject(dir + "/link.kxor"); }), "no error");
        QVERIFY(QFileInfo(dir + "/link.kxor").isSymLink());
        QVERIFY(QFileInfo(dir + "/real.kxor").size() > 20);
    }

    void longLineRefused() {
        QBuffer buffer;
        QByteArray bytes = Lines({"16", "0", "1"});
        bytes += QByteArray(MaxTextLineBytes + 10, 'm');
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        TkxProjectSink sink;
        QVERIFY(ErrorOf([&] { ReadProjectData(buffer, sink); }).contains("too long"));
    }

    void failedSaveKeepsOldFile() {
        const QString name = Path("keep.kxor");
        TkxProjectDoc doc;
        BuildSearchedTree(doc);
        doc.WriteProject(name);
        const QByteArray before = ReadAll(name);
        doc.AddRange(QStringLiteral("new"), QStringLiteral("10.9.9.9 - 10.9.9.9"));
        QVERIFY(doc.Modified());

        // Interrupted in the middle: the progress report fails.
        QStringList shown;
        auto connection = connect(&doc, &TkxProjectDoc::ProgressChanged, [&](const QString& text) {
            shown << text;
            if (!text.isEmpty())
                throw EkxError(QStringLiteral("interrupted"));
        });
        QCOMPARE(ErrorOf([&] { doc.WriteProject(name); }), "interrupted");
        disconnect(connection);
        QCOMPARE(shown, QStringList({"1/9", ""}));
        QCOMPARE(ReadAll(name), before);
        QVERIFY(doc.Modified());
        QCOMPARE(QDir(Dir.path()).entryList({"keep*"}, QDir::Files), QStringList({"keep.kxor"}));

        // A directory that does not exist.
        const QString nowhere = Path("no/such/dir/p.kxor");
        QVERIFY(ErrorOf([&] { doc.WriteProject(nowhere); }).contains(nowhere));
        QVERIFY(doc.Modified());
        QCOMPARE(doc.ProjectFileName(), name);
    }

    void progressIsThrottled() {
        TkxProjectDoc doc;
        TkxNode* range = doc.AddRange(QStringLiteral("r"), QStringLiteral("r"));
        std::vector<TkxInfo> hosts(20000);
        for (TkxInfo& h : hosts)
            h.SetName(QStringLiteral("h"));
        doc.AddInfoNodes(std::move(hosts), range);
        QStringList shown;
        connect(&doc, &TkxProjectDoc::ProgressChanged, [&](const QString& t) { shown << t; });
        const QString name = Path("progress.kxor");
        doc.WriteProject(name);
        QVERIFY(shown.size() >= 2);
        QCOMPARE(shown.front(), "1/20001");
        QCOMPARE(shown.back(), QString());
        shown.clear();
        TkxProjectDoc back;
        connect(&back, &TkxProjectDoc::ProgressChanged, [&](const QString& t) { shown << t; });
        back.ReadProject(name);
        QCOMPARE(back.Tree().NodeCount(), 20001);
        QCOMPARE(back.PendingCount(), 20001);
        QCOMPARE(shown.front(), "1/20001");
        QCOMPARE(shown.back(), QString());
    }

    void querySave() {
        TkxProjectDoc doc;
        doc.NewProject();
        int questions = 0, names = 0;
        bool answer = false;
        QString chosen;
        doc.AskSaveQuestion = [&] {
            ++questions;
            return answer;
        };
        doc.AskFileName = [&] {
            ++names;
            return chosen;
        };
        // Nothing changed: go on, ask nothing.
        QVERIFY(doc.QuerySave(true));
        QCOMPARE(questions, 0);

        doc.AddRange(QStringLiteral("r"), QStringLiteral("10.0.0.1 - 10.0.0.1"));
        // No: go on unsaved.
        QVERIFY(doc.QuerySave(true));
        QCOMPARE(questions, 1);
        QCOMPARE(names, 0);
        QVERIFY(doc.Modified());
        // Yes, untitled, then the name dialog is cancelled: stop.
        answer = true;
        QVERIFY(!doc.QuerySave(true));
        QCOMPARE(names, 1);
        QVERIFY(doc.Modified());
        QVERIFY(doc.IsUntitled());
        // Yes with a name: saved.
        chosen = Path("chosen.kxor");
        QVERIFY(doc.QuerySave(true));
        QVERIFY(!doc.Modified());
        QCOMPARE(doc.ProjectFileName(), chosen);
        QVERIFY(QFile::exists(chosen));
        // Save (no question) of a titled project writes to its file without asking.
        doc.AddRange(QStringLiteral("s"), QStringLiteral("10.0.0.2 - 10.0.0.2"));
        QVERIFY(doc.QuerySave(false));
        QCOMPARE(questions, 3);
        QCOMPARE(names, 2);
        QVERIFY(!doc.Modified());
        QVERIFY(ReadAll(chosen).contains("10.0.0.2 - 10.0.0.2"));
        // Save as always asks for a name.
        chosen = Path("other.kxor");
        QVERIFY(doc.SaveProject(true));
        QCOMPARE(names, 3);
        QCOMPARE(doc.ProjectFileName(), chosen);
        // Without the callbacks (no window): nothing is asked or saved.
        TkxProjectDoc bare;
        bare.AddRange(QStringLiteral("r"), QStringLiteral("r"));
        QVERIFY(bare.QuerySave(true));
        QVERIFY(!bare.SaveProject(true));
    }

    void failedSaveAsKeepsTheNewName() {
        TkxProjectDoc doc;
        doc.AddRange(QStringLiteral("r"), QStringLiteral("r"));
        const QString bad = Path("missing-dir/x.kxor");
        doc.AskFileName = [&] { return bad; };
        QVERIFY(ErrorOf([&] { doc.SaveProject(true); }).startsWith("Can not create project file"));
        QCOMPARE(doc.ProjectFileName(), bad);
        QVERIFY(doc.Modified());
    }

    void numbers() {
        QCOMPARE(ParseProjectNumber("0"), std::optional<qint32>(0));
        QCOMPARE(ParseProjectNumber("-2147483648"), std::optional<qint32>(-2147483647 - 1));
        QCOMPARE(ParseProjectNumber("-2147483649"), std::nullopt);
        QCOMPARE(ParseProjectNumber("+"), std::nullopt);
        QCOMPARE(ParseProjectNumber("1 2"), std::nullopt);
        QCOMPARE(ParseProjectNumber("\t3\t"), std::optional<qint32>(3));
    }
};

QTEST_GUILESS_MAIN(TestStorageProject)
#include "test_storage_project.moc"
