#include "config/conf_store.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/flags.h"
#include "base/log.h"
#include "base/utils.h"

namespace {

// Byte-wise comparison after tolower, lengths equal.
bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Splits a path into group and key; one piece is a key of the group "".
void splitPath(const std::string& path, std::string& group, std::string& key) {
  std::vector<std::string> pieces = Utils::split(path, "/");
  if (pieces.size() > 2) throw conf_store_exception_t("path is large");
  if (pieces.empty()) throw conf_store_exception_t("error path name");
  if (pieces.size() == 2) {
    group = pieces[0];
    key = pieces[1];
  } else {
    group.clear();
    key = pieces[0];
  }
}

// strtoll clamped to the 32-bit range; 0 when nothing converts.
int32_t toInt32(const std::string& text) {
  errno = 0;
  long long v = strtoll(text.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

std::string withSlash(const std::string& dir) {
  if (dir.empty() || dir.back() == '/') return dir;
  return dir + "/";
}

}  // namespace

void conf_store_t::warning(const std::string& text) {
  korza::monitorLog().alert(text);
  conf_warning_issued = true;
}

void conf_store_t::set(const std::string& path, const std::string& value) {
  std::string group, key;
  splitPath(path, group, key);
  std::string& stored = groups_[group][key];
  if (stored.empty()) {
    stored = value;
  } else {
    stored += ",";
    stored += value;
  }
}

std::string conf_store_t::get(const std::string& path) const {
  std::string group, key;
  splitPath(path, group, key);
  for (const auto& g : groups_) {
    if (!sameName(g.first, group)) continue;
    for (const auto& k : g.second) {
      if (sameName(k.first, key)) return k.second;
    }
  }
  throw conf_store_exception_t("undefined parameter \"" + path + "\" in config file");
}

std::string conf_store_t::get_string(const std::string& path, const std::string& def) const {
  try {
    return get(path);
  } catch (const conf_store_exception_t& e) {
    warning(std::string(e.what()) + ". Used value \"" + def + "\"");
    return def;
  }
}

int32_t conf_store_t::get_number(const std::string& path) const {
  const std::string value = get(path);
  size_t i = 0;
  if (i < value.size() && value[i] == '-') ++i;
  bool digits = i < value.size();
  for (; i < value.size(); ++i) {
    if (!isdigit(static_cast<unsigned char>(value[i]))) digits = false;
  }
  if (!digits) throw conf_store_exception_t("value \"" + value + "\" isn't number");
  return toInt32(value);
}

int32_t conf_store_t::get_number_in(const std::string& path, int32_t min, int32_t max,
                                    int32_t def) const {
  try {
    int32_t n = get_number(path);
    if (n < min || n > max) {
      throw conf_store_exception_t("parameter must be inside the interval [ " +
                                   std::to_string(min) + ", " + std::to_string(max) + " ]");
    }
    return n;
  } catch (const conf_store_exception_t& e) {
    warning("wrong parameter \"" + path + "\": " + e.what() + ". Used default value " +
            std::to_string(def));
    return def;
  }
}

bool conf_store_t::get_yes_no(const std::string& path) const {
  const std::string value = get(path);
  if (sameName(value, "yes")) return true;
  if (sameName(value, "no")) return false;
  throw conf_store_exception_t("parameter \"" + path + "\" must be \"yes\" or \"no\"");
}

bool conf_store_t::get_yes_no(const std::string& path, bool def) const {
  try {
    return get_yes_no(path);
  } catch (const conf_store_exception_t& e) {
    warning(std::string(e.what()) + ". Used value \"" + (def ? "yes" : "no") + "\"");
    return def;
  }
}

std::string conf_store_t::get_dir(const std::string& path) const { return withSlash(get(path)); }

std::string conf_store_t::get_dir(const std::string& path, const std::string& def) const {
  try {
    return get_dir(path);
  } catch (const conf_store_exception_t& e) {
    warning(std::string(e.what()) + ". Used value \"" + def + "\"");
    return withSlash(def);
  }
}

std::vector<std::string> conf_store_t::get_list(const std::string& path) const {
  const std::string value = get(path);
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t comma = value.find(',', start);
    std::string piece = Utils::trim(
        value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!piece.empty()) out.push_back(piece);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

std::set<std::string> conf_store_t::get_string_set(const std::string& path) const {
  std::vector<std::string> list = get_list(path);
  return std::set<std::string>(list.begin(), list.end());
}

std::vector<int32_t> conf_store_t::get_number_list(const std::string& path) const {
  std::vector<int32_t> out;
  for (const auto& piece : get_list(path)) out.push_back(toInt32(piece));
  return out;
}
