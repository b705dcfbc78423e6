#include "config/conf_parser.h"

#include <cctype>

#include "base/log.h"
#include "base/utils.h"

namespace {

bool isGraph(char c) { return isgraph(static_cast<unsigned char>(c)) != 0; }
bool isCommentStart(char c) { return c == '#' || c == ';'; }
bool isQuote(char c) { return c == '"' || c == '\''; }

std::string trimSpace(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

}  // namespace

conf_parser_t::conf_parser_t(const std::string& file_name) : file_name_(file_name) {
  if (!Utils::readFile(file_name, text_)) {
    throw conf_store_exception_t("config file \"" + file_name + "\" not found.");
  }
}

conf_parser_t::conf_parser_t(const std::string& file_name, const std::string& text)
    : file_name_(file_name), text_(text) {}

void conf_parser_t::advance() {
  prev_ = cur_;
  if (pos_ >= text_.size()) {
    at_end_ = true;
    last_read_ = false;
    return;
  }
  cur_ = text_[pos_++];
  last_read_ = true;
  if (cur_ == '\n') {
    ++line_;
  } else if (isCommentStart(cur_) && prev_ == '\n') {
    // A comment that starts in the first column runs to the end of its line.
    while (pos_ < text_.size()) {
      cur_ = text_[pos_++];
      if (cur_ == '\n') {
        ++line_;
        break;
      }
    }
    if (pos_ >= text_.size() && cur_ != '\n') {
      at_end_ = true;
      last_read_ = false;
    }
    prev_ = '\n';
  }
}

void conf_parser_t::step_back() {
  cur_ = prev_;
  // Only a byte that was really read can be given back; at the end of the
  // file there is nothing to read again.
  if (last_read_ && pos_ > 0) {
    --pos_;
    at_end_ = false;
    last_read_ = false;
  }
}

void conf_parser_t::skip_space() {
  for (;;) {
    while (!at_end() && !isGraph(cur_)) advance();
    if (at_end() || !isCommentStart(cur_)) return;
    skip_to_eol();
  }
}

void conf_parser_t::skip_blanks() {
  while (!at_end() && cur_ != '\n' && !isGraph(cur_)) advance();
}

void conf_parser_t::skip_to_eol() {
  while (!at_end() && cur_ != '\n') advance();
}

uint32_t conf_parser_t::current_line() const {
  return (cur_ == '\n' && !at_end() && line_ > 1) ? line_ - 1 : line_;
}

void conf_parser_t::parse_error(uint32_t line, const std::string& message) const {
  korza::monitorLog().alert("cannot parse config file \"" + file_name_ + "\", line " +
                            std::to_string(line) + ", " + message);
}

std::string conf_parser_t::read_name() {
  skip_space();
  std::string name;
  while (!at_end() && isGraph(cur_) && cur_ != ']' && cur_ != '=') {
    name += cur_;
    advance();
  }
  return name;
}

bool conf_parser_t::read_param(std::string& out) {
  skip_space();
  if (at_end() || cur_ != '[') {
    out = read_name();
    return false;
  }
  advance();
  out = read_name();
  // The closing bracket must stand on the header's own line, so that a
  // broken header never swallows the line after it.
  skip_blanks();
  if (!at_end() && cur_ == ']') {
    advance();
    return true;
  }
  parse_error(current_line(), "param \"" + out + "\" is not group");
  skip_to_eol();
  out.clear();
  return false;
}

std::string conf_parser_t::read_item() {
  std::string item;
  bool quoting = false;
  char quote = ' ';
  while (!at_end() && cur_ != '\n' && cur_ != ',') {
    char taken = cur_;
    if (cur_ == '\\') {
      advance();
      if (!at_end() && cur_ == '\n') {
        // A backslash at the end of a line joins the next one; its leading
        // white space and comment lines collapse into one blank.
        advance();
        skip_space();
        step_back();
        taken = ' ';
      } else {
        taken = cur_;
      }
    }
    item += taken;
    if (isQuote(cur_)) {
      if (!quoting) {
        quoting = true;
        quote = cur_;
      } else if (cur_ == quote) {
        quoting = false;
      }
    }
    advance();
    if (!quoting && !at_end() && isCommentStart(cur_)) skip_to_eol();
  }
  item = trimSpace(item);
  if (item.size() > 2 && isQuote(item.front()) && item.back() == item.front()) {
    item = item.substr(1, item.size() - 2);
  }
  return item;
}

void conf_parser_t::read_value_to(std::string& out) {
  // A loop rather than recursion: a long list of commas must not exhaust
  // the stack.
  for (;;) {
    skip_blanks();
    if (!at_end() && isCommentStart(cur_)) skip_to_eol();
    if (at_end() || cur_ == '\n') return;
    out += read_item();
    skip_space();
    if (at_end() || cur_ != ',') return;
    out += ',';
    advance();
    if (at_end()) return;
  }
}

std::string conf_parser_t::read_value() {
  std::string value;
  read_value_to(value);
  return value;
}

void conf_parser_t::parse(conf_store_t& store) {
  while (!at_end()) {
    skip_space();
    if (at_end()) break;
    std::string name;
    if (read_param(name)) {
      group_ = name;
      continue;
    }
    if (name.empty()) {
      advance();
      continue;
    }
    const uint32_t line = current_line();
    // The separator must stand on the key's line.
    skip_blanks();
    if (!at_end() && cur_ == '=') {
      advance();
      const std::string value = read_value();
      const std::string path = group_.empty() ? name : group_ + "/" + name;
      try {
        store.set(path, value);
      } catch (const std::exception&) {
        parse_error(line, "error save param \"" + path + "\"");
      }
    } else {
      parse_error(line, Utils::format(512, "error separator: prm=%s", name.c_str()));
      skip_to_eol();
    }
  }
}
