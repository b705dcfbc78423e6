// Time values that bound every wait of the IPC library: a relative
// KzTimeout (how long one wait may last), an absolute KzDeadline (when a
// whole call must end) and the calendar time KzTime it rests on.
//
// Thread safety: plain values, copied freely.
#ifndef KORZA_BASE_KZ_TIMEOUT_H_
#define KORZA_BASE_KZ_TIMEOUT_H_

#include <sys/time.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <chrono>
#include <cstdint>
#include <string>

namespace korza {
namespace base {

// A length of time in milliseconds; 0xFFFFFFFF means infinite. Any finite
// value is kept at or below kTimeoutMax (4 hours), so no single wait lasts
// longer than that.
class KzTimeout {
 public:
  enum Unit { kSeconds = 0, kMilliseconds = 1 };
  static const uint32_t kInfiniteMs = 0xFFFFFFFFu;
  static const uint32_t kMaxMs = 14400000u;

  KzTimeout() : ms_(0) {}
  // Milliseconds; normalised.
  explicit KzTimeout(uint32_t ms) : ms_(ms) { Normalize(); }
  // Same as Set(value, unit).
  KzTimeout(int64_t value, int unit) : ms_(0) { Set(value, unit); }
  virtual ~KzTimeout() = default;

  // A negative value gives infinite. Throws KzParameterError
  // ("Timeout::Set", "Unit", unit) for a unit other than 0 or 1.
  virtual void Set(int64_t value, int unit);
  // The value in whole seconds or milliseconds (infinite: 0xFFFFFFFF).
  // Throws KzParameterError ("Timeout::AsUnit", "Unit", unit).
  virtual uint32_t AsUnit(int unit) const;
  // Fills `tv` for select-style waits and returns it; infinite gives null.
  virtual struct timeval* ToTimeval(struct timeval* tv) const;
  // "inf", "0 ms", or the non-zero parts among hours, minutes, seconds and
  // milliseconds, for example "1 h  2 m 3 s 4 ms" (the hour unit is " h ").
  virtual std::string Text() const;
  virtual bool IsInfinite() const { return ms_ == kInfiniteMs; }
  // Infinite stays infinite; sums saturate, then normalise.
  virtual KzTimeout& Add(const KzTimeout& other);
  // Infinite minus a finite value stays infinite; anything minus infinite
  // and any negative result give 0.
  virtual KzTimeout& Subtract(const KzTimeout& other);
  virtual void Normalize();

  uint32_t ms() const { return ms_; }
  // Milliseconds for poll(): -1 when infinite.
  int PollMs() const { return IsInfinite() ? -1 : static_cast<int>(ms_); }

  bool operator<(const KzTimeout& o) const { return ms_ < o.ms_; }
  bool operator>(const KzTimeout& o) const { return ms_ > o.ms_; }
  bool operator<=(const KzTimeout& o) const { return ms_ <= o.ms_; }
  bool operator>=(const KzTimeout& o) const { return ms_ >= o.ms_; }
  bool operator==(const KzTimeout& o) const { return ms_ == o.ms_; }
  bool operator!=(const KzTimeout& o) const { return ms_ != o.ms_; }

 private:
  uint32_t ms_;
};

extern const KzTimeout kTimeoutInfinite;
extern const KzTimeout kTimeoutNowait;
extern const KzTimeout kTimeoutMax;

// Calendar time (local time) with microseconds, or "not set".
class KzTime {
 public:
  KzTime() = default;
  explicit KzTime(const boost::posix_time::ptime& t) : time_(t) {}
  virtual ~KzTime() = default;

  static KzTime Now();
  // Throws KzException with the calendar library's text ("Day of month is
  // not valid for year", ...) for an impossible date.
  static KzTime FromCalendar(int year, int month, int day, int hour, int minute, int second,
                             int microsecond = 0);

  bool IsSet() const { return !time_.is_not_a_date_time(); }
  // "%F %H:%M:%S" + "." + the six-digit fraction, or "undefined".
  virtual std::string Text() const;
  const boost::posix_time::ptime& ptime() const { return time_; }

 protected:
  boost::posix_time::ptime time_;
};

// An absolute end of a call, or infinite. The remaining time is measured on
// the monotonic clock, so setting the system clock does not stretch or cut
// a wait; the calendar part serves the text form.
class KzDeadline : public KzTime {
 public:
  // Infinite.
  KzDeadline() : infinite_(true) {}
  // Infinite for an infinite timeout, otherwise now + timeout.
  explicit KzDeadline(const KzTimeout& timeout);

  bool IsInfinite() const { return infinite_; }
  // Infinite, or the time left (0 once passed), normalised.
  KzTimeout Remaining() const;
  bool Passed() const { return !infinite_ && Remaining().ms() == 0; }
  // "inf" for an infinite deadline, else the calendar text.
  std::string Text() const override;

 private:
  bool infinite_;
  std::chrono::steady_clock::time_point end_;
};

extern const KzDeadline kDeadlineInfinite;

// "a waiting of " + what + ": timed out (timeout=" + timeout text + ")".
std::string TimedOutText(const std::string& what, const KzTimeout& timeout);
// "a waiting of " + what + ": timed out (deadline=" + deadline text + ")".
std::string TimedOutText(const std::string& what, const KzDeadline& deadline);

}  // namespace base
}  // namespace korza

#endif  // KORZA_BASE_KZ_TIMEOUT_H_
