// The date and time module around GetDatumZeit2: process-wide variants that return static
// storage, the dt_xdat text, a microsecond stopwatch, the local-to-UTC conversion of agent time
// stamps and the formatting of seconds as hours, minutes and seconds.
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qm7/runtime/datetime.h"
#include "qm7/runtime/text.h"

namespace {

DATUM_BUFF g_datum;
char g_dt_char[32];
char g_hhmmss[64];

void read_clock(struct timeval* now) {
  if (gettimeofday(now, nullptr) != 0) {
    now->tv_sec = time(nullptr);
    now->tv_usec = 0;
  }
}

void format_hhmmss(int psec, char* out, size_t size) {
  int hours = psec / 3600;
  int rest = psec % 3600;
  std::snprintf(out, size, "%.2d:%.2d:%.2d", hours, rest / 60, rest % 60);
}

}  // namespace

DATUM_BUFF* GetDatumZeit(void* eT) {
  GetDatumZeit2(eT, &g_datum);
  return &g_datum;
}

int GetUsec(struct timeval* tv_s, int flag) {
  if (tv_s == nullptr) return 0;
  struct timeval now;
  read_clock(&now);
  if (flag == 0) {
    *tv_s = now;
    return 0;
  }
  // In 128 bits the difference of any two readings is exact, so a mark of any value, even
  // garbage, cannot overflow; a long interval saturates instead of wrapping round the int.
  using wide = __int128;
  const wide diff = (static_cast<wide>(now.tv_sec) - tv_s->tv_sec) * 1000000 +
                    (static_cast<wide>(now.tv_usec) - tv_s->tv_usec);
  *tv_s = now;
  if (diff > INT_MAX) return INT_MAX;
  if (diff < INT_MIN) return INT_MIN;
  return static_cast<int>(diff);
}

char* GetDtChar(void* eT) {
  DATUM_BUFF* dt = GetDatumZeit(eT);
  StringCopy(g_dt_char, sizeof(g_dt_char), dt->dt_xdat);
  return g_dt_char;
}

void GetDtChar2(void* eT, char* xData, int Length) {
  if (xData == nullptr || Length < 1) return;
  if (Length == 1) {
    // The copy below would get a size of 0 and leave the caller's text unterminated.
    xData[0] = '\0';
    return;
  }
  DATUM_BUFF dt;
  GetDatumZeit2(eT, &dt);
  StringCopy(xData, Length - 1, dt.dt_xdat);
}

int CreateCharUtcTime(MSG_TYPE_TIMESTAMP* ZeitStamp) {
  if (ZeitStamp == nullptr) return -1;
  if (ZeitStamp->jjjj == 0) return 0;
  struct tm local;
  std::memset(&local, 0, sizeof(local));
  local.tm_sec = ZeitStamp->ss;
  local.tm_min = ZeitStamp->mi;
  local.tm_hour = ZeitStamp->hh;
  local.tm_mday = ZeitStamp->tt;
  local.tm_mon = ZeitStamp->mo - 1;
  local.tm_year = ZeitStamp->jjjj - 1900;
  local.tm_isdst = 0;  // read as standard time, by design of the agent records
  errno = 0;
  time_t seconds = mktime(&local);
  if (seconds == static_cast<time_t>(-1)) return -1;
  struct tm utc;
  if (gmtime_r(&seconds, &utc) == nullptr) return -1;
  ZeitStamp->jjjj = static_cast<int16_t>(utc.tm_year + 1900);
  ZeitStamp->mo = static_cast<int16_t>(utc.tm_mon + 1);
  ZeitStamp->tt = static_cast<int16_t>(utc.tm_mday);
  ZeitStamp->hh = static_cast<int16_t>(utc.tm_hour);
  ZeitStamp->mi = static_cast<int16_t>(utc.tm_min);
  ZeitStamp->ss = static_cast<int16_t>(utc.tm_sec);
  return 0;
}

char* sec2hhmmss(int psec, char* work) {
  // 16 bytes hold the longest possible text (INT_MIN gives "-596523:-14:-08").
  format_hhmmss(psec, work, 16);
  return work;
}

char* sec2hhmmss2(int psec) {
  format_hhmmss(psec, g_hhmmss, sizeof(g_hhmmss));
  return g_hhmmss;
}

void sec2hhmmss3(int psec, char* pWork, int wLen) {
  if (pWork == nullptr || wLen < 1) return;
  format_hhmmss(psec, pWork, static_cast<size_t>(wLen));
}
