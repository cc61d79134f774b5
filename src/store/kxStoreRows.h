#pragma once

// A record as a row of the nodes table, and back: what is read back is what the project file
// would have kept of the record (the same texts, the same flags).

#include "model/kxLists.h"
#include "store/kxStoreSql.h"

// A node's row (new, or rewritten whole): run, id, parent, then the record's columns. Its texts
// may point into `info`: the values are good while the record lives unchanged.
TkxSqlParams NodeParams(qint64 run, quint32 id, quint32 parent, const TkxInfo& info,
                        const QString& failure, const QString& part);
// The same into `p`, whose room is kept.
void NodeParams(TkxSqlParams& p, qint64 run, quint32 id, quint32 parent, const TkxInfo& info,
                const QString& failure, const QString& part);
// What a change of a stored node can touch (TkxTreeWatcher's NodeChanged and NodeFailed):
// name, marks, scanned, failure and the verbatim texts; then run and id.
TkxSqlParams NodeChangeParams(qint64 run, quint32 id, const TkxInfo& info, const QString& failure);

// New rows in PostgreSQL's binary COPY form, built straight from the records: the values travel
// as data of their own, never inside a statement's text, as safe as a prepared statement's.
// The rows are exactly those NodeParams would give.
class TkxNodeCopy {
public:
    explicit TkxNodeCopy(qint64 run) : Run(run) {}
    void Add(quint32 id, quint32 parent, const TkxInfo& info, const QString& failure,
             const QString& part);
    // Inside a transaction; does nothing without rows.
    void Write(TkxSqlSession& session);

private:
    qint64 Run;
    QByteArray Data;
};

// New rows for SQLite, many to a statement: the rows of one statement share the table's cursor,
// which then finds where a row goes (after the one before) without a search from the root. Their
// texts point into the records added: those live unchanged until Flush.
class TkxNodeRows {
public:
    TkxNodeRows(TkxSqlSession& session, qint64 run) : Session(session), Run(run) {}
    void Add(quint32 id, quint32 parent, const TkxInfo& info, const QString& failure,
             const QString& part);
    // Writes the rows still held; before the transaction ends.
    void Flush();

private:
    static constexpr int StatementRows = 64;
    TkxSqlSession& Session;
    qint64 Run;
    int Count = 0;
    std::vector<TkxSqlParams> Rows = std::vector<TkxSqlParams>(1); // one set: Count rows' values
};

// Write many rows of NodeParams, NodeChangeParams or (run, id) for a delete, each id at most
// once per call, inside a transaction. Several rows go through one prepared statement, so that
// a database server parses, plans and logs a statement per few hundred rows, not per row.
void WriteNodes(TkxSqlSession& session, std::vector<TkxSqlParams>& rows);
void WriteNodeChanges(TkxSqlSession& session, std::vector<TkxSqlParams>& rows);
void DeleteNodes(TkxSqlSession& session, std::vector<TkxSqlParams>& rows);
// Sets the marks of stored nodes whose name and failure the store holds already (most of them:
// a file's own task only marks it scanned), a value per id instead of eight.
void WriteNodeMarks(TkxSqlSession& session, qint64 run, const TkxInfo& marks,
                    const std::vector<quint32>& ids);

// Reads a run's nodes in the order they were found: id, parent, kind, name, address, size,
// created, edited, accessed, matched, has_match, scanned, part, verbatim.
extern const char* const NodeSelectSql;

// The record of a row read with NodeSelectSql.
TkxInfo RecordOfRow(const TkxSqlRow& row);

// Local wall-clock days (as records hold times) as "YYYY-MM-DD HH:MM:SS.mmm", and back;
// empty or nullopt when there is no such time. TimestampMsecs: the same time as milliseconds
// since 1899-12-30, nullopt where TimestampText is empty.
std::optional<qint64> TimestampMsecs(double days);
QString TimestampText(double days);
std::optional<double> TimestampDays(QByteArrayView text);
