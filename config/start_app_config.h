// Reader of one meta-configuration (".mmc") file: a lexer that turns the
// bytes into tokens and a recursive-descent parser that builds one
// ApplicationConf per APPLICATION block and adds it to a catalogue.
//
// Errors are reported (lexer: alert level, parser: error level, both with
// the file name and line) and parsing goes on with the next line, so one
// pass reports every error of a file; parse() then returns false.
//
// Thread safety: an object is used by one thread.
#ifndef KORZA_CONFIG_START_APP_CONFIG_H_
#define KORZA_CONFIG_START_APP_CONFIG_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "config/app_config.h"

class AppCatalogue;

class StartAppConfig {
 public:
  class LexerError : public std::runtime_error {
   public:
    explicit LexerError(const std::string& what) : std::runtime_error(what) {}
  };

  enum class Token { kUnknown, kNewline, kEnd, kComma, kWord, kString, kNumber, kKeyword };

  enum class Keyword {
    kNone,
    kRunApp,
    kRecoveryTime,
    kApplication,
    kEndApplication,
    kFullName,
    kPath,
    kDepends,
    kComponents,
    kLog,
    kMail,
    kEndComponents,
    kId,
    kConfFile,
    kIniFile,
  };

  // Opens and reads the file; throws LexerError "file \"NAME\" not found".
  explicit StartAppConfig(const std::string& file_name);
  // Reads `text` as the content of the file `file_name`.
  StartAppConfig(const std::string& file_name, const std::string& text);

  StartAppConfig(const StartAppConfig&) = delete;
  StartAppConfig& operator=(const StartAppConfig&) = delete;

  // Reads the whole file, adding every application to `catalogue` unless
  // one of that name is there already. True when no error was reported.
  bool parse(AppCatalogue& catalogue);

  // The next token; its kind is also kept as the current token.
  Token nextToken();
  Token token() const { return token_; }
  Keyword keyword() const { return keyword_; }
  // Text of a word or string token; throws LexerError "getString() error".
  const std::string& getString() const;
  // Value of a number token; throws LexerError "getNumber error".
  uint32_t getNumber() const;

  const std::string& fileName() const { return file_name_; }

 private:
  static constexpr int kEndOfInput = 0xFF;

  int readChar();
  void advance();
  bool atEnd() const { return cur_ == kEndOfInput; }
  void lexString();
  void lexWord();
  void lexNumber();
  // The line of the current character (a newline belongs to the line it ends).
  uint32_t currentLine() const;
  void lexerReport(const std::string& message) const;
  void parserReport(const std::string& message);
  std::string describe() const;
  bool isText() const { return token_ == Token::kWord || token_ == Token::kString; }
  bool isKeyword(Keyword k) const { return token_ == Token::kKeyword && keyword_ == k; }
  bool endOfLine() const { return token_ == Token::kNewline || token_ == Token::kEnd; }
  void skipLine();

  void parseApplication(AppCatalogue& catalogue);
  // Returns false when the block ended with the application (a stray
  // ENDAPPLICATION inside the component list).
  bool parseComponents(ApplicationConf& app);
  void parseComponentLine(ApplicationConf& app);
  void parseDepends(ApplicationConf& app);

  std::string file_name_;
  std::string text_;
  size_t pos_ = 0;
  int cur_ = '\n';
  int prev_ = '\n';
  uint32_t line_ = 1;
  uint32_t token_line_ = 1;  // line where the current token began

  Token token_ = Token::kUnknown;
  Keyword keyword_ = Keyword::kNone;
  uint32_t number_ = 0;
  std::string string_;

  bool failed_ = false;
};

#endif  // KORZA_CONFIG_START_APP_CONFIG_H_
