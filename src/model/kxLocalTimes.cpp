// Local times of UTC instants: the C library's conversion, its offsets remembered per thread.

#include "model/kxDates.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdlib>
#include <ctime>
#include <iterator>
#include <limits>

namespace {
constexpr qint64 MSecsPerDay = 86400000;
constexpr qint64 DaysFromEpochToUnix = 25569; // 1899-12-30 to 1970-01-01

// Local days of a UTC instant whose offset from UTC is known.
double LocalDays(qint64 msecs, long gmtoff) {
    const qint64 localMs = msecs + qint64(gmtoff) * 1000;
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

// Offsets from UTC that this thread has looked up, kept while TZ stays the same (the C library
// too reads the zone again only when TZ changes).
struct TZoneOffsets {
    QByteArray Zone = "\x02"; // no TZ value looks like this
    qint64 NowMinute = -1;
    long NowOffset = 0;
    // Hours (UTC) with one offset throughout: time zone rules change the offset a few times a
    // year at most, so an hour whose first and last second have the same offset keeps it.
    struct THour {
        qint64 Key = std::numeric_limits<qint64>::min();
        long Offset = 0;
    };
    THour Hours[64];

    void Check() {
        const char* tz = std::getenv("TZ");
        const QByteArrayView now = tz ? QByteArrayView(tz) : QByteArrayView("\x01");
        if (now == Zone)
            return;
        *this = TZoneOffsets();
        Zone = now.toByteArray();
    }
};

thread_local TZoneOffsets Offsets;

bool OffsetAt(qint64 secs, long& offset) {
    const time_t t = time_t(secs);
    tm local{};
    if (!localtime_r(&t, &local))
        return false;
    offset = local.tm_gmtoff;
    return true;
}
} // namespace

double UtcMSecsToDays(qint64 msecs) {
    Offsets.Check();
    return TkxLocalTimes::DaysOf(msecs);
}

TkxLocalTimes::TkxLocalTimes() {
    Offsets.Check();
}

double TkxLocalTimes::DaysOf(qint64 msecs) {
    // The C library's conversion: the same result as going through QDateTime, at a fraction
    // of its cost (this runs for every time of every directory entry).
    const qint64 secs = msecs >= 0 ? msecs / 1000 : -((-msecs + 999) / 1000);
    const qint64 hour = secs >= 0 ? secs / 3600 : -((-secs + 3599) / 3600);
    TZoneOffsets::THour& cached = Offsets.Hours[size_t(hour) % std::size(Offsets.Hours)];
    if (cached.Key == hour)
        return LocalDays(msecs, cached.Offset);
    long offset = 0;
    if (!OffsetAt(secs, offset))
        return DateTimeToDays(QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC));
    long first = 0, last = 0;
    if (OffsetAt(hour * 3600, first) && OffsetAt(hour * 3600 + 3599, last) && first == last &&
        first == offset)
        cached = {hour, offset};
    return LocalDays(msecs, offset);
}

double NowDays() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const qint64 msecs = qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    // Every slot state change asks for the time. The offset changes only at a whole minute,
    // so it is looked up once a minute.
    Offsets.Check();
    if (now.tv_sec < 0 || now.tv_sec / 60 != Offsets.NowMinute) {
        long offset = 0;
        if (!OffsetAt(now.tv_sec, offset))
            return UtcMSecsToDays(msecs);
        Offsets.NowMinute = now.tv_sec / 60;
        Offsets.NowOffset = offset;
    }
    return LocalDays(msecs, Offsets.NowOffset);
}
