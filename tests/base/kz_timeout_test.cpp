#include "base/kz_timeout.h"

#include <gtest/gtest.h>

#include "base/kz_exception.h"
#include "tests/support/sandbox.h"

namespace {

using korza::base::kTimeoutInfinite;
using korza::base::KzDeadline;
using korza::base::KzException;
using korza::base::KzParameterError;
using korza::base::KzTime;
using korza::base::KzTimeout;

// Values are clamped to four hours, negatives are infinite, and arithmetic
// saturates at both ends without ever turning infinite into finite.
TEST(KzTimeout, UnitsClampAndArithmeticSaturates) {
  KzTimeout t;
  t.Set(-5, KzTimeout::kSeconds);
  EXPECT_TRUE(t.IsInfinite());
  t.Set(5, KzTimeout::kSeconds);
  EXPECT_EQ(t.ms(), 5000u);
  t.Set(int64_t(1) << 40, KzTimeout::kSeconds);
  EXPECT_EQ(t.ms(), 14400000u);
  EXPECT_THROW(t.Set(5, 7), KzParameterError);
  EXPECT_THROW(t.AsUnit(3), KzParameterError);

  KzTimeout a(1000u);
  a.Subtract(KzTimeout(3000u));
  EXPECT_EQ(a.ms(), 0u);
  KzTimeout b(14000000u);
  b.Add(KzTimeout(1000000u));
  EXPECT_EQ(b.ms(), 14400000u);
  KzTimeout inf = kTimeoutInfinite;
  inf.Subtract(KzTimeout(5u));
  EXPECT_TRUE(inf.IsInfinite());
  KzTimeout c(5u);
  c.Add(kTimeoutInfinite);
  EXPECT_TRUE(c.IsInfinite());
}

TEST(KzTimeout, TextsAndTimeval) {
  EXPECT_EQ(KzTimeout(3723004u).Text(), "1 h  2 m 3 s 4 ms");
  EXPECT_EQ(KzTimeout(0u).Text(), "0 ms");
  EXPECT_EQ(kTimeoutInfinite.Text(), "inf");
  struct timeval tv;
  EXPECT_EQ(kTimeoutInfinite.ToTimeval(&tv), nullptr);
  ASSERT_EQ(KzTimeout(2500u).ToTimeval(&tv), &tv);
  EXPECT_EQ(tv.tv_sec, 2);
  EXPECT_EQ(tv.tv_usec, 500000);
  EXPECT_EQ(KzTime::FromCalendar(2011, 5, 11, 9, 8, 7, 42).Text(), "2011-05-11 09:08:07.000042");
  EXPECT_THROW(KzTime::FromCalendar(2011, 2, 30, 0, 0, 0), KzException);
}

TEST(KzDeadline, RemainingShrinksAndStopsAtZero) {
  EXPECT_TRUE(KzDeadline(kTimeoutInfinite).Remaining().IsInfinite());
  const KzDeadline now(KzTimeout(0u));
  EXPECT_EQ(now.Remaining().ms(), 0u);
  EXPECT_TRUE(now.Passed());
  const KzDeadline later(KzTimeout(60000u));
  EXPECT_LE(later.Remaining().ms(), 60000u);
  EXPECT_GT(later.Remaining().ms(), 50000u);
  EXPECT_EQ(korza::base::TimedOutText("x", KzTimeout(1500u)),
            "a waiting of x: timed out (timeout=1 s 500 ms)");
}

}  // namespace
