#include "store/kxStoreSchema.h"

#include "model/kxErrors.h"

#include <QSet>
#include <QStringList>

#include <span>

namespace {

const char* const PostgresTables[] = {
    R"(CREATE TABLE orvane_schema (
    version integer PRIMARY KEY,
    applied timestamptz NOT NULL DEFAULT now()))",
    R"(CREATE TABLE scans (
    id bigserial PRIMARY KEY,
    name text NOT NULL UNIQUE,
    created timestamptz NOT NULL DEFAULT now()))",
    R"(CREATE TABLE runs (
    id bigserial PRIMARY KEY,
    scan bigint NOT NULL REFERENCES scans (id),
    shard integer NOT NULL,
    shards integer NOT NULL,
    host text NOT NULL,
    threads bigint NOT NULL,
    depth bigint NOT NULL,
    lifetime bigint NOT NULL,
    masks text NOT NULL,
    targets text NOT NULL,
    started timestamptz NOT NULL,
    ended timestamptz,
    state text NOT NULL,
    failed_tasks integer NOT NULL DEFAULT 0))",
    "CREATE INDEX runs_scan ON runs (scan, shard)",
    // No foreign key on run: PostgreSQL checks one with a query per row written, which cost
    // the server twice the rest of a walk's writes together (measured). Deleting a run deletes
    // its nodes all the same, through the trigger below.
    R"(CREATE TABLE nodes (
    run bigint NOT NULL,
    id integer NOT NULL,
    parent integer,
    kind smallint NOT NULL,
    name text NOT NULL,
    address text NOT NULL,
    size bigint,
    created timestamp,
    edited timestamp,
    accessed timestamp,
    matched boolean NOT NULL,
    has_match boolean NOT NULL,
    scanned boolean NOT NULL,
    failure text,
    part text,
    verbatim bytea,
    PRIMARY KEY (run, id)))",
    R"(CREATE FUNCTION orvane_runs_deleted() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    DELETE FROM nodes WHERE run IN (SELECT id FROM gone);
    RETURN NULL;
END $$)",
    R"(CREATE TRIGGER runs_deleted AFTER DELETE ON runs REFERENCING OLD TABLE AS gone
    FOR EACH STATEMENT EXECUTE FUNCTION orvane_runs_deleted())",
};

// The same tables in SQLite's types: times as ISO 8601 texts, flags as 0 and 1.
const char* const SqliteTables[] = {
    R"(CREATE TABLE orvane_schema (
    version INTEGER PRIMARY KEY,
    applied TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))))",
    R"(CREATE TABLE scans (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    created TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))))",
    R"(CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    scan INTEGER NOT NULL REFERENCES scans (id),
    shard INTEGER NOT NULL,
    shards INTEGER NOT NULL,
    host TEXT NOT NULL,
    threads INTEGER NOT NULL,
    depth INTEGER NOT NULL,
    lifetime INTEGER NOT NULL,
    masks TEXT NOT NULL,
    targets TEXT NOT NULL,
    started TEXT NOT NULL,
    ended TEXT,
    state TEXT NOT NULL,
    failed_tasks INTEGER NOT NULL DEFAULT 0))",
    "CREATE INDEX runs_scan ON runs (scan, shard)",
    R"(CREATE TABLE nodes (
    run INTEGER NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
    id INTEGER NOT NULL,
    parent INTEGER,
    kind INTEGER NOT NULL,
    name TEXT NOT NULL,
    address TEXT NOT NULL,
    size INTEGER,
    created TEXT,
    edited TEXT,
    accessed TEXT,
    matched INTEGER NOT NULL,
    has_match INTEGER NOT NULL,
    scanned INTEGER NOT NULL,
    failure TEXT,
    part TEXT,
    verbatim BLOB,
    PRIMARY KEY (run, id)) WITHOUT ROWID)",
};

const QStringList OurTables{QStringLiteral("orvane_schema"), QStringLiteral("scans"),
                            QStringLiteral("runs"), QStringLiteral("nodes")};

QSet<QString> ExistingTables(TkxSqlSession& session) {
    const QString sql =
        session.Dialect() == TkxStoreUrl::Postgres
            ? QStringLiteral("SELECT table_name::text FROM information_schema.tables "
                             "WHERE table_schema = current_schema() AND table_name IN (?, ?, ?, ?)")
            : QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' "
                             "AND name IN (?, ?, ?, ?)");
    TkxSqlParams names;
    for (const QString& t : OurTables)
        names.push_back(TkxSqlValue::OfText(t));
    QSet<QString> found;
    session.Query(sql, names, [&](const TkxSqlRow& row) { found.insert(row.Text(0)); });
    return found;
}

// True when the store has its tables (of this version); false when it has none of them.
bool Check(TkxSqlSession& session) {
    const QSet<QString> found = ExistingTables(session);
    if (!found.contains(QStringLiteral("orvane_schema"))) {
        if (found.isEmpty())
            return false;
        throw EkxError(QStringLiteral("the database holds tables named scans, runs or nodes "
                                      "that are not a result store; use another database"));
    }
    qint64 version = -1;
    session.Query(QStringLiteral("SELECT max(version) FROM orvane_schema"), {},
                  [&](const TkxSqlRow& row) { version = row.IsNull(0) ? -1 : row.Int(0); });
    if (version != StoreSchemaVersion)
        throw EkxError(QStringLiteral("the store has schema version %1; this orvane-scan reads "
                                      "and writes version %2 only, so it leaves the store as it is")
                           .arg(version)
                           .arg(StoreSchemaVersion));
    if (found.size() != OurTables.size())
        throw EkxError(QStringLiteral("the store lacks some of its tables (scans, runs, nodes)"));
    return true;
}

} // namespace

void PrepareStoreSchema(TkxSqlSession& session) {
    if (Check(session))
        return;
    const bool postgres = session.Dialect() == TkxStoreUrl::Postgres;
    session.BeginWrite();
    try {
        // Scanners that start together must not make the tables twice: the first one makes
        // them, the others wait for it and find them made.
        if (postgres)
            session.Exec(QStringLiteral("SELECT pg_advisory_xact_lock(7526134455001)"));
        if (!Check(session)) {
            const std::span<const char* const> tables =
                postgres ? std::span<const char* const>(PostgresTables)
                         : std::span<const char* const>(SqliteTables);
            for (const char* sql : tables)
                session.Exec(QString::fromUtf8(sql));
            session.Query(QStringLiteral("INSERT INTO orvane_schema (version) VALUES (?)"),
                          {TkxSqlValue::Of(StoreSchemaVersion)});
        }
        session.Exec(QStringLiteral("COMMIT"));
    } catch (...) {
        try {
            session.Exec(QStringLiteral("ROLLBACK"));
        } catch (...) {
            NoteSwallowed("store schema rollback");
        }
        throw;
    }
}

void CheckStoreSchema(TkxSqlSession& session) {
    if (!Check(session))
        throw EkxError(QStringLiteral("the database holds no result store"));
}
