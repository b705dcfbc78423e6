// The reader of monitor.conf: groups in brackets, "key = value" lines,
// comments, value lists and continuation lines, into a conf_store_t.
//
// Syntax errors never stop a parse: each is logged at alert level with the
// file name and line number, and reading resumes at the next line, so one
// pass reports every error of a file.
//
// Thread safety: an object is used by one thread.
#ifndef KORZA_CONFIG_CONF_PARSER_H_
#define KORZA_CONFIG_CONF_PARSER_H_

#include <cstdint>
#include <string>

#include "config/conf_store.h"

class conf_parser_t {
 public:
  // Opens and reads the file. Throws conf_store_exception_t
  // "config file \"NAME\" not found." when it cannot be opened.
  explicit conf_parser_t(const std::string& file_name);
  // Parses `text` as if it were the content of the file `file_name`.
  conf_parser_t(const std::string& file_name, const std::string& text);

  conf_parser_t(const conf_parser_t&) = delete;
  conf_parser_t& operator=(const conf_parser_t&) = delete;

  // Reads a group header ("[Name]", result true) or a key name (false).
  virtual bool read_param(std::string& out);
  // Appends one value to `out`, continuing after commas.
  virtual void read_value_to(std::string& out);
  virtual std::string read_value();
  virtual ~conf_parser_t() = default;
  // Reads the whole file, calling set on `store` for every key. Never
  // throws for syntax errors.
  virtual void parse(conf_store_t& store);

  const std::string& file_name() const { return file_name_; }

 private:
  bool at_end() const { return at_end_; }
  void advance();
  void step_back();
  void skip_space();
  void skip_blanks();
  void skip_to_eol();
  std::string read_name();
  std::string read_item();
  // The line of the current character (a newline belongs to the line it ends).
  uint32_t current_line() const;
  void parse_error(uint32_t line, const std::string& message) const;

  char cur_ = '\n';
  char prev_ = '\n';
  std::string group_;
  uint32_t line_ = 1;
  std::string file_name_;
  // The whole file; pos_ is the next byte to read. at_end_ is set when an
  // advance found no byte left (cur_ then keeps its old value).
  std::string text_;
  size_t pos_ = 0;
  bool at_end_ = false;
  bool last_read_ = false;  // the last advance consumed a byte
};

#endif  // KORZA_CONFIG_CONF_PARSER_H_
