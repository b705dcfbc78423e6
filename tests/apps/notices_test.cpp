#include "apps/notices.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

TEST_F(NoticesTest, RestartOffsetsAreRunningSums) {
  setIntervals({10, 20, 30});
  EXPECT_EQ(NotificationContext::getRestartOffsets(), (std::vector<int32_t>{10, 30, 60}));
  NotificationContext::release();
  EXPECT_TRUE(NotificationContext::getRestartOffsets().empty());
  EXPECT_EQ(NotificationContext::getMonitorInfo().host, "");
}

TEST_F(NoticesTest, FailureWithSeveralOffsetsAndAffectedApplications) {
  setIntervals({10, 20, 30});
  Utils::NameSet affected{"POSTD", "ICAP"};
  std::string text =
      Notices::failure(4242, "filter", t0_, "Mail filter", "/opt/bin/filter", affected);
  EXPECT_EQ(afterDate(text),
            "Subject: ERROR: Component \"filter\" failed\n\n"
            "Component \"filter\" (pid=4242, file=/opt/bin/filter) used in \"Mail filter\" failed "
            "at 07:06:40\n"
            "This could affect operation of the following application(s): \"ICAP\", \"POSTD\"\n"
            "\n"
            "Monitor has tried to restart \"filter\" at 07:06:50\n"
            "Further attempts to restart the module will made at: 07:07:10, 07:07:40\n"
            "Once the component is restarted, you will be informed\n" +
                signature_);
}

TEST_F(NoticesTest, FailureWithOneOffsetHasNoFurtherAttempts) {
  setIntervals({5});
  std::string text = Notices::failure(7, "agent", t0_, "Agent", "/opt/agent", {});
  EXPECT_EQ(afterDate(text),
            "Subject: ERROR: Component \"agent\" failed\n\n"
            "Component \"agent\" (pid=7, file=/opt/agent) used in \"Agent\" failed at 07:06:40\n"
            "\n"
            "Monitor has tried to restart \"agent\" at 07:06:45\n" +
                signature_);
}

TEST_F(NoticesTest, FailureWithEmptyRecoveryListHasNoRestartParagraph) {
  setIntervals({});
  std::string text = Notices::failure(7, "agent", t0_, "Agent", "/opt/agent", {});
  EXPECT_EQ(afterDate(text),
            "Subject: ERROR: Component \"agent\" failed\n\n"
            "Component \"agent\" (pid=7, file=/opt/agent) used in \"Agent\" failed at 07:06:40\n"
            "\n" +
                signature_);
}

TEST_F(NoticesTest, RecoveryListsOnlyTheAbortiveAttempts) {
  setIntervals({10, 20, 30});
  std::string first = Notices::recovery(99, "agent", t0_ + 10, t0_, 1, "Agent", "/opt/agent");
  EXPECT_EQ(afterDate(first),
            "Subject: INFO: Component \"agent\" recovery\n\n"
            "Component \"agent\" (new pid=99, file=/opt/agent) used in \"Agent\" which failed at "
            "07:06:40 be recovery at 07:06:50\n" +
                signature_);
  std::string third = Notices::recovery(99, "agent", t0_ + 60, t0_, 3, "Agent", "/opt/agent");
  EXPECT_EQ(afterDate(third),
            "Subject: INFO: Component \"agent\" recovery\n\n"
            "Component \"agent\" (new pid=99, file=/opt/agent) used in \"Agent\" which failed at "
            "07:06:40 be recovery at 07:07:40\n"
            "Abortive attempts to recovery it were made at 07:06:50, 07:07:10\n" +
                signature_);
}

TEST_F(NoticesTest, CannotRecoverListsEveryAttempt) {
  setIntervals({10, 20});
  std::string text = Notices::cannotRecover(5, "icap", t0_, "ICAP", "/opt/icap");
  EXPECT_EQ(afterDate(text),
            "Subject: ERROR: Component \"icap\" cannot recovery\n\n"
            "Component \"icap\" (new pid=5, file=/opt/icap) used in \"ICAP\" which failed at "
            "07:06:40 cannot be recovery\n"
            "Abortive attempts to recovery it were made at 07:06:50, 07:07:10\n" +
                signature_);
  setIntervals({});
  text = Notices::cannotRecover(5, "icap", t0_, "ICAP", "/opt/icap");
  EXPECT_EQ(afterDate(text),
            "Subject: ERROR: Component \"icap\" cannot recovery\n\n"
            "Component \"icap\" (new pid=5, file=/opt/icap) used in \"ICAP\" which failed at "
            "07:06:40 cannot be recovery\n"
            "\n" +
                signature_);
}

}  // namespace
