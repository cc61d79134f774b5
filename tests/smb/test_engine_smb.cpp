// Whole searches against the Samba fixture servers on 127.0.0.2 and 127.0.0.3: what the tree
// holds must be what the files on disk say.

#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "platform/kxPlatformServices.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <map>

namespace {
// One set of real services per test program, as a program keeps them.
std::shared_ptr<TkxNetServices> Net() {
    static const auto services = std::make_shared<TkxPlatformServices>();
    return services;
}

QString FixtureDir() {
    return qEnvironmentVariable("ORVANE_FIXTURE_DIR");
}

TkxParams Params(quint32 depth, const QString& masks, quint32 threads = 16) {
    TkxParams p;
    p.TotalThreads = threads;
    p.Depth = depth;
    p.LifeTime = 2;
    p.Masks = masks;
    return p;
}

// Every node below `top`, by address.
std::map<QString, const TkxNode*> ByAddress(const TkxNode* top) {
    std::map<QString, const TkxNode*> out;
    std::vector<const TkxNode*> stack{top};
    while (!stack.empty()) {
        const TkxNode* n = stack.back();
        stack.pop_back();
        out[n->Info.AddressText()] = n;
        for (const auto& c : n->Children)
            stack.push_back(c.get());
    }
    return out;
}

bool Search(TkxProjectDoc& doc, bool run = true) {
    if (run)
        doc.Run();
    else
        doc.Continue();
    return WaitIdle(doc, 120000);
}
} // namespace

class TestEngineSmb : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        SetCurrentLanguage(1033);
        QVERIFY2(!FixtureDir().isEmpty(), "ORVANE_FIXTURE_DIR is not set");
    }
    void cleanup() { TkxInfoThread::WaitForAll(); }

    void findsWhatFindSees() {
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params(0, QStringLiteral("*")));
        const QString share = QStringLiteral("\\\\127.0.0.2\\public");
        TkxNode* top = AddTop(doc, ikShare, share);
        QVERIFY(Search(doc, false));
        QCOMPARE(doc.SearchState(), srFinished);
        const auto nodes = ByAddress(top);

        const QString root = FixtureDir() + QStringLiteral("/trees/public");
        int files = 0;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo fi(it.next());
            QString rel = fi.filePath().mid(root.size());
            rel.replace(u'/', u'\\');
            const auto found = nodes.find(share + rel);
            QVERIFY2(found != nodes.end(), qPrintable(rel));
            const TkxInfo& r = found->second->Info;
            QCOMPARE(r.NameText(), fi.fileName());
            QCOMPARE(r.Kind, quint8(fi.isDir() ? ikFolder : ikFile));
            if (fi.isFile()) {
                ++files;
                QCOMPARE(r.SizeRawText(), QString::number(fi.size()));
                QCOMPARE(r.Matched, quint8(1));
            }
            QCOMPARE(r.EditTimeText(), DateTimeText(DateTimeToDays(fi.lastModified())));
            QCOMPARE(r.Scanned, quint8(fi.isDir() ? 1 : 1)); // files get an empty task too
        }
        QVERIFY(files >= 10);
        QCOMPARE(int(nodes.size()), doc.Tree().NodeCount());
        for (const auto& [address, node] : nodes) {
            QVERIFY(!address.endsWith(QStringLiteral("\\.")));
            QVERIFY(!address.endsWith(QStringLiteral("\\..")));
        }
    }

    void masksApplyToFilesOnly() {
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params(0, QStringLiteral("deep.txt;*.sys")));
        TkxNode* top = AddTop(doc, ikShare, QStringLiteral("\\\\127.0.0.2\\public"));
        QVERIFY(Search(doc, false));
        const auto nodes = ByAddress(top);
        int matched = 0;
        for (const auto& [address, node] : nodes) {
            const TkxInfo& r = node->Info;
            if (r.Kind == ikFile) {
                QVERIFY2(r.NameText() == u"deep.txt" || r.NameText().endsWith(u".sys"),
                         qPrintable(address));
                ++matched;
            } else if (r.Kind == ikFolder) {
                QCOMPARE(r.Matched, quint8(0));
            }
        }
        QCOMPARE(matched, 2);
        const QString deep = QStringLiteral("\\\\127.0.0.2\\public\\level1\\level2\\level3");
        for (QString a = deep; a.count(u'\\') >= 3; a = a.section(u'\\', 0, -2))
            QCOMPARE(nodes.at(a)->Info.HasMatch, quint8(1));
        QCOMPARE(nodes.at(deep + "\\level4")->Info.HasMatch, quint8(0));
    }

    void hostsAndSharesOfARange() {
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params(3, QStringLiteral("*.txt")));
        doc.AddRange(QStringLiteral("Fixture (127.0.0.2-3)"),
                     QStringLiteral("127.0.0.2 - 127.0.0.3"));
        QVERIFY(Search(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        TkxNode* range = doc.Tree().Root()->Children[0].get();
        QCOMPARE(range->Children.size(), size_t(2));
        TkxNode* two = range->Children[0].get();
        QCOMPARE(two->Info.AddressText(), QStringLiteral("\\\\127.0.0.2"));
        QStringList shares;
        for (const auto& s : two->Children)
            shares << s->Info.NameText();
        // Server order, with the printer, the hidden share and IPC$ among them.
        QVERIFY(shares.indexOf(u"public") < shares.indexOf(u"denied"));
        for (const char* name :
             {"IPC$", "laser", "hidden$", "big", "loop", "bulk", "extra01", "extra40"})
            QVERIFY2(shares.contains(QString::fromLatin1(name)), name);
        for (const auto& s : two->Children) {
            const QString name = s->Info.NameText();
            QCOMPARE(s->Info.Scanned, quint8(1));
            if (name == u"IPC$" || name == u"laser" || name == u"denied")
                QVERIFY2(s->Children.empty(), qPrintable(name));
            for (const auto& f : s->Children) {
                for (const auto& g : f->Children)
                    QCOMPARE(g->Info.Scanned, quint8(0)); // level 4: shown, not explored
            }
        }
        TkxNode* three = range->Children[1].get();
        QVERIFY(!three->Children.empty());
    }

    void depthOneShowsSharesUnexplored() {
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params(1, QStringLiteral("*")));
        doc.AddRange(QStringLiteral("r"), QStringLiteral("127.0.0.2 - 127.0.0.2"));
        QVERIFY(Search(doc));
        TkxNode* host = doc.Tree().Root()->Children[0]->Children[0].get();
        QVERIFY(host->Children.size() > 5);
        for (const auto& s : host->Children)
            QVERIFY(s->Children.empty() && s->Info.Scanned == 0);
    }

    void deadAddressesEndQuickly() {
        // Nothing listens on these: each host is given up after the TCP screen.
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params(0, QStringLiteral("*")));
        doc.AddRange(QStringLiteral("dead"), QStringLiteral("127.0.9.1 - 127.0.9.40"));
        QVERIFY(Search(doc));
        QCOMPARE(doc.SearchState(), srFinished);
        TkxNode* range = doc.Tree().Root()->Children[0].get();
        QCOMPARE(range->Children.size(), size_t(40));
        for (const auto& h : range->Children)
            QVERIFY(h->Children.empty());
    }

    void folderLoopEndsAndSiblingLinksAreWalked() {
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params(0, QStringLiteral("*")));
        QStringList failures;
        connect(&doc, &TkxProjectDoc::TaskFailed, &doc,
                [&](const QString& a, const QString& s) { failures << a + u' ' + s; });
        const QString share = QStringLiteral("\\\\127.0.0.2\\loop");
        TkxNode* top = AddTop(doc, ikShare, share);
        QVERIFY(Search(doc, false));
        QCOMPARE(doc.SearchState(), srFinished);
        const auto nodes = ByAddress(top);
        QVERIFY(nodes.count(share + "\\b\\leaf.txt"));
        QVERIFY(nodes.count(share + "\\a\\tosibling\\leaf.txt")); // a sibling link is no loop
        const TkxNode* up = nodes.at(share + "\\sub\\up");
        QCOMPARE(up->Info.Scanned, quint8(0));
        QVERIFY(up->Children.empty());
        QCOMPARE(failures,
                 QStringList{share + "\\sub\\up Thread has stopped with error (Folder loop: " +
                             share + "\\sub\\up is " + share + ")"});
        QVERIFY(doc.Tree().NodeCount() < 20);
    }

    void folderLoopEndsAfterSavingAndContinuing() {
        // Explored one level below the share and saved, the project comes back without folder ids
        // and with the deeper folders unexplored; continuing without a limit must still stop at the
        // loop.
        const QString share = QStringLiteral("\\\\127.0.0.2\\loop");
        const QString file = QDir::temp().filePath(QStringLiteral("orvane-loop-test.kxor"));
        {
            TkxProjectDoc doc;
            doc.SetNetServices(Net());
            doc.SetParams(Params(1, QStringLiteral("*"), 1));
            AddTop(doc, ikShare, share);
            QVERIFY(Search(doc, false));
            QVERIFY(!doc.Tree().Root()->Children[0]->Children.empty());
            doc.WriteProject(file);
        }
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.ReadProject(file);
        QFile::remove(file);
        QVERIFY(doc.PendingCount() > 0);
        doc.SetParams(Params(0, QStringLiteral("*"), 1));
        QStringList failures;
        connect(&doc, &TkxProjectDoc::TaskFailed, &doc,
                [&](const QString& a, const QString&) { failures << a; });
        QVERIFY(Search(doc, false));
        QCOMPARE(doc.SearchState(), srFinished);
        const auto nodes = ByAddress(doc.Tree().Root()->Children[0].get());
        QVERIFY(nodes.count(share + "\\a\\tosibling\\leaf.txt"));
        QCOMPARE(failures, QStringList{share + "\\sub\\up"});
        QVERIFY(doc.Tree().NodeCount() < 20);
    }

    void hostNamesResolved() {
        // 127.0.0.2 is named only inside a private mount namespace with its own /etc/hosts.
        if (!qEnvironmentVariableIsSet("ORVANE_IN_NAMES")) {
            QProcess p;
            p.setProcessChannelMode(QProcess::ForwardedChannels);
            p.start(qEnvironmentVariable("ORVANE_SOURCE_DIR") + "/scripts/smb-fixture",
                    {QStringLiteral("with-names"), QStringLiteral("env"),
                     QStringLiteral("ORVANE_IN_NAMES=1"), QCoreApplication::applicationFilePath(),
                     QStringLiteral("hostNamesResolved")});
            QVERIFY(p.waitForFinished(120000));
            QCOMPARE(p.exitCode(), 0);
            return;
        }
        TkxProjectDoc doc;
        doc.SetNetServices(Net());
        doc.SetParams(Params(1, QStringLiteral("*")));
        doc.AddRange(QStringLiteral("r"), QStringLiteral("127.0.0.2 - 127.0.0.3"));
        QVERIFY(Search(doc));
        TkxNode* range = doc.Tree().Root()->Children[0].get();
        QCOMPARE(range->Children[0]->Info.NameText(), QStringLiteral("fileserver-two.test"));
        QCOMPARE(range->Children[0]->Info.AddressText(), QStringLiteral("\\\\127.0.0.2"));
        QCOMPARE(range->Children[1]->Info.NameText(), QStringLiteral("fileserver-three.test"));
    }
};

QTEST_GUILESS_MAIN(TestEngineSmb)
#include "test_engine_smb.moc"
