// Date and time of the runtime library: the clock reading every trace line, job report and
// agent record takes its time from.
#ifndef QM7_RUNTIME_DATETIME_H_
#define QM7_RUNTIME_DATETIME_H_

#include <sys/time.h>

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

// Broken-down time stamp of the agent records. Host layout only: records that cross a socket
// are encoded field by field, never by copying this struct.
typedef struct _msg_type_timestamp {
  int16_t jjjj;  // year, four digits
  int16_t mo;    // month, 1 to 12
  int16_t tt;    // day of the month
  int16_t hh;    // hour
  int16_t mi;    // minute
  int16_t ss;    // second
  int ns;        // nanoseconds
} MSG_TYPE_TIMESTAMP;

// Fills one record shared by the whole process as GetDatumZeit2 does and returns it. The
// record is overwritten by the next call: not for concurrent use.
DATUM_BUFF* GetDatumZeit(void* eT);

// Microsecond stopwatch on a mark `tv_s` kept by the caller. `flag` 0 sets the mark to now and
// returns 0; any other `flag` returns the microseconds since the mark and moves the mark to
// now. A null `tv_s` gives 0. An interval beyond the int range (about 2147 seconds) gives
// INT_MAX (or INT_MIN when the clock went back that far) instead of a wrapped value.
int GetUsec(struct timeval* tv_s, int flag);

// The dt_xdat text of GetDatumZeit(eT), in one 32-byte buffer shared by the whole process and
// overwritten by the next call: not for concurrent use.
char* GetDtChar(void* eT);

// Writes the dt_xdat text of GetDatumZeit2(eT) into `xData` of `Length` bytes, keeping at most
// `Length` - 2 characters (a 32-byte buffer holds the 19 characters whole). A `Length` of 1
// writes only the terminator; a null `xData` or a `Length` below 1 writes nothing.
// Thread-safe: uses only the caller's storage.
void GetDtChar2(void* eT, char* xData, int Length);

// Converts a local time stamp to UTC in place, reading it as standard time (no daylight
// saving); `ns` is kept. A year of 0 returns 0 and changes nothing; a time that mktime cannot
// represent, or a null stamp, returns -1 and changes nothing. Returns 0 on success.
int CreateCharUtcTime(MSG_TYPE_TIMESTAMP* ZeitStamp);

// Formats `psec` seconds as "hh:mm:ss" (each part "%.2d"; division truncates toward zero, so a
// negative count gives negative parts, e.g. -61 gives "00:-01:-01"). The longest text, for
// INT_MIN, is 15 characters.
// sec2hhmmss: writes into `work`, which must hold at least 16 bytes, and returns `work`.
char* sec2hhmmss(int psec, char* work);
// sec2hhmmss2: writes into one 64-byte buffer shared by the whole process and returns it; the
// next call overwrites it: not for concurrent use.
char* sec2hhmmss2(int psec);
// sec2hhmmss3: writes at most `wLen` bytes (cut and terminated) into `pWork`.
void sec2hhmmss3(int psec, char* pWork, int wLen);

namespace qm7 {
// Milliseconds of CLOCK_MONOTONIC: the clock of deadlines and intervals, which no change of
// the time of day moves. Any thread.
long long monotonic_ms();
}  // namespace qm7

#endif  // QM7_RUNTIME_DATETIME_H_
