// A process-wide instance created on first use (thread-safe since C++11)
// and never destroyed, so it stays usable while the process exits.
#ifndef KORZA_IPC_KZ_SINGLETON_H_
#define KORZA_IPC_KZ_SINGLETON_H_

namespace korza {
namespace patterns {

template <class T>
class KzSingleton {
 public:
  static T& Instance() {
    static T* instance = new T;
    return *instance;
  }
};

}  // namespace patterns
}  // namespace korza

#endif  // KORZA_IPC_KZ_SINGLETON_H_
