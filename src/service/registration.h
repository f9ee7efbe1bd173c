#pragma once

#include <string>

#include "config/settings.h"
#include "hub/http_client.h"

namespace larkspire {

inline constexpr const char* kRegisterPath = "/api/devices/register";

// The register request: the current identity (possibly empty), the name and the shared
// networks, as one compact JSON object.
std::string BuildRegisterBody(const Settings& settings);

// Takes the Hub's assignment from an accepted register reply into `settings`. A key absent
// from "data" keeps the current value; a key present with an empty string blanks it; an empty
// or absent "sharedNetworks" keeps the local list. Throws "Register failed: <message>" (or
// the raw body when the Hub gave no message) for a refused registration.
void ApplyRegisterReply(const ApiResponse& reply, Settings& settings);

}  // namespace larkspire
