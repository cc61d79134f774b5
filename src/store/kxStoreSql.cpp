#include "store/kxStoreSql.h"

#include "model/kxErrors.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <map>

namespace {

// --- PostgreSQL through libpq

constexpr Oid BoolOid = 16;
constexpr Oid ByteaOid = 17;
// Statements sent before their results are read: the replies of this many fit in the socket
// buffers many times over, so sending never waits for a server that waits for us to read.
constexpr size_t PipelineChunk = 512;

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

// --- SQLite through Qt SQL

std::atomic<int> SqliteConnections{0};

class TSqliteSession : public TkxSqlSession {
public:
    explicit TSqliteSession(const TkxStoreUrl& url)
        : Name(QStringLiteral("orvane-store-%1").arg(++SqliteConnections)) {
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
            throw EkxError(
                QStringLiteral("Qt SQL has no SQLite driver here (package libqt6sql6-sqlite)"));
        // A FIFO or a device would hang or be destroyed: a store is a regular file.
        const QFileInfo info(url.Path);
        if (info.exists() && !info.isFile())
            throw EkxError(QStringLiteral("%1 is not a regular file").arg(url.Path));
        if (!info.exists() && !info.absoluteDir().exists())
            throw EkxError(QStringLiteral("the folder of %1 does not exist").arg(url.Path));
        Db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
        Db.setDatabaseName(url.Path);
        // Writers of several processes take turns: one waits for the other's transaction.
        Db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=60000"));
        if (!Db.open()) {
            const QString reason = Db.lastError().text();
            Close();
            throw EkxError(reason);
        }
        try {
            // Readers never block the writers; WAL may be refused while another process
            // switches it on at the same moment, which is just as good.
            QSqlQuery(Db).exec(QStringLiteral("PRAGMA journal_mode = WAL"));
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
        QSqlQuery q(Db);
        if (!q.exec(sql))
            throw EkxError(q.lastError().text());
    }

    void BeginWrite() override { Exec(QStringLiteral("BEGIN IMMEDIATE")); }

    void Query(const QString& sql, const TkxSqlParams& params,
               const std::function<void(const TkxSqlRow&)>& row) override {
        QSqlQuery& q = Prepared(sql);
        Bind(q, params);
        // A statement left open keeps its read lock: finish it whatever happens.
        struct TFinish {
            QSqlQuery& Q;
            ~TFinish() { Q.finish(); }
        } finish{q};
        if (!q.exec())
            throw EkxError(q.lastError().text());
        TkxSqlRow out;
        while (q.next()) {
            if (!row)
                continue;
            const QSqlRecord record = q.record();
            out.Columns.assign(size_t(record.count()), std::nullopt);
            for (int c = 0; c < record.count(); ++c) {
                const QVariant v = q.value(c);
                if (v.isNull())
                    continue;
                if (v.typeId() == QMetaType::QByteArray)
                    out.Columns[size_t(c)] = v.toByteArray();
                else if (v.typeId() == QMetaType::QString)
                    out.Columns[size_t(c)] = v.toString().toUtf8();
                else
                    out.Columns[size_t(c)] = v.toString().toUtf8();
            }
            row(out);
        }
        if (q.lastError().isValid())
            throw EkxError(q.lastError().text());
    }

    void ExecMany(const QString& sql, const std::vector<TkxSqlParams>& sets) override {
        if (sets.empty())
            return;
        QSqlQuery& q = Prepared(sql);
        for (const TkxSqlParams& params : sets) {
            Bind(q, params);
            if (!q.exec())
                throw EkxError(q.lastError().text());
        }
        q.finish();
    }

private:
    QSqlQuery& Prepared(const QString& sql) {
        auto it = Statements.find(sql);
        if (it != Statements.end())
            return *it->second;
        auto q = std::make_unique<QSqlQuery>(Db);
        q->setForwardOnly(true);
        if (!q->prepare(sql))
            throw EkxError(q->lastError().text());
        return *Statements.emplace(sql, std::move(q)).first->second;
    }

    static void Bind(QSqlQuery& q, const TkxSqlParams& params) {
        for (size_t i = 0; i < params.size(); ++i) {
            const TkxSqlValue& v = params[i];
            QVariant value;
            switch (v.Kind) {
            case TkxSqlValue::Null:
                break;
            case TkxSqlValue::Integer:
                value = QVariant(qlonglong(v.Int));
                break;
            // A null QString or QByteArray would be bound as NULL: an empty text is not that.
            case TkxSqlValue::Text:
                value = v.String.isEmpty() ? QVariant(QStringLiteral(""))
                                           : QVariant(Utf8Safe(v.String));
                break;
            case TkxSqlValue::Blob:
                value = QVariant(v.Bytes.isEmpty() ? QByteArray("") : v.Bytes);
                break;
            }
            q.bindValue(int(i), value);
        }
    }

    // What a trip through UTF-8 leaves of the text, as libpq gets it: an unpaired surrogate
    // becomes a replacement character instead of whatever SQLite would make of it.
    static QString Utf8Safe(const QString& text) {
        const bool plain =
            std::none_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); });
        return plain ? text : QString::fromUtf8(text.toUtf8());
    }

    void Close() {
        Statements.clear();
        if (Db.isValid())
            Db.close();
        Db = QSqlDatabase();
        QSqlDatabase::removeDatabase(Name);
    }

    QString Name;
    QSqlDatabase Db;
    std::map<QString, std::unique_ptr<QSqlQuery>> Statements;
};

} // namespace

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
    return std::make_unique<TSqliteSession>(url);
}
