#pragma once

#include <string>

namespace larkspire {

// The two pages served for GET /: the management page to a logged-in browser, the login page
// to any other. Each page's script is served as its own resource (/app.js, /login.js), so the
// pages need no inline script and the security policy can forbid all of it.
const std::string& StableAppHtml();
const std::string& StableLoginHtml();
const std::string& StableAppScript();
const std::string& StableLoginScript();

}  // namespace larkspire
