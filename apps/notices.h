// The three notification texts: a component failed, was recovered, cannot
// be recovered. Each is a complete mail message (Date and Subject headers,
// an empty line, the body and the signature), read from the notification
// context.
//
// Thread safety: safe from any thread (the context is locked while read).
#ifndef KORZA_APPS_NOTICES_H_
#define KORZA_APPS_NOTICES_H_

#include <sys/types.h>

#include <ctime>
#include <string>

#include "base/utils.h"

namespace Notices {

// `file` is the application path immediately followed by the component name.
std::string failure(pid_t pid, const std::string& name, time_t failure_time, const std::string& app,
                    const std::string& file, const Utils::NameSet& affected_apps);

std::string recovery(pid_t new_pid, const std::string& name, time_t recovery_time,
                     time_t failure_time, unsigned tries, const std::string& app,
                     const std::string& file);

std::string cannotRecover(pid_t pid, const std::string& name, time_t failure_time,
                          const std::string& app, const std::string& file);

}  // namespace Notices

#endif  // KORZA_APPS_NOTICES_H_
