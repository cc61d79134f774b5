#include "store/kxStoreReader.h"

#include "model/kxErrors.h"
#include "model/kxShards.h"
#include "model/kxTargets.h"
#include "storage/kxProjectFile.h"
#include "store/kxStoreRows.h"
#include "store/kxStoreSchema.h"

#include <QFileInfo>

#include <map>
#include <unordered_map>

namespace {

struct TTop {
    size_t Run = 0; // index into the runs used
    quint32 Id = 0;
    TkxInfo Info;
    QString Part;
};

std::optional<std::pair<quint32, quint32>> RangeOf(const QString& text) {
    const qsizetype dash = text.indexOf(QLatin1String(" - "));
    if (dash < 0)
        return std::nullopt;
    const std::optional<quint32> first = StrictAddress(QStringView(text).first(dash));
    const std::optional<quint32> last = StrictAddress(QStringView(text).sliced(dash + 3));
    if (!first || !last || *last < *first)
        return std::nullopt;
    return std::pair(*first, *last);
}

// The whole range the pieces tops[from, from + parts) were cut from, when they are all there,
// in order, done, and named as pieces of one range.
std::optional<TkxInfo> Whole(const std::vector<TTop>& tops, size_t from, quint32 parts) {
    if (parts < 2 || from + parts > tops.size())
        return std::nullopt;
    QString name;
    quint32 first = 0, last = 0;
    quint8 hasMatch = 0, matched = 0;
    for (quint32 k = 1; k <= parts; ++k) {
        const TTop& top = tops[from + k - 1];
        if (top.Info.Kind != ikRange || top.Info.Scanned == 0 ||
            top.Part != QStringLiteral("%1/%2").arg(k).arg(parts))
            return std::nullopt;
        const auto range = RangeOf(top.Info.AddressText());
        if (!range || (k > 1 && range->first != last + 1))
            return std::nullopt;
        // "NAME [k/m] (short)": the piece's caption as the shard made it.
        const QString tail =
            TkxTarget{QStringLiteral("x"), range->first, range->second}.Caption().mid(1);
        const QString suffix = QStringLiteral(" [%1/%2]").arg(k).arg(parts) + tail;
        const QString caption = top.Info.NameText();
        if (!caption.endsWith(suffix))
            return std::nullopt;
        const QString whole = caption.chopped(suffix.size());
        if (k == 1) {
            name = whole;
            first = range->first;
        } else if (whole != name) {
            return std::nullopt;
        }
        last = range->second;
        hasMatch |= top.Info.HasMatch;
        matched |= top.Info.Matched;
    }
    const TkxTarget target{name, first, last};
    TkxInfo info;
    info.SetName(target.Caption());
    info.SetAddress(target.RangeText());
    info.SetKind(ikRange);
    info.SetScanned(1);
    info.SetHasMatch(hasMatch);
    info.SetMatched(matched);
    return info;
}

std::vector<TkxStoredRun> Runs(TkxSqlSession& session, qint64 scan) {
    std::vector<TkxStoredRun> runs;
    session.Query(QStringLiteral("SELECT id, shard, shards, host, threads, depth, lifetime, masks, "
                                 "started, ended, state, failed_tasks FROM runs WHERE scan = ? "
                                 "ORDER BY id"),
                  {TkxSqlValue::Of(scan)}, [&](const TkxSqlRow& row) {
                      TkxStoredRun r;
                      r.Id = row.Int(0);
                      r.Shard = quint32(row.Int(1));
                      r.Shards = quint32(row.Int(2));
                      r.Host = row.Text(3);
                      r.Params.TotalThreads = quint32(row.Int(4));
                      r.Params.Depth = quint32(row.Int(5));
                      r.Params.LifeTime = quint32(row.Int(6));
                      r.Params.Masks = row.Text(7);
                      r.Started = row.Text(8);
                      r.Ended = row.Text(9);
                      r.State = row.Text(10);
                      r.FailedTasks = int(row.Int(11));
                      runs.push_back(std::move(r));
                  });
    return runs;
}

// Adds the rows of one run below their parents, consecutive siblings with one insertion.
class TRunBuilder {
public:
    TRunBuilder(TkxProjectDoc& doc, std::unordered_map<quint32, std::pair<TkxNode*, int>>& nodes,
                qint64& skipped)
        : Doc(doc), Nodes(nodes), Skipped(skipped) {}

    void Add(quint32 id, quint32 parent, TkxInfo&& info) {
        if (!Records.empty() && parent != ParentId)
            Flush();
        if (Records.empty()) {
            const auto it = Nodes.find(parent);
            if (it == Nodes.end() || it->second.second + 1 >= MaxProjectDepth) {
                ++Skipped;
                return;
            }
            ParentId = parent;
            Parent = it->second.first;
            Depth = it->second.second + 1;
        }
        Records.push_back(std::move(info));
        Ids.push_back(id);
    }

    void Flush() {
        if (Records.empty())
            return;
        const std::vector<TkxNode*> added = Doc.AddInfoNodes(std::move(Records), Parent);
        for (size_t i = 0; i < added.size() && i < Ids.size(); ++i)
            Nodes[Ids[i]] = {added[i], Depth};
        Records.clear();
        Ids.clear();
    }

private:
    TkxProjectDoc& Doc;
    std::unordered_map<quint32, std::pair<TkxNode*, int>>& Nodes;
    qint64& Skipped;
    quint32 ParentId = 0;
    TkxNode* Parent = nullptr;
    int Depth = 0;
    std::vector<TkxInfo> Records;
    std::vector<quint32> Ids;
};

} // namespace

bool TkxScanMerge::Complete() const {
    if (!Missing.empty() || Skipped != 0)
        return false;
    return std::all_of(Used.begin(), Used.end(),
                       [](const TkxStoredRun& r) { return r.IsFinished(); });
}

int TkxScanMerge::FailedTasks() const {
    int n = 0;
    for (const TkxStoredRun& r : Used)
        n += r.FailedTasks;
    return n;
}

TkxScanMerge ReadStoredScan(const TkxStoreUrl& url, const QString& scan, TkxProjectDoc& doc) {
    // Reading never makes a store, not even an empty file.
    if (url.Type == TkxStoreUrl::Sqlite && !QFileInfo::exists(url.Path))
        throw EkxError(QStringLiteral("%1 does not exist").arg(url.Path));
    const std::unique_ptr<TkxSqlSession> session = OpenSqlSession(url);
    CheckStoreSchema(*session);
    qint64 scanId = 0;
    session->Query(QStringLiteral("SELECT id FROM scans WHERE name = ?"),
                   {TkxSqlValue::OfText(scan)}, [&](const TkxSqlRow& row) { scanId = row.Int(0); });
    const std::vector<TkxStoredRun> runs =
        scanId ? Runs(*session, scanId) : std::vector<TkxStoredRun>();
    if (runs.empty())
        throw EkxError(QStringLiteral("the store holds no run of the scan '%1'").arg(scan));

    // The latest run says into how many shards the scan is cut now.
    TkxScanMerge merge;
    merge.Shards = runs.back().Shards;
    std::map<quint32, const TkxStoredRun*> chosen;
    for (const TkxStoredRun& r : runs) {
        if (r.Shards != merge.Shards || r.Shard < 1 || r.Shard > merge.Shards) {
            ++merge.LeftOut;
            continue;
        }
        const TkxStoredRun*& best = chosen[r.Shard];
        // Runs come in the order they began: a later one replaces an earlier one unless only
        // the earlier one finished.
        if (!best || r.IsFinished() || !best->IsFinished())
            best = &r;
    }
    for (quint32 s = 1; s <= merge.Shards; ++s) {
        const auto it = chosen.find(s);
        if (it == chosen.end())
            merge.Missing.push_back(s);
        else
            merge.Used.push_back(*it->second);
    }

    doc.NewProject();
    // The parameters of the latest run used.
    const TkxStoredRun* latest = nullptr;
    for (const TkxStoredRun& r : merge.Used) {
        if (!latest || r.Id > latest->Id)
            latest = &r;
    }
    if (latest)
        doc.SetParams(latest->Params);

    const QString select = QString::fromLatin1(NodeSelectSql);
    const QString topSelect = QString(select).replace(
        QLatin1String("WHERE run = ?"), QLatin1String("WHERE run = ? AND parent IS NULL"));
    std::vector<TTop> tops;
    for (size_t i = 0; i < merge.Used.size(); ++i) {
        session->Query(topSelect, {TkxSqlValue::Of(merge.Used[i].Id)}, [&](const TkxSqlRow& row) {
            tops.push_back({i, quint32(row.Int(0)), RecordOfRow(row), row.Text(12)});
        });
    }
    // The top-level nodes, pieces joined where they can be, each run's ids mapped to them.
    std::vector<TkxInfo> records;
    std::vector<size_t> nodeOf(tops.size());
    for (size_t i = 0; i < tops.size();) {
        const QString& part = tops[i].Part;
        const qsizetype slash = part.indexOf(u'/');
        std::optional<TkxInfo> whole;
        quint32 parts = 0;
        if (slash > 0 && part.first(slash) == u"1") {
            parts = part.sliced(slash + 1).toUInt();
            whole = Whole(tops, i, parts);
        }
        if (whole) {
            for (quint32 k = 0; k < parts; ++k)
                nodeOf[i + k] = records.size();
            records.push_back(std::move(*whole));
            i += parts;
        } else {
            nodeOf[i] = records.size();
            records.push_back(tops[i].Info);
            ++i;
        }
    }
    const std::vector<TkxNode*> topNodes = doc.AddInfoNodes(std::move(records), nullptr);

    for (size_t r = 0; r < merge.Used.size(); ++r) {
        std::unordered_map<quint32, std::pair<TkxNode*, int>> nodes;
        for (size_t i = 0; i < tops.size(); ++i) {
            if (tops[i].Run == r)
                nodes[tops[i].Id] = {topNodes[nodeOf[i]], 0};
        }
        TRunBuilder builder(doc, nodes, merge.Skipped);
        session->Query(select, {TkxSqlValue::Of(merge.Used[r].Id)}, [&](const TkxSqlRow& row) {
            if (row.IsNull(1))
                return; // a top-level node, added above
            builder.Add(quint32(row.Int(0)), quint32(row.Int(1)), RecordOfRow(row));
        });
        builder.Flush();
    }
    doc.SetModified(true);
    return merge;
}
