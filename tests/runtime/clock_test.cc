// The clock reading: text forms with and without milliseconds, and local against UTC fields.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "qm7/runtime/datetime.h"

namespace {

class ClockInUtc : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  bool had_tz_ = false;
  std::string saved_tz_;
};

TEST_F(ClockInUtc, GivenTimeHasNoSubSecondsAndMatchingUtcFields) {
  time_t epoch = 0;
  DATUM_BUFF dt;
  memset(&dt, 0x5A, sizeof(dt));
  GetDatumZeit2(&epoch, &dt);
  EXPECT_STREQ(dt.dt_xdat, "19700101/000000");
  EXPECT_EQ(dt.dt_jahr, 1970);
  EXPECT_EQ(dt.dt_mon, 1);
  EXPECT_EQ(dt.dt_tag, 1);
  EXPECT_EQ(dt.dt_msek, 0);
  EXPECT_EQ(dt.dt_usek, 0);
  EXPECT_EQ(dt.dt_nsek, 0);
  EXPECT_EQ(dt.utc_jahr, dt.dt_jahr);
  EXPECT_EQ(dt.utc_mon, dt.dt_mon);
  EXPECT_EQ(dt.utc_tag, dt.dt_tag);
  EXPECT_EQ(dt.utc_std, dt.dt_std);
  EXPECT_EQ(dt.utc_min, dt.dt_min);
  EXPECT_EQ(dt.utc_sek, dt.dt_sek);
  EXPECT_EQ(dt.utc_nsek, 0);

  time_t later = 951782400 + 3 * 3600 + 4 * 60 + 5;  // 2000-02-29 03:04:05 UTC
  GetDatumZeit2(&later, &dt);
  EXPECT_STREQ(dt.dt_xdat, "20000229/030405");
}

TEST_F(ClockInUtc, LocalTimeDiffersFromUtcInAnotherZone) {
  setenv("TZ", "XST-5", 1);  // five hours ahead of UTC, no daylight saving
  tzset();
  time_t epoch = 0;
  DATUM_BUFF dt;
  GetDatumZeit2(&epoch, &dt);
  EXPECT_STREQ(dt.dt_xdat, "19700101/050000");
  EXPECT_EQ(dt.utc_std, 0);
  EXPECT_EQ(dt.dt_std, 5);
}

TEST(Clock, CurrentTimeCarriesMilliseconds) {
  DATUM_BUFF dt;
  GetDatumZeit2(nullptr, &dt);
  std::string x = dt.dt_xdat;
  ASSERT_EQ(x.size(), 19u) << x;
  EXPECT_EQ(x[8], '/');
  EXPECT_EQ(x[15], '.');
  for (int i : {16, 17, 18}) EXPECT_TRUE(isdigit(static_cast<unsigned char>(x[i])));
  EXPECT_EQ(atoi(x.c_str() + 16), dt.dt_msek);
  EXPECT_GE(dt.dt_msek, 0);
  EXPECT_LE(dt.dt_msek, 999);
  EXPECT_EQ(dt.utc_msek, dt.dt_msek);
  EXPECT_EQ(dt.utc_usek, dt.dt_usek);

  int usec = -2;
  time_t now = GetElapsedTime(&usec);
  EXPECT_GE(usec, 0);
  EXPECT_LE(usec, 999999);
  EXPECT_LE(dt.dt_time, now);
  EXPECT_GT(GetElapsedTime(nullptr), 0);
}

}  // namespace
