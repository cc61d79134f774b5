#include "model/kxShards.h"

#include <QtTest>

#include <map>

namespace {
TkxTargetList List(const char* text) {
    return ParseTargetList(QString::fromUtf8(text)).Targets;
}

// "Name=FIRST - LAST [k/m]; ..." of one shard.
QString Render(const std::vector<TkxShardRange>& ranges) {
    QStringList out;
    for (const TkxShardRange& r : ranges)
        out << r.Target.Caption() + (r.Part ? u' ' + r.PartText() : QString());
    return out.join(QStringLiteral("; "));
}
} // namespace

class TestModelShards : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse() {
        QCOMPARE(ParseShard(u"1/1"), (TkxShard{1, 1}));
        QCOMPARE(ParseShard(u"3/8"), (TkxShard{3, 8}));
        QCOMPARE(ParseShard(u"8/8"), (TkxShard{8, 8}));
        for (const char* bad : {"0/3", "4/3", "1/0", "1", "/3", "1/", "a/3", "1/3x", " 1/3", "-1/3",
                                "1/99999999999", "1//3", "+1/3", "1.0/3"})
            QVERIFY2(!ParseShard(QString::fromLatin1(bad)), bad);
    }

    // N shards take every address exactly once, in list order, in runs whose sizes differ by
    // one at most; a cut range's pieces are numbered among themselves and named after it.
    void cover_data() {
        QTest::addColumn<QString>("list");
        QTest::addColumn<quint32>("shards");
        QTest::newRow("one range, 4 shards") << "Office=10.1.2.0/24" << 4u;
        QTest::newRow("uneven") << "A=10.0.0.1 - 10.0.0.7\n10.0.1.0/30\nB=10.0.2.9" << 3u;
        QTest::newRow("more shards than addresses") << "10.0.0.1 - 10.0.0.3" << 5u;
        QTest::newRow("duplicates and exclusions")
            << "A=10.0.0.0/29\n!10.0.0.3\nA=10.0.0.0/29\n10.9.9.9" << 4u;
        QTest::newRow("a /8 into 7") << "Big=10.0.0.0/8" << 7u;
    }
    void cover() {
        QFETCH(QString, list);
        QFETCH(quint32, shards);
        const TkxTargetList targets = ParseTargetList(list).Targets;
        quint64 total = 0;
        std::vector<std::pair<quint32, quint32>> expected; // every address in list order
        for (const TkxTarget& t : targets) {
            total += t.Count();
            expected.emplace_back(t.First, t.Last);
        }
        std::vector<std::pair<quint32, quint32>> got;
        quint64 smallest = ~0ull, largest = 0;
        std::map<QString, quint32> pieces; // whole name -> pieces seen
        for (quint32 i = 1; i <= shards; ++i) {
            const std::vector<TkxShardRange> part = ShardRanges(targets, {i, shards});
            QCOMPARE(Render(ShardRanges(targets, {i, shards})), Render(part)); // deterministic
            quint64 size = 0;
            for (const TkxShardRange& r : part) {
                size += r.Target.Count();
                if (!got.empty() && r.Part > 1 && got.back().second + 1 == r.Target.First)
                    got.back().second = r.Target.Last; // the piece continues the one before
                else
                    got.emplace_back(r.Target.First, r.Target.Last);
                if (r.Part) {
                    // Pieces of one range come in order, 1 to m, across the shards.
                    const QString suffix = u' ' + QStringLiteral("[%1]").arg(r.PartText());
                    QVERIFY2(r.Target.Name.endsWith(suffix), qPrintable(r.Target.Name));
                    quint32& seen = pieces[r.Target.Name.chopped(suffix.size())];
                    QCOMPARE(r.Part, r.Part == 1 ? 1u : seen + 1);
                    seen = r.Part;
                }
            }
            smallest = std::min(smallest, size);
            largest = std::max(largest, size);
        }
        QCOMPARE(got, expected);
        QVERIFY(largest - smallest <= 1);
        QCOMPARE(largest, (total + shards - 1) / shards);
    }

    void names() {
        const TkxTargetList targets = List("Office=10.1.2.0/24\n10.9.0.0 - 10.9.0.3");
        QCOMPARE(Render(ShardRanges(targets, {1, 3})),
                 QStringLiteral("Office [1/3] (10.1.2.0-86) 1/3"));
        QCOMPARE(Render(ShardRanges(targets, {2, 3})),
                 QStringLiteral("Office [2/3] (10.1.2.87-173) 2/3"));
        QCOMPARE(Render(ShardRanges(targets, {3, 3})),
                 QStringLiteral("Office [3/3] (10.1.2.174-255) 3/3; 10.9.0.0 (10.9.0.0-3)"));
        QCOMPARE(Render(ShardRanges(targets, {1, 1})),
                 QStringLiteral("Office (10.1.2.0-255); 10.9.0.0 (10.9.0.0-3)"));
        // An unnamed range's pieces keep its name, its first address, not their own.
        QCOMPARE(Render(ShardRanges(List("10.9.0.0 - 10.9.0.3"), {2, 2})),
                 QStringLiteral("10.9.0.0 [2/2] (10.9.0.2-3) 2/2"));
        QVERIFY(ShardRanges(List("10.0.0.1"), {2, 2}).empty());
    }
};

QTEST_GUILESS_MAIN(TestModelShards)
#include "test_model_shards.moc"
