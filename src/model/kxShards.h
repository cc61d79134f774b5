#pragma once

// One scan cut into N shards, so that N processes on as many machines each search one part and
// together every address exactly once. The addresses of a list of targets are numbered in list
// order; shard I of N takes the I-th of N consecutive runs of them, the first (count mod N) runs
// one address longer than the others. The same list gives the same shards everywhere. A range
// that a shard boundary cuts becomes pieces named "NAME [k/m]": piece k of the m it was cut into.

#include "model/kxTargets.h"

#include <QStringView>

#include <optional>
#include <vector>

struct TkxShard {
    quint32 Index = 1; // 1 to Count
    quint32 Count = 1;
    bool operator==(const TkxShard&) const = default;
};

// "I/N" with 1 <= I <= N, decimal digits only; nullopt for anything else.
std::optional<TkxShard> ParseShard(QStringView text);

// One range of a shard, a whole target or a piece of one.
struct TkxShardRange {
    TkxTarget Target; // a piece is named "NAME [k/m]" after the whole range's display name
    quint32 Part = 0; // k of a piece; 0 for a whole target
    quint32 Parts = 0;

    // "2/4" for a piece, empty for a whole target.
    QString PartText() const;
};

// The ranges shard `shard` searches, in list order. Empty when the list holds fewer addresses
// than there are shards and this shard is one of those left without any.
std::vector<TkxShardRange> ShardRanges(const TkxTargetList& targets, TkxShard shard);

// The name of a piece: "Office [2/4]".
QString PieceName(const QString& wholeName, quint32 part, quint32 parts);

// The ranges one run searches, with the part text of each ("2/4" for a piece, else empty):
// all the targets without a shard.
struct TkxShardPlan {
    TkxTargetList Targets;
    std::vector<QString> Parts;
};
TkxShardPlan PlanShard(const TkxTargetList& targets, const std::optional<TkxShard>& shard);
