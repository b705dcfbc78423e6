// Feeds arbitrary bytes to the monitor.conf parser and reads the result
// through every typed getter: any input must end, without a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/log.h"
#include "config/conf_parser.h"
#include "config/conf_store.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korza::monitorLog().setLevel(korza::kLogQuiet);
  korza::ipcLog().setLevel(korza::kLogQuiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  conf_parser_t parser("fuzz.conf", std::string(reinterpret_cast<const char*>(data), size));
  conf_store_t store;
  parser.parse(store);
  for (const char* path : {"/Logging/Level", "/Monitor/Timeout", "Key", "/a/b", "/x//y", "/"}) {
    try {
      store.get(path);
      store.get_number(path);
    } catch (const conf_store_exception_t&) {
    }
    store.get_string(path, "d");
    store.get_number_in(path, 1, 3600, 30);
    store.get_yes_no(path, false);
    store.get_dir(path, "/d");
    try {
      store.get_list(path);
      store.get_string_set(path);
      store.get_number_list(path);
    } catch (const conf_store_exception_t&) {
    }
  }
  return 0;
}
