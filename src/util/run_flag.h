#pragma once

#include <atomic>

namespace larkspire {

// Process-wide run flag: true from start until a stop is requested (signal, web restart
// request, installed forced update). It is only ever cleared, never set again, so every
// long-running loop can poll it with a plain atomic load.
extern std::atomic<bool> g_running;

}  // namespace larkspire
