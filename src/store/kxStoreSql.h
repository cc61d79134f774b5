#pragma once

// A connection to a result store, SQLite or PostgreSQL through its own C library (libsqlite3,
// libpq), behind one small interface. Every value travels as a parameter of a prepared statement,
// never inside the statement's text; statements are written with '?' placeholders.

#include "model/kxUtf8.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Where results go: "sqlite:PATH" or "postgresql://USER@HOST:PORT/DB".
struct TkxStoreUrl {
    enum Kind { Sqlite, Postgres };
    Kind Type = Sqlite;
    QString Path;   // Sqlite: the database file
    QByteArray Uri; // Postgres: the URI as given (it holds no password)
    QString Text;   // as given, for messages

    // nullopt with the reason in `error` for a URL that is no store or carries a password.
    static std::optional<TkxStoreUrl> Parse(const QString& text, QString* error);
};

// One value bound to a statement.
struct TkxSqlValue {
    // Timestamp: Int holds TimestampMsecs' milliseconds; it goes as TimestampChars' text, made
    // where it is bound instead of in a string per value. Utf8: a text already in the form
    // stored (valid UTF-8 without NUL), in Bytes.
    enum Type : quint8 { Null, Integer, Text, Blob, Timestamp, Utf8 };
    Type Kind = Null;
    qint64 Int = 0;
    QByteArray Bytes; // Blob: any bytes
    // Text, without NUL: kept as it is until bound, since SQLite takes it as UTF-16 and only
    // libpq needs UTF-8.
    QString String;

    static TkxSqlValue Of(qint64 v) { return {Integer, v, {}, {}}; }
    static TkxSqlValue OfText(QString text) { return {Text, 0, {}, std::move(text)}; }
    static TkxSqlValue OfBlob(const QByteArray& bytes) { return {Blob, 0, bytes, {}}; }
    static TkxSqlValue OfTimestamp(qint64 msecs) { return {Timestamp, msecs, {}, {}}; }
    static TkxSqlValue OfUtf8(const QByteArray& text) { return {Utf8, 0, text, {}}; }
};

// Milliseconds since 1899-12-30 (up to 9999-12-31) as "YYYY-MM-DD HH:MM:SS.mmm" in `out`;
// false, with nothing written, past the year 9999.
constexpr int TimestampChars = 23;
bool FormatTimestamp(qint64 msecs, char (&out)[TimestampChars]);
using TkxSqlParams = std::vector<TkxSqlValue>;

// One row read: every column as bytes (numbers and booleans as decimal text, 0 or 1 for a
// boolean, timestamps as "YYYY-MM-DD HH:MM:SS[.fff]", blobs as they are), nullopt for NULL.
class TkxSqlRow {
public:
    std::vector<std::optional<QByteArray>> Columns;

    bool IsNull(size_t i) const { return !Columns.at(i).has_value(); }
    QByteArray Bytes(size_t i) const { return Columns.at(i).value_or(QByteArray()); }
    QString Text(size_t i) const { return Utf8Text(Bytes(i)); }
    qint64 Int(size_t i) const { return Bytes(i).toLongLong(); }
};

class TkxSqlSession {
public:
    virtual ~TkxSqlSession() = default;
    virtual TkxStoreUrl::Kind Dialect() const = 0;
    // A statement without parameters (schema, transactions). Throws EkxError with the reason.
    virtual void Exec(const QString& sql) = 0;
    // A statement with parameters; every row of its result goes to `row` as it arrives.
    virtual void Query(const QString& sql, const TkxSqlParams& params,
                       const std::function<void(const TkxSqlRow&)>& row = {}) = 0;
    // One statement for many parameter sets, in order; inside a transaction.
    virtual void ExecMany(const QString& sql, const std::vector<TkxSqlParams>& sets) = 0;
    // PostgreSQL only: a COPY ... FROM STDIN and the data it reads, inside a transaction.
    virtual void CopyIn(const QString& sql, const QByteArray& data) = 0;
    // Starts a transaction that writes: SQLite takes the write lock at once, so two writers
    // queue at the start instead of one failing halfway.
    virtual void BeginWrite() = 0;
};

// Connects; throws EkxError with the reason. The session belongs to the calling thread.
std::unique_ptr<TkxSqlSession> OpenSqlSession(const TkxStoreUrl& url);
