// Tests of the date and time module around GetDatumZeit2: the shared-storage variants, the
// dt_xdat text at its buffer limits, the stopwatch, the local-to-UTC conversion of time stamps
// and the hours:minutes:seconds texts.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "qm7/runtime/datetime.h"

namespace {

void UseTimeZone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

TEST(DateTimeModule, SharedRecordAndText) {
  UseTimeZone("UTC0");
  time_t zero = 0;
  DATUM_BUFF* dt = GetDatumZeit(&zero);
  ASSERT_NE(dt, nullptr);
  EXPECT_STREQ(dt->dt_xdat, "19700101/000000");
  EXPECT_EQ(dt->dt_jahr, 1970);
  EXPECT_EQ(dt->utc_jahr, 1970);
  // One record per process: the next call overwrites it.
  time_t day = 86400;
  EXPECT_EQ(GetDatumZeit(&day), dt);
  EXPECT_STREQ(dt->dt_xdat, "19700102/000000");

  char* text = GetDtChar(&zero);
  EXPECT_STREQ(text, "19700101/000000");
  EXPECT_EQ(GetDtChar(nullptr), text);
  // Read from the clock, the text carries milliseconds: "YYYYMMDD/hhmmss.mmm".
  ASSERT_EQ(std::strlen(text), 19u) << text;
  for (int i = 0; i < 19; ++i) {
    if (i == 8) {
      EXPECT_EQ(text[i], '/');
    } else if (i == 15) {
      EXPECT_EQ(text[i], '.');
    } else {
      EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << text;
    }
  }
}

TEST(DateTimeModule, DtChar2KeepsLengthLessTwoCharacters) {
  UseTimeZone("UTC0");
  time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC
  char buffer[40];
  std::memset(buffer, '#', sizeof(buffer));
  GetDtChar2(&t, buffer, 32);
  EXPECT_STREQ(buffer, "20231114/221320");

  // With milliseconds, 19 characters need 21 bytes of room.
  std::memset(buffer, '#', sizeof(buffer));
  GetDtChar2(nullptr, buffer, 21);
  EXPECT_EQ(std::strlen(buffer), 19u);
  std::memset(buffer, '#', sizeof(buffer));
  GetDtChar2(nullptr, buffer, 20);
  EXPECT_EQ(std::strlen(buffer), 18u);
  EXPECT_EQ(buffer[19], '#') << "wrote past Length - 1 bytes";

  std::memset(buffer, '#', sizeof(buffer));
  GetDtChar2(&t, buffer, 5);
  EXPECT_STREQ(buffer, "202");
  EXPECT_EQ(buffer[4], '#');

  // The smallest sizes: 2 bytes give the empty text, 1 byte only a terminator, 0 nothing.
  std::memset(buffer, '#', sizeof(buffer));
  GetDtChar2(&t, buffer, 2);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '#');
  std::memset(buffer, '#', sizeof(buffer));
  GetDtChar2(&t, buffer, 1);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '#');
  std::memset(buffer, '#', sizeof(buffer));
  GetDtChar2(&t, buffer, 0);
  GetDtChar2(&t, buffer, -3);
  EXPECT_EQ(buffer[0], '#');
  GetDtChar2(&t, nullptr, 32);  // no crash
}

TEST(DateTimeModule, StopwatchMeasuresAndMovesItsMark) {
  EXPECT_EQ(GetUsec(nullptr, 0), 0);
  EXPECT_EQ(GetUsec(nullptr, 1), 0);

  struct timeval mark = {};
  EXPECT_EQ(GetUsec(&mark, 0), 0);
  EXPECT_NE(mark.tv_sec, 0);
  // Pretend the mark was set 1.25 seconds ago.
  mark.tv_sec -= 1;
  if (mark.tv_usec >= 250000) {
    mark.tv_usec -= 250000;
  } else {
    mark.tv_sec -= 1;
    mark.tv_usec += 750000;
  }
  int elapsed = GetUsec(&mark, 1);
  EXPECT_GE(elapsed, 1250000);
  EXPECT_LT(elapsed, 1250000 + 5000000);
  // The mark moved to now, so the next interval is short.
  int again = GetUsec(&mark, 1);
  EXPECT_GE(again, 0);
  EXPECT_LT(again, 5000000);

  // An interval beyond the int range saturates instead of wrapping around.
  mark.tv_sec -= 3000;
  EXPECT_EQ(GetUsec(&mark, 1), INT_MAX);
  mark.tv_sec += 3000;
  EXPECT_EQ(GetUsec(&mark, 1), INT_MIN);
}

TEST(DateTimeModule, LocalStampToUtc) {
  MSG_TYPE_TIMESTAMP stamp = {0, 5, 6, 7, 8, 9, 11};
  EXPECT_EQ(CreateCharUtcTime(&stamp), 0);
  EXPECT_EQ(stamp.jjjj, 0);
  EXPECT_EQ(stamp.mo, 5);
  EXPECT_EQ(stamp.ss, 9);
  EXPECT_EQ(stamp.ns, 11);
  EXPECT_EQ(CreateCharUtcTime(nullptr), -1);

  // Two hours east of UTC, with a summer time rule: the stamp is read as standard time all
  // year, so July and January both move back by two hours.
  UseTimeZone("EET-2EEST,M3.5.0/3,M10.5.0/4");
  MSG_TYPE_TIMESTAMP winter = {2024, 1, 1, 1, 30, 15, 777};
  EXPECT_EQ(CreateCharUtcTime(&winter), 0);
  EXPECT_EQ(winter.jjjj, 2023);
  EXPECT_EQ(winter.mo, 12);
  EXPECT_EQ(winter.tt, 31);
  EXPECT_EQ(winter.hh, 23);
  EXPECT_EQ(winter.mi, 30);
  EXPECT_EQ(winter.ss, 15);
  EXPECT_EQ(winter.ns, 777);

  MSG_TYPE_TIMESTAMP summer = {2024, 7, 15, 12, 0, 0, 0};
  EXPECT_EQ(CreateCharUtcTime(&summer), 0);
  EXPECT_EQ(summer.mo, 7);
  EXPECT_EQ(summer.tt, 15);
  EXPECT_EQ(summer.hh, 10);

  // Out-of-range fields are normalised as mktime does.
  UseTimeZone("UTC0");
  MSG_TYPE_TIMESTAMP overflow = {2024, 2, 30, 0, 0, 0, 0};
  EXPECT_EQ(CreateCharUtcTime(&overflow), 0);
  EXPECT_EQ(overflow.mo, 3);
  EXPECT_EQ(overflow.tt, 1);
}

TEST(DateTimeModule, SecondsAsHoursMinutesSeconds) {
  char work[16];
  EXPECT_STREQ(sec2hhmmss(3661, work), "01:01:01");
  EXPECT_EQ(sec2hhmmss(3661, work), work);
  EXPECT_STREQ(sec2hhmmss(0, work), "00:00:00");
  EXPECT_STREQ(sec2hhmmss(360000, work), "100:00:00");
  EXPECT_STREQ(sec2hhmmss(-61, work), "00:-01:-01");
  // The longest texts fit the documented 16 bytes.
  EXPECT_STREQ(sec2hhmmss(INT_MIN, work), "-596523:-14:-08");
  EXPECT_STREQ(sec2hhmmss(INT_MAX, work), "596523:14:07");

  char* shared = sec2hhmmss2(59);
  EXPECT_STREQ(shared, "00:00:59");
  EXPECT_EQ(sec2hhmmss2(7200), shared);
  EXPECT_STREQ(shared, "02:00:00");

  char small[6];
  std::memset(small, '#', sizeof(small));
  sec2hhmmss3(3661, small, 6);
  EXPECT_STREQ(small, "01:01");
  char buffer[16];
  std::memset(buffer, '#', sizeof(buffer));
  sec2hhmmss3(3661, buffer, 1);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '#');
  sec2hhmmss3(3661, buffer, 0);
  sec2hhmmss3(3661, nullptr, 10);
  sec2hhmmss3(45296, buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "12:34:56");
}

}  // namespace
