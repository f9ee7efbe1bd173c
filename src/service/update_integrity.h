#pragma once

#include <string>

namespace larkspire {

// True when the file at `packagePath` has the SHA-256 digest `expectedHex` (64 hexadecimal
// digits, either case, surrounding blanks ignored). False for any other text, and when the
// file cannot be read: a package that cannot be proven intact is not installed.
bool PackageMatchesSha256(const std::string& packagePath, const std::string& expectedHex);

}  // namespace larkspire
