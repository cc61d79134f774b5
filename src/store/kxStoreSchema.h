#pragma once

// The tables of a result store (docs/SCALE.md describes them for readers):
//
//   orvane_schema  version, applied: one row per schema version applied; the highest is the
//                  store's version
//   scans          id, name (unique), created
//   runs           id, scan, shard, shards, host, threads, depth, lifetime, masks, targets,
//                  started, ended, state (running, finished, stopped, failed, incomplete),
//                  failed_tasks
//   nodes          run, id, parent, kind, name, address, size, created, edited, accessed,
//                  matched, has_match, scanned, failure, part, verbatim
//
// A node's id counts within its run, in the order the nodes were found; parent is the id of
// its parent node (NULL for a range). Texts are those the project file keeps. verbatim is NULL
// but for the rare record whose texts a column can not hold exactly (a NUL character, a size or
// time that is no number or date): then it holds the six texts (name, address, size, created,
// edited, accessed) as UTF-8 separated by LF, and the columns a readable form of them.

#include "store/kxStoreSql.h"

inline constexpr int StoreSchemaVersion = 1;

// Makes the tables of a new store, or checks those of an existing one. A store of another
// version, or a database whose tables of these names belong to something else, is refused and
// left as it is. Throws EkxError with the reason.
void PrepareStoreSchema(TkxSqlSession& session);
// Checks only, for a reader; a store without any tables is refused too.
void CheckStoreSchema(TkxSqlSession& session);
