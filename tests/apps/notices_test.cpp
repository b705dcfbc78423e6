#include "apps/notices.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <regex>

#include "apps/notification_context.h"

namespace {

class NoticesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override { NotificationContext::release(); }

  void setIntervals(const std::vector<int32_t>& intervals) {
    NotificationContext::setMonitorInfo("Korza (R) Components Monitor", "Linux", "6.0.0.201105110",
                                        "host1", intervals);
  }

  // Everything after the Date header, which carries the current time.
  static std::string afterDate(const std::string& text) {
    static const std::regex date(
        "^Date: [A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} "
        "\\d\\d:\\d\\d:\\d\\d [+-]\\d{4}\n");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(text, m, date)) << text;
    return m.suffix();
  }

  const std::string signature_ =
      "\n---\nSincerely yours,\nKorza (R) Components Monitor\n6.0.0.201105110 for Linux\n"
      "Host \"host1\"";
  const time_t t0_ = 1300000000;  // 07:06:40 UTC
};

// Every notice against the recovery list it is written with: the times
// come from the fault time and the running sums of the intervals.
TEST_F(NoticesTest, TextsOfEveryNotice) {
  const std::string failed =
      "Subject: ERROR: Component \"agent\" failed\n\n"
      "Component \"agent\" (pid=7, file=/opt/agent) used in \"Agent\" failed at 07:06:40\n";
  const std::string recovered =
      "Subject: INFO: Component \"agent\" recovery\n\n"
      "Component \"agent\" (new pid=99, file=/opt/agent) used in \"Agent\" which failed at "
      "07:06:40 be recovery at ";
  const std::string cannot =
      "Subject: ERROR: Component \"agent\" cannot recovery\n\n"
      "Component \"agent\" (new pid=5, file=/opt/agent) used in \"Agent\" which failed at "
      "07:06:40 cannot be recovery\n";
  const std::string abortive = "Abortive attempts to recovery it were made at ";
  struct Case {
    std::vector<int32_t> intervals;
    std::function<std::string()> notice;
    std::string expected;
  } cases[] = {
      {{10, 20, 30},
       [&] {
         return Notices::failure(4242, "filter", t0_, "Mail filter", "/opt/bin/filter",
                                 {"POSTD", "ICAP"});
       },
       "Subject: ERROR: Component \"filter\" failed\n\n"
       "Component \"filter\" (pid=4242, file=/opt/bin/filter) used in \"Mail filter\" failed "
       "at 07:06:40\n"
       "This could affect operation of the following application(s): \"ICAP\", \"POSTD\"\n\n"
       "Monitor has tried to restart \"filter\" at 07:06:50\n"
       "Further attempts to restart the module will made at: 07:07:10, 07:07:40\n"
       "Once the component is restarted, you will be informed\n"},
      {{5},
       [&] { return Notices::failure(7, "agent", t0_, "Agent", "/opt/agent", {}); },
       failed + "\nMonitor has tried to restart \"agent\" at 07:06:45\n"},
      {{},
       [&] { return Notices::failure(7, "agent", t0_, "Agent", "/opt/agent", {}); },
       failed + "\n"},
      {{10, 20, 30},
       [&] { return Notices::recovery(99, "agent", t0_ + 10, t0_, 1, "Agent", "/opt/agent"); },
       recovered + "07:06:50\n"},
      {{10, 20, 30},
       [&] { return Notices::recovery(99, "agent", t0_ + 60, t0_, 3, "Agent", "/opt/agent"); },
       recovered + "07:07:40\n" + abortive + "07:06:50, 07:07:10\n"},
      {{10, 20},
       [&] { return Notices::cannotRecover(5, "agent", t0_, "Agent", "/opt/agent"); },
       cannot + abortive + "07:06:50, 07:07:10\n"},
      {{},
       [&] { return Notices::cannotRecover(5, "agent", t0_, "Agent", "/opt/agent"); },
       cannot + "\n"},
  };
  int n = 0;
  for (const auto& k : cases) {
    setIntervals(k.intervals);
    EXPECT_EQ(afterDate(k.notice()), k.expected + signature_) << n++;
  }
}

}  // namespace
