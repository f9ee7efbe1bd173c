#include "util/run_flag.h"

namespace larkspire {

std::atomic<bool> g_running{true};

}  // namespace larkspire
