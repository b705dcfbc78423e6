// The ".mmc" lexer and parser.
#include "config/start_app_config.h"

#include <gtest/gtest.h>

#include "config/app_catalogue.h"
#include "tests/support/log_capture.h"

namespace {

using Lines = std::vector<std::string>;
using Token = StartAppConfig::Token;

bool parseText(const std::string& text, AppCatalogue& cat, const std::string& name = "a.mmc") {
  StartAppConfig config(name, text);
  return config.parse(cat);
}

std::string at(int line, const std::string& message) {
  return "config file \"a.mmc\":" + std::to_string(line) + ":" + message;
}

TEST(StartAppConfig, FullBlock) {
  LogCapture log;
  AppCatalogue cat;
  EXPECT_TRUE(
      parseText("# the agent\n"
                "application Agent   # trailing comment\n"
                "FULLNAME \"Configuration agent\"\n"
                "PATH /opt/bin\n"
                "DEPENDS\n"
                "Components\n"
                "agent \"/opt/bin/agent -d\" 30 30 LOG user:group\n"
                "\n"
                "helper - 5 \\\n 7 MAIL nobody\n"
                "notify \"a\\tb\\\" 1 2 \"/bin/notify\\ x\" :grp\n"
                "ENDCOMPONENTS\n"
                "ENDAPPLICATION\n"
                "APPLICATION A\nDEPENDS B C\nENDAPPLICATION\n"
                "APPLICATION B\nDEPENDS c, \"D\"\nENDAPPLICATION\n",
                cat));
  EXPECT_EQ(log.lines(), Lines());
  auto app = cat.find("AGENT");
  ASSERT_TRUE(app);
  EXPECT_EQ(app->name + "|" + app->fullName + "|" + app->path,
            "Agent|Configuration agent|/opt/bin/");
  EXPECT_TRUE(app->depends.empty());
  EXPECT_EQ(Lines(cat.find("a")->depends.begin(), cat.find("a")->depends.end()), (Lines{"B", "C"}));
  EXPECT_EQ(Lines(cat.find("b")->depends.begin(), cat.find("b")->depends.end()), (Lines{"c", "D"}));
  Lines comps;
  for (const ComponentConf& c : app->components) {
    comps.push_back(c.name + "|" + c.argv + "|" + std::to_string(c.timeStart) + "|" +
                    std::to_string(c.timeStop) + "|" + std::to_string(c.logType) + "|" +
                    c.logValue + "|" + c.user + "|" + c.group + "|" + (c.agent ? "agent" : ""));
  }
  // A quote after a backslash still ends the string.
  EXPECT_EQ(
      comps,
      (Lines{
          "agent|/opt/bin/agent -d|30|30|" + std::to_string(kLogTypeLog) + "||user|group|agent",
          "helper||5|7|" + std::to_string(kLogTypeMail) + "||nobody||agent",
          "notify|a\tb|1|2|" + std::to_string(kLogTypeCommand) + "|/bin/notify x|grp||agent",
      }));
}

TEST(StartAppConfig, EveryErrorOfAFileIsReported) {
  LogCapture log;
  AppCatalogue cat;
  EXPECT_FALSE(
      parseText("RUNAPP x\n"                                        // 1
                "APPLICATION My App\n"                              // 2
                "FULLNAME 12\n"                                     // 3
                "COLOR red\n"                                       // 4
                "COMPONENTS\n"                                      // 5
                "ID - 1 1 LOG u\n"                                  // 6
                "\"ID\" - 1 1 LOG u\n"                              // 7
                "c 5 1 1 LOG u\n"                                   // 8
                "c - x 1 LOG u\n"                                   // 9
                "c - 1 , LOG u\n"                                   // 10
                "c - 1 1 7 u\n"                                     // 11
                "c - 1 1 LOG\n"                                     // 12
                "c - 1 1 LOG a:b:c\n"                               // 13
                "ENDAPPLICATION\n"                                  // 14
                "APPLICATION\n"                                     // 15
                "ENDAPPLICATION\n"                                  // 16
                "APPLICATION \"My\"\nENDAPPLICATION\n"              // 17, 18
                "APPLICATION D\nDEPENDS B,,C 7\nENDAPPLICATION\n",  // 19 - 21
                cat));
  EXPECT_EQ(log.messages("ERROR"),
            (Lines{
                at(1, "unknown section: keyword 'RUNAPP'"),
                at(2, "invalid syntax: application name must bee without spaces"),
                at(3, "parameter value error"),
                at(4, "unknown application parameter: string 'COLOR'"),
                at(6, "error component name keyword 'ID'"),
                at(8, "error component parametr argv number 5"),
                at(9, "error component parametr TimeStart string 'x'"),
                at(10, "error component parametr TimeStop ','"),
                at(11, "error component parametr LogType"),
                at(12, "error component parametr User"),
                at(13, "error component parametr User. Use USER:GROUP"),
                at(14, "error component name keyword 'ENDAPPLICATION'"),
                at(15, "invalid application name"),
                at(18, "dublicate application \"My\". Possible there is unnecessary *.mmc file"),
                at(20, "one too many ','"),
                at(20, "invalid syntax near unexpected token number 7"),
            }));
  // The quoted keyword is a name, and a bad log type still completes its line.
  ASSERT_EQ(cat.size(), 2u);
  EXPECT_EQ(cat.find("D")->depends.size(), 2u);
  ASSERT_EQ(cat.find("my")->components.size(), 2u);
  EXPECT_EQ(cat.find("my")->components[0].name, "ID");
  EXPECT_EQ(cat.find("my")->components[1].logType, kLogTypeMail);
}

TEST(StartAppConfig, LexerLimitsReportsAndEnds) {
  LogCapture log;
  const std::string s255(255, 's');
  StartAppConfig lex("a.mmc", "\"" + s255 + "\" \"" + s255 + "xy\" " + std::string(300, 'w') +
                                  " 4294967295 4294967296 123456789012\n\"open");
  EXPECT_EQ(lex.nextToken(), Token::kString);
  EXPECT_EQ(lex.getString(), s255);
  EXPECT_THROW(lex.getNumber(), StartAppConfig::LexerError);
  EXPECT_EQ(lex.nextToken(), Token::kString);
  EXPECT_EQ(lex.getString(), s255 + "x");
  EXPECT_EQ(lex.nextToken(), Token::kWord);
  EXPECT_EQ(lex.getString(), std::string(256, 'w'));
  EXPECT_EQ(lex.nextToken(), Token::kNumber);
  EXPECT_EQ(lex.getNumber(), 4294967295u);
  EXPECT_EQ(lex.nextToken(), Token::kNumber);
  EXPECT_EQ(lex.nextToken(), Token::kNumber);
  EXPECT_EQ(lex.getNumber(), 4294967295u);
  EXPECT_THROW(lex.getString(), StartAppConfig::LexerError);
  EXPECT_EQ(lex.nextToken(), Token::kNewline);
  EXPECT_EQ(lex.nextToken(), Token::kString);
  EXPECT_EQ(lex.getString(), "open");
  EXPECT_EQ(lex.nextToken(), Token::kEnd);
  EXPECT_EQ(lex.nextToken(), Token::kEnd);
  const std::string pos = "config file \"a.mmc\":1: ";
  EXPECT_EQ(log.messages("WARN"), (Lines{pos + " string \"" + s255 + "x\" too long",
                                         pos + " string \"" + std::string(256, 'w') + "\" too long",
                                         pos + "integer value is big", pos + "integer value is big",
                                         "config file \"a.mmc\":2: parse error at end of input"}));
  // A byte 0xff ends the input.
  StartAppConfig ff("a.mmc", "x\xff tail");
  EXPECT_EQ(ff.nextToken(), Token::kWord);
  EXPECT_EQ(ff.nextToken(), Token::kEnd);
  EXPECT_THROW(StartAppConfig("/nonexistent/a.mmc"), StartAppConfig::LexerError);
}

}  // namespace
