#pragma once

#include <string>
#include <string_view>

namespace larkspire {

// True when the SHA-256 of `publicKeyDer` (a SubjectPublicKeyInfo in DER) is `pin`: 64
// hexadecimal digits in either case, optionally grouped by ':' or spaces as tools print them.
// Throws "hubCertSha256 is not a SHA-256 digest (64 hexadecimal digits)." for any other pin,
// so a mistyped pin stops every connection instead of being ignored.
bool KeyMatchesPin(const std::string& pin, std::string_view publicKeyDer);

}  // namespace larkspire
