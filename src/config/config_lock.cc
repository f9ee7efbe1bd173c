#include "config/config_lock.h"

namespace larkspire {

std::mutex& ConfigFileMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace larkspire
