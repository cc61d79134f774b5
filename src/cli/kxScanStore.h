#pragma once

// orvane-scan's side of shards and result stores.

#include "document/kxProjectDoc.h"
#include "model/kxShards.h"
#include "store/kxStoreSql.h"
#include "store/kxStoreWriter.h"

#include <QTextStream>

#include <optional>

// What the runs table says of this run.
TkxStoreRun StoreRunOf(const QString& scan, const std::optional<TkxShard>& shard,
                       const TkxParams& params, const TkxTargetList& targets);

// A scan name goes into messages and SQL tools' output: no control characters.
bool IsScanName(const QString& name);

// --from-store: builds the scan into the document and says on `err` which run of each shard
// it took. The exit status: 0 every shard finished, 1 a shard is unfinished or missing, 3 all
// finished but tasks failed. Throws EkxError when nothing could be read.
int ReadScanFromStore(const TkxStoreUrl& url, const QString& scan, TkxProjectDoc& doc,
                      QTextStream& err);
