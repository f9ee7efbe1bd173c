#pragma once

#include <string>

namespace larkspire {

// The login token of this process: 64 hexadecimal digits (256 bits) from the kernel's random
// source, made on first use and kept until the process ends, so a restart logs everyone
// out. Throws "random source unavailable" when the kernel gives no random bytes.
const std::string& SessionToken();

// Compares without stopping at the first difference, so the time taken does not tell how
// much of a guessed token was right.
bool ConstantTimeEquals(const std::string& a, const std::string& b);

}  // namespace larkspire
