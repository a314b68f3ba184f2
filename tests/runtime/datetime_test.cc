// The clock reading and the date and time module: dt_xdat texts with and without milliseconds,
// local against UTC fields, texts at their buffer limits, the stopwatch, local-to-UTC stamps and
// the hours:minutes:seconds texts.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <utility>

#include "qm7/runtime/datetime.h"

namespace {

void use_time_zone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

// Each test starts in UTC; the process's own zone comes back afterwards.
class DateTime : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = getenv("TZ")) saved_tz_ = tz;
    use_time_zone("UTC0");
  }
  void TearDown() override {
    saved_tz_.empty() ? (void)unsetenv("TZ") : use_time_zone(saved_tz_.c_str());
    tzset();
  }
  std::string saved_tz_;
};

// "YYYYMMDD/hhmmss.mmm", as read from the clock.
bool has_clock_shape(const std::string& x) {
  return x.size() == 19 && x[8] == '/' && x[15] == '.' &&
         x.find_first_not_of("0123456789/.") == std::string::npos;
}

TEST_F(DateTime, GivenTimesAndTheClock) {
  time_t epoch = 0, leap_day = 951782400 + 3 * 3600 + 4 * 60 + 5;  // 2000-02-29 03:04:05
  DATUM_BUFF dt;
  memset(&dt, 0x5A, sizeof(dt));
  GetDatumZeit2(&epoch, &dt);
  EXPECT_STREQ(dt.dt_xdat, "19700101/000000");  // a given time has no sub-seconds
  EXPECT_EQ(dt.dt_jahr * 10000 + dt.dt_mon * 100 + dt.dt_tag, 19700101);
  EXPECT_EQ(dt.dt_msek + dt.dt_usek + dt.dt_nsek + dt.utc_nsek, 0);
  GetDatumZeit2(&leap_day, &dt);
  EXPECT_STREQ(dt.dt_xdat, "20000229/030405");
  use_time_zone("XST-5");  // five hours ahead of UTC
  GetDatumZeit2(&epoch, &dt);
  EXPECT_STREQ(dt.dt_xdat, "19700101/050000");
  EXPECT_EQ(dt.dt_std * 100 + dt.utc_std, 500);
  EXPECT_EQ(dt.utc_jahr * 10000 + dt.utc_mon * 100 + dt.utc_tag, 19700101);

  GetDatumZeit2(nullptr, &dt);
  ASSERT_TRUE(has_clock_shape(dt.dt_xdat)) << dt.dt_xdat;
  EXPECT_EQ(atoi(dt.dt_xdat + 16), dt.dt_msek);
  EXPECT_EQ(dt.utc_msek, dt.dt_msek);
  int usec = -2;
  EXPECT_LE(dt.dt_time, GetElapsedTime(&usec));
  EXPECT_TRUE(usec >= 0 && usec <= 999999) << usec;

  // The shared record and text: one per process, overwritten by the next call.
  DATUM_BUFF* shared = GetDatumZeit(&epoch);
  time_t day = 86400 - 5 * 3600;
  EXPECT_EQ(GetDatumZeit(&day), shared);
  EXPECT_STREQ(shared->dt_xdat, "19700102/000000");
  char* text = GetDtChar(&epoch);
  EXPECT_STREQ(text, "19700101/050000");
  EXPECT_EQ(GetDtChar(nullptr), text);
  EXPECT_TRUE(has_clock_shape(text)) << text;
}

TEST_F(DateTime, DtChar2KeepsLengthLessTwoCharacters) {
  time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC
  // With milliseconds, 19 characters need 21 bytes of room; 1 byte holds only a terminator.
  // clang-format off
  const struct { time_t* when; int length; size_t text_length; } cases[] = {
      {&t, 32, 15}, {nullptr, 21, 19}, {nullptr, 20, 18}, {&t, 5, 3}, {&t, 2, 0}, {&t, 1, 0}};
  // clang-format on
  for (const auto& c : cases) {
    char buffer[40];
    std::memset(buffer, '#', sizeof(buffer));
    GetDtChar2(c.when, buffer, c.length);
    EXPECT_EQ(strnlen(buffer, sizeof buffer), c.text_length) << c.length;
    if (c.when != nullptr) {  // the clock's own date is not known in advance
      EXPECT_EQ(std::string(buffer, c.text_length), std::string("20231114/221320", c.text_length));
    }
    EXPECT_EQ(buffer[c.length == 1 ? 1 : c.length - 1], '#') << "more than Length - 1 bytes";
  }
  char untouched = '#';
  GetDtChar2(&t, &untouched, 0);
  GetDtChar2(&t, &untouched, -3);
  GetDtChar2(&t, nullptr, 32);
  EXPECT_EQ(untouched, '#');
}

TEST_F(DateTime, StopwatchMeasuresMovesItsMarkAndSaturates) {
  EXPECT_EQ(GetUsec(nullptr, 1), 0);
  struct timeval mark = {};
  EXPECT_EQ(GetUsec(&mark, 0), 0);
  mark.tv_sec -= 2;  // as if the mark was set two seconds ago
  const int elapsed = GetUsec(&mark, 1);
  EXPECT_TRUE(elapsed >= 2000000 && elapsed < 7000000) << elapsed;
  const int again = GetUsec(&mark, 1);  // the mark moved to now
  EXPECT_TRUE(again >= 0 && again < 5000000) << again;
  // Marks carry the clock's microseconds: two marks 2 ms apart are not both on a whole second.
  struct timeval first = {}, second = {};
  GetUsec(&first, 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
  while (std::chrono::steady_clock::now() < until) {
  }
  GetUsec(&second, 0);
  EXPECT_NE(first.tv_usec + second.tv_usec, 0);
  mark.tv_sec -= 3000;  // beyond the int range: saturates instead of wrapping round
  EXPECT_EQ(GetUsec(&mark, 1), INT_MAX);
  mark.tv_sec += 3000;
  EXPECT_EQ(GetUsec(&mark, 1), INT_MIN);
  // A garbage mark saturates too: no sum or product overflows on the way.
  const struct {
    time_t sec;
    suseconds_t usec;
    int result;
  } garbage[] = {
      {std::numeric_limits<time_t>::min(), 0, INT_MAX},
      {std::numeric_limits<time_t>::max(), 0, INT_MIN},
      {0, std::numeric_limits<suseconds_t>::min(), INT_MAX},
      {std::numeric_limits<time_t>::max(), std::numeric_limits<suseconds_t>::max(), INT_MIN}};
  for (const auto& g : garbage) {
    mark = {g.sec, g.usec};
    EXPECT_EQ(GetUsec(&mark, 1), g.result) << g.sec << " " << g.usec;
  }
}

TEST_F(DateTime, LocalStampToUtcReadAsStandardTime) {
  MSG_TYPE_TIMESTAMP unset = {0, 5, 6, 7, 8, 9, 11}, want_unset = unset;  // year 0: unchanged
  EXPECT_EQ(CreateCharUtcTime(&unset), 0);
  EXPECT_EQ(std::memcmp(&unset, &want_unset, sizeof unset), 0);
  EXPECT_EQ(CreateCharUtcTime(nullptr), -1);
  MSG_TYPE_TIMESTAMP overflow = {2024, 2, 30, 0, 0, 0, 0};  // normalised as mktime does
  EXPECT_EQ(CreateCharUtcTime(&overflow), 0);
  EXPECT_EQ(overflow.mo * 100 + overflow.tt, 301);

  // Two hours east with a summer time rule: January and July both move back two hours.
  use_time_zone("EET-2EEST,M3.5.0/3,M10.5.0/4");
  MSG_TYPE_TIMESTAMP winter = {2024, 1, 1, 1, 30, 15, 777};
  const MSG_TYPE_TIMESTAMP want_winter = {2023, 12, 31, 23, 30, 15, 777};
  EXPECT_EQ(CreateCharUtcTime(&winter), 0);
  EXPECT_EQ(std::memcmp(&winter, &want_winter, sizeof winter), 0);
  MSG_TYPE_TIMESTAMP summer = {2024, 7, 15, 12, 0, 0, 0};
  EXPECT_EQ(CreateCharUtcTime(&summer), 0);
  EXPECT_EQ(summer.tt * 100 + summer.hh, 1510);
}

TEST(SecondsText, HoursMinutesSecondsWithinTheirAreas) {
  // clang-format off
  const std::pair<int, const char*> cases[] = {
      {3661, "01:01:01"}, {0, "00:00:00"}, {360000, "100:00:00"}, {-61, "00:-01:-01"},
      {INT_MIN, "-596523:-14:-08"}, {INT_MAX, "596523:14:07"}};  // the longest fit 16 bytes
  // clang-format on
  char work[16];
  for (auto [seconds, text] : cases) {
    EXPECT_EQ(sec2hhmmss(seconds, work), work);
    EXPECT_STREQ(work, text);
  }
  char* shared = sec2hhmmss2(59);
  EXPECT_STREQ(shared, "00:00:59");
  EXPECT_EQ(sec2hhmmss2(7200), shared);
  EXPECT_STREQ(shared, "02:00:00");

  char small[8];
  std::memset(small, '#', sizeof(small));
  sec2hhmmss3(3661, small, 6);
  EXPECT_EQ(std::string(small, 7), std::string("01:01\0#", 7));
  sec2hhmmss3(3661, small + 6, 1);  // room for the terminator only
  sec2hhmmss3(3661, small + 7, 0);
  sec2hhmmss3(3661, nullptr, 10);
  EXPECT_EQ(std::string(small + 6, 2), std::string("\0#", 2));
}

}  // namespace
