#include "base/kz_timeout.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>

#include "base/kz_exception.h"

namespace korza {
namespace base {

const KzTimeout kTimeoutInfinite(KzTimeout::kInfiniteMs);
const KzTimeout kTimeoutNowait(0u);
const KzTimeout kTimeoutMax(KzTimeout::kMaxMs);
const KzDeadline kDeadlineInfinite;

void KzTimeout::Set(int64_t value, int unit) {
  if (unit != kSeconds && unit != kMilliseconds) {
    throw KzParameterError("Timeout::Set", "Unit", std::to_string(unit));
  }
  if (value < 0) {
    ms_ = kInfiniteMs;
    return;
  }
  // Anything beyond the maximum is cut to it by Normalize; cap first so the
  // multiplication cannot overflow.
  const int64_t cap = static_cast<int64_t>(kMaxMs) + 1;
  if (unit == kSeconds) value = value > cap / 1000 ? cap : value * 1000;
  ms_ = static_cast<uint32_t>(value > cap ? cap : value);
  Normalize();
}

uint32_t KzTimeout::AsUnit(int unit) const {
  if (unit == kSeconds) return ms_ / 1000;
  if (unit == kMilliseconds) return ms_;
  throw KzParameterError("Timeout::AsUnit", "Unit", std::to_string(unit));
}

struct timeval* KzTimeout::ToTimeval(struct timeval* tv) const {
  if (IsInfinite()) return nullptr;
  tv->tv_sec = static_cast<time_t>(ms_ / 1000);
  tv->tv_usec = static_cast<suseconds_t>((ms_ % 1000) * 1000);
  return tv;
}

std::string KzTimeout::Text() const {
  if (IsInfinite()) return "inf";
  if (ms_ == 0) return "0 ms";
  static const struct {
    uint32_t ms;
    const char* unit;
  } kParts[] = {{3600000, " h "}, {60000, " m"}, {1000, " s"}, {1, " ms"}};
  std::string text;
  uint32_t rest = ms_;
  for (const auto& p : kParts) {
    const uint32_t n = rest / p.ms;
    rest %= p.ms;
    if (n == 0) continue;
    if (!text.empty()) text += ' ';
    text += std::to_string(n) + p.unit;
  }
  return text;
}

KzTimeout& KzTimeout::Add(const KzTimeout& other) {
  if (IsInfinite() || other.IsInfinite()) {
    ms_ = kInfiniteMs;
    return *this;
  }
  const uint64_t sum = static_cast<uint64_t>(ms_) + other.ms_;
  ms_ = sum > kMaxMs ? kMaxMs : static_cast<uint32_t>(sum);
  return *this;
}

KzTimeout& KzTimeout::Subtract(const KzTimeout& other) {
  if (other.IsInfinite()) {
    ms_ = 0;
  } else if (!IsInfinite()) {
    ms_ = ms_ > other.ms_ ? ms_ - other.ms_ : 0;
  }
  Normalize();
  return *this;
}

void KzTimeout::Normalize() {
  if (!IsInfinite() && ms_ > kMaxMs) ms_ = kMaxMs;
}

KzTime KzTime::Now() { return KzTime(boost::posix_time::microsec_clock::local_time()); }

KzTime KzTime::FromCalendar(int year, int month, int day, int hour, int minute, int second,
                            int microsecond) {
  try {
    boost::gregorian::date d(static_cast<unsigned short>(year), static_cast<unsigned short>(month),
                             static_cast<unsigned short>(day));
    return KzTime(boost::posix_time::ptime(
        d, boost::posix_time::hours(hour) + boost::posix_time::minutes(minute) +
               boost::posix_time::seconds(second) + boost::posix_time::microseconds(microsecond)));
  } catch (const std::exception& e) {
    throw KzException(e.what());
  }
}

std::string KzTime::Text() const {
  if (!IsSet()) return "undefined";
  const boost::gregorian::date d = time_.date();
  const boost::posix_time::time_duration t = time_.time_of_day();
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%06ld", static_cast<int>(d.year()),
           static_cast<int>(d.month()), static_cast<int>(d.day()), static_cast<int>(t.hours()),
           static_cast<int>(t.minutes()), static_cast<int>(t.seconds()),
           static_cast<long>(t.fractional_seconds()));
  return buf;
}

KzDeadline::KzDeadline(const KzTimeout& timeout) : infinite_(timeout.IsInfinite()) {
  if (infinite_) return;
  end_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout.ms());
  time_ = boost::posix_time::microsec_clock::local_time() +
          boost::posix_time::milliseconds(timeout.ms());
}

KzTimeout KzDeadline::Remaining() const {
  if (infinite_) return kTimeoutInfinite;
  const auto now = std::chrono::steady_clock::now();
  if (now >= end_) return kTimeoutNowait;
  // Round up so that a wait for the remaining time does not end just short
  // of the deadline and report a time-out too early.
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(end_ - now).count();
  const int64_t ms = (us + 999) / 1000;
  return KzTimeout(static_cast<int64_t>(ms), KzTimeout::kMilliseconds);
}

std::string KzDeadline::Text() const { return infinite_ ? "inf" : KzTime::Text(); }

std::string TimedOutText(const std::string& what, const KzTimeout& timeout) {
  return "a waiting of " + what + ": timed out (timeout=" + timeout.Text() + ")";
}

std::string TimedOutText(const std::string& what, const KzDeadline& deadline) {
  return "a waiting of " + what + ": timed out (deadline=" + deadline.Text() + ")";
}

}  // namespace base
}  // namespace korza
