// The clock, the local zone and sleeping (see time.h).
#include "runtime/platform/time.h"

#include <ctime>

#include <cerrno>

namespace kel {

ClockReading time_now(bool utc) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ClockReading r;
    r.epoch_sec = static_cast<int64_t>(ts.tv_sec);
    r.nanos = static_cast<int32_t>(ts.tv_nsec);
    struct tm tm {};
    time_t t = ts.tv_sec;
    if (utc ? !gmtime_r(&t, &tm) : !localtime_r(&t, &tm)) gmtime_r(&t, &tm);
    r.zone_sec = utc ? 0 : static_cast<int32_t>(tm.tm_gmtoff);
    r.year = tm.tm_year + 1900;
    r.month = tm.tm_mon + 1;
    r.day = tm.tm_mday;
    r.hour = tm.tm_hour;
    r.minute = tm.tm_min;
    r.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second reads as :59
    r.weekday = tm.tm_wday == 0 ? 7 : tm.tm_wday;
    r.yearday = tm.tm_yday + 1;
    return r;
}

void time_sleep(double seconds) {
    // !(x >= y) also catches NaN.
    double ms = !(seconds * 1000.0 >= 1.0) ? 1.0 : seconds * 1000.0;
    if (ms > 9.0e15) ms = 9.0e15;  // about 285,000 years: keeps the conversion defined
    int64_t whole = static_cast<int64_t>(ms);
    struct timespec req;
    req.tv_sec = static_cast<time_t>(whole / 1000);
    req.tv_nsec = static_cast<long>(whole % 1000) * 1000000L;
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

int64_t time_monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace kel
