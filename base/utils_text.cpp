// Text and formatting: splitting, trimming and comparing names, the check
// of a path handed to the shell, escaping for the log, times and printf-style
// formatting.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/utils.h"

namespace Utils {

namespace {

std::string formatTime(time_t t, const char* fmt) {
  struct tm tm_t;
  if (localtime_r(&t, &tm_t) == nullptr) return std::string();
  char buf[32];
  size_t n = strftime(buf, sizeof buf, fmt, &tm_t);
  return std::string(buf, n);
}

}  // namespace

std::vector<std::string> split(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) {
    if (!text.empty()) pieces.push_back(text);
    return pieces;
  }
  size_t pos = 0;
  if (text.compare(0, delimiter.size(), delimiter) == 0) pos = delimiter.size();
  for (;;) {
    size_t next = text.find(delimiter, pos);
    if (next == std::string::npos) break;
    pieces.push_back(text.substr(pos, next - pos));
    pos = next + delimiter.size();
  }
  if (text.size() - pos >= delimiter.size()) pieces.push_back(text.substr(pos));
  return pieces;
}

std::string trim(const std::string& text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && !isgraph(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && !isgraph(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool equalsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

void checkPath(const std::string& path) {
  const auto reject = [&path](char ch) {
    throw error("path \"" + path + "\" is not correct. ch=" + std::string(1, ch));
  };
  if (path.empty()) throw error("path \"\" is not correct. ch=");
  if (path[0] != '/') reject(path[0]);
  static const char kSafe[] = "/._+-,:@%=";
  for (char ch : path) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (!std::isalnum(c) && (c == 0 || std::strchr(kSafe, c) == nullptr)) reject(ch);
  }
  // Every component must name an entry of its own: "/", "//", "/./" and
  // "/../" would reach a directory other than the one the text suggests.
  size_t start = 1;
  for (;;) {
    const size_t slash = path.find('/', start);
    const std::string part = path.substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == "..") {
      // A single trailing "/" after a real component is harmless.
      if (!(part.empty() && slash == std::string::npos && start > 1)) {
        reject(part.empty() ? '/' : '.');
      }
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
}

std::string printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char ch = static_cast<unsigned char>(c);
    if (ch == '\n') {
      out += "\\n";
    } else if (ch < 0x20 || ch == 0x7f) {
      out += "\\x";
      out += kHex[ch >> 4];
      out += kHex[ch & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

std::string timeOfDay(time_t t) { return formatTime(t, "%T"); }

std::string mailDate(time_t t) { return formatTime(t, "%a, %d %b %Y %H:%M:%S %z"); }

std::string mailDateNow() { return mailDate(time(nullptr)); }

std::string format(size_t size, const char* fmt, ...) {
  std::vector<char> buf(size == 0 ? 1 : size);
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf.data(), buf.size(), fmt, ap);
  va_end(ap);
  if (n < 0) return std::string();
  return std::string(buf.data(), std::min(static_cast<size_t>(n), buf.size() - 1));
}

}  // namespace Utils
