#include "model/kxShards.h"

#include <algorithm>

namespace {

std::optional<quint32> Digits(QStringView text) {
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    quint64 v = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        v = v * 10 + quint64(c.unicode() - u'0');
    }
    if (v > 0xFFFFFFFFull)
        return std::nullopt;
    return quint32(v);
}

// The shards' runs of address numbers: shard s (0-based) starts at s * Base + min(s, Longer);
// the first Longer shards hold Base + 1 addresses, the others Base.
struct TCuts {
    quint64 Base = 0;
    quint64 Longer = 0;

    TCuts(quint64 total, quint32 count) : Base(total / count), Longer(total % count) {}
    quint64 Start(quint64 s) const { return s * Base + std::min(s, Longer); }
    // The 0-based shard that holds address number p (p below the total).
    quint64 ShardOf(quint64 p) const {
        const quint64 inLonger = Longer * (Base + 1);
        if (p < inLonger)
            return p / (Base + 1);
        return Longer + (p - inLonger) / Base; // Base > 0 here: p is below the total
    }
};

} // namespace

std::optional<TkxShard> ParseShard(QStringView text) {
    const qsizetype slash = text.indexOf(u'/');
    if (slash < 0)
        return std::nullopt;
    const std::optional<quint32> index = Digits(text.first(slash));
    const std::optional<quint32> count = Digits(text.sliced(slash + 1));
    if (!index || !count || *index < 1 || *index > *count)
        return std::nullopt;
    return TkxShard{*index, *count};
}

QString TkxShardRange::PartText() const {
    if (Part == 0)
        return {};
    return QStringLiteral("%1/%2").arg(Part).arg(Parts);
}

QString PieceName(const QString& wholeName, quint32 part, quint32 parts) {
    return QStringLiteral("%1 [%2/%3]").arg(wholeName).arg(part).arg(parts);
}

std::vector<TkxShardRange> ShardRanges(const TkxTargetList& targets, TkxShard shard) {
    std::vector<TkxShardRange> out;
    if (shard.Count == 0 || shard.Index < 1 || shard.Index > shard.Count)
        return out;
    quint64 total = 0;
    for (const TkxTarget& t : targets)
        total += t.Count();
    const TCuts cuts(total, shard.Count);
    const quint64 me = shard.Index - 1;
    const quint64 begin = cuts.Start(me);
    const quint64 end = cuts.Start(me + 1);
    if (begin == end)
        return out;
    quint64 at = 0; // number of the target's first address
    for (const TkxTarget& t : targets) {
        const quint64 first = at, last = at + t.Count() - 1;
        at += t.Count();
        if (last < begin || first >= end)
            continue;
        TkxShardRange r;
        r.Target = t;
        const quint64 from = std::max(first, begin), to = std::min(last, end - 1);
        const quint64 firstShard = cuts.ShardOf(first), lastShard = cuts.ShardOf(last);
        if (firstShard != lastShard) {
            r.Part = quint32(me - firstShard + 1);
            r.Parts = quint32(lastShard - firstShard + 1);
            r.Target.Name = PieceName(t.DisplayName(), r.Part, r.Parts);
            r.Target.First = t.First + quint32(from - first);
            r.Target.Last = t.First + quint32(to - first);
        }
        out.push_back(std::move(r));
    }
    return out;
}

TkxShardPlan PlanShard(const TkxTargetList& targets, const std::optional<TkxShard>& shard) {
    TkxShardPlan plan;
    if (!shard) {
        plan.Targets = targets;
        plan.Parts.resize(targets.size());
        return plan;
    }
    for (TkxShardRange& r : ShardRanges(targets, *shard)) {
        plan.Parts.push_back(r.PartText());
        plan.Targets.push_back(std::move(r.Target));
    }
    return plan;
}
