#include "store/kxStoreSql.h"

#include "model/kxDates.h"
#include "model/kxErrors.h"
#include "model/kxUtf8.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>

namespace {

// --- PostgreSQL through libpq

constexpr Oid BoolOid = 16;
constexpr Oid ByteaOid = 17;
// Statements sent before their results are read: the replies of this many fit in the socket
// buffers many times over, so sending never waits for a server that waits for us to read.
constexpr size_t PipelineChunk = 512;
// COPY's data goes in pieces of this size: libpq buffers what it is given.
constexpr qsizetype CopyChunk = 256 * 1024;

QString PgText(const char* text) {
    return QString::fromUtf8(text).trimmed();
}

// "... ? ... ?" becomes "... $1 ... $2". Our statements hold no '?' of their own.
QByteArray Numbered(const QString& sql) {
    QByteArray out;
    int n = 0;
    for (const char c : sql.toUtf8()) {
        if (c == '?')
            out += '$' + QByteArray::number(++n);
        else
            out += c;
    }
    return out;
}

class TPgResult {
public:
    explicit TPgResult(PGresult* r = nullptr) : R(r) {}
    ~TPgResult() { PQclear(R); }
    TPgResult(const TPgResult&) = delete;
    TPgResult& operator=(const TPgResult&) = delete;
    PGresult* get() const { return R; }

private:
    PGresult* R;
};

// Parameters in the form libpq takes them, alive as long as this object.
struct TPgParams {
    std::vector<QByteArray> Owned; // numbers and texts converted here
    std::vector<const char*> Values;
    std::vector<int> Lengths, Formats;

    explicit TPgParams(const TkxSqlParams& params) {
        Owned.reserve(params.size());
        for (const TkxSqlValue& v : params) {
            switch (v.Kind) {
            case TkxSqlValue::Null:
                Values.push_back(nullptr);
                Lengths.push_back(0);
                Formats.push_back(0);
                break;
            case TkxSqlValue::Integer:
                Owned.push_back(QByteArray::number(v.Int));
                Values.push_back(Owned.back().constData());
                Lengths.push_back(0);
                Formats.push_back(0);
                break;
            case TkxSqlValue::Text:
                Owned.push_back(v.String.toUtf8());
                Values.push_back(Owned.back().constData());
                Lengths.push_back(int(Owned.back().size()));
                Formats.push_back(0);
                break;
            case TkxSqlValue::Timestamp: {
                char text[TimestampChars];
                Owned.push_back(FormatTimestamp(v.Int, text) ? QByteArray(text, TimestampChars)
                                                             : QByteArray(""));
                Values.push_back(Owned.back().constData());
                Lengths.push_back(int(Owned.back().size()));
                Formats.push_back(0);
                break;
            }
            case TkxSqlValue::Utf8:
                // libpq reads a text parameter up to its NUL, which bytes borrowed from a record
                // lack: a copy has one.
                Owned.push_back(QByteArray(v.Bytes.constData(), v.Bytes.size()));
                Values.push_back(Owned.back().constData());
                Lengths.push_back(int(Owned.back().size()));
                Formats.push_back(0);
                break;
            case TkxSqlValue::Blob:
                // A blob goes in binary form: bytes exactly as they are.
                Values.push_back(v.Bytes.constData());
                Lengths.push_back(int(v.Bytes.size()));
                Formats.push_back(1);
                break;
            }
        }
    }
    int Count() const { return int(Values.size()); }
};

class TPgSession : public TkxSqlSession {
public:
    explicit TPgSession(const TkxStoreUrl& url) {
        // A dead peer shows within about half a minute instead of the kernel's two hours, so a
        // lost server ends a write instead of holding the run for ever. The URI's own options
        // come later and win; the encoding is ours.
        const char* keys[] = {"connect_timeout",  "keepalives",
                              "keepalives_idle",  "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout",
                              "application_name", "dbname",
                              "client_encoding",  nullptr};
        const char* values[] = {"10",   "1",     "10",          "5",
                                "3",    "30000", "orvane-scan", url.Uri.constData(),
                                "UTF8", nullptr};
        Conn = PQconnectdbParams(keys, values, 1);
        if (!Conn)
            throw EkxError(QStringLiteral("out of memory"));
        if (PQstatus(Conn) != CONNECTION_OK) {
            const QString reason = PgText(PQerrorMessage(Conn));
            PQfinish(Conn);
            Conn = nullptr;
            throw EkxError(reason);
        }
        // Times in a form every reader parses, whatever the server's defaults.
        Exec(QStringLiteral("SET datestyle = 'ISO, YMD'"));
        Exec(QStringLiteral("SET timezone = 'UTC'"));
    }
    ~TPgSession() override {
        if (Conn)
            PQfinish(Conn);
    }

    TkxStoreUrl::Kind Dialect() const override { return TkxStoreUrl::Postgres; }

    void Exec(const QString& sql) override {
        const TPgResult r(PQexec(Conn, sql.toUtf8().constData()));
        Check(r.get());
    }

    void BeginWrite() override { Exec(QStringLiteral("BEGIN")); }

    void Query(const QString& sql, const TkxSqlParams& params,
               const std::function<void(const TkxSqlRow&)>& row) override {
        const QByteArray name = Prepared(sql);
        const TPgParams p(params);
        if (!PQsendQueryPrepared(Conn, name.constData(), p.Count(), p.Values.data(),
                                 p.Lengths.data(), p.Formats.data(), 0))
            throw EkxError(PgText(PQerrorMessage(Conn)));
        // One row at a time: a scan of millions of nodes never sits in memory twice.
        PQsetSingleRowMode(Conn);
        QString error;
        TkxSqlRow out;
        while (PGresult* raw = PQgetResult(Conn)) {
            const TPgResult r(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_SINGLE_TUPLE) {
                if (row && error.isEmpty()) {
                    RowOf(raw, out);
                    try {
                        row(out);
                    } catch (const std::exception& e) {
                        error = ErrorMessage(e);
                    }
                }
            } else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && error.isEmpty()) {
                error = PgText(PQresultErrorMessage(raw));
            }
        }
        if (error.isEmpty() && PQstatus(Conn) == CONNECTION_BAD)
            error = PgText(PQerrorMessage(Conn));
        if (!error.isEmpty())
            throw EkxError(error);
    }

    void ExecMany(const QString& sql, const std::vector<TkxSqlParams>& sets) override {
        if (sets.empty())
            return;
        const QByteArray name = Prepared(sql);
        if (!PQenterPipelineMode(Conn))
            throw EkxError(PgText(PQerrorMessage(Conn)));
        for (size_t start = 0; start < sets.size(); start += PipelineChunk) {
            const size_t end = std::min(sets.size(), start + PipelineChunk);
            for (size_t i = start; i < end; ++i) {
                const TPgParams p(sets[i]);
                if (!PQsendQueryPrepared(Conn, name.constData(), p.Count(), p.Values.data(),
                                         p.Lengths.data(), p.Formats.data(), 0))
                    throw EkxError(PgText(PQerrorMessage(Conn)));
            }
            if (!PQpipelineSync(Conn))
                throw EkxError(PgText(PQerrorMessage(Conn)));
            ReadPipeline();
        }
        if (!PQexitPipelineMode(Conn))
            throw EkxError(PgText(PQerrorMessage(Conn)));
    }

    void CopyIn(const QString& sql, const QByteArray& data) override {
        {
            const TPgResult r(PQexec(Conn, sql.toUtf8().constData()));
            if (!r.get() || PQresultStatus(r.get()) != PGRES_COPY_IN) {
                Check(r.get());
                throw EkxError(QStringLiteral("the server did not take the rows"));
            }
        }
        QString error;
        for (qsizetype at = 0; at < data.size() && error.isEmpty(); at += CopyChunk) {
            const int size = int(std::min<qsizetype>(CopyChunk, data.size() - at));
            if (PQputCopyData(Conn, data.constData() + at, size) != 1)
                error = PgText(PQerrorMessage(Conn));
        }
        // Ended either way, so that the connection leaves the copy and a rollback can follow.
        if (PQputCopyEnd(Conn, error.isEmpty() ? nullptr : "the rows could not be sent") != 1 &&
            error.isEmpty())
            error = PgText(PQerrorMessage(Conn));
        while (PGresult* raw = PQgetResult(Conn)) {
            const TPgResult r(raw);
            if (PQresultStatus(raw) != PGRES_COMMAND_OK && error.isEmpty())
                error = PgText(PQresultErrorMessage(raw));
        }
        if (!error.isEmpty())
            throw EkxError(error);
    }

private:
    void Check(PGresult* r) const {
        const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return;
        throw EkxError(r ? PgText(PQresultErrorMessage(r)) : PgText(PQerrorMessage(Conn)));
    }

    // The results up to the next sync; the first error is thrown once all are read.
    void ReadPipeline() {
        QString error;
        for (;;) {
            PGresult* raw = PQgetResult(Conn);
            if (!raw) {
                // Between the results of two statements; on a dead connection for ever.
                if (PQstatus(Conn) == CONNECTION_BAD)
                    throw EkxError(error.isEmpty() ? PgText(PQerrorMessage(Conn)) : error);
                continue;
            }
            const TPgResult r(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_PIPELINE_SYNC)
                break;
            if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && error.isEmpty())
                error = PgText(PQresultErrorMessage(raw));
        }
        if (!error.isEmpty())
            throw EkxError(error);
    }

    QByteArray Prepared(const QString& sql) {
        auto it = Statements.find(sql);
        if (it != Statements.end())
            return it->second;
        const QByteArray name = "orvane_" + QByteArray::number(qulonglong(Statements.size() + 1));
        const TPgResult r(PQprepare(Conn, name.constData(), Numbered(sql).constData(), 0, nullptr));
        Check(r.get());
        Statements.emplace(sql, name);
        return name;
    }

    static void RowOf(const PGresult* r, TkxSqlRow& out) {
        const int n = PQnfields(r);
        out.Columns.assign(size_t(n), std::nullopt);
        for (int c = 0; c < n; ++c) {
            if (PQgetisnull(r, 0, c))
                continue;
            const char* value = PQgetvalue(r, 0, c);
            const Oid type = PQftype(r, c);
            if (type == BoolOid) {
                out.Columns[size_t(c)] = QByteArray(value[0] == 't' ? "1" : "0");
            } else if (type == ByteaOid) {
                size_t length = 0;
                unsigned char* bytes =
                    PQunescapeBytea(reinterpret_cast<const unsigned char*>(value), &length);
                if (!bytes)
                    throw EkxError(QStringLiteral("out of memory"));
                out.Columns[size_t(c)] =
                    QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(length));
                PQfreemem(bytes);
            } else {
                out.Columns[size_t(c)] = QByteArray(value, PQgetlength(r, 0, c));
            }
        }
    }

    PGconn* Conn = nullptr;
    std::map<QString, QByteArray> Statements;
};

// --- SQLite through its C API

// A prepared statement, kept for the session's life.
class TSqliteStatement {
public:
    explicit TSqliteStatement(sqlite3_stmt* s) : S(s) {}
    ~TSqliteStatement() { sqlite3_finalize(S); }
    TSqliteStatement(const TSqliteStatement&) = delete;
    TSqliteStatement& operator=(const TSqliteStatement&) = delete;
    sqlite3_stmt* get() const { return S; }

private:
    sqlite3_stmt* S;
};

// With room for its texts in UTF-8, one per parameter, kept from row to row.
struct TSqlitePrepared {
    explicit TSqlitePrepared(sqlite3_stmt* s) : Statement(s) {}
    TSqliteStatement Statement;
    std::vector<std::string> Texts;
};

// Back to its start with nothing bound, whatever happened: a statement left mid-way keeps its
// read lock, and a bound text points into parameters that die with the call.
struct TSqliteRewind {
    sqlite3_stmt* S;
    ~TSqliteRewind() {
        sqlite3_reset(S);
        sqlite3_clear_bindings(S);
    }
};

class TSqliteSession : public TkxSqlSession {
public:
    explicit TSqliteSession(const TkxStoreUrl& url) {
        // A FIFO or a device would hang or be destroyed: a store is a regular file.
        const QFileInfo info(url.Path);
        if (info.exists() && !info.isFile())
            throw EkxError(QStringLiteral("%1 is not a regular file").arg(url.Path));
        if (!info.exists() && !info.absoluteDir().exists())
            throw EkxError(QStringLiteral("the folder of %1 does not exist").arg(url.Path));
        // The path names a file, never a URI with options of its own.
        QByteArray path = QFile::encodeName(url.Path);
        if (path.startsWith("file:"))
            path.prepend("./");
        // The session belongs to one thread: SQLite's own locks would only cost.
        const int rc = sqlite3_open_v2(
            path.constData(), &Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
            nullptr);
        if (rc != SQLITE_OK) {
            const QString reason = Db ? Message() : QStringLiteral("out of memory");
            sqlite3_close(Db);
            Db = nullptr;
            throw EkxError(reason);
        }
        // Writers of several processes take turns: one waits for the other's transaction.
        sqlite3_busy_timeout(Db, 60000);
        try {
            // Readers never block the writers; WAL may be refused while another process
            // switches it on at the same moment, which is just as good.
            try {
                Exec(QStringLiteral("PRAGMA journal_mode = WAL"));
            } catch (const EkxError&) {
                NoteSwallowed("store journal mode");
            }
            Exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
            Exec(QStringLiteral("PRAGMA foreign_keys = ON"));
        } catch (...) {
            Close();
            throw;
        }
    }
    ~TSqliteSession() override { Close(); }

    TkxStoreUrl::Kind Dialect() const override { return TkxStoreUrl::Sqlite; }

    void Exec(const QString& sql) override {
        sqlite3_stmt* raw = nullptr;
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v2(Db, text.constData(), int(text.size()), &raw, nullptr) != SQLITE_OK)
            throw EkxError(Message());
        const TSqliteStatement s(raw);
        if (!raw)
            return; // nothing but a comment
        int rc;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE)
            throw EkxError(Message());
    }

    void BeginWrite() override { Exec(QStringLiteral("BEGIN IMMEDIATE")); }

    void CopyIn(const QString&, const QByteArray&) override {
        throw EkxError(QStringLiteral("SQLite has no COPY"));
    }

    void Query(const QString& sql, const TkxSqlParams& params,
               const std::function<void(const TkxSqlRow&)>& row) override {
        TSqlitePrepared& p = Prepared(sql);
        sqlite3_stmt* s = p.Statement.get();
        const TSqliteRewind rewind{s};
        Bind(p, params);
        TkxSqlRow out;
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            if (!row)
                continue;
            RowOf(s, out);
            row(out);
        }
        if (rc != SQLITE_DONE)
            throw EkxError(Message());
    }

    void ExecMany(const QString& sql, const std::vector<TkxSqlParams>& sets) override {
        if (sets.empty())
            return;
        TSqlitePrepared& p = Prepared(sql);
        sqlite3_stmt* s = p.Statement.get();
        const TSqliteRewind rewind{s};
        for (const TkxSqlParams& params : sets) {
            Bind(p, params);
            int rc;
            while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            }
            if (rc != SQLITE_DONE)
                throw EkxError(Message());
            sqlite3_reset(s);
        }
    }

private:
    QString Message() const { return QString::fromUtf8(sqlite3_errmsg(Db)); }

    TSqlitePrepared& Prepared(const QString& sql) {
        auto it = Statements.find(sql);
        if (it != Statements.end())
            return *it->second;
        sqlite3_stmt* raw = nullptr;
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v3(Db, text.constData(), int(text.size()), SQLITE_PREPARE_PERSISTENT,
                               &raw, nullptr) != SQLITE_OK)
            throw EkxError(Message());
        auto s = std::make_unique<TSqlitePrepared>(raw);
        if (!raw)
            throw EkxError(QStringLiteral("an empty statement"));
        s->Texts.resize(size_t(sqlite3_bind_parameter_count(raw)));
        return *Statements.emplace(sql, std::move(s)).first->second;
    }

    // Texts go as UTF-8 made in the statement's buffers (SQLite stores UTF-8), blobs as they are;
    // bound without a copy, since the parameters and buffers outlive the statement's run.
    void Bind(TSqlitePrepared& p, const TkxSqlParams& params) {
        sqlite3_stmt* s = p.Statement.get();
        if (params.size() != p.Texts.size())
            throw EkxError(QStringLiteral("a statement got %1 values for %2 parameters")
                               .arg(params.size())
                               .arg(p.Texts.size()));
        static const char16_t NoText[] = u"";
        static const char NoBytes[] = "";
        for (size_t i = 0; i < params.size(); ++i) {
            const TkxSqlValue& v = params[i];
            const int at = int(i) + 1;
            int rc = SQLITE_OK;
            switch (v.Kind) {
            case TkxSqlValue::Null:
                rc = sqlite3_bind_null(s, at);
                break;
            case TkxSqlValue::Integer:
                rc = sqlite3_bind_int64(s, at, v.Int);
                break;
            // A null pointer would bind NULL: an empty text or blob is not that.
            case TkxSqlValue::Text:
                if (v.String.isEmpty()) {
                    rc = sqlite3_bind_text16(s, at, NoText, 0, SQLITE_STATIC);
                } else if (HasSurrogate(v.String)) {
                    // A lone surrogate can not be stored as UTF-8: it becomes a replacement, and
                    // verbatim keeps the exact text. Never bound as UTF-16, where SQLite would
                    // take a leading U+FEFF or U+FFFE for a byte order mark (dropping the one,
                    // reading the text byte-swapped after the other).
                    const QByteArray safe = v.String.toUtf8();
                    rc = sqlite3_bind_text(s, at, safe.constData(), int(safe.size()),
                                           SQLITE_TRANSIENT);
                } else {
                    std::string& out = p.Texts[i];
                    out.resize(size_t(v.String.size()) * 3);
                    char* end = out.data();
                    for (const QChar c : v.String)
                        PutUtf8(char32_t(c.unicode()), end);
                    rc = sqlite3_bind_text(s, at, out.data(), int(end - out.data()), SQLITE_STATIC);
                }
                break;
            case TkxSqlValue::Timestamp: {
                std::string& out = p.Texts[i];
                char text[TimestampChars];
                if (FormatTimestamp(v.Int, text))
                    out.assign(text, TimestampChars);
                else
                    out.clear();
                rc = sqlite3_bind_text(s, at, out.empty() ? NoBytes : out.data(), int(out.size()),
                                       SQLITE_STATIC);
                break;
            }
            case TkxSqlValue::Utf8:
                rc = sqlite3_bind_text(s, at, v.Bytes.isEmpty() ? NoBytes : v.Bytes.constData(),
                                       int(v.Bytes.size()), SQLITE_STATIC);
                break;
            case TkxSqlValue::Blob:
                rc = sqlite3_bind_blob(s, at, v.Bytes.isEmpty() ? NoBytes : v.Bytes.constData(),
                                       int(v.Bytes.size()), SQLITE_STATIC);
                break;
            }
            if (rc != SQLITE_OK)
                throw EkxError(Message());
        }
    }

    // A text with surrogates goes as a trip through UTF-8 leaves it, as libpq gets it: an
    // unpaired one becomes what Qt makes of it instead of whatever SQLite would.
    static bool HasSurrogate(const QString& text) {
        // Without a branch per character: most texts have none, and are read to the end.
        const auto* s = text.utf16();
        bool any = false;
        for (qsizetype i = 0, n = text.size(); i < n; ++i)
            any |= (s[i] & 0xf800) == 0xd800;
        return any;
    }

    // Texts are handed on as the UTF-8 stored, numbers as their decimal text.
    static void RowOf(sqlite3_stmt* s, TkxSqlRow& out) {
        const int n = sqlite3_column_count(s);
        out.Columns.assign(size_t(n), std::nullopt);
        for (int c = 0; c < n; ++c) {
            std::optional<QByteArray>& column = out.Columns[size_t(c)];
            switch (sqlite3_column_type(s, c)) {
            case SQLITE_NULL:
                break;
            case SQLITE_INTEGER:
                column = QByteArray::number(sqlite3_column_int64(s, c));
                break;
            case SQLITE_FLOAT:
                column = QString::number(sqlite3_column_double(s, c), 'g',
                                         QLocale::FloatingPointShortest)
                             .toUtf8();
                break;
            case SQLITE_BLOB: {
                const char* bytes = static_cast<const char*>(sqlite3_column_blob(s, c));
                column = QByteArray(bytes, sqlite3_column_bytes(s, c));
                break;
            }
            default: {
                // The stored bytes themselves: through UTF-16 SQLite would turn U+FFFE and
                // U+FFFF into U+FFFD.
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
                column = QByteArray(text, sqlite3_column_bytes(s, c));
                break;
            }
            }
        }
    }

    void Close() {
        Statements.clear();
        if (Db)
            sqlite3_close(Db);
        Db = nullptr;
    }

    sqlite3* Db = nullptr;
    std::map<QString, std::unique_ptr<TSqlitePrepared>> Statements;
};

} // namespace

// Plain arithmetic on the wall-clock days: a QDateTime in local time would ask the time zone
// for every node, and formatting through printf costs more than the rest of the row.
bool FormatTimestamp(qint64 msecs, char (&text)[TimestampChars]) {
    constexpr qint64 MSecsPerDay = 86400000;
    const qint64 whole = msecs / MSecsPerDay, ms = msecs % MSecsPerDay;
    const auto put = [&text](int at, int value, int width) {
        for (int i = at + width - 1; i >= at; --i, value /= 10)
            text[i] = char('0' + value % 10);
    };
    // The files of a folder mostly share their days: the date's text is made once for a run of
    // them.
    thread_local qint64 lastDay = std::numeric_limits<qint64>::min();
    thread_local char lastDate[10];
    if (whole != lastDay) {
        const TkxCivilDate date = CivilFromDay(whole);
        if (date.Year > 9999)
            return false;
        put(0, date.Year, 4);
        text[4] = '-';
        put(5, date.Month, 2);
        text[7] = '-';
        put(8, date.Day, 2);
        std::memcpy(lastDate, text, sizeof lastDate);
        lastDay = whole;
    } else {
        std::memcpy(text, lastDate, sizeof lastDate);
    }
    text[10] = ' ';
    put(11, int(ms / 3600000), 2);
    text[13] = ':';
    put(14, int(ms / 60000 % 60), 2);
    text[16] = ':';
    put(17, int(ms / 1000 % 60), 2);
    text[19] = '.';
    put(20, int(ms % 1000), 3);
    return true;
}

std::optional<TkxStoreUrl> TkxStoreUrl::Parse(const QString& text, QString* error) {
    auto fail = [&](const QString& reason) -> std::optional<TkxStoreUrl> {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    TkxStoreUrl url;
    url.Text = text;
    if (text.startsWith(QLatin1String("sqlite:"))) {
        url.Type = Sqlite;
        url.Path = text.mid(7);
        if (url.Path.isEmpty())
            return fail(QStringLiteral("sqlite: needs the path of a database file"));
        return url;
    }
    if (!text.startsWith(QLatin1String("postgresql://")) &&
        !text.startsWith(QLatin1String("postgres://")))
        return fail(QStringLiteral("a store is sqlite:PATH or postgresql://USER@HOST:PORT/DB"));
    url.Type = Postgres;
    url.Uri = text.toUtf8();
    if (url.Uri.contains('\0'))
        return fail(QStringLiteral("the URL holds a NUL character"));
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.Uri.constData(), &message);
    if (!options) {
        const QString reason =
            message ? PgText(message) : QStringLiteral("the URL can not be read");
        PQfreemem(message);
        return fail(reason);
    }
    bool password = false;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        if (qstrcmp(o->keyword, "password") == 0 && o->val && *o->val)
            password = true;
    }
    PQconninfoFree(options);
    // A password on the command line is seen by every user of the machine (ps, /proc).
    if (password)
        return fail(QStringLiteral("the URL holds a password: give it in PGPASSWORD or "
                                   "~/.pgpass, never on the command line"));
    return url;
}

std::unique_ptr<TkxSqlSession> OpenSqlSession(const TkxStoreUrl& url) {
    if (url.Type == TkxStoreUrl::Postgres)
        return std::make_unique<TPgSession>(url);
    // SQLite counts its memory under a global lock unless told not to before its first use: a
    // writer took that lock for every allocation, and nothing here reads the counts.
    static std::once_flag once;
    std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
    return std::make_unique<TSqliteSession>(url);
}
