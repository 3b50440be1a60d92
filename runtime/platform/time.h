// The clock, the local zone and sleeping.
#pragma once
#include <cstdint>

namespace kel {

// One reading of the clock, broken down in local time (or UTC).
struct ClockReading {
    int64_t epoch_sec = 0;  // seconds since 1970-01-01 UTC
    int32_t nanos = 0;      // 0 .. 999,999,999
    int32_t zone_sec = 0;   // offset of the broken-down time from UTC (0 for UTC)
    int32_t year = 1970, month = 1, day = 1;  // month 1..12, day 1..31
    int32_t hour = 0, minute = 0, second = 0;
    int32_t weekday = 4;  // 1 Monday .. 7 Sunday
    int32_t yearday = 1;  // 1 .. 366
};

// The current time broken down in the local zone, or in UTC.
ClockReading time_now(bool utc);

// The local zone's offset in 15-minute units, as date! keeps it (rounded
// toward zero for the rare zones whose offset is not a multiple).
inline int32_t time_zone_quarters(const ClockReading& r) { return r.zone_sec / 900; }

// Sleeps [seconds] (truncated to milliseconds, at least 1 ms; NaN and
// negative values sleep 1 ms). Resumes after interruptions by signals.
void time_sleep(double seconds);

// Monotonic milliseconds, for measuring intervals.
int64_t time_monotonic_ms();

}  // namespace kel
