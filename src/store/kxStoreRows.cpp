#include "store/kxStoreRows.h"

#include "model/kxDates.h"
#include "model/kxUtf8.h"
#include "storage/kxProjectFile.h"

#include <QDate>
#include <QTime>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <iterator>

namespace {

const char* const NodeColumns = "run, id, parent, kind, name, address, size, created, edited, "
                                "accessed, matched, has_match, scanned, failure, part, verbatim";
constexpr int NodeColumnCount = 16;

// "(?, ?, ?), (?, ?, ?)": `rows` rows of `row`.
QString RowsOf(const QString& row, int rows) {
    QString out;
    out.reserve((row.size() + 2) * rows);
    for (int i = 0; i < rows; ++i) {
        if (i > 0)
            out += QLatin1String(", ");
        out += row;
    }
    return out;
}

QString Placeholders(int columns) {
    QString row = QStringLiteral("(?");
    for (int i = 1; i < columns; ++i)
        row += QLatin1String(", ?");
    return row + u')';
}

QString NodeUpsertSql(int rows) {
    return QStringLiteral("INSERT INTO nodes (%1) VALUES %2 "
                          "ON CONFLICT (run, id) DO UPDATE SET parent = excluded.parent, "
                          "kind = excluded.kind, name = excluded.name, "
                          "address = excluded.address, size = excluded.size, "
                          "created = excluded.created, edited = excluded.edited, "
                          "accessed = excluded.accessed, matched = excluded.matched, "
                          "has_match = excluded.has_match, scanned = excluded.scanned, "
                          "failure = excluded.failure, part = excluded.part, "
                          "verbatim = excluded.verbatim")
        .arg(QLatin1String(NodeColumns), RowsOf(Placeholders(NodeColumnCount), rows));
}

QString NodeUpdateSql(int rows) {
    if (rows == 1)
        return QStringLiteral("UPDATE nodes SET name = ?, matched = ?, has_match = ?, "
                              "scanned = ?, failure = ?, verbatim = ? WHERE run = ? AND id = ?");
    // The casts give the values' rows the columns' types.
    return QStringLiteral("UPDATE nodes AS n SET name = v.name, matched = v.matched, "
                          "has_match = v.has_match, scanned = v.scanned, failure = v.failure, "
                          "verbatim = v.verbatim FROM (VALUES %1) "
                          "AS v (name, matched, has_match, scanned, failure, verbatim, run, id) "
                          "WHERE n.run = v.run AND n.id = v.id")
        .arg(RowsOf(QStringLiteral("(?::text, ?::boolean, ?::boolean, ?::boolean, ?::text, "
                                   "?::bytea, ?::bigint, ?::integer)"),
                    rows));
}

// The statement for `rows` rows at once, made once per size.
struct TMultiRow {
    std::vector<std::pair<int, QString>> Sizes; // largest first, the last of one row

    TMultiRow(std::initializer_list<int> sizes, QString (*sql)(int)) {
        for (const int n : sizes)
            Sizes.emplace_back(n, sql(n));
    }
};

QString NodeMarksSql(int rows) {
    return QStringLiteral("UPDATE nodes SET matched = ?, has_match = ?, scanned = ? "
                          "WHERE run = ? AND id IN (%1)")
        .arg(RowsOf(QStringLiteral("?"), rows));
}

// Rows as many to a statement as the largest size takes, the rest in smaller ones: a few
// prepared statements serve any count. `head` goes before the rows of each statement.
void WriteRows(TkxSqlSession& session, std::vector<TkxSqlParams>& rows, const TMultiRow& sql,
               const TkxSqlParams& head = {}) {
    size_t at = 0;
    for (const auto& [size, text] : sql.Sizes) {
        if (size == 1 && head.empty()) {
            // The rows are the statements' values as they stand.
            rows.erase(rows.begin(), rows.begin() + qsizetype(at));
            session.ExecMany(text, rows);
            return;
        }
        std::vector<TkxSqlParams> sets;
        while (rows.size() - at >= size_t(size)) {
            TkxSqlParams joined = head;
            joined.reserve(head.size() + size_t(size) * rows[at].size());
            for (size_t end = at + size_t(size); at < end; ++at)
                std::move(rows[at].begin(), rows[at].end(), std::back_inserter(joined));
            sets.push_back(std::move(joined));
        }
        session.ExecMany(text, sets);
    }
}

} // namespace

void WriteNodes(TkxSqlSession& session, std::vector<TkxSqlParams>& rows) {
    // PostgreSQL takes up to 65,535 parameters. SQLite runs a statement in the calling thread
    // without a round trip, and an upsert looks up its row however many share the statement:
    // one row each (new rows, which need no look-up, go through TkxNodeRows).
    static const TMultiRow Postgres({256, 16, 1}, NodeUpsertSql);
    static const TMultiRow Sqlite({1}, NodeUpsertSql);
    WriteRows(session, rows, session.Dialect() == TkxStoreUrl::Postgres ? Postgres : Sqlite);
}

void WriteNodeChanges(TkxSqlSession& session, std::vector<TkxSqlParams>& rows) {
    // One row each for SQLite, as above (and UPDATE ... FROM would need SQLite 3.33).
    static const TMultiRow Postgres({256, 16, 1}, NodeUpdateSql);
    static const TMultiRow Sqlite({1}, NodeUpdateSql);
    WriteRows(session, rows, session.Dialect() == TkxStoreUrl::Postgres ? Postgres : Sqlite);
}

void WriteNodeMarks(TkxSqlSession& session, qint64 run, const TkxInfo& marks,
                    const std::vector<quint32>& ids) {
    const TkxSqlParams head{TkxSqlValue::Of(marks.Matched != 0),
                            TkxSqlValue::Of(marks.HasMatch != 0),
                            TkxSqlValue::Of(marks.Scanned != 0), TkxSqlValue::Of(run)};
    if (session.Dialect() == TkxStoreUrl::Postgres) {
        // The ids as one array parameter: an IN list of parameters is an array built anew for
        // every row the server looks at.
        QString array = QStringLiteral("{");
        for (const quint32 id : ids) {
            if (array.size() > 1)
                array += u',';
            array += QString::number(id);
        }
        array += u'}';
        TkxSqlParams params = head;
        params.push_back(TkxSqlValue::OfText(array));
        session.Query(QStringLiteral("UPDATE nodes SET matched = ?, has_match = ?, scanned = ? "
                                     "WHERE run = ? AND id = ANY (?::integer[])"),
                      params);
        return;
    }
    static const TMultiRow Sqlite({16, 1}, NodeMarksSql);
    std::vector<TkxSqlParams> rows;
    rows.reserve(ids.size());
    for (const quint32 id : ids)
        rows.push_back({TkxSqlValue::Of(id)});
    WriteRows(session, rows, Sqlite, head);
}

void DeleteNodes(TkxSqlSession& session, std::vector<TkxSqlParams>& rows) {
    session.ExecMany(QStringLiteral("DELETE FROM nodes WHERE run = ? AND id = ?"), rows);
}

const char* const NodeSelectSql =
    "SELECT id, parent, kind, name, address, size, created, edited, accessed, matched, "
    "has_match, scanned, part, verbatim FROM nodes WHERE run = ? ORDER BY id";

namespace {

const QDate Epoch(1899, 12, 30);
constexpr qint64 MSecsPerDay = 86400000;

// A size as a whole number of bytes, when it is one that reads back as the same text.
std::optional<qint64> WholeSize(const TkxNumber& size) {
    switch (size.ValueType()) {
    case TkxField::Type::Number: {
        const double v = size.AsDouble();
        if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9.2e18)
            return qint64(v);
        return std::nullopt;
    }
    case TkxField::Type::Text: {
        // What the project reader would hold as a number.
        TkxInfo probe;
        SetProjectSize(probe, size.AsText().toUtf8());
        if (probe.Size.ValueType() == TkxField::Type::Number)
            return qint64(probe.Size.AsDouble());
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

// A time as days, when it is one (a text only when it is exactly the text of a time).
std::optional<double> TimeDays(const TkxDateTime& time) {
    switch (time.ValueType()) {
    case TkxField::Type::Date: {
        const double days = time.AsDouble();
        if (TimestampMsecs(days))
            return days;
        return std::nullopt;
    }
    case TkxField::Type::Text: {
        // Only a time a column can hold: any other stays in verbatim.
        const std::optional<double> days = TkxDateTexts::System().Parse(time.AsText());
        return days && TimestampMsecs(*days) ? days : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

// TimeDays' days are those TimestampMsecs takes.
TkxSqlValue TimeValue(const std::optional<double>& days) {
    return days ? TkxSqlValue::OfTimestamp(*TimestampMsecs(*days)) : TkxSqlValue();
}

// Columns hold no NUL (PostgreSQL's texts can not): the readable form shows U+FFFD instead,
// and verbatim keeps the exact text.
QString ColumnText(const QString& projectText) {
    QString text = projectText;
    text.replace(QChar(0), QChar(QChar::ReplacementCharacter));
    return text;
}

} // namespace

std::optional<qint64> TimestampMsecs(double days) {
    if (!std::isfinite(days) || days <= 0 || days > 2958465.0) // up to 9999-12-31
        return std::nullopt;
    double whole = std::trunc(days);
    qint64 msecs = std::llround((days - whole) * double(MSecsPerDay));
    if (msecs >= MSecsPerDay) {
        msecs -= MSecsPerDay;
        whole += 1;
    }
    if (whole > 2958465.0) // rounded into the year 10000
        return std::nullopt;
    return qint64(whole) * MSecsPerDay + msecs;
}

QString TimestampText(double days) {
    const std::optional<qint64> total = TimestampMsecs(days);
    char text[TimestampChars];
    if (!total || !FormatTimestamp(*total, text))
        return {};
    return QString::fromLatin1(text, TimestampChars);
}

std::optional<double> TimestampDays(QByteArrayView text) {
    // "YYYY-MM-DD HH:MM:SS" with an optional fraction of a second.
    if (text.size() < 19 || text[10] != ' ')
        return std::nullopt;
    const QDate date = QDate::fromString(QString::fromLatin1(text.first(10)), Qt::ISODate);
    const QTime time = QTime::fromString(QString::fromLatin1(text.sliced(11, 8)), Qt::ISODate);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    qint64 ms = time.msecsSinceStartOfDay();
    if (text.size() > 19) {
        if (text[19] != '.')
            return std::nullopt;
        QByteArray digits = text.sliced(20).toByteArray();
        if (digits.isEmpty() || digits.size() > 9)
            return std::nullopt;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
        }
        while (digits.size() < 3)
            digits += '0';
        // Written to the millisecond; more digits (a server's microseconds) are rounded.
        ms += std::llround(digits.toDouble() / std::pow(10.0, double(digits.size() - 3)));
    }
    return double(Epoch.daysTo(date)) + double(ms) / double(MSecsPerDay);
}

namespace {

// ProjectText, sharing a text that needs nothing replaced (most do not) instead of copying it.
QString ProjectTextOf(QString text) {
    const auto* s = text.utf16();
    bool plain = true;
    for (qsizetype i = 0, n = text.size(); i < n; ++i)
        plain &= s[i] != u'\r' && s[i] != u'\n' && (s[i] & 0xf800) != 0xd800;
    return plain ? text : ProjectText(text);
}

// A text column of a record: the bytes the record holds where a column takes them as they are
// (most do), else the project's text of it.
struct TText {
    QByteArrayView Plain;
    QString Text;
    bool IsPlain = false;

    explicit TText(const TkxField& field) {
        const QByteArrayView bytes = field.Utf8();
        // No NUL, line break or lone surrogate: those the project's text and the columns replace.
        IsPlain = !bytes.isEmpty() || field.IsEmpty();
        for (qsizetype i = 0, n = bytes.size(); IsPlain && i < n; ++i) {
            const char c = bytes[i];
            IsPlain = c != 0 && c != '\r' && c != '\n' &&
                      !(c == '\xED' && i + 1 < n && quint8(bytes[i + 1]) >= 0xA0);
        }
        if (IsPlain)
            Plain = bytes;
        else
            Text = ProjectTextOf(field.AsText());
    }
    bool HasNul() const { return !IsPlain && Text.contains(QChar(0)); }
    QString ProjectText() const { return IsPlain ? Utf8Text(Plain) : Text; }
    // Borrowed: the value points into the record, and is good while the record is.
    TkxSqlValue Value(bool borrowed) const {
        if (!IsPlain)
            return TkxSqlValue::OfText(ColumnText(Text));
        return TkxSqlValue::OfUtf8(borrowed ? QByteArray::fromRawData(Plain.data(), Plain.size())
                                            : Plain.toByteArray());
    }
};

// The columns of a record that need more than a copy.
struct TColumns {
    TText Name, Address;
    std::optional<qint64> Size;
    std::optional<double> Created, Edited, Accessed;
    TkxSqlValue Verbatim; // the project's texts where the columns can not hold them exactly

    explicit TColumns(const TkxInfo& info) : Name(info.Name), Address(info.Address) {}
};

TColumns ColumnsOf(const TkxInfo& info) {
    TColumns c(info);
    c.Size = WholeSize(info.Size);
    c.Created = TimeDays(info.Creating);
    c.Edited = TimeDays(info.EditTime);
    c.Accessed = TimeDays(info.LastAccess);
    const bool exact = !c.Name.HasNul() && !c.Address.HasNul() && (c.Size || info.Size.IsEmpty()) &&
                       (c.Created || info.Creating.IsEmpty()) &&
                       (c.Edited || info.EditTime.IsEmpty()) &&
                       (c.Accessed || info.LastAccess.IsEmpty());
    if (!exact) {
        const QStringList texts{c.Name.ProjectText(),
                                c.Address.ProjectText(),
                                ProjectText(info.SizeRawText()),
                                ProjectText(info.CreatingText()),
                                ProjectText(info.EditTimeText()),
                                ProjectText(info.LastAccessText())};
        c.Verbatim = TkxSqlValue::OfBlob(texts.join(u'\n').toUtf8());
    }
    return c;
}

TkxSqlValue FailureValue(const QString& failure) {
    return failure.isEmpty() ? TkxSqlValue() : TkxSqlValue::OfText(ColumnText(failure));
}

} // namespace

namespace {

void AppendNodeParams(TkxSqlParams& p, qint64 run, quint32 id, quint32 parent, const TkxInfo& info,
                      const QString& failure, const QString& part) {
    TColumns c = ColumnsOf(info);
    // Moved in one by one: a braced list would copy every value.
    p.push_back(TkxSqlValue::Of(run));
    p.push_back(TkxSqlValue::Of(id));
    p.push_back(parent ? TkxSqlValue::Of(parent) : TkxSqlValue());
    p.push_back(TkxSqlValue::Of(info.Kind));
    p.push_back(c.Name.Value(true));
    p.push_back(c.Address.Value(true));
    p.push_back(c.Size ? TkxSqlValue::Of(*c.Size) : TkxSqlValue());
    p.push_back(TimeValue(c.Created));
    p.push_back(TimeValue(c.Edited));
    p.push_back(TimeValue(c.Accessed));
    // PostgreSQL's booleans take 0 and 1 only; the search sets nothing else.
    p.push_back(TkxSqlValue::Of(info.Matched != 0));
    p.push_back(TkxSqlValue::Of(info.HasMatch != 0));
    p.push_back(TkxSqlValue::Of(info.Scanned != 0));
    p.push_back(FailureValue(failure));
    p.push_back(part.isEmpty() ? TkxSqlValue() : TkxSqlValue::OfText(part));
    p.push_back(std::move(c.Verbatim));
}

} // namespace

void NodeParams(TkxSqlParams& p, qint64 run, quint32 id, quint32 parent, const TkxInfo& info,
                const QString& failure, const QString& part) {
    p.clear();
    p.reserve(NodeColumnCount);
    AppendNodeParams(p, run, id, parent, info, failure, part);
}

TkxSqlParams NodeParams(qint64 run, quint32 id, quint32 parent, const TkxInfo& info,
                        const QString& failure, const QString& part) {
    TkxSqlParams p;
    NodeParams(p, run, id, parent, info, failure, part);
    return p;
}

namespace {

// Plain inserts: a run numbers its nodes afresh, so a new row never meets one of its own.
QString NodeInsertSql(int rows) {
    return QStringLiteral("INSERT INTO nodes (%1) VALUES %2")
        .arg(QLatin1String(NodeColumns), RowsOf(Placeholders(NodeColumnCount), rows));
}

} // namespace

void TkxNodeRows::Add(quint32 id, quint32 parent, const TkxInfo& info, const QString& failure,
                      const QString& part) {
    static const QString Sql = NodeInsertSql(StatementRows);
    AppendNodeParams(Rows[0], Run, id, parent, info, failure, part);
    if (++Count < StatementRows)
        return;
    Session.ExecMany(Sql, Rows);
    Rows[0].clear();
    Count = 0;
}

void TkxNodeRows::Flush() {
    static const QString Sql = NodeInsertSql(1);
    std::vector<TkxSqlParams> rows;
    rows.resize(size_t(Count));
    for (int r = 0; r < Count; ++r) {
        const auto from = Rows[0].begin() + qsizetype(r) * NodeColumnCount;
        rows[size_t(r)].assign(std::make_move_iterator(from),
                               std::make_move_iterator(from + NodeColumnCount));
    }
    Rows[0].clear();
    Count = 0;
    Session.ExecMany(Sql, rows);
}

namespace {

template <class T> void Put(QByteArray& out, T value) {
    const T big = qToBigEndian(value);
    out.append(reinterpret_cast<const char*>(&big), sizeof big);
}

void PutNull(QByteArray& out) {
    Put<qint32>(out, -1);
}

void PutBytes(QByteArray& out, const QByteArray& bytes) {
    Put<qint32>(out, qint32(bytes.size()));
    out.append(bytes);
}

// As a text parameter goes: UTF-8 as QString makes it. Without surrogates that is each code
// unit's own bytes, written in place instead of through a string of its own.
void PutText(QByteArray& out, const QString& text) {
    const auto* s = text.utf16();
    const qsizetype n = text.size();
    bool surrogate = false;
    for (qsizetype i = 0; i < n; ++i)
        surrogate |= (s[i] & 0xf800) == 0xd800;
    if (surrogate)
        return PutBytes(out, text.toUtf8());
    const qsizetype at = out.size();
    out.resize(at + 4 + 3 * n);
    char* const start = out.data() + at + 4;
    char* end = start;
    for (qsizetype i = 0; i < n; ++i)
        PutUtf8(char32_t(s[i]), end);
    const qint32 size = qToBigEndian(qint32(end - start));
    std::memcpy(out.data() + at, &size, sizeof size);
    out.resize(at + 4 + (end - start));
}

void PutColumn(QByteArray& out, const TText& text) {
    if (!text.IsPlain)
        return PutText(out, ColumnText(text.Text));
    Put<qint32>(out, qint32(text.Plain.size()));
    out.append(text.Plain);
}

// A timestamp: microseconds since 2000-01-01, 36,526 days after the records' day 0.
void PutTime(QByteArray& out, const std::optional<double>& days) {
    const std::optional<qint64> msecs = days ? TimestampMsecs(*days) : std::nullopt;
    if (!msecs)
        return PutNull(out);
    Put<qint32>(out, 8);
    Put<qint64>(out, (*msecs - 36526 * MSecsPerDay) * 1000);
}

void PutBool(QByteArray& out, bool value) {
    Put<qint32>(out, 1);
    out.append(char(value ? 1 : 0));
}

} // namespace

void TkxNodeCopy::Add(quint32 id, quint32 parent, const TkxInfo& info, const QString& failure,
                      const QString& part) {
    if (Data.isEmpty()) {
        // The signature, no flags, no header extension.
        Data.append("PGCOPY\n\xff\r\n\0", 11);
        Put<qint32>(Data, 0);
        Put<qint32>(Data, 0);
    }
    const TColumns c = ColumnsOf(info);
    Put<qint16>(Data, NodeColumnCount);
    Put<qint32>(Data, 8);
    Put<qint64>(Data, Run);
    Put<qint32>(Data, 4);
    Put<qint32>(Data, qint32(id));
    if (parent) {
        Put<qint32>(Data, 4);
        Put<qint32>(Data, qint32(parent));
    } else {
        PutNull(Data);
    }
    Put<qint32>(Data, 2);
    Put<qint16>(Data, qint16(info.Kind));
    PutColumn(Data, c.Name);
    PutColumn(Data, c.Address);
    if (c.Size) {
        Put<qint32>(Data, 8);
        Put<qint64>(Data, *c.Size);
    } else {
        PutNull(Data);
    }
    PutTime(Data, c.Created);
    PutTime(Data, c.Edited);
    PutTime(Data, c.Accessed);
    PutBool(Data, info.Matched != 0);
    PutBool(Data, info.HasMatch != 0);
    PutBool(Data, info.Scanned != 0);
    if (failure.isEmpty())
        PutNull(Data);
    else
        PutText(Data, ColumnText(failure));
    if (part.isEmpty())
        PutNull(Data);
    else
        PutText(Data, part);
    if (c.Verbatim.Kind == TkxSqlValue::Blob)
        PutBytes(Data, c.Verbatim.Bytes);
    else
        PutNull(Data);
}

void TkxNodeCopy::Write(TkxSqlSession& session) {
    if (Data.isEmpty())
        return;
    Put<qint16>(Data, -1);
    session.CopyIn(QStringLiteral("COPY nodes (%1) FROM STDIN (FORMAT binary)")
                       .arg(QLatin1String(NodeColumns)),
                   Data);
    Data.clear();
}

TkxSqlParams NodeChangeParams(qint64 run, quint32 id, const TkxInfo& info, const QString& failure) {
    TColumns c = ColumnsOf(info);
    return {c.Name.Value(false),
            TkxSqlValue::Of(info.Matched != 0),
            TkxSqlValue::Of(info.HasMatch != 0),
            TkxSqlValue::Of(info.Scanned != 0),
            FailureValue(failure),
            std::move(c.Verbatim),
            TkxSqlValue::Of(run),
            TkxSqlValue::Of(id)};
}

TkxInfo RecordOfRow(const TkxSqlRow& row) {
    enum {
        Kind = 2,
        Name,
        Address,
        Size,
        Created,
        Edited,
        Accessed,
        Matched,
        HasMatch,
        Scanned,
        Part,
        Verbatim
    };
    TkxInfo info;
    if (!row.IsNull(Verbatim)) {
        const QList<QByteArray> texts = row.Bytes(Verbatim).split('\n');
        auto text = [&](int i) { return i < texts.size() ? Utf8Text(texts[i]) : QString(); };
        info.SetName(text(0));
        info.SetAddress(text(1));
        SetProjectSize(info, texts.size() > 2 ? QByteArrayView(texts[2]) : QByteArrayView());
        info.SetCreatingText(text(3));
        info.SetEditTimeText(text(4));
        info.SetLastAccessText(text(5));
    } else {
        info.SetName(row.Text(Name));
        info.SetAddress(row.Text(Address));
        if (!row.IsNull(Size))
            info.SetSize(double(row.Int(Size)));
        const auto time = [&](int column, void (TkxInfo::*set)(double)) {
            if (row.IsNull(column))
                return;
            if (const std::optional<double> days = TimestampDays(row.Bytes(column)))
                (info.*set)(*days);
        };
        time(Created, &TkxInfo::SetCreating);
        time(Edited, &TkxInfo::SetEditTime);
        time(Accessed, &TkxInfo::SetLastAccess);
    }
    info.SetKind(quint8(row.Int(Kind)));
    info.SetMatched(quint8(row.Int(Matched)));
    info.SetHasMatch(quint8(row.Int(HasMatch)));
    info.SetScanned(quint8(row.Int(Scanned)));
    return info;
}
