#include "model/kxLists.h"

#include "model/kxErrors.h"

#include <QLocale>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>

static_assert(sizeof(TkxField) == 16, "a tree holds millions of fields");

namespace {

const QDate DaysEpoch(1899, 12, 30);
constexpr qint64 MSecsPerDay = 86400000;
constexpr qint64 DaysFromEpochToUnix = 25569; // 1899-12-30 to 1970-01-01
// Beyond the years 1 to 9999 a day count is not a date anyone could have meant.
constexpr double MinDays = -693593.0;
constexpr double MaxDays = 2958466.0;

// The long time format without its time-zone part: times of files are shown in local time.
QString TimeFormatWithoutZone() {
    const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != u't') {
            result += c;
            continue;
        }
        while (i + 1 < format.size() && format[i + 1] == u't')
            ++i;
        while (!result.isEmpty() && result.back().isSpace())
            result.chop(1);
        if (result.isEmpty()) {
            while (i + 1 < format.size() && format[i + 1].isSpace())
                ++i;
        }
    }
    return result.trimmed();
}

} // namespace

double DateTimeToDays(const QDateTime& local) {
    if (!local.isValid())
        return 0;
    const QDateTime t = local.toLocalTime();
    const double days = double(DaysEpoch.daysTo(t.date()));
    const double fraction = double(t.time().msecsSinceStartOfDay()) / double(MSecsPerDay);
    // Before the epoch the fraction still counts forward from the start of the day.
    return days >= 0 ? days + fraction : days - fraction;
}

QDateTime DaysToDateTime(double days) {
    if (!std::isfinite(days) || days < MinDays || days >= MaxDays)
        return {};
    double whole = std::trunc(days);
    qint64 msecs = std::llround(std::fabs(days - whole) * double(MSecsPerDay));
    if (msecs >= MSecsPerDay) {
        msecs -= MSecsPerDay;
        whole += days >= 0 ? 1 : -1;
    }
    return QDateTime(DaysEpoch.addDays(qint64(whole)), QTime::fromMSecsSinceStartOfDay(int(msecs)));
}

QString DateTimeText(double days) {
    const QDateTime t = DaysToDateTime(days);
    if (!t.isValid())
        return {};
    const QLocale locale = QLocale::system();
    QString text = locale.toString(t.date(), QLocale::ShortFormat);
    if (t.time().msecsSinceStartOfDay() != 0) {
        static const QString timeFormat = TimeFormatWithoutZone();
        text += u' ';
        text += locale.toString(t.time(), timeFormat);
    }
    return text;
}

double UtcMSecsToDays(qint64 msecs) {
    // The C library's conversion: the same result as going through QDateTime, at a fraction
    // of its cost (this runs for every time of every directory entry).
    const qint64 secs = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
    const time_t t = time_t(secs);
    tm local{};
    if (!localtime_r(&t, &local))
        return DateTimeToDays(QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC));
    const qint64 localMs = msecs + qint64(local.tm_gmtoff) * 1000;
    qint64 day = localMs / MSecsPerDay;
    qint64 msOfDay = localMs % MSecsPerDay;
    if (msOfDay < 0) {
        msOfDay += MSecsPerDay;
        --day;
    }
    const double days = double(day + DaysFromEpochToUnix);
    const double fraction = double(msOfDay) / double(MSecsPerDay);
    return days >= 0 ? days + fraction : days - fraction;
}

double NowDays() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return UtcMSecsToDays(qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
}

// Texts are kept as UTF-8 with one extension: a lone surrogate is written as its own
// three-byte sequence, so any QString, even one that is not valid UTF-16, comes back as it was.
namespace {

quint32 EncodedSize(QStringView s) {
    quint64 size = 0;
    const qsizetype n = s.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = s[i].unicode();
        if (c < 0x80)
            size += 1;
        else if (c < 0x800)
            size += 2;
        else if (QChar::isHighSurrogate(c) && i + 1 < n &&
                 QChar::isLowSurrogate(s[i + 1].unicode())) {
            size += 4;
            ++i;
        } else
            size += 3;
    }
    if (size > std::numeric_limits<quint32>::max() - sizeof(quint32))
        throw EkxError(QStringLiteral("Text is too long"));
    return quint32(size);
}

void Encode(QStringView s, char* out) {
    const qsizetype n = s.size();
    auto put = [&out](unsigned byte) { *out++ = char(byte); };
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = s[i].unicode();
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
        } else if (QChar::isHighSurrogate(c) && i + 1 < n &&
                   QChar::isLowSurrogate(s[i + 1].unicode())) {
            c = QChar::surrogateToUcs4(char16_t(c), s[++i].unicode());
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
}

bool HasLoneSurrogate(const unsigned char* p, quint32 size) {
    for (quint32 i = 0; i + 1 < size; ++i) {
        if (p[i] == 0xED && p[i + 1] >= 0xA0)
            return true;
    }
    return false;
}

// Only for blocks written by Encode.
QString Decode(const char* bytes, quint32 size) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    if (!HasLoneSurrogate(p, size))
        return QString::fromUtf8(bytes, qsizetype(size));
    QString result(qsizetype(size), Qt::Uninitialized);
    QChar* out = result.data();
    quint32 i = 0;
    while (i < size) {
        const unsigned b = p[i];
        char32_t c;
        if (b < 0x80) {
            c = b;
            i += 1;
        } else if (b < 0xE0) {
            c = ((b & 0x1F) << 6) | (p[i + 1] & 0x3F);
            i += 2;
        } else if (b < 0xF0) {
            c = ((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
            i += 3;
        } else {
            c = ((b & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) | ((p[i + 2] & 0x3F) << 6) |
                (p[i + 3] & 0x3F);
            i += 4;
            *out++ = QChar(QChar::highSurrogate(c));
            *out++ = QChar(QChar::lowSurrogate(c));
            continue;
        }
        *out++ = QChar(char16_t(c));
    }
    result.truncate(out - result.constData());
    return result;
}

char* NewBlock(quint32 size) {
    auto* block = static_cast<char*>(std::malloc(sizeof(quint32) + size));
    if (!block)
        throw std::bad_alloc();
    std::memcpy(block, &size, sizeof(size));
    return block;
}

quint32 BlockSize(const char* block) {
    quint32 size;
    std::memcpy(&size, block, sizeof(size));
    return size;
}

char* CopyBlock(const char* block) {
    const quint32 size = BlockSize(block);
    char* copy = NewBlock(size);
    std::memcpy(copy + sizeof(quint32), block + sizeof(quint32), size);
    return copy;
}

// Whole numbers up to 2^53 are exact in a double and print with all their digits.
QString NumberText(double v) {
    constexpr double Exact = 9007199254740992.0;
    if (v == std::trunc(v) && std::fabs(v) <= Exact)
        return QString::number(qint64(v));
    return QString::number(v, 'g', 15);
}

} // namespace

TkxField::TkxField(const TkxField& other) : Num(0) {
    if (other.Kind == Type::Text)
        Utf8 = CopyBlock(other.Utf8);
    else
        Num = other.Num;
    Kind = other.Kind;
}

TkxField::TkxField(TkxField&& other) noexcept : Num(0), Kind(other.Kind) {
    if (Kind == Type::Text)
        Utf8 = std::exchange(other.Utf8, nullptr);
    else
        Num = other.Num;
    other.Kind = Type::Null;
    other.Num = 0;
}

TkxField& TkxField::operator=(const TkxField& other) {
    if (this == &other)
        return *this;
    if (other.Kind == Type::Text) {
        char* copy = CopyBlock(other.Utf8);
        Reset();
        Utf8 = copy;
    } else {
        Reset();
        Num = other.Num;
    }
    Kind = other.Kind;
    return *this;
}

TkxField& TkxField::operator=(TkxField&& other) noexcept {
    if (this == &other)
        return *this;
    Reset();
    Kind = other.Kind;
    if (Kind == Type::Text)
        Utf8 = std::exchange(other.Utf8, nullptr);
    else
        Num = other.Num;
    other.Kind = Type::Null;
    other.Num = 0;
    return *this;
}

TkxField::~TkxField() {
    Reset();
}

void TkxField::Reset() noexcept {
    if (Kind == Type::Text)
        std::free(Utf8);
    Kind = Type::Null;
    Num = 0;
}

QString TkxField::AsText() const {
    switch (Kind) {
    case Type::Null:
        return {};
    case Type::Text:
        return Decode(Utf8 + sizeof(quint32), BlockSize(Utf8));
    case Type::Date:
        return DateTimeText(Num);
    case Type::Number:
        return NumberText(Num);
    }
    return {};
}

double TkxField::AsDouble(bool* ok) const {
    bool converted = false;
    double value = 0;
    switch (Kind) {
    case Type::Null:
        break;
    case Type::Date:
    case Type::Number:
        value = Num;
        converted = true;
        break;
    case Type::Text: {
        const QString text = AsText().trimmed();
        value = text.toDouble(&converted);
        if (!converted)
            value = QLocale::system().toDouble(text, &converted);
        if (!converted)
            value = 0;
        break;
    }
    }
    if (ok)
        *ok = converted;
    return value;
}

void TkxField::SetText(const QString& text) {
    if (text.isEmpty()) {
        Reset();
        return;
    }
    const quint32 size = EncodedSize(text);
    char* block = NewBlock(size);
    Encode(text, block + sizeof(quint32));
    Reset();
    Utf8 = block;
    Kind = Type::Text;
}

void TkxField::SetDate(double days) {
    Reset();
    if (days > 0) {
        Num = days;
        Kind = Type::Date;
    }
}

void TkxField::SetNumber(double value) {
    Reset();
    Num = value;
    Kind = Type::Number;
}

QString TkxNumber::SizeText() const {
    bool ok = false;
    const double value = AsDouble(&ok);
    if (!ok || std::isnan(value))
        return {};
    qint64 n;
    if (value >= 9223372036854775807.0)
        n = std::numeric_limits<qint64>::max();
    else if (value <= -9223372036854775808.0)
        n = std::numeric_limits<qint64>::min();
    else
        n = qint64(value); // truncates towards zero
    if (n == 0)
        return {};
    if (n < 1024)
        return QString::number(n) + u'b';
    for (const char16_t* unit : {u"Kb", u"Mb", u"Gb", u"Tb"}) {
        n /= 1024;
        if (n < 1024)
            return QString::number(n) + QString::fromUtf16(unit);
    }
    return QStringLiteral("Very big size");
}

void TkxInfo::SetName(const QString& text) {
    if (!text.isEmpty())
        Name.SetText(text);
}

void TkxInfo::SetAddress(const QString& text) {
    Address.SetText(text);
    if (Name.IsEmpty())
        Name.SetText(text);
}
