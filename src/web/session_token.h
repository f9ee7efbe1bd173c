#pragma once

#include <string>

#include "util/text.h"  // ConstantTimeEquals, for the callers that check a token

namespace larkspire {

// The login token of this process: 64 hexadecimal digits (256 bits) from the kernel's random
// source, made on first use and kept until the process ends, so a restart logs everyone
// out. Throws "random source unavailable" when the kernel gives no random bytes.
const std::string& SessionToken();

}  // namespace larkspire
