// The in-memory store of monitor.conf: groups of keys with their values, and
// the typed getters through which every setting is read.
//
// Names are stored exactly as written and looked up without regard to letter
// case. Getters with a default report what was wrong as a warning (alert
// level, sets conf_warning_issued) and return the default; getters without
// one throw conf_store_exception_t.
//
// Thread safety: no internal locking; one thread fills and reads a store.
#ifndef KORZA_CONFIG_CONF_STORE_H_
#define KORZA_CONFIG_CONF_STORE_H_

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

class conf_store_exception_t : public std::logic_error {
 public:
  explicit conf_store_exception_t(const std::string& what) : std::logic_error(what) {}
};

class conf_store_t {
 public:
  // Stores `value` under `path` ("Group/Key", "/Group/Key" or "Key"). A key
  // that already holds a non-empty value gets ",value" appended. Throws
  // "path is large" or "error path name".
  void set(const std::string& path, const std::string& value);

  // The raw value; throws "undefined parameter \"PATH\" in config file".
  std::string get(const std::string& path) const;

  std::string get_string(const std::string& path, const std::string& def) const;
  // Optional "-" then decimal digits; throws "value \"V\" isn't number".
  int32_t get_number(const std::string& path) const;
  int32_t get_number_in(const std::string& path, int32_t min, int32_t max, int32_t def) const;
  // "yes"/"no" in any case; throws "parameter \"PATH\" must be \"yes\" or \"no\"".
  bool get_yes_no(const std::string& path) const;
  bool get_yes_no(const std::string& path, bool def) const;
  // The value with "/" appended unless it already ends in "/". An empty
  // value stays empty (it names no directory).
  std::string get_dir(const std::string& path) const;
  std::string get_dir(const std::string& path, const std::string& def) const;
  // The value split at every ",", pieces trimmed, empty pieces dropped.
  std::vector<std::string> get_list(const std::string& path) const;
  std::set<std::string> get_string_set(const std::string& path) const;
  // As get_list, each piece converted like atoi (text that is no number gives 0).
  std::vector<int32_t> get_number_list(const std::string& path) const;

  // Logs a warning at alert level and sets conf_warning_issued.
  static void warning(const std::string& text);

  bool empty() const { return groups_.empty(); }

 private:
  using Keys = std::map<std::string, std::string>;
  // Group name -> key name -> value; the group "" holds keys written before
  // any group header.
  std::map<std::string, Keys> groups_;
};

#endif  // KORZA_CONFIG_CONF_STORE_H_
