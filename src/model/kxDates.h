#pragma once

// Date-times as the records hold them, and their texts in the user's locale.

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>

// Date-times are days since 30 December 1899 in local time, the time of day as the fraction.
double DateTimeToDays(const QDateTime& local);
QDateTime DaysToDateTime(double days);
// The user's locale: short date, then the time unless it is exactly midnight.
QString DateTimeText(double days);
// Milliseconds since 1970 UTC as local days.
double UtcMSecsToDays(qint64 msecs);
// The same for many times in a row on one thread: the time zone is looked at once, when made.
class TkxLocalTimes {
public:
    TkxLocalTimes();
    double Days(qint64 msecs) const { return DaysOf(msecs); }

private:
    friend double UtcMSecsToDays(qint64 msecs);
    static double DaysOf(qint64 msecs);
};
// Current local time as days.
double NowDays();

// The calendar day of a count of days since 30 December 1899: plain arithmetic, no time zone.
struct TkxCivilDate {
    int Year;
    int Month;
    int Day;
    int DayOfWeek; // 1 Monday to 7 Sunday
};
TkxCivilDate CivilFromDay(qint64 day);

// Date-time texts of one locale: the short date, then the long time format without its time
// zone unless the time is exactly midnight (milliseconds rounded, seconds shown truncated).
// Both formats are split into their parts once and the text of every part value is taken
// from the locale then, so a text costs a few appends; a format whose parts do not give the
// locale's own texts is formatted by the locale each time instead. Immutable: any thread.
class TkxDateTexts {
public:
    explicit TkxDateTexts(const QLocale& locale);
    ~TkxDateTexts();
    TkxDateTexts(const TkxDateTexts&) = delete;
    TkxDateTexts& operator=(const TkxDateTexts&) = delete;

    // Empty for a value that is not finite or outside the years 1 to 9999.
    QString Text(double days) const;
    // A value whose Text is exactly `text`, or nullopt when none is found.
    std::optional<double> Parse(QStringView text) const;

    const QString& DateFormat() const;
    const QString& TimeFormat() const;
    // Dates and times come from the prepared parts (not from the locale per call).
    bool Prepared() const;

    // The user's locale, prepared on first use; DateTimeText uses it.
    static const TkxDateTexts& System();

private:
    struct TFormat;
    QLocale Locale;
    const quint64 Id; // tells this object's entries apart in the per-thread date cache
    std::unique_ptr<const TFormat> Date;
    std::unique_ptr<const TFormat> Time;
};
