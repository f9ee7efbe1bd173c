#pragma once

#include "config/settings.h"
#include "hub/http_client.h"
#include "hub/tls_session.h"

namespace larkspire {

// What the settings say an https Hub must prove.
inline HubTrust HubTrustOf(const Settings& settings) {
  return {settings.hubCaFile, settings.hubCertSha256};
}

// The Hub API client for the configured Hub and its trust settings.
inline HttpClient HubClientFor(const Settings& settings) {
  return HttpClient(settings.serverUrl, HubTrustOf(settings));
}

}  // namespace larkspire
