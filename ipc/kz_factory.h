// The factory of addresses and channels, and the expansion of an address
// list whose "pid:" entries name pid files listing a server's addresses.
//
// Thread safety: the factory holds no state; any thread may use it.
#ifndef KORZA_IPC_KZ_FACTORY_H_
#define KORZA_IPC_KZ_FACTORY_H_

#include <memory>
#include <string>
#include <vector>

#include "ipc/kz_address.h"
#include "ipc/kz_ipc.h"
#include "ipc/kz_singleton.h"

namespace korza {
namespace ipc {

using KzAddressPtr = std::shared_ptr<KzIpcAddress>;
using KzAddressList = std::vector<KzAddressPtr>;

class KzIpcFactory {
 public:
  static KzIpcFactory& Instance() { return patterns::KzSingleton<KzIpcFactory>::Instance(); }

  // The address of `spec` (Unix tried first, then TCP), or null for "",
  // "*" and a text that is neither. May throw std::invalid_argument for a
  // host name with white space.
  KzAddressPtr CreateAddress(const std::string& spec) const;
  // A new, unopened channel owning copies of the addresses: a listening one
  // for a local address alone, a client one when a remote address is given.
  // Every failure is logged ("IPC factory: " + text) and gives null.
  KzIpcPtr Create(const std::string& local_spec, const std::string& remote_spec) const;
  KzIpcPtr Create(const KzAddressPtr& local, const KzAddressPtr& remote) const;

 private:
  KzIpcPtr CreateCommon(const KzAddressPtr& local, const KzAddressPtr& remote) const;
};

// "*" for an empty address slot.
std::string SpecOf(const KzAddressPtr& address);

// Expands `specs` into addresses in list order; "pid:PATH" (the scheme in any
// letter case, blanks ignored) is replaced by the addresses listed in the pid
// file. Throws base::KzParameterError ("Session::Open", "address", entry) for
// an entry that yields no address and base::KzException "Error during load
// and parse pid file 'PATH': ..." for an unusable pid file.
KzAddressList ResolveAddressList(const std::vector<std::string>& specs);

// The addresses of one pid file (see ResolveAddressList).
KzAddressList ParsePidFile(const std::string& path);

}  // namespace ipc
}  // namespace korza

#endif  // KORZA_IPC_KZ_FACTORY_H_
