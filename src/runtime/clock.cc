// The clock reading of the runtime library: seconds and microseconds now, broken down into local
// and UTC fields and the local time as text. Only the caller's storage is used, so the main
// thread and the network thread may read the clock at the same time.
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "qm7/runtime/datetime.h"

long long qm7::monotonic_ms() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

time_t GetElapsedTime(int* usec) {
  if (usec != nullptr) *usec = -1;
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) == -1) return time(nullptr);
  if (usec != nullptr) *usec = static_cast<int>(tv.tv_usec);
  return tv.tv_sec;
}

void GetDatumZeit2(void* eT, DATUM_BUFF* dt) {
  memset(dt, 0, sizeof(*dt));
  int usec = -1;
  if (eT != nullptr) {
    dt->dt_time = *static_cast<const time_t*>(eT);
  } else {
    dt->dt_time = GetElapsedTime(&usec);
  }

  struct tm local;
  memset(&local, 0, sizeof(local));
  localtime_r(&dt->dt_time, &local);
  dt->dt_jahr = static_cast<int16_t>(local.tm_year + 1900);
  dt->dt_mon = static_cast<int16_t>(local.tm_mon + 1);
  dt->dt_tag = static_cast<int16_t>(local.tm_mday);
  dt->dt_std = static_cast<int16_t>(local.tm_hour);
  dt->dt_min = static_cast<int16_t>(local.tm_min);
  dt->dt_sek = static_cast<int16_t>(local.tm_sec);
  // Formatted into a roomier buffer first: the 16-bit fields could in theory print wider than
  // the 32-byte text field, which must stay terminated.
  char text[64];
  if (usec == -1) {
    snprintf(text, sizeof(text), "%.4d%.2d%.2d/%.2d%.2d%.2d", dt->dt_jahr, dt->dt_mon, dt->dt_tag,
             dt->dt_std, dt->dt_min, dt->dt_sek);
  } else {
    dt->dt_msek = static_cast<int16_t>(usec / 1000);
    dt->dt_usek = static_cast<int16_t>(usec % 1000);
    snprintf(text, sizeof(text), "%.4d%.2d%.2d/%.2d%.2d%.2d.%.3d", dt->dt_jahr, dt->dt_mon,
             dt->dt_tag, dt->dt_std, dt->dt_min, dt->dt_sek, dt->dt_msek);
  }
  memcpy(dt->dt_xdat, text, strnlen(text, sizeof(dt->dt_xdat) - 1));

  struct tm utc;
  memset(&utc, 0, sizeof(utc));
  gmtime_r(&dt->dt_time, &utc);
  dt->utc_jahr = static_cast<int16_t>(utc.tm_year + 1900);
  dt->utc_mon = static_cast<int16_t>(utc.tm_mon + 1);
  dt->utc_tag = static_cast<int16_t>(utc.tm_mday);
  dt->utc_std = static_cast<int16_t>(utc.tm_hour);
  dt->utc_min = static_cast<int16_t>(utc.tm_min);
  dt->utc_sek = static_cast<int16_t>(utc.tm_sec);
  dt->utc_msek = dt->dt_msek;
  dt->utc_usek = dt->dt_usek;
}
