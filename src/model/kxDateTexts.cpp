// Date-time texts in a locale's formats, made from parts prepared once, and read back.

#include "model/kxDates.h"

#include <QLocale>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

namespace {

const QDate DaysEpoch(1899, 12, 30);
constexpr qint64 MSecsPerDay = 86400000;
constexpr qint64 DaysFromEpochToUnix = 25569; // 1899-12-30 to 1970-01-01
// Beyond the years 1 to 9999 a day count is not a date anyone could have meant.
constexpr double MinDays = -693593.0;
constexpr double MaxDays = 2958466.0;

// The long time format without its time-zone part: times of files are shown in local time.
QString TimeFormatWithoutZone(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
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

// A day count and the milliseconds of that day, rounded as DaysToDateTime rounds: before the
// epoch the fraction still counts forward from the start of the day.
struct TDayTime {
    qint64 Day;
    int MSecs;
};

std::optional<TDayTime> SplitDays(double days) {
    if (!std::isfinite(days) || days < MinDays || days >= MaxDays)
        return std::nullopt;
    double whole = std::trunc(days);
    qint64 msecs = std::llround(std::fabs(days - whole) * double(MSecsPerDay));
    if (msecs >= MSecsPerDay) {
        msecs -= MSecsPerDay;
        whole += days >= 0 ? 1 : -1;
    }
    return TDayTime{qint64(whole), int(msecs)};
}

double JoinDays(qint64 day, int msecs) {
    const double fraction = double(msecs) / double(MSecsPerDay);
    return day >= 0 ? double(day) + fraction : double(day) - fraction;
}

qint64 DayFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const qint64 yoe = y - era * 400;
    const qint64 doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const qint64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + DaysFromEpochToUnix;
}

int DaysInMonth(int y, int m) {
    static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : Days[m - 1];
}

std::atomic<quint64> NextDateTextsId{1};

// What a part of a date or time format shows.
enum class TPartKind : quint8 {
    Literal,
    Day,
    Day2,
    DayName,
    DayLongName,
    Month,
    Month2,
    MonthName,
    MonthLongName,
    Year2,
    Year4,
    Hour,
    Hour2,
    Hour12,
    Hour12Two,
    Minute,
    Minute2,
    Second,
    Second2,
    AmPm
};

} // namespace

// Proleptic Gregorian, as QDate counts.
TkxCivilDate CivilFromDay(qint64 day) {
    qint64 z = day - DaysFromEpochToUnix;
    const int dayOfWeek = int(((z % 7) + 7 + 3) % 7) + 1; // 1970-01-01 was a Thursday
    z += 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    const int d = int(doy - (153 * mp + 2) / 5 + 1);
    const int m = int(mp < 10 ? mp + 3 : mp - 9);
    const int y = int(yoe + era * 400 + (m <= 2 ? 1 : 0));
    return {y, m, d, dayOfWeek};
}

// One format as the locale's formatter reads it: literals and fields, each field with its
// value's text for every value.
struct TkxDateTexts::TFormat {
    using What = TPartKind;
    struct TPart {
        What Kind;
        QString Text; // Literal: the text; AmPm: the morning text
        QString Pm;
    };

    QString Format;
    std::vector<TPart> Parts;
    bool Prepared = false;
    // The digits of the numbers, when every number is made of them (empty otherwise).
    QString Digits[10];
    // Texts by value (unpadded, two digits); Names by value from 1 (short and long day, month).
    QString Numbers[2][100];
    QString Names[4][13];

    const QString& NumberText(What kind, int value) const;
    void Append(QString& out, const TkxCivilDate& date, int msecs) const;
    // Reads the parts at `pos`; false when the text does not fit.
    bool Read(QStringView text, qsizetype& pos, TkxCivilDate& date, int& hour, int& minute,
              int& second) const;
};

namespace {

// How the locale's formatter splits a format: a quoted text is literal ('' is a quote), a
// letter run counts as one field up to the field's longest form, anything else is literal.
std::vector<std::pair<QString, TPartKind>> SplitFormat(const QString& format, bool date) {
    using What = TPartKind;
    std::vector<std::pair<QString, What>> parts;
    auto literal = [&parts](QStringView source) {
        if (!parts.empty() && parts.back().second == What::Literal)
            parts.back().first += source;
        else
            parts.emplace_back(source.toString(), What::Literal);
    };
    bool twelveHour = false;
    if (!date) {
        for (qsizetype i = 0; i < format.size(); ++i) {
            if (format[i] == u'\'') {
                ++i;
                while (i < format.size() && format[i] != u'\'')
                    ++i;
            } else if (format[i] == u'a' || format[i] == u'A') {
                twelveHour = true;
            }
        }
    }
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format[i];
        if (c == u'\'') {
            qsizetype end = i + 1;
            if (end < format.size() && format[end] == u'\'') {
                literal(QStringView(format).mid(i, 2));
                i = end + 1;
                continue;
            }
            while (end < format.size()) {
                if (format[end] == u'\'') {
                    if (end + 1 < format.size() && format[end + 1] == u'\'')
                        end += 2;
                    else
                        break;
                } else {
                    ++end;
                }
            }
            if (end < format.size())
                ++end;
            literal(QStringView(format).mid(i, end - i));
            i = end;
            continue;
        }
        qsizetype repeat = 1;
        while (i + repeat < format.size() && format[i + repeat] == c)
            ++repeat;
        What what = What::Literal;
        const char16_t u = c.unicode();
        if (date && u == u'y') {
            repeat = repeat >= 4 ? 4 : repeat >= 2 ? 2 : 1;
            if (repeat > 1)
                what = repeat == 4 ? What::Year4 : What::Year2;
        } else if (date && (u == u'M' || u == u'd')) {
            repeat = std::min<qsizetype>(repeat, 4);
            static constexpr What Months[] = {What::Month, What::Month2, What::MonthName,
                                              What::MonthLongName};
            static constexpr What Days[] = {What::Day, What::Day2, What::DayName,
                                            What::DayLongName};
            what = (u == u'M' ? Months : Days)[repeat - 1];
        } else if (!date && (u == u'h' || u == u'H' || u == u'm' || u == u's')) {
            repeat = std::min<qsizetype>(repeat, 2);
            const bool two = repeat == 2;
            if (u == u'h' && twelveHour)
                what = two ? What::Hour12Two : What::Hour12;
            else if (u == u'h' || u == u'H')
                what = two ? What::Hour2 : What::Hour;
            else if (u == u'm')
                what = two ? What::Minute2 : What::Minute;
            else
                what = two ? What::Second2 : What::Second;
        } else if (!date && (u == u'a' || u == u'A')) {
            repeat =
                i + 1 < format.size() && (format[i + 1] == u'p' || format[i + 1] == u'P') ? 2 : 1;
            what = What::AmPm;
        } else if (!date && (u == u'z' || u == u't')) {
            return {}; // milliseconds or a zone: not prepared
        }
        if (what == What::Literal)
            literal(QStringView(format).mid(i, repeat));
        else
            parts.emplace_back(format.mid(i, repeat), what);
        i += repeat;
    }
    return parts;
}

int NumberRow(TPartKind kind) {
    using What = TPartKind;
    switch (kind) {
    case What::Day:
    case What::Month:
    case What::Hour:
    case What::Hour12:
    case What::Minute:
    case What::Second:
        return 0;
    default:
        return 1;
    }
}

} // namespace

const QString& TkxDateTexts::TFormat::NumberText(What kind, int value) const {
    return Numbers[NumberRow(kind)][value];
}

void TkxDateTexts::TFormat::Append(QString& out, const TkxCivilDate& date, int msecs) const {
    const int hour = msecs / 3600000;
    const int minute = msecs / 60000 % 60;
    const int second = msecs / 1000 % 60;
    for (const TPart& part : Parts) {
        switch (part.Kind) {
        case What::Literal:
            out += part.Text;
            break;
        case What::Day:
        case What::Day2:
            out += NumberText(part.Kind, date.Day);
            break;
        case What::Month:
        case What::Month2:
            out += NumberText(part.Kind, date.Month);
            break;
        case What::DayName:
            out += Names[0][date.DayOfWeek];
            break;
        case What::DayLongName:
            out += Names[1][date.DayOfWeek];
            break;
        case What::MonthName:
            out += Names[2][date.Month];
            break;
        case What::MonthLongName:
            out += Names[3][date.Month];
            break;
        case What::Year2:
            out += Numbers[1][date.Year % 100];
            break;
        case What::Year4:
            out += Numbers[1][date.Year / 100];
            out += Numbers[1][date.Year % 100];
            break;
        case What::Hour:
        case What::Hour2:
            out += NumberText(part.Kind, hour);
            break;
        case What::Hour12:
        case What::Hour12Two:
            out += NumberText(part.Kind, hour % 12 == 0 ? 12 : hour % 12);
            break;
        case What::Minute:
        case What::Minute2:
            out += NumberText(part.Kind, minute);
            break;
        case What::Second:
        case What::Second2:
            out += NumberText(part.Kind, second);
            break;
        case What::AmPm:
            out += hour < 12 ? part.Text : part.Pm;
            break;
        }
    }
}

namespace {

// Up to `width` digits; at least `width` when the field is padded.
bool ReadNumber(QStringView text, qsizetype& pos, int width, bool padded, const QString* digits,
                int& value) {
    const bool ascii = digits[0].size() == 1 && digits[0][0] == u'0';
    int n = 0;
    value = 0;
    while (n < width && pos < text.size()) {
        int digit = 0;
        if (ascii) {
            digit = text[pos].unicode() - u'0';
            if (digit < 0 || digit > 9)
                break;
            ++pos;
        } else {
            const QStringView rest = text.mid(pos);
            while (digit < 10 && !rest.startsWith(digits[digit]))
                ++digit;
            if (digit == 10)
                break;
            pos += digits[digit].size();
        }
        value = value * 10 + digit;
        ++n;
    }
    return n == width || (!padded && n > 0);
}

// The longest of the names (from index 1) that the text continues with.
bool ReadName(QStringView text, qsizetype& pos, const QString* names, int count, int& value) {
    qsizetype best = 0;
    for (int i = 1; i <= count; ++i) {
        const QString& name = names[i];
        if (name.size() > best && text.mid(pos).startsWith(name)) {
            best = name.size();
            value = i;
        }
    }
    pos += best;
    return best > 0;
}

} // namespace

bool TkxDateTexts::TFormat::Read(QStringView text, qsizetype& pos, TkxCivilDate& date, int& hour,
                                 int& minute, int& second) const {
    bool pm = false;
    bool twelve = false;
    for (const TPart& part : Parts) {
        int value = 0;
        bool ok = true;
        switch (part.Kind) {
        case What::Literal:
            ok = text.mid(pos).startsWith(part.Text);
            pos += part.Text.size();
            break;
        case What::Day:
        case What::Day2:
            ok = ReadNumber(text, pos, 2, part.Kind == What::Day2, Digits, date.Day);
            break;
        case What::Month:
        case What::Month2:
            ok = ReadNumber(text, pos, 2, part.Kind == What::Month2, Digits, date.Month);
            break;
        case What::DayName:
        case What::DayLongName:
            ok = ReadName(text, pos, Names[part.Kind == What::DayName ? 0 : 1], 7, value);
            break;
        case What::MonthName:
        case What::MonthLongName:
            ok = ReadName(text, pos, Names[part.Kind == What::MonthName ? 2 : 3], 12, date.Month);
            break;
        case What::Year2:
            // Any century gives the same text; one with a 29 February in it.
            ok = ReadNumber(text, pos, 2, true, Digits, value);
            date.Year = 2000 + value;
            break;
        case What::Year4:
            ok = ReadNumber(text, pos, 4, true, Digits, date.Year);
            break;
        case What::Hour:
        case What::Hour2:
            ok = ReadNumber(text, pos, 2, part.Kind == What::Hour2, Digits, hour);
            break;
        case What::Hour12:
        case What::Hour12Two:
            ok = ReadNumber(text, pos, 2, part.Kind == What::Hour12Two, Digits, hour);
            twelve = true;
            break;
        case What::Minute:
        case What::Minute2:
            ok = ReadNumber(text, pos, 2, part.Kind == What::Minute2, Digits, minute);
            break;
        case What::Second:
        case What::Second2:
            ok = ReadNumber(text, pos, 2, part.Kind == What::Second2, Digits, second);
            break;
        case What::AmPm: {
            // The longer first: one may begin with the other.
            const bool pmFirst = part.Pm.size() >= part.Text.size();
            const QString& first = pmFirst ? part.Pm : part.Text;
            const QString& second = pmFirst ? part.Text : part.Pm;
            if (text.mid(pos).startsWith(first)) {
                pm = pmFirst;
                pos += first.size();
            } else if (text.mid(pos).startsWith(second)) {
                pm = !pmFirst;
                pos += second.size();
            } else {
                ok = false;
            }
            break;
        }
        }
        if (!ok || pos > text.size())
            return false;
    }
    if (twelve)
        hour = hour % 12 + (pm ? 12 : 0);
    return true;
}

TkxDateTexts::TkxDateTexts(const QLocale& locale) : Locale(locale), Id(NextDateTextsId++) {
    using What = TFormat::What;
    auto prepare = [this](const QString& source, bool date) {
        auto format = std::make_unique<TFormat>();
        format->Format = source;
        const auto split = SplitFormat(source, date);
        if (split.empty())
            return format;
        const QDate someDate(2001, 1, 1);
        const QTime someTime(0, 0);
        for (const auto& [text, what] : split) {
            TFormat::TPart part{what, {}, {}};
            if (what == What::Literal)
                part.Text =
                    date ? Locale.toString(someDate, text) : Locale.toString(someTime, text);
            if (what == What::AmPm) {
                part.Text = Locale.toString(QTime(0, 0), text);
                part.Pm = Locale.toString(QTime(12, 0), text);
            }
            format->Parts.push_back(std::move(part));
        }
        // Numbers[0] unpadded, Numbers[1] padded to two digits; the locale gives the digits.
        for (int v = 0; v < 100; ++v) {
            QString& plain = format->Numbers[0][v];
            QString& two = format->Numbers[1][v];
            if (date) {
                plain = v >= 1 && v <= 31 ? Locale.toString(QDate(2001, 1, v), u"d") : QString();
                two = Locale.toString(QDate(2000 + v, 1, 1), u"yy");
            } else {
                plain = v < 60 ? Locale.toString(QTime(0, v), u"m") : QString();
                two = v < 60 ? Locale.toString(QTime(0, v), u"mm") : QString();
            }
        }
        QString* digits = format->Digits;
        for (int v = 1; v < 10; ++v)
            digits[v] = format->Numbers[0][v];
        digits[0] = format->Numbers[0][10].mid(digits[1].size());
        bool positional = true;
        for (int v = 0; v < 100; ++v) {
            const QString tens = v >= 10 ? digits[v / 10] : QString();
            const QString& plain = format->Numbers[0][v];
            const QString& two = format->Numbers[1][v];
            positional = positional && !digits[v % 10].isEmpty() &&
                         (plain.isEmpty() || plain == tens + digits[v % 10]) &&
                         (two.isEmpty() || two == digits[v / 10] + digits[v % 10]);
        }
        if (!positional)
            std::fill(std::begin(format->Digits), std::end(format->Digits), QString());
        if (date) {
            for (int v = 1; v <= 12; ++v) {
                format->Names[2][v] = Locale.toString(QDate(2001, v, 1), u"MMM");
                format->Names[3][v] = Locale.toString(QDate(2001, v, 1), u"MMMM");
            }
            for (int v = 1; v <= 7; ++v) { // 2001-01-01 was a Monday
                format->Names[0][v] = Locale.toString(QDate(2001, 1, v), u"ddd");
                format->Names[1][v] = Locale.toString(QDate(2001, 1, v), u"dddd");
            }
        }
        return format;
    };
    auto date = prepare(Locale.dateFormat(QLocale::ShortFormat), true);
    auto time = prepare(TimeFormatWithoutZone(Locale), false);

    // Trust the parts only where they give exactly what the locale gives.
    if (!date->Parts.empty()) {
        static constexpr int Years[] = {1,    9,    10,   99,   100,  999,  1000, 1899,
                                        1900, 1970, 1999, 2000, 2024, 2100, 9999};
        std::vector<QDate> samples;
        for (int y : Years)
            samples.emplace_back(y, 12, 30);
        for (int m = 1; m <= 12; ++m)
            samples.emplace_back(2023, m, 28 - m);
        for (int d = 1; d <= 31; ++d)
            samples.emplace_back(2024, 1, d);
        date->Prepared = std::all_of(samples.begin(), samples.end(), [&](const QDate& d) {
            QString text;
            date->Append(text, CivilFromDay(DaysEpoch.daysTo(d)), 0);
            return text == Locale.toString(d, QLocale::ShortFormat);
        });
    }
    if (!time->Parts.empty()) {
        std::vector<QTime> samples;
        for (int h = 0; h < 24; ++h)
            samples.emplace_back(h, (h * 7) % 60, (h * 13) % 60);
        for (int v = 0; v < 60; ++v)
            samples.emplace_back(v % 24, v, 59 - v, 999);
        time->Prepared = std::all_of(samples.begin(), samples.end(), [&](const QTime& t) {
            QString text;
            time->Append(text, TkxCivilDate{}, t.msecsSinceStartOfDay());
            return text == Locale.toString(t, time->Format);
        });
    }
    Date = std::move(date);
    Time = std::move(time);
}

TkxDateTexts::~TkxDateTexts() = default;

const QString& TkxDateTexts::DateFormat() const {
    return Date->Format;
}

const QString& TkxDateTexts::TimeFormat() const {
    return Time->Format;
}

bool TkxDateTexts::Prepared() const {
    return Date->Prepared && Time->Prepared;
}

QString TkxDateTexts::Text(double days) const {
    const std::optional<TDayTime> split = SplitDays(days);
    if (!split)
        return {};
    QString text;
    // Rounding up the last millisecond of 9999 reaches a year the parts have no text for.
    if (Date->Prepared && split->Day < qint64(MaxDays)) {
        text.reserve(32);
        Date->Append(text, CivilFromDay(split->Day), 0);
    } else {
        // The locale formats each day once per thread; file times cluster on few days.
        struct TEntry {
            quint64 Owner = 0;
            qint64 Day = 0;
            QString Text;
        };
        thread_local std::vector<TEntry> cache(1024);
        TEntry& entry = cache[size_t(split->Day) % cache.size()];
        if (entry.Owner != Id || entry.Day != split->Day) {
            entry.Text = Locale.toString(DaysEpoch.addDays(split->Day), QLocale::ShortFormat);
            entry.Owner = Id;
            entry.Day = split->Day;
        }
        text = entry.Text;
    }
    if (split->MSecs != 0) {
        text += u' ';
        if (Time->Prepared)
            Time->Append(text, TkxCivilDate{}, split->MSecs);
        else
            text += Locale.toString(QTime::fromMSecsSinceStartOfDay(split->MSecs), Time->Format);
    }
    return text;
}

std::optional<double> TkxDateTexts::Parse(QStringView text) const {
    if (!Date->Prepared || !Time->Prepared || Date->Digits[0].isEmpty() ||
        Time->Digits[0].isEmpty())
        return std::nullopt;
    TkxCivilDate date{2000, 1, 1, 0};
    int hour = 0;
    int minute = 0;
    int second = 0;
    qsizetype pos = 0;
    if (!Date->Read(text, pos, date, hour, minute, second))
        return std::nullopt;
    int msecs = 0;
    if (pos < text.size()) {
        if (text[pos] != u' ')
            return std::nullopt;
        ++pos;
        if (!Time->Read(text, pos, date, hour, minute, second) || pos != text.size())
            return std::nullopt;
        if (hour > 23 || minute > 59 || second > 59)
            return std::nullopt;
        // A time of 00:00:00 is shown only when some milliseconds are there.
        msecs = std::max(1, ((hour * 60 + minute) * 60 + second) * 1000);
    }
    if (date.Year < 1 || date.Month < 1 || date.Month > 12 || date.Day < 1 ||
        date.Day > DaysInMonth(date.Year, date.Month))
        return std::nullopt;
    const double days = JoinDays(DayFromCivil(date.Year, date.Month, date.Day), msecs);
    if (Text(days) != text)
        return std::nullopt;
    return days;
}

const TkxDateTexts& TkxDateTexts::System() {
    static const TkxDateTexts texts(QLocale::system());
    return texts;
}

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
    return TkxDateTexts::System().Text(days);
}
