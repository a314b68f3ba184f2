// Date and time of the runtime library: the clock reading every trace line, job report and
// agent record takes its time from.
#ifndef QM7_RUNTIME_DATETIME_H_
#define QM7_RUNTIME_DATETIME_H_

#include <cstdint>
#include <ctime>

// One clock reading: local and UTC broken down to microseconds, and the local time as text.
typedef struct _dt {
  time_t dt_time;    // seconds since the epoch
  int16_t dt_jahr;   // local year, four digits
  int16_t dt_mon;    // 1 to 12
  int16_t dt_tag;    // day of the month
  int16_t dt_std;    // hour
  int16_t dt_min;    // minute
  int16_t dt_sek;    // second
  int16_t dt_msek;   // milliseconds, 0 to 999
  int16_t dt_usek;   // microseconds within the millisecond, 0 to 999
  int dt_nsek;       // always 0
  int16_t utc_jahr;  // the same moment in UTC
  int16_t utc_mon;
  int16_t utc_tag;
  int16_t utc_std;
  int16_t utc_min;
  int16_t utc_sek;
  int16_t utc_msek;  // same value as dt_msek
  int16_t utc_usek;  // same value as dt_usek
  int utc_nsek;      // always 0
  char dt_xdat[32];  // "YYYYMMDD/hhmmss.mmm", or "YYYYMMDD/hhmmss" without sub-seconds
} DATUM_BUFF;

// Fills `dt` from the time_t that `eT` points to (no sub-second part then), or from the clock
// when `eT` is null. Thread-safe: uses only the caller's storage.
void GetDatumZeit2(void* eT, DATUM_BUFF* dt);

// Seconds now; stores the microseconds in `*usec` when given (-1 when the clock has none).
time_t GetElapsedTime(int* usec);

#endif  // QM7_RUNTIME_DATETIME_H_
