#pragma once

// One project of a scan from a result store: for every shard its latest finished run, or else
// its latest run of any state, whose unscanned nodes then wait for Continue. Ranges that the
// shards cut into pieces are joined again when every piece is there and done, so the project
// reads like that of one search of all the targets.

#include "document/kxProjectDoc.h"
#include "store/kxStoreSql.h"

#include <QString>

#include <vector>

struct TkxStoredRun {
    qint64 Id = 0;
    quint32 Shard = 1;
    quint32 Shards = 1;
    QString Host, State, Started, Ended;
    int FailedTasks = 0;
    TkxParams Params;

    bool IsFinished() const { return State == u"finished"; }
};

struct TkxScanMerge {
    quint32 Shards = 0;
    std::vector<TkxStoredRun> Used; // in shard order
    std::vector<quint32> Missing;   // shards without any run
    int LeftOut = 0;                // runs of the scan cut into another number of shards
    qint64 Skipped = 0;             // rows whose parent is not in the store, or too deep

    bool Complete() const;
    int FailedTasks() const;
};

// Builds the scan into the document, which is made a new project first. Throws EkxError (no
// such store, no such scan, a store of another version).
TkxScanMerge ReadStoredScan(const TkxStoreUrl& url, const QString& scan, TkxProjectDoc& doc);
