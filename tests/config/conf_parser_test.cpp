// monitor.conf syntax and the typed getters of the store.
#include "config/conf_parser.h"

#include <gtest/gtest.h>

#include "base/flags.h"
#include "config/conf_store.h"
#include "tests/support/log_capture.h"

namespace {

using Lines = std::vector<std::string>;

conf_store_t parseText(const std::string& text) {
  conf_store_t store;
  conf_parser_t parser("test.conf", text);
  parser.parse(store);
  return store;
}

std::string errorLine(int line, const std::string& message) {
  return "cannot parse config file \"test.conf\", line " + std::to_string(line) + ", " + message;
}

TEST(ConfParser, ListsContinuationsCommentsQuotesAndBackslashes) {
  LogCapture log;
  const std::pair<std::string, std::string> cases[] = {
      {"Key = a, b\n", "a,b"},
      {"Key = a\n, b\n", "a,b"},
      {"Key = a\n# note\n  ,b\n , c\n", "a,b,c"},
      {"Key = a\n ,b ,\n c\n", "a,b,"},
      {"Key = a\nKey =\n", "a,"},
      {"Key = ,,\n", ",,"},
      {"Key = value # note\n", "value"},
      {"# Key = other\n;Key = other\nKey = value\n", "value"},
      {"Key = \"a # b\"\n", "a # b"},
      {"Key = 'x' ; c\n", "x"},
      {"Key = \"a, b\"\n", "\"a,b\""},
      {"Key = first\\\n   second\n", "first second"},
      {"Key = first \\\n# note\n\tsecond\n", "first  second"},
      {"Key = a\\,b\n", "a,b"},
      {"Key = tail\\", "tail\\"},
      {"Key = \"open\n", "\"open"},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(parseText(text).get("Key"), value) << text;
  EXPECT_EQ(log.lines(), Lines{"WARN " + errorLine(3, "error separator: prm=c")});
}

TEST(ConfParser, EveryErrorOfAFileIsReportedWithItsLineAndALongKeyIsCut) {
  LogCapture log;
  conf_store_t s = parseText(
      "Key value\n"  // 1
      "[Broken\n"    // 2
      "First = 1\n"  // 3
      "[Group]\n"    // 4
      "a/b = 2\n"    // 5
      "Key = a,\n"   // 6
      "b\n"          // 7
      "Last = 3\n"   // 8
      "Lonely\n");   // 9
  EXPECT_EQ(log.lines(), (Lines{
                             "WARN " + errorLine(1, "error separator: prm=Key"),
                             "WARN " + errorLine(2, "param \"Broken\" is not group"),
                             "WARN " + errorLine(5, "error save param \"Group/a/b\""),
                             "WARN " + errorLine(7, "error separator: prm=b"),
                             "WARN " + errorLine(9, "error separator: prm=Lonely"),
                         }));
  // A broken line never takes the next one with it.
  EXPECT_EQ(s.get("First"), "1");
  EXPECT_EQ(s.get("/Group/Key"), "a,");
  EXPECT_EQ(s.get("/Group/Last"), "3");
  EXPECT_FALSE(conf_warning_issued);
  // A long key without a separator is cut in the report.
  parseText(std::string(600, 'k') + "\n");
  EXPECT_EQ(log.lines().back(),
            "WARN " + errorLine(1, "error separator: prm=" + std::string(490, 'k')));
}

TEST(ConfStore, GettersWithDefaultWarnAndReturnTheDefaultAndLists) {
  LogCapture log;
  conf_store_t s = parseText(
      "[Monitor]\nTimeout = abc\nBig = 4000\nGood = 12\nOff = No\nOne = 1\nDir = /var/run\n"
      "Slash = /x/\nEmpty =\n");
  EXPECT_EQ(s.get_number_in("/Monitor/Good", 1, 3600, 30), 12);
  EXPECT_FALSE(s.get_yes_no("/Monitor/Off", true));
  EXPECT_EQ(s.get_dir("/Monitor/Dir"), "/var/run/");
  EXPECT_EQ(s.get_dir("/Monitor/Slash", "/d"), "/x/");
  EXPECT_EQ(s.get_dir("/Monitor/Empty"), "");  // never "/"
  EXPECT_EQ(log.lines(), Lines());
  EXPECT_FALSE(conf_warning_issued);

  EXPECT_EQ(s.get_number_in("/Monitor/Timeout", 1, 3600, 30), 30);
  EXPECT_EQ(s.get_number_in("/Monitor/Big", 1, 3600, 30), 30);
  EXPECT_TRUE(s.get_yes_no("/Monitor/One", true));
  EXPECT_EQ(s.get_string("/Monitor/User", ""), "");
  EXPECT_EQ(s.get_dir("/Monitor/PidFileDir", "/var/korza/run"), "/var/korza/run/");
  EXPECT_TRUE(conf_warning_issued);
  EXPECT_EQ(log.messages("WARN"),
            (Lines{
                "wrong parameter \"/Monitor/Timeout\": value \"abc\" isn't number. Used default "
                "value 30",
                "wrong parameter \"/Monitor/Big\": parameter must be inside the interval [ 1, 3600 "
                "]. Used default value 30",
                "parameter \"/Monitor/One\" must be \"yes\" or \"no\". Used value \"yes\"",
                "undefined parameter \"/Monitor/User\" in config file. Used value \"\"",
                "undefined parameter \"/Monitor/PidFileDir\" in config file. Used value "
                "\"/var/korza/run\"",
            }));
  // Lists skip empty items; numbers that are not are 0, big ones are clamped.
  s = parseText("List = b, a,, b ,\nNumbers = 10, x, 30s, -2, 99999999999\n");
  EXPECT_EQ(s.get_list("List"), (Lines{"b", "a", "b"}));
  EXPECT_EQ(s.get_string_set("List"), (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(s.get_number_list("Numbers"), (std::vector<int32_t>{10, 0, 30, -2, INT32_MAX}));
  EXPECT_THROW(s.get_list("Missing"), conf_store_exception_t);
}

}  // namespace
