#pragma once

#include <string>

namespace larkspire {

// The two self-contained pages served for GET /: the management page to a logged-in
// browser, the login page to any other.
const std::string& StableAppHtml();
const std::string& StableLoginHtml();

}  // namespace larkspire
