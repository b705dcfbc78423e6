// Accounts: user and group ids looked up by name, the names of the current
// ones, and taking an account on.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>

#include "base/utils.h"

namespace Utils {

namespace {

// Lookups by name use the reentrant calls with a growing buffer, retried on
// EINTR. Returns 0 and fills *out, or an error number (ENOENT when absent).
template <typename Entry>
int lookupByName(int (*lookup)(const char*, Entry*, char*, size_t, Entry**),
                 const std::string& name, Entry* out, std::vector<char>& buf) {
  buf.resize(1024);
  for (;;) {
    Entry* result = nullptr;
    int rc = lookup(name.c_str(), out, buf.data(), buf.size(), &result);
    if (rc == EINTR) continue;
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0) return rc;
    return result == nullptr ? ENOENT : 0;
  }
}

int lookupUser(const std::string& name, struct passwd* out, std::vector<char>& buf) {
  return lookupByName(getpwnam_r, name, out, buf);
}

int lookupGroup(const std::string& name, struct group* out, std::vector<char>& buf) {
  return lookupByName(getgrnam_r, name, out, buf);
}

}  // namespace

uid_t userId(const std::string& user) {
  struct passwd pw;
  std::vector<char> buf;
  if (lookupUser(user, &pw, buf) != 0) throw error("getpwnam( \"" + user + "\" ) error");
  return pw.pw_uid;
}

gid_t groupId(const std::string& group) {
  struct group gr;
  std::vector<char> buf;
  if (lookupGroup(group, &gr, buf) != 0) throw error("getgrnam( \"" + group + "\" ) error");
  return gr.gr_gid;
}

Account resolveAccount(const std::string& user, const std::string& group) {
  Account account;
  if (!user.empty()) {
    struct passwd pw;
    std::vector<char> buf;
    if (lookupUser(user, &pw, buf) != 0) throw error("getpwnam( \"" + user + "\" ) error");
    account.setUser = true;
    account.uid = pw.pw_uid;
    account.setGroup = true;
    account.gid = pw.pw_gid;
    // getgrouplist is not POSIX, but every target has it; it counts the
    // primary group in, as the account's login would.
    int count = 16;
    for (int attempt = 0; attempt < 8; ++attempt) {
      std::vector<gid_t> list(static_cast<size_t>(count));
      int n = count;
#if defined(__APPLE__)
      const int rc = getgrouplist(pw.pw_name, static_cast<int>(pw.pw_gid),
                                  reinterpret_cast<int*>(list.data()), &n);
#else
      const int rc = getgrouplist(pw.pw_name, pw.pw_gid, list.data(), &n);
#endif
      if (rc >= 0) {
        list.resize(static_cast<size_t>(n));
        account.groups = std::move(list);
        break;
      }
      count = n > count ? n : count * 2;
    }
    if (account.groups.empty()) account.groups.push_back(pw.pw_gid);
  }
  if (!group.empty()) {
    struct group gr;
    std::vector<char> buf;
    if (lookupGroup(group, &gr, buf) != 0) throw error("getgrnam( \"" + group + "\" ) error");
    account.setGroup = true;
    account.gid = gr.gr_gid;
  }
  return account;
}

int applyAccount(const Account& account) {
  // Only a process that may set groups drops its own: as root, the
  // supplementary groups of root would otherwise go with the new user.
  if (account.setUser && geteuid() == 0 && account.uid != getuid()) {
    if (setgroups(account.groups.size(), account.groups.data()) != 0) return 1;
  }
  if (account.setGroup && account.gid != getgid() && setgid(account.gid) != 0) return 2;
  if (account.setUser && account.uid != getuid() && setuid(account.uid) != 0) return 3;
  return 0;
}

bool setUserAndGroup(const std::string& user, const std::string& group) {
  const Account account = resolveAccount(user, group);
  switch (applyAccount(account)) {
    case 1:
      throw error("cannot set groups, because of " + errorText(errno));
    case 2:
      throw error("cannot set gid, because of " + errorText(errno));
    case 3:
      throw error("cannot set uid, because of " + errorText(errno));
    default:
      break;
  }
  return !user.empty() || !group.empty();
}

std::string currentUserName() {
  std::vector<char> buf(4096);
  struct passwd pw;
  struct passwd* result = nullptr;
  int rc;
  do rc = getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result);
  while (rc == EINTR);
  return (rc == 0 && result != nullptr) ? std::string(pw.pw_name) : std::string();
}

std::string currentGroupName() {
  std::vector<char> buf(4096);
  struct group gr;
  struct group* result = nullptr;
  int rc;
  do rc = getgrgid_r(getgid(), &gr, buf.data(), buf.size(), &result);
  while (rc == EINTR);
  return (rc == 0 && result != nullptr) ? std::string(gr.gr_name) : std::string();
}

}  // namespace Utils
