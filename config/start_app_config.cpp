#include "config/start_app_config.h"

#include <cctype>

#include "base/log.h"
#include "base/utils.h"
#include "config/app_catalogue.h"

namespace {

struct KeywordName {
  StartAppConfig::Keyword keyword;
  const char* name;
};

const KeywordName kKeywords[] = {
    {StartAppConfig::Keyword::kRunApp, "RUNAPP"},
    {StartAppConfig::Keyword::kRecoveryTime, "RECOVERYTIME"},
    {StartAppConfig::Keyword::kApplication, "APPLICATION"},
    {StartAppConfig::Keyword::kEndApplication, "ENDAPPLICATION"},
    {StartAppConfig::Keyword::kFullName, "FULLNAME"},
    {StartAppConfig::Keyword::kPath, "PATH"},
    {StartAppConfig::Keyword::kDepends, "DEPENDS"},
    {StartAppConfig::Keyword::kComponents, "COMPONENTS"},
    {StartAppConfig::Keyword::kLog, "LOG"},
    {StartAppConfig::Keyword::kMail, "MAIL"},
    {StartAppConfig::Keyword::kEndComponents, "ENDCOMPONENTS"},
    {StartAppConfig::Keyword::kId, "ID"},
    {StartAppConfig::Keyword::kConfFile, "CONFFILE"},
    {StartAppConfig::Keyword::kIniFile, "INIFILE"},
};

const char* keywordName(StartAppConfig::Keyword k) {
  for (const auto& kw : kKeywords) {
    if (kw.keyword == k) return kw.name;
  }
  return "";
}

// Longest text a string or word token carries.
constexpr size_t kMaxText = 256;
// Largest value that can take one more decimal digit without passing 2^32-1
// (for digits up to 5).
constexpr uint32_t kNumberLimit = 429496729;

}  // namespace

StartAppConfig::StartAppConfig(const std::string& file_name) : file_name_(file_name) {
  if (!Utils::readFile(file_name, text_)) throw LexerError("file \"" + file_name + "\" not found");
  advance();
}

StartAppConfig::StartAppConfig(const std::string& file_name, const std::string& text)
    : file_name_(file_name), text_(text) {
  advance();
}

void StartAppConfig::advance() {
  prev_ = cur_;
  // The end of input (and a 0xFF byte, which reads the same) is final.
  if (atEnd()) return;
  if (pos_ >= text_.size()) {
    cur_ = kEndOfInput;
    return;
  }
  cur_ = static_cast<unsigned char>(text_[pos_++]);
  if (cur_ == '\n') ++line_;
}

uint32_t StartAppConfig::currentLine() const {
  return (cur_ == '\n' && line_ > 1) ? line_ - 1 : line_;
}

void StartAppConfig::lexerReport(const std::string& message) const {
  korza::monitorLog().alert("config file \"" + file_name_ + "\":" + std::to_string(currentLine()) +
                            ": " + message);
}

void StartAppConfig::parserReport(const std::string& message) {
  failed_ = true;
  korza::monitorLog().error("config file \"" + file_name_ + "\":" + std::to_string(token_line_) +
                            ":" + message);
}

StartAppConfig::Token StartAppConfig::nextToken() {
  for (;;) {
    while (!atEnd() && cur_ != '\n' && isspace(cur_)) advance();
    if (cur_ == '#') {
      while (!atEnd() && cur_ != '\n') advance();
    }
    token_line_ = currentLine();
    string_.clear();
    number_ = 0;
    keyword_ = Keyword::kNone;
    if (atEnd()) return token_ = Token::kEnd;
    if (cur_ == '"') {
      lexString();
      return token_ = Token::kString;
    }
    if (isalpha(cur_) || cur_ == '/' || cur_ == ':' || cur_ == '_') {
      lexWord();
      return token_;
    }
    if (isdigit(cur_)) {
      lexNumber();
      return token_ = Token::kNumber;
    }
    const int c = cur_;
    advance();
    if (c == '\\' && cur_ == '\n') {
      // A backslash at the end of a line joins the next one.
      advance();
      continue;
    }
    switch (c) {
      case '\n':
        return token_ = Token::kNewline;
      case ',':
        return token_ = Token::kComma;
      case '-':
        return token_ = Token::kWord;
      default:
        return token_ = Token::kUnknown;
    }
  }
}

void StartAppConfig::lexString() {
  advance();  // the opening quote
  for (;;) {
    if (atEnd()) {
      lexerReport("parse error at end of input");
      return;
    }
    if (cur_ == '"') {
      advance();
      return;
    }
    int c = cur_;
    if (c == '\\') {
      advance();
      if (atEnd()) continue;
      if (cur_ == '"') continue;  // a double quote always ends the string
      switch (cur_) {
        case 'n':
        case '\n':
          c = '\n';
          break;
        case 'b':
          c = '\b';
          break;
        case 't':
          c = '\t';
          break;
        default:
          c = cur_;
      }
    }
    string_ += static_cast<char>(c);
    advance();
    if (string_.size() >= kMaxText) {
      lexerReport(" string \"" + string_ + "\" too long");
      while (!atEnd() && cur_ != '"') advance();
      if (atEnd()) {
        lexerReport("parse error at end of input");
      } else {
        advance();
      }
      return;
    }
  }
}

void StartAppConfig::lexWord() {
  auto inWord = [this] { return !atEnd() && isgraph(cur_) && cur_ != ',' && cur_ != '\\'; };
  while (inWord()) {
    string_ += static_cast<char>(cur_);
    advance();
    if (string_.size() > kMaxText - 1) {
      lexerReport(" string \"" + string_ + "\" too long");
      while (inWord()) advance();
      break;
    }
  }
  if (string_.size() > kMaxText) throw LexerError("string \"" + string_ + "\" is large");
  std::string upper = string_;
  for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  for (const auto& kw : kKeywords) {
    if (upper == kw.name) {
      keyword_ = kw.keyword;
      token_ = Token::kKeyword;
      return;
    }
  }
  token_ = Token::kWord;
}

void StartAppConfig::lexNumber() {
  bool big = false;
  uint32_t value = 0;
  while (!atEnd() && isdigit(cur_)) {
    const uint32_t digit = static_cast<uint32_t>(cur_ - '0');
    if (!big && (value > kNumberLimit || (value == kNumberLimit && digit > 5))) {
      // Reported once; the value stays at the largest one a number holds.
      lexerReport("integer value is big");
      big = true;
      value = UINT32_MAX;
    }
    if (!big) value = value * 10 + digit;
    advance();
  }
  number_ = value;
}

const std::string& StartAppConfig::getString() const {
  if (!isText()) throw LexerError("getString() error");
  return string_;
}

uint32_t StartAppConfig::getNumber() const {
  if (token_ != Token::kNumber) throw LexerError("getNumber error");
  return number_;
}

std::string StartAppConfig::describe() const {
  switch (token_) {
    case Token::kWord:
    case Token::kString:
      return "string '" + string_ + "'";
    case Token::kNumber:
      return "number " + std::to_string(number_);
    case Token::kComma:
      return "','";
    case Token::kKeyword:
      return std::string("keyword '") + keywordName(keyword_) + "'";
    default:
      return "unknown";
  }
}

void StartAppConfig::skipLine() {
  while (!endOfLine()) nextToken();
}

bool StartAppConfig::parse(AppCatalogue& catalogue) {
  failed_ = false;
  nextToken();
  while (token_ != Token::kEnd) {
    if (token_ == Token::kNewline) {
      nextToken();
    } else if (isKeyword(Keyword::kApplication)) {
      parseApplication(catalogue);
    } else {
      parserReport("unknown section: " + describe());
      skipLine();
    }
  }
  return !failed_;
}

void StartAppConfig::parseApplication(AppCatalogue& catalogue) {
  ApplicationConf app;
  bool named = false;
  nextToken();
  if (isText()) {
    app.name = getString();
    named = true;
    nextToken();
    if (token_ != Token::kNewline) {
      parserReport("invalid syntax: application name must bee without spaces");
    }
  } else {
    parserReport("invalid application name");
  }
  skipLine();

  // Each round starts on the newline that ended the previous line.
  while (token_ != Token::kEnd) {
    nextToken();
    if (token_ == Token::kNewline || token_ == Token::kEnd) continue;
    if (isKeyword(Keyword::kEndApplication)) {
      nextToken();
      break;
    }
    if (isKeyword(Keyword::kFullName) || isKeyword(Keyword::kPath)) {
      const bool path = isKeyword(Keyword::kPath);
      nextToken();
      if (!isText()) {
        parserReport("parameter value error");
      } else if (path) {
        app.path = getString();
        if (app.path.empty() || app.path.back() != '/') app.path += '/';
      } else {
        app.fullName = getString();
      }
    } else if (isKeyword(Keyword::kDepends)) {
      parseDepends(app);
    } else if (isKeyword(Keyword::kComponents)) {
      if (!parseComponents(app)) {
        nextToken();
        break;
      }
    } else {
      parserReport("unknown application parameter: " + describe());
    }
    skipLine();
  }

  if (!named) return;
  if (!catalogue.addIfAbsent(app)) {
    parserReport("dublicate application \"" + app.name +
                 "\". Possible there is unnecessary *.mmc file");
  }
}

void StartAppConfig::parseDepends(ApplicationConf& app) {
  bool last_comma = false;
  for (nextToken(); !endOfLine(); nextToken()) {
    if (isText()) {
      app.depends.insert(getString());
      last_comma = false;
    } else if (token_ == Token::kComma) {
      if (last_comma) parserReport("one too many ','");
      last_comma = true;
    } else {
      parserReport("invalid syntax near unexpected token " + describe());
      last_comma = false;
    }
  }
}

bool StartAppConfig::parseComponents(ApplicationConf& app) {
  skipLine();
  while (token_ != Token::kEnd) {
    nextToken();
    if (token_ == Token::kNewline || token_ == Token::kEnd) continue;
    if (isKeyword(Keyword::kEndComponents)) return true;
    if (isKeyword(Keyword::kEndApplication)) {
      // The list was never closed: report the line like any bad component
      // and end the application here, so that the blocks after it are read
      // as blocks.
      parserReport("error component name " + describe());
      return false;
    }
    parseComponentLine(app);
    skipLine();
  }
  return true;
}

void StartAppConfig::parseComponentLine(ApplicationConf& app) {
  ComponentConf comp;
  comp.agent = Utils::equalsNoCase(app.name, "AGENT");
  if (!isText()) {
    parserReport("error component name " + describe());
    return;
  }
  comp.name = getString();
  nextToken();
  if (!isText()) {
    parserReport("error component parametr argv " + describe());
    return;
  }
  comp.argv = getString();
  nextToken();
  if (token_ != Token::kNumber) {
    parserReport("error component parametr TimeStart " + describe());
    return;
  }
  comp.timeStart = getNumber();
  nextToken();
  if (token_ != Token::kNumber) {
    parserReport("error component parametr TimeStop " + describe());
    return;
  }
  comp.timeStop = getNumber();
  nextToken();
  if (isKeyword(Keyword::kLog)) {
    comp.logType = kLogTypeLog;
  } else if (isKeyword(Keyword::kMail)) {
    comp.logType = kLogTypeMail;
  } else if (isText()) {
    comp.logType = kLogTypeCommand;
    comp.logValue = getString();
  } else {
    parserReport("error component parametr LogType");
  }
  // A missing log type leaves the newline for the user check below.
  if (!endOfLine()) nextToken();
  if (!isText()) {
    parserReport("error component parametr User");
    return;
  }
  const std::vector<std::string> pieces = Utils::split(getString(), ":");
  if (pieces.size() > 2) {
    parserReport("error component parametr User. Use USER:GROUP");
    return;
  }
  if (!pieces.empty()) comp.user = pieces[0];
  if (pieces.size() == 2) comp.group = pieces[1];
  app.components.push_back(comp);
}
