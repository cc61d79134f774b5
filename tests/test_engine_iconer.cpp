// The icon loader against a host without widgets (every node counts as visible), so that it
// runs under ThreadSanitizer with the engine tests.

#include "document/kxProjectDoc.h"
#include "engine/kxIconer.h"
#include "kxFakeServices.h"

#include <QTest>

#include <map>

namespace {

class TFakeIconHost : public TIconHost {
public:
    TkxProjectDoc Doc;
    std::unique_ptr<TkxBridgeTarget> Bridge = std::make_unique<TkxBridgeTarget>();
    std::map<const TkxNode*, QString> Keys;
    QStringList Status;

    QObject* BridgeTarget() const override { return Bridge.get(); }
    TkxIconWork HostIconWork(TkxNode* from, quint64 generation, int maxNodes) override {
        TkxIconWork work;
        const TkxTreeModel& tree = Doc.Tree();
        work.Generation = tree.Generation();
        TkxNode* node = from && generation == work.Generation ? from : tree.NextPreOrder(nullptr);
        for (int n = 0; node && n < maxNodes; ++n, node = tree.NextPreOrder(node))
            if (node->ImageIndex == -1 && node->Info.HasMatch)
                work.Tasks.push_back(
                    {node, node->Info.AddressText(), node->Info.NameText(), node->Info.Kind});
        work.Resume = node;
        return work;
    }
    void HostSetNodeIcons(const std::vector<std::pair<TkxNode*, QString>>& icons,
                          quint64 generation) override {
        if (generation != Doc.Tree().Generation())
            return;
        std::vector<std::pair<TkxNode*, int>> indexes;
        for (const auto& [node, key] : icons) {
            Keys[node] = key;
            indexes.emplace_back(node, int(Keys.size()));
        }
        Doc.SetNodeIcons(indexes);
    }
    void HostIconStatus(const QString& text) override { Status << text; }
};

TkxNode* Add(TkxProjectDoc& doc, TkxNode* parent, TkxItemKind kind, const QString& name,
             bool matched) {
    TkxInfo r;
    r.SetName(name);
    r.SetAddress(QStringLiteral("\\\\h\\") + name);
    r.SetKind(kind);
    r.SetScanned(1);
    r.SetMatched(matched);
    r.SetHasMatch(matched);
    return doc.AddInfoNode(std::move(r), parent);
}

} // namespace

class TestEngineIconer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Keys for matching nodes only, each looked up once; a node that gains HasMatch later is
    // picked up after the change wakes the loader, which otherwise waits.
    void keysForMatchesAndWaitsOtherwise() {
        TFakeIconHost host;
        TkxProjectDoc& doc = host.Doc;
        TkxNode* range = Add(doc, nullptr, ikRange, QStringLiteral("r"), true);
        TkxNode* server = Add(doc, range, ikHost, QStringLiteral("h"), true);
        TkxNode* share = Add(doc, server, ikShare, QStringLiteral("s"), true);
        TkxNode* folder = Add(doc, share, ikFolder, QStringLiteral("f"), true);
        TkxNode* text = Add(doc, folder, ikFile, QStringLiteral("a.txt"), true);
        TkxNode* pdf = Add(doc, folder, ikFile, QStringLiteral("b.PDF"), true);
        TkxNode* other = Add(doc, share, ikFolder, QStringLiteral("g"), false);
        TkxNode* late = Add(doc, other, ikFile, QStringLiteral("c.txt"), false);

        TIconThread loader(&host);
        QObject::connect(doc.TreeViewModel(), &QAbstractItemModel::dataChanged, &doc,
                         [&] { loader.Waker().Wake(); });
        loader.Start();
        QTRY_COMPARE(host.Keys.size(), size_t(6));
        const std::map<const TkxNode*, QString> expected{
            {range, "network-workgroup"}, {server, "network-server"}, {share, "folder-remote"},
            {folder, "folder"},           {text, "text/plain"},       {pdf, "application/pdf"}};
        QCOMPARE(host.Keys, expected);
        QCOMPARE(other->ImageIndex, -1);
        QTRY_COMPARE(host.Status.last(), QString());
        QVERIFY(host.Status.contains(QStringLiteral("\\\\h\\r")));

        QTest::qWait(100); // the sweep that the last icons asked for
        const quint64 sweeps = loader.SweepCount();
        QTest::qWait(100);
        QCOMPARE(loader.SweepCount(), sweeps);

        late->Info.SetMatched(1);
        late->Info.SetHasMatch(1);
        doc.MarkHasMatch(other);
        QTRY_COMPARE(host.Keys.size(), size_t(8));
        QCOMPARE(host.Keys.at(late), QStringLiteral("text/plain"));
        QVERIFY(loader.SweepCount() > sweeps);
    }

    // Detached, told to stop and its queued calls dropped, the loader ends even in the middle of
    // a long sweep; nothing it did afterwards reaches the host.
    void detachedLoaderEnds() {
        for (int round = 0; round < 5; ++round) {
            TFakeIconHost host;
            TkxNode* range = Add(host.Doc, nullptr, ikRange, QStringLiteral("r"), true);
            std::vector<TkxInfo> files;
            for (int i = 0; i < 20000; ++i) {
                TkxInfo r;
                r.SetName(QStringLiteral("f%1.txt").arg(i));
                r.SetKind(ikFile);
                r.SetScanned(1);
                r.SetHasMatch(1);
                files.push_back(std::move(r));
            }
            host.Doc.AddInfoNodes(std::move(files), range);
            auto loader = std::make_unique<TIconThread>(&host);
            loader->Start();
            QTRY_VERIFY(!host.Keys.empty() || round % 2);
            loader->SetMainWindow(nullptr);
            loader->Terminate();
            host.Bridge.reset();
            loader->wait();
            loader.reset();
            const size_t keys = host.Keys.size();
            QCoreApplication::processEvents();
            QCOMPARE(host.Keys.size(), keys);
        }
    }
};

QTEST_GUILESS_MAIN(TestEngineIconer)
#include "test_engine_iconer.moc"
